// A server's calendar-and-reminder store and contact store, each with the permission that guards
// it: the data services reach the user's data and ask for access only through these.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "pim/PimStore.h"
#include "pim/PimTypes.h"
#include "pim/PrivacyGate.h"

namespace tvrn {

class EventStore {
 public:
  EventStore(PimStore& data, PrivacyGate& gate) : data_(data), gate_(gate) {}

  // Calendars, events, reminder lists and reminders.
  PimStore& data() const { return data_; }
  // The calendar permission for events, the reminders permission for reminders; asks nobody.
  AuthorizationStatus authorizationStatus(EntityType type) const;
  // Asks the user when they have not been asked yet, blocking until they answer.
  AccessAnswer requestAccess(EntityType type) const;

 private:
  PimStore& data_;
  PrivacyGate& gate_;
};

class ContactStore {
 public:
  ContactStore(PimStore& data, PrivacyGate& gate) : data_(data), gate_(gate) {}

  // Contact containers, groups and contacts.
  PimStore& data() const { return data_; }
  AuthorizationStatus authorizationStatus() const;
  AccessAnswer requestAccess() const;

 private:
  PimStore& data_;
  PrivacyGate& gate_;
};

class ConfigManager;

// What one server's data services are handed: its one PimStore and the two stores over it, with
// the gate they ask. Start-up builds it once and keeps it for the life of the process (a tool of
// an earlier registry may still hold it); a test builds its own.
struct PlatformStores {
  // Why the settings cannot be read now ("<file> does not parse (...)"); nothing while they read.
  using SettingsTrouble = std::function<std::optional<std::string>()>;

  // The store reads the folders `sources` name, and reports through `sources.warn`; `trouble`
  // tells when those settings cannot be read (unset: they always read).
  PlatformStores(PrivacyGate& gate, PimStore::Sources sources, SettingsTrouble trouble = {})
      : data({}, std::move(sources)),
        events(data, gate),
        contacts(data, gate),
        gate(gate),
        settingsTrouble_(std::move(trouble)) {}
  PlatformStores(const PlatformStores&) = delete;
  PlatformStores& operator=(const PlatformStores&) = delete;

  // The settings source of a store whose folders `settings` name: its snapshot, the same object
  // until a settings file changes.
  static PimStore::SettingsSource settingsOf(const ConfigManager& settings);
  // What keeps `settings` from being read now.
  static SettingsTrouble troubleOf(const ConfigManager& settings);

  // While the settings cannot be read the store makes none of its own calendars and lists, so a
  // first start finds none: an answer that finds none says why.
  std::optional<std::string> settingsTrouble() const {
    return settingsTrouble_ ? settingsTrouble_() : std::nullopt;
  }

  PimStore data;
  EventStore events;
  ContactStore contacts;
  PrivacyGate& gate;

 private:
  SettingsTrouble settingsTrouble_;
};

}  // namespace tvrn
