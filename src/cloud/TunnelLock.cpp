#include "cloud/TunnelLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/FileStore.h"
#include "platform/Paths.h"

namespace tvrn {

TunnelLock& TunnelLock::shared() {
  // Never destroyed: the lock is held until the process ends, whatever thread is still waiting.
  static TunnelLock& instance = *new TunnelLock();
  return instance;
}

bool TunnelLock::tryLockLocked() {
  if (fd_ >= 0) return true;
  const auto folder = Paths::appSupport();
  if (!FileStore::ensureDirectory(folder)) return false;
  const int fd = ::open((folder / "cloudtunnel.lock").c_str(),
                        O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool TunnelLock::acquire(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    if (tryLockLocked()) return true;
    wake_.wait_for(lock, stop, kRetryInterval, [] { return false; });
  }
  return false;
}

bool TunnelLock::held() const {
  std::lock_guard lock(mutex_);
  return fd_ >= 0;
}

}  // namespace tvrn
