// What the personal-data tests share: records to seed the store with, and the data methods
// called the way the helper bridge calls them.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "bridges/LocalData.h"
#include "pim/PimTypes.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn::test {

// Points the store at folders that hold nothing yet, so a test starts without the calendar,
// reminder list and address book a fresh store makes for itself.
inline void startWithoutCollections() {
  const auto home = Paths::home();
  writeFile(Paths::appSupport() / "config.json",
            nlohmann::json{{"calendar_folders", {(home / "calendars").string()}},
                           {"contact_folders", {(home / "contacts").string()}}}
                .dump());
}

// An item file in a collection folder, as another program would write it.
inline void writeItem(const std::string& folder, const std::string& name, const std::string& text) {
  writeFile(std::filesystem::path(folder) / name, text);
}

inline Calendar calendarNamed(std::string title, EntityType type = EntityType::event) {
  Calendar calendar;
  calendar.title = std::move(title);
  calendar.entityType = type;
  return calendar;
}

// A UTC time or day such as "2024-05-01T09:00:00Z" or "2024-05-01".
inline PimTime at(const std::string& text) { return LocalData::parseISO8601(text).value(); }

inline Event eventIn(std::string calendarId, std::string title, const std::string& start,
                     const std::string& end) {
  Event event;
  event.calendarId = std::move(calendarId);
  event.title = std::move(title);
  event.start = at(start);
  event.end = at(end);
  return event;
}

inline nlohmann::json callData(const std::string& method,
                               const nlohmann::json& args = nlohmann::json::object()) {
  return LocalData::dispatch(nlohmann::json{{"method", method}, {"args", args}}.dump());
}

inline nlohmann::json failureReply(const std::string& message, bool permission = false) {
  nlohmann::json reply{{"ok", false}, {"error", message}};
  if (permission) reply["permission"] = true;
  return reply;
}

inline nlohmann::json textReply(const std::string& text) { return {{"ok", true}, {"text", text}}; }

}  // namespace tvrn::test
