// The status icon's picture: the logo with a dot at its lower right whose colour tells the
// server's state, and the frames of the short pulse that shows activity.
#pragma once

#include <QColor>
#include <QImage>
#include <optional>
#include <string_view>

namespace tvrn::StatusIcon {

inline constexpr double kWidth = 20;  // points
inline constexpr double kHeight = 18;
inline constexpr double kLogoSize = 18;
inline constexpr double kDotSize = 6;
inline constexpr int kPixelRatio = 2;
// The pulse ends on this frame: frames 0 to 8 grow the dot to twice its size and back.
inline constexpr int kPulseEndFrame = 9;

struct Dot {
  QColor color;
  double diameter = kDotSize;
};

// The dot of a pulse's frame, blended from the state colour towards the pulse colour and back;
// nothing from the end frame on, when the steady dot returns.
std::optional<Dot> pulseFrame(int frame, std::string_view state, std::string_view source);

// The steady dot of a state.
Dot steady(std::string_view state);

// The logo: the resource ":/icon_18.png", else icon_18.png beside the program; a null image when
// neither loads.
QImage loadBaseLogo();

// The 20 x 18 point icon at twice the pixel density: the logo (if any) at the left, the dot
// flush with the right and bottom edges, over the logo where they overlap.
QImage render(const QImage& logo, const Dot& dot);

}  // namespace tvrn::StatusIcon
