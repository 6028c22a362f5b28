// The one entry that carries out a manifest tool's behaviour: it hands each case to the runner
// installed for it. The tool call's thread runs it, and so do runners of nested behaviours.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>

#include "core/ToolDefinition.h"
#include "manifest/CapabilityRunner.h"
#include "manifest/Manifest.h"

namespace tvrn::RunnerDispatch {

// Behaviours that run behaviours (and tools whose steps name each other) could nest without
// end; deeper than this a call fails.
inline constexpr int kMaxDepth = 16;

// Runs the behaviour with the validated parameters; `depth` as CapabilityRunner::execute. A
// text behaviour answers its text as written; a case without a runner fails "wrong behavior".
ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                   std::int64_t timeoutMs, int depth = 1);

// Puts a runner in charge of a case from now on (start-up, tests); null removes it. The
// http_local, native, http_remote, applescript, sqlite, plist, compose and parallel (whose steps
// find no tool), conditional (which sees no permission granted) and cache cases start with their
// own runners; the jxa and helper cases, which need the server's co-processes, have none until
// start-up installs them with the server's manifest store, clients and permission status.
void install(BehaviorSpec::Kind kind, std::shared_ptr<CapabilityRunner> runner);

}  // namespace tvrn::RunnerDispatch

namespace tvrn {

// A runner's result as a plain value for combining several: the text of its first content block
// read as a JSON object or array, else that text; any other value as it is.
nlohmann::json jsonValueToRaw(const JSONValue& value);

}  // namespace tvrn
