// What the personal-data tests share: a privacy gate and stores of the test's own, records to seed
// them with, and the data methods called the way the helper bridge calls them.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "bridges/HelperProxy.h"
#include "bridges/LocalData.h"
#include "bridges/PlatformStores.h"
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

// A test's own personal data: a privacy gate on the access file in the test's home, and the stores
// over the folders that home's settings name. A fixture that derives from it starts each test
// with both fresh.
class PimWorld {
 public:
  // The gate and the store report the files they cannot read through `warn`; without one, to
  // standard error.
  explicit PimWorld(const PimWarningHandler& warn = {})
      : gate(warn), stores(gate, {.warn = warn}) {}

  PimStore& data() const { return stores.data; }

  // A data method called the way the helper bridge calls it, as one line of JSON text.
  nlohmann::json callData(const std::string& method,
                          const nlohmann::json& args = nlohmann::json::object()) const {
    return LocalData::dispatch(stores, nlohmann::json{{"method", method}, {"args", args}}.dump());
  }

  // The data services answering a helper inside the process, as start-up binds them.
  HelperProxy::InProcessDispatch dispatcher() const {
    return [this](std::string_view method, const nlohmann::json& args) {
      return LocalData::dispatch(stores, method, args);
    };
  }

  // Mutable: a test's const helpers read through them as well.
  mutable PrivacyGate gate;
  mutable PlatformStores stores;
};

inline nlohmann::json failureReply(const std::string& message, bool permission = false) {
  nlohmann::json reply{{"ok", false}, {"error", message}};
  if (permission) reply["permission"] = true;
  return reply;
}

inline nlohmann::json textReply(const std::string& text) { return {{"ok", true}, {"text", text}}; }

// How a create or update call refuses a date it cannot read: with the forms that do.
inline std::string invalidDate(const std::string& key, const std::string& text) {
  return "Invalid " + key + " '" + text +
         "'. Use a date such as 2026-05-01 (a whole day), a local time such as "
         "2026-05-01T14:30:00, or a time with its zone such as 2026-05-01T14:30:00Z or "
         "2026-05-01T14:30:00+02:00.";
}

}  // namespace tvrn::test
