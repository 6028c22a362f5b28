#include <gtest/gtest.h>
#include <plist/plist.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/Utf8.h"
#include "platform/DefaultsStore.h"
#include "platform/InstalledApps.h"
#include "platform/PlistReader.h"
#include "support/AppFixtures.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;

const std::string kXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>name</key><string>Zoë &amp; co</string>
  <key>count</key><integer>42</integer>
  <key>offset</key><integer>-7</integer>
  <key>ratio</key><real>0.5</real>
  <key>on</key><true/>
  <key>when</key><date>2026-03-01T17:30:00Z</date>
  <key>blob</key><data>aGVsbG8=</data>
  <key>nested</key><dict><key>list</key><array><string>a</string><integer>1</integer></array></dict>
</dict>
</plist>)";

const json kExpected = {{"name", "Zoë & co"}, {"count", 42},
                        {"offset", -7},       {"ratio", 0.5},
                        {"on", true},         {"when", "2026-03-01T17:30:00Z"},
                        {"blob", "aGVsbG8="}, {"nested", {{"list", {"a", 1}}}}};

std::string asBinary(const std::string& xml) {
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root, &bytes, &length);
  std::string out(bytes, length);
  std::free(bytes);
  plist_free(root);
  return out;
}

TEST(PlistReaderTest, ReadsXmlAndBinaryListsAlike) {
  const std::string binary = asBinary(kXml);
  ASSERT_EQ(binary.rfind("bplist00", 0), 0u);
  for (const std::string& bytes : {kXml, binary}) {
    auto value = PlistReader::parse(bytes);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, kExpected);
  }
  test::writeFile(test::home() / "x.plist", binary);
  EXPECT_EQ(PlistReader::readFile(test::home() / "x.plist"), kExpected);
}

TEST(PlistReaderTest, RefusesWhatIsNoPropertyList) {
  for (const std::string bytes :
       {"", "{\"a\": 1}", "<plist><dict><key>a</key>", "bplist00xx", "plain text"}) {
    EXPECT_FALSE(PlistReader::parse(bytes)) << bytes;
  }
  EXPECT_FALSE(PlistReader::readFile(test::home() / "missing.plist"));
}

TEST(DefaultsStoreTest, ReadsADomainAndAnswersEmptyForAnythingElse) {
  test::writeDefaults("com.example.App", {{"k", 1}}, test::PlistFormat::binary);
  EXPECT_EQ(DefaultsStore::domain("com.example.App"), (json{{"k", 1}}));

  test::writeDefaults("com.example.List", json::array({1, 2}));
  test::writeFile(test::home() / "Library/Preferences/com.example.Bad.plist", "not a plist");
  test::writeDefaults("escape", {{"k", 1}});
  for (const char* name : {"com.example.Missing", "com.example.List", "com.example.Bad",
                           "../Preferences/escape", ""}) {
    EXPECT_EQ(DefaultsStore::domain(name), json::object()) << name;
  }
}

TEST(InstalledAppsTest, LooksInTheHomeApplicationsThenTheListedFolders) {
  const auto extraA = test::home() / "extra-a";
  const auto extraB = test::home() / "extra-b";
  std::filesystem::create_directories(extraA / "Only There.app");
  std::filesystem::create_directories(extraB / "Both.app");
  std::filesystem::create_directories(extraA / "Both.app");
  ::setenv("TVRN_APP_DIRS", (extraA.string() + "::" + extraB.string()).c_str(), 1);
  const auto home = test::placeBundle("Home", {{"CFBundleShortVersionString", "1.2"}});

  EXPECT_EQ(InstalledApps::find("Home"), home);
  EXPECT_EQ(DefaultsStore::bundleInfo(home)["CFBundleShortVersionString"], "1.2");
  EXPECT_EQ(InstalledApps::find("Only There"), extraA / "Only There.app");
  EXPECT_EQ(InstalledApps::find("Both"), extraA / "Both.app");
  EXPECT_FALSE(InstalledApps::isInstalled("Absent"));
  EXPECT_FALSE(InstalledApps::isInstalled("../extra-a/Both"));
}

TEST(Utf8Test, LowercasesWithFullUnicodeMapping) {
  EXPECT_EQ(Utf8::lowercased("ÄÖÜ United STATES"), "äöü united states");
  EXPECT_EQ(Utf8::lowercased("İ"), "i\xCC\x87");
  EXPECT_EQ(Utf8::lowercased("bad \xFF BYTES"), "bad \xEF\xBF\xBD bytes");
}

}  // namespace
}  // namespace tvrn
