#include "pim/PimWatcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/FileWatch.h"
#include "platform/ProcessSetup.h"

namespace tvrn::pimstore {

std::unique_ptr<PimWatcher> PimWatcher::open() {
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::unique_ptr<PimWatcher>(new PimWatcher(fd, forksSoFar()));
}

PimWatcher::PimWatcher(int fd, unsigned forks)
    : fd_(fd), readiness_(Readiness::instanceFor(fd)), forks_(forks) {}

// Counted, not asked of the kernel: every call looks.
bool PimWatcher::inherited() const { return forksSoFar() != forks_; }

PimWatcher::~PimWatcher() {
  if (readiness_ >= 0) ::close(readiness_);
  ::close(fd_);
}

int PimWatcher::watch(const std::filesystem::path& folder) {
  // IN_MODIFY is left out: a file being written is read once it is closed (or renamed in place).
  constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                             IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
  return ::inotify_add_watch(fd_, folder.c_str(), kMask);
}

void PimWatcher::unwatch(int watch) {
  if (!inherited()) ::inotify_rm_watch(fd_, watch);
}

bool PimWatcher::pending() const { return Readiness::readable(readiness_, fd_); }

bool PimWatcher::drain(std::vector<Report>& reports) {
  bool complete = true;
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return complete;
    }
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        complete = false;
        continue;
      }
      reports.push_back({event->wd, event->mask, event->len > 0 ? std::string(event->name) : ""});
    }
  }
}

}  // namespace tvrn::pimstore
