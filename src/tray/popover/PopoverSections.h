// The popover's section widgets: each draws its model from the monitor's values and keeps its
// child widgets between updates, so focus and what the user typed survive. Every text is plain:
// client names, messages and versions come from outside and never render as markup or links.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <functional>
#include <memory>
#include <optional>

#include "tray/popover/PopoverModels.h"

class QVariantAnimation;
class QBoxLayout;

namespace tvrn {

using ActionSink = std::function<void(const PopoverAction&)>;

// A label that never interprets its text.
class PlainLabel : public QLabel {
 public:
  explicit PlainLabel(QWidget* parent);
  void show(const std::string& text, ColorRole color, int points, bool emphasised = false);
  // Wraps within the width its layout gives it and is as tall as that takes; with maxLines the
  // last line ends in "…" when the text would need more.
  void wrap(int maxLines = 0);
  // The text as given, whether or not all of it shows.
  const QString& fullText() const { return full_; }
  bool isElided() const { return text() != full_; }

  int heightForWidth(int width) const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  QString shownAt(int width) const;

  QString full_;
  int maxLines_ = 0;
};

// A symbol from the icon theme, or our drawing of it; it may turn about its centre once a second.
class SymbolLabel : public QLabel {
 public:
  explicit SymbolLabel(QWidget* parent);
  ~SymbolLabel() override;
  void show(const std::string& symbol, ColorRole color, int points);
  void setSpinning(bool spinning);
  bool isSpinning() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QVariantAnimation* spin_ = nullptr;
  qreal angle_ = 0;
};

// A plain-style button that runs the action of the model it last showed.
class ActionButton : public QPushButton {
 public:
  ActionButton(QWidget* parent, ActionSink sink);
  void show(const ButtonModel& model, int points, std::optional<ColorRole> background = {});
  const PopoverAction& action() const { return action_; }

 private:
  PopoverAction action_;
};

class PopoverSectionWidget : public QFrame {
 public:
  using QFrame::QFrame;
  // Draws the section from the input when what it shows differs from what it shows now; true
  // when it drew. A section that looks the same is left alone, so a quiet poll costs no drawing.
  virtual bool update(const PopoverInput& input) = 0;

 protected:
  // Makes the model the one shown; false when it already was.
  template <typename Model>
  static bool replace(std::optional<Model>& shown, Model model) {
    if (shown && *shown == model) return false;
    shown = std::move(model);
    return true;
  }
};

// Sections, by the column's names.
std::unique_ptr<PopoverSectionWidget> makeSection(PopoverSection section, QWidget* parent,
                                                  ActionSink sink);

// Removes every item of the layout, nested layouts included.
void clearLayout(QLayout* layout);

// rgba() of the role's colour at the opacity, for style sheets.
QString cssColor(ColorRole role, double opacity = 1.0);
QColor roleColor(ColorRole role, double opacity = 1.0);

}  // namespace tvrn
