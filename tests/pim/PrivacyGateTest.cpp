#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "pim/PrivacyGate.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using Status = AuthorizationStatus;

std::filesystem::path authorizationFile() {
  return Paths::appSupport() / "pim" / "authorization.json";
}

nlohmann::json recorded() {
  return nlohmann::json::parse(test::readFile(authorizationFile()), nullptr, false);
}

class PrivacyGateTest : public ::testing::Test {
 protected:
  void TearDown() override { gate.setPrompt(nullptr); }
  PrivacyGate gate;
};

TEST_F(PrivacyGateTest, ReadsEachEntityFromTheFileAtEveryCall) {
  EXPECT_EQ(gate.file(), authorizationFile());
  EXPECT_EQ(gate.status(PrivacyEntity::calendar), Status::notDetermined);

  const struct {
    const char* file;
    Status calendar, reminders, contacts;
  } cases[] = {
      {R"({"calendar": "granted", "reminders": "denied", "contacts": "restricted"})",
       Status::granted, Status::denied, Status::restricted},
      {R"({"calendar": "writeOnly"})", Status::writeOnly, Status::notDetermined,
       Status::notDetermined},
      {R"({"calendar": "authorized", "reminders": 3, "contacts": null})", Status::unknown,
       Status::unknown, Status::notDetermined},
      {"{\"calendar\": \"granted\"", Status::unknown, Status::unknown, Status::unknown},
      {"[]", Status::unknown, Status::unknown, Status::unknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    test::writeFile(authorizationFile(), c.file);
    EXPECT_EQ(gate.status(PrivacyEntity::calendar), c.calendar);
    EXPECT_EQ(gate.status(PrivacyEntity::reminders), c.reminders);
    EXPECT_EQ(gate.status(PrivacyEntity::contacts), c.contacts);
  }

  for (auto status : {Status::notDetermined, Status::restricted, Status::denied, Status::granted,
                      Status::writeOnly, Status::unknown}) {
    EXPECT_EQ(authorizationStatusFromRaw(toRaw(status)), status);
  }
  EXPECT_EQ(toRaw(PrivacyEntity::reminders), "reminders");
  EXPECT_EQ(privacyEntityFromRaw("contacts"), PrivacyEntity::contacts);
  EXPECT_FALSE(privacyEntityFromRaw("Contacts"));
}

TEST_F(PrivacyGateTest, FollowsEveryWayTheFileChanges) {
  namespace fs = std::filesystem;
  const auto calendar = [](const char* word) { return nlohmann::json{{"calendar", word}}.dump(); };
  const fs::path movedConfig = test::home() / "moved-config";
  const fs::path ownFile = test::home() / "dotfiles" / "authorization.json";
  // Each row changes the file one way, as this process, the tray, an editor or a sync tool does.
  const struct {
    const char* name;
    std::function<void()> change;
    Status calendar;
  } rows[] = {
      {"recorded here",
       [&] { EXPECT_TRUE(gate.setStatus(PrivacyEntity::calendar, Status::denied)); },
       Status::denied},
      {"replaced by a rename", [&] { test::replaceFile(authorizationFile(), calendar("granted")); },
       Status::granted},
      {"removed", [] { fs::remove(authorizationFile()); }, Status::notDetermined},
      {"made with its folder",
       [&] {
         fs::remove_all(authorizationFile().parent_path());
         test::writeFile(authorizationFile(), calendar("restricted"));
       },
       Status::restricted},
      // Kept in a folder of the user's own and linked into place: recorded there, and the
      // user's own edits there hold.
      {"recorded through a link",
       [&] {
         test::writeFile(ownFile, calendar("denied"));
         fs::remove(authorizationFile());
         fs::create_symlink(ownFile, authorizationFile());
         EXPECT_TRUE(gate.setStatus(PrivacyEntity::calendar, Status::granted));
         EXPECT_TRUE(fs::is_symlink(authorizationFile()));
       },
       Status::granted},
      {"edited where the link leads", [&] { test::writeFile(ownFile, calendar("denied")); },
       Status::denied},
      {"its settings folder swapped for a restored copy, then changed",
       [&] {
         test::restoreFolder(Paths::appSupport());
         test::writeFile(authorizationFile(), calendar("restricted"));
       },
       Status::restricted},
      {"another config folder named",
       [&] {
         test::writeFile(movedConfig / "tavrin" / "pim" / "authorization.json",
                         calendar("granted"));
         ::setenv("XDG_CONFIG_HOME", movedConfig.c_str(), 1);
       },
       Status::granted},
  };
  EXPECT_EQ(gate.status(PrivacyEntity::calendar), Status::notDetermined);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    row.change();
    EXPECT_EQ(gate.status(PrivacyEntity::calendar), row.calendar);
  }
}

TEST_F(PrivacyGateTest, AnswersWithoutAPromptTheWayLinuxAllows) {
  test::writeFile(authorizationFile(),
                  R"({"reminders": "denied", "contacts": "restricted", "calendar": "writeOnly",
                      "note": "kept"})");
  const struct {
    PrivacyEntity entity;
    bool granted;
    bool error;
  } cases[] = {
      {PrivacyEntity::reminders, false, true},
      {PrivacyEntity::contacts, false, true},
      {PrivacyEntity::calendar, false, true},
  };
  for (const auto& c : cases) {
    const AccessAnswer answer = gate.requestAccess(c.entity);
    EXPECT_EQ(answer.granted, c.granted) << toRaw(c.entity);
    EXPECT_EQ(answer.error.has_value(), c.error) << toRaw(c.entity);
  }
  EXPECT_EQ(gate.status(PrivacyEntity::calendar), Status::writeOnly);

  // Nobody to ask and nothing decided: granted, and remembered.
  ASSERT_TRUE(gate.setStatus(PrivacyEntity::contacts, Status::notDetermined).ok());
  EXPECT_FALSE(recorded().contains("contacts"));
  const AccessAnswer answer = gate.requestAccess(PrivacyEntity::contacts);
  EXPECT_TRUE(answer.granted);
  EXPECT_FALSE(answer.error);
  EXPECT_EQ(recorded()["contacts"], "granted");
  EXPECT_EQ(recorded()["note"], "kept");

  // A file that cannot be read grants nothing by itself.
  test::writeFile(authorizationFile(), "not json");
  EXPECT_FALSE(gate.requestAccess(PrivacyEntity::calendar).granted);
  EXPECT_EQ(test::readFile(authorizationFile()), "not json");
  EXPECT_FALSE(gate.setStatus(PrivacyEntity::calendar, Status::unknown).ok());

  // Nor does one that is there but cannot be read at all, and nothing replaces it.
  std::filesystem::remove(authorizationFile());
  test::writeFile(authorizationFile() / "inside", "{}");  // a folder in the file's place
  EXPECT_EQ(gate.status(PrivacyEntity::calendar), Status::unknown);
  EXPECT_FALSE(gate.requestAccess(PrivacyEntity::calendar).granted);
  EXPECT_FALSE(gate.setStatus(PrivacyEntity::calendar, Status::granted).ok());
  EXPECT_EQ(test::readFile(authorizationFile() / "inside"), "{}");
}

// Each case is a start of its own: the prompt is registered afresh. Whatever the answer, a second
// request in the same start asks nobody and reads the outcome.
TEST_F(PrivacyGateTest, AsksThePromptOncePerStartAndRecordsItsAnswer) {
  const struct {
    const char* how;
    PrivacyEntity entity;
    Status before;
    std::optional<bool> reply;
    bool granted;
    Status recorded;
    bool laterGranted, laterError;
  } cases[] = {
      {"dismissed", PrivacyEntity::calendar, Status::notDetermined, std::nullopt, false,
       Status::notDetermined, false, false},
      {"refused", PrivacyEntity::calendar, Status::notDetermined, false, false, Status::denied,
       false, true},
      {"allowed", PrivacyEntity::contacts, Status::notDetermined, true, true, Status::granted, true,
       false},
      // Declining full access keeps the write-only access already given.
      {"refused more", PrivacyEntity::reminders, Status::writeOnly, false, false, Status::writeOnly,
       false, false},
      {"allowed more", PrivacyEntity::reminders, Status::writeOnly, true, true, Status::granted,
       true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    ASSERT_TRUE(gate.setStatus(c.entity, c.before).ok());
    std::vector<PrivacyEntity> asked;
    gate.setPrompt([&](PrivacyEntity entity, PrivacyGate::Answer answer) {
      asked.push_back(entity);
      answer(c.reply);
    });
    const AccessAnswer first = gate.requestAccess(c.entity);
    EXPECT_EQ(first.granted, c.granted);
    EXPECT_FALSE(first.error);  // the user's choice is no fault
    EXPECT_EQ(gate.status(c.entity), c.recorded);
    const AccessAnswer later = gate.requestAccess(c.entity);
    EXPECT_EQ(later.granted, c.laterGranted);
    EXPECT_EQ(later.error.has_value(), c.laterError);
    EXPECT_EQ(asked, std::vector<PrivacyEntity>{c.entity});
  }
}

TEST_F(PrivacyGateTest, ShowsOnePromptWhileSeveralCallersWait) {
  std::mutex mutex;
  std::condition_variable shownOne;
  std::vector<PrivacyGate::Answer> shown;
  gate.setPrompt([&](PrivacyEntity, PrivacyGate::Answer answer) {
    std::lock_guard lock(mutex);
    shown.push_back(std::move(answer));
    shownOne.notify_all();
  });

  std::vector<std::future<AccessAnswer>> callers;
  for (int i = 0; i < 3; ++i) {
    callers.push_back(std::async(std::launch::async,
                                 [&] { return gate.requestAccess(PrivacyEntity::calendar); }));
  }
  // Two ways of asking in the background on top, as the tray's start-up does.
  gate.requestAccessInBackground({PrivacyEntity::calendar});
  gate.requestAccessInBackground({PrivacyEntity::calendar});
  // The status can be read while the user decides.
  EXPECT_EQ(gate.status(PrivacyEntity::calendar), Status::notDetermined);
  PrivacyGate::Answer answer;
  {
    // Whichever thread takes the line first puts the prompt up; the others only wait for it.
    std::unique_lock lock(mutex);
    shownOne.wait_for(lock, std::chrono::seconds(30), [&] { return !shown.empty(); });
    ASSERT_EQ(shown.size(), 1u);
    answer = shown.front();
  }
  answer(true);
  answer(false);  // a second answer from the same prompt counts for nothing
  for (auto& caller : callers) EXPECT_TRUE(caller.get().granted);
  std::lock_guard lock(mutex);
  EXPECT_EQ(shown.size(), 1u);
  EXPECT_EQ(gate.status(PrivacyEntity::calendar), Status::granted);
}

// A request waits for the user at most the prompt time-out, its turn behind another prompt
// included; then it is not granted and nothing is recorded. The prompt stays up, and the answer
// the user gives later counts for the calls after it; then the next prompt in line shows.
TEST_F(PrivacyGateTest, ARequestWaitsNoLongerThanTheTimeOutWhileThePromptStays) {
  using namespace std::chrono_literals;
  gate.setPromptTimeout(200ms);
  std::mutex mutex;
  std::vector<std::pair<PrivacyEntity, PrivacyGate::Answer>> shown;
  std::promise<void> firstShown;
  gate.setPrompt([&](PrivacyEntity entity, PrivacyGate::Answer answer) {
    std::lock_guard lock(mutex);
    shown.emplace_back(entity, std::move(answer));
    if (shown.size() == 1) firstShown.set_value();
  });
  const auto shownCount = [&] {
    std::lock_guard lock(mutex);
    return shown.size();
  };
  auto first =
      std::async(std::launch::async, [&] { return gate.requestAccess(PrivacyEntity::calendar); });
  firstShown.get_future().wait();
  const AccessAnswer waited = gate.requestAccess(PrivacyEntity::contacts);
  EXPECT_FALSE(waited.granted);
  EXPECT_FALSE(waited.error);
  EXPECT_FALSE(first.get().granted);
  EXPECT_EQ(gate.status(PrivacyEntity::contacts), Status::notDetermined);
  EXPECT_EQ(gate.status(PrivacyEntity::calendar), Status::notDetermined);
  EXPECT_EQ(shownCount(), 1u);  // the contacts prompt still waits for its turn

  PrivacyGate::Answer allow;
  {
    std::lock_guard lock(mutex);
    allow = shown.front().second;
  }
  allow(true);
  EXPECT_EQ(gate.status(PrivacyEntity::calendar), Status::granted);
  EXPECT_TRUE(gate.requestAccess(PrivacyEntity::calendar).granted);
  ASSERT_EQ(shownCount(), 2u);
  EXPECT_EQ(shown.back().first, PrivacyEntity::contacts);
  gate.setPromptTimeout(PrivacyGate::kPromptTimeout);
}

TEST_F(PrivacyGateTest, StartsARequestNobodyWaitsFor) {
  std::promise<PrivacyEntity> asked;
  gate.setPrompt([&](PrivacyEntity entity, PrivacyGate::Answer answer) {
    asked.set_value(entity);
    answer(true);
  });
  gate.requestAccessInBackground({PrivacyEntity::reminders});
  auto future = asked.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(future.get(), PrivacyEntity::reminders);
  EXPECT_EQ(gate.status(PrivacyEntity::reminders), Status::granted);
}

// Two servers in one process have a gate each: a gate asks only the prompt registered with it
// and keeps its own record of whom it asked, while both read the answers the user's file holds;
// each reports a damaged file through the function it was built with.
TEST_F(PrivacyGateTest, TwoGatesKeepTheirOwnPromptsAndWarnings) {
  std::vector<std::string> firstWarnings, secondWarnings;
  PrivacyGate first([&](const std::string& line) { firstWarnings.push_back(line); });
  PrivacyGate second([&](const std::string& line) { secondWarnings.push_back(line); });
  std::vector<std::string> asked;
  const auto prompt = [&asked](std::string who, std::optional<bool> reply) {
    return [&asked, who, reply](PrivacyEntity entity, PrivacyGate::Answer answer) {
      asked.push_back(who + " " + std::string(toRaw(entity)));
      answer(reply);
    };
  };
  first.setPrompt(prompt("first", std::nullopt));  // dismissed: still undecided
  second.setPrompt(prompt("second", true));
  EXPECT_FALSE(first.requestAccess(PrivacyEntity::contacts).granted);
  EXPECT_FALSE(first.requestAccess(PrivacyEntity::contacts).granted);  // not asked again
  EXPECT_TRUE(second.requestAccess(PrivacyEntity::contacts).granted);
  EXPECT_EQ(asked, (std::vector<std::string>{"first contacts", "second contacts"}));
  EXPECT_EQ(first.status(PrivacyEntity::contacts), Status::granted);

  test::writeFile(authorizationFile(), "not json");
  EXPECT_EQ(first.status(PrivacyEntity::calendar), Status::unknown);
  ASSERT_EQ(firstWarnings.size(), 1u);
  EXPECT_NE(firstWarnings[0].find("is unusable"), std::string::npos) << firstWarnings[0];
  EXPECT_TRUE(secondWarnings.empty());
  EXPECT_EQ(second.status(PrivacyEntity::calendar), Status::unknown);
  EXPECT_EQ(secondWarnings, firstWarnings);
}

}  // namespace
}  // namespace tvrn
