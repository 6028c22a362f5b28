#include "platform/FileWatch.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "platform/ProcessSetup.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

// A file's contents changing, or its links (IN_ATTRIB tells of its last link going).
constexpr uint32_t kFileMask =
    IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// A folder's entries coming and going, and the folder itself going; not changes inside its other
// files, which would report every line appended to a log beside the watched file.
constexpr uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                 IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A folder further up going (renamed away, removed) takes the file with it, unseen by the watches
// below: a settings folder replaced by a restore from a backup. Added to what else the folder is
// watched for, and nothing of its entries, which come and go all the time in a home folder.
constexpr uint32_t kAboveMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;

}  // namespace

namespace Readiness {
namespace {

// Every queue made through instanceFor, in one epoll instance: nothing ready there means nothing
// to read in any of them. Made once; a copy of the process (a fork) shares it with the original,
// so there it is not relied on.
struct AllQueues {
  int instance = ::epoll_create1(EPOLL_CLOEXEC);
  unsigned forks = forksSoFar();
  std::atomic<bool> whole{instance >= 0};  // false once a queue could not be added
};

AllQueues& allQueues() {
  static auto* queues = new AllQueues;  // never destroyed: sessions may look while the process ends
  return *queues;
}

// Bumped by ownChange and by each new queue: a glance taken before no longer answers.
std::atomic<std::uint64_t> changes{0};

// How long a look stands within a glance: far longer than a call that waits for nothing takes, far
// shorter than one that waits for a person (a permission prompt) or another program.
constexpr auto kLookStands = std::chrono::milliseconds(1);

struct Open {
  int depth = 0;
  std::uint64_t serial = 0;                       // counts this thread's outermost glances
  bool looked = false;                            // a look was taken in this glance
  bool quiet = false;                             // it found every queue empty
  std::uint64_t changes = 0;                      // `changes` when it looked
  std::chrono::steady_clock::time_point at = {};  // when it looked
};
thread_local Open glance;

// Whether every queue was empty at the glance's look, taken again once the process has changed
// what it watches or the look has stood its time.
bool quietEverywhere() {
  const auto now = std::chrono::steady_clock::now();
  const std::uint64_t changed = changes.load(std::memory_order_acquire);
  if (!glance.looked || glance.changes != changed || now - glance.at > kLookStands) {
    glance.looked = true;
    glance.changes = changed;
    glance.at = now;
    AllQueues& queues = allQueues();
    epoll_event ready{};
    glance.quiet = queues.whole.load() && queues.forks == forksSoFar() &&
                   ::epoll_wait(queues.instance, &ready, 1, 0) == 0;
  }
  return glance.quiet;
}

}  // namespace

Glance::Glance() {
  if (glance.depth++ == 0) ++glance.serial;
}

Glance::~Glance() {
  if (--glance.depth == 0) glance.looked = glance.quiet = false;
}

void ownChange() { changes.fetch_add(1, std::memory_order_acq_rel); }

std::uint64_t openGlance() { return glance.depth > 0 ? glance.serial : 0; }

int instanceFor(int fd) {
  if (fd < 0) return -1;
  epoll_event interest{};
  interest.events = EPOLLIN;
  interest.data.fd = fd;
  AllQueues& queues = allQueues();
  if (queues.forks != forksSoFar() ||
      ::epoll_ctl(queues.instance, EPOLL_CTL_ADD, fd, &interest) != 0) {
    queues.whole = false;
  }
  ownChange();
  const int instance = ::epoll_create1(EPOLL_CLOEXEC);
  if (instance < 0) return -1;
  if (::epoll_ctl(instance, EPOLL_CTL_ADD, fd, &interest) != 0) {
    ::close(instance);
    return -1;
  }
  return instance;
}

bool readable(int instance, int fd) {
  if (glance.depth > 0 && quietEverywhere()) return false;
  if (instance >= 0) {
    epoll_event ready{};
    const int count = ::epoll_wait(instance, &ready, 1, 0);
    if (count >= 0) return count > 0;
  }
  pollfd waiting{fd, POLLIN, 0};
  return ::poll(&waiting, 1, 0) != 0;
}

}  // namespace Readiness

FileWatch::FileWatch() : forks_(forksSoFar()) {
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  readiness_ = Readiness::instanceFor(fd_);
}

FileWatch::~FileWatch() {
  if (readiness_ >= 0) ::close(readiness_);
  if (fd_ >= 0) ::close(fd_);
}

bool FileWatch::inherited() const { return forksSoFar() != forks_.load(); }

void FileWatch::reopen() {
  // The copy's descriptors share the other process's queue and epoll instance; closing them here
  // leaves those alone.
  if (readiness_ >= 0) ::close(readiness_);
  if (fd_ >= 0) ::close(fd_);
  forks_ = forksSoFar();
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  readiness_ = Readiness::instanceFor(fd_);
  interests_.clear();
}

bool FileWatch::add(const fs::path& path, uint32_t mask, const std::string& name,
                    std::map<int, Interest>& into) {
  const int watch = ::inotify_add_watch(fd_, path.c_str(), mask);
  if (watch < 0) return false;
  Interest& interest = into[watch];
  if (name.empty()) {
    interest.whole = true;
  } else {
    interest.names.insert(name);
  }
  return true;
}

// The folder that holds `path`, or the nearest one above it that exists, for the entry on the way.
bool FileWatch::addFolderOf(const fs::path& path, std::map<int, Interest>& into) {
  fs::path entry = path;
  for (fs::path folder = path.parent_path();; entry = folder, folder = folder.parent_path()) {
    if (add(folder, kFolderMask, entry.filename().string(), into)) return true;
    if ((errno != ENOENT && errno != ENOTDIR) || folder == folder.parent_path()) return false;
  }
}

// Every folder above `folder` that exists. One that cannot be watched for a reason other than
// its absence (no watch left) leaves a change unreported; one the user may not read is passed
// by, as the user cannot replace it either.
bool FileWatch::addFoldersAbove(const fs::path& folder, std::map<int, Interest>& into) {
  bool complete = true;
  for (fs::path above = folder.parent_path();; above = above.parent_path()) {
    const int watch = ::inotify_add_watch(fd_, above.c_str(), kAboveMask);
    if (watch >= 0) {
      into[watch];  // its own reports, which carry no name, are the ones that count
    } else if (errno != ENOENT && errno != ENOTDIR && errno != EACCES) {
      complete = false;
    }
    if (above == above.parent_path()) return complete;
  }
}

bool FileWatch::watch(const std::vector<fs::path>& files) {
  if (inherited()) reopen();
  if (fd_ < 0) return false;
  std::map<int, Interest> next;
  bool complete = true;
  for (const auto& file : files) {
    std::error_code error;
    const fs::path path = fs::absolute(file, error).lexically_normal();
    if (error || !path.has_filename() || !addFolderOf(path, next)) {
      complete = false;
      continue;
    }
    if (!addFoldersAbove(path.parent_path(), next)) complete = false;
    // Gone again meanwhile: its folder reports it coming back.
    if (!add(path, kFileMask, "", next) && errno != ENOENT && errno != ENOTDIR) complete = false;
    // Through a link, the file that takes the target's place is reported by the target's folder.
    if (fs::is_symlink(path, error)) {
      const fs::path target = fs::canonical(path, error);
      if (!error && !(addFolderOf(target, next) && addFoldersAbove(target.parent_path(), next))) {
        complete = false;
      }
    }
  }
  for (const auto& [watch, interest] : interests_) {
    if (next.count(watch) == 0) ::inotify_rm_watch(fd_, watch);
  }
  interests_ = std::move(next);
  return complete;
}

bool FileWatch::pending() const {
  if (inherited() || fd_ < 0) return true;
  return Readiness::readable(readiness_, fd_);
}

bool FileWatch::waitFor(std::chrono::steady_clock::time_point deadline,
                        std::stop_token stop) const {
  if (inherited()) return true;
  // The stop request writes here, so a sleep of a minute ends as soon as it is asked to.
  const int woken = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  bool reported = false;
  {
    const std::stop_callback onStop(stop, [woken] {
      const std::uint64_t one = 1;
      static_cast<void>(::write(woken, &one, sizeof one));
    });
    // A descriptor below zero is passed over by poll().
    pollfd waiting[2] = {{fd_.load(), POLLIN, 0}, {woken, POLLIN, 0}};
    while (!stop.stop_requested()) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      const int count =
          ::poll(waiting, 2, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
      if (count < 0 && errno != EINTR) break;
      if (count > 0) {
        reported = waiting[0].revents != 0;
        break;
      }
    }
  }
  if (woken >= 0) ::close(woken);
  return reported;
}

bool FileWatch::drain() {
  if (inherited()) {
    reopen();
    return true;
  }
  if (fd_ < 0) return true;
  bool reported = false;
  alignas(inotify_event) char buffer[16 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return reported;
    }
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        reported = true;
        continue;
      }
      const auto found = interests_.find(event->wd);
      if (found == interests_.end()) continue;  // a watch given up, or its last words
      const Interest& interest = found->second;
      // A folder's report without a name is about the folder itself: it went.
      if (interest.whole || event->len == 0 || interest.names.count(event->name) != 0) {
        reported = true;
      }
    }
  }
}

}  // namespace tvrn
