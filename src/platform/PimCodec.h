// How the personal-data store writes its records in its JSON files (the layout is described in
// PimStore.h), and how it reads them back.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/PimDocument.h"
#include "platform/PimTypes.h"

namespace tvrn::PimCodec {

using json = nlohmann::json;

// Raised by the decoders for a record that does not read; the store's file checks catch it, so it
// never leaves the store.
struct BadRecord {
  std::string why;
};

// The event's text fields by their key in the files.
struct EventText {
  const char* key;
  std::string Event::*member;
};
inline constexpr EventText kEventTexts[] = {{"title", &Event::title},
                                            {"location", &Event::location},
                                            {"notes", &Event::notes},
                                            {"url", &Event::url}};

// "2024-05-01T08:30:00Z"; "2024-05-01" (the UTC day).
std::string instantText(PimTime time);
std::string dayText(PimTime time);
std::string timeText(PimTime time, bool asDay);
// Reads "YYYY-MM-DD" (midnight UTC), "YYYY-MM-DDTHH:MM:SSZ" and "YYYY-MM-DDTHH:MM:SS+HH:MM".
std::optional<PimTime> parseTime(std::string_view text, bool* dateOnly = nullptr);
bool inStoredRange(PimTime time);

// The part of an occurrence's id after the series id: its original start, compactly.
std::string occurrenceKey(PimTime original, bool allDay);
std::optional<PimTime> parseOccurrenceKey(std::string_view key);

// The array under `key`, or an empty one.
const json& listIn(const json& document, const char* key);
// The array under `key`, made one when it is not.
json& arrayIn(json& document, const char* key);
std::string text(const json& object, const char* key);
bool flag(const json& object, const char* key, bool fallback);

// All-day events cover whole UTC days: the start moves back to its midnight, the end on to the
// next one, and at least one day is covered.
void coverWholeDays(Event& event);
bool validComponents(const DateComponents& components);

Calendar decodeCalendar(const json& record, EntityType type);
void encodeCalendar(const Calendar& calendar, json& record);

// The stored event (a series' first occurrence for a repeating one); exceptions are left in the
// record.
Event decodeEvent(const json& record);
// Writes every field but the attendees, which only the file's author sets.
void encodeEvent(const Event& event, json& record);
json ruleJson(const RecurrenceRule& rule, bool allDay);
// Applies a changed occurrence's own fields.
void applyException(const json& exception, Event& occurrence);

Reminder decodeReminder(const json& record);
void encodeReminder(const Reminder& reminder, json& record);

ContactContainer decodeContainer(const json& record);
void encodeContainer(const ContactContainer& container, json& record);
ContactGroup decodeGroup(const json& record);
void encodeGroup(const ContactGroup& group, json& record);
Contact decodeContact(const json& record);
void encodeContact(const Contact& contact, json& record);

// A file check: the list under `key` holds objects that `decode` reads, and "default", when
// present, is a text.
PimDocument::Check listCheck(std::string key, std::function<void(const json&)> decode);

}  // namespace tvrn::PimCodec
