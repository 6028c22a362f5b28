// The one-shot jobs start-up hands to background workers: warming the Automation permissions of
// the scriptable applications, reminding a relay user that cloud data forwarding is off, and
// telling the back end once per user account that the tray has started for the first time.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "core/ConfigManager.h"

namespace tvrn::StartupJobs {

// How long after start-up the warm-up begins, and the pause between its scripts.
inline constexpr std::chrono::seconds kWarmUpDelay{5};
inline constexpr std::chrono::milliseconds kWarmUpSpacing{500};

// AppleScript texts that each address one application, in the order they are run.
inline constexpr std::array<std::string_view, 5> kWarmUpScripts = {
    "tell application \"Mail\" to running",       "tell application \"Messages\" to running",
    "tell application \"Notes\" to running",      "tell application \"Safari\" to running",
    "tell application \"System Events\" to name",
};

inline constexpr std::string_view kCloudDataReminder =
    "🔓 Cloud access for AI agents is OFF. Open the TVRN tray and toggle Cloud Data Forwarding ON "
    "to enable it.";

// The user-defaults flag that marks the install event as attempted.
inline constexpr const char* kInstallEventSentKey = "tvrn_install_event_sent";

// Hands each warm-up script to its own worker through `handOver`, `spacing` apart, without
// waiting for any of them; returns one spacing after the last, or as soon as `handOver` refuses a
// script (the work was cancelled). Results and failures of the scripts are dropped.
using HandOver = std::function<bool(std::function<void()>)>;
void warmOSAPermissions(std::chrono::milliseconds spacing = kWarmUpSpacing,
                        const HandOver& handOver = {});

// Reads `settings` and, when the user holds a relay token ("tvrn-...") but has cloud data
// forwarding off and has not dismissed the reminder, passes the reminder text to `post` (start-up
// gives the push-message store).
void remindAboutCloudData(const ConfigManager& settings,
                          const std::function<void(const std::string&)>& post);

// The first time this user account starts the tray, tells the back end ("/install-event") with
// the app's version and the machine id of `settings`. The flag is set before sending, so a failed
// attempt is never repeated. Blocks its caller until the back end answers or the request fails (at
// most 10 s); start-up runs it on a worker.
void sendFirstLaunchInstallEventIfNeeded(const ConfigManager& settings, std::string_view version);

}  // namespace tvrn::StartupJobs
