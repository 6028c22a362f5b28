// The event store over vdir folders: listing a month from 10,000 events in 5 calendars with the
// index warm and cold, creating events as the store grows, listing over twenty endless daily
// series (a month, and every year the store keeps up to its cap), and calls the way an AI client
// makes them, 1.2 s apart, over 10,000 and 100,000 events with the index's resident memory.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "PeakMemory.h"
#include "PrivateHome.h"
#include "pim/PimCodec.h"
#include "pim/PimStore.h"
#include "platform/FileStore.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

constexpr int kSeries = 20;
constexpr int kEvents = 10000;
constexpr int kCalendars = 5;

PimTime at(const char* text) { return PimCodec::parseTime(text).value(); }

std::string stamp(PimTime time, bool allDay) {
  std::string text;
  for (char c : PimCodec::timeText(time, allDay)) {
    if (c != '-' && c != ':') text += c;
  }
  return allDay ? ";VALUE=DATE:" + text : ":" + text;
}

void writeEvent(const fs::path& folder, const std::string& uid, PimTime start, PimTime end,
                bool allDay, const char* rule = "") {
  bench::require(
      FileStore::writeAtomic(
          folder / (uid + ".ics"),
          "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Bench//EN\r\nBEGIN:VEVENT\r\nUID:" + uid +
              "\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Event " + uid + "\r\nDTSTART" +
              stamp(start, allDay) + "\r\nDTEND" + stamp(end, allDay) + "\r\n" + rule +
              "END:VEVENT\r\nEND:VCALENDAR\r\n",
          0644),
      "writing an event");
}

// 10,000 one-hour events spread over two years, in five calendars.
fs::path tenThousandEvents() {
  static const fs::path folder = [] {
    const fs::path pim = bench::privateHome.path / "pim-10k";
    for (int i = 0; i < kEvents; ++i) {
      const PimTime start = at("2024-01-01T08:00:00Z") + hours(i * 17 % (2 * 365 * 24));
      writeEvent(pim / "calendars" / ("c" + std::to_string(i % kCalendars)),
                 "e" + std::to_string(i), start, start + hours(1), false);
    }
    return pim;
  }();
  return folder;
}

void BM_ListMonthOfTenThousandEventsWarm(benchmark::State& state) {
  PimStore store(tenThousandEvents());
  store.events(at("2024-05-01"), at("2024-06-01"));  // reads the folders once
  size_t listed = 0;
  for (auto _ : state) {
    listed = store.events(at("2024-05-01"), at("2024-06-01")).size();
    benchmark::DoNotOptimize(listed);
  }
  state.counters["listed"] = static_cast<double>(listed);
}
BENCHMARK(BM_ListMonthOfTenThousandEventsWarm)->Unit(benchmark::kMillisecond);

void BM_FirstListingOfTenThousandEventsCold(benchmark::State& state) {
  const fs::path folder = tenThousandEvents();
  for (auto _ : state) {
    PimStore store(folder);
    benchmark::DoNotOptimize(store.events(at("2024-05-01"), at("2024-06-01")).size());
  }
}
BENCHMARK(BM_FirstListingOfTenThousandEventsCold)->Unit(benchmark::kMillisecond)->Iterations(3);

double threadSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Creates 10,000 events one at a time; the first and the last thousand are timed apart, by the
// clock (with the disk's flushes, which vary with the machine's load) and by the processor time
// the store itself spends.
void BM_TenThousandCreates(benchmark::State& state) {
  for (auto _ : state) {
    const fs::path folder = bench::privateHome.path / "pim-creates";
    fs::remove_all(folder);
    PimStore store(folder);
    Event event;
    event.calendarId = store.defaultCalendarForNewEvents()->id;
    event.title = "Created";
    double first = 0, last = 0, firstCpu = 0, lastCpu = 0;
    for (int i = 0; i < kEvents; ++i) {
      const auto began = steady_clock::now();
      const double cpu = threadSeconds();
      event.start = at("2024-01-01T08:00:00Z") + hours(i);
      event.end = event.start + hours(1);
      benchmark::DoNotOptimize(store.saveEvent(event).ok());
      const double took = duration<double>(steady_clock::now() - began).count();
      const double tookCpu = threadSeconds() - cpu;
      if (i < 1000) {
        first += took;
        firstCpu += tookCpu;
      }
      if (i >= kEvents - 1000) {
        last += took;
        lastCpu += tookCpu;
      }
    }
    state.counters["first_1000_per_s"] = 1000 / first;
    state.counters["last_1000_per_s"] = 1000 / last;
    state.counters["first_1000_cpu_ms"] = firstCpu * 1000;
    state.counters["last_1000_cpu_ms"] = lastCpu * 1000;
  }
}
BENCHMARK(BM_TenThousandCreates)->Unit(benchmark::kSecond)->Iterations(1);

// A store whose events are `kSeries` daily series (timed or all-day) starting in 1700.
PimStore& storeOfDailySeries(bool allDay) {
  static PimStore timedStore(bench::privateHome.path / "pim-timed");
  static PimStore allDayStore(bench::privateHome.path / "pim-all-day");
  PimStore& store = allDay ? allDayStore : timedStore;
  const fs::path folder = store.folder() / "calendars" / "bench";
  for (int i = 0; i < kSeries; ++i) {
    const PimTime first = at("1700-01-01T09:00:00Z") + days(i);
    writeEvent(folder, "s" + std::to_string(i), first, first + (allDay ? hours(24) : hours(1)),
               allDay, "RRULE:FREQ=DAILY\r\n");
  }
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

// ---- calls 1.2 s apart

// `count` one-hour events over two years in five calendars, written without flushing (only the
// store's reading is measured).
fs::path manyEvents(int count) {
  const fs::path pim = bench::privateHome.path / ("pim-gapped-" + std::to_string(count));
  if (fs::exists(pim)) return pim;
  for (int c = 0; c < kCalendars; ++c)
    fs::create_directories(pim / "calendars" / ("c" + std::to_string(c)));
  for (int i = 0; i < count; ++i) {
    const PimTime start = at("2024-01-01T08:00:00Z") + minutes(i * 1051L % (2 * 365 * 24 * 60));
    const std::string uid = "g" + std::to_string(i);
    std::ofstream(pim / "calendars" / ("c" + std::to_string(i % kCalendars)) / (uid + ".ics"))
        << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Bench//EN\r\nBEGIN:VEVENT\r\nUID:" << uid
        << "\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Event " << uid << "\r\nLOCATION:Room " << i % 40
        << "\r\nDTSTART" << stamp(start, false) << "\r\nDTEND" << stamp(start + hours(1), false)
        << "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  }
  return pim;
}

// Each timed call follows 1.2 s without one, as calls from an AI client do; the store's first
// reading of the folders is not timed, the memory it holds afterwards is counted.
template <typename Call>
void gapped(benchmark::State& state, Call call) {
  const fs::path folder = manyEvents(static_cast<int>(state.range(0)));
  ::malloc_trim(0);
  const double before = bench::residentMiB();
  PimStore store(folder);
  store.events(at("2024-05-01"), at("2024-06-01"));
  state.counters["index_rss_mib"] = bench::residentMiB() - before;
  int i = 0;
  double cpu = 0;
  for (auto _ : state) {
    std::this_thread::sleep_for(milliseconds(1200));
    const auto began = steady_clock::now();
    const double cpuBefore = threadSeconds();
    call(store, i++);
    cpu += threadSeconds() - cpuBefore;
    state.SetIterationTime(duration<double>(steady_clock::now() - began).count());
  }
  // Without the waits for the disk (a create flushes the file and its folder).
  state.counters["cpu_ms_per_call"] = cpu * 1000 / static_cast<double>(state.iterations());
}

// Over 10,000 and 100,000 events, six calls each.
#define GAPPED(name)      \
  BENCHMARK(name)         \
      ->ArgName("events") \
      ->Arg(10000)        \
      ->Arg(100000)       \
      ->Iterations(6)     \
      ->UseManualTime()   \
      ->Unit(benchmark::kMillisecond)

void BM_GappedMonth(benchmark::State& state) {
  gapped(state, [](PimStore& store, int) {
    benchmark::DoNotOptimize(store.events(at("2024-05-01"), at("2024-06-01")).size());
  });
}
GAPPED(BM_GappedMonth);

void BM_GappedWeek(benchmark::State& state) {
  gapped(state, [](PimStore& store, int) {
    benchmark::DoNotOptimize(store.events(at("2024-05-06"), at("2024-05-13")).size());
  });
}
GAPPED(BM_GappedWeek);

void BM_GappedCreate(benchmark::State& state) {
  gapped(state, [](PimStore& store, int i) {
    Event event;
    event.calendarId = (store.folder() / "calendars" / "c0").string();
    event.title = "Created";
    event.start = at("2025-03-01T08:00:00Z") + hours(i);
    event.end = event.start + hours(1);
    benchmark::DoNotOptimize(store.saveEvent(event).ok());
  });
}
GAPPED(BM_GappedCreate);

}  // namespace
}  // namespace tvrn
