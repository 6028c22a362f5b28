// What the personal-data tests share: records to seed the store with, and the data methods
// called the way the helper bridge calls them.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "bridges/LocalData.h"
#include "platform/PimTypes.h"

namespace tvrn::test {

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
