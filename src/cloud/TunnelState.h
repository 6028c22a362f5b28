// Whether the relay tunnel is up, as its state file tunnel-state.json in the application-support
// folder last said.
#pragma once

#include <chrono>

namespace tvrn::TunnelState {

// How old the file's "updated_at" may be for "connected" to count.
inline constexpr std::chrono::seconds kMaxAge{120};

// True only when the file says "connected": true and its "updated_at" (an ISO-8601 UTC time,
// with or without fractional seconds) is at most two minutes old; false for a missing or
// unreadable file.
bool read();

// Records the tunnel's state with the time now: connected at connect and each pong, not
// connected when a session ends.
void write(bool connected);

}  // namespace tvrn::TunnelState
