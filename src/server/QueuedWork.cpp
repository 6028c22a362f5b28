#include "server/QueuedWork.h"

#include <utility>

namespace tvrn {

std::shared_ptr<QueuedWork> QueuedWork::make() {
  return std::shared_ptr<QueuedWork>(new QueuedWork());
}

bool QueuedWork::async(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return false;
  }
  Dispatch::async([self = shared_from_this(), task = std::move(task)] { self->run(task); });
  return true;
}

bool QueuedWork::after(Clock::Duration delay, Task task) {
  std::lock_guard lock(mutex_);
  if (cancelled_) return false;
  timers_.push_back(Dispatch::after(
      delay, [self = shared_from_this(), task = std::move(task)] { self->run(task); }));
  return true;
}

void QueuedWork::run(const Task& task) {
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    ++running_;
  }
  // Counted out however the task ends: one that throws (the worker reports and drops what it
  // threw) must not leave cancel() waiting for ever.
  struct CountedOut {
    QueuedWork& work;
    ~CountedOut() {
      std::lock_guard lock(work.mutex_);
      --work.running_;
      work.finished_.notify_all();
    }
  } countedOut{*this};
  task();
}

void QueuedWork::cancel() {
  std::unique_lock lock(mutex_);
  cancelled_ = true;
  for (const TimerHandle& timer : timers_) timer.cancel();
  timers_.clear();
  finished_.wait(lock, [this] { return running_ == 0; });
}

}  // namespace tvrn
