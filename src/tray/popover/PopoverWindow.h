// The popup that hangs from the status icon: the popover's column in a scroll area, as tall as
// the column but never taller than the free part of the screen it opens on, where the rest of
// the column is reached by scrolling.
#pragma once

#include <QPointer>
#include <QRect>
#include <QWidget>
#include <functional>
#include <vector>

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
  // As tall as the column, at most the free area's height, hanging from the icon it opened at.
  void fit();

  QScrollArea* scrollArea() const { return scroll_; }
  MenuBarView* view() const { return view_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Where the column was scrolled to, and what had the keyboard, before a part of it (a
  // question, a panel, a form) opened at its foot and was scrolled into view: both come back
  // when that part closes, whichever way it closes.
  struct Place {
    QPointer<QWidget> part;
    int scroll = 0;
    QPointer<QWidget> focus;
  };

  // Keeps the place, then scrolls the part into view once the column has taken it in.
  void reveal(QWidget* part);
  void returnTo(const Place& place);
  // Below the icon, or above it when there is no room below, within the free area: where it
  // goes back to when the column grows and shrinks again.
  void hang();

  MenuBarView* view_;        // owned through Qt's parent
  QScrollArea* scroll_;      // owned through Qt's parent
  QRect area_;               // where the popup stands now
  QRect icon_;               // the icon it opened at; empty when the tray does not tell
  QPoint anchor_;            // below the icon, else the cursor when it opened
  std::vector<Place> kept_;  // one for each part open now
};

}  // namespace tvrn
