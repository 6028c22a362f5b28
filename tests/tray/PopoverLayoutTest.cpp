// The popover laid out on small and large screens, in three languages, quiet and busy with the
// problem-report form open (busy: its send failed): nothing overlaps, every text shows whole (or is
// cut with "…" on purpose), and all of the column is in the popup or reached by scrolling. A
// picture of each goes to the temporary folder for a person to look at.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QtTest/QTest>
#include <algorithm>
#include <memory>

#include "core/ConfigManager.h"
#include "fakes/support/RecordingHttpServer.h"
#include "tray/ManualScheduler.h"
#include "tray/TrayFixtures.h"
#include "tray/TrayStrings.h"
#include "tray/popover/MenuBarView.h"
#include "tray/popover/PopoverSections.h"
#include "tray/popover/PopoverWindow.h"
#include "tray/popover/UninstallPanel.h"

namespace tvrn {
namespace {

using nlohmann::json;

// A top panel of the desktop takes this much of every screen.
constexpr int kPanel = 32;

json busyStatus() {
  json status = test::statusFixture("status-busy.json");
  status["permissions"] = {
      {"calendar", "denied"}, {"contacts", "notDetermined"}, {"reminders", "writeOnly"}};
  status["push_message"] = "Your weekly summary is ready: 42 tool calls, 3 clients, no errors.";
  status["service_errors"] = {
      {"mail",
       {{"error", "The IMAP server closed the connection while listing INBOX (1)"},
        {"suggestion", "Restart Mail and check the account settings"}}}};
  status["services"]["whatsapp"] = {{"available", true}, {"authenticated", false}};
  status["services"]["calendar"] = {{"running", false}, {"calendars", json::array()}};
  return status;
}

class PopoverLayoutTest : public ::testing::Test {
 protected:
  PrivacyGate gate_;  // the tray's, over the test's own access file
  void SetUp() override {
    test::useUnusedStatusPort();
    ::setenv("TVRN_WEB_URL", web_.baseURL().c_str(), 1);
  }
  void TearDown() override { TrayStrings::setLanguage("en"); }

  // A fresh popover on the screen, drawn from the status, opened below an icon at the top right
  // (above one at the bottom right, with the panel at the bottom).
  void open(const json& status, const QSize& screen, bool busy, bool panelAtBottom = false) {
    popover_.reset();
    view_ = nullptr;
    monitor_ = std::make_unique<StatusMonitor>(ConfigManager::shared(), clock_);
    // Cloud sign-ins are listed only with a relay token.
    ASSERT_TRUE(ConfigManager::shared().save(
        {{"cloud_token", busy ? json("relay-token") : json(nullptr)}}));
    test::CannedResponse approvals;
    approvals.body = busy ? R"({"requests": [
        {"request_id": "r1", "client_name": "ChatGPT", "client_id": "c1",
         "redirect_uri": "https://chat.example/cb", "expires_at": 1}]})"
                          : R"({"requests": []})";
    web_.respond("/oauth/list-tray-approvals", approvals);
    test::writeStatusFile(status, clock_.now());
    monitor_->startPolling();
    if (busy) {
      ASSERT_TRUE(test::processEventsUntil([&] { return !monitor_->pendingApprovals().empty(); }));
      monitor_->setJustUpdatedToVersion("3.0.105");
    }
    view_ = new MenuBarView(
        *monitor_, gate_, [] {}, clock_);
    popover_ = std::make_unique<PopoverWindow>(view_);
    const QRect area(0, panelAtBottom ? 0 : kPanel, screen.width(), screen.height() - kPanel);
    popover_->availableArea = [area](const QPoint&) { return area; };
    popover_->openAt(QRect(screen.width() - 200, panelAtBottom ? area.bottom() + 5 : 4, 22, 22));
    QCoreApplication::processEvents();
  }

  // Open; when `failed`, a report was sent and did not arrive (the back end is not there).
  void openBugForm(bool failed) {
    auto* report = view_->findChild<QPushButton*>(QStringLiteral("reportBug"));
    ASSERT_NE(report, nullptr);
    report->click();
    QCoreApplication::processEvents();
    if (!failed) return;
    view_->findChild<QPlainTextEdit*>(QStringLiteral("bugText"))->setPlainText("It stopped.");
    view_->findChild<QPushButton*>(QStringLiteral("sendReport"))->click();
    ASSERT_TRUE(test::processEventsUntil([&] {
      return view_->findChild<QPushButton*>(QStringLiteral("retryReport"))->isVisibleTo(view_);
    }));
    QCoreApplication::processEvents();  // the new layout
  }

  // What a person sees of the column: texts, controls and editors, each counted once.
  std::vector<QWidget*> shownParts() const {
    std::vector<QWidget*> parts;
    for (auto* widget : view_->findChildren<QWidget*>()) {
      if (!widget->isVisibleTo(view_)) continue;
      const bool part = qobject_cast<QLabel*>(widget) || qobject_cast<QAbstractButton*>(widget) ||
                        qobject_cast<QPlainTextEdit*>(widget);
      // The editor's own scroll bars and viewport belong to it.
      const bool inEditor = widget->parentWidget() &&
                            (qobject_cast<QPlainTextEdit*>(widget->parentWidget()) ||
                             qobject_cast<QPlainTextEdit*>(widget->parentWidget()->parentWidget()));
      if (part && !inEditor) parts.push_back(widget);
    }
    return parts;
  }

  // Shown, and all of it within what the popup shows of the column now.
  bool inView(QWidget* shown) const {
    auto* viewport = popover_->scrollArea()->viewport();
    return shown->isVisibleTo(view_) &&
           viewport->rect().contains(QRect(shown->mapTo(viewport, QPoint(0, 0)), shown->size()));
  }

  QRect inColumn(QWidget* widget) const {
    return QRect(widget->mapTo(view_, QPoint(0, 0)), widget->size());
  }

  static std::string describe(QWidget* widget) {
    std::string text;
    if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text().toStdString();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) text = button->text().toStdString();
    return std::string(widget->metaObject()->className()) + " '" + text + "' " +
           widget->objectName().toStdString();
  }

  // A label's text fits the room its layout gave it.
  static bool showsWhole(QLabel* label) {
    if (label->text().isEmpty()) return true;
    const QRect room = label->contentsRect();
    const QFontMetrics metrics = label->fontMetrics();
    if (label->wordWrap()) {
      return metrics
                 .boundingRect(QRect(0, 0, room.width(), 1 << 20), Qt::TextWordWrap, label->text())
                 .height() <= room.height();
    }
    return metrics.horizontalAdvance(label->text()) <= room.width() &&
           metrics.height() <= room.height() + 1;
  }

  void checkLayout() {
    const auto parts = shownParts();
    ASSERT_FALSE(parts.empty());
    const QRect column(0, 0, MenuBarView::kWidth, view_->height());
    for (std::size_t i = 0; i < parts.size(); ++i) {
      const QRect mine = inColumn(parts[i]);
      EXPECT_TRUE(column.contains(mine)) << describe(parts[i]);
      // Inside every box around it, so nothing is cut off by a section too small for it.
      for (QWidget* box = parts[i]->parentWidget(); box && box != view_;
           box = box->parentWidget()) {
        EXPECT_TRUE(inColumn(box).contains(mine)) << describe(parts[i]) << " in " << describe(box);
      }
      for (std::size_t j = i + 1; j < parts.size(); ++j) {
        EXPECT_FALSE(mine.intersects(inColumn(parts[j])))
            << describe(parts[i]) << " overlaps " << describe(parts[j]);
      }
      if (auto* label = qobject_cast<QLabel*>(parts[i])) {
        EXPECT_TRUE(showsWhole(label)) << describe(label);
      }
      if (auto* button = qobject_cast<QPushButton*>(parts[i])) {
        EXPECT_GE(button->width(), button->sizeHint().width()) << describe(button);
      }
    }
    // As tall as the column, up to the free height; the rest is reached by scrolling.
    const int free = area().height();
    EXPECT_EQ(popover_->height(), std::min(view_->height(), free));
    EXPECT_TRUE(area().contains(popover_->geometry())) << popover_->geometry().y();
    const auto* scroll = popover_->scrollArea();
    EXPECT_EQ(scroll->verticalScrollBar()->maximum(),
              std::max(0, view_->height() - scroll->viewport()->height()));
    EXPECT_GE(scroll->viewport()->width(), MenuBarView::kWidth);
  }

  QRect area() const { return popover_->availableArea(QPoint()); }

  void screenshot(const std::string& name) {
    const QString file = QDir(QDir::tempPath()).filePath(QString::fromStdString(name + ".png"));
    EXPECT_TRUE(popover_->grab().save(file));
    EXPECT_TRUE(view_->grab().save(
        QDir(QDir::tempPath()).filePath(QString::fromStdString(name + "-column.png"))));
  }

  test::RecordingHttpServer web_;
  test::ManualScheduler clock_;
  std::unique_ptr<StatusMonitor> monitor_;
  std::unique_ptr<PopoverWindow> popover_;
  MenuBarView* view_ = nullptr;  // owned by the popover
};

TEST_F(PopoverLayoutTest, FitsEveryScreenInEveryLanguage) {
  struct State {
    const char* name;
    json status;
    bool busy;
  };
  const std::vector<State> states{
      {"quiet", test::statusFixture("status-fresh-install.json"), false},
      {"busy", busyStatus(), true}};
  for (const char* language : {"en", "de", "ja"}) {
    for (const QSize screen : {QSize(1280, 800), QSize(1920, 1080)}) {
      for (const auto& state : states) {
        const std::string name = std::string("tvrn-popover-") + state.name + "-" + language + "-" +
                                 std::to_string(screen.height());
        SCOPED_TRACE(name);
        TrayStrings::setLanguage(language);
        open(state.status, screen, state.busy);
        openBugForm(state.busy);
        checkLayout();
        screenshot(name);
      }
    }
  }
}

// The confirmation opens below the footer, at the very end of a column taller than the screen:
// it is scrolled into view, its buttons on screen.
TEST_F(PopoverLayoutTest, TheUninstallPanelScrollsIntoView) {
  open(busyStatus(), QSize(1280, 800), true);
  openBugForm(false);
  ASSERT_GT(view_->height(), popover_->height());
  // The form was scrolled into view as it opened; the user goes back to the top.
  auto* bar = popover_->scrollArea()->verticalScrollBar();
  ASSERT_TRUE(test::processEventsUntil([&] { return bar->value() > 0; }));
  bar->setValue(0);
  view_->showUninstallConfirm();
  ASSERT_TRUE(test::processEventsUntil(
      [&] { return popover_->scrollArea()->verticalScrollBar()->value() > 0; }));
  checkLayout();
  for (QWidget* shown : {static_cast<QWidget*>(view_->uninstallPanel()->uninstallButton()),
                         static_cast<QWidget*>(view_->uninstallPanel()->cancelButton())}) {
    EXPECT_TRUE(inView(shown)) << describe(shown);
  }
  screenshot("tvrn-popover-uninstall");
}

// The problem-report form opens at the foot of a column taller than the screen: it is scrolled
// into view, and so is the case id that the back end's answer brings.
TEST_F(PopoverLayoutTest, TheReportFormScrollsIntoView) {
  test::CannedResponse received;
  received.status = 201;
  received.body = R"({"case_id":"TV-0042"})";
  web_.respond("/feedback", received);
  ::setenv("TVRN_BACKEND_URL", web_.baseURL().c_str(), 1);
  open(busyStatus(), QSize(1280, 800), true);
  ASSERT_GT(view_->height(), popover_->height());
  auto* form = view_->findChild<QWidget*>(QStringLiteral("bugForm"));
  ASSERT_FALSE(inView(form));

  openBugForm(false);
  EXPECT_TRUE(test::processEventsUntil([&] { return inView(form); }));
  popover_->scrollArea()->verticalScrollBar()->setValue(0);  // the user looks elsewhere meanwhile
  view_->findChild<QPlainTextEdit*>(QStringLiteral("bugText"))->setPlainText("It stopped.");
  view_->findChild<QPushButton*>(QStringLiteral("sendReport"))->click();
  QLabel* caseId = nullptr;
  EXPECT_TRUE(test::processEventsUntil([&] {
    for (auto* label : form->findChildren<QLabel*>()) {
      if (label->text() == QStringLiteral("Case ID: TV-0042")) caseId = label;
    }
    return caseId && inView(caseId);
  }));
  checkLayout();
  screenshot("tvrn-popover-report-sent");
  ::setenv("TVRN_BACKEND_URL", "http://127.0.0.1:9", 1);  // as the test main leaves it
}

// "Hide icon" asks first, in a question that opens below the footer's controls at the foot of a
// column taller than the screen: it is scrolled into view, its buttons on screen.
TEST_F(PopoverLayoutTest, TheHideIconQuestionScrollsIntoView) {
  open(busyStatus(), QSize(1280, 800), true);
  ASSERT_GT(view_->height(), popover_->height());
  auto* confirm = view_->findChild<QWidget*>(QStringLiteral("confirmHide"));
  auto* cancel = view_->findChild<QWidget*>(QStringLiteral("cancelHide"));
  ASSERT_FALSE(inView(confirm) || inView(cancel));
  view_->findChild<QPushButton*>(QStringLiteral("hideIcon"))->click();
  EXPECT_TRUE(test::processEventsUntil([&] { return inView(confirm) && inView(cancel); }))
      << "the question's buttons in view";
  checkLayout();
  screenshot("tvrn-popover-hide-icon");
}

// "Cancel" on a question or panel that opened at the foot of the column gives the popover back
// as it was before it opened: scrolled where it was (the footer in view when it was), hanging
// where it hung, the keyboard on the control that opened it.
TEST_F(PopoverLayoutTest, CancelPutsThePopoverBackAsItWas) {
  // The control that opens the part, and its Cancel.
  const std::pair<const char*, const char*> parts[] = {{"hideIcon", "cancelHide"},
                                                       {"uninstall", "cancelUninstall"}};
  const struct {
    const char* where;
    bool tall;  // a column taller than the screen, else a short one that grows upwards
    bool atFooter;
  } places[] = {{"scrolled to the footer", true, true},
                {"scrolled to the top", true, false},
                {"above an icon on a panel at the bottom", false, false}};
  for (const auto& [openerName, cancelName] : parts) {
    for (const auto& place : places) {
      SCOPED_TRACE(std::string(openerName) + ", " + place.where);
      open(place.tall ? busyStatus() : test::statusFixture("status-fresh-install.json"),
           place.tall ? QSize(1280, 800) : QSize(1920, 1080), false, !place.tall);
      auto* bar = popover_->scrollArea()->verticalScrollBar();
      bar->setValue(place.atFooter ? bar->maximum() : 0);
      auto* opener = view_->findChild<QWidget*>(QString::fromUtf8(openerName));
      auto* cancel = view_->findChild<QWidget*>(QString::fromUtf8(cancelName));
      ASSERT_TRUE(opener && cancel);
      const int scroll = bar->value();
      const QPoint position = popover_->pos();
      const bool footerInView = inView(opener);
      EXPECT_EQ(footerInView, place.atFooter || !place.tall);

      QTest::mouseClick(opener, Qt::LeftButton);
      ASSERT_TRUE(test::processEventsUntil([&] { return inView(cancel); })) << "opened in view";
      QTest::mouseClick(cancel, Qt::LeftButton);
      ASSERT_TRUE(test::processEventsUntil([&] { return !cancel->isVisibleTo(view_); }));
      QCoreApplication::processEvents();  // what the closing queued

      EXPECT_EQ(bar->value(), scroll);
      EXPECT_EQ(inView(opener), footerInView);
      EXPECT_EQ(popover_->pos(), position) << "at y " << popover_->y() << ", not " << position.y();
      EXPECT_TRUE(!QApplication::focusWidget() || QApplication::focusWidget() == opener);
    }
  }
}

// Closed, the popover draws nothing at a poll; opened, it shows what the last poll brought.
TEST_F(PopoverLayoutTest, AHiddenPopoverDoesNoWorkAtAPollAndShowsTheLatestWhenOpened) {
  json status = busyStatus();
  open(status, QSize(1920, 1080), false);
  popover_->hide();
  const auto versionShown = [&](const std::string& version) {
    for (auto* label : view_->sectionWidget(PopoverSection::header)->findChildren<QLabel*>()) {
      if (label->text().toStdString() == "v" + version) return true;
    }
    return false;
  };
  ASSERT_TRUE(versionShown("3.0.100"));
  // The services list is built anew when what it lists changed.
  QPointer<QLabel> row = view_->sectionWidget(PopoverSection::services)->findChild<QLabel*>();
  ASSERT_TRUE(row);

  for (const char* version : {"3.0.101", "3.0.102"}) {
    status["version"] = version;
    status["services"]["notes"]["count"] = status["services"]["notes"].value("count", 0) + 1;
    test::writeStatusFile(status, clock_.now() + StatusMonitor::kPollInterval);
    clock_.advance(StatusMonitor::kPollInterval);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  EXPECT_EQ(monitor_->status()->version, "3.0.102");
  EXPECT_TRUE(row) << "the services list was rebuilt while hidden";
  EXPECT_TRUE(versionShown("3.0.100"));

  popover_->openAt(QRect(100, 4, 22, 22));
  EXPECT_TRUE(versionShown("3.0.102"));
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_FALSE(row);
}

}  // namespace
}  // namespace tvrn
