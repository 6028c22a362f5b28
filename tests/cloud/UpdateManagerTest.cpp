#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "Version.h"
#include "base/Base64.h"
#include "base/Digest.h"
#include "cloud/UpdateArchive.h"
#include "cloud/UpdateAttemptLog.h"
#include "cloud/UpdateManager.h"
#include "fakes/support/RecordingHttpServer.h"
#include "fakes/support/UpdateArchiveMaker.h"
#include "platform/Paths.h"
#include "support/CapturedStderr.h"
#include "support/Ed25519Keys.h"
#include "support/Eventually.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using test::ArchiveEntry;

const std::string kRunning = kAppVersion;
constexpr const char* kNewer = "3.0.104";

std::string downloadingThen(const std::string& line) {
  return "Downloading v" + std::string(kNewer) + "...\n" + line;
}

class UpdateManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_BACKEND_URL", backend_.baseURL().c_str(), 1);
    ::setenv("TVRN_UPDATE_PUBLIC_KEY", Base64::encode(signer_.publicKey()).c_str(), 1);
  }

  void answer(const std::string& path, int status, std::string body,
              std::chrono::milliseconds delay = 0ms) {
    test::CannedResponse response;
    response.status = status;
    response.body = std::move(body);
    response.delay = delay;
    backend_.respond(path, response);
  }

  // Publishes the archive as the newest version, with its digest and signature unless given.
  void publish(const std::string& archive, std::string sha256 = {}, std::string signature = {}) {
    answer(
        "/runtime/latest", 200,
        json{{"version", kNewer},
             {"url", backend_.baseURL() + "/archive.tar.gz"},
             {"sha256", sha256.empty() ? Digest::sha256Hex(archive) : sha256},
             {"signature", signature.empty() ? Base64::encode(signer_.sign(archive)) : signature}}
            .dump());
    answer("/archive.tar.gz", 200, archive);
  }

  static fs::path share() { return Paths::localShare(); }

  test::RecordingHttpServer backend_;
  test::Ed25519KeyPair signer_;
};

TEST_F(UpdateManagerTest, CheckNowSaysWhatItFound) {
  struct Row {
    int status;
    json latest;
    std::string onDisk;  // bin/.server-version, when not empty
    std::string text;
  };
  const Row rows[] = {
      {500,
       {{"version", kNewer}},
       "",
       "Could not reach update server. Check your internet connection."},
      {200, {{"url", "x"}}, "", "Could not reach update server. Check your internet connection."},
      {200, {{"version", kRunning}}, "", "TVRN server v" + kRunning + " is up to date."},
      {200, {{"version", "3.0.99"}}, "3.0.104", "TVRN server v" + kRunning + " is up to date."},
      {200,
       {{"version", kNewer}},
       "3.0.104",
       "TVRN server v3.0.104 is already on disk (running v" + kRunning +
           "). Restart your AI clients to apply."},
      {200,
       {{"version", kNewer}},
       "3.0.105\n",
       "TVRN server v3.0.105 is already on disk (running v" + kRunning +
           "). Restart your AI clients to apply."},
  };
  for (const auto& row : rows) {
    fs::remove_all(share());
    if (!row.onDisk.empty()) test::writeFile(share() / "bin" / ".server-version", row.onDisk);
    answer("/runtime/latest", row.status, row.latest.dump());
    EXPECT_EQ(UpdateManager::shared().checkNow(), row.text) << row.latest;
  }
  EXPECT_TRUE(backend_.requestsTo("/archive.tar.gz").empty());
}

TEST_F(UpdateManagerTest, InstallsEachFileWithTheServerVersionLastAndLogsEachStep) {
  test::writeFile(share() / "bin" / "tavrin-server", "old server");
  test::writeFile(share() / "bin" / "keep-me", "untouched");
  publish(test::makeTarGz({
      {"./bin/", "", ArchiveEntry::Kind::folder},
      {"./bin/tavrin-server", "new server", ArchiveEntry::Kind::file, 0755},
      {"bin/helpers/teams-proxy", "proxy"},
      {"tray/tavrin-tray", "tray"},
  }));

  EXPECT_EQ(UpdateManager::shared().checkNow(),
            downloadingThen("✓ Server updated to v3.0.104. Restart your AI clients to apply.\n"
                            "✓ Tray updated to v3.0.104."));
  const std::map<std::string, std::string> installed = {
      {"bin/.server-version", kNewer},     {"bin/helpers/teams-proxy", "proxy"},
      {"bin/keep-me", "untouched"},        {"bin/tavrin-server", "new server"},
      {"tray/.tray-just-updated", kNewer}, {"tray/.tray-version", kNewer},
      {"tray/tavrin-tray", "tray"},
  };
  auto contents = test::contentsOf(share());
  contents.erase("update-log.json");
  EXPECT_EQ(contents, installed);
  struct stat info {};
  ASSERT_EQ(::stat((share() / "bin" / "tavrin-server").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u);

  const UpdateState log = UpdateAttemptLog::shared().load();
  std::vector<std::string> phases;
  for (const auto& attempt : log.attempts) {
    phases.emplace_back(toRaw(attempt.phase));
    EXPECT_TRUE(attempt.success);
    EXPECT_EQ(attempt.fromVersion, kRunning);
  }
  EXPECT_EQ(phases, (std::vector<std::string>{"fetch_latest", "download", "sign", "extract",
                                              "install", "tray", "complete"}));
  EXPECT_EQ(log.attempts.back().toVersion, kNewer);
  EXPECT_EQ(log.consecutiveFailures, 0);
  EXPECT_TRUE(log.lastSuccessAt.has_value());
}

TEST_F(UpdateManagerTest, RefusedUpdateLeavesBinAsItWas) {
  const test::Ed25519KeyPair stranger;
  const std::vector<ArchiveEntry> good = {{"bin/tavrin-server", "new"}, {"bin/a", "new a"}};
  const std::string goodArchive = test::makeTarGz(good);
  struct Row {
    std::string what;
    std::string archive;
    std::string sha256;
    std::string signature;
    std::string error;  // the start of the reason given
  };
  const auto with = [&good](ArchiveEntry entry) {
    auto entries = good;
    entries.push_back(std::move(entry));
    return test::makeTarGz(entries);
  };
  const Row rows[] = {
      {"climbs", with({"../x", "x"}), "", "", "refused a name that climbs out: ../x"},
      {"climbs inside", with({"bin/../../x", "x"}), "", "", "refused a name that climbs out"},
      {"absolute", with({"/tmp/x", "x"}), "", "", "refused an absolute name: /tmp/x"},
      {"elsewhere", with({"lib/x", "x"}), "", "", "refused a name outside bin/ and tray/"},
      {"symlink", with({"bin/link", "/etc/passwd", ArchiveEntry::Kind::symlink}), "", "",
       "refused a link: bin/link"},
      {"hard link", with({"bin/hard", "bin/a", ArchiveEntry::Kind::hardlink}), "", "",
       "refused a link: bin/hard"},
      {"not an archive", "plain text", "", "", "not a .tar.gz archive"},
      {"hash", goodArchive, std::string(64, '0'), "", "SHA-256 mismatch"},
      {"signature", goodArchive, "", Base64::encode(stranger.sign(goodArchive)),
       "the signature does not match"},
      // bin/b is a folder with a file in it, which no file replaces: the last move fails.
      {"rename", with({"bin/b", "new b"}), "", "", "cannot install"},
  };
  for (const auto& row : rows) {
    fs::remove_all(share());
    test::writeFile(share() / "bin" / "tavrin-server", "old");
    test::writeFile(share() / "bin" / "a", "old a");
    test::writeFile(share() / "bin" / "b" / "inside", "kept");
    const auto before = test::contentsOf(share() / "bin");
    publish(row.archive, row.sha256, row.signature);

    const std::string text = UpdateManager::shared().checkNow();
    EXPECT_EQ(text.rfind(downloadingThen("Server update failed: " + row.error), 0), 0u)
        << row.what << ": " << text;
    EXPECT_EQ(test::contentsOf(share() / "bin"), before) << row.what;
    EXPECT_FALSE(fs::exists(share() / ".update-staging")) << row.what;
    EXPECT_FALSE(fs::exists(share() / "tray")) << row.what;
    EXPECT_FALSE(UpdateAttemptLog::shared().load().attempts.back().success) << row.what;
  }
  EXPECT_FALSE(fs::exists(Paths::tempDir() / "x"));
}

// An install that fails part-way, and a replaced file that cannot be put back: the staging
// folder, which holds the previous version's file, outlives this attempt and the next.
TEST_F(UpdateManagerTest, AFileThatCannotBePutBackKeepsThePreviousProgram) {
  test::writeFile(share() / "bin" / "a", "old a");
  test::writeFile(share() / "bin" / "b" / "inside", "kept");  // the move of bin/b fails
  publish(test::makeTarGz({{"bin/a", "new a"}, {"bin/b", "new b"}}));
  const fs::path staging = share() / ".update-staging";
  const fs::path previous = staging / ".replaced" / "bin" / "a";
  UpdateArchive::setBeforeMoveHook([&](const fs::path& from, const fs::path& to) {
    if (from != previous) return;
    fs::remove(to);
    test::writeFile(to / "theirs", "theirs");
  });
  const std::string failed = UpdateManager::shared().checkNow();
  UpdateArchive::setBeforeMoveHook(nullptr);

  const std::string cause = "Server update failed: cannot install " + (share() / "bin/b").string();
  EXPECT_EQ(failed.rfind(downloadingThen(cause), 0), 0u) << failed;
  EXPECT_NE(failed.find("; could not put back " + (share() / "bin/a").string()), std::string::npos)
      << failed;
  EXPECT_EQ(test::readFile(previous), "old a");

  EXPECT_EQ(UpdateManager::shared().checkNow(),
            downloadingThen("Server update failed: an earlier update could not put back the files "
                            "in " +
                            (staging / ".replaced").string() +
                            "; move them back into place or remove " + staging.string()));
  EXPECT_EQ(test::readFile(previous), "old a");
}

TEST_F(UpdateManagerTest, AttemptLogKeepsTheNewestFiftyAndMovesADamagedFileAside) {
  const auto attempt = [](UpdatePhase phase, bool success, int n) {
    return UpdateAttempt{std::chrono::system_clock::now(),
                         kRunning,
                         kNewer,
                         phase,
                         success,
                         success ? std::nullopt : std::optional<std::string>("failed"),
                         n,
                         std::to_string(n)};
  };
  auto& log = UpdateAttemptLog::shared();
  for (int n = 0; n < 53; ++n) log.record(attempt(UpdatePhase::download, false, n));
  EXPECT_EQ(log.load().consecutiveFailures, 53);
  log.record(attempt(UpdatePhase::install, true, 53));
  EXPECT_EQ(log.load().consecutiveFailures, 53);  // only a good "complete" starts again
  log.record(attempt(UpdatePhase::complete, true, 54));
  log.record(attempt(UpdatePhase::sign, false, 55));
  UpdateState state = log.load();
  ASSERT_EQ(state.attempts.size(), UpdateAttemptLog::kMaxAttempts);
  EXPECT_EQ(state.attempts.front().note, "6");
  EXPECT_EQ(state.attempts.back().note, "55");
  EXPECT_EQ(state.attempts.back().error, "failed");
  EXPECT_EQ(state.consecutiveFailures, 1);
  EXPECT_TRUE(state.lastSuccessAt.has_value());

  // A damaged log is kept under another name, never written over.
  const auto file = share() / "update-log.json";
  test::writeFile(file, "{\"attempts\": [");
  log.record(attempt(UpdatePhase::download, false, 1));
  EXPECT_EQ(log.load().attempts.size(), 1u);
  int asideCount = 0;
  for (const auto& name : test::namesIn(share())) {
    if (name.rfind("update-log.json.corrupt-", 0) != 0) continue;
    ++asideCount;
    EXPECT_EQ(test::readFile(share() / name), "{\"attempts\": [");
  }
  EXPECT_EQ(asideCount, 1);

  // One that cannot be read at all is left alone.
  fs::remove(file);
  fs::create_directory(file);
  log.record(attempt(UpdatePhase::download, false, 2));
  EXPECT_TRUE(fs::is_directory(file));
  EXPECT_TRUE(log.load().attempts.empty());
}

TEST_F(UpdateManagerTest, TrayReadsTheMarkerWhereItIsWrittenThenAtTheOlderPlace) {
  const auto written = share() / "tray" / ".tray-just-updated";
  const auto older = share() / ".tray-just-updated";
  ASSERT_EQ(UpdateManager::updateTrayIfNeeded(kNewer), std::nullopt);
  EXPECT_EQ(test::readFile(share() / "tray" / ".tray-version"), kNewer);
  test::writeFile(older, "3.0.90");
  EXPECT_EQ(UpdateManager::takeJustUpdatedVersion(), kNewer);
  EXPECT_FALSE(fs::exists(written));
  EXPECT_EQ(UpdateManager::takeJustUpdatedVersion(), "3.0.90");
  EXPECT_FALSE(fs::exists(older));
  EXPECT_EQ(UpdateManager::takeJustUpdatedVersion(), std::nullopt);

  test::writeFile(written, "");  // an empty marker announces nothing
  test::writeFile(older, "3.0.91");
  EXPECT_EQ(UpdateManager::takeJustUpdatedVersion(), "3.0.91");
  EXPECT_EQ(UpdateManager::takeJustUpdatedVersion(), std::nullopt);
}

TEST_F(UpdateManagerTest, ChecksNeverOverlap) {
  // Answered slowly enough that the check in the background starts while the first waits.
  answer("/runtime/latest", 200, json{{"version", kRunning}}.dump(), 1500ms);
  const auto started = std::chrono::steady_clock::now();
  std::thread first([] { UpdateManager::shared().checkNow(); });
  ASSERT_TRUE(backend_.waitForRequests(1, 30s));
  test::CapturedStderr log;
  UpdateManager::shared().checkInBackground(true);  // skipped: one is under way
  EXPECT_TRUE(test::eventually(
      [&] {
        return log.soFar().find("An update check is already running; this one is skipped") !=
               std::string::npos;
      },
      "the check in the background skipped"));
  UpdateManager::shared().checkNow();  // waits for the first, then runs
  const auto took = std::chrono::steady_clock::now() - started;
  first.join();
  EXPECT_EQ(backend_.requestsTo("/runtime/latest").size(), 2u);
  EXPECT_GE(took, 3000ms);  // the two fetches one after the other
}

}  // namespace
}  // namespace tvrn
