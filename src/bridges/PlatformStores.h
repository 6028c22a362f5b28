// A server's calendar-and-reminder store and contact store, each with the permission that guards
// it: the data services reach the user's data and ask for access only through these.
#pragma once

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
  // The store reads the folders `sources` name, and reports through `sources.warn`.
  PlatformStores(PrivacyGate& gate, PimStore::Sources sources)
      : data({}, std::move(sources)), events(data, gate), contacts(data, gate), gate(gate) {}
  PlatformStores(const PlatformStores&) = delete;
  PlatformStores& operator=(const PlatformStores&) = delete;

  // The settings source of a store whose folders `settings` name: its snapshot, the same object
  // until a settings file changes.
  static PimStore::SettingsSource settingsOf(const ConfigManager& settings);

  PimStore data;
  EventStore events;
  ContactStore contacts;
  PrivacyGate& gate;
};

}  // namespace tvrn
