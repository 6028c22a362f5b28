// The popup that hangs from the status icon: the popover's column in a scroll area, as tall as
// the column but never taller than the free part of the screen it opens on, where the rest of
// the column is reached by scrolling.
#pragma once

#include <QRect>
#include <QWidget>
#include <functional>

class QScrollArea;

namespace tvrn {

class MenuBarView;

class PopoverWindow final : public QWidget {
 public:
  static constexpr int kWidth = 320;

  // Takes the view as its content.
  explicit PopoverWindow(MenuBarView* view);

  // The free area (without panels and docks) of the screen at a point; tests set their own.
  std::function<QRect(const QPoint&)> availableArea;

  // Brings the column up to date and opens below the icon, or at the cursor when the tray does
  // not tell where the icon is, inside the free area there.
  void openAt(const QRect& icon);
  // As tall as the column, at most the free area's height; moved up when it would pass the
  // area's bottom.
  void fit();

  QScrollArea* scrollArea() const { return scroll_; }
  MenuBarView* view() const { return view_; }

 private:
  void reveal(QWidget* widget);

  MenuBarView* view_;    // owned through Qt's parent
  QScrollArea* scroll_;  // owned through Qt's parent
  QRect area_;           // where the popup stands now
};

}  // namespace tvrn
