// The tray's permission prompt, asked by a thread the way a tool asks it: only "Allow" and
// "Don't Allow" decide; a prompt closed any other way, or left unanswered past the time-out,
// leaves the access undecided; the first-run prompts come one at a time in a fixed order.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>
#include <future>

#include "pim/PrivacyGate.h"
#include "support/ChildTestRun.h"
#include "tray/AppDelegate.h"
#include "tray/PrivacySettingsDialog.h"
#include "tray/TrayFixtures.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using Status = AuthorizationStatus;

class PermissionPromptTest : public ::testing::Test {
 protected:
  void SetUp() override { installPermissionPrompt(); }
  void TearDown() override {
    gate_.setPrompt(nullptr);
    gate_.setPromptTimeout(PrivacyGate::kPromptTimeout);
  }

  static std::vector<PermissionPrompt*> shownPrompts() {
    std::vector<PermissionPrompt*> shown;
    for (auto* widget : QApplication::topLevelWidgets()) {
      auto* prompt = qobject_cast<PermissionPrompt*>(widget);
      if (prompt && prompt->isVisible()) shown.push_back(prompt);
    }
    return shown;
  }

  // Acts on each prompt once it stands. The prompt waits for the user in an event loop of its
  // own, so the test acts from a timer that runs there.
  void whenShown(std::function<void(PermissionPrompt*)> act) {
    actor_.setInterval(10);
    QObject::connect(&actor_, &QTimer::timeout, [this, act = std::move(act)] {
      const auto shown = shownPrompts();
      if (shown.empty() || shown.front()->property("acted").toBool()) return;
      EXPECT_EQ(shown.size(), 1u);
      shown.front()->setProperty("acted", true);
      ++prompts_;
      act(shown.front());
    });
    actor_.start();
  }

  // Asks from a thread of its own, as a tool's session does.
  std::future<AccessAnswer> ask(PrivacyEntity entity) {
    return std::async(std::launch::async, [this, entity] { return gate_.requestAccess(entity); });
  }

  // Runs the event loop until the answer is in.
  static AccessAnswer answerOf(std::future<AccessAnswer>& answer) {
    EXPECT_TRUE(
        test::processEventsUntil([&] { return answer.wait_for(0s) == std::future_status::ready; }));
    return answer.get();
  }

  PrivacyGate& gate_ = PrivacyGate::shared();
  QTimer actor_;
  int prompts_ = 0;
};

TEST_F(PermissionPromptTest, OnlyTheTwoButtonsDecide) {
  const struct {
    const char* how;
    std::function<void(PermissionPrompt*)> close;
    bool granted;
    Status recorded;
  } cases[] = {
      {"Allow", [](PermissionPrompt* p) { p->findChild<QPushButton*>("allow")->click(); }, true,
       Status::granted},
      {"Don't Allow", [](PermissionPrompt* p) { p->findChild<QPushButton*>("deny")->click(); },
       false, Status::denied},
      {"Escape", [](PermissionPrompt* p) { QTest::keyClick(p, Qt::Key_Escape); }, false,
       Status::notDetermined},
      {"Return, then Escape",
       [](PermissionPrompt* p) {
         QTest::keyClick(p, Qt::Key_Return);
         QTest::keyClick(p, Qt::Key_Escape);
       },
       false, Status::notDetermined},
      {"the window closed", [](PermissionPrompt* p) { p->close(); }, false, Status::notDetermined},
  };
  const std::function<void(PermissionPrompt*)>* current = nullptr;
  whenShown([&](PermissionPrompt* prompt) {
    EXPECT_EQ(prompt->entity(), PrivacyEntity::contacts);
    (*current)(prompt);
  });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    current = &c.close;
    ASSERT_TRUE(gate_.setStatus(PrivacyEntity::contacts, Status::notDetermined).ok());
    auto answer = ask(PrivacyEntity::contacts);
    const AccessAnswer got = answerOf(answer);
    EXPECT_EQ(got.granted, c.granted);
    EXPECT_FALSE(got.error);
    EXPECT_EQ(gate_.status(PrivacyEntity::contacts), c.recorded);
  }
  EXPECT_EQ(prompts_, 5);
}

// Nobody answers: the caller is told "not granted" at the time-out and the prompt goes away.
TEST_F(PermissionPromptTest, AnUnansweredPromptEndsAtTheTimeOut) {
  gate_.setPromptTimeout(300ms);
  whenShown([](PermissionPrompt*) {});
  auto answer = ask(PrivacyEntity::calendar);
  EXPECT_FALSE(answerOf(answer).granted);
  EXPECT_EQ(prompts_, 1);
  EXPECT_TRUE(test::processEventsUntil([] { return shownPrompts().empty(); }));
  EXPECT_EQ(gate_.status(PrivacyEntity::calendar), Status::notDetermined);
}

// The tray quits while the prompt stands. A quit ends every later event loop of the process too,
// so the test runs in a process of its own.
TEST_F(PermissionPromptTest, QuittingTheTrayLeavesTheAccessUndecided) {
  if (test::childRole() != "fresh-process") {
    const auto child = test::runTestInChild(
        "PermissionPromptTest.QuittingTheTrayLeavesTheAccessUndecided", "fresh-process", {});
    EXPECT_TRUE(child.passed) << child.output;
    return;
  }
  whenShown([](PermissionPrompt*) { QCoreApplication::exit(0); });
  auto answer = ask(PrivacyEntity::reminders);
  EXPECT_FALSE(answerOf(answer).granted);
  EXPECT_EQ(prompts_, 1);
  EXPECT_EQ(gate_.status(PrivacyEntity::reminders), Status::notDetermined);
}

TEST_F(PermissionPromptTest, FirstRunPromptsComeOneAtATimeInAFixedOrder) {
  std::vector<PrivacyEntity> order;
  whenShown([&](PermissionPrompt* prompt) {
    order.push_back(prompt->entity());
    prompt->findChild<QPushButton*>("allow")->click();
  });
  AppDelegate::requestTCCPermissions({"contacts", "reminders", "calendar"});
  EXPECT_TRUE(test::processEventsUntil(
      [&] { return gate_.status(PrivacyEntity::contacts) == Status::granted; }));
  EXPECT_EQ(order, (std::vector<PrivacyEntity>{PrivacyEntity::calendar, PrivacyEntity::reminders,
                                               PrivacyEntity::contacts}));
}

}  // namespace
}  // namespace tvrn
