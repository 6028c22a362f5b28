#include <gtest/gtest.h>

#include "core/Versions.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

TEST(VersionsTest, ComparesNumericComponentsWithMissingOnesAsZero) {
  struct Row {
    const char* a;
    const char* b;
    bool newer;
  };
  const Row rows[] = {
      {"3.0.101", "3.0.100", true},
      {"3.0.100", "3.0.100", false},
      {"3.0.99", "3.0.100", false},
      {"1.10", "1.9", true},    // numbers, not text
      {"1.2", "1.2.0", false},  // a missing position counts as 0
      {"1.2.1", "1.2", true},
      {"1.x.3", "1.3", false},  // a piece that is no number is dropped, not read as 0
      {"1..3", "1.2", true},    // empty pieces are dropped too
      {"+2", "1", true},
      {"-1", "0", false},
      {"+-1", "0", false},  // one sign only: the piece is dropped
      {"", "", false},
      {"beta", "", false},
      {"0.0.1", "beta", true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Versions::isNewer(row.a, row.b), row.newer) << row.a << " vs " << row.b;
  }
}

TEST(VersionsTest, PatchNumberIsTheThirdComponentElseTheLast) {
  struct Row {
    const char* version;
    std::int64_t patch;
  };
  const Row rows[] = {{"3.0.104", 104}, {"3.0.98", 98}, {"1.2.3.4", 3}, {"3.1", 1},
                      {"7", 7},         {"", 0},        {"v3.x", 0}};
  for (const Row& row : rows)
    EXPECT_EQ(Versions::patchNumber(row.version), row.patch) << row.version;
}

TEST(VersionsTest, VersionFilesAreReadTrimmedAndBlankOnesAreAbsent) {
  struct Row {
    const char* file;
    const char* content;  // nullptr: no file
    std::optional<std::string> version;
  };
  const Row rows[] = {
      {"bin/.server-version", "3.0.101\n", "3.0.101"},
      {"bin/.latest-version", " \t3.0.104 \r\n", "3.0.104"},
      {"tray/.tray-version", "\n", std::nullopt},
      {"tray/.version", nullptr, std::nullopt},
  };
  for (const Row& row : rows) {
    if (row.content != nullptr) test::writeFile(Paths::localShare() / row.file, row.content);
    EXPECT_EQ(Versions::readVersionFile(row.file), row.version) << row.file;
  }
}

}  // namespace
}  // namespace tvrn
