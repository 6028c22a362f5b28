// Sorts failed tool calls into error classes and counts them per tool and class between two
// drains by the heartbeat; like the call counter, a process that does not own the status server
// also reports each error to it.
#pragma once

#include <string_view>

#include "core/ToolCallCounter.h"
#include "core/ToolDefinition.h"

namespace tvrn::ToolErrorCounter {

// The error classes.
inline constexpr std::string_view badRequest = "bad_request";
inline constexpr std::string_view permissionDenied = "permission_denied";
inline constexpr std::string_view jxaTimeout = "jxa_timeout";
inline constexpr std::string_view jxaPermissionDenied = "jxa_permission_denied";
inline constexpr std::string_view mailNotRunning = "mail_not_running";
inline constexpr std::string_view messageNotFound = "message_not_found";
inline constexpr std::string_view proxyUnavailable = "proxy_unavailable";
inline constexpr std::string_view executionFailed = "execution_failed";

// The class of a failure; an executionFailed is classed by words in its message.
std::string_view errorType(const ToolError& error);

// Counts one error under "<tool>:<type>" into the context's counts, then reports it to the status
// server when the context reports at all.
void record(ServerContext& context, std::string_view tool, std::string_view type);

// Counts one error under a ready-made "<tool>:<type>" key, without reporting it.
void recordLocalOnly(ToolCounts& counts, std::string_view key);

}  // namespace tvrn::ToolErrorCounter
