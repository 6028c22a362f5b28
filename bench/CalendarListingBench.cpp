// Listing events over twenty endless daily series: a month (every occurrence counted) and every
// year the store keeps (counting stops at the store's cap), keeping the first event or the first
// hundred.
#include <benchmark/benchmark.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

#include "PrivateHome.h"
#include "platform/FileStore.h"
#include "platform/PimCodec.h"
#include "platform/PimStore.h"

namespace tvrn {
namespace {

constexpr int kSeries = 20;

PimTime at(const char* text) { return PimCodec::parseTime(text).value(); }

// A store whose events are `kSeries` daily series (timed or all-day) starting in 1700.
PimStore& storeOfDailySeries(bool allDay) {
  static PimStore timedStore(bench::privateHome.path / "pim-timed");
  static PimStore allDayStore(bench::privateHome.path / "pim-all-day");
  PimStore& store = allDay ? allDayStore : timedStore;
  nlohmann::json events = nlohmann::json::array();
  for (int i = 0; i < kSeries; ++i) {
    const PimTime first = at("1700-01-01T09:00:00Z") + std::chrono::days(i);
    events.push_back(
        {{"id", "s" + std::to_string(i)},
         {"calendar", "bench"},
         {"allDay", allDay},
         {"start", PimCodec::timeText(first, allDay)},
         {"end", PimCodec::timeText(
                     first + (allDay ? std::chrono::hours(24) : std::chrono::hours(1)), allDay)},
         {"recurrence", {{"frequency", "daily"}}}});
  }
  FileStore::writeAtomic(store.folder() / "events.json", nlohmann::json{{"events", events}}.dump());
  return store;
}

void listing(benchmark::State& state, const char* from, const char* to) {
  const PimStore& store = storeOfDailySeries(state.range(0) != 0);
  const auto limit = static_cast<size_t>(state.range(1));
  size_t matched = 0;
  for (auto _ : state) {
    const EventPage page = store.firstEvents(at(from), at(to), std::nullopt, limit);
    matched = page.totalMatched;
    benchmark::DoNotOptimize(page.events.data());
  }
  state.counters["matched"] = static_cast<double>(matched);
  state.counters["occurrences_per_second"] =
      benchmark::Counter(static_cast<double>(matched) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

void BM_ListMonthOfDailySeries(benchmark::State& state) {
  listing(state, "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z");
}
BENCHMARK(BM_ListMonthOfDailySeries)
    ->ArgNames({"all_day", "max"})
    ->ArgsProduct({{0, 1}, {1, 100}})
    ->Unit(benchmark::kMicrosecond);

void BM_ListEveryYearOfDailySeries(benchmark::State& state) {
  listing(state, "1700-01-01T00:00:00Z", "2261-12-31T00:00:00Z");
}
BENCHMARK(BM_ListEveryYearOfDailySeries)
    ->ArgNames({"all_day", "max"})
    ->ArgsProduct({{0, 1}, {1, 100}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tvrn
