// The popover's symbols are our own drawings in the colour asked for, on every desktop: an icon
// theme with icons of the same meaning (GNOME's, say) never stands in for them, and every symbol
// a row shows is a drawing of its own, not the dot an unknown name gets.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QIcon>
#include <QImage>

#include "status/AIClientCatalog.h"
#include "support/TestEnv.h"
#include "tray/popover/PopoverSymbols.h"

namespace tvrn {
namespace {

QImage drawn(std::string_view name, const QColor& color) {
  return PopoverSymbols::icon(name, color)
      .pixmap(32, 32)
      .toImage()
      .convertToFormat(QImage::Format_ARGB32);
}

// Opaque pixels of about the colour, whatever the antialiasing did to the edges.
int pixelsOf(const QImage& image, const QColor& color) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor pixel = image.pixelColor(x, y);
      count += pixel.alpha() > 200 && std::abs(pixel.red() - color.red()) < 40 &&
               std::abs(pixel.green() - color.green()) < 40 &&
               std::abs(pixel.blue() - color.blue()) < 40;
    }
  }
  return count;
}

TEST(PopoverSymbolsTest, OurDrawingsInTheirColourWhateverTheDesktopsIconTheme) {
  // A GNOME desktop whose theme has a solid blue icon under each name of the same meaning.
  ::setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  const auto theme = test::home() / "icons" / "desk";
  test::writeFile(theme / "index.theme",
                  "[Icon Theme]\nName=desk\nDirectories=apps\n\n[apps]\nSize=16\nType=Fixed\n");
  std::filesystem::create_directories(theme / "apps");
  QImage blue(16, 16, QImage::Format_ARGB32);
  blue.fill(Qt::blue);
  for (const char* name : {"dialog-error", "dialog-warning", "emblem-default", "folder"}) {
    ASSERT_TRUE(blue.save(QString::fromStdString((theme / "apps" / name).string() + ".png")));
  }
  QIcon::setThemeSearchPaths({QString::fromStdString((test::home() / "icons").string())});
  QIcon::setThemeName(QStringLiteral("desk"));
  ASSERT_TRUE(QIcon::hasThemeIcon(QStringLiteral("dialog-error")));

  std::vector<std::string> names = {"xmark.circle.fill", "exclamationmark.triangle.fill",
                                    "checkmark.circle.fill", "folder"};
  for (const auto& client : AIClientCatalog::clients(AIClientCatalog::Job::section)) {
    names.push_back(client.icon);
  }
  const QColor red(255, 59, 48);
  const QImage unknown = drawn("no.such.symbol", red);
  for (const auto& name : names) {
    const QImage image = drawn(name, red);
    EXPECT_GT(pixelsOf(image, red), 0) << name;
    EXPECT_EQ(pixelsOf(image, Qt::blue), 0) << name;
    EXPECT_NE(image, unknown) << name;
  }
}

}  // namespace
}  // namespace tvrn
