#include <acl/libacl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/OwnFolder.h"
#include "platform/Subprocess.h"
#include "support/OtherUserLink.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using Accounts = std::vector<OwnFolder::Account>;

// Databases in place of the system's: a group file naming `names` members, a password database
// holding `held` (nothing: one that fails before its end).
OwnFolder::UserDatabase members(std::vector<std::string> names) {
  return {[names](gid_t) { return names; }, nullptr};
}
OwnFolder::UserDatabase accounts(std::optional<Accounts> held) {
  return {nullptr, [held] { return held; }};
}

// A program at `program` (a link to elsewhere/program when `linked`), and a folder `folder`/tavrin,
// `mode` and the access list `list` given to the program, the folder it is linked into, and
// `folder`: what OwnFolder says of the program, and whether it takes the folder as the user's own.
std::pair<std::string, bool> judged(const fs::path& program, const fs::path& folder, mode_t mode,
                                    const std::string& list, bool linked = false) {
  const auto placed =
      linked ? program.parent_path().parent_path() / "elsewhere" / "program" : program;
  fs::create_directories(placed.parent_path());
  fs::create_directories(program.parent_path());
  fs::create_directories(folder / "tavrin");
  fs::copy_file("/bin/true", placed);
  if (linked) fs::create_symlink(placed, program);
  for (const auto& given : {linked ? placed.parent_path() : placed, folder}) {
    acl_t entries = list.empty() ? nullptr : ::acl_from_text(list.c_str());
    EXPECT_EQ(::chmod(given.c_str(), mode), 0);
    if (entries) {
      EXPECT_EQ(::acl_set_file(given.c_str(), ACL_TYPE_ACCESS, entries), 0) << list;
      ::acl_free(entries);
    }
  }
  const auto opened = OwnFolder::openProgram(program);
  if (opened) ::close(opened.value());
  return {opened ? "" : opened.error(),
          OwnFolder::judge(folder / "tavrin", "XDG_CONFIG_HOME").ok()};
}

// Group write, by the mode or a group entry of an access list, is closed only for the user's
// private group, which no account but the user's and root's has as its primary group or is named a
// member of, as the whole of the databases tell it; the same for programs, the folders on their
// way, links followed, and the user's own folders. As root, real accounts: one with a private
// group, then a second given that group as its primary group (`useradd -g`, which names it no
// member).
TEST(OwnFolderTest, GroupWriteIsClosedOnlyWhereNoOtherAccountSharesTheGroup) {
  const passwd* user = ::getpwuid(::geteuid());
  const group* ownGroup = ::getgrgid(user->pw_gid);
  if (ownGroup == nullptr || ownGroup->gr_name != std::string(user->pw_name)) {
    GTEST_SKIP() << "this user has no private group of its own";
  }
  const std::string name = user->pw_name,
                    withGroup = "u::rwx,g::r-x,g:" + name + ":rwx,m::rwx,o::r-x";
  const gid_t own = user->pw_gid;
  const uid_t self = ::geteuid();
  const std::string open775 = "it is open to writing by other users (mode 0775)";
  struct Row {
    const char* label;
    mode_t mode;
    std::string list;
    OwnFolder::UserDatabase database;
    std::string refused;  // after "is not run: ", "@" for the row's folder; empty: it runs
    bool linked = false;
  };
  const Row rows[] = {
      {"private group", 0775, "", {}, ""},
      {"only the user and root have it", 0775, "", accounts(Accounts{{self, own}, {0, own}}), ""},
      {"a member named", 0775, "", members({"nobody"}), open775},
      {"a member no database knows", 0775, "", members({"tvrn-nobody-knows"}), open775},
      {"the user and root named", 0775, "", members({name, "root"}), ""},
      {"another account's primary group", 0775, "", test::anotherAccountInOwnGroup(), open775},
      {"a database failing before its end", 0775, "", accounts(std::nullopt), open775},
      {"a user entry",
       0755,
       "u::rwx,u:65534:rwx,g::r-x,m::rwx,o::r-x",
       {},
       "it is open to writing by other users (mode 0775, its access list lets user nobody write)"},
      {"a user entry the mask holds", 0755, "u::rwx,u:65534:rwx,g::r-x,m::r-x,o::r-x", {}, ""},
      {"a group entry", 0755, withGroup, {}, ""},
      {"a group entry of a shared group", 0755, withGroup, test::anotherAccountInOwnGroup(),
       "it is open to writing by other users (mode 0775, its access list lets group " + name +
           " write)"},
      {"a folder on the way, through a link", 0775, "", test::anotherAccountInOwnGroup(),
       "the folder @/elsewhere, on the way to @/bin/program, is open to writing by other users "
       "(mode 0775)",
       true},
  };
  int number = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    const auto at = test::home() / std::to_string(++number);
    OwnFolder::useUserDatabase(row.database);
    const auto [said, ownFolder] =
        judged(at / "bin" / "program", at / "folder", row.mode, row.list, row.linked);
    std::string refused = row.refused;
    for (auto put = refused.find('@'); put != std::string::npos; put = refused.find('@', put)) {
      refused.replace(put, 1, at.string());
    }
    EXPECT_EQ(said.empty() ? "" : said.substr(said.find(" is not run: ") + 13, refused.size()),
              refused);
    EXPECT_TRUE(row.linked || ownFolder == refused.empty());
  }
  OwnFolder::useUserDatabase({});

  if (self != 0 || !fs::exists("/usr/sbin/useradd")) return;
  const auto administer = [](std::vector<std::string> argv) {
    const auto done = Subprocess::run({std::move(argv)});
    return done.launched && !done.exit.signalled && done.exit.status == 0;
  };
  const std::string first = "tvrn-own-" + std::to_string(::getpid()),
                    second = "tvrn-share" + first.substr(8);
  const auto useradd = [&](std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/usr/sbin/useradd", "--system", "--no-create-home"});
    return administer(argv);
  };
  ASSERT_TRUE(useradd({"--user-group", first}));
  ASSERT_NE(::getpwnam(first.c_str()), nullptr);
  const passwd made = *::getpwnam(first.c_str());
  // The first account's home in a folder it can reach; what is in it made on a thread whose user
  // is the first account, and judged there.
  std::string top = "/tmp/tvrn-account-XXXXXX";
  ASSERT_NE(::mkdtemp(top.data()), nullptr);
  const auto home = fs::path(top) / "home";
  fs::create_directory(home);
  ASSERT_TRUE(::chmod(top.c_str(), 0755) == 0 &&
              ::chown(home.c_str(), made.pw_uid, made.pw_gid) == 0);
  ::setenv("HOME", home.c_str(), 1);
  const auto asFirst = [&](int round) {
    std::pair<std::string, bool> seen;
    std::thread([&] {
      if (::syscall(SYS_setresgid, -1, made.pw_gid, -1) == 0 &&
          ::syscall(SYS_setresuid, -1, made.pw_uid, -1) == 0) {
        const auto at = home / std::to_string(round);
        seen = judged(at / "bin" / "program", at / "folder", 0775, "");
      }
    }).join();
    return seen;
  };
  EXPECT_EQ(asFirst(1), std::pair(std::string(), true));
  EXPECT_TRUE(useradd({"--gid", first, second}));
  const auto [said, ownFolder] = asFirst(2);
  EXPECT_NE(said.find(" is not run: " + open775), std::string::npos) << said;
  EXPECT_FALSE(ownFolder);
  EXPECT_TRUE(administer({"/usr/sbin/userdel", second}));
  EXPECT_TRUE(administer({"/usr/sbin/userdel", first}));
  fs::remove_all(top);
}

}  // namespace
}  // namespace tvrn
