#include "tray/popover/PopoverSections.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QTextLayout>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include "tray/TrayColors.h"
#include "tray/popover/AIClientsSection.h"
#include "tray/popover/PopoverSymbols.h"

namespace tvrn {
namespace {

QColor baseColor(ColorRole role) {
  switch (role) {
    case ColorRole::primary:
      return QApplication::palette().color(QPalette::WindowText);
    case ColorRole::secondary:
      return QColor::fromRgb(128, 128, 128);
    case ColorRole::accent:
    case ColorRole::blue:
      return QColor::fromRgb(0, 122, 255);
    case ColorRole::green:
      return TrayColors::green();
    case ColorRole::orange:
      return TrayColors::orange();
    case ColorRole::red:
      return TrayColors::red();
    case ColorRole::gray:
      return QColor::fromRgb(142, 142, 147);
    case ColorRole::white:
      return Qt::white;
    case ColorRole::approve:
      return TrayColors::cloud();
  }
  return Qt::black;
}

QString qt(const std::string& text) { return QString::fromStdString(text); }

// The sizes are those of a screen of 72 dots per inch: pixels here.
QFont fontOf(int points, bool emphasised) {
  QFont font = QApplication::font();
  font.setPixelSize(points);
  font.setWeight(emphasised ? QFont::DemiBold : QFont::Normal);
  return font;
}

QHBoxLayout* row(QBoxLayout* parent, int spacing = 6) {
  auto* line = new QHBoxLayout;
  line->setSpacing(spacing);
  line->setContentsMargins(0, 0, 0, 0);
  parent->addLayout(line);
  return line;
}

QVBoxLayout* column(QWidget* owner, int spacing, QMargins margins) {
  auto* layout = new QVBoxLayout(owner);
  layout->setSpacing(spacing);
  layout->setContentsMargins(margins);
  return layout;
}

// Removes every item of a layout, nested layouts included; the widgets go once the event that
// may be running on one of them is over.
void clear(QLayout* layout) {
  while (QLayoutItem* item = layout->takeAt(0)) {
    if (QWidget* widget = item->widget()) {
      widget->hide();
      widget->deleteLater();
    }
    if (item->layout()) clear(item->layout());
    delete item;
  }
}

void tint(QFrame* frame, ColorRole role, double opacity) {
  frame->setObjectName(QStringLiteral("tinted"));
  frame->setStyleSheet(
      QStringLiteral("QFrame#tinted { background-color: %1; }").arg(cssColor(role, opacity)));
}

// ---- header

class HeaderSection final : public PopoverSectionWidget {
 public:
  explicit HeaderSection(QWidget* parent) : PopoverSectionWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setSpacing(6);
    layout->setContentsMargins(16, 10, 16, 10);
    title_ = new PlainLabel(this);
    badge_ = new PlainLabel(this);
    pill_ = new PlainLabel(this);
    layout->addWidget(title_);
    layout->addWidget(badge_);
    layout->addStretch();
    layout->addWidget(pill_);
  }

  bool update(const PopoverInput& input) override {
    if (!replace(shown_, PopoverModels::header(input))) return false;
    const HeaderModel& model = *shown_;
    title_->show(model.title, ColorRole::primary, 13, true);
    badge_->setVisible(model.badge.has_value());
    if (model.badge) {
      badge_->show(*model.badge, ColorRole::secondary, 9);
      badge_->setStyleSheet(
          QStringLiteral("color: %1; background-color: %2; border-radius: 3px;"
                         " padding: 1px 4px;")
              .arg(cssColor(ColorRole::secondary, 0.6), cssColor(ColorRole::secondary, 0.08)));
    }
    pill_->show(model.pill, model.pillColor, 9, true);
    pill_->setStyleSheet(QStringLiteral("color: %1; background-color: %2; border-radius: 4px;"
                                        " padding: 2px 6px;")
                             .arg(cssColor(model.pillColor), cssColor(model.pillColor, 0.12)));
    return true;
  }

 private:
  PlainLabel* title_;
  PlainLabel* badge_;
  PlainLabel* pill_;
  std::optional<HeaderModel> shown_;
};

// ---- banners

class RegressionBanner final : public PopoverSectionWidget {
 public:
  RegressionBanner(QWidget* parent, ActionSink sink) : PopoverSectionWidget(parent) {
    auto* outer = column(this, 0, {8, 8, 8, 8});
    auto* box = new QFrame(this);
    box->setObjectName(QStringLiteral("banner"));
    box->setStyleSheet(QStringLiteral("QFrame#banner { background-color: %1; border: 1px solid %2;"
                                      " border-radius: 8px; }")
                           .arg(cssColor(ColorRole::red, 0.08), cssColor(ColorRole::red, 0.25)));
    outer->addWidget(box);
    auto* layout = column(box, 6, {10, 8, 10, 8});
    auto* top = row(layout, 8);
    symbol_ = new SymbolLabel(box);
    top->addWidget(symbol_, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    top->addLayout(texts, 1);
    title_ = new PlainLabel(box);
    subtitle_ = new PlainLabel(box);
    subtitle_->setWordWrap(true);
    texts->addWidget(title_);
    texts->addWidget(subtitle_);
    auto* buttons = row(layout, 6);
    grant_ = new ActionButton(box, sink);
    settings_ = new ActionButton(box, sink);
    buttons->addWidget(grant_);
    buttons->addWidget(settings_);
    buttons->addStretch();
  }

  bool update(const PopoverInput& input) override {
    if (!replace(shown_, PopoverModels::regressionBanner(input))) return false;
    const auto& model = *shown_;
    symbol_->show("lock.trianglebadge.exclamationmark.fill", ColorRole::red, 16);
    title_->show(model.title, ColorRole::primary, 12, true);
    subtitle_->show(model.subtitle, ColorRole::secondary, 10);
    grant_->setVisible(model.grant.has_value());
    if (model.grant) grant_->show(*model.grant, 11, ColorRole::red);
    settings_->setVisible(model.settings.has_value());
    if (model.settings) settings_->show(*model.settings, 10);
    return true;
  }

 private:
  SymbolLabel* symbol_;
  PlainLabel* title_;
  PlainLabel* subtitle_;
  ActionButton* grant_;
  ActionButton* settings_;
  std::optional<RegressionBannerModel> shown_;
};

class UpdatedBanner final : public PopoverSectionWidget {
 public:
  UpdatedBanner(QWidget* parent, ActionSink sink) : PopoverSectionWidget(parent) {
    tint(this, ColorRole::green, 0.08);
    auto* layout = column(this, 6, {16, 10, 16, 10});
    auto* top = row(layout, 8);
    symbol_ = new SymbolLabel(this);
    top->addWidget(symbol_, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    top->addLayout(texts, 1);
    title_ = new PlainLabel(this);
    subtitle_ = new PlainLabel(this);
    subtitle_->setWordWrap(true);
    texts->addWidget(title_);
    texts->addWidget(subtitle_);
    dismiss_ = new ActionButton(this, sink);
    top->addWidget(dismiss_, 0, Qt::AlignTop);
    restart_ = new ActionButton(this, sink);
    restart_->setObjectName(QStringLiteral("restart-claude"));
    layout->addWidget(restart_, 0, Qt::AlignLeft);
  }

  bool update(const PopoverInput& input) override {
    if (!replace(shown_, PopoverModels::updatedBanner(input.justUpdatedTo.value_or(""),
                                                      input.claudeRunning))) {
      return false;
    }
    const auto& model = *shown_;
    symbol_->show("arrow.triangle.2.circlepath.circle.fill", ColorRole::green, 16);
    title_->show(model.title, ColorRole::primary, 12, true);
    subtitle_->show(model.subtitle, ColorRole::secondary, 10);
    dismiss_->show(model.dismiss, 10);
    restart_->setVisible(model.restartClaude.has_value());
    if (model.restartClaude) restart_->show(*model.restartClaude, 10, ColorRole::green);
    return true;
  }

 private:
  SymbolLabel* symbol_;
  PlainLabel* title_;
  PlainLabel* subtitle_;
  ActionButton* dismiss_;
  ActionButton* restart_;
  std::optional<UpdatedBannerModel> shown_;
};

// ---- approvals

class ApprovalsSection final : public PopoverSectionWidget {
 public:
  ApprovalsSection(QWidget* parent, ActionSink sink)
      : PopoverSectionWidget(parent), sink_(std::move(sink)) {
    tint(this, ColorRole::orange, 0.04);
    auto* layout = column(this, 0, {0, 8, 0, 0});
    auto* head = new QHBoxLayout;
    head->setContentsMargins(16, 0, 16, 6);
    head->setSpacing(6);
    layout->addLayout(head);
    symbol_ = new SymbolLabel(this);
    title_ = new PlainLabel(this);
    count_ = new PlainLabel(this);
    head->addWidget(symbol_);
    head->addWidget(title_);
    head->addStretch();
    head->addWidget(count_);
    rows_ = new QVBoxLayout;
    rows_->setSpacing(0);
    layout->addLayout(rows_);
  }

  bool update(const PopoverInput& input) override {
    auto fresh = PopoverModels::approvals(input.approvals);
    const bool rowsChanged = !shown_ || shown_->rows != fresh.rows;
    if (!replace(shown_, std::move(fresh))) return false;
    const auto& model = *shown_;
    symbol_->show("key.horizontal.fill", ColorRole::orange, 11);
    title_->show(model.title, ColorRole::primary, 11, true);
    count_->show(model.count, ColorRole::orange, 9, true);
    count_->setStyleSheet(QStringLiteral("color: %1; background-color: %2; border-radius: 3px;"
                                         " padding: 1px 5px;")
                              .arg(cssColor(ColorRole::orange), cssColor(ColorRole::orange, 0.15)));
    // Rows are rebuilt only when the list changed, so a click in progress keeps its button.
    if (!rowsChanged) return true;
    clear(rows_);
    for (const auto& entry : model.rows) addRow(entry);
    return true;
  }

 private:
  void addRow(const ApprovalRowModel& entry) {
    auto* line = new QFrame(this);
    line->setObjectName(QStringLiteral("approval"));
    line->setStyleSheet(QStringLiteral("QFrame#approval { border-top: 1px solid %1; }")
                            .arg(cssColor(ColorRole::gray, 0.15)));
    auto* layout = column(line, 4, {16, 8, 16, 8});
    auto* name = new PlainLabel(line);
    name->show(entry.name, ColorRole::primary, 11, true);
    auto* subtitle = new PlainLabel(line);
    subtitle->show(entry.subtitle, ColorRole::secondary, 9);
    layout->addWidget(name);
    layout->addWidget(subtitle);
    auto* buttons = row(layout, 6);
    buttons->addStretch();
    auto* deny = new ActionButton(line, sink_);
    deny->show(entry.deny, 10, ColorRole::secondary);
    deny->setObjectName(qt("deny:" + entry.requestId));
    auto* approve = new ActionButton(line, sink_);
    approve->show(entry.approve, 10, ColorRole::approve);
    approve->setObjectName(qt("approve:" + entry.requestId));
    buttons->addWidget(deny);
    buttons->addWidget(approve);
    rows_->addWidget(line);
  }

  ActionSink sink_;
  SymbolLabel* symbol_;
  PlainLabel* title_;
  PlainLabel* count_;
  QVBoxLayout* rows_;
  std::optional<ApprovalsModel> shown_;
};

// ---- permissions

class PermissionsSection final : public PopoverSectionWidget {
 public:
  PermissionsSection(QWidget* parent, ActionSink sink)
      : PopoverSectionWidget(parent), sink_(std::move(sink)) {
    auto* layout = column(this, 4, {16, 8, 16, 8});
    auto* head = row(layout, 6);
    symbol_ = new SymbolLabel(this);
    title_ = new PlainLabel(this);
    head->addWidget(symbol_);
    head->addWidget(title_);
    head->addStretch();
    rows_ = new QVBoxLayout;
    rows_->setSpacing(4);
    layout->addLayout(rows_);
  }

  bool update(const PopoverInput& input) override {
    auto fresh = PopoverModels::permissions(input.status && input.status->permissions
                                                ? *input.status->permissions
                                                : std::map<std::string, std::string>{});
    const bool rowsChanged = !shown_ || shown_->rows != fresh.rows;
    if (!replace(shown_, std::move(fresh))) return false;
    const auto& model = *shown_;
    symbol_->show("hand.raised.fill", ColorRole::orange, 11);
    title_->show(model.title, ColorRole::orange, 12, true);
    if (!rowsChanged) return true;
    clear(rows_);
    for (const auto& entry : model.rows) {
      auto* line = row(rows_, 6);
      auto* symbol = new SymbolLabel(this);
      symbol->show(entry.symbol, entry.symbolColor, 10);
      auto* label = new PlainLabel(this);
      label->show(entry.label, ColorRole::primary, 11);
      auto* button = new ActionButton(this, sink_);
      button->show(entry.button, 10);
      button->setObjectName(qt("permission:" + entry.key));
      line->addWidget(symbol);
      line->addWidget(label);
      line->addStretch();
      line->addWidget(button);
    }
    return true;
  }

 private:
  ActionSink sink_;
  SymbolLabel* symbol_;
  PlainLabel* title_;
  QVBoxLayout* rows_;
  std::optional<PermissionsModel> shown_;
};

// ---- cloud relay and disconnected

class RelaySection final : public PopoverSectionWidget {
 public:
  explicit RelaySection(QWidget* parent) : PopoverSectionWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 8, 16, 8);
    layout->setSpacing(6);
    dot_ = new QFrame(this);
    dot_->setFixedSize(6, 6);
    symbol_ = new SymbolLabel(this);
    symbol_->setFixedWidth(16);
    title_ = new PlainLabel(this);
    state_ = new PlainLabel(this);
    layout->addWidget(dot_);
    layout->addWidget(symbol_);
    layout->addWidget(title_);
    layout->addStretch();
    layout->addWidget(state_);
  }

  bool update(const PopoverInput& input) override {
    if (!replace(shown_, PopoverModels::relay(input))) return false;
    const auto& model = *shown_;
    dot_->setStyleSheet(QStringLiteral("background-color: %1; border-radius: 3px;")
                            .arg(cssColor(model.dotColor, model.dotFaint ? 0.4 : 1.0)));
    symbol_->show("cloud", ColorRole::secondary, 11);
    title_->show(model.title, ColorRole::primary, 12, true);
    state_->show(model.state, model.stateColor, 10, model.stateEmphasised);
    return true;
  }

 private:
  QFrame* dot_;
  SymbolLabel* symbol_;
  PlainLabel* title_;
  PlainLabel* state_;
  std::optional<RelayModel> shown_;
};

class DisconnectedSection final : public PopoverSectionWidget {
 public:
  DisconnectedSection(QWidget* parent, ActionSink sink) : PopoverSectionWidget(parent) {
    auto* layout = column(this, 8, {24, 12, 24, 12});
    symbol_ = new SymbolLabel(this);
    symbol_->setAlignment(Qt::AlignCenter);
    title_ = new PlainLabel(this);
    hint_ = new PlainLabel(this);
    hint_->setWordWrap(true);
    restart_ = new ActionButton(this, std::move(sink));
    restart_->setObjectName(QStringLiteral("restart-server"));
    layout->addWidget(symbol_, 0, Qt::AlignHCenter);
    layout->addWidget(title_, 0, Qt::AlignHCenter);
    layout->addWidget(hint_);  // full width, so that it wraps
    layout->addWidget(restart_, 0, Qt::AlignHCenter);
    hint_->setAlignment(Qt::AlignCenter);
  }

  bool update(const PopoverInput& input) override {
    if (!replace(shown_, PopoverModels::disconnected(input.restarting))) return false;
    const auto& model = *shown_;
    symbol_->show(model.symbol, model.symbolColor, 20);
    symbol_->setSpinning(model.spinning);
    title_->show(model.title, model.titleColor, 12, true);
    hint_->setVisible(model.hint.has_value());
    if (model.hint) hint_->show(*model.hint, ColorRole::secondary, 10);
    restart_->setVisible(model.restart.has_value());
    if (model.restart) restart_->show(*model.restart, 11, ColorRole::accent);
    return true;
  }

 private:
  SymbolLabel* symbol_;
  PlainLabel* title_;
  PlainLabel* hint_;
  ActionButton* restart_;
  std::optional<DisconnectedModel> shown_;
};

// ---- push message

class PushMessageSection final : public PopoverSectionWidget {
 public:
  PushMessageSection(QWidget* parent, ActionSink sink)
      : PopoverSectionWidget(parent), sink_(std::move(sink)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 8, 16, 8);
    layout->setSpacing(8);
    symbol_ = new SymbolLabel(this);
    text_ = new PlainLabel(this);
    text_->setWordWrap(true);
    chevron_ = new SymbolLabel(this);
    layout->addWidget(symbol_, 0, Qt::AlignTop);
    layout->addWidget(text_, 1, Qt::AlignTop);
    layout->addWidget(chevron_, 0, Qt::AlignTop);
  }

  bool update(const PopoverInput& input) override {
    if (!replace(shown_, PopoverModels::pushMessage(
                             input.status ? input.status->pushMessage.value_or("") : ""))) {
      return false;
    }
    const auto& model = *shown_;
    tint(this, model.tint, 0.08);
    symbol_->show(model.symbol, model.tint, 11);
    text_->show(model.text, ColorRole::primary, 11);
    chevron_->setVisible(model.nudge);
    chevron_->show("chevron.right", ColorRole::secondary, 9);
    setCursor(model.nudge ? Qt::PointingHandCursor : Qt::ArrowCursor);
    return true;
  }

 protected:
  // The whole row answers a click, not only its text.
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        shown_ && shown_->action.kind != PopoverAction::Kind::none) {
      sink_(shown_->action);
    }
  }

 private:
  ActionSink sink_;
  std::optional<PushMessageModel> shown_;
  SymbolLabel* symbol_;
  PlainLabel* text_;
  SymbolLabel* chevron_;
};

}  // namespace

QColor roleColor(ColorRole role, double opacity) {
  QColor color = baseColor(role);
  color.setAlphaF(static_cast<float>(color.alphaF() * opacity));
  return color;
}

QString cssColor(ColorRole role, double opacity) {
  const QColor color = baseColor(role);
  return QStringLiteral("rgba(%1, %2, %3, %4)")
      .arg(color.red())
      .arg(color.green())
      .arg(color.blue())
      .arg(opacity, 0, 'f', 2);
}

PlainLabel::PlainLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setTextInteractionFlags(Qt::NoTextInteraction);
  setOpenExternalLinks(false);
}

void PlainLabel::show(const std::string& text, ColorRole color, int points, bool emphasised) {
  full_ = qt(text);
  setFont(fontOf(points, emphasised));
  setText(maxLines_ > 0 ? shownAt(contentsRect().width()) : full_);
  if (styleSheet().isEmpty() || !styleSheet().contains(QStringLiteral("background"))) {
    setStyleSheet(QStringLiteral("color: %1;").arg(cssColor(color)));
  }
}

void PlainLabel::wrap(int maxLines) {
  setWordWrap(true);
  maxLines_ = maxLines;
  if (maxLines_ > 0) setText(shownAt(contentsRect().width()));
}

// The lines the text takes at the width, cut after maxLines with an ellipsis on the last.
QString PlainLabel::shownAt(int width) const {
  if (maxLines_ <= 0 || width <= 0) return full_;
  QTextLayout layout(full_, font());
  layout.beginLayout();
  QStringList lines;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    if (static_cast<int>(lines.size()) + 1 == maxLines_) {
      const QString rest = full_.mid(line.textStart());
      QTextLine next = layout.createLine();
      if (next.isValid()) {
        lines << fontMetrics().elidedText(rest.simplified(), Qt::ElideRight, width);
      } else {
        lines << rest.trimmed();
      }
      break;
    }
    lines << full_.mid(line.textStart(), line.textLength()).trimmed();
  }
  layout.endLayout();
  const QString shown = lines.join(QLatin1Char('\n'));
  // Unchanged text reads as not cut.
  return lines.size() < static_cast<qsizetype>(maxLines_) ||
                 shown.simplified() == full_.simplified()
             ? full_
             : shown;
}

int PlainLabel::heightForWidth(int width) const {
  if (maxLines_ <= 0) return QLabel::heightForWidth(width);
  const QMargins margins = contentsMargins();
  const int inner = width - margins.left() - margins.right();
  const QRect needed =
      fontMetrics().boundingRect(QRect(0, 0, inner, 1 << 20), Qt::TextWordWrap, shownAt(inner));
  return needed.height() + margins.top() + margins.bottom();
}

void PlainLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  if (maxLines_ > 0) setText(shownAt(contentsRect().width()));
}

SymbolLabel::SymbolLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setAlignment(Qt::AlignCenter);
}

SymbolLabel::~SymbolLabel() = default;

void SymbolLabel::show(const std::string& symbol, ColorRole color, int points) {
  setObjectName(qt(symbol));
  const int pixels = points + points / 3;
  setPixmap(PopoverSymbols::icon(symbol, roleColor(color)).pixmap(pixels, pixels));
  setMinimumSize(pixels, pixels);
}

void SymbolLabel::setSpinning(bool spinning) {
  if (spinning == isSpinning()) return;
  if (!spinning) {
    delete spin_;
    spin_ = nullptr;
    angle_ = 0;
    QLabel::update();
    return;
  }
  spin_ = new QVariantAnimation(this);
  spin_->setStartValue(0.0);
  spin_->setEndValue(360.0);
  spin_->setDuration(1000);
  spin_->setLoopCount(-1);
  connect(spin_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    angle_ = value.toReal();
    QLabel::update();
  });
  spin_->start();
}

bool SymbolLabel::isSpinning() const { return spin_ != nullptr; }

void SymbolLabel::paintEvent(QPaintEvent* event) {
  if (angle_ == 0) return QLabel::paintEvent(event);
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  const QPointF centre = QRectF(rect()).center();
  painter.translate(centre);
  painter.rotate(angle_);
  painter.translate(-centre);
  const QPixmap image = pixmap();
  const QSizeF size = image.deviceIndependentSize();
  painter.drawPixmap(QRectF(rect()).center() - QPointF(size.width(), size.height()) / 2, image);
}

ActionButton::ActionButton(QWidget* parent, ActionSink sink) : QPushButton(parent) {
  setFlat(true);
  setCursor(Qt::PointingHandCursor);
  connect(this, &QPushButton::clicked, this, [this, sink = std::move(sink)] { sink(action_); });
}

void ActionButton::show(const ButtonModel& model, int points, std::optional<ColorRole> background) {
  action_ = model.action;
  // A lone "&" would otherwise turn the next letter into a shortcut.
  QString title = qt(model.title);
  title.replace(QLatin1Char('&'), QStringLiteral("&&"));
  setText(title);
  setFont(fontOf(points, model.emphasised));
  if (model.symbol.empty()) {
    setIcon(QIcon());
  } else {
    setIcon(PopoverSymbols::icon(model.symbol, roleColor(model.color)));
    setIconSize(QSize(points + points / 3, points + points / 3));
  }
  // A filled button takes the role's colour at 15 % behind its own text colour, except white
  // text, which stands on the full colour.
  QString style = QStringLiteral("QPushButton { color: %1; border: none; padding: 3px 8px;")
                      .arg(cssColor(model.color));
  if (background) {
    const double opacity = model.color == ColorRole::white ? 1.0 : 0.15;
    style += QStringLiteral(" background-color: %1; border-radius: 4px;")
                 .arg(cssColor(*background, opacity));
  }
  setStyleSheet(style + QStringLiteral(" }"));
}

void clearLayout(QLayout* layout) { clear(layout); }

std::unique_ptr<PopoverSectionWidget> makeSection(PopoverSection section, QWidget* parent,
                                                  ActionSink sink) {
  switch (section) {
    case PopoverSection::header:
      return std::make_unique<HeaderSection>(parent);
    case PopoverSection::regressionBanner:
      return std::make_unique<RegressionBanner>(parent, std::move(sink));
    case PopoverSection::updatedBanner:
      return std::make_unique<UpdatedBanner>(parent, std::move(sink));
    case PopoverSection::approvals:
      return std::make_unique<ApprovalsSection>(parent, std::move(sink));
    case PopoverSection::permissions:
      return std::make_unique<PermissionsSection>(parent, std::move(sink));
    case PopoverSection::cloudRelay:
      return std::make_unique<RelaySection>(parent);
    case PopoverSection::disconnected:
      return std::make_unique<DisconnectedSection>(parent, std::move(sink));
    case PopoverSection::pushMessage:
      return std::make_unique<PushMessageSection>(parent, std::move(sink));
    case PopoverSection::aiClients:
    case PopoverSection::services:
    case PopoverSection::appSection:
    case PopoverSection::footer:
      return nullptr;  // they act through the monitor: makeTraySection
  }
  return nullptr;
}

}  // namespace tvrn
