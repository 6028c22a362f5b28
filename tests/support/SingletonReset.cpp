#include "support/SingletonReset.h"

#include <optional>

#include "manifest/ManifestStore.h"

namespace tvrn::test {

void resetSingletons() { ManifestStore::shared().setManifest(std::nullopt); }

}  // namespace tvrn::test
