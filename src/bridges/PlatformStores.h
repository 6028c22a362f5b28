// The process's one calendar-and-reminder store and one contact store, each with the permission
// that guards it: the data services reach the user's data and ask for access only through these.
#pragma once

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

// Made on first use, once, whichever thread gets there first; kept for the life of the process.
// Both hold the process's one PimStore, which reads the folders the system's settings name.
EventStore& eventStore();
ContactStore& contactStore();

}  // namespace tvrn
