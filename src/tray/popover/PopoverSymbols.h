// The popover's symbols: each symbol name the sections use stands for an icon of the desktop's
// icon theme, and where the theme has no such icon for a small drawing of our own, so a symbol
// never depends on a font that may be missing (an emoji font, say).
#pragma once

#include <QColor>
#include <QIcon>
#include <string_view>

namespace tvrn::PopoverSymbols {

// The symbol in the colour: the theme's icon when the theme has it, else our drawing; a name we
// do not know draws a dot.
QIcon icon(std::string_view name, const QColor& color);

}  // namespace tvrn::PopoverSymbols
