// The kernel's reports of changes in the store's folders (inotify): a watch per collection folder
// and per configured root, read without blocking at the start of each call.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tvrn::pimstore {

class PimWatcher {
 public:
  struct Report {
    int watch = -1;
    uint32_t mask = 0;
    std::string name;  // the entry in the watched folder; empty for the folder itself
  };

  // Nothing when the kernel gives no inotify instance (too many in use).
  static std::unique_ptr<PimWatcher> open();
  ~PimWatcher();
  PimWatcher(const PimWatcher&) = delete;
  PimWatcher& operator=(const PimWatcher&) = delete;

  // Watches a folder for items or collections coming, going or changing; -1 when it cannot
  // (too many watches, a file system that does not report).
  int watch(const std::filesystem::path& folder);
  void unwatch(int watch);
  // Whether this process is a copy (fork) of the one that opened it: the reports are then the
  // other process's, and reading them would take them from it.
  bool inherited() const;
  // Whether reports wait to be read.
  bool pending() const;
  // Reads every report waiting; false when the kernel dropped some (its queue overflowed).
  bool drain(std::vector<Report>& reports);

 private:
  PimWatcher(int fd, unsigned forks);
  int fd_;
  int readiness_;   // Readiness::instanceFor(fd_)
  unsigned forks_;  // the process's fork count when it was opened
};

}  // namespace tvrn::pimstore
