// The popover's symbols: each symbol name the sections use stands for a small drawing of our own
// in the colour the section gives it, the same on every desktop whatever its icon theme, and
// never dependent on a font that may be missing (an emoji font, say).
#pragma once

#include <QColor>
#include <QIcon>
#include <string_view>

namespace tvrn::PopoverSymbols {

// The symbol drawn in the colour; a name we do not know draws a dot.
QIcon icon(std::string_view name, const QColor& color);

}  // namespace tvrn::PopoverSymbols
