#include "bridges/PlatformStores.h"

namespace tvrn {
namespace {

PrivacyEntity entityFor(EntityType type) {
  return type == EntityType::event ? PrivacyEntity::calendar : PrivacyEntity::reminders;
}

}  // namespace

AuthorizationStatus EventStore::authorizationStatus(EntityType type) const {
  return gate_.status(entityFor(type));
}

AccessAnswer EventStore::requestAccess(EntityType type) const {
  return gate_.requestAccess(entityFor(type));
}

AuthorizationStatus ContactStore::authorizationStatus() const {
  return gate_.status(PrivacyEntity::contacts);
}

AccessAnswer ContactStore::requestAccess() const {
  return gate_.requestAccess(PrivacyEntity::contacts);
}

EventStore& eventStore() {
  static EventStore store(PimStore::shared(), PrivacyGate::shared());
  return store;
}

ContactStore& contactStore() {
  static ContactStore store(PimStore::shared(), PrivacyGate::shared());
  return store;
}

}  // namespace tvrn
