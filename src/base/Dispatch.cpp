#include "base/Dispatch.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <system_error>

namespace tvrn {

namespace detail {

struct TimerState {
  Clock::Duration interval{0};  // zero for a one-shot timer
  std::atomic<bool> cancelled{false};
  std::atomic<bool> running{false};
  std::mutex mutex;                  // guards task
  std::shared_ptr<const Task> task;  // released on cancel, so its captures go at once

  std::shared_ptr<const Task> currentTask() {
    std::lock_guard lock(mutex);
    return task;
  }
};

}  // namespace detail

namespace {

// Far enough for any real timer, near enough that adding it to a time point cannot overflow.
constexpr Clock::Duration kLongestDelay = std::chrono::hours(24 * 365 * 10);

class SteadyClock final : public Clock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
};

// Background work has no caller to hand an exception to; one that escapes must not end the
// process, so it is reported on standard error and dropped.
void runGuarded(const Task& task) {
  try {
    task();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tavrin: background task failed: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "tavrin: background task failed\n");
  }
}

Clock::Duration clampDelay(Clock::Duration delay) {
  return std::clamp(delay, Clock::Duration::zero(), kLongestDelay);
}

}  // namespace

// ---- Clock

std::uint64_t Clock::watch(std::function<void()> /*onJump*/) { return 0; }
void Clock::unwatch(std::uint64_t /*id*/) {}

Clock& Clock::steady() {
  static SteadyClock clock;
  return clock;
}

Clock::TimePoint ManualClock::now() const { return TimePoint(Duration(elapsed_.load())); }

void ManualClock::advance(Duration by) {
  elapsed_ += by.count();
  std::lock_guard lock(watchersMutex_);
  for (const auto& [id, onJump] : watchers_) onJump();
}

std::uint64_t ManualClock::watch(std::function<void()> onJump) {
  std::lock_guard lock(watchersMutex_);
  watchers_.emplace(nextId_, std::move(onJump));
  return nextId_++;
}

void ManualClock::unwatch(std::uint64_t id) {
  std::lock_guard lock(watchersMutex_);
  watchers_.erase(id);
}

// ---- WorkerPool

struct WorkerPool::State {
  explicit State(std::size_t limit) : maxThreads(limit) {}
  const std::size_t maxThreads;
  std::mutex mutex;  // guards the members below and WorkerPool::workers_
  std::condition_variable ready;
  std::condition_variable drained;
  std::deque<Task> queue;
  std::size_t idle = 0;
  bool stopping = false;
};

WorkerPool::WorkerPool(std::size_t maxThreads)
    : state_(std::make_shared<State>(std::max<std::size_t>(maxThreads, 1))) {}

WorkerPool::~WorkerPool() { shutdown(); }

bool WorkerPool::submit(Task task) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return false;
    state_->queue.push_back(std::move(task));
    if (state_->queue.size() > state_->idle && workers_.size() < state_->maxThreads &&
        !startWorkerLocked()) {
      // Without any worker nothing would ever run it; otherwise the workers get to it in turn.
      if (workers_.empty()) {
        state_->queue.pop_back();
        return false;
      }
    }
  }
  state_->ready.notify_one();
  return true;
}

bool WorkerPool::trySubmit(Task task) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return false;
    if (!canStartLocked()) return false;
    state_->queue.push_back(std::move(task));
  }
  state_->ready.notify_one();
  return true;
}

std::size_t WorkerPool::trySubmitEach(std::vector<Task>& tasks) {
  std::size_t queued = 0;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return 0;
    for (; queued < tasks.size() && canStartLocked(); ++queued) {
      state_->queue.push_back(std::move(tasks[queued]));
    }
  }
  for (std::size_t woken = 0; woken < queued; ++woken) state_->ready.notify_one();
  return queued;
}

bool WorkerPool::canStartLocked() {
  // Each queued task has an idle worker of its own waiting for it; past them a new one is needed.
  return state_->queue.size() < state_->idle ||
         (workers_.size() < state_->maxThreads && startWorkerLocked());
}

// The system can refuse a thread (a process or thread limit); that must not end the process.
bool WorkerPool::startWorkerLocked() {
  auto exited = std::make_shared<std::atomic<bool>>(false);
  workers_.reserve(workers_.size() + 1);  // so that storing a started thread cannot fail
  try {
    workers_.push_back({std::thread(work, state_, exited), exited});
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void WorkerPool::work(const std::shared_ptr<State>& state,
                      const std::shared_ptr<std::atomic<bool>>& exited) {
  std::unique_lock lock(state->mutex);
  while (true) {
    ++state->idle;
    state->ready.wait(lock, [&] { return state->stopping || !state->queue.empty(); });
    --state->idle;
    if (state->stopping) break;
    Task task = std::move(state->queue.front());
    state->queue.pop_front();
    lock.unlock();
    runGuarded(task);
    task = nullptr;  // its captures are released outside the lock
    lock.lock();
  }
  exited->store(true);
  state->drained.notify_all();
}

void WorkerPool::shutdown(std::chrono::milliseconds grace) {
  std::deque<Task> dropped;
  std::vector<Worker> workers;
  {
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    dropped.swap(state_->queue);
    state_->ready.notify_all();
    state_->drained.wait_for(lock, grace, [&] {
      return std::all_of(workers_.begin(), workers_.end(),
                         [](const Worker& worker) { return worker.exited->load(); });
    });
    workers.swap(workers_);
  }
  for (auto& worker : workers) {
    // A worker stuck in a task keeps the shared state alive and ends with the process.
    if (worker.exited->load()) {
      worker.thread.join();
    } else {
      worker.thread.detach();
    }
  }
}

// ---- TimerHandle

void TimerHandle::cancel() const {
  if (!state_) return;
  state_->cancelled = true;
  std::shared_ptr<const Task> released;
  {
    std::lock_guard lock(state_->mutex);
    released.swap(state_->task);
  }
}

bool TimerHandle::isCancelled() const { return state_ && state_->cancelled.load(); }

// ---- TimerQueue

TimerQueue::TimerQueue(Clock& clock, Executor executor)
    : clock_(clock), executor_(std::move(executor)) {
  watchId_ = clock_.watch([this] { nudge(); });
  thread_ = std::thread([this] { run(); });
}

TimerQueue::~TimerQueue() {
  clock_.unwatch(watchId_);
  shutdown();
}

TimerHandle TimerQueue::after(Clock::Duration delay, Task task) {
  return schedule(clampDelay(delay), Clock::Duration::zero(), std::move(task));
}

TimerHandle TimerQueue::every(Clock::Duration interval, Task task) {
  interval = std::max<Clock::Duration>(clampDelay(interval), std::chrono::milliseconds(1));
  return schedule(interval, interval, std::move(task));
}

TimerHandle TimerQueue::schedule(Clock::Duration delay, Clock::Duration interval, Task task) {
  auto timer = std::make_shared<detail::TimerState>();
  timer->interval = interval;
  timer->task = std::make_shared<const Task>(std::move(task));
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      timer->cancelled = true;
      return TimerHandle(timer);
    }
    heap_.push_back({clock_.now() + delay, nextSequence_++, timer});
    std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
    ++generation_;
  }
  wake_.notify_one();
  return TimerHandle(timer);
}

void TimerQueue::nudge() {
  {
    std::lock_guard lock(mutex_);
    ++generation_;
  }
  wake_.notify_one();
}

void TimerQueue::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const std::uint64_t seen = generation_;
    const Clock::TimePoint now = clock_.now();
    if (!heap_.empty() && heap_.front().deadline <= now) {
      std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
      Entry entry = std::move(heap_.back());
      heap_.pop_back();
      if (entry.timer->cancelled) continue;
      const Clock::Duration interval = entry.timer->interval;
      if (interval > Clock::Duration::zero()) {
        // Missed intervals (a clock jump, a slow run) collapse into this one run.
        const auto missed = (now - entry.deadline) / interval;
        heap_.push_back({entry.deadline + (missed + 1) * interval, nextSequence_++, entry.timer});
        std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
      }
      lock.unlock();
      fire(entry);
      lock.lock();
      continue;
    }
    idleGeneration_ = seen;
    idleNow_ = true;
    idle_.notify_all();
    if (heap_.empty()) {
      wake_.wait(lock);
    } else {
      wake_.wait_for(lock, heap_.front().deadline - now);
    }
    idleNow_ = false;
  }
  idle_.notify_all();
}

void TimerQueue::fire(const Entry& entry) {
  auto task = entry.timer->currentTask();
  if (!task) return;
  if (entry.timer->interval == Clock::Duration::zero()) {
    std::lock_guard lock(entry.timer->mutex);
    entry.timer->task.reset();  // a one-shot timer is done with its task
  }
  if (entry.timer->running.exchange(true)) return;  // the previous run is still going
  Task run = [timer = entry.timer, task] {
    runGuarded(*task);
    timer->running = false;
  };
  if (executor_) {
    executor_(std::move(run));
  } else {
    run();
  }
}

void TimerQueue::waitIdle() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return stopping_ || (idleNow_ && idleGeneration_ == generation_); });
}

void TimerQueue::shutdown() {
  std::vector<Entry> dropped;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(heap_);
  }
  wake_.notify_all();
  idle_.notify_all();
  std::lock_guard join(joinMutex_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

// ---- Dispatch

namespace Dispatch {

WorkerPool& pool() {
  static WorkerPool workers;
  return workers;
}

// The pool refuses work only while the process shuts down or when no thread can be started;
// such a task is not run, as nothing would be left to see its effect.
void submitOrDrop(WorkerPool& workers, Task task) {
  static_cast<void>(workers.submit(std::move(task)));
}

TimerQueue& timers() {
  // The pool is made first so that it is destroyed after the timers that feed it.
  static TimerQueue queue(
      Clock::steady(), [&workers = pool()](Task task) { submitOrDrop(workers, std::move(task)); });
  return queue;
}

void async(Task task) { submitOrDrop(pool(), std::move(task)); }

TimerHandle after(Clock::Duration delay, Task task) {
  return timers().after(delay, std::move(task));
}

TimerHandle every(Clock::Duration interval, Task task) {
  return timers().every(interval, std::move(task));
}

void shutdown() {
  timers().shutdown();
  pool().shutdown();
}

}  // namespace Dispatch

}  // namespace tvrn
