// The work behind the two busiest paths of a session besides the tool itself: building the
// tools/list payload over a full registry, and tokenising personal data in a large result.
#include <benchmark/benchmark.h>

#include <string>

#include "core/PIISanitizer.h"
#include "core/PIISession.h"
#include "core/ToolRegistry.h"
#include "core/ToolResponse.h"
#include "PrivateHome.h"

namespace tvrn {
namespace {

constexpr int kToolCount = 120;

ToolDefinition benchTool(int index) {
  nlohmann::json schema = {
      {"type", "object"},
      {"properties",
       {{"query", {{"type", "string"}, {"description", "What to look for"}}},
        {"limit", {{"type", "integer"}, {"description", "At most this many results"}}},
        {"confirm", {{"type", "boolean"}, {"description", "Make the change"}}}}},
      {"required", {"query"}}};
  return ToolDefinition{"bench_tool_" + std::to_string(index),
                        "A tool registered to measure the listing, number " + std::to_string(index),
                        schema, index % 3 == 0 ? ToolKind::write : ToolKind::readOnly,
                        [](const std::optional<JSONValue>&) -> ToolResult {
                          return ToolResponse::text("ok");
                        }};
}

void BM_ToolsListPayload120Tools(benchmark::State& state) {
  ToolRegistry registry;
  for (int i = 0; i < kToolCount; ++i) registry.registerTool(benchTool(i));
  for (auto _ : state) {
    JSONValue payload = registry.listPayload();
    benchmark::DoNotOptimize(payload);
  }
}
BENCHMARK(BM_ToolsListPayload120Tools);

// About 100 KB of mail-listing text with an address and a phone number on every line.
std::string personalText() {
  std::string text;
  for (int i = 0; text.size() < 100 * 1024; ++i) {
    text += "From: Person " + std::to_string(i) + " <person" + std::to_string(i % 40) +
            "@example.com>, call +1 415 555 " + std::to_string(1000 + i % 9000) +
            " about the quarterly planning meeting notes\n";
  }
  return text;
}

void BM_SanitizeResult100KB(benchmark::State& state) {
  const JSONValue result = ToolResponse::text(personalText());
  for (auto _ : state) {
    PIISession session;
    JSONValue sanitized = PIISanitizer::sanitize(result, session);
    benchmark::DoNotOptimize(sanitized);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 100 * 1024);
}
BENCHMARK(BM_SanitizeResult100KB)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tvrn
