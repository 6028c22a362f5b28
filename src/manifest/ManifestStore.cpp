#include "manifest/ManifestStore.h"

#include <utility>

namespace tvrn {

std::optional<Manifest> ManifestStore::manifest() const {
  std::shared_ptr<const Manifest> current;
  {
    std::lock_guard lock(mutex_);
    current = current_;
  }
  if (!current) return std::nullopt;
  return *current;
}

std::set<std::string> ManifestStore::disabledToolNames() const {
  std::shared_ptr<const Manifest> current;
  {
    std::lock_guard lock(mutex_);
    current = current_;
  }
  if (!current) return {};
  return {current->disabledTools.begin(), current->disabledTools.end()};
}

std::optional<std::string> ManifestStore::setting(const std::string& key) const {
  std::shared_ptr<const Manifest> current;
  {
    std::lock_guard lock(mutex_);
    current = current_;
  }
  if (!current) return std::nullopt;
  return current->remoteConfig.value(key);
}

void ManifestStore::setManifest(std::optional<Manifest> manifest) {
  std::shared_ptr<const Manifest> next;
  if (manifest) next = std::make_shared<const Manifest>(std::move(*manifest));
  {
    std::lock_guard lock(mutex_);
    current_.swap(next);
  }
  // `next` now holds the previous manifest, released here outside the lock.
}

}  // namespace tvrn
