#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "pim/PimCodec.h"
#include "pim/PimDocument.h"
#include "pim/PimStore.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

PimTime at(const std::string& text) { return PimCodec::parseTime(text).value(); }

// Read failures of a file or folder that is there: the store must neither take it for an empty
// one nor remember the failure as if it were what the file holds.
class PimStoreUnreadableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    calendar = store.defaultCalendarForNewEvents().value().id;
  }

  Result<Event, PimError> add(PimStore& into, const std::string& title) {
    Event event;
    event.calendarId = calendar;
    event.title = title;
    event.start = at("2024-05-01T09:00:00Z");
    event.end = at("2024-05-01T10:00:00Z");
    return into.saveEvent(event);
  }

  std::string titles() {
    std::vector<std::string> found;
    for (const auto& event : store.events(at("2000-01-01T00:00:00Z"), at("2100-01-01T00:00:00Z"))) {
      found.push_back(event.title);
    }
    std::sort(found.begin(), found.end());
    std::string joined;
    for (const auto& title : found) joined += (joined.empty() ? "" : ",") + title;
    return joined;
  }

  const std::filesystem::path folder =
      test::home() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::vector<std::string> warnings;
  PimStore store{folder, {.warn = [this](const std::string& line) { warnings.push_back(line); }}};
  std::string calendar;
};

TEST_F(PimStoreUnreadableTest, AnItemThatCannotBeReadIsReportedAndNeverWrittenOver) {
  const Event one = add(store, "One").value();
  ASSERT_TRUE(add(store, "Two").ok());
  const std::filesystem::path file = std::filesystem::path(calendar) / (one.id + ".ics");
  const std::filesystem::path kept = folder / "kept";
  std::filesystem::rename(file, kept);
  test::writeFile(file / "inside", "x");  // a folder in the file's place

  EXPECT_EQ(titles(), "Two");
  PimUnreadable unreadable;
  EXPECT_FALSE(store.event(one.id, &unreadable));
  ASSERT_TRUE(unreadable);
  EXPECT_EQ(unreadable->rfind(file.string() + " could not be read: ", 0), 0u) << *unreadable;
  Event changed = one;
  changed.title = "Changed";
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto refused = store.saveEvent(changed);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code, PimError::Code::storage);
    EXPECT_NE(refused.error().message.find(file.string() + " could not be read"), std::string::npos)
        << refused.error().message;
  }
  EXPECT_EQ(warnings.size(), 1u) << "said once while the failure lasts";
  EXPECT_EQ(test::readFile(file / "inside"), "x");

  std::filesystem::remove_all(file);
  std::filesystem::rename(kept, file);
  EXPECT_EQ(titles(), "One,Two");
  ASSERT_TRUE(store.saveEvent(changed).ok());
  EXPECT_EQ(titles(), "Changed,Two");
}

// The store would skip such an item when it reads the folder again.
TEST_F(PimStoreUnreadableTest, AnItemTooLargeToBeReadAgainIsNotWritten) {
  Event event;
  event.calendarId = calendar;
  event.title = "Minutes";
  event.notes = std::string(kMaxItemBytes, 'x');
  event.start = at("2024-05-01T09:00:00Z");
  event.end = at("2024-05-01T10:00:00Z");
  const auto refused = store.saveEvent(event);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message,
            "The change could not be saved: the item would be larger than 2 MiB");
  EXPECT_EQ(test::namesIn(calendar), (std::vector<std::string>{"displayname", "tavrin-kind"}));
}

TEST_F(PimStoreUnreadableTest, ReadsTheFolderAgainOnceDescriptorsAreBack) {
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
  EXPECT_EQ(seen, "during: One|refused|after: One,Two|saved: One,Three,Two");
  EXPECT_EQ(titles(), "One,Three,Two");
}

}  // namespace
}  // namespace tvrn
