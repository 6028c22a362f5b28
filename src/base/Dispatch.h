// Background work for the whole process: a pool of worker threads for queued work and one timer
// thread for delayed and repeating work. Time comes from a Clock that tests can replace, so a
// five-minute timer can be fired without waiting five minutes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tvrn {

using Task = std::function<void()>;

// Monotonic time as the timers see it.
class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;

  // Real time moves on by itself; a manual clock jumps and tells its watchers, so that a timer
  // thread waiting on it looks again. Returns an id for unwatch.
  virtual std::uint64_t watch(std::function<void()> onJump);
  virtual void unwatch(std::uint64_t id);

  // The process's real monotonic clock.
  static Clock& steady();
};

// A clock that only moves when told to.
class ManualClock final : public Clock {
 public:
  TimePoint now() const override;
  void advance(Duration by);

  std::uint64_t watch(std::function<void()> onJump) override;
  void unwatch(std::uint64_t id) override;

 private:
  std::atomic<Duration::rep> elapsed_{0};
  std::mutex watchersMutex_;  // guards watchers_ and nextId_
  std::map<std::uint64_t, std::function<void()>> watchers_;
  std::uint64_t nextId_ = 1;
};

// Worker threads for queued work. A thread is added whenever work waits and none is idle, up to
// a limit, so a task that blocks for long (a network call, a wait for a lock) does not hold up
// the rest. Work that runs for the whole life of the process belongs on a thread of its own.
class WorkerPool {
 public:
  explicit WorkerPool(std::size_t maxThreads = 64);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues the task; false (and the task dropped) after shutdown, or when no worker could be
  // started at all. A worker that cannot be added leaves the task to the ones already running.
  [[nodiscard]] bool submit(Task task);

  // Queues the task only when a worker can start on it at once: an idle one, or one added under
  // the limit. Otherwise false and the task dropped, so a caller with a thread of its own can do
  // the work itself instead of waiting behind tasks that may block.
  [[nodiscard]] bool trySubmit(Task task);

  // trySubmit for each task, from the first, under one hold of the pool: queues those that
  // workers can start on at once and returns how many; the rest are left in `tasks`.
  [[nodiscard]] std::size_t trySubmitEach(std::vector<Task>& tasks);

  // Drops queued work and waits up to `grace` for running tasks; a worker still busy after that
  // is left to finish on its own rather than hang the caller. Idempotent.
  void shutdown(std::chrono::milliseconds grace = std::chrono::seconds(2));

 private:
  struct State;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> exited;
  };
  bool startWorkerLocked();
  // Whether one more queued task has a worker to start on it at once, adding one if need be.
  bool canStartLocked();
  static void work(const std::shared_ptr<State>& state,
                   const std::shared_ptr<std::atomic<bool>>& exited);

  std::shared_ptr<State> state_;
  std::vector<Worker> workers_;  // guarded by state_->mutex
};

namespace detail {
struct TimerState;
}

// Cancels a delayed or repeating task. Copies share the one timer; dropping every copy does not
// cancel it.
class TimerHandle {
 public:
  TimerHandle() = default;

  // Once this returns the task is not started again; a run already under way finishes.
  void cancel() const;
  bool isCancelled() const;

 private:
  friend class TimerQueue;
  explicit TimerHandle(std::shared_ptr<detail::TimerState> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::TimerState> state_;
};

// One thread that starts tasks when they fall due, in deadline order (equal deadlines in the
// order they were scheduled). With no executor a task runs on the timer thread itself; with one
// it is handed over. A repeating task is never started while its previous run is still going,
// and after a jump of the clock it runs once, not once per missed interval.
class TimerQueue {
 public:
  using Executor = std::function<void(Task)>;

  // The clock must outlive the queue.
  explicit TimerQueue(Clock& clock = Clock::steady(), Executor executor = {});
  ~TimerQueue();
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;

  TimerHandle after(Clock::Duration delay, Task task);
  // First run one interval from now. A non-positive interval is treated as one millisecond.
  TimerHandle every(Clock::Duration interval, Task task);

  // Returns once every task due by the clock's current time has been started (and, without an
  // executor, has finished). For tests driving a ManualClock.
  void waitIdle();

  // Stops the timer thread; pending timers never fire. Idempotent.
  void shutdown();

 private:
  struct Entry {
    Clock::TimePoint deadline;
    std::uint64_t sequence;
    std::shared_ptr<detail::TimerState> timer;
    bool operator>(const Entry& other) const {
      return deadline != other.deadline ? deadline > other.deadline : sequence > other.sequence;
    }
  };

  TimerHandle schedule(Clock::Duration delay, Clock::Duration interval, Task task);
  void run();
  void fire(const Entry& entry);
  void nudge();

  Clock& clock_;
  Executor executor_;
  std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::vector<Entry> heap_;
  std::uint64_t nextSequence_ = 0;
  std::uint64_t generation_ = 0;      // bumped by every schedule and clock jump
  std::uint64_t idleGeneration_ = 0;  // the generation the thread last found nothing due in
  bool idleNow_ = false;
  bool stopping_ = false;
  std::uint64_t watchId_ = 0;
  std::mutex joinMutex_;  // makes concurrent shutdowns join the thread once
  std::thread thread_;
};

// The process-wide pool and timer thread; timers hand their tasks to the pool.
namespace Dispatch {

void async(Task task);
TimerHandle after(Clock::Duration delay, Task task);
TimerHandle every(Clock::Duration interval, Task task);

WorkerPool& pool();
TimerQueue& timers();

// Stops the timers, then the pool (see WorkerPool::shutdown). Runs by itself at exit too.
void shutdown();

}  // namespace Dispatch

}  // namespace tvrn
