// The tray's string table: lookups, the choice of language and the completeness of each language.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <span>

#include "platform/UserDefaults.h"
#include "tray/TrayStrings.h"
#include "tray/TrayStringsTexts.h"

namespace tvrn {
namespace {

std::set<std::string_view> keysOf(std::span<const TrayStringsTexts::Entry> entries) {
  std::set<std::string_view> keys;
  for (const auto& [key, text] : entries) keys.insert(key);
  return keys;
}

TEST(TrayStringsTest, LooksUpInTheLanguageThenEnglishThenGivesTheKey) {
  struct Case {
    std::string language, key, text;
  };
  const std::vector<Case> cases{
      {"pt", "off_reason_mail", "Open Mail.app to enable"},
      {"es", "off_reason_mail", "Abre Mail.app para activar"},
      {"es", "running", "Activo"},
      {"de", "connecting", "Verbindung wird hergestellt..."},
      {"zh", "fix", "修复 →"},
      {"ja", "settings", "設定..."},
      {"ko", "running", "실행 중"},
      {"fr", "no_such_key", "no_such_key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.language + " " + c.key);
    TrayStrings::setLanguage(c.language);
    EXPECT_EQ(TrayStrings::L(c.key), c.text);
  }
}

TEST(TrayStringsTest, FillsEveryPlaceholderWithTheValue) {
  TrayStrings::setLanguage("en");
  EXPECT_EQ(TrayStrings::L("case_id", 4217), "Case ID: 4217");
  EXPECT_EQ(TrayStrings::L("case_id", std::string("AB-12")), "Case ID: AB-12");
  TrayStrings::setLanguage("zh");
  EXPECT_EQ(TrayStrings::L("case_id", 4217), "案例：4217");
  EXPECT_EQ(TrayStrings::substitute("%@ and %@", "x%@"), "x%@ and x%@");
}

TEST(TrayStringsTest, OnlyKnownLanguagesAreChosenAndStored) {
  TrayStrings::setLanguage("ko");
  EXPECT_EQ(UserDefaults::stringForKey(TrayStrings::kLanguageKey), "ko");
  TrayStrings::setLanguage("sv");
  EXPECT_EQ(TrayStrings::lang(), "ko");
  EXPECT_EQ(UserDefaults::stringForKey(TrayStrings::kLanguageKey), "ko");

  struct Case {
    std::optional<std::string> stored;
    QLocale system;
    std::string chosen;
  };
  const std::vector<Case> cases{
      {"de", QLocale(QLocale::French), "de"},
      {"sv", QLocale(QLocale::Portuguese, QLocale::Brazil), "pt"},
      {std::nullopt, QLocale(QLocale::Chinese, QLocale::SimplifiedHanScript, QLocale::China), "zh"},
      {std::nullopt, QLocale(QLocale::Chinese, QLocale::TraditionalHanScript, QLocale::Taiwan),
       "zh"},
      {"sv", QLocale(QLocale::Swedish), "en"},
      {std::nullopt, QLocale::c(), "en"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.system.name().toStdString());
    EXPECT_EQ(TrayStrings::chooseLanguage(c.stored, c.system), c.chosen);
  }
}

// Every language has English's keys (the "off_reason_" ones only in Spanish besides), and keeps
// the placeholder, the arrows and the short name where English has them.
TEST(TrayStringsTest, EachLanguageTranslatesEveryKeyKeepingWhatMustStay) {
  namespace texts = TrayStringsTexts;
  const auto english = keysOf(texts::kEn);
  const std::map<std::string_view, std::string_view> englishText(std::begin(texts::kEn),
                                                                 std::end(texts::kEn));
  std::set<std::string_view> withoutReasons;
  for (const auto key : english) {
    if (!key.starts_with("off_reason_")) withoutReasons.insert(key);
  }
  EXPECT_EQ(english.size() - withoutReasons.size(), 7u);
  const std::vector<std::pair<std::string, std::span<const texts::Entry>>> languages{
      {"es", texts::kEs}, {"pt", texts::kPt}, {"fr", texts::kFr},
      {"de", texts::kDe}, {"it", texts::kIt}, {"nl", texts::kNl},
      {"zh", texts::kZh}, {"ja", texts::kJa}, {"ko", texts::kKo}};
  ASSERT_EQ(TrayStrings::supportedLanguages().size(), languages.size() + 1);
  for (const auto& [code, entries] : languages) {
    SCOPED_TRACE(code);
    EXPECT_EQ(keysOf(entries), code == "es" ? english : withoutReasons);
    EXPECT_EQ(keysOf(entries).size(), entries.size()) << "a key twice";
    for (const auto& [key, text] : entries) {
      SCOPED_TRACE(std::string(key));
      const std::string_view source = englishText.at(key);
      for (const std::string_view kept : {"%@", "→", "TVRN"}) {
        EXPECT_EQ(text.find(kept) != std::string_view::npos,
                  source.find(kept) != std::string_view::npos)
            << kept;
      }
    }
  }
  TrayStrings::setLanguage("en");
  const std::string message = TrayStrings::L("cloud_data_confirm_msg");
  EXPECT_NE(message.find("\n\n"), std::string::npos);
  EXPECT_NE(message.find("\n\n", message.find("\n\n") + 2), std::string::npos);
}

}  // namespace
}  // namespace tvrn
