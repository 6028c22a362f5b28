// The status icon's picture and the frames of its pulse.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "tray/StatusIcon.h"
#include "tray/TrayColors.h"

namespace tvrn {
namespace {

::testing::AssertionResult near(const QColor& actual, const QColor& expected, int tolerance = 2) {
  const QColor a = actual.toRgb();
  const QColor e = expected.toRgb();
  if (std::abs(a.red() - e.red()) <= tolerance && std::abs(a.green() - e.green()) <= tolerance &&
      std::abs(a.blue() - e.blue()) <= tolerance) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << a.name().toStdString() << " is not " << e.name().toStdString();
}

// Red, green and blue of a blend that is `t` of the way from one colour to the other.
QColor between(const QColor& from, const QColor& to, double t) {
  const auto mix = [t](double a, double b) { return a + t * (b - a); };
  return QColor::fromRgbF(static_cast<float>(mix(from.redF(), to.redF())),
                          static_cast<float>(mix(from.greenF(), to.greenF())),
                          static_cast<float>(mix(from.blueF(), to.blueF())));
}

TEST(StatusIconTest, PulseFramesGrowTowardsThePulseColourAndBackThenEnd) {
  struct Case {
    std::string state;
    std::string source;
    QColor pulse;
  };
  const std::vector<Case> cases{
      {"connected", "cloud", QColor::fromRgbF(0.506f, 0.549f, 0.973f)},
      {"connected", "local", TrayColors::green()},
      {"error", "cloud", TrayColors::cloud()},
      {"starting", "local", TrayColors::green()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state + " " + c.source);
    const QColor steady = TrayColors::forState(c.state);
    for (int frame = 0; frame <= 8; ++frame) {
      SCOPED_TRACE(frame);
      const double t = std::sin(frame * std::numbers::pi / 8);
      const auto dot = StatusIcon::pulseFrame(frame, c.state, c.source);
      ASSERT_TRUE(dot);
      EXPECT_NEAR(dot->diameter, 6 + 6 * t, 1e-9);
      EXPECT_TRUE(near(dot->color, between(steady, c.pulse, t), 1));
    }
    EXPECT_EQ(StatusIcon::pulseFrame(4, c.state, c.source)->diameter, 12);
    EXPECT_TRUE(near(StatusIcon::pulseFrame(4, c.state, c.source)->color, c.pulse, 1));
    EXPECT_FALSE(StatusIcon::pulseFrame(9, c.state, c.source));
  }
}

TEST(StatusIconTest, TheDotSitsAtTheLowerRightInTheStateColourOverTheLogo) {
  QImage logo(36, 36, QImage::Format_ARGB32);
  logo.fill(QColor(Qt::blue));
  const std::vector<std::pair<std::string, QColor>> states{{"connected", QColor(52, 199, 89)},
                                                           {"error", QColor(255, 59, 48)},
                                                           {"starting", QColor(255, 149, 0)},
                                                           {"anything", QColor(255, 149, 0)}};
  for (const bool withLogo : {false, true}) {
    for (const auto& [state, colour] : states) {
      SCOPED_TRACE(state + (withLogo ? " with logo" : " alone"));
      const QImage icon = StatusIcon::render(withLogo ? logo : QImage(), StatusIcon::steady(state));
      ASSERT_EQ(icon.size(), QSize(40, 36));
      EXPECT_EQ(icon.devicePixelRatio(), 2);
      // The 6-point dot spans pixels 28..39 and 24..35: flush right and bottom.
      for (const QPoint inside : {QPoint(34, 30), QPoint(38, 30), QPoint(34, 34)}) {
        EXPECT_TRUE(near(icon.pixelColor(inside), colour)) << inside.x() << "," << inside.y();
      }
      EXPECT_EQ(icon.pixelColor(26, 30).alpha(), withLogo ? 255 : 0);
      EXPECT_EQ(icon.pixelColor(34, 20).alpha(), withLogo ? 255 : 0);
      EXPECT_EQ(icon.pixelColor(39, 10).alpha(), 0) << "the logo stops at 18 points";
      if (withLogo) {
        EXPECT_TRUE(near(icon.pixelColor(10, 10), QColor(Qt::blue)));
      }
    }
  }
}

TEST(StatusIconTest, APulseDotOfTwelvePointsCoversTheCorner) {
  const QImage icon = StatusIcon::render(QImage(), {TrayColors::cloud(), 12});
  EXPECT_TRUE(near(icon.pixelColor(28, 24), TrayColors::cloud()));
  EXPECT_EQ(icon.pixelColor(14, 10).alpha(), 0);
}

}  // namespace
}  // namespace tvrn
