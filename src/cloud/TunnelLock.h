// The relay's single-instance lock: an exclusive file lock on cloudtunnel.lock in the
// application-support folder. Only the process that holds it runs the relay tunnel, the
// heartbeat and the status-file writer; the others wait for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace tvrn {

class TunnelLock final {
 public:
  // One acquisition for the whole process: a second flock on the same file from this process
  // would wait for ever, so every user goes through this one instance.
  static TunnelLock& shared();

  // Blocks until this process holds the lock, trying once every second, and keeps it for the
  // life of the process. False when `stop` is requested first.
  bool acquire(std::stop_token stop);

  bool held() const;

  TunnelLock(const TunnelLock&) = delete;
  TunnelLock& operator=(const TunnelLock&) = delete;

  static constexpr std::chrono::seconds kRetryInterval{1};

 private:
  TunnelLock() = default;
  bool tryLockLocked();

  mutable std::mutex mutex_;  // guards fd_
  std::condition_variable_any wake_;
  int fd_ = -1;  // the locked file while held
};

}  // namespace tvrn
