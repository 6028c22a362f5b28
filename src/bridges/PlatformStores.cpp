#include "bridges/PlatformStores.h"

#include <memory>
#include <nlohmann/json.hpp>

#include "core/ConfigManager.h"

namespace tvrn {
namespace {

// The process's one store, whose folders the system's settings name. Never destroyed, so a
// request still running while the process exits finds it.
PimStore& processStore() {
  static auto* store = new PimStore({}, {.settings = []() -> std::shared_ptr<const nlohmann::json> {
                                           auto settings = ConfigManager::shared().snapshot();
                                           return {settings, &settings->values};
                                         }});
  return *store;
}

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
  static EventStore store(processStore(), PrivacyGate::shared());
  return store;
}

ContactStore& contactStore() {
  static ContactStore store(processStore(), PrivacyGate::shared());
  return store;
}

}  // namespace tvrn
