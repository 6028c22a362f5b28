// The popover's symbols: each symbol name the sections use stands for an icon of the desktop's
// icon theme, with a Unicode glyph drawn in its place where the theme has no such icon.
#pragma once

#include <QIcon>
#include <QString>
#include <string_view>

namespace tvrn::PopoverSymbols {

struct Symbol {
  std::string_view name;
  std::string_view themeIcon;
  std::string_view glyph;
};

// The table's row for the name; a name outside the table gets no theme icon and a bullet.
Symbol lookup(std::string_view name);

// The theme's icon for the symbol; a null icon when the theme has none.
QIcon themeIcon(std::string_view name);
QString glyph(std::string_view name);

}  // namespace tvrn::PopoverSymbols
