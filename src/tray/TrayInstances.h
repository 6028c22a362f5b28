// Ends the other running copies of the tray (this user's processes named tavrin-tray, headless
// ones too) so that one tray and one in-process server run at a time for a home. A copy started
// with another HOME serves its own socket and is left running.
#pragma once

#include <chrono>

namespace tvrn::TrayInstances {

inline constexpr std::chrono::milliseconds kGrace{2000};

// Asks every other copy to quit (SIGTERM), waits up to `grace` for them to go, then kills those
// still there. Blocks the calling thread while it waits.
void terminateExisting(std::chrono::milliseconds grace = kGrace);

}  // namespace tvrn::TrayInstances
