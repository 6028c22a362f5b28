// The environment-state snapshot as tvrn_state builds it: version files, the configuration, the
// scanner's last results, the in-process permission answer and one look at the running programs.
// The tool promises an answer in under 500 ms. The counters give how far the calls raise the peak
// memory and how many processes the machine had, since the look at the programs walks them all.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "PeakMemory.h"
#include "PrivateHome.h"
#include "StoreCalls.h"
#include "bridges/HelperProxy.h"
#include "bridges/JXARunnerProxy.h"
#include "core/ServerContext.h"
#include "core/Timeouts.h"
#include "platform/FileStore.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"
#include "tools/support/StateTools.h"

namespace tvrn {
namespace {

void BM_StateSnapshot(benchmark::State& state) {
  const auto data = Paths::localShare();
  bench::require(FileStore::writeAtomic(data / "bin/.server-version", "3.0.101\n"),
                 "writing a version file");
  bench::require(FileStore::writeAtomic(data / "bin/.latest-version", "3.0.104\n"),
                 "writing a version file");
  bench::require(FileStore::writeAtomic(data / "tray/.tray-version", "3.0.100\n"),
                 "writing a version file");
  HelperProxy helper(bench::localData());
  JXARunnerProxy scripts(Timeouts::jxaDefault);
  const nlohmann::json scan = {
      {"email", {{"running", true}, {"accounts", {"Work", "Home"}}}},
      {"calendar", {{"running", true}, {"calendars", {"Work", "Home", "Holidays"}}}},
      {"contacts", {{"running", true}, {"sources", {"Local"}}}},
      {"teams", {{"available", true}, {"running", false}, {"conversations", 0}, {"tenants", 1}}},
      {"onedrive", {"OneDrive-Personal"}},
      {"reminders", {{"running", true}, {"lists", {"Inbox"}}}},
      {"notes", {{"running", false}, {"count", 12}}}};
  ServerContext context;
  context.serviceStatus = [scan] { return scan; };
  context.activity.record(CallSource::local, "list_emails");
  const bench::PeakMemory peak;
  for (auto _ : state) {
    nlohmann::json snapshot = StateTools::snapshot({helper, scripts}, "3.0.100", context);
    benchmark::DoNotOptimize(snapshot);
  }
  state.counters["peak_growth_MiB"] = peak.grownMiB();
  state.counters["processes"] = static_cast<double>(ProcessInfo::allPids().size());
}
BENCHMARK(BM_StateSnapshot)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tvrn
