#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "server/QueuedWork.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

TEST(QueuedWorkTest, CancelWaitsForARunningTaskAndDropsTheRest) {
  auto work = QueuedWork::make();
  std::promise<void> started, cancelling;
  std::atomic<bool> finished{false}, late{false};
  ASSERT_TRUE(work->async([&, cancelled = cancelling.get_future().share()] {
    started.set_value();
    cancelled.wait();
    // Long enough that a cancel that does not wait returns first.
    std::this_thread::sleep_for(50ms);
    finished = true;
  }));
  ASSERT_TRUE(work->after(20ms, [&] { late = true; }));
  started.get_future().wait();
  cancelling.set_value();
  work->cancel();
  EXPECT_TRUE(finished);

  // Timers fire in deadline order: once a later one has run, the cancelled one had its turn.
  std::promise<void> marker;
  Dispatch::after(40ms, [&] { marker.set_value(); });
  marker.get_future().wait();
  EXPECT_FALSE(late);

  const std::pair<const char*, bool> refused[] = {
      {"async", work->async([&] { late = true; })},
      {"after", work->after(0ms, [&] { late = true; })},
  };
  for (const auto& [how, queued] : refused) EXPECT_FALSE(queued) << how;
  work->cancel();
}

// A job that threw is over as far as the stop goes: cancel() does not wait for it for ever.
TEST(QueuedWorkTest, CancelReturnsAfterAJobThatThrew) {
  auto work = QueuedWork::make();
  auto threw = std::make_shared<std::promise<void>>();
  ASSERT_TRUE(work->async([threw] {
    threw->set_value();
    throw std::runtime_error("job failed");
  }));
  threw->get_future().wait();
  // On a thread of its own, so a cancel that never returns fails the test instead of hanging it.
  auto cancelled = std::make_shared<std::promise<void>>();
  std::thread([work, cancelled] {
    work->cancel();
    cancelled->set_value();
  }).detach();
  EXPECT_EQ(cancelled->get_future().wait_for(30s), std::future_status::ready)
      << "cancel() still waits for the job that threw";
}

}  // namespace
}  // namespace tvrn
