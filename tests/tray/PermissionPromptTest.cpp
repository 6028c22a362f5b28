// The tray's permission prompt, asked by a thread the way a tool asks it: only "Allow" and
// "Don't Allow" decide; a prompt closed any other way leaves the access undecided; a caller waits
// for the user no longer than the time-out, while the prompt stays up beside a working popover;
// the first-run prompts come one at a time in a fixed order, each permission asked once by
// itself, and again at every click of the user's.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>
#include <future>

#include "core/ConfigManager.h"
#include "pim/PrivacyGate.h"
#include "support/ChildTestRun.h"
#include "tray/AppDelegate.h"
#include "tray/ManualScheduler.h"
#include "tray/PrivacySettingsDialog.h"
#include "tray/TrayFixtures.h"
#include "tray/popover/MenuBarView.h"
#include "tray/popover/PopoverWindow.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using Status = AuthorizationStatus;

class PermissionPromptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::useUnusedStatusPort();
    installPermissionPrompt(gate_);
  }
  void TearDown() override {
    // A prompt still up answers nothing once closed; its answer must not outlive the gate.
    for (auto* prompt : shownPrompts()) prompt->reject();
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

  // Acts on each prompt once it stands, from a timer of the event loop the test runs.
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

  PrivacyGate gate_;
  test::ManualScheduler clock_;
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
    installPermissionPrompt(gate_);  // a start of its own: each permission is asked once per start
    ASSERT_TRUE(gate_.setStatus(PrivacyEntity::contacts, Status::notDetermined).ok());
    auto answer = ask(PrivacyEntity::contacts);
    const AccessAnswer got = answerOf(answer);
    EXPECT_EQ(got.granted, c.granted);
    EXPECT_FALSE(got.error);
    EXPECT_EQ(gate_.status(PrivacyEntity::contacts), c.recorded);
  }
  EXPECT_EQ(prompts_, 5);
}

// Nobody answers: the caller is told "not granted" at the time-out, the prompt stays up, and the
// user's later "Allow" counts for the calls after it.
TEST_F(PermissionPromptTest, AnUnansweredCallEndsAtTheTimeOutAndALaterAllowCounts) {
  gate_.setPromptTimeout(300ms);
  auto answer = ask(PrivacyEntity::calendar);
  EXPECT_FALSE(answerOf(answer).granted);
  ASSERT_EQ(shownPrompts().size(), 1u);
  EXPECT_EQ(gate_.status(PrivacyEntity::calendar), Status::notDetermined);

  shownPrompts().front()->findChild<QPushButton*>("allow")->click();
  EXPECT_EQ(gate_.status(PrivacyEntity::calendar), Status::granted);
  auto later = ask(PrivacyEntity::calendar);
  EXPECT_TRUE(answerOf(later).granted);
  EXPECT_TRUE(shownPrompts().empty());
}

// The tray quits while the prompt stands: the caller still has its answer at the time-out and
// the access stays undecided. A quit ends every later event loop of the process too, so the test
// runs in a process of its own.
TEST_F(PermissionPromptTest, QuittingTheTrayLeavesTheAccessUndecided) {
  if (test::childRole() != "fresh-process") {
    const auto child = test::runTestInChild(
        "PermissionPromptTest.QuittingTheTrayLeavesTheAccessUndecided", "fresh-process", {});
    EXPECT_TRUE(child.passed) << child.output;
    return;
  }
  gate_.setPromptTimeout(300ms);
  whenShown([](PermissionPrompt*) { QCoreApplication::exit(0); });
  auto answer = ask(PrivacyEntity::reminders);
  EXPECT_FALSE(answerOf(answer).granted);
  EXPECT_EQ(prompts_, 1);
  EXPECT_EQ(gate_.status(PrivacyEntity::reminders), Status::notDetermined);
}

// The prompt is a window of its own: while it stands, the popover opens, answers a click and
// closes again, and the prompt is still there to answer.
TEST_F(PermissionPromptTest, APromptLeavesThePopoverWorking) {
  MenuBarView::requestTCCPermission(gate_, "contacts");
  ASSERT_EQ(shownPrompts().size(), 1u);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

  StatusMonitor monitor(ConfigManager::shared());
  auto* view = new MenuBarView(monitor, gate_, [] {});
  PopoverWindow popover(view);
  for (int round = 0; round < 2; ++round) {
    popover.openAt(QRect(100, 4, 22, 22));
    ASSERT_TRUE(popover.isVisible());
    auto* report = view->findChild<QPushButton*>(QStringLiteral("reportBug"));
    QTest::mouseClick(report, Qt::LeftButton);
    EXPECT_EQ(view->findChild<QWidget*>(QStringLiteral("bugForm"))->isVisibleTo(view), round == 0);
    popover.hide();
  }
  ASSERT_EQ(shownPrompts().size(), 1u);
  shownPrompts().front()->findChild<QPushButton*>("allow")->click();
  EXPECT_EQ(gate_.status(PrivacyEntity::contacts), Status::granted);
}

// At the first start both the start-up probe and the monitor's not-determined callback ask for
// the three permissions; each is asked once, Escape on its prompt brings the next permission's,
// and nothing asks again by itself. The popover's "Grant Access" and a service's "Enable" put the
// prompt up at every click all the same, one at a time, and its "Allow" counts.
TEST_F(PermissionPromptTest, AfterEscapeOnlyTheUsersClickAsksAgain) {
  test::writeStatusFile(test::statusFixture("status-fresh-install.json"), clock_.now());
  StartupHooks hooks;
  hooks.registerPermissionPrompt = [this] { installPermissionPrompt(gate_); };
  AppDelegate delegate(hooks, gate_, ConfigManager::shared(), clock_, QDBusConnection(QString()));
  ASSERT_TRUE(delegate.applicationDidFinishLaunching());
  std::vector<PrivacyEntity> order;
  bool allow = false;
  whenShown([&](PermissionPrompt* prompt) {
    order.push_back(prompt->entity());
    if (allow) {
      prompt->findChild<QPushButton*>("allow")->click();
    } else {
      QTest::keyClick(prompt, Qt::Key_Escape);
    }
  });
  clock_.advance(AppDelegate::kProbeDelay);
  EXPECT_TRUE(
      test::processEventsUntil([&] { return order.size() == 3 && shownPrompts().empty(); }));
  AppDelegate::requestTCCPermissions(gate_, {"calendar", "reminders", "contacts"});
  EXPECT_TRUE(shownPrompts().empty());
  EXPECT_EQ(order, (std::vector<PrivacyEntity>{PrivacyEntity::calendar, PrivacyEntity::reminders,
                                               PrivacyEntity::contacts}));
  for (const auto entity : order) EXPECT_EQ(gate_.status(entity), Status::notDetermined);

  delegate.popover()->openAt(QRect(100, 4, 22, 22));
  auto* view = delegate.menuBarView();
  QPushButton* grant = nullptr;
  QPushButton* enable = nullptr;
  ASSERT_TRUE(test::processEventsUntil([&] {
    grant = view->findChild<QPushButton*>(QStringLiteral("permission:calendar"));
    for (auto* button : view->findChildren<QPushButton*>()) {
      if (button->text() == QStringLiteral("Enable →") && !enable) enable = button;
    }
    return grant && enable;
  })) << "the popover's Grant Access and Enable buttons";
  QTest::mouseClick(enable, Qt::LeftButton);
  EXPECT_TRUE(test::processEventsUntil([&] { return order.size() == 4 && shownPrompts().empty(); }))
      << "the prompt of the Enable button, closed with Escape";
  // Twice at once: one prompt, not two.
  QTest::mouseClick(grant, Qt::LeftButton);
  QTest::mouseClick(grant, Qt::LeftButton);
  EXPECT_TRUE(test::processEventsUntil([&] { return order.size() == 5 && shownPrompts().empty(); }))
      << "the prompt of the first click on Grant Access, closed with Escape";
  EXPECT_EQ(order.back(), PrivacyEntity::calendar);
  allow = true;
  QTest::mouseClick(grant, Qt::LeftButton);
  EXPECT_TRUE(test::processEventsUntil([&] {
    return gate_.status(PrivacyEntity::calendar) == Status::granted;
  })) << "Allow on the prompt of the next click";
  EXPECT_EQ(order.size(), 6u);
}

TEST_F(PermissionPromptTest, FirstRunPromptsComeOneAtATimeInAFixedOrder) {
  std::vector<PrivacyEntity> order;
  whenShown([&](PermissionPrompt* prompt) {
    order.push_back(prompt->entity());
    prompt->findChild<QPushButton*>("allow")->click();
  });
  AppDelegate::requestTCCPermissions(gate_, {"contacts", "reminders", "calendar"});
  EXPECT_TRUE(test::processEventsUntil(
      [&] { return gate_.status(PrivacyEntity::contacts) == Status::granted; }));
  EXPECT_EQ(order, (std::vector<PrivacyEntity>{PrivacyEntity::calendar, PrivacyEntity::reminders,
                                               PrivacyEntity::contacts}));
}

}  // namespace
}  // namespace tvrn
