// Slack exchanges per second with a co-process that echoes each request: the client alone, and
// a whole slack_list_channels call through the registry, both over one long-lived process.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "PrivateHome.h"
#include "core/ToolRegistry.h"
#include "platform/ProcessSetup.h"
#include "tools/messaging/CoProcessProxy.h"
#include "tools/messaging/SlackProxyTools.h"

namespace tvrn {
namespace {

// The fake co-process of the test suite, installed where the client looks for it.
bool installEchoingProxy() {
#ifdef TVRN_FAKES_DIR
  const auto bin = bench::privateHome.path / ".local" / "share" / "tavrin" / "bin";
  std::error_code error;
  std::filesystem::create_directories(bin, error);
  std::filesystem::create_symlink(std::filesystem::path(TVRN_FAKES_DIR) / "fake-proxy",
                                  bin / "slack-proxy", error);
  return std::filesystem::is_regular_file(bin / "slack-proxy", error);
#else
  return false;
#endif
}

void BM_SlackExchange(benchmark::State& state) {
  prepareProcess();
  if (!installEchoingProxy()) return state.SkipWithError("fake-proxy is not built");
  CoProcessProxy proxy(kSlackProxyTexts, 120);
  const nlohmann::json args = {{"channel_id", "C024BE91L"}, {"limit", 50}};
  for (auto _ : state) {
    auto reply = proxy.call("read_channel_messages", args);
    if (!reply) return state.SkipWithError(reply.error().description().c_str());
    benchmark::DoNotOptimize(reply);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SlackExchange)->Iterations(1000)->UseRealTime();

void BM_SlackToolCall(benchmark::State& state) {
  prepareProcess();
  if (!installEchoingProxy()) return state.SkipWithError("fake-proxy is not built");
  CoProcessProxy proxy(kSlackProxyTexts, 120);
  ToolRegistry registry;
  SlackProxyTools::registerTools(registry, proxy);
  const auto arguments = JSONValue::fromRaw({{"workspace_id", "T01"}, {"limit", 200}});
  for (auto _ : state) {
    auto reply = registry.dispatch("slack_list_channels", arguments);
    if (!reply) return state.SkipWithError(reply.error().description().c_str());
    benchmark::DoNotOptimize(reply);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SlackToolCall)->Iterations(1000)->UseRealTime();

}  // namespace
}  // namespace tvrn
