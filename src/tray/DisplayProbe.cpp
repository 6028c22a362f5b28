#include "tray/DisplayProbe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>
#include <cerrno>
#include <cstdlib>

namespace tvrn::DisplayProbe {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void probeInChild(int argc, char** argv) {
  // Qt's own complaints stay out of the user's terminal: the parent says why in one line.
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) ::dup2(null, STDERR_FILENO);
  QGuiApplication probe(argc, argv);
  std::_Exit(EXIT_SUCCESS);
}

// Waits for the child until the deadline; false when it was still running then.
bool waitUntil(pid_t child, Clock::time_point deadline) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  if (pidfd < 0) return true;  // waitpid below then waits as long as it takes
  bool ended = false;
  while (!ended) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd ready{pidfd, POLLIN, 0};
    const int count = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (count < 0 && errno != EINTR) break;
    ended = count > 0;
  }
  ::close(pidfd);
  return ended;
}

}  // namespace

bool canOpen(int argc, char** argv, std::chrono::milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  const pid_t child = ::fork();
  if (child < 0) return true;  // not asked: Qt tries as it always did
  if (child == 0) probeInChild(argc, argv);
  if (!waitUntil(child, until)) ::kill(child, SIGKILL);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return true;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == EXIT_SUCCESS;
}

std::string named() {
  std::string text;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    if (!text.empty()) text += ", ";
    text += std::string(name) + "=" + value;
  }
  return text;
}

}  // namespace tvrn::DisplayProbe
