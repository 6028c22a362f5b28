#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
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

}  // namespace
}  // namespace tvrn
