#include "support/SingletonReset.h"

#include <optional>

#include "bridges/HelperProxy.h"
#include "bridges/JXARunnerProxy.h"
#include "core/ToolCallCounter.h"
#include "core/ToolErrorCounter.h"
#include "manifest/ManifestStore.h"
#include "tools/messaging/CoProcessProxy.h"

namespace tvrn::test {

void resetSingletons() {
  ToolCallCounter::consume();
  ToolCallCounter::resetForTests();
  JXARunnerProxy::resetAllForTests();
  HelperProxy::resetAllForTests();
  HelperProxy::setInProcessDispatch({});
  ToolErrorCounter::consume();
  ManifestStore::shared().setManifest(std::nullopt);
  SlackProxy::shared().resetForTests();
  TeamsProxy::shared().resetForTests();
}

}  // namespace tvrn::test
