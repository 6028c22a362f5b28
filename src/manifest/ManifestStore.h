// The holder of the manifest in force, which start-up builds and hands to the loader that fills
// it and to those who read it. It changes only by whole replacement, so a reader on any thread
// sees either the previous manifest or the new one, never a mixture.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "manifest/Manifest.h"

namespace tvrn {

class ManifestStore final {
 public:
  ManifestStore() = default;
  ManifestStore(const ManifestStore&) = delete;
  ManifestStore& operator=(const ManifestStore&) = delete;

  // A copy of the manifest in force; none until the first one is stored.
  std::optional<Manifest> manifest() const;
  // The names of the tools the manifest in force disables; empty while there is none. Read
  // without copying the whole manifest, since the tool listing asks at every "tools/list".
  std::set<std::string> disabledToolNames() const;
  // The text of a key of the manifest in force's remote configuration; none without a manifest
  // or such a key.
  std::optional<std::string> setting(const std::string& key) const;
  // Replaces the manifest in force as a whole.
  void setManifest(std::optional<Manifest> manifest);

 private:
  mutable std::mutex mutex_;
  // Guarded by mutex_. Held behind a pointer so the lock covers only a pointer copy or swap,
  // never the copy of a whole manifest or the release of the old one.
  std::shared_ptr<const Manifest> current_;
};

}  // namespace tvrn
