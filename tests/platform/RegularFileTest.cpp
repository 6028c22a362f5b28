#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/RegularFile.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

// Whatever stands at the path, the answer comes at once: the bytes of a regular file up to the
// cap, or why not.
TEST(RegularFileTest, ReadsRegularFilesOnlyAndNoMoreThanTheCap) {
  const fs::path dir = test::home() / "files";
  test::writeFile(dir / "five", "12345");
  fs::create_symlink(dir / "five", dir / "link");
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);

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
      {dir / "pipe", 5, "failed: not a regular file"},
      {"/dev/zero", RegularFile::kMaxBytes, "failed: not a regular file"},
      {dir / "missing", 5, "failed: No such file or directory"},
  };
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const auto read = RegularFile::read(c.path, c.cap);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(read ? read.value() : "failed: " + read.error(), c.expected) << c.path;
  }
  EXPECT_EQ(RegularFile::open(dir / "five").value().readAt(3, 10).value(), "45");
}

}  // namespace
}  // namespace tvrn
