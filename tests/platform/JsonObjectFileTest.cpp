#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <vector>

#include "platform/JsonObjectFile.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;

void addKey(json& object) { object["added"] = true; }

TEST(JsonObjectFileTest, ChangesOnlyFilesWhoseContentsItKnows) {
  const auto dir = Paths::appSupport() / "store";
  const auto file = dir / "defaults.json";
  struct Row {
    const char* what;
    std::function<void()> place;
    bool damaged, readError, written;
    std::vector<std::string> namesAfter;  // "*" stands for the moved-aside copy, sorted as its name
  };
  const Row rows[] = {
      {"missing", [] {}, false, false, true, {"defaults.json"}},
      {"an object",
       [&] { test::writeFile(file, R"({"kept": 1})"); },
       false,
       false,
       true,
       {"defaults.json"}},
      {"not an object",
       [&] { test::writeFile(file, "[1]"); },
       true,
       false,
       true,
       {"defaults.json", "*"}},
      {"a folder in its place",
       [&] { test::writeFile(file / "inside", "x"); },
       false,
       true,
       false,
       {"defaults.json"}},
      {"a dangling link",
       [&] { std::filesystem::create_symlink(dir / "elsewhere.json", file); },
       false,
       true,
       false,
       {"defaults.json"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    row.place();
    const auto before = std::filesystem::symlink_status(file).type();

    const JsonObjectFile::Contents contents = JsonObjectFile::read(file);
    EXPECT_EQ(contents.damaged, row.damaged);
    EXPECT_EQ(contents.readError.has_value(), row.readError);
    const JsonObjectFile::Update update = JsonObjectFile::update(file, addKey);
    EXPECT_EQ(update.written, row.written);
    EXPECT_EQ(update.readError.has_value(), row.readError);
    EXPECT_EQ(update.movedAside.has_value(), row.damaged);

    std::vector<std::string> names = test::namesIn(dir);
    if (update.movedAside) {
      EXPECT_EQ(test::readFile(*update.movedAside), "[1]");
      std::replace(names.begin(), names.end(), update.movedAside->filename().string(),
                   std::string("*"));
    }
    EXPECT_EQ(names, row.namesAfter);
    if (row.written) {
      EXPECT_EQ(JsonObjectFile::read(file).object.value("added", false), true);
    } else {
      EXPECT_EQ(std::filesystem::symlink_status(file).type(), before) << "left as it was";
    }
  }
}

TEST(JsonObjectFileTest, PutsADamagedFileBackWhenItsReplacementCannotBeWritten) {
  const auto file = Paths::appSupport() / "keychain.json";
  const std::string damaged = R"({"service": {"account": "token"}, )";
  test::writeFile(file, damaged);

  // A child whose files may not grow past a few bytes: the move aside succeeds, the write fails.
  const pid_t child = ::fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{16, 16};
    ::setrlimit(RLIMIT_FSIZE, &small);
    const auto update = JsonObjectFile::update(file, addKey);
    ::_exit(update.damaged && !update.written && !update.movedAside ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(test::readFile(file), damaged);
  EXPECT_EQ(test::namesIn(file.parent_path()), std::vector<std::string>{"keychain.json"});
}

}  // namespace
}  // namespace tvrn
