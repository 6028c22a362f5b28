#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include "core/Config.h"
#include "core/ConfigManager.h"
#include "pim/PrivacyGate.h"
#include "platform/Keychain.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "support/CapturedStderr.h"
#include "support/OtherUserLink.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using Names = std::set<std::string>;

std::filesystem::path userFile() { return Paths::appSupport() / "config.json"; }
std::filesystem::path systemFile() { return Paths::systemConfigDir() / "config.json"; }

mode_t modeOf(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

json fileJson(const std::filesystem::path& path) { return json::parse(test::readFile(path)); }

std::vector<std::filesystem::path> filesStartingWith(const std::string& prefix) {
  std::vector<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator(Paths::appSupport())) {
    if (entry.path().filename().string().starts_with(prefix)) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

void setOrClear(const char* name, const char* value) {
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

// The machine id as a new process of the system sees it at start-up.
std::string machineIdOfANewProcess() {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    const std::string id = ConfigManager::shared().getMachineId();
    const bool sent = ::write(fds[1], id.data(), id.size()) == static_cast<ssize_t>(id.size());
    ::_exit(sent ? 0 : 1);
  }
  ::close(fds[1]);
  std::string id;
  char buffer[64];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) id.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  return id;
}

TEST(ConfigManagerTest, MergesSystemUserAndOverrideLayers) {
  // Each row: system file, user file, override file (nullptr: TVRN_CONFIG unset, "-": names a
  // missing file), TVRN_READ_ONLY, TVRN_PRIVACY_MODE; then what the accessors resolve.
  struct Row {
    const char *system, *user, *overrides, *readOnlyEnv, *privacyEnv;
    bool readOnly, privacyMode;
    Names tools, services;
  };
  // clang-format off
  const Row rows[] = {
      {R"({"read_only": false})", R"({"read_only": true})", nullptr, nullptr, nullptr, false, false, {}, {}},
      {R"({"read_only": false})", "{}", nullptr, "1", "1", true, true, {}, {}},
      {"{}", R"({"read_only": true, "privacy_mode": false})", nullptr, "true", "0", true, false, {}, {}},
      {R"({"privacy_mode": false})", R"({"privacy_mode": true})", nullptr, nullptr, nullptr, false, true, {}, {}},
      {R"({"disabled_services": ["mail"]})", R"({"disabled_services": []})", nullptr, nullptr, nullptr, false, false, {}, {}},
      {R"({"disabled_tools": null})", R"({"disabled_tools": ["a"]})", nullptr, nullptr, nullptr, false, false, {}, {}},
      {R"({"disabled_services": ["x"]})", R"({"disabled_tools": ["a", "b"], "disabled_services": ["y"]})", nullptr, nullptr, nullptr, false, false, {"a", "b"}, {"y"}},
      {R"({"read_only": false, "disabled_tools": ["a"]})", "{}", R"({"read_only": true, "disabled_tools": ["b"]})", nullptr, nullptr, true, false, {"b"}, {}},
      {R"({"disabled_tools": ["a"]})", R"({"read_only": true})", "-", nullptr, nullptr, true, false, {"a"}, {}},
      {"{not json", R"({"disabled_tools": ["a"]})", "[1, 2]", nullptr, nullptr, false, false, {"a"}, {}},
      {"{}", R"({"disabled_tools": "a", "disabled_services": ["a", 3]})", nullptr, nullptr, nullptr, false, false, {}, {}},
  };
  // clang-format on
  ConfigManager& store = ConfigManager::shared();
  const auto overridePath = test::home() / "override.json";
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.system) + " | " + row.user);
    std::filesystem::remove(overridePath);
    test::writeFile(systemFile(), row.system);
    test::writeFile(userFile(), row.user);
    if (row.overrides != nullptr && row.overrides != std::string_view("-")) {
      test::writeFile(overridePath, row.overrides);
    }
    setOrClear("TVRN_CONFIG", row.overrides != nullptr ? overridePath.c_str() : nullptr);
    setOrClear("TVRN_READ_ONLY", row.readOnlyEnv);
    setOrClear("TVRN_PRIVACY_MODE", row.privacyEnv);
    EXPECT_EQ(store.readOnly(), row.readOnly);
    EXPECT_EQ(store.privacyMode(), row.privacyMode);
    EXPECT_EQ(store.disabledTools(), row.tools);
    EXPECT_EQ(store.disabledServices(), row.services);
  }

  // load() applies the same layers to every key.
  test::writeFile(systemFile(), R"({"a": 1, "b": 1, "read_only": true})");
  test::writeFile(userFile(), R"({"b": 2, "c": 2, "read_only": false, "machine_id": 7})");
  test::writeFile(overridePath, R"({"c": 3})");
  ::setenv("TVRN_CONFIG", overridePath.c_str(), 1);
  EXPECT_EQ(store.load(),
            json::parse(R"({"a": 1, "b": 2, "c": 3, "read_only": true, "machine_id": 7})"));
  EXPECT_EQ(store.getMachineId(), "");
}

// The two variables that force a mode read the usual words for on and off, in any case; any other
// value turns the mode on too (the user meant something), with one warning naming the variable,
// however often it is read.
TEST(ConfigManagerTest, ModeVariablesTakeTheUsualWordsAndAnyOtherTurnsTheModeOnWithAWarning) {
  // Each row: the value (nullptr: unset), whether the mode is on, whether that warns.
  const std::tuple<const char*, bool, bool> rows[] = {
      {"1", true, false},      {"true", true, false}, {"YES", true, false}, {"On", true, false},
      {nullptr, false, false}, {"", false, false},    {"0", false, false},  {"False", false, false},
      {"no", false, false},    {"OFF", false, false}, {"2", true, true},    {"enabled", true, true},
      {" 1", true, true},      {"true ", true, true}};
  ConfigManager& store = ConfigManager::shared();
  ASSERT_TRUE(store.save({{"read_only", false}, {"privacy_mode", false}}));
  for (const std::string variable : {"TVRN_READ_ONLY", "TVRN_PRIVACY_MODE"}) {
    for (const auto& [value, on, warns] : rows) {
      SCOPED_TRACE(variable + "=" + (value ? value : "(unset)"));
      setOrClear(variable.c_str(), value);
      test::CapturedStderr log;
      for (int read = 0; read < 2; ++read) {
        EXPECT_EQ(variable == "TVRN_READ_ONLY" ? store.readOnly() : store.privacyMode(), on);
      }
      const std::string text = log.text();
      const std::string warning =
          "[config] WARN  " + variable + "=\"" + (value ? value : "") + "\" is neither on";
      EXPECT_EQ(text.find(warning) != std::string::npos, warns) << text;
      EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), warns ? 1 : 0) << text;
    }
    ::unsetenv(variable.c_str());
  }
}

TEST(ConfigManagerTest, SaveMergesIntoTheUserFileOnly) {
  ConfigManager& store = ConfigManager::shared();
  test::writeFile(systemFile(), R"({"system_only": true})");
  test::writeFile(userFile(), R"({"zeta": 1, "machine_id": "M"})");
  EXPECT_TRUE(store.save({{"alpha", "x"}, {"zeta", 2}, {"bad_bytes", "a\xff"}}));

  const std::string text = test::readFile(userFile());
  EXPECT_EQ(json::parse(text),
            json::parse(R"({"alpha": "x", "bad_bytes": "a\ufffd", "machine_id": "M", "zeta": 2})"));
  EXPECT_LT(text.find("\"alpha\""), text.find("\"bad_bytes\""));
  EXPECT_LT(text.find("\"machine_id\""), text.find("\"zeta\""));
  EXPECT_NE(text.find("\n  \"zeta\""), std::string::npos) << "pretty-printed";
  EXPECT_EQ(modeOf(userFile()), 0600u);
  EXPECT_EQ(filesStartingWith("").size(), 2u) << "config.json, keychain.json, no temporaries";
}

TEST(ConfigManagerTest, AUserFileThatStopsParsingIsLeftAsItIsAndKeepsItsLastGoodSettings) {
  ConfigManager& store = ConfigManager::shared();
  // Each row: what the file becomes ("->": a link to a missing file) and why it cannot be used.
  const std::pair<std::string, std::string> rows[] = {
      {R"({"read_only": true,})",
       "does not parse (line 1, column 20: syntax error while parsing object key - unexpected "
       "'}'; expected string literal)"},
      {R"({"read_only": "true"})",
       R"(cannot be used (line 1, column 12: "read_only" is "true", not true or false))"},
      {"{\n  \"privacy_mode\": 1\n}",
       R"(cannot be used (line 2, column 16: "privacy_mode" is 1, not true or false))"},
      {R"({"read_only": true, "read_only": false})",
       R"(does not parse (line 1, column 31: the key "read_only" is given twice))"},
      {R"({"read_only": true, "a": [{"b": 1, "b": 2}]})",
       R"(does not parse (line 1, column 38: the key "b" is given twice))"},
      {"->elsewhere.json", "is a link that leads nowhere (elsewhere.json)"}};
  for (const auto& [bytes, why] : rows) {
    SCOPED_TRACE(bytes);
    std::filesystem::remove(userFile());
    EXPECT_TRUE(store.save({{"read_only", true}, {"disabled_tools", {"t"}}}));
    ASSERT_TRUE(store.readOnly());
    // The governance in force stays, one error names the file and what holds meanwhile, and saves
    // fail without touching what the user wrote.
    const bool link = bytes.starts_with("->");
    std::filesystem::remove(userFile());
    if (link) {
      std::filesystem::create_symlink(bytes.substr(2), userFile());
    } else {
      test::writeFile(userFile(), bytes);
    }
    test::CapturedStderr captured;
    EXPECT_EQ(store.snapshot()->unreadable, userFile().string() + " " + why);
    EXPECT_TRUE(store.readOnly());
    EXPECT_EQ(store.disabledTools(), Names{"t"});
    EXPECT_FALSE(store.save({{"port", 1}}));
    EXPECT_FALSE(Config(store).set("port", 2));
    const std::string log = captured.text();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), link ? 3 : 1) << log;
    const std::string said = "[config] ERROR " + userFile().string() + " " + why + "; until it";
    EXPECT_NE(log.find(said), std::string::npos) << log;
    EXPECT_EQ(
        link ? std::filesystem::read_symlink(userFile()).string() : test::readFile(userFile()),
        link ? bytes.substr(2) : bytes);
    EXPECT_TRUE(filesStartingWith("config.json.corrupt-").empty());
  }

  // Once mended, the file is read again and saves work.
  std::filesystem::remove(userFile());
  test::writeFile(userFile(), R"({"read_only": false})");
  EXPECT_FALSE(store.readOnly());
  EXPECT_TRUE(store.save({{"port", 3}}));
  EXPECT_EQ(Config(store).port(), 3);
}

TEST(ConfigManagerTest, AChangedFileIsSeenAtTheNextReadEvenWithinTheSameSecondAndSize) {
  ConfigManager& store = ConfigManager::shared();
  // Each rewrite keeps the size, and in place keeps the inode; times are set back to one value.
  const auto rewrite = [](const std::filesystem::path& file, const std::string& text) {
    const bool existed = std::filesystem::exists(file);
    const auto time = existed ? std::filesystem::last_write_time(file)
                              : std::filesystem::file_time_type::clock::now();
    std::FILE* out = std::fopen(file.c_str(), "w");
    ASSERT_NE(out, nullptr);
    std::fputs(text.c_str(), out);
    std::fclose(out);
    std::filesystem::last_write_time(file, time);
  };
  for (const auto& file : {userFile(), systemFile()}) {
    std::filesystem::create_directories(file.parent_path());
    rewrite(file, R"({"read_only": true })");
    EXPECT_TRUE(store.readOnly()) << file;
    rewrite(file, R"({"read_only": false})");
    EXPECT_FALSE(store.readOnly()) << file;
    rewrite(file, R"({"read_only": true })");
    EXPECT_TRUE(store.readOnly()) << file;
    std::filesystem::remove(file);
    EXPECT_FALSE(store.readOnly()) << file;
  }
}

TEST(ConfigManagerTest, KeepsTheLastReadSettingsWhileAFileCannotBeRead) {
  ConfigManager& store = ConfigManager::shared();
  const auto readable = [](const std::filesystem::path& file, const char* bytes) {
    std::filesystem::remove_all(file);
    test::writeFile(file, bytes);
  };
  const auto unreadable = [](const std::filesystem::path& file) {
    std::filesystem::remove_all(file);
    test::writeFile(file / "inside", "{}");  // a folder in the file's place
  };

  // A file never read in this process counts as empty, as a missing one does.
  unreadable(systemFile());
  readable(userFile(), R"({"read_only": true})");
  EXPECT_TRUE(store.readOnly());
  EXPECT_EQ(store.disabledTools(), Names{});

  // Once read, each layer stands for what it last held while it cannot be read.
  readable(systemFile(), R"({"read_only": true, "disabled_tools": ["s"]})");
  readable(userFile(), R"({"disabled_services": ["mail"], "port": 9000})");
  EXPECT_EQ(store.disabledServices(), Names{"mail"});
  unreadable(systemFile());
  unreadable(userFile());
  EXPECT_TRUE(store.readOnly());
  EXPECT_EQ(store.disabledTools(), Names{"s"});
  EXPECT_EQ(store.disabledServices(), Names{"mail"});
  EXPECT_EQ(Config(store).port(), 9000);

  // A change to a file that cannot be read is not made: the file stays, with one warning.
  test::CapturedStderr captured;
  EXPECT_FALSE(store.save({{"read_only", false}}));
  EXPECT_FALSE(Config(store).set("port", 1));
  const std::string log = captured.text();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
  EXPECT_NE(log.find("config.json could not be read ("), std::string::npos) << log;
  EXPECT_TRUE(std::filesystem::is_directory(userFile()));
  EXPECT_TRUE(filesStartingWith("config.json.corrupt-").empty());
  EXPECT_TRUE(store.readOnly());

  // Content that reads but does not parse stands for what the file last held, too.
  readable(systemFile(), "{not json");
  EXPECT_TRUE(store.readOnly());
  EXPECT_EQ(store.disabledTools(), Names{"s"});

  // What a save wrote is what stands for the file afterwards.
  readable(userFile(), "{}");
  EXPECT_TRUE(store.save({{"disabled_services", {"notes"}}}));
  unreadable(userFile());
  EXPECT_EQ(store.disabledServices(), Names{"notes"});
}

// Every settings writer follows a link only where it belongs to the user or to root: with a file
// linked into a shared folder, a link another user put there would make the write land in any file
// of the user's.
TEST(ConfigManagerTest, SettingsWritersFollowNoLinkOfAnotherUser) {
  if (!test::canGiveLinksAway()) {
    GTEST_SKIP() << "only root can make a link that belongs to another user";
  }
  ConfigManager& store = ConfigManager::shared();
  PrivacyGate gate;
  const std::pair<std::filesystem::path, std::function<bool()>> writers[] = {
      {userFile(),
       [&] {
         return store.save({{"port", 1}});
       }},
      {userFile(), [&] { return Config(store).set("port", 2); }},
      {Paths::appSupport() / "keychain.json",
       [] { return Keychain::writeGenericPassword("service", "account", "secret"); }},
      {Paths::appSupport() / "defaults.json", [] { return UserDefaults::setBool("seen", true); }},
      {PrivacyGate::file(),
       [&] { return gate.setStatus(PrivacyEntity::calendar, AuthorizationStatus::granted).ok(); }},
  };
  for (const auto& [file, write] : writers) {
    SCOPED_TRACE(file.filename());
    test::expectNoWriteThroughAPlantedLink(file, write);
  }
}

// The settings are read as they are written: a user file that leads through another user's link,
// at the file or to a folder on the way, or that is another user's file under a second name,
// cannot be used. Its last good settings stay, the snapshot says why (the relay refuses then) and
// the refusal is logged once.
TEST(ConfigManagerTest, SettingsReadersTakeNothingOfAnotherUser) {
  if (!test::canGiveLinksAway()) {
    GTEST_SKIP() << "only root can give a link or a file to another user";
  }
  ConfigManager& store = ConfigManager::shared();
  const auto shared = test::home() / "shared";
  const auto theirs = shared / "theirs" / "config.json";
  test::writeFile(theirs, R"({"cloud_token": "theirs"})");
  ASSERT_EQ(::chown(theirs.c_str(), test::kOtherUser, test::kOtherUser), 0);
  ASSERT_TRUE(test::makeOtherUsersLink(theirs, shared / "config.json"));
  ASSERT_TRUE(test::makeOtherUsersLink(theirs.parent_path(), shared / "folder"));
  std::filesystem::create_directory_symlink(shared / "folder", test::home() / "mine");
  const std::string mine = R"({"cloud_token": "mine"})";
  const auto owned = [](const std::filesystem::path& at, const std::string& what) {
    return at.string() + ": a " + what + " owned by nobody (uid 65534), not by this user or root; ";
  };
  // What the user's file is made a link to (none: a second name of theirs), and why it is refused.
  const std::pair<std::filesystem::path, std::string> rows[] = {
      {shared / "config.json", owned(shared / "config.json", "link") + "not followed"},
      {test::home() / "mine" / "config.json", owned(shared / "folder", "link") + "not followed"},
      {"", owned(userFile(), "file") + "not read"}};
  for (const auto& [target, why] : rows) {
    SCOPED_TRACE(why);
    test::writeFile(userFile(), mine);
    ASSERT_EQ(store.load()["cloud_token"], "mine");
    std::filesystem::remove(userFile());
    if (target.empty()) {
      std::filesystem::create_hard_link(theirs, userFile());
    } else {
      std::filesystem::create_symlink(target, userFile());
    }
    test::CapturedStderr captured;
    for (int read = 0; read < 2; ++read) {
      const auto settings = store.snapshot();
      EXPECT_EQ(settings->values["cloud_token"], "mine");
      EXPECT_EQ(settings->unreadable, userFile().string() + " cannot be read (" + why + ")");
    }
    const std::string log = captured.text();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find(why), std::string::npos) << log;
    std::filesystem::remove(userFile());
  }
  test::writeFile(userFile(), mine);
  EXPECT_EQ(store.snapshot()->unreadable, std::nullopt);
}

TEST(ConfigManagerTest, ConcurrentChangesThroughBothAccessorsAreKept) {
  ConfigManager& store = ConfigManager::shared();
  constexpr int kThreads = 8, kChanges = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &store] {
      for (int i = 0; i < kChanges; ++i) {
        const std::string key = "k" + std::to_string(t) + "_" + std::to_string(i);
        if (t % 2 == 0) {
          EXPECT_TRUE(Config(store).set(key, i));
        } else {
          EXPECT_TRUE(store.save({{key, i}}));
        }
        store.readOnly();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(fileJson(userFile()).size(), 1u + kThreads * kChanges);
}

TEST(ConfigManagerTest, EveryWayTheSettingsChangeIsSeenByTheNextRead) {
  namespace fs = std::filesystem;
  ConfigManager& store = ConfigManager::shared();
  const fs::path overrideFile = test::home() / "override" / "override.json";
  const fs::path otherOverride = test::home() / "other.json";
  const fs::path dotfile = test::home() / "dotfiles" / "tavrin.json";
  const fs::path movedConfig = test::home() / "moved-config";
  const auto disabling = [](const char* tool) { return json{{"disabled_tools", {tool}}}.dump(); };
  // Each row sets a scene the store reads first, then changes the settings so that they disable
  // the row's tool.
  struct Row {
    const char* tool;
    std::function<void()> scene;
    std::function<void(const std::string& settings)> change;
  };
  const Row rows[] = {
      {"saved", [] {},
       [&](const std::string&) { EXPECT_TRUE(store.save(json::parse(disabling("saved")))); }},
      {"renamed-over", [] {},
       [](const std::string& settings) { test::replaceFile(userFile(), settings); }},
      {"in-place", [] {},
       [](const std::string& settings) { test::writeFile(userFile(), settings); }},
      {"link-target-renamed-over",
       [&] {
         test::writeFile(dotfile, "{}");
         fs::remove(userFile());
         fs::create_symlink(dotfile, userFile());
       },
       [&](const std::string& settings) { test::replaceFile(dotfile, settings); }},
      {"settings-folder-restored", [] {},
       [](const std::string& settings) {
         test::restoreFolder(userFile().parent_path());
         test::writeFile(userFile(), settings);
       }},
      {"system-folder-made", [] { fs::remove_all(systemFile().parent_path()); },
       [](const std::string& settings) { test::writeFile(systemFile(), settings); }},
      {"override-renamed-over",
       [&] {
         test::writeFile(overrideFile, "{}");
         ::setenv("TVRN_CONFIG", overrideFile.c_str(), 1);
       },
       [&](const std::string& settings) { test::replaceFile(overrideFile, settings); }},
      {"override-named-anew",
       [&] {
         test::writeFile(otherOverride, disabling("override-named-anew"));
         ::setenv("TVRN_CONFIG", overrideFile.c_str(), 1);
       },
       [&](const std::string&) { ::setenv("TVRN_CONFIG", otherOverride.c_str(), 1); }},
      {"config-home-moved",
       [&] {
         test::writeFile(movedConfig / "tavrin" / "config.json", disabling("config-home-moved"));
       },
       [&](const std::string&) { ::setenv("XDG_CONFIG_HOME", movedConfig.c_str(), 1); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tool);
    ::unsetenv("TVRN_CONFIG");
    fs::remove(systemFile());
    fs::remove(userFile());
    test::writeFile(userFile(), "{}");
    test::writeFile(overrideFile, "{}");
    row.scene();
    EXPECT_EQ(store.disabledTools(), Names{});
    row.change(disabling(row.tool));
    EXPECT_EQ(store.disabledTools(), Names{row.tool});
  }
}

TEST(ConfigManagerTest, OneSnapshotServesEveryReadUntilTheSettingsChange) {
  ConfigManager& store = ConfigManager::shared();
  EXPECT_TRUE(store.save({{"a", 1}}));
  const auto first = store.snapshot();
  // Beside config.json, the log grows and the status file is replaced all the time.
  std::ofstream(Paths::appSupport() / "server.log", std::ios::app) << "a line\n";
  test::replaceFile(Paths::appSupport() / "status.json", "{}");
  EXPECT_EQ(store.snapshot(), first);
  // The same settings written again keep the snapshot; another value makes a new one.
  test::writeFile(userFile(), test::readFile(userFile()));
  EXPECT_EQ(store.snapshot(), first);
  EXPECT_TRUE(store.save({{"a", 2}}));
  EXPECT_NE(store.snapshot(), first);
  EXPECT_EQ(store.snapshot()->values.at("a"), 2);
}

TEST(ConfigManagerTest, AChangeIsSeenAtOnceWhileOtherThreadsRead) {
  ConfigManager& store = ConfigManager::shared();
  // Readers on other threads may take the change's report off the queue before this thread
  // looks; it must still see the change.
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!done) static_cast<void>(store.snapshot());
    });
  }
  int seen = 0;
  for (int round = 0; round < 200; ++round) {
    test::replaceFile(userFile(), json{{"round", round}}.dump());
    if (store.snapshot()->values.value("round", -1) != round) break;
    seen = round + 1;
  }
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(seen, 200);
}

TEST(ConfigTest, ReadsOnlyTheUserFileWithTypedDefaults) {
  struct Row {
    const char* user;
    std::optional<std::string> apiKey;
    bool apiKeyEnabled;
    int port;
    std::string networkMode;
  };
  const Row rows[] = {
      {"{}", std::nullopt, false, 8765, "localhost"},
      {R"({"api_key": "", "port": "9000", "network_mode": 5})", "", false, 8765, "localhost"},
      {R"({"api_key": "k1", "port": 9000, "network_mode": "lan"})", "k1", true, 9000, "lan"},
      {R"({"port": 99999999999, "api_key": 4})", std::nullopt, false, 8765, "localhost"},
  };
  const Config config{ConfigManager::shared()};
  test::writeFile(systemFile(), R"({"api_key": "system", "port": 1})");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.user);
    test::writeFile(userFile(), row.user);
    EXPECT_EQ(config.apiKey(), row.apiKey);
    EXPECT_EQ(config.apiKeyEnabled(), row.apiKeyEnabled);
    EXPECT_EQ(config.port(), row.port);
    EXPECT_EQ(config.networkMode(), row.networkMode);
  }
  EXPECT_TRUE(config.save({{"only", 1}}));
  EXPECT_EQ(config.load(), json::parse(R"({"only": 1})"));
  EXPECT_EQ(config.value<json>("only"), 1);
  EXPECT_FALSE(config.value<bool>("only"));
}

TEST(MachineIdTest, StableAcrossRunsAndLossOfStoredCopies) {
  // A fresh account's first run leaves config.json holding the id and nothing else.
  const std::string first = machineIdOfANewProcess();
  EXPECT_EQ(first.size(), 36u) << first;
  EXPECT_EQ(fileJson(userFile()), json({{"machine_id", first}}));
  EXPECT_EQ(modeOf(userFile()), 0600u);
  EXPECT_EQ(modeOf(Paths::appSupport()), 0700u);
  std::filesystem::remove(userFile());
  EXPECT_EQ(machineIdOfANewProcess(), first) << "the keychain supplies it again";

  // Without the keychain item the id is derived again from the same hardware; a keychain
  // item wins, trimmed.
  const auto machineIdFile = test::home() / "machine-id";
  const auto keychainFile = Paths::appSupport() / "keychain.json";
  test::writeFile(machineIdFile, "3d1219c7c4c5404aaa1f6d2a48adfda4\n");
  std::filesystem::remove(keychainFile);
  const std::string derived = ConfigManager::generateMachineId(machineIdFile);
  std::filesystem::remove(keychainFile);
  EXPECT_EQ(ConfigManager::generateMachineId(machineIdFile), derived);
  EXPECT_TRUE(
      Keychain::writeGenericPassword("com.tavrin.machine-id", "machine-id", "  STORED-ID \n"));
  EXPECT_EQ(ConfigManager::generateMachineId(machineIdFile), "STORED-ID");
}

}  // namespace
}  // namespace tvrn
