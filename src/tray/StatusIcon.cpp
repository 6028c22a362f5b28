#include "tray/StatusIcon.h"

#include <QCoreApplication>
#include <QDir>
#include <QPainter>
#include <cmath>
#include <numbers>

#include "tray/TrayColors.h"

namespace tvrn::StatusIcon {

std::optional<Dot> pulseFrame(int frame, std::string_view state, std::string_view source) {
  if (frame >= kPulseEndFrame || frame < 0) return std::nullopt;
  const double t = std::sin(frame * std::numbers::pi / 8);
  const QColor from = TrayColors::forState(state).toRgb();
  const QColor to = TrayColors::forPulse(source).toRgb();
  const auto blend = [t](float a, float b) { return a + static_cast<float>(t) * (b - a); };
  return Dot{QColor::fromRgbF(blend(from.redF(), to.redF()), blend(from.greenF(), to.greenF()),
                              blend(from.blueF(), to.blueF())),
             kDotSize + kDotSize * t};
}

Dot steady(std::string_view state) { return Dot{TrayColors::forState(state), kDotSize}; }

QImage loadBaseLogo() {
  QImage logo(":/icon_18.png");
  if (logo.isNull())
    logo.load(QDir(QCoreApplication::applicationDirPath()).filePath("icon_18.png"));
  return logo;
}

QImage render(const QImage& logo, const Dot& dot) {
  QImage icon(static_cast<int>(kWidth * kPixelRatio), static_cast<int>(kHeight * kPixelRatio),
              QImage::Format_ARGB32_Premultiplied);
  icon.setDevicePixelRatio(kPixelRatio);
  icon.fill(Qt::transparent);
  QPainter painter(&icon);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  if (!logo.isNull()) painter.drawImage(QRectF(0, 0, kLogoSize, kLogoSize), logo);
  painter.setPen(Qt::NoPen);
  painter.setBrush(dot.color);
  const double s = dot.diameter;
  painter.drawEllipse(QRectF(kWidth - s, kHeight - s, s, s));
  return icon;
}

}  // namespace tvrn::StatusIcon
