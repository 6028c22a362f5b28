#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "platform/PimCodec.h"
#include "platform/PimDocument.h"
#include "platform/PimStore.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

PimTime at(const std::string& text) { return PimCodec::parseTime(text).value(); }

// Read failures of a file that is there: the store must neither take it for an empty file
// nor remember the failure as if it were the file's content.
class PimDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    test::writeFile(folder / "calendars.json", R"({"calendars": [{"id": "home", "title": "H"}]})");
    setPimWarningHandler([this](const std::string& line) { warnings.push_back(line); });
  }
  void TearDown() override { setPimWarningHandler(nullptr); }

  static Result<Event, PimError> add(PimStore& into, const std::string& title) {
    Event event;
    event.calendarId = "home";
    event.title = title;
    event.start = at("2024-05-01T09:00:00Z");
    event.end = at("2024-05-01T10:00:00Z");
    return into.saveEvent(event);
  }

  std::string titles() {
    std::string joined;
    for (const auto& event : store.events(at("2000-01-01T00:00:00Z"), at("2100-01-01T00:00:00Z")))
      joined += (joined.empty() ? "" : ",") + event.title;
    return joined;
  }

  const std::filesystem::path folder = test::home() / "pim";
  const std::filesystem::path events = folder / "events.json";
  PimStore store{folder};
  std::vector<std::string> warnings;
};

TEST_F(PimDocumentTest, RefusesToChangeAFileItCannotRead) {
  ASSERT_TRUE(add(store, "One").ok());
  ASSERT_TRUE(add(store, "Two").ok());
  std::filesystem::rename(events, folder / "kept");
  test::writeFile(events / "inside", "x");  // a folder in the file's place

  EXPECT_EQ(titles(), "");
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto refused = add(store, "Three");
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code, PimError::Code::storage);
    EXPECT_NE(refused.error().message.find(events.string() + " could not be read"),
              std::string::npos)
        << refused.error().message;
  }
  EXPECT_EQ(warnings.size(), 1u) << "said once while the failure lasts";
  EXPECT_EQ(test::namesIn(folder),
            (std::vector<std::string>{"calendars.json", "events.json", "kept"}));
  EXPECT_EQ(test::readFile(events / "inside"), "x");

  std::filesystem::remove_all(events);
  std::filesystem::rename(folder / "kept", events);
  EXPECT_EQ(titles(), "One,Two");
  ASSERT_TRUE(add(store, "Three").ok());
  EXPECT_EQ(titles(), "One,Two,Three");
}

TEST_F(PimDocumentTest, ReadsTheFileAgainOnceDescriptorsAreBack) {
  ASSERT_TRUE(add(store, "One").ok());
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // Another writer changes the file, and the store rereads it while no descriptor is left.
    PimStore other(folder);
    std::string seen = add(other, "Two").ok() ? "" : "other failed|";
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t usual = limit.rlim_cur;
    const int lowest = ::dup(0);
    ::close(lowest);
    limit.rlim_cur = static_cast<rlim_t>(lowest);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    seen += "during: " + titles();
    const auto refused = add(store, "Three");
    seen += refused.ok() ? "|saved" : "|refused";
    limit.rlim_cur = usual;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    seen += "|after: " + titles();
    seen += add(store, "Three").ok() ? "|saved: " + titles() : "|refused";
    const bool sent = ::write(report[1], seen.data(), seen.size()) == ssize_t(seen.size());
    ::_exit(sent ? 0 : 1);
  }
  ::close(report[1]);
  std::string seen;
  char buffer[256];
  for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) seen.append(buffer, n);
  ::close(report[0]);
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(seen, "during: |refused|after: One,Two|saved: One,Two,Three");
  EXPECT_EQ(test::namesIn(folder), (std::vector<std::string>{"calendars.json", "events.json"}));
  EXPECT_EQ(titles(), "One,Two,Three");
}

}  // namespace
}  // namespace tvrn
