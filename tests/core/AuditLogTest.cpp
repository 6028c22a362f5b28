#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "core/AuditLog.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

std::filesystem::path auditFile() { return test::home() / "config" / "tavrin" / "audit.log"; }

mode_t modeOf(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

std::vector<std::string> recentTools(int limit) {
  std::vector<std::string> tools;
  for (const auto& record : AuditLog::recent(limit)) tools.push_back(record.value("tool", "?"));
  return tools;
}

std::string recordLine(const std::string& tool) {
  return R"({"ms":1,"ok":true,"source":"local","tool":")" + tool +
         R"(","ts":"2024-01-01T00:00:00Z"})";
}

TEST(AuditLogTest, RecordsNothingUntilConfiguredThenOneCompactLinePerCall) {
  AuditLog::record("early", CallSource::local, true, 1);
  EXPECT_TRUE(AuditLog::recent().empty());
  EXPECT_FALSE(std::filesystem::exists(auditFile()));

  AuditLog::configure(auditFile());
  EXPECT_EQ(test::readFile(auditFile()), "");
  EXPECT_EQ(modeOf(auditFile()), 0600u);
  EXPECT_EQ(modeOf(auditFile().parent_path()), 0700u);

  const std::time_t before = std::time(nullptr);
  AuditLog::record("calendar_events", CallSource::local, true, 42);
  AuditLog::record("m365_send_mail", CallSource::cloud, false, 0);
  AuditLog::record("odd \"name\"\nbroken", CallSource::local, true, 90061);
  AuditLog::record("bad \xFF byte", CallSource::cloud, true, 7);
  const std::time_t after = std::time(nullptr);
  AuditLog::flush();

  const std::string text = test::readFile(auditFile());
  std::vector<std::string> stamps;
  for (size_t start = 0, feed; (feed = text.find('\n', start)) != std::string::npos;
       start = feed + 1) {
    stamps.push_back(nlohmann::json::parse(text.substr(start, feed - start)).at("ts"));
    std::tm parts{};
    const char* stamp = stamps.back().c_str();
    ASSERT_EQ(::strptime(stamp, "%Y-%m-%dT%H:%M:%SZ", &parts), stamp + 20) << stamp;
    EXPECT_TRUE(::timegm(&parts) >= before && ::timegm(&parts) <= after) << stamp;
  }
  const std::string lines[] = {
      R"({"ms":42,"ok":true,"source":"local","tool":"calendar_events","ts":"TS"})",
      R"({"ms":0,"ok":false,"source":"cloud","tool":"m365_send_mail","ts":"TS"})",
      R"({"ms":90061,"ok":true,"source":"local","tool":"odd \"name\"\nbroken","ts":"TS"})",
      "{\"ms\":7,\"ok\":true,\"source\":\"cloud\",\"tool\":\"bad \xEF\xBF\xBD "
      "byte\",\"ts\":\"TS\"}",
  };
  ASSERT_EQ(stamps.size(), std::size(lines));
  std::string expected;
  for (size_t i = 0; i < stamps.size(); ++i) {
    expected += lines[i].substr(0, lines[i].find("TS")) + stamps[i] + "\"}\n";
  }
  EXPECT_EQ(text, expected);
}

TEST(AuditLogTest, RecentReadsNewestFirstAndSkipsDamagedLines) {
  const std::string a = recordLine("a"), b = recordLine("b"), c = recordLine("c");
  const std::string d = recordLine("d"), e = recordLine("e");
  struct Row {
    std::string file;
    int limit;
    std::vector<std::string> tools;
  };
  const Row rows[] = {
      {a + "\n" + b + "\n", 0, {}},
      {a + "\n", -1, {}},
      {a + "\n" + b + "\n" + c + "\n", 50, {"c", "b", "a"}},
      {a + "\n" + b, 50, {"b", "a"}},
      {a + "\n" + b + "\n" + c + "\n", 2, {"c", "b"}},
      // A damaged line is skipped and no older line takes its place.
      {a + "\n" + b + "\n" + c + "\n{\"tool\":\n" + d + "\n" + e + "\n", 5, {"e", "d", "c", "b"}},
      {a + "\n \t\n" + b + "\n\n\t\n" + c + "\n  \n", 2, {"c", "b"}},
      {a + "\n[1,2]\n42\n\"x\"\n" + b + "\n", 10, {"b", "a"}},
      {a + "\n{\"tool\":\"\xFF\"}\n" + b + "\n", 10, {"b", "a"}},
      {"", 10, {}},
  };
  AuditLog::configure(auditFile());
  for (const Row& row : rows) {
    test::writeFile(auditFile(), row.file);
    EXPECT_EQ(recentTools(row.limit), row.tools) << row.file;
  }
}

TEST(AuditLogTest, ConfigureKeepsTheLastTenThousandRecords) {
  std::string tooMany;
  for (int i = 1; i <= 10001; ++i) tooMany += recordLine("t" + std::to_string(i)) + "\n";
  test::writeFile(auditFile(), tooMany);
  AuditLog::configure(auditFile());
  EXPECT_EQ(test::readFile(auditFile()), tooMany.substr(tooMany.find('\n') + 1));

  std::string enough;
  for (int i = 1; i <= 10000; ++i) {
    enough += recordLine("t" + std::to_string(i)) + (i % 1000 ? "\n" : "\n \n\n");
  }
  test::writeFile(auditFile(), enough);
  AuditLog::configure(auditFile());
  EXPECT_EQ(test::readFile(auditFile()), enough) << "blank lines do not count";
}

TEST(AuditLogTest, ConcurrentAppendsStayWholeLinesAndARemovedFileIsMadeAgain) {
  AuditLog::configure(auditFile());
  constexpr int kThreads = 8;
  constexpr int kRecords = 250;
  const std::string longName(3000, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRecords; ++i) {
        AuditLog::record(longName + std::to_string(t), CallSource::cloud, i % 3 != 0, i);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<int> perThread(kThreads, 0);
  const auto records = AuditLog::recent(kThreads * kRecords + 10);
  for (const auto& record : records) {
    ASSERT_EQ(record.size(), 5u);
    const std::string tool = record.at("tool");
    ASSERT_EQ(tool.substr(0, longName.size()), longName);
    ++perThread.at(std::stoi(tool.substr(longName.size())));
  }
  EXPECT_EQ(perThread, std::vector<int>(kThreads, kRecords));

  std::filesystem::remove(auditFile());
  AuditLog::record("after", CallSource::local, true, 3);
  EXPECT_EQ(recentTools(50), std::vector<std::string>{"after"});
  EXPECT_EQ(modeOf(auditFile()), 0600u);
}

// The records of every thread, counted by the number after the long name.
std::vector<int> recordsPerThread(const std::string& text, const std::string& longName,
                                  int threads) {
  std::vector<int> counts(threads, 0);
  for (size_t start = 0, feed; (feed = text.find('\n', start)) != std::string::npos;
       start = feed + 1) {
    const std::string tool = nlohmann::json::parse(text.substr(start, feed - start)).at("tool");
    EXPECT_EQ(tool.substr(0, longName.size()), longName);
    ++counts.at(std::stoi(tool.substr(longName.size())));
  }
  return counts;
}

TEST(AuditLogTest, ACleanStopWritesEveryRecordAndLaterOnesGoStraightToTheFile) {
  AuditLog::configure(auditFile());
  constexpr int kThreads = 8;
  constexpr int kRecords = 500;
  const std::string longName(200, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRecords; ++i) {
        AuditLog::record(longName + std::to_string(t), CallSource::local, true, i);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  AuditLog::shutdown();
  EXPECT_EQ(recordsPerThread(test::readFile(auditFile()), longName, kThreads),
            std::vector<int>(kThreads, kRecords));

  AuditLog::record(longName + "0", CallSource::local, true, 1);
  EXPECT_EQ(recordsPerThread(test::readFile(auditFile()), longName, kThreads)[0], kRecords + 1);
}

TEST(AuditLogTest, ACopyOfTheProcessWritesItsOwnRecords) {
  AuditLog::configure(auditFile());
  const std::string longName = "parent";
  for (int i = 0; i < 100; ++i) AuditLog::record(longName + "0", CallSource::local, true, i);
  AuditLog::flush();
  // The copy (fork) has no writer thread of its own until it records.
  const pid_t child = ::fork();
  if (child == 0) {
    AuditLog::record(longName + "1", CallSource::local, true, 0);
    AuditLog::flush();
    ::_exit(0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  AuditLog::flush();
  EXPECT_EQ(recordsPerThread(test::readFile(auditFile()), longName, 2), (std::vector<int>{100, 1}));
}

}  // namespace
}  // namespace tvrn
