// The process-wide holder of the manifest in force. It changes only by whole replacement, so a
// reader on any thread sees either the previous manifest or the new one, never a mixture.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "manifest/Manifest.h"

namespace tvrn {

class ManifestStore final {
 public:
  static ManifestStore& shared();

  ManifestStore(const ManifestStore&) = delete;
  ManifestStore& operator=(const ManifestStore&) = delete;

  // A copy of the manifest in force; none until the first one is stored.
  std::optional<Manifest> manifest() const;
  // Replaces the manifest in force as a whole.
  void setManifest(std::optional<Manifest> manifest);

 private:
  ManifestStore() = default;

  mutable std::mutex mutex_;
  // Guarded by mutex_. Held behind a pointer so the lock covers only a pointer copy or swap,
  // never the copy of a whole manifest or the release of the old one.
  std::shared_ptr<const Manifest> current_;
};

}  // namespace tvrn
