#include <gtest/gtest.h>

#include <tuple>

#include "core/Versions.h"

namespace tvrn {
namespace {

TEST(VersionsTest, ComparesNumericComponentsWithMissingOnesAsZero) {
  const std::tuple<const char*, const char*, bool> rows[] = {
      {"3.0.101", "3.0.100", true},
      {"3.0.100", "3.0.100", false},
      {"1.10", "1.9", true},    // numbers, not text
      {"1.2", "1.2.0", false},  // a missing position counts as 0
      {"1.x.3", "1.3", false},  // a piece that is no number is dropped, not read as 0
      {"1..3", "1.2", true},    // empty pieces are dropped too
      {"+2", "1", true},
      {"+-1", "0", false},  // one sign only
      {"", "", false},
      {"0.0.1", "beta", true},
  };
  for (const auto& [a, b, newer] : rows) EXPECT_EQ(Versions::isNewer(a, b), newer) << a << " " << b;
}

TEST(VersionsTest, PatchNumberIsTheThirdComponentElseTheLast) {
  const std::tuple<const char*, std::int64_t> rows[] = {
      {"3.0.104", 104}, {"3.0.98", 98}, {"1.2.3.4", 3}, {"3.1", 1}, {"7", 7}, {"", 0}, {"v3.x", 0}};
  for (const auto& [version, patch] : rows) EXPECT_EQ(Versions::patchNumber(version), patch);
}

}  // namespace
}  // namespace tvrn
