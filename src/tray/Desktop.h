// Opens what the tray's texts and notifications point at: web addresses and files through the
// desktop's opener, the privacy settings addresses in the tray's own "Privacy & Security" page.
#pragma once

#include <optional>
#include <string>

#include "pim/PrivacyGate.h"

namespace tvrn::Desktop {

// The service a privacy settings address names ("calendar", "reminders", "contacts"), the empty
// text for the general page, nothing for any other address.
std::optional<std::string> privacyServiceOf(const std::string& url);

// Best effort: a failure is not reported. The privacy page shows and records what `gate` says.
void open(const std::string& url, PrivacyGate& gate);

// Starts the application: the first program of those that stand for the bundle identifier that
// PATH holds, detached from the tray. False when none could be started.
[[nodiscard]] bool openApp(const std::string& bundleId);

}  // namespace tvrn::Desktop
