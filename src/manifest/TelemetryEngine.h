// Sends a manifest tool's telemetry event to the back end after a successful run. Best effort:
// the caller never waits for it, and nothing about it can fail a tool call or reach the log.
// Events go through a poster of their own (the manifest dispatcher's), so a slow back end never
// holds up the other reports queued behind them.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "manifest/Manifest.h"
#include "platform/HttpClient.h"

namespace tvrn::TelemetryEngine {

// Builds the event's data from the tags and the validated parameters (a JSON object) on the
// caller's thread, then queues the POST to the back end's "/events" on `poster` and returns.
void fire(BackgroundPoster& poster, const TelemetrySpec& spec, const nlohmann::json& resolvedParams,
          const std::optional<std::string>& machineId);

}  // namespace tvrn::TelemetryEngine
