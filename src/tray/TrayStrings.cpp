#include "tray/TrayStrings.h"

#include <map>
#include <mutex>
#include <span>

#include "platform/UserDefaults.h"
#include "tray/TrayStringsTexts.h"

namespace tvrn::TrayStrings {
namespace {

using Table = std::map<std::string_view, std::map<std::string_view, std::string_view>>;

const Table& translations() {
  static const Table table = [] {
    namespace texts = TrayStringsTexts;
    const std::pair<std::string_view, std::span<const texts::Entry>> languages[] = {
        {"en", texts::kEn}, {"es", texts::kEs}, {"pt", texts::kPt}, {"fr", texts::kFr},
        {"de", texts::kDe}, {"it", texts::kIt}, {"nl", texts::kNl}, {"zh", texts::kZh},
        {"ja", texts::kJa}, {"ko", texts::kKo}};
    Table built;
    for (const auto& [code, entries] : languages)
      built[code].insert(entries.begin(), entries.end());
    return built;
  }();
  return table;
}

std::mutex langMutex;  // guards current
std::optional<std::string> current;

}  // namespace

const std::vector<Language>& supportedLanguages() {
  static const std::vector<Language> languages{
      {"en", "English"}, {"es", "Español"},  {"pt", "Português"},  {"fr", "Français"},
      {"de", "Deutsch"}, {"it", "Italiano"}, {"nl", "Nederlands"}, {"zh", "中文"},
      {"ja", "日本語"},  {"ko", "한국어"}};
  return languages;
}

bool isSupported(std::string_view code) { return translations().contains(code); }

std::string chooseLanguage(const std::optional<std::string>& stored, const QLocale& system) {
  if (stored && isSupported(*stored)) return *stored;
  // Only the language counts: "pt_BR" is "pt", any Chinese is "zh".
  const std::string code = QLocale::languageToCode(system.language()).toStdString();
  if (system.language() != QLocale::C && isSupported(code)) return code;
  return "en";
}

std::string lang() {
  std::lock_guard lock(langMutex);
  if (!current) {
    current = chooseLanguage(UserDefaults::stringForKey(kLanguageKey), QLocale::system());
  }
  return *current;
}

void setLanguage(std::string_view code) {
  if (!isSupported(code)) return;
  {
    std::lock_guard lock(langMutex);
    current = std::string(code);
  }
  // The choice holds for this run even when it cannot be kept for the next.
  static_cast<void>(UserDefaults::setString(kLanguageKey, std::string(code)));
}

std::string L(std::string_view key) {
  const auto& table = translations();
  const std::string language = lang();
  for (const std::string_view code : {std::string_view(language), std::string_view("en")}) {
    const auto& texts = table.at(code);
    if (const auto text = texts.find(key); text != texts.end()) return std::string(text->second);
  }
  return std::string(key);
}

std::string substitute(std::string text, std::string_view value) {
  constexpr std::string_view kPlaceholder = "%@";
  for (auto at = text.find(kPlaceholder); at != std::string::npos;
       at = text.find(kPlaceholder, at + value.size())) {
    text.replace(at, kPlaceholder.size(), value);
  }
  return text;
}

}  // namespace tvrn::TrayStrings
