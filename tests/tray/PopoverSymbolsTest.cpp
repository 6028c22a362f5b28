// The popover's symbols are our own drawings in the colour the section asks for, on every desktop:
// an icon theme that has icons of the same meaning (GNOME's, say) never stands in for them, and
// every symbol a row shows is a drawing of its own, not the dot an unknown name gets.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QIcon>
#include <QImage>
#include <QPainter>

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

// Pixels mostly of the colour: hue kept, whatever the antialiasing did to the edges.
int pixelsOf(const QImage& image, const QColor& color) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor pixel = image.pixelColor(x, y);
      if (pixel.alpha() > 200 && std::abs(pixel.red() - color.red()) < 40 &&
          std::abs(pixel.green() - color.green()) < 40 &&
          std::abs(pixel.blue() - color.blue()) < 40) {
        ++count;
      }
    }
  }
  return count;
}

// A theme in the private home with a solid blue icon under each name a desktop theme has.
void installTheme(const std::vector<std::string>& names) {
  const auto root = test::home() / ".local" / "share" / "icons";
  const auto theme = root / "desk";
  test::writeFile(theme / "index.theme",
                  "[Icon Theme]\nName=desk\nDirectories=16x16/apps\n\n"
                  "[16x16/apps]\nSize=16\nType=Fixed\n");
  std::filesystem::create_directories(theme / "16x16" / "apps");
  QImage blue(16, 16, QImage::Format_ARGB32);
  blue.fill(Qt::blue);
  for (const auto& name : names) {
    ASSERT_TRUE(
        blue.save(QString::fromStdString((theme / "16x16" / "apps" / (name + ".png")).string())));
  }
  QIcon::setThemeSearchPaths({QString::fromStdString(root.string())});
  QIcon::setThemeName(QStringLiteral("desk"));
}

TEST(PopoverSymbolsTest, TheDesktopsIconThemeNeverStandsInForADrawing) {
  ::setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  const std::vector<std::string> themed = {"dialog-error",       "dialog-warning",
                                           "dialog-question",    "emblem-default",
                                           "preferences-system", "folder"};
  installTheme(themed);
  ASSERT_TRUE(QIcon::hasThemeIcon(QStringLiteral("dialog-error")));
  const QColor red(255, 59, 48);
  for (const char* name : {"xmark.circle.fill", "exclamationmark.triangle.fill",
                           "questionmark.circle.fill", "checkmark.circle.fill", "gear", "folder"}) {
    const QImage image = drawn(name, red);
    EXPECT_GT(pixelsOf(image, red), 20) << name;
    EXPECT_EQ(pixelsOf(image, Qt::blue), 0) << name;
  }
}

// Each AI client's row shows its own symbol beside the status dot.
TEST(PopoverSymbolsTest, EveryClientRowHasADrawingOfItsOwn) {
  const QColor grey(128, 128, 128);
  const QImage unknown = drawn("no.such.symbol", grey);
  for (const auto& client : AIClientCatalog::clients(AIClientCatalog::Job::section)) {
    const QImage image = drawn(client.icon, grey);
    EXPECT_NE(image, unknown) << client.icon;
    EXPECT_GT(pixelsOf(image, grey), 0) << client.icon;
  }
}

}  // namespace
}  // namespace tvrn
