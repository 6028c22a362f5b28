// A long invited series as a CalDAV server keeps it: a weekly meeting whose first 100, 300,
// 1,000 or 3,000 occurrences each have changes of their own (moved an hour, retitled, an attendee
// answered). Measured per size: the first month listing of a store holding only that file, and a
// new title for the whole series through the store (read, changed, checked, written, read back),
// beside the same title change made by libical alone (parse, set, write). Each should grow with
// the number of changed occurrences, not with its square. Beside it, series a person keeps,
// changed once each: their cost should not grow with their length.
#include <benchmark/benchmark.h>
#include <libical/ical.h>

#include <cstdlib>
#include <string>

#include "PrivateHome.h"
#include "pim/PimCodec.h"
#include "pim/PimStore.h"
#include "platform/FileStore.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

constexpr const char* kBerlin =
    "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nBEGIN:DAYLIGHT\r\nTZOFFSETFROM:+0100\r\n"
    "TZOFFSETTO:+0200\r\nTZNAME:CEST\r\nDTSTART:19700329T020000\r\n"
    "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\nBEGIN:STANDARD\r\n"
    "TZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nTZNAME:CET\r\nDTSTART:19701025T030000\r\n"
    "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";

PimTime at(const char* text) { return PimCodec::parseTime(text).value(); }

// "20200106T090000", a wall clock in the series' zone.
std::string wall(sys_days day, int hour) {
  const year_month_day ymd(day);
  char text[20];
  std::snprintf(text, sizeof text, "%04d%02u%02uT%02d0000", static_cast<int>(ymd.year()),
                unsigned(ymd.month()), unsigned(ymd.day()), hour);
  return text;
}

std::string attendees(const char* answer) {
  return std::string("ORGANIZER;CN=Chair:mailto:chair@example.com\r\n") +
         "ATTENDEE;CN=Chair;ROLE=CHAIR;PARTSTAT=ACCEPTED:mailto:chair@example.com\r\n" +
         "ATTENDEE;CN=Me;ROLE=REQ-PARTICIPANT;PARTSTAT=" + answer + ":mailto:me@example.com\r\n";
}

// Every Monday at 09:00 from 2020-01-06 on, its first `changed` occurrences an hour later.
std::string seriesText(int changed) {
  const sys_days first = sys_days(year(2020) / January / 6);
  std::string text =
      std::string(
          "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Example Corp.//CalDAV Server//EN"
          "\r\n") +
      kBerlin + "BEGIN:VEVENT\r\nUID:jour-fixe@example.com\r\nDTSTAMP:20200101T000000Z\r\n" +
      "DTSTART;TZID=Europe/Berlin:" + wall(first, 9) +
      "\r\nDTEND;TZID=Europe/Berlin:" + wall(first, 10) +
      "\r\nRRULE:FREQ=WEEKLY;BYDAY=MO\r\nSUMMARY:Jour fixe\r\n" + attendees("NEEDS-ACTION") +
      "SEQUENCE:0\r\nEND:VEVENT\r\n";
  for (int i = 0; i < changed; ++i) {
    const sys_days day = first + weeks(i);
    text +=
        "BEGIN:VEVENT\r\nUID:jour-fixe@example.com\r\nDTSTAMP:20200101T000000Z\r\n"
        "RECURRENCE-ID;TZID=Europe/Berlin:" +
        wall(day, 9) + "\r\nDTSTART;TZID=Europe/Berlin:" + wall(day, 10) +
        "\r\nDTEND;TZID=Europe/Berlin:" + wall(day, 11) + "\r\nSUMMARY:Jour fixe " +
        std::to_string(i) + "\r\n" + attendees(i % 2 == 0 ? "ACCEPTED" : "DECLINED") +
        "SEQUENCE:1\r\nEND:VEVENT\r\n";
  }
  return text + "END:VCALENDAR\r\n";
}

// A store folder holding only that series.
fs::path storeOf(int changed) {
  const fs::path pim = bench::privateHome.path / ("pim-changed-" + std::to_string(changed));
  bench::require(FileStore::writeAtomic(pim / "calendars" / "work" / "jour-fixe.ics",
                                        seriesText(changed), 0644),
                 "writing the series");
  return pim;
}

void BM_FirstListingOfChangedSeries(benchmark::State& state) {
  const fs::path folder = storeOf(static_cast<int>(state.range(0)));
  size_t listed = 0;
  for (auto _ : state) {
    PimStore store(folder);
    listed = store.events(at("2021-03-01"), at("2021-04-01")).size();
  }
  state.SetComplexityN(state.range(0));
  state.counters["listed"] = static_cast<double>(listed);
}

void BM_TitleOfChangedSeries(benchmark::State& state) {
  const fs::path folder = storeOf(static_cast<int>(state.range(0)));
  PimStore store(folder);
  int round = 0;
  for (auto _ : state) {
    Event first =
        store.firstEvents(at("2020-01-01"), at("2020-01-08"), std::nullopt, 1).events.at(0);
    first.title = "Jour fixe " + std::to_string(round++);
    bench::require(store.saveEvent(first, Span::futureEvents).ok(), "changing the title");
  }
  state.SetComplexityN(state.range(0));
}

// The same change as a program that holds the whole file in libical makes it.
void BM_TitleByLibicalAlone(benchmark::State& state) {
  const fs::path file =
      storeOf(static_cast<int>(state.range(0))) / "calendars" / "work" / "jour-fixe.ics";
  const std::string before = seriesText(static_cast<int>(state.range(0)));
  int round = 0;
  for (auto _ : state) {
    icalcomponent* root = icalparser_parse_string(before.c_str());
    icalcomponent* master = icalcomponent_get_first_component(root, ICAL_VEVENT_COMPONENT);
    icalcomponent_set_summary(master, ("Jour fixe " + std::to_string(round++)).c_str());
    char* text = icalcomponent_as_ical_string_r(root);
    bench::require(FileStore::writeAtomic(file, text, 0644), "writing the file");
    std::free(text);
    icalcomponent_free(root);
  }
  state.SetComplexityN(state.range(0));
}

// Series a person keeps, each changed once through the store from the file as it was: moved an
// hour, or a day, or retitled from a later occurrence on (the series cut in two there). "saved" is
// 1 where the change was made, 0 where it was refused.
struct LongSeries {
  const char* name;
  const char* lines;  // DTSTART to RRULE
  const char* chosen;
  Span span;
  void (*change)(Event&);
};
const LongSeries kLongSeries[] = {
    {"hourly to 2037, an hour later",
     "DTSTART;TZID=Europe/Berlin:20240506T090000\r\nDTEND;TZID=Europe/Berlin:20240506T100000\r\n"
     "RRULE:FREQ=HOURLY;UNTIL=20370101T000000Z\r\n",
     "2024-05-06T07:00:00Z", Span::futureEvents,
     [](Event& e) { e.start += hours(1), e.end += hours(1); }},
    {"daily all-day to 7006, a day later",
     "DTSTART;VALUE=DATE:20240506\r\nDTEND;VALUE=DATE:20240507\r\nRRULE:FREQ=DAILY;UNTIL="
     "70061231\r\n",
     "2024-05-06", Span::futureEvents, [](Event& e) { e.start += days(1), e.end += days(1); }},
    {"twice a day, retitled from a later one",
     "DTSTART;TZID=Europe/Berlin:20240506T090000\r\nDTEND;TZID=Europe/Berlin:20240506T100000\r\n"
     "RRULE:FREQ=DAILY;BYHOUR=9,21\r\n",
     "2024-06-06T19:00:00Z", Span::futureEvents, [](Event& e) { e.title = "Pills taken"; }},
};

void BM_ChangeOfLongSeries(benchmark::State& state) {
  const LongSeries& series = kLongSeries[state.range(0)];
  state.SetLabel(series.name);
  const fs::path pim = bench::privateHome.path / ("pim-long-" + std::to_string(state.range(0)));
  const fs::path folder = pim / "calendars" / "work";
  const std::string text =
      std::string("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Bench//EN\r\n") + kBerlin +
      "BEGIN:VEVENT\r\nUID:long@example.com\r\nDTSTAMP:20240101T000000Z\r\n" + series.lines +
      "SUMMARY:Pills\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  ::setenv("TZ", "Europe/Berlin", 1);
  bool saved = false;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove_all(folder);
    bench::require(FileStore::writeAtomic(folder / "long.ics", text, 0644), "writing the series");
    PimStore store(pim);
    Event chosen = store.events(at(series.chosen), at(series.chosen) + seconds(1)).at(0);
    series.change(chosen);
    state.ResumeTiming();
    saved = store.saveEvent(chosen, series.span).ok();
  }
  state.counters["saved"] = saved ? 1 : 0;
}
BENCHMARK(BM_ChangeOfLongSeries)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// Google Benchmark fits the times to N, N log N, N squared... and names the closest.
#define PER_CHANGED(name)  \
  BENCHMARK(name)          \
      ->ArgName("changed") \
      ->Arg(100)           \
      ->Arg(300)           \
      ->Arg(1000)          \
      ->Arg(3000)          \
      ->Complexity()       \
      ->Unit(benchmark::kMillisecond)

PER_CHANGED(BM_FirstListingOfChangedSeries);
PER_CHANGED(BM_TitleOfChangedSeries);
PER_CHANGED(BM_TitleByLibicalAlone);

}  // namespace
}  // namespace tvrn
