// The event store over calendars as vdirsyncer keeps them from a CalDAV server: every item carries
// the whole VTIMEZONE of its zone, from 1970 on (half of them Europe/Berlin, half
// America/New_York; one in ten a weekly series). Measured: the first month listing of a store
// that has just started, over 10,000 and 100,000 events, with the memory its index holds; and
// the listing after a sync has changed 2,000 of the files.
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
fs::path syncedEvents(int count) {
  const fs::path pim = bench::privateHome.path / ("pim-synced-" + std::to_string(count));
  if (fs::exists(pim)) return pim;
  for (int c = 0; c < kCalendars; ++c) {
    fs::create_directories(pim / "calendars" / ("c" + std::to_string(c)));
  }
  for (int i = 0; i < count; ++i) {
    std::ofstream(fileOf(pim, i)) << syncedItem("s" + std::to_string(i), startOf(i), i, "Event");
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
