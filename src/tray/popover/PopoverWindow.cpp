#include "tray/popover/PopoverWindow.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "tray/popover/MenuBarView.h"

namespace tvrn {
namespace {

QRect screenAreaAt(const QPoint& point) {
  const QScreen* screen = QGuiApplication::screenAt(point);
  if (!screen) screen = QGuiApplication::primaryScreen();
  return screen ? screen->availableGeometry() : QRect();
}

}  // namespace

PopoverWindow::PopoverWindow(MenuBarView* view)
    // A popup closes on a click elsewhere.
    : QWidget(nullptr, Qt::Popup | Qt::FramelessWindowHint),
      availableArea(screenAreaAt),
      view_(view),
      scroll_(new QScrollArea(this)) {
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  // The column keeps the size it asks for; the scroll area only shows a part of it.
  scroll_->setWidgetResizable(false);
  scroll_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  scroll_->setWidget(view_);
  scroll_->setBackgroundRole(QPalette::Window);
  auto* frame = new QVBoxLayout(this);
  frame->setContentsMargins(0, 0, 0, 0);
  frame->addWidget(scroll_);
  connect(view_, &MenuBarView::columnHeightChanged, this, [this] { fit(); });
  connect(view_, &MenuBarView::revealRequested, this, &PopoverWindow::reveal);
  area_ = availableArea(QCursor::pos());
  fit();
}

void PopoverWindow::fit() {
  const int column = view_->height();
  const int height = area_.isEmpty() ? column : std::min(column, area_.height());
  setFixedSize(kWidth, height);
  if (!isVisible() || area_.isEmpty()) return;
  QPoint place = pos();
  place.setY(
      std::clamp(place.y(), area_.top(), std::max(area_.top(), area_.bottom() + 1 - height)));
  move(place);
}

void PopoverWindow::openAt(const QRect& icon) {
  view_->applyLatest();
  const QPoint anchor = icon.isEmpty() ? QCursor::pos() : icon.bottomLeft();
  area_ = availableArea(anchor);
  fit();
  QPoint place = anchor;
  if (!area_.isEmpty()) {
    // Above the icon when there is no room below it (a panel at the bottom of the screen).
    if (place.y() + height() > area_.bottom() + 1) {
      place.setY((icon.isEmpty() ? anchor.y() : icon.top()) - height());
    }
    place.setX(
        std::clamp(place.x(), area_.left(), std::max(area_.left(), area_.right() + 1 - width())));
    place.setY(
        std::clamp(place.y(), area_.top(), std::max(area_.top(), area_.bottom() + 1 - height())));
  }
  move(place);
  show();
  raise();
  activateWindow();
}

// Once the scroll area has taken in the column's new height.
void PopoverWindow::reveal(QWidget* widget) {
  QTimer::singleShot(0, widget, [this, widget] { scroll_->ensureWidgetVisible(widget, 0, 0); });
}

}  // namespace tvrn
