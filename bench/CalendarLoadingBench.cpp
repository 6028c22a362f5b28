// The event store over calendars as vdirsyncer keeps them from a CalDAV server: every item carries
// the whole VTIMEZONE of its zone, from 1970 on (half of them Europe/Berlin, half
// America/New_York; one in ten a weekly series). Measured: the first month listing of a store
// that has just started, over 10,000 and 100,000 events, with the memory its index holds; the
// listing after a sync has changed 2,000 of the files; and the first calls after a start beside
// four events whose rules repeat by the second or minute on a few days only, against the same
// calls without them; and a week's listing beside twenty rules that never match, against the same
// listing without them.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <string>

#include "PeakMemory.h"
#include "PrivateHome.h"
#include "pim/PimCodec.h"
#include "pim/PimStore.h"
#include "platform/ProcessSetup.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

constexpr int kCalendars = 5;

constexpr const char* kBerlin =
    "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nX-LIC-LOCATION:Europe/Berlin\r\n"
    "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\nTZNAME:CEST\r\n"
    "DTSTART:19700329T020000\r\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\n"
    "BEGIN:STANDARD\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nTZNAME:CET\r\n"
    "DTSTART:19701025T030000\r\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\n"
    "END:VTIMEZONE\r\n";

// With the rules of each era since 1970, as servers export the zone.
constexpr const char* kNewYork =
    "BEGIN:VTIMEZONE\r\nTZID:America/New_York\r\nX-LIC-LOCATION:America/New_York\r\n"
    "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:-0500\r\nTZOFFSETTO:-0400\r\nTZNAME:EDT\r\n"
    "DTSTART:19700426T020000\r\nRRULE:FREQ=YEARLY;UNTIL=19860427T070000Z;BYMONTH=4;BYDAY=-1SU\r\n"
    "END:DAYLIGHT\r\n"
    "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:-0500\r\nTZOFFSETTO:-0400\r\nTZNAME:EDT\r\n"
    "DTSTART:19870405T020000\r\nRRULE:FREQ=YEARLY;UNTIL=20060402T070000Z;BYMONTH=4;BYDAY=1SU\r\n"
    "END:DAYLIGHT\r\n"
    "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:-0500\r\nTZOFFSETTO:-0400\r\nTZNAME:EDT\r\n"
    "DTSTART:20070311T020000\r\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU\r\nEND:DAYLIGHT\r\n"
    "BEGIN:STANDARD\r\nTZOFFSETFROM:-0400\r\nTZOFFSETTO:-0500\r\nTZNAME:EST\r\n"
    "DTSTART:19701025T020000\r\nRRULE:FREQ=YEARLY;UNTIL=20061029T060000Z;BYMONTH=10;BYDAY=-1SU\r\n"
    "END:STANDARD\r\n"
    "BEGIN:STANDARD\r\nTZOFFSETFROM:-0400\r\nTZOFFSETTO:-0500\r\nTZNAME:EST\r\n"
    "DTSTART:20071104T020000\r\nRRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU\r\nEND:STANDARD\r\n"
    "END:VTIMEZONE\r\n";

PimTime at(const char* text) { return PimCodec::parseTime(text).value(); }

// "20240501T093000", the wall clock of `time` read as UTC (the zone's offset does not matter for
// what is measured).
std::string wall(PimTime time) {
  std::string text;
  for (char c : PimCodec::timeText(time, false)) {
    if (c != '-' && c != ':' && c != 'Z') text += c;
  }
  return text;
}

std::string syncedItem(const std::string& uid, PimTime start, int i, const std::string& title) {
  const bool berlin = i % 2 == 0;
  const std::string zone = berlin ? "Europe/Berlin" : "America/New_York";
  return std::string(
             "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Example Corp.//CalDAV Server//EN"
             "\r\nCALSCALE:GREGORIAN\r\n") +
         (berlin ? kBerlin : kNewYork) + "BEGIN:VEVENT\r\nUID:" + uid +
         "@example.com\r\nDTSTAMP:20240101T000000Z\r\n" +
         "CREATED:20231201T100000Z\r\nLAST-MODIFIED:20231201T100000Z\r\nSEQUENCE:0\r\n" +
         "SUMMARY:" + title + "\r\nLOCATION:Room " + std::to_string(i % 40) +
         "\r\nDTSTART;TZID=" + zone + ":" + wall(start) + "\r\nDTEND;TZID=" + zone + ":" +
         wall(start + hours(1)) + "\r\n" + (i % 10 == 0 ? "RRULE:FREQ=WEEKLY\r\n" : "") +
         "STATUS:CONFIRMED\r\nTRANSP:OPAQUE\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
}

fs::path fileOf(const fs::path& pim, int i) {
  return pim / "calendars" / ("c" + std::to_string(i % kCalendars)) /
         ("s" + std::to_string(i) + ".ics");
}

PimTime startOf(int i) {
  return at("2024-01-01T08:00:00Z") + minutes(i * 1051L % (2 * 365 * 24 * 60));
}

// `count` events in five calendars, written once without flushing.
fs::path syncedEvents(int count, const std::string& name = "pim-synced-") {
  const fs::path pim = bench::privateHome.path / (name + std::to_string(count));
  if (fs::exists(pim)) return pim;
  for (int c = 0; c < kCalendars; ++c) {
    fs::create_directories(pim / "calendars" / ("c" + std::to_string(c)));
  }
  for (int i = 0; i < count; ++i) {
    std::ofstream(fileOf(pim, i)) << syncedItem("s" + std::to_string(i), startOf(i), i, "Event");
  }
  return pim;
}

// Rules other programs write that libical would step through second by second (or minute by
// minute) between their occurrences: 10:00 on every 29 February, every Monday at 09:00, 3000
// minutes from a day with one of its days changed, and 10:00 on every 29 February by the minute.
constexpr const char* kSparseRules[] = {
    "DTSTART:20240101T100000Z\r\nRRULE:FREQ=SECONDLY;BYMONTH=2;BYMONTHDAY=29;BYHOUR=10;"
    "BYMINUTE=0;BYSECOND=0\r\n",
    "DTSTART:20240101T090000Z\r\nRRULE:FREQ=SECONDLY;BYDAY=MO;BYHOUR=9;BYMINUTE=0;BYSECOND=0\r\n",
    "DTSTART;VALUE=DATE:20240101\r\nRRULE:FREQ=MINUTELY;BYHOUR=9;BYMINUTE=0,30;COUNT=3000\r\n"
    "END:VEVENT\r\nBEGIN:VEVENT\r\nUID:sparse2\r\nDTSTAMP:20240101T000000Z\r\n"
    "RECURRENCE-ID;VALUE=DATE:20240102\r\nDTSTART;VALUE=DATE:20240103\r\n",
    "DTSTART:20240101T100000Z\r\nRRULE:FREQ=MINUTELY;BYMONTH=2;BYMONTHDAY=29;BYHOUR=10;"
    "BYMINUTE=0\r\n",
};

// The same `count` events, with the four sparse rules beside them in the first calendar.
fs::path syncedEventsBesideSparseRules(int count) {
  const fs::path pim = syncedEvents(count, "pim-sparse-");
  for (size_t i = 0; i < std::size(kSparseRules); ++i) {
    const std::string uid = "sparse" + std::to_string(i);
    std::ofstream(pim / "calendars" / "c0" / (uid + ".ics"))
        << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//EN\r\nBEGIN:VEVENT\r\nUID:" << uid
        << "\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Sparse\r\n"
        << kSparseRules[i] << "END:VEVENT\r\nEND:VCALENDAR\r\n";
  }
  return pim;
}

// Processor time of all the process's threads, in seconds.
double processSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A store made and asked for a month at once, as a client's first call right after the server
// started: everything the store reads of the folders is in the time.
void BM_FirstMonthAfterStart(benchmark::State& state) {
  prepareProcess();  // the allocator set as the server's programs set it
  const fs::path folder = syncedEvents(static_cast<int>(state.range(0)));
  size_t listed = 0;
  double cpu = 0;
  for (auto _ : state) {
    ::malloc_trim(0);
    const double before = bench::residentMiB();
    bench::PeakMemory peak;
    const auto began = steady_clock::now();
    const double cpuBefore = processSeconds();
    PimStore store(folder);
    listed = store.events(at("2024-05-01"), at("2024-06-01")).size();
    state.SetIterationTime(duration<double>(steady_clock::now() - began).count());
    cpu += processSeconds() - cpuBefore;
    state.counters["index_rss_mib"] = bench::residentMiB() - before;
    state.counters["peak_growth_mib"] = peak.grownMiB();
  }
  state.counters["listed"] = static_cast<double>(listed);
  state.counters["all_threads_cpu_s"] = cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FirstMonthAfterStart)
    ->ArgName("events")
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The first calls of a store that has just started, as a client makes them: the address books
// (which wait for the calendars to be read too), then a week, then the month of February 2028,
// with the four sparse rules beside the events or without them.
void BM_FirstCallsBesideSparseRules(benchmark::State& state) {
  prepareProcess();
  const int count = static_cast<int>(state.range(0));
  const fs::path folder =
      state.range(1) != 0 ? syncedEventsBesideSparseRules(count) : syncedEvents(count);
  size_t listed = 0;
  double cpu = 0;
  for (auto _ : state) {
    const auto began = steady_clock::now();
    const double cpuBefore = processSeconds();
    PimStore store(folder);
    benchmark::DoNotOptimize(store.contacts().size());
    listed = store.events(at("2024-05-06"), at("2024-05-13")).size();
    listed += store.events(at("2028-02-01"), at("2028-03-01")).size();
    state.SetIterationTime(duration<double>(steady_clock::now() - began).count());
    cpu += processSeconds() - cpuBefore;
  }
  state.counters["listed"] = static_cast<double>(listed);
  state.counters["all_threads_cpu_s"] = cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FirstCallsBesideSparseRules)
    ->ArgNames({"events", "sparse"})
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Rules that name no day there is: the 30th of February (each day, hour or year), the 31st of
// the short months (each day or minute), the 30th from the end of February, 10:00 on 31 June by
// the second, and the second Monday of a week in February.
constexpr const char* kNeverMatching[] = {
    "FREQ=DAILY;BYMONTH=2;BYMONTHDAY=30",
    "FREQ=DAILY;BYMONTH=4,6,9,11;BYMONTHDAY=31",
    "FREQ=WEEKLY;BYMONTH=2;BYDAY=MO;BYSETPOS=2",
    "FREQ=MONTHLY;BYMONTH=2;BYMONTHDAY=-30",
    "FREQ=HOURLY;BYMONTH=2;BYMONTHDAY=30",
    "FREQ=MINUTELY;BYMONTH=11;BYMONTHDAY=31",
    "FREQ=SECONDLY;BYMONTH=6;BYMONTHDAY=31;BYHOUR=10",
    "FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30",
};

// The same `count` events, with twenty rules beside them that never match.
fs::path syncedEventsBesideNeverMatchingRules(int count) {
  const fs::path pim = syncedEvents(count, "pim-never-");
  for (int i = 0; i < 20; ++i) {
    const std::string uid = "never" + std::to_string(i);
    std::ofstream(pim / "calendars" / "c0" / (uid + ".ics"))
        << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//EN\r\nBEGIN:VEVENT\r\nUID:" << uid
        << "\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Never\r\nDTSTART:2024010" << i % 7 + 1
        << "T090000Z\r\nRRULE:" << kNeverMatching[i % std::size(kNeverMatching)]
        << "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  }
  return pim;
}

// A week's listing of a store that has read its folders, a week later each time (a listing of the
// same week again is kept), beside twenty rules that never match or without them.
void BM_WeekBesideNeverMatchingRules(benchmark::State& state) {
  prepareProcess();
  const int count = static_cast<int>(state.range(0));
  const fs::path folder =
      state.range(1) != 0 ? syncedEventsBesideNeverMatchingRules(count) : syncedEvents(count);
  PimStore store(folder);
  store.events(at("2024-04-29"), at("2024-05-06"));
  size_t listed = 0;
  double cpu = 0;
  int week = 0;
  for (auto _ : state) {
    const PimTime from = at("2024-05-06") + days(7 * week++);
    const auto began = steady_clock::now();
    const double cpuBefore = processSeconds();
    listed = store.events(from, from + days(7)).size();
    state.SetIterationTime(duration<double>(steady_clock::now() - began).count());
    cpu += processSeconds() - cpuBefore;
  }
  state.counters["listed"] = static_cast<double>(listed);
  state.counters["all_threads_cpu_s"] = cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_WeekBesideNeverMatchingRules)
    ->ArgNames({"events", "never"})
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A sync that changed 2,000 items (a new title each), written as vdirsyncer writes them (a new
// file renamed over the old one), then the next month listing; beside it the same listing when
// nothing changed (a tenth of the events are weekly series, each expanded over the month).
void BM_MonthAfterSync(benchmark::State& state) {
  prepareProcess();
  const int count = static_cast<int>(state.range(0));
  const fs::path folder = syncedEvents(count);
  PimStore store(folder);
  store.events(at("2024-05-01"), at("2024-06-01"));
  int round = 0;
  double cpu = 0;
  for (auto _ : state) {
    ++round;
    for (int i = 0; i < state.range(1); ++i) {
      const int which = i * 37 % count;
      const fs::path file = fileOf(folder, which);
      std::ofstream(file.string() + ".tmp") << syncedItem(
          "s" + std::to_string(which), startOf(which), which, "Changed " + std::to_string(round));
      fs::rename(file.string() + ".tmp", file);
    }
    const auto began = steady_clock::now();
    const double cpuBefore = processSeconds();
    benchmark::DoNotOptimize(store.events(at("2024-05-01"), at("2024-06-01")).size());
    state.SetIterationTime(duration<double>(steady_clock::now() - began).count());
    cpu += processSeconds() - cpuBefore;
  }
  state.counters["all_threads_cpu_s"] = cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_MonthAfterSync)
    ->ArgNames({"events", "changed"})
    ->Args({10000, 0})
    ->Args({10000, 2000})
    ->Args({100000, 0})
    ->Args({100000, 2000})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tvrn
