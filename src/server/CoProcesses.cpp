#include "server/CoProcesses.h"

namespace tvrn {

void CoProcesses::end() {
  for (HelperProxy* proxy : {&helper, &helperScanner}) proxy->end();
  for (JXARunnerProxy* proxy :
       {&scripts, &scriptsMedium, &scriptsSlow, &scriptsScanner, &scriptsDiag, &scriptsDiagLong}) {
    proxy->end();
  }
  slack.end();
  teams.end();
}

}  // namespace tvrn
