// A permission decided while the tray runs, in its own prompt or by another program, shows in
// the popover's services list at the next status poll, over the road the tray reads its status
// by: the in-process server's scanner, status.json and the status monitor.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <string>
#include <variant>

#include "core/ConfigManager.h"
#include "pim/PrivacyGate.h"
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

  // Clicks the button of that name in the popover or a prompt it put up, once one is shown (rows
  // drawn before may still wait to be deleted).
  static bool clickShown(const char* name) {
    return test::processEventsUntil([name] {
      for (auto* window : QApplication::topLevelWidgets()) {
        for (auto* button : window->findChildren<QPushButton*>(QString::fromUtf8(name))) {
          if (button->isVisible()) return button->click(), true;
        }
      }
      return false;
    });
  }

  std::shared_ptr<PrivacyGate> gate_ = ServerCore::makePrivacyGate();
  StatusMonitor monitor_{ConfigManager::shared()};  // polling on the real clock, as in the tray
  MenuBarView view_{monitor_, *gate_, [] {}};
};

TEST_F(PermissionStatusTest, TheCalendarRowFollowsThePermissionWithoutWaitingForTheNextScan) {
  ASSERT_TRUE(calendarShows(false, "Enable →")) << "never granted, as on a fresh install";
  // Grant Access, then Allow in the prompt: the gate replaces the file, for Deny as for Allow.
  ASSERT_TRUE(clickShown("permission:calendar"));
  ASSERT_TRUE(clickShown("allow"));
  EXPECT_TRUE(calendarShows(true, ""));
  // Another program takes the grant back, writing over the file.
  test::writeFile(PrivacyGate::file(), R"({"calendar": "denied"})");
  EXPECT_TRUE(calendarShows(false, "Settings →"));
}

}  // namespace
}  // namespace tvrn
