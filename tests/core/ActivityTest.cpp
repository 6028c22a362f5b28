#include <gtest/gtest.h>

#include <chrono>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "core/ActivityTracker.h"
#include "core/CallSource.h"
#include "core/InFlightRequestTracker.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> recentTools(const ActivityTracker& activity, int limit) {
  std::vector<std::string> tools;
  for (const auto& entry : activity.recentEntries(limit)) tools.push_back(entry.tool);
  return tools;
}

std::vector<std::string> numbered(int from, int downTo) {
  std::vector<std::string> tools;
  for (int i = from; i >= downTo; --i) tools.push_back("t" + std::to_string(i));
  return tools;
}

TEST(ActivityTest, CallSourceReadsOnlyItsTwoExactWords) {
  for (CallSource source : {CallSource::local, CallSource::cloud}) {
    EXPECT_EQ(fromRaw<CallSource>(toRaw(source)), source);
  }
  EXPECT_EQ(toRaw(CallSource::cloud), "cloud");
  for (const char* raw : {"Cloud", "LOCAL", "remote", "", " local"}) {
    EXPECT_EQ(fromRaw<CallSource>(raw), std::nullopt) << raw;
  }
}

TEST(ActivityTest, KeepsTheNewestTwentyNewestFirst) {
  ActivityTracker activity;
  EXPECT_EQ(activity.snapshot(), std::nullopt);
  EXPECT_TRUE(recentTools(activity, 5).empty());
  const auto before = std::chrono::system_clock::now();
  for (int i = 1; i <= 25; ++i) {
    activity.record(i % 2 ? CallSource::local : CallSource::cloud, "t" + std::to_string(i));
    if (i == 3) {
      EXPECT_EQ(recentTools(activity, 5), numbered(3, 1)) << "fewer than the limit";
    }
  }
  const auto after = std::chrono::system_clock::now();

  const std::pair<int, std::vector<std::string>> rows[] = {
      {20, numbered(25, 6)}, {100, numbered(25, 6)}, {5, numbered(25, 21)}, {0, {}}, {-3, {}}};
  for (const auto& [limit, tools] : rows) EXPECT_EQ(recentTools(activity, limit), tools) << limit;

  const auto entries = activity.recentEntries();
  ASSERT_EQ(entries.size(), 20u);
  EXPECT_EQ(activity.snapshot()->tool, "t25");
  EXPECT_EQ(entries[0].source, CallSource::local);
  EXPECT_EQ(entries[1].source, CallSource::cloud);
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_TRUE(entries[i].at >= before && entries[i].at <= after);
    EXPECT_TRUE(i == 0 || entries[i - 1].at >= entries[i].at);
  }
}

TEST(ActivityTest, CountsCallsInFlightFromManyThreads) {
  InFlightRequestTracker tracker;
  ActivityTracker activity;
  tracker.decrement();
  EXPECT_EQ(tracker.count(), 0) << "never below 0";

  constexpr int kThreads = 16;
  std::latch running(kThreads + 1);
  std::latch release(1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        tracker.increment();
        tracker.decrement();
        activity.record(CallSource::cloud, "busy");
      }
      tracker.increment();
      running.count_down();
      release.wait();
      tracker.decrement();
    });
  }
  running.arrive_and_wait();
  EXPECT_EQ(tracker.count(), kThreads);
  release.count_down();
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(tracker.count(), 0);
  EXPECT_EQ(activity.recentEntries(100).size(), 20u);
}

TEST(ActivityTest, DrainAnswersWhenIdleTimesOutOrWakesWhenTheLastCallEnds) {
  InFlightRequestTracker tracker;
  EXPECT_TRUE(tracker.drain(0s));
  EXPECT_TRUE(tracker.drain());

  tracker.increment();
  EXPECT_FALSE(tracker.drain(0s));
  EXPECT_FALSE(tracker.drain(-1s));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(tracker.drain(60ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);

  std::thread finisher([&] {
    std::this_thread::sleep_for(30ms);
    tracker.decrement();
  });
  start = std::chrono::steady_clock::now();
  EXPECT_TRUE(tracker.drain(60s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "woken by the call ending";
  finisher.join();
}

}  // namespace
}  // namespace tvrn
