// Installing an unpacked update when a file cannot go into place part-way: everything already
// moved goes back, so the old version stays whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cloud/UpdateArchive.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

const std::map<std::string, std::string> kOld = {{"bin/tavrin", "old server"},
                                                 {"bin/helper", "old helper"}};
const std::vector<fs::path> kStaged = {"bin/helper", "bin/tavrin", "tray/tavrin-tray"};

struct PutBackCase {
  std::string name;
  fs::path blocked;              // a folder stands where this file goes
  std::optional<fs::path> last;  // installed after all others
};

void PrintTo(const PutBackCase& c, std::ostream* out) { *out << c.name; }

class UpdateArchivePutBackTest : public ::testing::TestWithParam<PutBackCase> {};

TEST_P(UpdateArchivePutBackTest, AFailedMoveLeavesTheOldFilesAsTheyWere) {
  const auto& c = GetParam();
  const fs::path root = test::home() / "install";
  const fs::path staging = test::home() / "staging";
  for (const auto& [file, bytes] : kOld) test::writeFile(root / file, bytes);
  for (const auto& file : kStaged) test::writeFile(staging / file, "new " + file.string());
  fs::remove(root / c.blocked);
  test::writeFile(root / c.blocked / "in-the-way", "kept");

  const auto installed = UpdateArchive::install(staging, kStaged, root, c.last);

  ASSERT_FALSE(installed.ok());
  const std::string& reason = installed.error().reason;
  EXPECT_NE(reason.find((root / c.blocked).string()), std::string::npos) << reason;
  EXPECT_FALSE(installed.error().notPutBack);
  auto expected = kOld;
  expected.erase(c.blocked.string());
  expected[(c.blocked / "in-the-way").string()] = "kept";  // the folder in the way stays
  std::map<std::string, std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const auto relative = entry.path().lexically_relative(root).string();
    if (entry.is_regular_file()) left[relative] = test::readFile(entry.path());
  }
  EXPECT_EQ(left, expected);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, UpdateArchivePutBackTest,
    ::testing::Values(PutBackCase{"first", "bin/helper", std::nullopt},
                      PutBackCase{"middle", "bin/tavrin", std::nullopt},
                      PutBackCase{"newFileLast", "tray/tavrin-tray", std::nullopt},
                      PutBackCase{"replacedFileLast", "bin/helper", fs::path("bin/helper")},
                      PutBackCase{"afterTheLastOneNamed", "bin/tavrin", fs::path("bin/helper")}),
    [](const auto& info) { return info.param.name; });

TEST(UpdateArchiveInstallTest, EveryFileGoesInPlaceAndNothingIsLeftAside) {
  const fs::path root = test::home() / "install";
  const fs::path staging = test::home() / "staging";
  for (const auto& [file, bytes] : kOld) test::writeFile(root / file, bytes);
  for (const auto& file : kStaged) test::writeFile(staging / file, "new " + file.string());

  EXPECT_TRUE(UpdateArchive::install(staging, kStaged, root, fs::path("bin/tavrin")).ok());

  for (const auto& file : kStaged) {
    EXPECT_EQ(test::readFile(root / file), "new " + file.string());
  }
}

}  // namespace
}  // namespace tvrn
