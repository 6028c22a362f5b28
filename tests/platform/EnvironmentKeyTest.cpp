#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "platform/EnvironmentKey.h"
#include "platform/FileWatch.h"
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

// Within one glance a key that held is not looked at again; a change made between glances, or
// a key that did not hold, is always looked at.
TEST(EnvironmentKeyTest, AnswersFromTheGlanceOnlyWhatHeldInIt) {
  const struct {
    const char* sequence;
    bool sameGlance;   // the change and the second look in the glance of the first look
    const char* from;  // the value at the first look, then changed: "a" to "b", unset to "a"
    bool holds;        // the second look
  } rows[] = {
      {"held, changed in the same glance", true, "a", true},
      {"held, changed before the next glance", false, "a", false},
      {"did not hold, restored in the same glance", true, nullptr, true},
      {"did not hold, restored before the next glance", false, nullptr, true},
  };
  static const std::vector<const char*> kNames = {"TVRN_KEY_A"};
  for (const auto& row : rows) {
    test::ScopedEnvironment restore;
    ::setenv("TVRN_KEY_A", "a", 1);
    const EnvironmentKey key(kNames);
    auto first = std::make_unique<Readiness::Glance>();
    if (row.from == nullptr) ::unsetenv("TVRN_KEY_A");
    ASSERT_EQ(key.stillHolds(), row.from != nullptr) << row.sequence;
    if (!row.sameGlance) first.reset();
    Readiness::Glance second;
    ::setenv("TVRN_KEY_A", row.from != nullptr ? "b" : "a", 1);
    EXPECT_EQ(key.stillHolds(), row.holds) << row.sequence;
  }
}

}  // namespace
}  // namespace tvrn
