// Whether any of a few named files may have changed, learnt from the kernel (inotify) rather than
// by looking at the files: each file is watched itself (written in place, also through a symbolic
// link) and through its folder (made, removed, or replaced by a rename as editors and atomic
// writers do), or through the nearest folder that exists while its own does not; and every folder
// above, should one of them be renamed or removed (a folder restored from a backup).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

namespace tvrn {

// Whether a descriptor has something to read, asked of the kernel at the least cost: through an
// epoll instance that holds only it, whose wait without a time-out looks at its ready list (about
// half what poll() on the descriptor costs). Reports queued before the question are always seen.
namespace Readiness {
// The instance for `fd`, to be closed by the caller; -1 when none can be made.
int instanceFor(int fd);
// Whether `fd` may be read: through `instance` when there is one, else by poll(); true when the
// kernel cannot say.
bool readable(int instance, int fd);

// One look at every queue for a whole request: while a Glance is open on a thread, the first
// readable() there asks instead, in one system call, whether any queue made through instanceFor
// has anything to read. When none has, later questions on that thread are answered from that look
// until the Glance closes, the process says it changed what it watches (ownChange), or a
// millisecond has passed (a request that waited, for a prompt or another program, looks again).
// A change another program makes before the Glance opens is always seen; one made just after a
// look is seen by the next.
class Glance {
 public:
  Glance();
  ~Glance();
  Glance(const Glance&) = delete;
  Glance& operator=(const Glance&) = delete;
};
// The process changed files or folders it may watch: open glances ask the kernel again.
void ownChange();
// The outermost glance open on this thread, told apart from this thread's earlier ones; 0 when
// none is open.
std::uint64_t openGlance();
}  // namespace Readiness

class FileWatch {
 public:
  FileWatch();
  ~FileWatch();
  FileWatch(const FileWatch&) = delete;
  FileWatch& operator=(const FileWatch&) = delete;

  // Watches these files from now on instead of the earlier ones. False when a change to one of
  // them would go unreported (no inotify instance, too many watches, a folder gone meanwhile).
  bool watch(const std::vector<std::filesystem::path>& files);
  // Whether a report may wait to be read: one look at the kernel's queue, from any thread. Always
  // true without an inotify instance, or in a copy (fork) of the process that opened it.
  bool pending() const;
  // Sleeps until a report may wait to be read (true), `deadline` passes or `stop` is asked for
  // (false), from any thread. Without an inotify instance it only sleeps; in a copy of the process
  // it answers true at once, as pending() does.
  bool waitFor(std::chrono::steady_clock::time_point deadline, std::stop_token stop) const;
  // Reads every waiting report; true when one may concern a watched file (or some were lost).
  // In a copy of the process, starts over with an instance of its own and answers true.
  bool drain();

  // watch() and drain() are serialised by the caller; pending() and waitFor() need no lock.

 private:
  // What a watch descriptor stands for: the file itself, or entries of a folder by name.
  struct Interest {
    bool whole = false;
    std::set<std::string> names;
  };

  bool inherited() const;
  void reopen();
  bool add(const std::filesystem::path& path, uint32_t mask, const std::string& name,
           std::map<int, Interest>& into);
  bool addFolderOf(const std::filesystem::path& path, std::map<int, Interest>& into);
  bool addFoldersAbove(const std::filesystem::path& folder, std::map<int, Interest>& into);

  // Changed only by reopen(), in a copy of the process before any other thread runs there.
  std::atomic<int> fd_{-1};
  std::atomic<int> readiness_{-1};     // Readiness::instanceFor(fd_)
  std::atomic<unsigned> forks_{0};     // the process's fork count when fd_ was opened
  std::map<int, Interest> interests_;  // by watch descriptor
};

}  // namespace tvrn
