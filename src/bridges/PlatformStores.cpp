#include "bridges/PlatformStores.h"

#include <memory>
#include <nlohmann/json.hpp>

#include "core/ConfigManager.h"

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

PimStore::SettingsSource PlatformStores::settingsOf(const ConfigManager& settings) {
  return [&settings]() -> std::shared_ptr<const nlohmann::json> {
    auto snapshot = settings.snapshot();
    // Unknown while a file cannot be read: the store then makes none of its default folders.
    if (snapshot->unreadable) return nullptr;
    return {snapshot, &snapshot->values};
  };
}

PlatformStores::SettingsTrouble PlatformStores::troubleOf(const ConfigManager& settings) {
  return [&settings] { return settings.snapshot()->unreadable; };
}

}  // namespace tvrn
