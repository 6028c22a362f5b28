#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/RegularFile.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

// The bytes of a regular file up to the cap, or why not (pipes and devices: HostilePathsTest).
TEST(RegularFileTest, ReadsRegularFilesOnlyAndNoMoreThanTheCap) {
  const fs::path dir = test::home() / "files";
  test::writeFile(dir / "five", "12345");
  fs::create_symlink(dir / "five", dir / "link");

  struct Case {
    fs::path path;
    std::size_t cap;
    std::string expected;  // the bytes, or "failed: " and why
  };
  const Case cases[] = {
      {dir / "five", 5, "12345"},
      {dir / "link", 5, "12345"},
      {dir / "five", 4, "failed: larger than 4 bytes"},
      {dir, 5, "failed: not a regular file"},
      {dir / "missing", 5, "failed: No such file or directory"},
  };
  for (const Case& c : cases) {
    const auto read = RegularFile::read(c.path, c.cap);
    EXPECT_EQ(read ? read.value() : "failed: " + read.error(), c.expected) << c.path;
  }
  EXPECT_EQ(RegularFile::open(dir / "five").value().readAt(3, 10).value(), "45");
}

// A read takes what the file holds when it is read, not what it held when opened: more when it
// grew meanwhile (still stopped at the cap), and all of a file that tells no size, as /proc's.
TEST(RegularFileTest, ReadsWhatTheFileHoldsWhenReadEvenWhenItGrewOrTellsNoSize) {
  const fs::path file = test::home() / "grows";
  const auto grown = [&](const std::string& added, std::size_t cap) {
    test::writeFile(file, "abc");
    const auto opened = RegularFile::open(file);
    test::writeFile(file, "abc" + added);  // in place: the same open file
    const auto read = opened.value().readAll(cap);
    return read ? read.value() : "failed: " + read.error();
  };
  const std::string large(70 * 1024, 'y');  // past what one read of the old size takes
  EXPECT_EQ(grown(large, 100 * 1024), "abc" + large);
  EXPECT_EQ(grown("defghijkl", 8), "failed: larger than 8 bytes");
  EXPECT_NE(RegularFile::read("/proc/self/status").value().find("\nUmask:"), std::string::npos);
}

}  // namespace
}  // namespace tvrn
