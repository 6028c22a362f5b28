#include "app/popover/PopoverSymbols.h"

#include <array>

namespace tvrn::PopoverSymbols {
namespace {

constexpr std::array<Symbol, 15> kSymbols{{
    {"hand.raised.fill", "dialog-warning", "⚑"},
    {"xmark.circle.fill", "dialog-error", "✖"},
    {"exclamationmark.circle.fill", "dialog-warning", "!"},
    {"questionmark.circle.fill", "dialog-question", "?"},
    {"lock.trianglebadge.exclamationmark.fill", "security-low", "⚠"},
    {"arrow.triangle.2.circlepath.circle.fill", "view-refresh", "⟳"},
    {"xmark", "window-close", "✕"},
    {"arrow.clockwise", "view-refresh", "↻"},
    {"key.horizontal.fill", "dialog-password", "⚷"},
    {"cloud", "weather-overcast", "☁"},
    {"exclamationmark.triangle", "dialog-warning", "⚠"},
    {"questionmark.circle", "help-about", "?"},
    {"chevron.right", "go-next", "›"},
    {"megaphone", "dialog-information", "❢"},
    {"circle.fill", "", "●"},
}};

}  // namespace

Symbol lookup(std::string_view name) {
  for (const auto& symbol : kSymbols) {
    if (symbol.name == name) return symbol;
  }
  return {name, "", "•"};
}

QIcon themeIcon(std::string_view name) {
  const auto theme = lookup(name).themeIcon;
  if (theme.empty()) return {};
  return QIcon::fromTheme(QString::fromUtf8(theme.data(), static_cast<qsizetype>(theme.size())));
}

QString glyph(std::string_view name) {
  const auto text = lookup(name).glyph;
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace tvrn::PopoverSymbols
