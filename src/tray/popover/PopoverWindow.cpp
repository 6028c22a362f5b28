#include "tray/popover/PopoverWindow.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
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
  if (isVisible()) hang();
}

void PopoverWindow::hang() {
  QPoint place = anchor_;
  // Above the icon when there is no room below it (a panel at the bottom of the screen).
  if (!area_.isEmpty() && place.y() + height() > area_.bottom() + 1) {
    place.setY((icon_.isEmpty() ? anchor_.y() : icon_.top()) - height());
  }
  if (!area_.isEmpty()) {
    place.setX(
        std::clamp(place.x(), area_.left(), std::max(area_.left(), area_.right() + 1 - width())));
    place.setY(
        std::clamp(place.y(), area_.top(), std::max(area_.top(), area_.bottom() + 1 - height())));
  }
  move(place);
}

void PopoverWindow::openAt(const QRect& icon) {
  view_->applyLatest();
  icon_ = icon;
  anchor_ = icon.isEmpty() ? QCursor::pos() : icon.bottomLeft();
  area_ = availableArea(anchor_);
  fit();
  hang();
  show();
  raise();
  activateWindow();
}

void PopoverWindow::reveal(QWidget* part) {
  const bool kept = std::any_of(kept_.begin(), kept_.end(),
                                [part](const Place& place) { return place.part == part; });
  if (!kept) {
    QWidget* focus = QApplication::focusWidget();
    kept_.push_back({part, scroll_->verticalScrollBar()->value(),
                     focus && view_->isAncestorOf(focus) ? focus : nullptr});
    part->installEventFilter(this);
  }
  // Once the scroll area has taken in the column's new height.
  QTimer::singleShot(0, part, [this, part] { scroll_->ensureWidgetVisible(part, 0, 0); });
}

bool PopoverWindow::eventFilter(QObject* watched, QEvent* event) {
  // Hidden itself, not along with the popup.
  auto* part = qobject_cast<QWidget*>(watched);
  if (event->type() != QEvent::Hide || !part || !part->isHidden()) return false;
  const auto found = std::find_if(kept_.begin(), kept_.end(),
                                  [part](const Place& place) { return place.part == part; });
  if (found == kept_.end()) return false;
  const Place place = *found;
  kept_.erase(found);
  part->removeEventFilter(this);
  // Before Qt moves the keyboard on from the closing part to the next control in the column, which
  // the scroll area would scroll to: back to the control that opened the part.
  if (QWidget* focus = QApplication::focusWidget(); focus && part->isAncestorOf(focus)) {
    if (place.focus && place.focus->isVisibleTo(view_)) {
      place.focus->setFocus(Qt::OtherFocusReason);
    } else {
      focus->clearFocus();
    }
  }
  // Once the column has shrunk and the popup has followed it.
  QTimer::singleShot(0, this, [this, place] { returnTo(place); });
  return false;
}

void PopoverWindow::returnTo(const Place& place) {
  QCoreApplication::sendPostedEvents(view_, QEvent::LayoutRequest);
  QCoreApplication::sendPostedEvents(this, QEvent::LayoutRequest);
  scroll_->verticalScrollBar()->setValue(place.scroll);
}

}  // namespace tvrn
