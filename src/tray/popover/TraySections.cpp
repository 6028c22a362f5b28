#include "tray/popover/TraySections.h"

#include <QActionGroup>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtGlobal>
#include <algorithm>
#include <array>
#include <utility>

#include "base/Utf8.h"
#include "platform/Opener.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "tray/AppSection.h"
#include "tray/AppSectionTexts.h"
#include "tray/Desktop.h"
#include "tray/ServiceRowTexts.h"
#include "tray/ServiceRows.h"
#include "tray/TrayStrings.h"
#include "tray/WacliLauncher.h"
#include "tray/popover/AIClientsSection.h"
#include "tray/popover/MenuBarView.h"
#include "tray/popover/PopoverSymbols.h"

namespace tvrn {
namespace {

namespace RT = ServiceRowTexts;
namespace AT = AppSectionTexts;

constexpr const char* kFinderBundleId = "com.apple.finder";

QString qt(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

PlainLabel* label(QWidget* parent, std::string_view text, ColorRole role, int points,
                  double opacity = 1.0, bool emphasised = false) {
  auto* made = new PlainLabel(parent);
  made->show(std::string(text), role, points, emphasised);
  made->setStyleSheet(QStringLiteral("color: %1;").arg(cssColor(role, opacity)));
  made->setVisible(true);  // drawn into a section that may already be on screen
  return made;
}

// Lets the label wrap within the width its layout gives it, indented on the left; the column's
// layout then asks it how tall that makes it.
PlainLabel* wrapped(PlainLabel* label, int maxLines = 0, int indent = 0) {
  label->setContentsMargins(indent, 0, 0, 0);
  label->wrap(maxLines);
  return label;
}

// A small badge: bold text in the role's colour on that colour at 12 %.
PlainLabel* badge(QWidget* parent, std::string_view text, ColorRole role) {
  auto* made = new PlainLabel(parent);
  made->show(std::string(text), role, 8, true);
  made->setStyleSheet(QStringLiteral("color: %1; background-color: %2; border-radius: 3px;"
                                     " padding: 1px 4px;")
                          .arg(cssColor(role), cssColor(role, 0.12)));
  made->setVisible(true);
  return made;
}

QPushButton* button(QWidget* parent, std::string_view text, ColorRole role, int points,
                    std::function<void()> onClick, std::optional<ColorRole> background = {}) {
  auto* made = new QPushButton(qt(text).replace(QLatin1Char('&'), QStringLiteral("&&")), parent);
  // Sized like the labels beside it, in pixels.
  QFont font = made->font();
  font.setPixelSize(points + 1);
  font.setWeight(QFont::DemiBold);
  made->setFont(font);
  made->setFlat(true);
  made->setCursor(Qt::PointingHandCursor);
  made->setStyleSheet(
      QStringLiteral("QPushButton { color: %1; border: none; padding: 1px 3px;"
                     " background-color: %2; border-radius: 4px; }"
                     " QPushButton:disabled { color: %3; }")
          .arg(cssColor(role),
               background ? cssColor(*background, 0.15) : QStringLiteral("transparent"),
               cssColor(ColorRole::secondary, 0.6)));
  QObject::connect(made, &QPushButton::clicked, made,
                   [onClick = std::move(onClick)] { onClick(); });
  made->setVisible(true);
  return made;
}

SymbolLabel* symbol(QWidget* parent, std::string_view name, ColorRole role, int points) {
  auto* made = new SymbolLabel(parent);
  made->show(std::string(name), role, points);
  made->setFixedWidth(16);
  made->setVisible(true);
  return made;
}

QHBoxLayout* line(QBoxLayout* parent, int spacing, int indent = 0) {
  auto* made = new QHBoxLayout;
  made->setSpacing(spacing);
  made->setContentsMargins(indent, 0, 0, 0);
  parent->addLayout(made);
  return made;
}

QVBoxLayout* block(QBoxLayout* parent, int spacing, QMargins margins) {
  auto* made = new QVBoxLayout;
  made->setSpacing(spacing);
  made->setContentsMargins(margins);
  parent->addLayout(made);
  return made;
}

// The desktop's program for URLs of the scheme, from its registry; empty when none.
std::string schemeHandler(const std::string& scheme) {
  SpawnOptions options({"xdg-mime", "query", "default", "x-scheme-handler/" + scheme});
  options.searchPath = true;
  RunOptions run;
  run.timeout = std::chrono::seconds(2);
  const auto done = Subprocess::run(options, run);
  if (!done.launched || done.exit.status != 0 || done.exit.signalled) return {};
  return std::string(Utf8::trim(done.standardOutput, Utf8::isWhiteSpace));
}

ServiceFixHandlers desktopHandlers(PrivacyGate& gate) {
  return {[&gate](const std::string& bundleId) {
            if (bundleId == kFinderBundleId) {
              Desktop::open(Paths::home().string(), gate);
            } else {
              static_cast<void>(Desktop::openApp(bundleId));  // the user sees whether it opened
            }
          },
          [&gate](const std::string& url) { Desktop::open(url, gate); }, schemeHandler,
          [&gate](const std::string& key) { MenuBarView::requestTCCPermission(gate, key); }};
}

// ---- services

class ServicesSection final : public PopoverSectionWidget {
 public:
  ServicesSection(QWidget* parent, PrivacyGate& gate) : PopoverSectionWidget(parent), gate_(gate) {
    layout_ = new QVBoxLayout(this);
    layout_->setSpacing(0);
    layout_->setContentsMargins(0, 0, 0, 8);
  }

  bool update(const PopoverInput& input) override {
    if (!replace(shown_, input.status ? servicesSection(*input.status, input.outlookAccounts,
                                                        input.outlookMissing)
                                      : std::vector<ServiceItem>{})) {
      return false;
    }
    clearLayout(layout_);
    for (const auto& item : *shown_) {
      if (const auto* heading = std::get_if<SectionLabel>(&item)) drawLabel(*heading);
      if (const auto* row = std::get_if<ServiceRow>(&item)) drawRow(*row);
      if (const auto* outlook = std::get_if<OutlookRow>(&item)) drawOutlook(*outlook);
      if (const auto* whatsapp = std::get_if<WhatsAppRow>(&item)) drawWhatsApp(*whatsapp);
    }
    return true;
  }

 private:
  void drawLabel(const SectionLabel& heading) {
    auto* box = block(layout_, 0, {16, 8, 16, 2});
    auto* title =
        label(this, qt(heading.title).toUpper().toStdString(), ColorRole::secondary, 9, 0.5, true);
    QFont font = title->font();
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1);
    title->setFont(font);
    box->addWidget(title);
  }

  void drawRow(const ServiceRow& row) {
    using State = ServiceRow::State;
    const State state = row.state();
    auto* box = block(layout_, 1, {16, 4, 16, 4});
    auto* main = line(box, 8);
    main->addWidget(symbol(this, row.icon,
                           state == State::error     ? ColorRole::orange
                           : state == State::running ? ColorRole::primary
                                                     : ColorRole::secondary,
                           11));
    main->addWidget(label(this, row.name,
                          state == State::off ? ColorRole::secondary : ColorRole::primary, 12,
                          state == State::off ? 0.5 : 1.0));
    main->addStretch();
    if (state == State::error) {
      main->addWidget(symbol(this, "exclamationmark.triangle.fill", ColorRole::orange, 9));
      main->addWidget(badge(this, RT::kErrorBadge, ColorRole::orange));
      box->addWidget(wrapped(label(this, row.shownError(), ColorRole::orange, 9, 0.8), 0, 24));
      if (row.suggestion) {
        box->addWidget(
            wrapped(label(this, "→ " + *row.suggestion, ColorRole::orange, 9, 0.6), 0, 24));
      }
    } else if (state == State::running) {
      if (const auto detail = row.shownDetail()) {
        main->addWidget(label(this, *detail, ColorRole::secondary, 10));
      }
    } else {
      auto* off = line(box, 4, 24);
      if (row.offReason) {
        off->addWidget(wrapped(label(this, *row.offReason, ColorRole::secondary, 9, 0.5)), 1);
      }
      if (row.fix) {
        off->addWidget(button(this, row.fixLabel, ColorRole::accent, 9,
                              [this, fix = *row.fix] { runFix(fix, desktopHandlers(gate_)); }));
      }
      off->addStretch();
    }
  }

  void drawOutlook(const OutlookRow& row) {
    auto* box = block(layout_, 2, {16, 4, 16, 4});
    auto* main = line(box, 8);
    main->addWidget(
        symbol(this, "envelope.badge", row.warn() ? ColorRole::orange : ColorRole::primary, 11));
    main->addWidget(label(this, RT::kOutlook, ColorRole::primary, 12));
    main->addStretch();
    const bool green = row.badge != OutlookRow::Badge::setup;
    main->addWidget(badge(this,
                          row.badge == OutlookRow::Badge::m365 ? "M365"
                          : green                              ? "OK"
                                                               : "SETUP",
                          green ? ColorRole::green : ColorRole::orange));
    const ColorRole role = row.badge == OutlookRow::Badge::m365 ? ColorRole::green
                           : green                              ? ColorRole::secondary
                                                                : ColorRole::orange;
    auto* text = label(this, row.line, role, 9, role == ColorRole::secondary ? 1.0 : 0.8);
    text->setContentsMargins(24, 0, 0, 0);
    if (row.badge == OutlookRow::Badge::setup) wrapped(text, 2, 24);
    box->addWidget(text);
    if (row.addToMail) {
      auto* add = line(box, 0, 24);
      add->addWidget(button(this, RT::kAddToMail, ColorRole::blue, 10, [] {
        // The desktop's online accounts settings, where there are any; it outlives the click.
        static_cast<void>(Opener::launch({"gnome-control-center", "online-accounts"}));
      }));
      add->addStretch();
    }
  }

  void drawWhatsApp(const WhatsAppRow& row) {
    auto* box = block(layout_, 1, {16, 4, 16, 4});
    auto* main = line(box, 8);
    const ColorRole role = row.signedIn ? ColorRole::primary : ColorRole::secondary;
    main->addWidget(symbol(this, "message.badge", role, 11));
    main->addWidget(label(this, RT::kWhatsApp, role, 12, row.signedIn ? 1.0 : 0.5));
    main->addStretch();
    main->addWidget(badge(this, row.signedIn ? "ON" : "SCAN QR",
                          row.signedIn ? ColorRole::green : ColorRole::orange));
    auto* warning = line(box, 4, 24);
    warning->addWidget(symbol(this, "exclamationmark.triangle.fill", ColorRole::orange, 8), 0,
                       Qt::AlignTop);
    warning->addWidget(wrapped(label(this, RT::kUnofficial, ColorRole::orange, 9, 0.7)), 1);
    if (row.signedIn) return;
    auto* connect = line(box, 6, 24);
    connect->addWidget(label(this, RT::kScanQR, ColorRole::secondary, 9, 0.5));
    connect->addStretch();
    auto* go = button(this, RT::kConnect, ColorRole::white, 9,
                      [] { WacliLauncher::openWacliInTerminal(); });
    go->setStyleSheet(QStringLiteral("QPushButton { color: white; background-color: %1;"
                                     " border: none; border-radius: 4px; padding: 2px 6px; }")
                          .arg(cssColor(ColorRole::orange)));
    connect->addWidget(go);
  }

  PrivacyGate& gate_;
  QVBoxLayout* layout_;
  std::optional<std::vector<ServiceItem>> shown_;
};

// ---- app section

class AppSectionWidget final : public PopoverSectionWidget {
 public:
  AppSectionWidget(QWidget* parent, StatusMonitor& monitor, PrivacyGate& gate)
      : PopoverSectionWidget(parent), monitor_(monitor), gate_(gate) {
    auto* outer = new QVBoxLayout(this);
    outer->setSpacing(6);
    outer->setContentsMargins(16, 8, 16, 8);
    auto* settings = line(outer, 6);
    open_ = button(this, AT::kSettings, ColorRole::secondary, 10, [this] {
      if (const auto host = monitor_.statusPageHost()) {
        Desktop::open(settingsPageURL(monitor_.status(), *host), gate_);
      }
    });
    open_->setObjectName(QStringLiteral("settings"));
    open_->setIcon(PopoverSymbols::icon("gear", roleColor(ColorRole::secondary)));
    settings->addWidget(open_);
    settings->addStretch();
    autoUpdateLabel_ = label(this, "", ColorRole::secondary, 10);
    autoUpdateLabel_->setWordWrap(false);
    settings->addWidget(autoUpdateLabel_);
    toggle_ = new QCheckBox(this);
    toggle_->setObjectName(QStringLiteral("autoUpdate"));
    connect(toggle_, &QCheckBox::toggled, this,
            [this](bool on) { autoUpdateSwitched(on, monitor_); });
    settings->addWidget(toggle_);
    notice_ = new QVBoxLayout;
    notice_->setSpacing(2);
    outer->addLayout(notice_);
  }

  bool update(const PopoverInput& input) override {
    {
      const QSignalBlocker quiet(toggle_);
      toggle_->setChecked(input.autoUpdateEnabled);
    }
    // What they change would reach another program on the port.
    open_->setEnabled(!input.statusServerWaits);
    toggle_->setEnabled(!input.statusServerWaits);
    if (!replace(shown_, std::tuple(TrayStrings::L("auto_update"), appNotice(input.status),
                                    input.statusServerWaits))) {
      return false;
    }
    const auto& [autoUpdate, notice, waits] = *shown_;
    autoUpdateLabel_->show(autoUpdate, ColorRole::secondary, 10);
    clearLayout(notice_);
    offer_.reset();
    if (waits) drawWarning("exclamationmark.triangle.fill", statusServerWaitsNotice());
    if (const auto* restart = std::get_if<RestartNotice>(&notice)) {
      drawWarning("arrow.clockwise.circle.fill", restart->text);
    }
    if (const auto* offer = std::get_if<UpdateOffer>(&notice)) {
      offer_ = *offer;
      drawOffer(*offer);
      if (isVisible()) nudge_.offerShown(*offer, monitor_);
    }
    return true;
  }

 protected:
  void showEvent(QShowEvent* event) override {
    PopoverSectionWidget::showEvent(event);
    if (offer_ && window()->isVisible()) nudge_.offerShown(*offer_, monitor_);
  }

 private:
  QFrame* tinted(ColorRole role, double opacity) {
    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("notice"));
    frame->setStyleSheet(
        QStringLiteral("QFrame#notice { background-color: %1; border-radius: 6px; }")
            .arg(cssColor(role, opacity)));
    notice_->addWidget(frame);
    frame->setVisible(true);
    return frame;
  }

  // One line in orange beside its symbol: the restart notice, or the port the status server
  // waits for.
  void drawWarning(const char* symbolName, const std::string& text) {
    auto* frame = tinted(ColorRole::orange, 0.07);
    auto* layout = new QHBoxLayout(frame);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->addWidget(symbol(frame, symbolName, ColorRole::orange, 11));
    layout->addWidget(wrapped(label(frame, text, ColorRole::orange, 10)), 1);
  }

  void drawOffer(const UpdateOffer& offer) {
    const ColorRole role = offer.required ? ColorRole::orange : ColorRole::blue;
    auto* frame = tinted(role, offer.required ? 0.05 : 0.04);
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->setSpacing(3);
    auto* head = line(layout, 6);
    head->addWidget(
        symbol(frame, offer.required ? "exclamationmark.triangle.fill" : "arrow.up.circle.fill",
               role, 11));
    head->addWidget(wrapped(label(frame, offer.title, role, 10, 1.0, offer.required)), 1);
    auto* press = button(
        frame, offer.button, role, 9, [this, offer] { UpdateNudge::pressed(offer, monitor_); },
        role);
    press->setObjectName(QStringLiteral("updateButton"));
    head->addWidget(press);
    for (const auto& text : {offer.notes, offer.warning}) {
      if (!text) continue;
      auto* small = wrapped(label(frame, *text, ColorRole::secondary, text == offer.notes ? 9 : 8),
                            text == offer.notes ? 4 : 0, 22);
      layout->addWidget(small);
    }
  }

  StatusMonitor& monitor_;
  PrivacyGate& gate_;
  QPushButton* open_;
  PlainLabel* autoUpdateLabel_;
  QCheckBox* toggle_;
  QVBoxLayout* notice_;
  UpdateNudge nudge_;
  std::optional<UpdateOffer> offer_;
  std::optional<std::tuple<std::string, AppNotice, bool>> shown_;
};

// ---- footer

class FooterSection final : public PopoverSectionWidget {
 public:
  FooterSection(QWidget* parent, const TraySectionContext& context)
      : PopoverSectionWidget(parent), context_(context) {
    auto* outer = new QVBoxLayout(this);
    outer->setSpacing(6);
    outer->setContentsMargins(12, 6, 12, 8);
    buildForm(outer);
    auto* controls = line(outer, 0);
    help_ = button(this, "", ColorRole::secondary, 9, [this] {
      if (const auto host = context_.monitor.statusPageHost()) {
        Desktop::open(helpPageURL(context_.monitor.status(), *host), context_.gate);
      }
    });
    report_ = button(this, "", ColorRole::secondary, 9, [this] {
      showBugReport_ = !showBugReport_;
      if (!showBugReport_) resetBugReport();
      drawForm();
      revealForm();
    });
    report_->setObjectName(QStringLiteral("reportBug"));
    language_ = new QToolButton(this);
    language_->setObjectName(QStringLiteral("language"));
    language_->setIcon(PopoverSymbols::icon("globe", roleColor(ColorRole::secondary)));
    language_->setIconSize(QSize(14, 14));
    language_->setAutoRaise(true);
    language_->setPopupMode(QToolButton::InstantPopup);
    language_->setFixedWidth(24);
    buildLanguageMenu();
    auto* uninstall = button(this, "Uninstall", ColorRole::red, 9, [this] {
      if (context_.showUninstall) context_.showUninstall();
    });
    uninstall->setStyleSheet(
        uninstall->styleSheet().replace(cssColor(ColorRole::red), cssColor(ColorRole::red, 0.7)));
    uninstall->setObjectName(QStringLiteral("uninstall"));
    auto* hide = button(this, "Hide icon", ColorRole::secondary, 9, [this] {
      showHideConfirm_ = true;
      drawForm();
      // Like the form, it opens at the foot of a column that may be taller than the popup.
      if (context_.reveal) context_.reveal(hideConfirm_);
    });
    hide->setObjectName(QStringLiteral("hideIcon"));
    for (QWidget* control : {static_cast<QWidget*>(help_), static_cast<QWidget*>(report_),
                             static_cast<QWidget*>(language_), static_cast<QWidget*>(uninstall),
                             static_cast<QWidget*>(hide)}) {
      if (control != help_) controls->addStretch();
      controls->addWidget(control);
    }
    buildHideConfirm(outer);
    drawForm();
  }

  bool update(const PopoverInput& input) override {
    help_->setEnabled(!input.statusServerWaits);
    if (!replace(shown_, std::array{TrayStrings::L("help"), TrayStrings::L("report_bug"),
                                    selectedLanguage_})) {
      return false;
    }
    const auto& [help, report, language] = *shown_;
    help_->setText(qt(help));
    report_->setText(qt(report));
    for (QAction* choice : languages_->actions()) {
      choice->setChecked(choice->data().toString().toStdString() == language);
    }
    drawForm();
    return true;
  }

 private:
  // One choice among the languages: the menu marks the chosen one only.
  void buildLanguageMenu() {
    auto* menu = new QMenu(language_);
    languages_ = new QActionGroup(menu);
    languages_->setExclusive(true);
    for (const auto& language : TrayStrings::supportedLanguages()) {
      const std::string code(language.code);
      QAction* choice = menu->addAction(qt(language.name), this, [this, code] {
        TrayStrings::setLanguage(code);
        selectedLanguage_ = code;
        context_.redraw();
      });
      choice->setData(qt(code));
      choice->setCheckable(true);
      languages_->addAction(choice);
    }
    language_->setMenu(menu);
  }

  // The form opens, or its answer arrives, at the foot of a column that may be taller than the
  // popup: it is scrolled into view.
  void revealForm() {
    if (showBugReport_ && context_.reveal) context_.reveal(form_);
  }

  void buildForm(QVBoxLayout* outer) {
    form_ = new QFrame(this);
    form_->setObjectName(QStringLiteral("bugForm"));
    form_->setStyleSheet(
        QStringLiteral("QFrame#bugForm { background-color: %1; border-radius: 6px; }")
            .arg(cssColor(ColorRole::secondary, 0.04)));
    auto* layout = new QVBoxLayout(form_);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->setSpacing(4);
    // Input.
    caption_ = label(form_, "Describe the issue:", ColorRole::primary, 10, 1.0, true);
    layout->addWidget(caption_);
    editor_ = new QPlainTextEdit(form_);
    editor_->setObjectName(QStringLiteral("bugText"));
    editor_->setFixedHeight(72);
    editor_->setStyleSheet(
        QStringLiteral("QPlainTextEdit { background-color: %1; border: 1px solid"
                       " %2; border-radius: 6px; }")
            .arg(cssColor(ColorRole::secondary, 0.08), cssColor(ColorRole::secondary, 0.15)));
    connect(editor_, &QPlainTextEdit::textChanged, this, [this] {
      bugText_ = editor_->toPlainText().toStdString();
      drawForm();
    });
    layout->addWidget(editor_);
    sending_ = label(form_, "Sending...", ColorRole::secondary, 9);
    layout->addWidget(sending_);
    send_ = button(
        form_, "Send Report", ColorRole::accent, 10, [this] { submitBugReport(); },
        ColorRole::accent);
    send_->setObjectName(QStringLiteral("sendReport"));
    layout->addWidget(send_, 0, Qt::AlignLeft);
    // Success.
    success_ = new QWidget(form_);
    auto* done = new QHBoxLayout(success_);
    done->setContentsMargins(0, 0, 0, 0);
    done->addWidget(symbol(success_, "checkmark.circle.fill", ColorRole::green, 12));
    auto* doneTexts = new QVBoxLayout;
    doneTexts->addWidget(
        label(success_, "Report received — thank you!", ColorRole::primary, 10, 1.0, true));
    caseId_ = label(success_, "", ColorRole::secondary, 9);
    doneTexts->addWidget(caseId_);
    done->addLayout(doneTexts, 1);
    auto* close = button(success_, "Close", ColorRole::secondary, 9, [this] {
      showBugReport_ = false;
      resetBugReport();
      drawForm();
    });
    close->setObjectName(QStringLiteral("closeReport"));
    done->addWidget(close);
    layout->addWidget(success_);
    // Failure.
    failure_ = new QWidget(form_);
    auto* failed = new QHBoxLayout(failure_);
    failed->setContentsMargins(0, 0, 0, 0);
    failed->addWidget(symbol(failure_, "exclamationmark.triangle.fill", ColorRole::orange, 12));
    auto* failedTexts = new QVBoxLayout;
    failedTexts->addWidget(
        label(failure_, "Couldn't send — try again or:", ColorRole::primary, 10));
    auto* mail =
        button(failure_, "Email " + std::string(AT::kSupportAddress), ColorRole::accent, 9, [this] {
          Desktop::open(bugReportMailURL(context_.monitor.status(), bugText_), context_.gate);
        });
    mail->setStyleSheet(mail->styleSheet() +
                        QStringLiteral(" QPushButton { text-decoration: underline; }"));
    failedTexts->addWidget(mail, 0, Qt::AlignLeft);
    failed->addLayout(failedTexts, 1);
    auto* retry = button(failure_, "Retry", ColorRole::secondary, 9, [this] {
      bugFailed_ = false;
      drawForm();
    });
    retry->setObjectName(QStringLiteral("retryReport"));
    failed->addWidget(retry);
    layout->addWidget(failure_);
    outer->addWidget(form_);
  }

  void buildHideConfirm(QVBoxLayout* outer) {
    hideConfirm_ = new QFrame(this);
    hideConfirm_->setObjectName(QStringLiteral("hideConfirm"));
    hideConfirm_->setStyleSheet(QStringLiteral("QFrame#hideConfirm { background-color: %1;"
                                               " border-radius: 6px; }")
                                    .arg(cssColor(ColorRole::secondary, 0.08)));
    auto* layout = new QVBoxLayout(hideConfirm_);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->addWidget(
        label(hideConfirm_, "Hide menu bar icon?", ColorRole::primary, 11, 1.0, true));
    layout->addWidget(wrapped(label(hideConfirm_,
                                    "TVRN will keep running in the background. To show this icon "
                                    "again, restart TVRN from Applications.",
                                    ColorRole::secondary, 9)));
    auto* buttons = line(layout, 6);
    buttons->addStretch();
    auto* cancel = button(hideConfirm_, "Cancel", ColorRole::secondary, 10, [this] {
      showHideConfirm_ = false;
      drawForm();
    });
    cancel->setObjectName(QStringLiteral("cancelHide"));
    buttons->addWidget(cancel);
    auto* confirm = button(
        hideConfirm_, "Hide icon", ColorRole::red, 10,
        [this] {
          showHideConfirm_ = false;
          drawForm();
          if (context_.onHide) context_.onHide();
        },
        ColorRole::red);
    confirm->setObjectName(QStringLiteral("confirmHide"));
    buttons->addWidget(confirm);
    outer->addWidget(hideConfirm_);
  }

  std::string trimmedText() const { return std::string(Utf8::trim(bugText_, Utf8::isWhiteSpace)); }

  void submitBugReport() {
    const std::string message = trimmedText();
    if (message.empty()) return;
    bugSubmitting_ = true;
    drawForm();
    QPointer<FooterSection> self(this);
    context_.monitor.submitBugReport(message,
                                     [self](const Result<std::string, std::string>& result) {
                                       if (!self) return;
                                       self->bugSubmitting_ = false;
                                       if (result.ok()) {
                                         self->bugCaseId_ = result.value();
                                       } else {
                                         self->bugFailed_ = true;
                                       }
                                       self->drawForm();
                                       self->revealForm();
                                     });
  }

  void resetBugReport() {
    bugText_.clear();
    bugSubmitting_ = false;
    bugCaseId_.reset();
    bugFailed_ = false;
    const QSignalBlocker quiet(editor_);
    editor_->clear();
  }

  void drawForm() {
    form_->setVisible(showBugReport_);
    report_->setStyleSheet(report_->styleSheet().replace(
        cssColor(showBugReport_ ? ColorRole::secondary : ColorRole::accent),
        cssColor(showBugReport_ ? ColorRole::accent : ColorRole::secondary)));
    const bool success = bugCaseId_.has_value();
    const bool failure = !success && bugFailed_;
    const bool input = !success && !failure;
    success_->setVisible(success);
    failure_->setVisible(failure);
    caption_->setVisible(input);
    editor_->setVisible(input);
    editor_->setEnabled(!bugSubmitting_);
    sending_->setVisible(input && bugSubmitting_);
    send_->setVisible(input && !bugSubmitting_);
    send_->setEnabled(!trimmedText().empty());
    if (success) caseId_->show("Case ID: " + *bugCaseId_, ColorRole::secondary, 9);
    hideConfirm_->setVisible(showHideConfirm_);
    adjustSize();
    updateGeometry();  // the column takes in the new height at once
  }

  TraySectionContext context_;
  QPushButton* help_;
  QPushButton* report_;
  QToolButton* language_;
  QActionGroup* languages_;
  QFrame* form_;
  PlainLabel* caption_;
  QPlainTextEdit* editor_;
  PlainLabel* sending_;
  QPushButton* send_;
  QWidget* success_;
  PlainLabel* caseId_;
  QWidget* failure_;
  QFrame* hideConfirm_;

  bool showBugReport_ = false;
  std::string bugText_;
  bool bugSubmitting_ = false;
  std::optional<std::string> bugCaseId_;
  bool bugFailed_ = false;
  bool showHideConfirm_ = false;
  std::string selectedLanguage_ = TrayStrings::lang();
  std::optional<std::array<std::string, 3>> shown_;
};

}  // namespace

std::unique_ptr<PopoverSectionWidget> makeTraySection(PopoverSection section, QWidget* parent,
                                                      const TraySectionContext& context) {
  switch (section) {
    case PopoverSection::services:
      return std::make_unique<ServicesSection>(parent, context.gate);
    case PopoverSection::aiClients:
      return std::make_unique<AIClientsSection>(parent, context.monitor.settings());
    case PopoverSection::appSection:
      return std::make_unique<AppSectionWidget>(parent, context.monitor, context.gate);
    case PopoverSection::footer:
      return std::make_unique<FooterSection>(parent, context);
    default:
      return nullptr;
  }
}

}  // namespace tvrn
