#include "pim/ICalProperties.h"

#include <algorithm>
#include <vector>

#include "pim/ICalZones.h"
#include "pim/PimCodec.h"

namespace tvrn::ICalProperties {
namespace {

using namespace std::chrono;

std::optional<PimTime> toPim(icaltimetype t) { return ICalTime::instant(t); }

// The earliest year a time of the calendar `root` names on the clock of `tzid`, if any.
std::optional<int> firstYearOf(icalcomponent* root, const std::string& tzid) {
  std::optional<int> first;
  for (icalcomponent* c = icalcomponent_get_first_component(root, ICAL_ANY_COMPONENT); c != nullptr;
       c = icalcomponent_get_next_component(root, ICAL_ANY_COMPONENT)) {
    for (icalproperty* prop = icalcomponent_get_first_property(c, ICAL_ANY_PROPERTY);
         prop != nullptr; prop = icalcomponent_get_next_property(c, ICAL_ANY_PROPERTY)) {
      icalparameter* zone = icalproperty_get_first_parameter(prop, ICAL_TZID_PARAMETER);
      const icalvalue* value = icalproperty_get_value(prop);
      const char* named = zone != nullptr ? icalparameter_get_tzid(zone) : nullptr;
      if (named == nullptr || value == nullptr || tzid != named) continue;
      int year = 0;
      switch (icalvalue_isa(value)) {
        case ICAL_DATETIME_VALUE:
        case ICAL_DATE_VALUE:
          year = icalvalue_get_datetime(value).year;
          break;
        case ICAL_PERIOD_VALUE:
          year = icalvalue_get_period(value).start.year;
          break;
        case ICAL_DATETIMEPERIOD_VALUE: {
          const icaldatetimeperiodtype at = icalvalue_get_datetimeperiod(value);
          year = icaltime_is_null_time(at.time) ? at.period.start.year : at.time.year;
          break;
        }
        default:
          continue;
      }
      if (year > 0 && (!first || year < *first)) first = year;
    }
  }
  return first;
}

// Its VTIMEZONEs, gathered before any is changed (a change restarts libical's walk).
std::vector<icalcomponent*> zoneBlocksOf(icalcomponent* root) {
  std::vector<icalcomponent*> found;
  for (icalcomponent* c = icalcomponent_get_first_component(root, ICAL_VTIMEZONE_COMPONENT);
       c != nullptr; c = icalcomponent_get_next_component(root, ICAL_VTIMEZONE_COMPONENT)) {
    found.push_back(c);
  }
  return found;
}

// Gives the calendar that holds `comp` the VTIMEZONE of a zone the system knows, unless it has
// one of that name: a program that reads the file finds the zone its TZID names in the file. It
// holds the zone's rules from the first year the file's times on that clock fall in.
void addZoneOf(icalcomponent* comp, const ICalTime::Form& form) {
  // A TZID with blanks at its ends is no name a VTIMEZONE can give back: libical reads the
  // VTIMEZONE's own TZID without them.
  if (form.kind != ICalTime::Form::Kind::zoned || form.tzid.empty() ||
      ICalZones::withoutBlanks(form.tzid) != form.tzid) {
    return;
  }
  icalcomponent* root = icalcomponent_get_parent(comp);
  if (root == nullptr) return;
  for (icalcomponent* c : zoneBlocksOf(root)) {
    icalproperty* tzid = icalcomponent_get_first_property(c, ICAL_TZID_PROPERTY);
    if (tzid != nullptr && form.tzid == icalproperty_get_tzid(tzid)) return;
  }
  const std::optional<int> first = firstYearOf(root, form.tzid);
  if (!first) return;
  if (icalcomponent* zone = ICalZones::rulesFrom(form.zone, form.tzid, *first)) {
    icalcomponent_add_component(root, zone);
  }
}

constexpr std::pair<icalrecurrencetype_frequency, RecurrenceFrequency> kFrequencies[] = {
    {ICAL_DAILY_RECURRENCE, RecurrenceFrequency::daily},
    {ICAL_WEEKLY_RECURRENCE, RecurrenceFrequency::weekly},
    {ICAL_MONTHLY_RECURRENCE, RecurrenceFrequency::monthly},
    {ICAL_YEARLY_RECURRENCE, RecurrenceFrequency::yearly}};

constexpr std::pair<icalparameter_role, ParticipantRole> kRoles[] = {
    {ICAL_ROLE_REQPARTICIPANT, ParticipantRole::required},
    {ICAL_ROLE_OPTPARTICIPANT, ParticipantRole::optional},
    {ICAL_ROLE_CHAIR, ParticipantRole::chair},
    {ICAL_ROLE_NONPARTICIPANT, ParticipantRole::nonParticipant}};

constexpr std::pair<icalparameter_partstat, ParticipantStatus> kStatuses[] = {
    {ICAL_PARTSTAT_NEEDSACTION, ParticipantStatus::pending},
    {ICAL_PARTSTAT_ACCEPTED, ParticipantStatus::accepted},
    {ICAL_PARTSTAT_DECLINED, ParticipantStatus::declined},
    {ICAL_PARTSTAT_TENTATIVE, ParticipantStatus::tentative},
    {ICAL_PARTSTAT_DELEGATED, ParticipantStatus::delegated},
    {ICAL_PARTSTAT_COMPLETED, ParticipantStatus::completed},
    {ICAL_PARTSTAT_INPROCESS, ParticipantStatus::inProcess}};

std::vector<Attendee> attendeesOf(icalcomponent* comp) {
  std::vector<Attendee> attendees;
  for (icalproperty* prop = icalcomponent_get_first_property(comp, ICAL_ATTENDEE_PROPERTY);
       prop != nullptr; prop = icalcomponent_get_next_property(comp, ICAL_ATTENDEE_PROPERTY)) {
    Attendee attendee;
    const char* url = icalproperty_get_attendee(prop);
    attendee.url = url != nullptr ? url : "";
    if (auto* cn = icalproperty_get_first_parameter(prop, ICAL_CN_PARAMETER)) {
      attendee.name = icalparameter_get_cn(cn);
    }
    if (auto* role = icalproperty_get_first_parameter(prop, ICAL_ROLE_PARAMETER)) {
      for (const auto& [ical, ours] : kRoles) {
        if (ical == icalparameter_get_role(role)) attendee.role = ours;
      }
    }
    if (auto* status = icalproperty_get_first_parameter(prop, ICAL_PARTSTAT_PARAMETER)) {
      for (const auto& [ical, ours] : kStatuses) {
        if (ical == icalparameter_get_partstat(status)) attendee.status = ours;
      }
    }
    attendees.push_back(std::move(attendee));
  }
  return attendees;
}

}  // namespace

void fitZones(icalcomponent* root, const std::function<void(icalcomponent*)>& discard) {
  for (icalcomponent* vtz : zoneBlocksOf(root)) {
    icalproperty* name = icalcomponent_get_first_property(vtz, ICAL_TZID_PROPERTY);
    if (name == nullptr) continue;
    const auto replaced = ICalZones::refitted(vtz, firstYearOf(root, icalproperty_get_tzid(name)));
    if (!replaced) continue;
    discard(vtz);
    if (*replaced != nullptr) icalcomponent_add_component(root, *replaced);
  }
}

PimTime later(PimTime time, PimTime::duration by) {
  if (by > PimTime::duration::zero() && time > PimTime::max() - by) return PimTime::max();
  if (by < PimTime::duration::zero() && time < PimTime::min() - by) return PimTime::min();
  return time + by;
}

icaltimetype timeOf(icalcomponent* comp, icalproperty_kind kind) {
  icalproperty* prop = icalcomponent_get_first_property(comp, kind);
  if (prop == nullptr) return icaltime_null_time();
  return ICalTime::valueOf(prop, comp);
}

bool exists(icaltimetype t) {
  if (icaltime_is_null_time(t)) return true;
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > icaltime_days_in_month(t.month, t.year)) {
    return false;
  }
  return t.is_date != 0 || (t.hour < 24 && t.minute < 60 && t.second <= 60);
}

void removeAll(icalcomponent* comp, icalproperty_kind kind) {
  while (icalproperty* prop = icalcomponent_get_first_property(comp, kind)) {
    icalcomponent_remove_property(comp, prop);
    icalproperty_free(prop);
  }
}

void setTime(icalcomponent* comp, icalproperty_kind kind, PimTime time,
             const ICalTime::Form& form) {
  removeAll(comp, kind);
  icalcomponent_add_property(comp, ICalTime::property(kind, time, form));
}

void setTime(icalcomponent* comp, icalproperty_kind kind, const icaltimetype& wall,
             const ICalTime::Form& form) {
  removeAll(comp, kind);
  icalcomponent_add_property(comp, ICalTime::property(kind, wall, form));
}

void setLength(icalcomponent* comp, PimTime::duration length) {
  removeAll(comp, ICAL_DTEND_PROPERTY);
  removeAll(comp, ICAL_DURATION_PROPERTY);
  const auto count = duration_cast<seconds>(length).count();
  icalcomponent_add_property(
      comp, icalproperty_new_duration(icaldurationtype_from_int(static_cast<int>(count))));
}

std::string textOf(icalcomponent* comp, icalproperty_kind kind) {
  icalproperty* prop = icalcomponent_get_first_property(comp, kind);
  if (prop == nullptr) return {};
  const char* text = nullptr;
  switch (kind) {
    case ICAL_SUMMARY_PROPERTY:
      text = icalproperty_get_summary(prop);
      break;
    case ICAL_LOCATION_PROPERTY:
      text = icalproperty_get_location(prop);
      break;
    case ICAL_URL_PROPERTY:
      text = icalproperty_get_url(prop);
      break;
    default:
      text = icalproperty_get_description(prop);
      break;
  }
  return text != nullptr ? text : "";
}

void setText(icalcomponent* comp, icalproperty_kind kind, const std::string& text) {
  removeAll(comp, kind);
  if (text.empty()) return;
  icalproperty* prop = nullptr;
  switch (kind) {
    case ICAL_SUMMARY_PROPERTY:
      prop = icalproperty_new_summary(text.c_str());
      break;
    case ICAL_LOCATION_PROPERTY:
      prop = icalproperty_new_location(text.c_str());
      break;
    case ICAL_URL_PROPERTY:
      prop = icalproperty_new_url(text.c_str());
      break;
    default:
      prop = icalproperty_new_description(text.c_str());
      break;
  }
  icalcomponent_add_property(comp, prop);
}

std::optional<RecurrenceRule> ruleOf(icalcomponent* comp) {
  icalproperty* prop = icalcomponent_get_first_property(comp, ICAL_RRULE_PROPERTY);
  if (prop == nullptr) return std::nullopt;
  const icalrecurrencetype recur = icalproperty_get_rrule(prop);
  for (const auto& [ical, ours] : kFrequencies) {
    if (ical != recur.freq) continue;
    RecurrenceRule rule;
    rule.frequency = ours;
    rule.interval = std::max<int>(1, recur.interval);
    if (recur.count > 0) rule.occurrenceCount = recur.count;
    if (!icaltime_is_null_time(recur.until)) rule.endDate = toPim(recur.until);
    return rule;
  }
  return std::nullopt;  // a rule the records cannot say (hourly...) still repeats the event
}

icalproperty* ruleProperty(const RecurrenceRule& rule, const ICalTime::Form& start) {
  icalrecurrencetype recur;
  icalrecurrencetype_clear(&recur);
  for (const auto& [ical, ours] : kFrequencies) {
    if (ours == rule.frequency) recur.freq = ical;
  }
  recur.interval = static_cast<short>(std::clamp(rule.interval, 1, 32767));
  if (rule.occurrenceCount) recur.count = *rule.occurrenceCount;
  if (rule.endDate) recur.until = ICalTime::until(*rule.endDate, start);
  return icalproperty_new_rrule(recur);
}

std::optional<Event> eventOf(icalcomponent* comp) {
  Event event;
  for (const auto& [kind, member] : kEventTexts) event.*member = textOf(comp, kind);
  const icaltimetype start = timeOf(comp, ICAL_DTSTART_PROPERTY);
  const icaltimetype end = timeOf(comp, ICAL_DTEND_PROPERTY);
  // A day that does not exist is none the event can be shown on, nor the day after it.
  if (!exists(start) || !exists(end)) return std::nullopt;
  auto begins = toPim(start);
  if (!begins) return std::nullopt;
  event.start = *begins;
  event.allDay = start.is_date != 0;
  const auto ends = toPim(end);
  if (ends && *ends >= event.start) {
    event.end = *ends;
  } else if (icalcomponent_get_first_property(comp, ICAL_DURATION_PROPERTY) != nullptr) {
    const icaldurationtype length = icalcomponent_get_duration(comp);
    event.end = later(event.start, seconds(std::max(0, icaldurationtype_as_int(length))));
  } else {
    event.end = event.allDay ? later(event.start, days(1)) : event.start;
  }
  // An all-day event covers whole days, at least its first: an end on its start day (DTEND equal
  // to DTSTART, a DURATION of hours) is the end of that day, as a day without an end is.
  if (event.allDay && event.end < PimTime::max() - days(1)) PimCodec::coverWholeDays(event);
  if (event.end > later(event.start, kPimLongestEvent)) return std::nullopt;
  event.attendees = attendeesOf(comp);
  event.recurrence = ruleOf(comp);
  return event;
}

void touch(icalcomponent* comp) {
  const icaltimetype now = icaltime_current_time_with_zone(icaltimezone_get_utc_timezone());
  removeAll(comp, ICAL_DTSTAMP_PROPERTY);
  icalcomponent_add_property(comp, icalproperty_new_dtstamp(now));
  removeAll(comp, ICAL_LASTMODIFIED_PROPERTY);
  icalcomponent_add_property(comp, icalproperty_new_lastmodified(now));
}

bool recordDiffers(const Event& before, const Event& after) {
  for (const auto& [kind, member] : kEventTexts) {
    if (before.*member != after.*member) return true;
  }
  return before.start != after.start || before.end != after.end || before.allDay != after.allDay;
}

void applyDifferences(icalcomponent* comp, const Event& before, const Event& after) {
  for (const auto& [kind, member] : kEventTexts) {
    if (before.*member != after.*member) setText(comp, kind, after.*member);
  }
  if (before.start != after.start || before.end != after.end || before.allDay != after.allDay) {
    using Kind = ICalTime::Form::Kind;
    ICalTime::Form start = ICalTime::formOf(comp, ICAL_DTSTART_PROPERTY);
    ICalTime::Form end = icalcomponent_get_first_property(comp, ICAL_DTEND_PROPERTY) != nullptr
                             ? ICalTime::formOf(comp, ICAL_DTEND_PROPERTY)
                             : start;
    if (after.allDay) {
      start = end = ICalTime::date();
    } else {
      // A day has no zone: its time of day is the user's, which holds across a change of offset.
      if (start.kind == Kind::date) start = ICalTime::userForm();
      if (end.kind == Kind::date) end = start;
    }
    // A start the change leaves where it is stays as the file has it: a rule's 02:30 on the
    // night the clock skips it is no instant's wall clock. One moved to the first of the two
    // instants a zone's clock shows the same time at is written in UTC, which names it, unless it
    // is a series' start, which its rule steps from on the zone's clock: the caller refuses that.
    const bool startMoves = before.start != after.start || before.allDay != after.allDay ||
                            ICalTime::formOf(comp, ICAL_DTSTART_PROPERTY).kind != start.kind;
    const bool series =
        icalcomponent_get_first_property(comp, ICAL_RECURRENCEID_PROPERTY) == nullptr &&
        (after.recurrence || icalcomponent_get_first_property(comp, ICAL_RRULE_PROPERTY) ||
         icalcomponent_get_first_property(comp, ICAL_RDATE_PROPERTY));
    removeAll(comp, ICAL_DURATION_PROPERTY);
    const ICalTime::Form held = series ? start : ICalTime::heldBy(after.start, start);
    if (startMoves) setTime(comp, ICAL_DTSTART_PROPERTY, after.start, held);
    icaltimetype begins = timeOf(comp, ICAL_DTSTART_PROPERTY);
    begins.zone = nullptr;
    const bool floatingEnd = end.kind == Kind::floating && !ICalTime::holds(after.end, end);
    if (!after.allDay &&
        (floatingEnd || !ICalTime::shows(begins, ICalTime::formOf(comp, ICAL_DTSTART_PROPERTY)))) {
      // A start kept at a time its clock skips is read an hour apart (libical with the offset
      // after the gap, khal with the one before it), and a floating end at the first of two times
      // the clock shows would be read as the later: its length says the same to all.
      setLength(comp, after.end - after.start);
    } else {
      // Beside a start held in UTC, as the zone's clock shows its wall clock twice, an end on
      // that clock would be read as the first of its two instants by RFC 5545 and the later by
      // libical and khal.
      setTime(comp, ICAL_DTEND_PROPERTY, after.end,
              startMoves && held.kind != start.kind ? held : ICalTime::heldBy(after.end, end));
    }
    // After the new times, which may be the earliest the file holds on that clock.
    if (!after.allDay) addZoneOf(comp, start);
  }
  touch(comp);
}

std::pair<std::optional<PimTime>, std::optional<PimTime>> extraDate(
    icalproperty* prop, icalcomponent* main, const icaltimezone* seriesZone) {
  // For a period this gives no time, but the zone its TZID names.
  const icaltimetype at = ICalTime::valueOf(prop, main);
  const icalperiodtype period = icalproperty_get_rdate(prop).period;
  if (icalperiodtype_is_null_period(period)) return {ICalTime::instant(at, seriesZone), {}};
  const auto inZone = [&](icaltimetype t) {
    if (!icaltime_is_utc(t)) t.zone = at.zone;
    return ICalTime::instant(t, seriesZone);
  };
  const auto begins = inZone(period.start);
  if (!begins) return {};
  if (!icaltime_is_null_time(period.end)) return {begins, inZone(period.end)};
  return {begins, later(*begins, seconds(std::max(0, icaldurationtype_as_int(period.duration))))};
}

long dayNumber(icaltimetype t) {
  const sys_days at =
      year(t.year) / month(static_cast<unsigned>(t.month)) / day(static_cast<unsigned>(t.day));
  return static_cast<long>(at.time_since_epoch().count());
}

}  // namespace tvrn::ICalProperties
