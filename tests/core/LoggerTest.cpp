#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <thread>
#include <vector>

#include "base/Dispatch.h"
#include "core/LogThrottle.h"
#include "core/Logger.h"
#include "support/CapturedStderr.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t feed; (feed = text.find('\n', start)) != std::string::npos; start = feed + 1) {
    lines.push_back(text.substr(start, feed - start));
  }
  EXPECT_EQ(start, text.size()) << "every line ends in a line feed";
  return lines;
}

// Seconds between the line's time stamp and now; fails unless the stamp has the
// YYYY-MM-DDTHH:MM:SSZ shape.
long secondsAgo(const std::string& line) {
  std::tm parts{};
  const char* end = ::strptime(line.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  EXPECT_EQ(end, line.c_str() + 20) << line;
  return static_cast<long>(std::time(nullptr) - ::timegm(&parts));
}

std::string numberedLines(int count, bool finalFeed) {
  std::string text;
  for (int i = 1; i <= count; ++i) {
    text += "line " + std::to_string(i);
    if (i < count || finalFeed) text += '\n';
  }
  return text;
}

TEST(LoggerTest, WritesTheLineFormatToStderrAndOnceConfiguredToTheFile) {
  const auto file = test::home() / "logs" / "server.log";
  struct Row {
    void (*write)(std::string_view, std::string_view);
    const char* category;
    const char* message;
    const char* tail;  // everything after the time stamp
  };
  const Row rows[] = {
      {Logger::warn, "tray", "x", " [tray] WARN  x"},
      {Logger::info, "ipc", "IPC server stopped", " [ipc] INFO  IPC server stopped"},
      {Logger::error, "tcc", "denied: \"calendar\"", " [tcc] ERROR denied: \"calendar\""},
      {Logger::log, "jxa-runner", "raw text", " [jxa-runner] raw text"},
      {Logger::info, "helper", "bad \xff byte", " [helper] INFO  bad \xEF\xBF\xBD byte"},
  };

  Logger::info("tray", "before configure");
  Logger::configure(file);
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(test::readFile(file), "") << "lines before configure stay out of the file";

  test::CapturedStderr captured;
  for (const Row& row : rows) row.write(row.category, row.message);
  const std::string stderrText = captured.text();
  EXPECT_EQ(test::readFile(file), stderrText);

  const auto lines = linesOf(stderrText);
  ASSERT_EQ(lines.size(), std::size(rows));
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].substr(20), rows[i].tail);
    const long age = secondsAgo(lines[i]);
    EXPECT_GE(age, 0);
    EXPECT_LE(age, 5);
  }
}

TEST(LoggerTest, TrimmingKeepsTheLast2000Pieces) {
  struct Row {
    const char* name;
    std::string before;
    std::string after;
  };
  const Row rows[] = {
      {"exactly 2000 pieces", numberedLines(2000, false), numberedLines(2000, false)},
      {"2001 pieces lose the first", numberedLines(2001, false),
       numberedLines(2001, false).substr(std::string("line 1\n").size())},
      {"5000 lines ending in a feed keep 1999", numberedLines(5000, true),
       numberedLines(5000, true).substr(numberedLines(3001, true).size())},
      {"blank lines count", std::string(2500, '\n'), std::string(1999, '\n')},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto file = test::home() / ("trim-" + std::to_string(++n) + ".log");
    test::writeFile(file, row.before);
    Logger::configure(file);
    EXPECT_EQ(test::readFile(file), row.before) << "only the serving process trims";
    Logger::startTrimming();
    EXPECT_EQ(test::readFile(file), row.after);
  }
  EXPECT_EQ(linesOf(test::readFile(test::home() / "trim-3.log")).size(), 1999u);
}

TEST(LoggerTest, LinesFromManyThreadsArriveWhole) {
  const auto file = test::home() / "threads.log";
  Logger::configure(file);
  const std::string payload(300, 'p');
  {
    test::CapturedStderr quiet;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) Logger::info("t", payload);
      });
    }
    for (auto& thread : threads) thread.join();
  }
  const auto lines = linesOf(test::readFile(file));
  EXPECT_EQ(lines.size(), 1600u);
  for (const auto& line : lines) ASSERT_EQ(line.substr(20), " [t] INFO  " + payload);
}

// A process that logs without end (a client reconnecting thousands of times a second) keeps the
// file bounded while it runs: past 1 MiB it is cut to its newest whole lines, the newest last.
TEST(LoggerTest, TheFileStaysUnderItsCapWhileTheProcessRuns) {
  const auto file = test::home() / "bounded.log";
  Logger::configure(file);
  Logger::startTrimming();
  const std::string payload(200, 'p');
  constexpr int kLines = 12000;  // about 2.8 MiB in all
  std::uintmax_t largest = 0;
  {
    test::CapturedStderr quiet;
    for (int i = 1; i <= kLines; ++i) {
      Logger::info("t", payload + std::to_string(i));
      if (i % 100 == 0) largest = std::max(largest, std::filesystem::file_size(file));
    }
  }
  EXPECT_LE(largest, 1024u * 1024u + 512u);
  const auto lines = linesOf(test::readFile(file));
  ASSERT_GT(lines.size(), 1000u);
  EXPECT_EQ(lines.back().substr(20), " [t] INFO  " + payload + std::to_string(kLines));
}

// Lines of some KiB: far fewer than 2000 of them pass the caps, so the cuts go by bytes, at the
// start and while the process runs, and keep the newest whole lines.
TEST(LoggerTest, LongLinesAreCutToTheByteCaps) {
  constexpr std::uintmax_t kCap = 1024 * 1024;
  constexpr std::uintmax_t kKept = kCap / 2;
  for (const std::size_t lineBytes : {2048u, 5000u, 64u * 1024u}) {
    SCOPED_TRACE(lineBytes);
    const auto file = test::home() / ("long-" + std::to_string(lineBytes) + ".log");
    std::string earlier;
    for (int i = 1; earlier.size() < 3 * kCap; ++i) {
      std::string line = "earlier line " + std::to_string(i) + " ";
      earlier += line + std::string(lineBytes - line.size() - 1, 'e') + '\n';
    }
    test::writeFile(file, earlier);
    Logger::configure(file);
    Logger::startTrimming();
    const std::string kept = test::readFile(file);
    EXPECT_LE(kept.size(), kKept);
    EXPECT_GT(kept.size(), kKept - lineBytes) << "as many of the newest lines as fit";
    EXPECT_TRUE(earlier.ends_with(kept));
    EXPECT_EQ(earlier[earlier.size() - kept.size() - 1], '\n') << "whole lines only";

    const std::string payload(lineBytes, 'p');
    std::uintmax_t largest = 0;
    int written = 0;
    {
      test::CapturedStderr quiet;
      for (std::uintmax_t total = 0; total < 3 * kCap; total += lineBytes) {
        Logger::info("t", payload + std::to_string(++written));
        largest = std::max(largest, std::filesystem::file_size(file));
      }
    }
    EXPECT_LE(largest, kCap + lineBytes + 64);
    const auto lines = linesOf(test::readFile(file));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().substr(20), " [t] INFO  " + payload + std::to_string(written));
    for (const auto& line : lines) ASSERT_EQ(line.substr(20, 11), " [t] INFO  ");
  }
}

TEST(LogThrottleTest, WritesTheFirstAtOnceAndThenOneCountPerInterval) {
  // Each step writes so many lines (-1: the source stops), then moves the clock so many seconds.
  struct Row {
    std::vector<std::pair<int, int>> steps;
    std::vector<std::string> messages;
  };
  const std::string more = " more in the last 10 s)";
  const Row rows[] = {
      {{{5, 10}}, {"m1", "m5 (4" + more}},
      {{{1, 10}, {1, 0}}, {"m1", "m2"}},  // again after a quiet interval
      {{{3, 10}, {2, 10}, {0, 10}, {1, 0}}, {"m1", "m3 (2" + more, "m5 (2" + more, "m6"}},
      {{{2, 9}}, {"m1"}},                                         // the interval is not over yet
      {{{3, 0}, {-1, 0}, {1, 0}}, {"m1", "m3 (2" + more, "m4"}},  // written at the stop, afresh
  };
  for (const Row& row : rows) {
    ManualClock clock;
    TimerQueue timers(clock);
    test::CapturedStderr captured;
    LogThrottle throttle("test", LogThrottle::Level::warn, {10s, &timers, &clock});
    int written = 0;
    for (const auto& [lines, seconds] : row.steps) {
      if (lines < 0) throttle.flush();
      for (int i = 0; i < lines; ++i) throttle.write("m" + std::to_string(++written));
      clock.advance(std::chrono::seconds(seconds));
      timers.waitIdle();
    }
    std::vector<std::string> messages;
    for (const auto& line : linesOf(captured.text()))
      messages.push_back(line.substr(line.find(" [test] WARN  ") + 14));
    EXPECT_EQ(messages, row.messages) << row.messages.back();
  }
}

}  // namespace
}  // namespace tvrn
