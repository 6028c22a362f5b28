// The tray's colours, shared by the status icon and the popover: the state colours of the
// server and the pulse colour of cloud activity.
#pragma once

#include <QColor>
#include <string_view>

namespace tvrn::TrayColors {

inline QColor green() { return QColor::fromRgb(52, 199, 89); }
inline QColor red() { return QColor::fromRgb(255, 59, 48); }
inline QColor orange() { return QColor::fromRgb(255, 149, 0); }
inline QColor cloud() { return QColor::fromRgbF(0.506f, 0.549f, 0.973f); }

// "connected" is green, "error" red, any other state word (such as "starting") orange.
inline QColor forState(std::string_view state) {
  if (state == "connected") return green();
  if (state == "error") return red();
  return orange();
}

// Cloud activity pulses in the cloud colour, any other source in green.
inline QColor forPulse(std::string_view source) { return source == "cloud" ? cloud() : green(); }

}  // namespace tvrn::TrayColors
