#include "support/SingletonReset.h"

#include <optional>

#include "bridges/HelperProxy.h"
#include "bridges/JXARunnerProxy.h"
#include "manifest/ManifestStore.h"
#include "tools/messaging/CoProcessProxy.h"

namespace tvrn::test {

void resetSingletons() {
  JXARunnerProxy::resetAllForTests();
  HelperProxy::resetAllForTests();
  HelperProxy::setInProcessDispatch({});
  ManifestStore::shared().setManifest(std::nullopt);
  SlackProxy::shared().resetForTests();
  TeamsProxy::shared().resetForTests();
}

}  // namespace tvrn::test
