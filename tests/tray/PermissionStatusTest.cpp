// A permission decided while the tray runs, in its own prompt or by another program, shows in
// the popover's services list at the next status poll, over the road the tray reads its status
// by: the in-process server's scanner, status.json and the status monitor.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <filesystem>
#include <functional>
#include <string>
#include <variant>

#include "core/ConfigManager.h"
#include "pim/PrivacyGate.h"
#include "platform/Paths.h"
#include "server/ServerCore.h"
#include "support/OwnProcesses.h"
#include "tray/PrivacySettingsDialog.h"
#include "tray/ServiceRows.h"
#include "tray/StatusMonitor.h"
#include "tray/TrayFixtures.h"
#include "tray/popover/MenuBarView.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

// Longer than a status poll and a status.json write take on a busy machine, shorter than the
// minute between two full scans: what shows within it was not waiting for the next scan.
constexpr auto kPatience = 30s;

class PermissionStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::useUnusedStatusPort();
    installPermissionPrompt(*gate_);
    ASSERT_TRUE(ServerCore::start(gate_, test::childrenOnlyCleanup()));
    monitor_.startPolling();
    view_.show();
  }
  void TearDown() override {
    for (auto* widget : QApplication::topLevelWidgets()) {
      if (auto* prompt = qobject_cast<PermissionPrompt*>(widget)) prompt->reject();
    }
    gate_->setPrompt(nullptr);
    ServerCore::shutdown();
  }

  // Runs the tray until the Calendar row of the services list, as the popover draws it from the
  // latest status, runs, or is off with `fixLabel`.
  bool calendarShows(bool running, const std::string& fixLabel) const {
    return test::processEventsUntil(
        [&] {
          if (!monitor_.status()) return false;
          for (const auto& item : servicesSection(*monitor_.status(), {}, {})) {
            const auto* row = std::get_if<ServiceRow>(&item);
            if (row && row->name == "Calendar") {
              return row->running == running && (running || row->fixLabel == fixLabel);
            }
          }
          return false;
        },
        kPatience);
  }

  // The popover's "Grant Access" for the calendar, then the button `answer` of the prompt it puts
  // up, each once shown (rows drawn before may still wait to be deleted).
  void answerThePrompt(const char* answer) {
    const auto clickShown = [](const auto& candidates) {
      return test::processEventsUntil([&] {
        for (auto* button : candidates()) {
          if (button->isVisible()) return button->click(), true;
        }
        return false;
      });
    };
    ASSERT_TRUE(clickShown([this] {
      return view_.findChildren<QPushButton*>(QStringLiteral("permission:calendar"));
    }));
    ASSERT_TRUE(clickShown([answer] {
      QList<QPushButton*> buttons;
      for (auto* prompt : QApplication::topLevelWidgets()) {
        if (qobject_cast<PermissionPrompt*>(prompt)) {
          buttons += prompt->findChildren<QPushButton*>(QString::fromUtf8(answer));
        }
      }
      return buttons;
    }));
  }

  std::shared_ptr<PrivacyGate> gate_ = ServerCore::makePrivacyGate();
  StatusMonitor monitor_{ConfigManager::shared()};  // polling on the real clock, as in the tray
  MenuBarView view_{monitor_, *gate_, [] {}};
};

TEST_F(PermissionStatusTest, TheCalendarRowFollowsThePermissionWithoutWaitingForTheNextScan) {
  const struct {
    const char* how;
    const char* from;  // the permission file before
    std::function<void()> change;
    bool running;
    const char* fixLabel;  // while off
  } cases[] = {
      {"Allow in the prompt the popover's Grant Access puts up", "{}",
       [this] { answerThePrompt("allow"); }, true, ""},
      {"Don't Allow in that prompt", "{}", [this] { answerThePrompt("deny"); }, false,
       "Settings →"},
      {"another program puts a granting file in place", "{}",
       [] { test::replaceFile(PrivacyGate::file(), R"({"calendar": "granted"})"); }, true, ""},
      {"another program takes the grant back, writing over the file", R"({"calendar": "granted"})",
       [] { test::writeFile(PrivacyGate::file(), R"({"calendar": "denied"})"); }, false,
       "Settings →"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    // Never granted before, as on a fresh install.
    std::filesystem::remove(Paths::appSupport() / "tcc-cache.json");
    test::replaceFile(PrivacyGate::file(), c.from);
    const bool granted = std::string(c.from) != "{}";
    ASSERT_TRUE(calendarShows(granted, "Enable →")) << "the row before";
    c.change();
    EXPECT_TRUE(calendarShows(c.running, c.fixLabel)) << "the row after";
  }
}

}  // namespace
}  // namespace tvrn
