#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "platform/QueuedLineLog.h"
#include "support/Eventually.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

// A session that records while the server stops: its line queued before the stop, behind a batch
// the writer is still writing, and its lines during and after the stop reach the file after it,
// none lost.
TEST(QueuedLineLogTest, AThreadsLinesKeepTheirOrderThroughAStop) {
  const auto file = test::home() / "queued.log";
  // Never destroyed, as the audit log's is not: its writer thread is never joined.
  static auto& log = *new QueuedLineLog(/*recreate=*/false);
  log.configure(file, [](const std::filesystem::path&) {});

  // The writer makes its lines while it writes them: this one holds it mid-batch.
  std::promise<void> writing, release;
  log.append([&, released = release.get_future().share()] {
    writing.set_value();
    released.wait();
    return std::string("held\n");
  });
  writing.get_future().wait();
  log.append([] { return std::string("before the stop\n"); });

  std::thread stop([&] { log.writeThrough(); });
  ASSERT_TRUE(test::eventually([&] { return log.waitingWriters() == 1; }))
      << "the stop to wait for the batch being written";
  std::atomic<bool> appended{false};
  std::thread during([&] {
    log.append([] { return std::string("during the stop\n"); });
    appended = true;
  });
  ASSERT_TRUE(test::eventually([&] { return log.waitingWriters() == 2 || appended; }))
      << "the line made during the stop to wait behind the batch, or be written past it";
  release.set_value();
  stop.join();
  during.join();
  log.append([] { return std::string("after the stop\n"); });

  EXPECT_EQ(test::readFile(file), "held\nbefore the stop\nduring the stop\nafter the stop\n");
}

}  // namespace
}  // namespace tvrn
