// The work one start-up leaves to the process's workers and timers, held so that its shutdown can
// take it back: once cancel() returns, nothing queued here starts, and nothing started is still
// running.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "base/Dispatch.h"

namespace tvrn {

class QueuedWork final : public std::enable_shared_from_this<QueuedWork> {
 public:
  // Shared, so that a task still queued on a worker can find out that it was cancelled.
  static std::shared_ptr<QueuedWork> make();

  // On a Dispatch worker, now or after `delay`. False once cancelled (the task dropped).
  bool async(Task task);
  bool after(Clock::Duration delay, Task task);

  // Drops what has not started and waits for what has. Idempotent; never called from one of its
  // own tasks, which would wait for itself.
  void cancel();

 private:
  QueuedWork() = default;
  void run(const Task& task);

  std::mutex mutex_;  // guards everything below
  std::condition_variable finished_;
  int running_ = 0;
  bool cancelled_ = false;
  std::vector<TimerHandle> timers_;
};

}  // namespace tvrn
