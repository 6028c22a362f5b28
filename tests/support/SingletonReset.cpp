#include "support/SingletonReset.h"

#include <optional>

#include "core/ToolCallCounter.h"
#include "core/ToolErrorCounter.h"
#include "manifest/ManifestStore.h"

namespace tvrn::test {

void resetSingletons() {
  ToolCallCounter::consume();
  ToolErrorCounter::consume();
  ManifestStore::shared().setManifest(std::nullopt);
}

}  // namespace tvrn::test
