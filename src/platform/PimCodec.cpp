#include "platform/PimCodec.h"

#include <climits>
#include <cstdio>
#include <vector>

#include "platform/Timestamp.h"

namespace tvrn::PimCodec {
namespace {

using namespace std::chrono;

[[noreturn]] void bad(const std::string& why) { throw BadRecord{why}; }

std::string quoted(const char* key) { return std::string("\"") + key + "\""; }

template <typename E>
struct Word {
  E value;
  std::string_view text;
};

constexpr Word<CalendarType> kCalendarTypes[] = {{CalendarType::local, "local"},
                                                 {CalendarType::calDAV, "calDAV"},
                                                 {CalendarType::exchange, "exchange"},
                                                 {CalendarType::subscription, "subscription"},
                                                 {CalendarType::birthday, "birthday"}};

constexpr Word<SourceType> kSourceTypes[] = {
    {SourceType::local, "local"},           {SourceType::exchange, "exchange"},
    {SourceType::calDAV, "calDAV"},         {SourceType::mobileMe, "mobileMe"},
    {SourceType::subscribed, "subscribed"}, {SourceType::birthdays, "birthdays"}};

constexpr Word<ParticipantRole> kRoles[] = {{ParticipantRole::unknown, "unknown"},
                                            {ParticipantRole::required, "required"},
                                            {ParticipantRole::optional, "optional"},
                                            {ParticipantRole::chair, "chair"},
                                            {ParticipantRole::nonParticipant, "nonParticipant"}};

constexpr Word<ParticipantStatus> kStatuses[] = {
    {ParticipantStatus::unknown, "unknown"},     {ParticipantStatus::pending, "pending"},
    {ParticipantStatus::accepted, "accepted"},   {ParticipantStatus::declined, "declined"},
    {ParticipantStatus::tentative, "tentative"}, {ParticipantStatus::delegated, "delegated"},
    {ParticipantStatus::completed, "completed"}, {ParticipantStatus::inProcess, "inProcess"}};

constexpr Word<RecurrenceFrequency> kFrequencies[] = {{RecurrenceFrequency::daily, "daily"},
                                                      {RecurrenceFrequency::weekly, "weekly"},
                                                      {RecurrenceFrequency::monthly, "monthly"},
                                                      {RecurrenceFrequency::yearly, "yearly"}};

constexpr Word<ContainerType> kContainerTypes[] = {{ContainerType::unassigned, "unassigned"},
                                                   {ContainerType::local, "local"},
                                                   {ContainerType::exchange, "exchange"},
                                                   {ContainerType::cardDAV, "cardDAV"}};

template <typename E, size_t N>
std::string wordFor(const Word<E> (&table)[N], E value) {
  for (const auto& entry : table) {
    if (entry.value == value) return std::string(entry.text);
  }
  return std::string(table[0].text);
}

const json* field(const json& object, const char* key) {
  auto it = object.find(key);
  return (it == object.end() || it->is_null()) ? nullptr : &*it;
}

template <typename E, size_t N>
E wordField(const Word<E> (&table)[N], const json& object, const char* key, E fallback) {
  const json* value = field(object, key);
  if (value == nullptr) return fallback;
  if (value->is_string()) {
    for (const auto& entry : table) {
      if (entry.text == value->get_ref<const std::string&>()) return entry.value;
    }
  }
  bad(quoted(key) + " is not one of the known words");
}

std::optional<int> number(const json& object, const char* key) {
  const json* value = field(object, key);
  if (value == nullptr) return std::nullopt;
  if (!value->is_number_integer()) bad(quoted(key) + " is not a whole number");
  const auto whole = value->get<long long>();
  if (whole < INT_MIN || whole > INT_MAX) bad(quoted(key) + " is out of range");
  return static_cast<int>(whole);
}

std::optional<PimTime> timeField(const json& object, const char* key, bool* dateOnly = nullptr) {
  const json* value = field(object, key);
  if (value == nullptr) return std::nullopt;
  std::optional<PimTime> time;
  if (value->is_string()) time = parseTime(value->get_ref<const std::string&>(), dateOnly);
  if (!time) bad(quoted(key) + " is not a date");
  return time;
}

const json& objectField(const json& object, const char* key) {
  static const json none = json::object();
  const json* value = field(object, key);
  if (value == nullptr) return none;
  if (!value->is_object()) bad(quoted(key) + " is not an object");
  return *value;
}

const json& arrayField(const json& object, const char* key) {
  static const json none = json::array();
  const json* value = field(object, key);
  if (value == nullptr) return none;
  if (!value->is_array()) bad(quoted(key) + " is not a list");
  for (const auto& item : *value) {
    if (!item.is_object()) bad(quoted(key) + " holds something other than objects");
  }
  return *value;
}

std::string requiredId(const json& record) {
  std::string id = text(record, "id");
  if (id.empty()) bad("it has no \"id\"");
  return id;
}

void putText(json& record, const char* key, const std::string& value) {
  if (value.empty()) {
    record.erase(key);
  } else {
    record[key] = value;
  }
}

std::optional<DateComponents> componentsField(const json& object, const char* key) {
  const json* value = field(object, key);
  if (value == nullptr) return std::nullopt;
  if (!value->is_object()) bad(quoted(key) + " is not an object");
  DateComponents components{number(*value, "year"), number(*value, "month"), number(*value, "day"),
                            number(*value, "hour"), number(*value, "minute")};
  if (!validComponents(components)) bad(quoted(key) + " is not a valid date");
  return components;
}

json componentsJson(const DateComponents& components) {
  json out = json::object();
  auto put = [&](const char* key, const std::optional<int>& value) {
    if (value) out[key] = *value;
  };
  put("year", components.year);
  put("month", components.month);
  put("day", components.day);
  put("hour", components.hour);
  put("minute", components.minute);
  return out;
}

void putComponents(json& record, const char* key, const std::optional<DateComponents>& value) {
  if (value) {
    record[key] = componentsJson(*value);
  } else {
    record.erase(key);
  }
}

bool digitsAt(std::string_view text, size_t at, size_t count, int* out) {
  if (at + count > text.size()) return false;
  int value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *out = value;
  return true;
}

RecurrenceRule decodeRule(const json& object, bool allDay) {
  RecurrenceRule rule;
  if (field(object, "frequency") == nullptr) bad("\"recurrence\" has no \"frequency\"");
  rule.frequency = wordField(kFrequencies, object, "frequency", RecurrenceFrequency::daily);
  rule.interval = number(object, "interval").value_or(1);
  if (rule.interval < 1) bad("\"interval\" is less than 1");
  rule.occurrenceCount = number(object, "count");
  if (rule.occurrenceCount && *rule.occurrenceCount < 1) bad("\"count\" is less than 1");
  bool dateOnly = false;
  rule.endDate = timeField(object, "until", &dateOnly);
  if (rule.endDate && dateOnly && !allDay) {
    // A day given for a timed series ends it with that local day.
    const year_month_day day(floor<days>(*rule.endDate));
    DateComponents last{static_cast<int>(day.year()), static_cast<int>(unsigned(day.month())),
                        static_cast<int>(unsigned(day.day())), 23, 59};
    if (auto end = last.date()) rule.endDate = *end + seconds(59);
  }
  return rule;
}

std::vector<LabeledValue> labeledValues(const json& record, const char* key) {
  std::vector<LabeledValue> values;
  for (const auto& item : arrayField(record, key)) {
    values.push_back({text(item, "label"), text(item, "value")});
  }
  return values;
}

json labeledJson(const std::vector<LabeledValue>& values) {
  json out = json::array();
  for (const auto& value : values) {
    json item = json::object();
    putText(item, "label", value.label);
    item["value"] = value.value;
    out.push_back(std::move(item));
  }
  return out;
}

void putList(json& record, const char* key, json list) {
  if (list.empty()) {
    record.erase(key);
  } else {
    record[key] = std::move(list);
  }
}

}  // namespace

std::string dayText(PimTime time) {
  const year_month_day day(floor<days>(time));
  char out[16];
  std::snprintf(out, sizeof out, "%04d-%02u-%02u", static_cast<int>(day.year()),
                unsigned(day.month()), unsigned(day.day()));
  return out;
}

std::string instantText(PimTime time) { return Timestamp::iso8601UTC(time); }

std::string timeText(PimTime time, bool asDay) { return asDay ? dayText(time) : instantText(time); }

std::optional<PimTime> parseTime(std::string_view text, bool* dateOnly) {
  int y = 0, mo = 0, d = 0;
  if (!digitsAt(text, 0, 4, &y) || text.size() < 10 || text[4] != '-' ||
      !digitsAt(text, 5, 2, &mo) || text[7] != '-' || !digitsAt(text, 8, 2, &d)) {
    return std::nullopt;
  }
  const year_month_day day{year(y), month(static_cast<unsigned>(mo)),
                           std::chrono::day(static_cast<unsigned>(d))};
  if (y < kPimFirstYear || y > kPimLastYear || !day.ok()) return std::nullopt;
  sys_seconds time = sys_days(day);
  if (text.size() == 10) {
    if (dateOnly != nullptr) *dateOnly = true;
    return PimTime(time);
  }
  int h = 0, mi = 0, s = 0;
  if (text.size() < 20 || text[10] != 'T' || !digitsAt(text, 11, 2, &h) || text[13] != ':' ||
      !digitsAt(text, 14, 2, &mi) || text[16] != ':' || !digitsAt(text, 17, 2, &s) || h > 23 ||
      mi > 59 || s > 59) {
    return std::nullopt;
  }
  time += hours(h) + minutes(mi) + seconds(s);
  const std::string_view zone = text.substr(19);
  if (zone != "Z") {
    int zh = 0, zm = 0;
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || !digitsAt(text, 20, 2, &zh) ||
        zone[3] != ':' || !digitsAt(text, 23, 2, &zm) || zh > 23 || zm > 59) {
      return std::nullopt;
    }
    const auto offset = hours(zh) + minutes(zm);
    time += zone[0] == '+' ? -offset : offset;
  }
  if (dateOnly != nullptr) *dateOnly = false;
  return PimTime(time);
}

bool inStoredRange(PimTime time) {
  static const PimTime first = sys_days(year(kPimFirstYear) / January / 1);
  static const PimTime last = sys_days(year(kPimLastYear + 1) / January / 1);
  return time >= first && time < last;
}

std::string occurrenceKey(PimTime original, bool allDay) {
  std::string key;
  for (char c : timeText(original, allDay)) {
    if (c != '-' && c != ':') key += c;
  }
  return key;
}

std::optional<PimTime> parseOccurrenceKey(std::string_view key) {
  std::string text;
  if (key.size() == 8) {
    text = std::string(key.substr(0, 4)) + "-" + std::string(key.substr(4, 2)) + "-" +
           std::string(key.substr(6, 2));
  } else if (key.size() == 16 && key[8] == 'T' && key[15] == 'Z') {
    text = std::string(key.substr(0, 4)) + "-" + std::string(key.substr(4, 2)) + "-" +
           std::string(key.substr(6, 2)) + "T" + std::string(key.substr(9, 2)) + ":" +
           std::string(key.substr(11, 2)) + ":" + std::string(key.substr(13, 2)) + "Z";
  } else {
    return std::nullopt;
  }
  return parseTime(text);
}

const json& listIn(const json& document, const char* key) {
  static const json none = json::array();
  auto it = document.find(key);
  return (it != document.end() && it->is_array()) ? *it : none;
}

json& arrayIn(json& document, const char* key) {
  json& list = document[key];
  if (!list.is_array()) list = json::array();
  return list;
}

std::string text(const json& object, const char* key) {
  const json* value = field(object, key);
  if (value == nullptr) return {};
  if (!value->is_string()) bad(quoted(key) + " is not a text");
  return value->get<std::string>();
}

bool flag(const json& object, const char* key, bool fallback) {
  const json* value = field(object, key);
  if (value == nullptr) return fallback;
  if (!value->is_boolean()) bad(quoted(key) + " is not true or false");
  return value->get<bool>();
}

void coverWholeDays(Event& event) {
  const sys_days first = floor<days>(event.start);
  sys_days after = floor<days>(event.end);
  if (PimTime(after) != event.end) after += days(1);
  if (after <= first) after = first + days(1);
  event.start = PimTime(first);
  event.end = PimTime(after);
}

bool validComponents(const DateComponents& c) {
  auto within = [](const std::optional<int>& value, int low, int high) {
    return !value || (*value >= low && *value <= high);
  };
  return within(c.year, 1, 9999) && within(c.month, 1, 12) && within(c.day, 1, 31) &&
         within(c.hour, 0, 23) && within(c.minute, 0, 59);
}

Calendar decodeCalendar(const json& record, EntityType type) {
  Calendar calendar;
  calendar.id = requiredId(record);
  calendar.title = text(record, "title");
  calendar.entityType = type;
  calendar.type = wordField(kCalendarTypes, record, "type", CalendarType::local);
  if (const json* color = field(record, "color")) {
    if (!color->is_array()) bad("\"color\" is not a list of numbers");
    std::vector<double> components;
    for (const auto& component : *color) {
      if (!component.is_number()) bad("\"color\" is not a list of numbers");
      components.push_back(component.get<double>());
    }
    calendar.color = std::move(components);
  }
  if (field(record, "source") != nullptr) {
    const json& source = objectField(record, "source");
    calendar.source = CalendarSource{text(source, "title"),
                                     wordField(kSourceTypes, source, "type", SourceType::local)};
  }
  calendar.allowsContentModifications = flag(record, "writable", true);
  return calendar;
}

void encodeCalendar(const Calendar& calendar, json& record) {
  record["id"] = calendar.id;
  putText(record, "title", calendar.title);
  record["type"] = wordFor(kCalendarTypes, calendar.type);
  if (calendar.color) {
    record["color"] = *calendar.color;
  } else {
    record.erase("color");
  }
  if (calendar.source) {
    json source = json::object();
    putText(source, "title", calendar.source->title);
    source["type"] = wordFor(kSourceTypes, calendar.source->type);
    record["source"] = std::move(source);
  } else {
    record.erase("source");
  }
  record["writable"] = calendar.allowsContentModifications;
}

Event decodeEvent(const json& record) {
  Event event;
  event.id = requiredId(record);
  event.calendarId = text(record, "calendar");
  for (const auto& [key, member] : kEventTexts) event.*member = text(record, key);
  event.allDay = flag(record, "allDay", false);
  const auto start = timeField(record, "start");
  if (!start) bad("it has no \"start\"");
  event.start = *start;
  event.end = timeField(record, "end").value_or(*start);
  if (event.allDay) {
    coverWholeDays(event);
  } else if (event.end < event.start) {
    bad("it ends before it starts");
  }
  for (const auto& item : arrayField(record, "attendees")) {
    event.attendees.push_back({text(item, "name"), text(item, "url"),
                               wordField(kRoles, item, "role", ParticipantRole::unknown),
                               wordField(kStatuses, item, "status", ParticipantStatus::unknown),
                               flag(item, "isMe", false)});
  }
  if (field(record, "recurrence") != nullptr) {
    event.recurrence = decodeRule(objectField(record, "recurrence"), event.allDay);
  }
  for (const auto& exception : arrayField(record, "exceptions")) {
    if (!timeField(exception, "occurrence")) bad("an exception has no \"occurrence\"");
    flag(exception, "removed", false);
    Event scratch = event;
    applyException(exception, scratch);
  }
  return event;
}

void encodeEvent(const Event& event, json& record) {
  record["id"] = event.id;
  putText(record, "calendar", event.calendarId);
  for (const auto& [key, member] : kEventTexts) putText(record, key, event.*member);
  record["allDay"] = event.allDay;
  record["start"] = timeText(event.start, event.allDay);
  record["end"] = timeText(event.end, event.allDay);
  if (event.recurrence) {
    record["recurrence"] = ruleJson(*event.recurrence, event.allDay);
  } else {
    record.erase("recurrence");
    record.erase("exceptions");
  }
}

json ruleJson(const RecurrenceRule& rule, bool allDay) {
  json out = json::object();
  out["frequency"] = wordFor(kFrequencies, rule.frequency);
  if (rule.interval != 1) out["interval"] = rule.interval;
  if (rule.occurrenceCount) out["count"] = *rule.occurrenceCount;
  if (rule.endDate) {
    const bool wholeDay = allDay && floor<days>(*rule.endDate) == *rule.endDate;
    out["until"] = timeText(*rule.endDate, wholeDay);
  }
  return out;
}

void applyException(const json& exception, Event& occurrence) {
  for (const auto& [key, member] : kEventTexts) {
    if (field(exception, key) != nullptr) occurrence.*member = text(exception, key);
  }
  if (const auto start = timeField(exception, "start")) {
    occurrence.allDay = flag(exception, "allDay", occurrence.allDay);
    occurrence.start = *start;
    occurrence.end = timeField(exception, "end").value_or(*start);
    if (occurrence.allDay) {
      coverWholeDays(occurrence);
    } else if (occurrence.end < occurrence.start) {
      bad("an exception ends before it starts");
    }
  }
}

Reminder decodeReminder(const json& record) {
  Reminder reminder;
  reminder.id = requiredId(record);
  reminder.listId = text(record, "list");
  reminder.title = text(record, "title");
  reminder.notes = text(record, "notes");
  reminder.dueDateComponents = componentsField(record, "due");
  reminder.completed = flag(record, "completed", false);
  reminder.completionDate = timeField(record, "completionDate");
  reminder.priority = number(record, "priority").value_or(0);
  if (reminder.priority < 0) bad("\"priority\" is negative");
  return reminder;
}

void encodeReminder(const Reminder& reminder, json& record) {
  record["id"] = reminder.id;
  putText(record, "list", reminder.listId);
  putText(record, "title", reminder.title);
  putText(record, "notes", reminder.notes);
  putComponents(record, "due", reminder.dueDateComponents);
  record["completed"] = reminder.completed;
  if (reminder.completionDate) {
    record["completionDate"] = instantText(*reminder.completionDate);
  } else {
    record.erase("completionDate");
  }
  if (reminder.priority > 0) {
    record["priority"] = reminder.priority;
  } else {
    record.erase("priority");
  }
}

ContactContainer decodeContainer(const json& record) {
  return {requiredId(record), text(record, "name"),
          wordField(kContainerTypes, record, "type", ContainerType::local)};
}

void encodeContainer(const ContactContainer& container, json& record) {
  record["id"] = container.id;
  putText(record, "name", container.name);
  record["type"] = wordFor(kContainerTypes, container.type);
}

ContactGroup decodeGroup(const json& record) {
  ContactGroup group{requiredId(record), text(record, "name"), text(record, "container"), {}};
  if (const json* members = field(record, "members")) {
    if (!members->is_array()) bad("\"members\" is not a list");
    for (const auto& member : *members) {
      if (!member.is_string()) bad("\"members\" holds something other than texts");
      group.memberIds.push_back(member.get<std::string>());
    }
  }
  return group;
}

void encodeGroup(const ContactGroup& group, json& record) {
  record["id"] = group.id;
  putText(record, "name", group.name);
  putText(record, "container", group.containerId);
  record["members"] = group.memberIds;
}

Contact decodeContact(const json& record) {
  Contact contact;
  contact.id = requiredId(record);
  contact.containerId = text(record, "container");
  contact.givenName = text(record, "givenName");
  contact.middleName = text(record, "middleName");
  contact.familyName = text(record, "familyName");
  contact.nickname = text(record, "nickname");
  contact.organizationName = text(record, "organization");
  contact.jobTitle = text(record, "jobTitle");
  contact.emailAddresses = labeledValues(record, "emails");
  contact.phoneNumbers = labeledValues(record, "phones");
  for (const auto& item : arrayField(record, "addresses")) {
    contact.postalAddresses.push_back({text(item, "label"), text(item, "street"),
                                       text(item, "city"), text(item, "state"),
                                       text(item, "postalCode"), text(item, "country")});
  }
  contact.birthday = componentsField(record, "birthday");
  if (contact.birthday && (!contact.birthday->month || !contact.birthday->day)) {
    bad("\"birthday\" has no month or day");
  }
  contact.note = text(record, "note");
  return contact;
}

void encodeContact(const Contact& contact, json& record) {
  record["id"] = contact.id;
  putText(record, "container", contact.containerId);
  putText(record, "givenName", contact.givenName);
  putText(record, "middleName", contact.middleName);
  putText(record, "familyName", contact.familyName);
  putText(record, "nickname", contact.nickname);
  putText(record, "organization", contact.organizationName);
  putText(record, "jobTitle", contact.jobTitle);
  putList(record, "emails", labeledJson(contact.emailAddresses));
  putList(record, "phones", labeledJson(contact.phoneNumbers));
  json addresses = json::array();
  for (const auto& address : contact.postalAddresses) {
    json item = json::object();
    putText(item, "label", address.label);
    putText(item, "street", address.street);
    putText(item, "city", address.city);
    putText(item, "state", address.state);
    putText(item, "postalCode", address.postalCode);
    putText(item, "country", address.country);
    addresses.push_back(std::move(item));
  }
  putList(record, "addresses", std::move(addresses));
  putComponents(record, "birthday", contact.birthday);
  putText(record, "note", contact.note);
}

PimDocument::Check listCheck(std::string key, std::function<void(const json&)> decode) {
  return [key = std::move(key),
          decode = std::move(decode)](const json& document) -> std::optional<std::string> {
    if (const json* fallback = field(document, "default"); fallback && !fallback->is_string()) {
      return "\"default\" is not a text";
    }
    const json* list = field(document, key.c_str());
    if (list == nullptr) return std::nullopt;
    if (!list->is_array()) return "\"" + key + "\" is not a list";
    for (size_t i = 0; i < list->size(); ++i) {
      const std::string where = key + "[" + std::to_string(i) + "]";
      if (!(*list)[i].is_object()) return where + " is not an object";
      try {
        decode((*list)[i]);
      } catch (const BadRecord& fault) {
        return where + ": " + fault.why;
      }
    }
    return std::nullopt;
  };
}

}  // namespace tvrn::PimCodec
