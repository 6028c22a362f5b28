#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/EnvironmentKey.h"
#include "support/ScopedEnvironment.h"

namespace tvrn {
namespace {

// A key stands exactly while its own variables read as they did, whatever else of the
// environment changes.
TEST(EnvironmentKeyTest, StandsWhileItsOwnVariablesReadTheSame) {
  const struct {
    const char* change;
    void (*make)();
    bool holds;
  } rows[] = {
      {"nothing", [] {}, true},
      {"its variable set to another value", [] { ::setenv("TVRN_KEY_A", "other", 1); }, false},
      {"its variable set to the same value", [] { ::setenv("TVRN_KEY_A", "a", 1); }, true},
      {"its variable removed", [] { ::unsetenv("TVRN_KEY_A"); }, false},
      {"its unset variable set", [] { ::setenv("TVRN_KEY_UNSET", "", 1); }, false},
      {"another variable added", [] { ::setenv("TVRN_KEY_OTHER", "x", 1); }, true},
      {"another variable removed", [] { ::unsetenv("TVRN_KEY_GONE"); }, true},
      {"another variable changed", [] { ::setenv("TVRN_KEY_GONE", "changed", 1); }, true},
      {"removed and set again to its value",
       [] {
         ::unsetenv("TVRN_KEY_A");
         ::setenv("TVRN_KEY_A", "a", 1);
       },
       true},
  };
  static const std::vector<const char*> kNames = {"TVRN_KEY_A", "TVRN_KEY_UNSET"};
  for (const auto& row : rows) {
    test::ScopedEnvironment restore;
    ::setenv("TVRN_KEY_A", "a", 1);
    ::unsetenv("TVRN_KEY_UNSET");
    ::setenv("TVRN_KEY_GONE", "g", 1);
    const EnvironmentKey key(kNames);
    ASSERT_TRUE(key.stillHolds()) << row.change;
    row.make();
    EXPECT_EQ(key.stillHolds(), row.holds) << row.change;
  }
}

}  // namespace
}  // namespace tvrn
