// The program entry. With a desktop it is the tray: the status icon, the popover and the
// notifications, with the server running inside it. With --headless, or when no display is
// set or the one set cannot be opened, it serves without a user interface. Either way SIGTERM,
// SIGINT and SIGHUP (its terminal closed) take the server down and end the program.
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "cloud/UpdateManager.h"
#include "core/ConfigManager.h"
#include "core/Logger.h"
#include "pim/PrivacyGate.h"
#include "platform/ProcessSetup.h"
#include "server/ServerCore.h"
#include "tray/AppDelegate.h"
#include "tray/ClientSetup.h"
#include "tray/DisplayProbe.h"
#include "tray/NotificationTexts.h"
#include "tray/Notifier.h"
#include "tray/PrivacySettingsDialog.h"
#include "tray/TrayInstances.h"

namespace {

bool wantsHeadless(int argc, char** argv) {
  for (int index = 1; index < argc; ++index) {
    if (std::strcmp(argv[index], "--headless") == 0) return true;
  }
  for (const char* name : {"WAYLAND_DISPLAY", "DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return false;
  }
  return true;
}

// A start refused where a desktop user started it says why on the desktop too, through the
// session's notification server. Without a session bus named or at its usual place, nothing is
// tried: a bus started on demand for one notification would outlive the program.
void sayRefusalOnTheDesktop(int argc, char** argv, const std::string& refusal) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code unknown;
  if ((address == nullptr || *address == '\0') &&
      (runtime == nullptr || *runtime == '\0' ||
       !std::filesystem::is_socket(std::filesystem::path(runtime) / "bus", unknown))) {
    return;
  }
  QCoreApplication application(argc, argv);
  tvrn::Notification refused;
  refused.identifier = "tvrn-start-refused";
  refused.title = tvrn::NotificationTexts::kStartRefusedTitle;
  refused.body = refusal;
  tvrn::Notifier().post(refused);
}

[[noreturn]] void serveHeadless(const sigset_t& stopSignals) {
  if (!tvrn::ServerCore::start(tvrn::ServerCore::makePrivacyGate())) {
    tvrn::endProcess(EXIT_FAILURE);
  }
  int received = 0;
  sigwait(&stopSignals, &received);
  tvrn::ServerCore::shutdown();
  // Sessions and background work end with the process.
  tvrn::endProcess(EXIT_SUCCESS);
}

[[noreturn]] void runTray(int argc, char** argv, const sigset_t& stopSignals) {
  QApplication application(argc, argv);
  // The tray has no main window: closing a dialog must not end it.
  QApplication::setQuitOnLastWindowClosed(false);

  // The stop signals arrive through the event loop, so quitting runs the normal way out.
  const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
  QSocketNotifier stopNotifier(signalFd, QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &application, [signalFd] {
    signalfd_siginfo info;
    while (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    QApplication::quit();
  });

  // One gate for the server and the tray: the tray's prompt and privacy page answer for both.
  const auto gate = tvrn::ServerCore::makePrivacyGate();
  // The user's settings, which the tray reads and writes as the server does.
  const tvrn::ConfigManager& settings = tvrn::ConfigManager::shared();
  tvrn::AppDelegate delegate(
      {
          .terminateExistingInstances = [] { tvrn::TrayInstances::terminateExisting(); },
          .startServer = [gate] { return tvrn::ServerCore::start(gate); },
          // The whole server goes down with the tray, its threads joined.
          .stopServer = [] { tvrn::ServerCore::shutdown(); },
          .takeJustUpdatedVersion = [] { return tvrn::UpdateManager::takeJustUpdatedVersion(); },
          .autoConfigureClients =
              [&delegate, &settings] {
                tvrn::ClientSetup::autoConfigureClientsIfNeeded(delegate, settings,
                                                                tvrn::TrayScheduler::system());
              },
          .registerPermissionPrompt = [gate] { tvrn::installPermissionPrompt(*gate); },
          .statusServerHosts = [] { return tvrn::ServerCore::statusServerHosts(); },
      },
      *gate, settings);
  if (!delegate.applicationDidFinishLaunching()) tvrn::endProcess(EXIT_FAILURE);
  QApplication::exec();
  delegate.applicationWillTerminate();
  tvrn::endProcess(EXIT_SUCCESS);
}

}  // namespace

int main(int argc, char** argv) {
  tvrn::prepareProcess();

  // Blocked before any thread starts, so every thread inherits the mask and only this thread
  // takes these signals.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  // Before the tray ends other copies of itself or the server cleans up anything: a start that
  // cannot serve leaves the running copy serving.
  const bool headless = wantsHeadless(argc, argv);
  if (std::string refusal; !tvrn::ServerCore::readyToServe(&refusal)) {
    if (!headless) sayRefusalOnTheDesktop(argc, argv, refusal);
    tvrn::endProcess(EXIT_FAILURE);
  }
  if (headless) serveHeadless(stopSignals);
  if (!tvrn::DisplayProbe::canOpen(argc, argv)) {
    tvrn::Logger::configure(tvrn::ConfigManager::shared().logPath());
    tvrn::Logger::warn("tray", "The display cannot be opened (" + tvrn::DisplayProbe::named() +
                                   "); serving without a user interface");
    serveHeadless(stopSignals);
  }
  runTray(argc, argv, stopSignals);
}
