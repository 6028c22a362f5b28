// Events listed as a person reads a calendar, to compare what the store lists with what khal
// lists of the same folder.
#pragma once

#include <libical/ical.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "bridges/OtherPrograms.h"
#include "pim/PimTypes.h"
#include "support/TestEnv.h"

namespace tvrn::test {

// "<local start> <title>", an all-day event's day alone.
inline std::string shown(const Event& e) {
  const time_t start = std::chrono::system_clock::to_time_t(e.start);
  std::tm at{};
  e.allDay ? ::gmtime_r(&start, &at) : ::localtime_r(&start, &at);
  char text[32];
  std::strftime(text, sizeof text, e.allDay ? "%Y-%m-%d" : "%Y-%m-%d %H:%M", &at);
  return text + (" " + e.title);
}

// The events libical's own expansion (icalcomponent_foreach_recurrence) lists of a calendar file
// from `from` until `to`: a changed occurrence (matched by its RECURRENCE-ID's instant) in place of
// the one it names, a cancelled one left out; title, start, end and all-day-ness.
inline std::vector<Event> libicalEvents(const std::string& text, PimTime from, PimTime to) {
  using namespace std::chrono;
  icalcomponent* root = icalparser_parse_string(text.c_str());
  std::vector<icalcomponent*> all;
  for (auto* c = icalcomponent_get_first_component(root, ICAL_VEVENT_COMPONENT); c != nullptr;
       c = icalcomponent_get_next_component(root, ICAL_VEVENT_COMPONENT)) {
    all.push_back(c);
  }
  const auto span = [](icalcomponent* comp, icaltime_span* s, void* out) {
    const char* title = icalcomponent_get_summary(comp);
    Event e;
    e.title = title ? title : "";
    e.start = system_clock::from_time_t(s->start);
    e.end = system_clock::from_time_t(s->end);
    e.allDay = icalcomponent_get_dtstart(comp).is_date;
    // Its span of days ends with the last second of the DTEND day, where RFC 5545 begins it.
    if (e.allDay) e.end = std::max<PimTime>(floor<days>(e.end), e.start + days(1));
    static_cast<std::vector<Event>*>(out)->push_back(e);
  };
  const auto utc = [](PimTime t) {
    return icaltime_from_timet_with_zone(system_clock::to_time_t(t), 0,
                                         icaltimezone_get_utc_timezone());
  };
  std::vector<Event> events, changed;
  std::vector<PimTime> replaced;
  for (icalcomponent* c : all) {
    icalproperty* id = icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY);
    if (id != nullptr) {
      const icaltimetype at = icalproperty_get_datetime_with_component(id, c);
      replaced.push_back(system_clock::from_time_t(
          icaltime_as_timet_with_zone(at, at.zone ? at.zone : icaltimezone_get_utc_timezone())));
      if (icalcomponent_get_status(c) == ICAL_STATUS_CANCELLED) continue;
    }
    icalcomponent_foreach_recurrence(c, utc(from), utc(to), span, id ? &changed : &events);
  }
  if (root != nullptr) icalcomponent_free(root);
  std::erase_if(events, [&](const Event& e) {
    return std::count(replaced.begin(), replaced.end(), e.start);
  });
  events.insert(events.end(), changed.begin(), changed.end());
  return events;
}

// The calendar file with each rule that has neither COUNT nor UNTIL ended at `until` (a UTC time,
// or the day for an all-day series); unchanged when there is none.
inline std::string withRulesEndedAt(const std::string& text, const icaltimetype& until) {
  icalcomponent* calendar = icalparser_parse_string(text.c_str());
  if (calendar == nullptr) return text;
  bool ended = false;
  for (icalcomponent* event = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT);
       event != nullptr;
       event = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT)) {
    for (icalproperty* rule = icalcomponent_get_first_property(event, ICAL_RRULE_PROPERTY);
         rule != nullptr; rule = icalcomponent_get_next_property(event, ICAL_RRULE_PROPERTY)) {
      icalrecurrencetype recurrence = icalproperty_get_rrule(rule);
      if (recurrence.count != 0 || !icaltime_is_null_time(recurrence.until)) continue;
      recurrence.until = until;
      recurrence.until.is_date = icalcomponent_get_dtstart(event).is_date;
      icalproperty_set_rrule(rule, recurrence);
      ended = true;
    }
  }
  std::string out = text;
  if (ended) {
    char* written = icalcomponent_as_ical_string_r(calendar);
    out = written;
    std::free(written);
  }
  icalcomponent_free(calendar);
  return out;
}

// What khal lists of each calendar folder from one day through another, as shown, sorted, in one
// run of khal for them all. khal expands a series without an end up to 2037 as it reads a folder,
// seconds of work, so it reads copies where such a series ends two days after `through`: the same
// occurrences up to then.
inline std::vector<std::vector<std::string>> khalLists(
    const std::string& khal, const std::vector<std::filesystem::path>& folders, const char* from,
    const char* through) {
  int year = 0, month = 0, day = 0;
  EXPECT_EQ(std::sscanf(through, "%d-%d-%d", &year, &month, &day), 3) << through;
  icaltimetype until = icaltime_null_time();
  until.year = year;
  until.month = month;
  until.day = day;
  icaltime_adjust(&until, 2, 0, 0, 0);
  until.zone = icaltimezone_get_utc_timezone();
  std::string calendars;
  for (std::size_t at = 0; at < folders.size(); ++at) {
    const auto copy = home() / "khal-copies" / std::to_string(at);
    std::filesystem::remove_all(copy);
    for (const auto& entry : std::filesystem::directory_iterator(folders[at])) {
      if (!entry.is_regular_file()) continue;
      const std::string text = readFile(entry.path());
      writeFile(copy / entry.path().filename(),
                entry.path().extension() == ".ics" ? withRulesEndedAt(text, until) : text);
    }
    calendars += "[[" + std::to_string(at) + "]]\npath = " + copy.string() + "\n";
  }
  writeFile(home() / ".config" / "khal" / "config",
            "[calendars]\n" + calendars +
                "[locale]\ndateformat = %Y-%m-%d\ndatetimeformat = %Y-%m-%d %H:%M\n"
                "longdateformat = %Y-%m-%d\nlongdatetimeformat = %Y-%m-%d %H:%M\n");
  std::filesystem::remove(home() / ".local" / "share" / "khal" / "khal.db");  // its cache
  std::istringstream out(run(
      {khal, "list", "--day-format", "", "--format", "{calendar} {start} {title}", from, through}));
  std::vector<std::vector<std::string>> lists(folders.size());
  for (std::string line; std::getline(out, line);) {
    const auto blank = line.find(' ');
    if (blank == std::string::npos) continue;
    const std::size_t at = std::stoul(line.substr(0, blank));
    if (at < lists.size()) lists[at].push_back(line.substr(blank + 1));
  }
  for (auto& lines : lists) std::sort(lines.begin(), lines.end());
  return lists;
}

// The same for one folder.
inline std::vector<std::string> khalList(const std::string& khal,
                                         const std::filesystem::path& folder, const char* from,
                                         const char* through) {
  return khalLists(khal, {folder}, from, through).front();
}

}  // namespace tvrn::test
