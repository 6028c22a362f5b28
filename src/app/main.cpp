// The program entry: brings the server up, serves until SIGTERM, SIGINT or SIGHUP (its terminal
// closed), then takes it down.
// Until the tray exists it runs without a user interface.
#include <pthread.h>
#include <signal.h>

#include <cstdlib>

#include "app/ServerCore.h"
#include "platform/ProcessSetup.h"

int main() {
  tvrn::prepareProcess();

  // Blocked before any thread starts, so every thread inherits the mask and only sigwait below
  // takes these signals.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  if (!tvrn::ServerCore::start()) std::_Exit(EXIT_FAILURE);

  int received = 0;
  sigwait(&stopSignals, &received);

  tvrn::ServerCore::shutdown();
  // Sessions and background work end with the process.
  std::_Exit(EXIT_SUCCESS);
}
