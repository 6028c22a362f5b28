// The diagnostics family: run_diagnostics checks this machine's integrations side by side and
// reports what works and how to fix the rest; get_config and get_audit_log show the stored
// settings and the recent tool calls.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "core/ToolRegistry.h"
#include "tools/common/AutomationBridges.h"

namespace tvrn {

// `unavailable`: the check needs scripts and none can run on this system; it counts neither as
// working nor as failing.
enum class CheckStatus { ok, warning, error, permission, notRunning, skip, unavailable };

// "ok", "warning", "error", "permission", "not_running", "skip", "unavailable".
std::string_view toRaw(CheckStatus status);

// One check's outcome; `label` is the name the report shows.
struct DiagCheck {
  std::string tool;
  std::string label;
  CheckStatus status = CheckStatus::skip;
  std::string detail;
  std::string fixHint;  // empty when there is nothing to do
};

namespace DiagnosticTools {

inline constexpr std::chrono::milliseconds kChecksDeadline{25000};

// The checks whose name or row label holds `focus` (all of them when it is empty or holds none),
// each on a thread of its own, in table order; a check unfinished at the deadline is reported
// as skipped and left to end by itself.
// The checks ask the permissions and lists of `with.helper` and run their scripts on
// `with.scripts`; a check the deadline leaves behind still uses them.
std::vector<DiagCheck> runAllChecks(const AutomationBridges& with, std::string_view focus,
                                    std::chrono::milliseconds deadline = kChecksDeadline);

// The plain-text report of the checks, headed with the app version; the counts are of the checks
// that could run.
std::string report(const std::vector<DiagCheck>& checks, std::string_view version);

// Adds get_config, run_diagnostics and get_audit_log (all read-only), in that order.
void registerTools(ToolRegistry& registry, AutomationBridges with, std::string version);

}  // namespace DiagnosticTools
}  // namespace tvrn
