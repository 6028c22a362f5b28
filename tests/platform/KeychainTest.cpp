#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/HardwareId.h"
#include "platform/Keychain.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

std::filesystem::path keychainFile() { return Paths::appSupport() / "keychain.json"; }

TEST(KeychainTest, KeepsEachPasswordUnderItsServiceAndAccount) {
  ASSERT_TRUE(Keychain::writeGenericPassword("svc", "acct", "one"));
  ASSERT_TRUE(Keychain::writeGenericPassword("svc", "other", "two"));
  ASSERT_TRUE(Keychain::writeGenericPassword("svc", "acct", "updated"));
  EXPECT_EQ(Keychain::readGenericPassword("svc", "acct"), "updated");
  EXPECT_EQ(Keychain::readGenericPassword("svc", "other"), "two");
  EXPECT_FALSE(Keychain::readGenericPassword("svc2", "acct"));
  struct stat info {};
  ASSERT_EQ(::stat(keychainFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

bool isUpperUUID(const std::string& id) {
  if (id.size() != 36) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? id[i] != '-' : !std::isdigit(id[i]) && (id[i] < 'A' || id[i] > 'F')) return false;
  }
  return true;
}

TEST(HardwareIdTest, DerivesAStableUUIDWithoutGivingOutTheRawId) {
  const std::string raw = "3d1219c7c4c5404aaa1f6d2a48adfda4";
  const auto file = test::home() / "machine-id";
  test::writeFile(file, raw);
  const auto expected = HardwareId::platformUUID(file);
  ASSERT_TRUE(expected);
  EXPECT_TRUE(isUpperUUID(*expected)) << *expected;
  EXPECT_EQ(expected->find("3D1219C7"), std::string::npos);

  struct Row {
    std::string contents;
    bool derived;
  };
  const Row rows[] = {
      {raw + "\n", true},         {"  3D1219C7C4C5404AAA1F6D2A48ADFDA4 \n", true},
      {"uninitialized\n", false}, {"", false},
      {raw.substr(1), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.contents);
    test::writeFile(file, row.contents);
    EXPECT_EQ(HardwareId::platformUUID(file), row.derived ? expected : std::nullopt);
  }
  test::writeFile(file, "00000000000000000000000000000001");
  EXPECT_NE(HardwareId::platformUUID(file), expected);
  EXPECT_FALSE(HardwareId::platformUUID(test::home() / "missing"));

  const std::string random = HardwareId::randomUUID();
  EXPECT_TRUE(isUpperUUID(random)) << random;
  EXPECT_NE(random, HardwareId::randomUUID());
}

}  // namespace
}  // namespace tvrn
