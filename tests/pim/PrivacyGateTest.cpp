#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
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
  PrivacyGate& gate = PrivacyGate::shared();
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

TEST_F(PrivacyGateTest, AsksTheRegisteredPromptAndRecordsItsAnswer) {
  std::vector<PrivacyEntity> asked;
  std::optional<bool> reply;
  gate.setPrompt([&](PrivacyEntity entity, PrivacyGate::Deadline) {
    asked.push_back(entity);
    return reply;
  });

  reply = std::nullopt;  // dismissed: nothing recorded, asked again next time
  EXPECT_FALSE(gate.requestAccess(PrivacyEntity::calendar).granted);
  EXPECT_EQ(gate.status(PrivacyEntity::calendar), Status::notDetermined);

  reply = false;
  const AccessAnswer refused = gate.requestAccess(PrivacyEntity::calendar);
  EXPECT_FALSE(refused.granted);
  EXPECT_FALSE(refused.error);  // the user said no; no fault
  EXPECT_EQ(gate.status(PrivacyEntity::calendar), Status::denied);

  reply = true;
  EXPECT_TRUE(gate.requestAccess(PrivacyEntity::contacts).granted);
  EXPECT_TRUE(gate.requestAccess(PrivacyEntity::contacts).granted);
  EXPECT_FALSE(gate.requestAccess(PrivacyEntity::calendar).granted);
  EXPECT_EQ(asked, (std::vector<PrivacyEntity>{PrivacyEntity::calendar, PrivacyEntity::calendar,
                                               PrivacyEntity::contacts}));

  // Declining full access keeps the write-only access already given.
  ASSERT_TRUE(gate.setStatus(PrivacyEntity::reminders, Status::writeOnly).ok());
  reply = false;
  EXPECT_FALSE(gate.requestAccess(PrivacyEntity::reminders).granted);
  EXPECT_EQ(gate.status(PrivacyEntity::reminders), Status::writeOnly);
  reply = true;
  EXPECT_TRUE(gate.requestAccess(PrivacyEntity::reminders).granted);
  EXPECT_EQ(
      recorded(),
      (nlohmann::json{{"calendar", "denied"}, {"contacts", "granted"}, {"reminders", "granted"}}));
}

TEST_F(PrivacyGateTest, ShowsOnePromptWhileSeveralCallersWait) {
  std::promise<void> shown;
  std::promise<bool> userAnswer;
  auto answer = userAnswer.get_future().share();
  std::atomic<int> prompts{0};
  gate.setPrompt([&](PrivacyEntity, PrivacyGate::Deadline) -> std::optional<bool> {
    if (prompts++ == 0) shown.set_value();
    return answer.get();
  });

  std::vector<std::future<AccessAnswer>> callers;
  for (int i = 0; i < 3; ++i) {
    callers.push_back(std::async(std::launch::async,
                                 [&] { return gate.requestAccess(PrivacyEntity::calendar); }));
  }
  shown.get_future().wait();
  // The status can be read while the user decides.
  EXPECT_EQ(gate.status(PrivacyEntity::calendar), Status::notDetermined);
  userAnswer.set_value(true);
  for (auto& caller : callers) EXPECT_TRUE(caller.get().granted);
  EXPECT_EQ(prompts.load(), 1);
}

// A request waits for the user at most the prompt time-out, its turn behind another prompt
// included; then it is not granted and nothing is recorded.
TEST_F(PrivacyGateTest, ARequestWaitsForTheUserNoLongerThanTheTimeOut) {
  using namespace std::chrono_literals;
  gate.setPromptTimeout(200ms);
  std::promise<void> release;
  auto released = release.get_future().share();
  std::promise<void> shown;
  std::vector<PrivacyGate::Deadline> deadlines;
  gate.setPrompt([&](PrivacyEntity, PrivacyGate::Deadline deadline) -> std::optional<bool> {
    deadlines.push_back(deadline);
    shown.set_value();
    released.wait();  // a user who never answers, and a prompt that ignores its deadline
    return std::nullopt;
  });
  auto first =
      std::async(std::launch::async, [&] { return gate.requestAccess(PrivacyEntity::calendar); });
  shown.get_future().wait();
  const auto start = std::chrono::steady_clock::now();
  const AccessAnswer waited = gate.requestAccess(PrivacyEntity::contacts);
  EXPECT_FALSE(waited.granted);
  EXPECT_FALSE(waited.error);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(gate.status(PrivacyEntity::contacts), Status::notDetermined);
  release.set_value();
  EXPECT_FALSE(first.get().granted);
  EXPECT_EQ(gate.status(PrivacyEntity::calendar), Status::notDetermined);
  ASSERT_EQ(deadlines.size(), 1u);
  EXPECT_LE(deadlines[0] - start, 200ms);
  gate.setPromptTimeout(PrivacyGate::kPromptTimeout);
}

TEST_F(PrivacyGateTest, StartsARequestNobodyWaitsFor) {
  std::promise<PrivacyEntity> asked;
  gate.setPrompt([&](PrivacyEntity entity, PrivacyGate::Deadline) -> std::optional<bool> {
    asked.set_value(entity);
    return true;
  });
  gate.requestAccessInBackground({PrivacyEntity::reminders});
  auto future = asked.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(future.get(), PrivacyEntity::reminders);
  for (int i = 0; i < 500 && gate.status(PrivacyEntity::reminders) != Status::granted; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(gate.status(PrivacyEntity::reminders), Status::granted);
}

}  // namespace
}  // namespace tvrn
