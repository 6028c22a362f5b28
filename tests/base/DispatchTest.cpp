#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "base/Dispatch.h"
#include "support/Eventually.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

// Names written by timer tasks, in the order they ran.
class Journal {
 public:
  Task note(std::string name) {
    return [this, name] {
      std::lock_guard lock(mutex_);
      names_.push_back(name);
    };
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(names_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> names_;
};

using test::eventually;

void advance(ManualClock& clock, TimerQueue& timers, Clock::Duration by) {
  clock.advance(by);
  timers.waitIdle();
}

TEST(TimerQueueTest, RunsDueTasksInDeadlineThenSchedulingOrder) {
  ManualClock clock;
  TimerQueue timers(clock);
  Journal journal;
  timers.after(3s, journal.note("c"));
  timers.after(1s, journal.note("a1"));
  timers.after(2s, journal.note("b"));
  timers.after(1s, journal.note("a2"));
  timers.after(0s, journal.note("now"));

  timers.waitIdle();
  EXPECT_EQ(journal.take(), (std::vector<std::string>{"now"}));
  advance(clock, timers, 999ms);
  EXPECT_TRUE(journal.take().empty());
  advance(clock, timers, 1ms);
  EXPECT_EQ(journal.take(), (std::vector<std::string>{"a1", "a2"}));
  advance(clock, timers, 10s);
  EXPECT_EQ(journal.take(), (std::vector<std::string>{"b", "c"}));
}

TEST(TimerQueueTest, CancelledTasksNeverRunAgain) {
  ManualClock clock;
  TimerQueue timers(clock);
  Journal journal;
  auto once = timers.after(1s, journal.note("once"));
  auto repeating = timers.every(1s, journal.note("tick"));
  TimerHandle self;
  int selfRuns = 0;
  self = timers.every(1s, [&] {
    if (++selfRuns == 2) self.cancel();
  });

  once.cancel();
  advance(clock, timers, 1s);
  advance(clock, timers, 1s);
  repeating.cancel();
  for (int i = 0; i < 3; ++i) advance(clock, timers, 1s);
  EXPECT_EQ(journal.take(), (std::vector<std::string>{"tick", "tick"}));
  EXPECT_EQ(selfRuns, 2);
  EXPECT_TRUE(once.isCancelled() && repeating.isCancelled() && self.isCancelled());
}

TEST(TimerQueueTest, RepeatingTaskRunsOncePerIntervalAndOnceAfterAJump) {
  ManualClock clock;
  TimerQueue timers(clock);
  std::atomic<int> runs{0};
  auto handle = timers.every(300s, [&] { ++runs; });
  const std::pair<Clock::Duration, int> steps[] = {
      {299s, 0}, {1s, 1}, {300s * 10, 2},  // ten missed intervals make one run
      {299s, 2}, {1s, 3},                  // and the schedule keeps its phase
  };
  for (const auto& [by, expected] : steps) {
    advance(clock, timers, by);
    EXPECT_EQ(runs, expected);
  }
  handle.cancel();
}

TEST(TimerQueueTest, RepeatingTaskNeverOverlapsItself) {
  ManualClock clock;
  WorkerPool pool;
  TimerQueue timers(clock, [&](Task task) { EXPECT_TRUE(pool.submit(std::move(task))); });
  std::atomic<int> started{0};
  std::promise<void> release;
  auto handle = timers.every(1s, [&, released = release.get_future().share()] {
    ++started;
    released.wait();
  });
  clock.advance(1s);
  ASSERT_TRUE(eventually([&] { return started.load() == 1; }));
  for (int i = 0; i < 4; ++i) advance(clock, timers, 1s);
  EXPECT_EQ(started, 1);
  release.set_value();
  EXPECT_TRUE(eventually([&] {
    advance(clock, timers, 1s);
    return started >= 2;
  }));
  handle.cancel();
  timers.shutdown();
}

TEST(WorkerPoolTest, GrowsForBlockedTasksUpToItsLimit) {
  WorkerPool pool(2);
  std::atomic<int> running{0};
  std::atomic<int> finished{0};
  std::promise<void> release;
  auto released = release.get_future().share();
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(pool.submit([&, released] {
      ++running;
      released.wait();
      ++finished;
    }));
  }
  ASSERT_TRUE(eventually([&] { return running.load() == 2; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(running.load(), 2);  // the limit holds while both are blocked
  release.set_value();
  ASSERT_TRUE(eventually([&] { return finished.load() == 4; }));

  EXPECT_TRUE(pool.submit([] { throw std::runtime_error("boom"); }));
  std::promise<void> after;
  EXPECT_TRUE(pool.submit([&] { after.set_value(); }));
  EXPECT_EQ(after.get_future().wait_for(5s), std::future_status::ready);
}

TEST(WorkerPoolTest, TrySubmitTakesOnlyWorkAWorkerCanStartAtOnce) {
  WorkerPool pool(2);
  std::atomic<int> running{0};
  std::promise<void> release;
  const Task blocking = [&running, released = release.get_future().share()] {
    ++running;
    released.wait();
    --running;
  };
  // Several at once: as many as workers can start, from the first; the caller keeps the rest.
  std::vector<Task> tasks = {blocking, blocking, [] { ADD_FAILURE() << "refused work ran"; }};
  EXPECT_EQ(pool.trySubmitEach(tasks), 2U);
  EXPECT_TRUE(tasks[2]);
  ASSERT_TRUE(eventually([&] { return running.load() == 2; }));
  // Past the limit, with both workers blocked, the caller keeps the work.
  EXPECT_FALSE(pool.trySubmit([] { ADD_FAILURE() << "refused work ran"; }));
  EXPECT_EQ(pool.trySubmitEach(tasks), 0U);
  release.set_value();
  // Workers idle again take work again; after shutdown nothing is taken.
  std::atomic<bool> ran{false};
  ASSERT_TRUE(eventually([&] { return pool.trySubmit([&ran] { ran = true; }); }));
  ASSERT_TRUE(eventually([&] { return ran.load(); }));
  pool.shutdown();
  EXPECT_FALSE(pool.trySubmit([] {}));
}

TEST(WorkerPoolTest, ShutdownDropsQueuedWorkAndDoesNotHangOnAStuckTask) {
  auto pool = std::make_unique<WorkerPool>(1);
  std::promise<void> release;
  std::atomic<bool> stuckStarted{false};
  std::atomic<int> queuedRuns{0};
  EXPECT_TRUE(pool->submit([&, released = release.get_future().share()] {
    stuckStarted = true;
    released.wait();
  }));
  EXPECT_TRUE(pool->submit([&] { ++queuedRuns; }));
  ASSERT_TRUE(eventually([&] { return stuckStarted.load(); }));

  const auto start = std::chrono::steady_clock::now();
  pool->shutdown(50ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_FALSE(pool->submit([&] { ++queuedRuns; }));
  pool.reset();
  release.set_value();  // lets the left-behind worker end before the process does
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(queuedRuns, 0);
}

// Run in a child of the test, which it changes for good. The process limit binds no one with
// root's powers, so such a child first becomes the unprivileged "nobody".
constexpr int kLimitDoesNotApply = 77;

int submitWhileNoThreadCanStart() {
  WorkerPool pool(4);
  std::atomic<bool> release{false};
  std::atomic<bool> busy{false};
  std::atomic<bool> laterRan{false};
  EXPECT_TRUE(pool.submit([&] {
    busy = true;
    while (!release) std::this_thread::sleep_for(1ms);
  }));
  if (!eventually([&] { return busy.load(); })) return 2;

  const rlimit none{0, 0};
  if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
    return kLimitDoesNotApply;
  }
  if (::setrlimit(RLIMIT_NPROC, &none) != 0) return kLimitDoesNotApply;
  try {
    std::thread([] {}).join();
    return kLimitDoesNotApply;
  } catch (const std::system_error&) {
  }

  // A second worker is wanted but cannot start: the one there takes the task once free.
  if (!pool.submit([&] { laterRan = true; })) return 3;
  release = true;
  if (!eventually([&] { return laterRan.load(); })) return 4;
  // No worker at all: nothing would ever run it.
  WorkerPool empty(2);
  if (empty.submit([] {})) return 5;
  return 0;
}

TEST(WorkerPoolTest, AThreadTheSystemRefusesNeverEndsTheProcess) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int outcome = 6;  // the refusal escaped submit, which would end a program
    try {
      outcome = submitWhileNoThreadCanStart();
    } catch (...) {
    }
    ::_exit(outcome);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == kLimitDoesNotApply) {
    GTEST_SKIP() << "no way to keep this process from starting threads";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(DispatchTest, GlobalQueueAndTimersRunWork) {
  std::promise<void> queued;
  Dispatch::async([&] { queued.set_value(); });
  EXPECT_EQ(queued.get_future().wait_for(5s), std::future_status::ready);

  std::promise<void> delayed;
  const auto start = std::chrono::steady_clock::now();
  Dispatch::after(20ms, [&] { delayed.set_value(); });
  ASSERT_EQ(delayed.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);

  std::atomic<int> ticks{0};
  auto handle = Dispatch::every(5ms, [&] { ++ticks; });
  ASSERT_TRUE(eventually([&] { return ticks.load() >= 3; }));
  handle.cancel();
  Dispatch::shutdown();
  EXPECT_FALSE(Dispatch::pool().submit([] {}));
}

}  // namespace
}  // namespace tvrn
