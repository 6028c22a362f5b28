// The tray's string table: every popover text that is not a proper name, by a short key, in
// ten languages; the language the user chose survives restarts in the user defaults.
#pragma once

#include <QLocale>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tvrn::TrayStrings {

struct Language {
  std::string_view code;
  std::string_view name;  // the language's own name for itself
};

inline constexpr const char* kLanguageKey = "tray_language";

// In the order of the language menu.
const std::vector<Language>& supportedLanguages();
bool isSupported(std::string_view code);

// The first language: the stored choice when it is a language of the table, else the system
// locale's language when it is one, else "en".
std::string chooseLanguage(const std::optional<std::string>& stored, const QLocale& system);

// The current language; chosen on first use from the user defaults and the system locale.
std::string lang();
// Switches to a language of the table and stores the choice; any other code changes nothing.
void setLanguage(std::string_view code);

// The key's text in the current language, else in English, else the key itself.
std::string L(std::string_view key);

// The text with every "%@" replaced by the value's plain text form.
std::string substitute(std::string text, std::string_view value);

template <typename Value>
std::string L(std::string_view key, const Value& value) {
  if constexpr (std::is_convertible_v<const Value&, std::string_view>) {
    return substitute(L(key), std::string_view(value));
  } else {
    std::ostringstream plain;
    plain << value;
    return substitute(L(key), plain.str());
  }
}

}  // namespace tvrn::TrayStrings
