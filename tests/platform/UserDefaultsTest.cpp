#include <gtest/gtest.h>

#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

TEST(UserDefaultsTest, ReadsBackEachTypeAndTreatsOtherTypesAsAbsent) {
  EXPECT_FALSE(UserDefaults::boolForKey("flag"));
  ASSERT_TRUE(UserDefaults::setBool("flag", true));
  ASSERT_TRUE(UserDefaults::setInteger("count", 1700000000123));
  ASSERT_TRUE(UserDefaults::setString("language", "de"));
  ASSERT_TRUE(UserDefaults::setStringArray("seen", {"Cursor", "Zed"}));
  EXPECT_TRUE(UserDefaults::boolForKey("flag"));
  EXPECT_EQ(UserDefaults::integerForKey("count"), 1700000000123);
  EXPECT_EQ(UserDefaults::stringForKey("language"), "de");
  EXPECT_EQ(UserDefaults::stringArrayForKey("seen"), (std::vector<std::string>{"Cursor", "Zed"}));

  EXPECT_FALSE(UserDefaults::boolForKey("count"));
  EXPECT_EQ(UserDefaults::integerForKey("flag"), 0);
  EXPECT_FALSE(UserDefaults::stringForKey("seen"));
  EXPECT_FALSE(UserDefaults::stringArrayForKey("language"));
  ASSERT_TRUE(UserDefaults::removeObject("flag"));
  EXPECT_FALSE(UserDefaults::boolForKey("flag"));
  EXPECT_EQ(UserDefaults::stringForKey("language"), "de");
}

}  // namespace
}  // namespace tvrn
