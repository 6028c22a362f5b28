#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/ConfigManager.h"
#include "core/Logger.h"
#include "fakes/support/RecordingHttpServer.h"
#include "manifest/ManifestLoader.h"
#include "manifest/ManifestStore.h"
#include "manifest/ManifestToolDispatcher.h"
#include "platform/FileStore.h"
#include "support/Ed25519Keys.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

// A manifest of `count` tools named <prefix>0, <prefix>1, ...
std::string manifestXML(const std::string& prefix, int count, const std::string& engine = "") {
  std::string xml = R"(<manifest version="1" tvrn_version=")" + engine +
                    R"("><capabilities><capability type="native"/></capabilities><tools>)";
  for (int i = 0; i < count; ++i) {
    xml += R"(<tool name=")" + prefix + std::to_string(i) + R"("><behavior type="say"/></tool>)";
  }
  return xml + "</tools></manifest>";
}

class ManifestLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logger::configure(test::home() / "manifest.log");
    ::setenv("TVRN_BACKEND_URL", backEnd_.baseURL().c_str(), 1);
    dispatcher_.setRegistry(registry_);
    loader_.setPublicKey(hexEncode(keys_.publicKey()));
  }

  // The back end announces this document, signed with the test's key unless told otherwise.
  void offer(const nlohmann::json& version, const std::string& xml,
             std::optional<std::string> signature = std::nullopt) {
    const nlohmann::json meta = {{"version", version},
                                 {"url", backEnd_.baseURL() + "/m.xml"},
                                 {"signature", signature.value_or(hexEncode(keys_.sign(xml)))}};
    answer("/runtime/manifest", meta.dump());
    answer("/m.xml", xml);
  }

  void answer(const std::string& path, std::string body, std::chrono::milliseconds delay = {}) {
    backEnd_.respond(path, {200, std::move(body), "application/json", delay, {}});
  }

  static std::size_t logged(std::string_view line) {
    const std::string log = test::readFile(test::home() / "manifest.log");
    std::size_t count = 0;
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
    return count;
  }

  std::size_t storedTools() const {
    const auto manifest = store_.manifest();
    return manifest ? manifest->tools.size() : 0;
  }

  test::RecordingHttpServer backEnd_;
  test::Ed25519KeyPair keys_;
  std::shared_ptr<ToolRegistry> registry_ = std::make_shared<ToolRegistry>();
  ManifestStore store_;
  ManifestToolDispatcher dispatcher_;
  ManifestLoader loader_{store_, dispatcher_, *registry_->context().settings};
  const std::filesystem::path bin_ = ManifestLoader::binDir();
};

TEST_F(ManifestLoaderTest, AcceptedUpdatesRotateTheFilesAndReplaceTheTools) {
  const std::string first = manifestXML("a", 2, "3.0.210");
  offer(7, first);
  EXPECT_EQ(loader_.currentVersion(), "0");
  loader_.checkForUpdate();

  const auto asked = backEnd_.requestsTo("/runtime/manifest").at(0);
  const std::string machineId = registry_->context().settings->getMachineId();
  EXPECT_EQ(asked.target,
            "/runtime/manifest?engine=3.0.210&machine_id=" + machineId + "&manifest_version=0");
  EXPECT_EQ(asked.header("X-Machine-Id"), machineId);
  EXPECT_EQ(test::namesIn(bin_), (std::vector<std::string>{"manifest.version", "manifest.xml"}));
  EXPECT_EQ(test::readFile(bin_ / "manifest.xml"), first);
  EXPECT_EQ(loader_.currentVersion(), "7");
  EXPECT_TRUE(registry_->tool("a1"));
  EXPECT_EQ(logged("Manifest updated to v7 (2 tools)"), 1u);

  const std::string second = manifestXML("b", 1);
  offer("8-beta", second);
  loader_.checkForUpdate();
  EXPECT_EQ(test::readFile(bin_ / "manifest.previous.xml"), first);
  EXPECT_EQ(test::readFile(bin_ / "manifest.xml"), second);
  EXPECT_EQ(test::readFile(bin_ / "manifest.version"), "8-beta");
  EXPECT_EQ(storedTools(), 1u);
  EXPECT_TRUE(registry_->tool("b0"));

  answer("/runtime/manifest", R"({"up_to_date":true})");
  loader_.checkForUpdate();
  EXPECT_EQ(logged("Manifest up to date (v8-beta)"), 1u);
  EXPECT_TRUE(backEnd_.requestsTo("/runtime/manifest").back().target.ends_with("=8-beta"));
}

// The manifest and its version are stored as a pair: when one cannot be written, the files stay
// the earlier pair and the update is not applied, so the next check offers it again.
TEST_F(ManifestLoaderTest, AFailedWriteLeavesTheManifestAndItsVersionAgreeing) {
  const auto block = [](const std::filesystem::path& path) {
    std::filesystem::remove_all(path);
    test::writeFile(path / "in-the-way", "");  // nothing is renamed over a folder that holds this
  };
  const auto stored = [this] { return test::contentsOf(bin_); };
  const std::string first = manifestXML("a", 2);
  block(bin_ / "manifest.version");
  offer(7, first);
  loader_.checkForUpdate();
  EXPECT_FALSE(std::filesystem::exists(bin_ / "manifest.xml"));
  EXPECT_EQ(storedTools(), 0u);

  std::filesystem::remove_all(bin_ / "manifest.version");
  loader_.checkForUpdate();
  EXPECT_EQ(test::readFile(bin_ / "manifest.xml"), first);
  EXPECT_EQ(loader_.currentVersion(), "7");

  // Over a stored pair, the earlier manifest is put back; one that cannot be read (and so could
  // not be put back) is not written over at all.
  for (const char* blocked : {"manifest.version", "manifest.xml"}) {
    SCOPED_TRACE(blocked);
    block(bin_ / blocked);
    const auto before = stored();
    offer(8, manifestXML("b", 1));
    loader_.checkForUpdate();
    EXPECT_EQ(stored(), before);
    EXPECT_EQ(storedTools(), 2u);
    EXPECT_FALSE(registry_->tool("b0"));
    std::filesystem::remove_all(bin_ / blocked);
    test::writeFile(bin_ / "manifest.version", "7");
    test::writeFile(bin_ / "manifest.xml", first);
  }
  EXPECT_EQ(logged("Manifest v7 could not be stored ("), 1u);
  EXPECT_EQ(logged("Manifest v8 could not be stored ("), 2u);
}

TEST_F(ManifestLoaderTest, ARefusedUpdateChangesNothing) {
  offer("1", manifestXML("kept", 2));
  loader_.checkForUpdate();
  ASSERT_EQ(storedTools(), 2u);

  const std::string good = manifestXML("new", 3);
  std::string flipped = good;
  flipped[10] ^= 1;
  const std::string signature = hexEncode(keys_.sign(good));
  const std::string tooNew = manifestXML("new", 1, "3.0.300");
  const std::string huge = good + std::string(ManifestLoader::kMaxDownloadBytes, ' ');
  const std::string downloadFailed =
      "checkForUpdate: XML download failed from " + backEnd_.baseURL();
  struct Row {
    std::string body;
    std::optional<std::string> signature;
    std::string line;
    bool builtInKey = false;
  } rows[] = {
      {flipped, signature, "Signature verification FAILED \u2014 manifest rejected"},
      {good, signature.substr(1), "Signature verifier: hex decode failed"},
      {good, signature.substr(0, 126) + "zz", "Signature verifier: hex decode failed"},
      {good, std::nullopt, "Signature verifier: invalid public key", true},
      {tooNew, std::nullopt, "Manifest requires engine 3.0.300, running 3.0.210 \u2014 skipping"},
      {huge, std::nullopt, downloadFailed + "/m.xml"},
      {"<manifest", std::nullopt, "Manifest XML parse failed \u2014 ROLLBACK, keeping previous"}};
  const auto files = test::contentsOf(bin_);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    loader_.setPublicKey(row.builtInKey ? std::string(ManifestSignatureVerifier::builtInKey())
                                        : hexEncode(keys_.publicKey()));
    offer("2", row.body, row.signature);
    const std::size_t before = logged(row.line);
    loader_.checkForUpdate();
    EXPECT_EQ(logged(row.line), before + 1);
    EXPECT_EQ(test::contentsOf(bin_), files);
    EXPECT_EQ(storedTools(), 2u);
    EXPECT_FALSE(registry_->tool("new0"));
  }
  EXPECT_EQ(logged("Manifest signature invalid \u2014 ROLLBACK, keeping previous"), 4u);
  answer("/runtime/manifest", R"({"up_to_date":false,"version":"3","url":"x"})");
  loader_.checkForUpdate();
  EXPECT_EQ(logged("checkForUpdate: meta fetch failed"), 1u);
}

TEST_F(ManifestLoaderTest, StartUpLoadsTheStoredManifestOrRollsBack) {
  const std::string good = manifestXML("disk", 2);
  const std::string previous = manifestXML("prev", 1);
  struct Row {
    std::optional<std::string> current;
    std::optional<std::string> previous;
    std::string line;
    std::size_t tools;
  } rows[] = {
      {std::nullopt, previous, "No manifest on disk \u2014 waiting for first checkForUpdate", 0},
      {good, std::nullopt, "Loaded manifest v7 from disk (2 tools)", 2},
      {"<broken", previous, "Rolled back to previous manifest (1 tools)", 1},
      {"<broken", "<broken too", "Rollback failed \u2014 no valid previous manifest", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    std::filesystem::remove_all(bin_);
    if (row.current) test::writeFile(bin_ / "manifest.xml", *row.current);
    if (row.previous) test::writeFile(bin_ / "manifest.previous.xml", *row.previous);
    test::writeFile(bin_ / "manifest.version", " 7\n");
    const auto files = test::contentsOf(bin_);
    store_.setManifest(std::nullopt);
    loader_.loadFromDisk();
    EXPECT_EQ(logged(row.line), 1u);
    EXPECT_EQ(storedTools(), row.tools);
    EXPECT_EQ(test::contentsOf(bin_), files);
  }
  EXPECT_TRUE(registry_->tool("prev0"));
}

// A check that finds another under way is skipped; the start-up load waits for it to end.
TEST_F(ManifestLoaderTest, OneManifestOperationAtATime) {
  offer(9, manifestXML("race", 2));
  // The download is held until the second check has been turned away, then takes a moment more,
  // so the start-up load most likely comes while the first check still runs.
  backEnd_.respond("/m.xml", {200, manifestXML("race", 2), "application/json", 300ms, {}, true});
  std::thread running([&] { loader_.checkForUpdate(); });
  ASSERT_TRUE(backEnd_.waitForRequests(2, 10s));
  loader_.checkForUpdate();
  EXPECT_EQ(logged("checkForUpdate: another manifest load or check is running \u2014 skipped"), 1u);
  backEnd_.release();
  loader_.loadFromDisk();
  running.join();

  const std::string log = test::readFile(test::home() / "manifest.log");
  const auto updated = log.find("Manifest updated to v9 (2 tools)");
  ASSERT_NE(updated, std::string::npos);
  EXPECT_LT(updated, log.find("Loaded manifest v9 from disk (2 tools)"));
  EXPECT_EQ(backEnd_.requestsTo("/runtime/manifest").size(), 1u);
}

// A check racing start-up loads either runs whole or is skipped: the store, the tools and the
// files on disk always tell of the same manifest.
TEST_F(ManifestLoaderTest, RacingChecksAndLoadsLeaveWholeResults) {
  offer(1, manifestXML("one", 1));
  loader_.checkForUpdate();
  offer(2, manifestXML("two", 2));
  std::vector<std::thread> threads;
  threads.emplace_back([&] { loader_.checkForUpdate(); });
  for (int i = 0; i < 3; ++i) threads.emplace_back([&] { loader_.loadFromDisk(); });
  for (auto& thread : threads) thread.join();

  const std::size_t tools = storedTools();
  ASSERT_TRUE(tools == 1 || tools == 2) << tools;
  const std::string prefix = tools == 1 ? "one" : "two";
  EXPECT_EQ(test::readFile(bin_ / "manifest.xml"), manifestXML(prefix, static_cast<int>(tools)));
  EXPECT_EQ(loader_.currentVersion(), std::to_string(tools));
  EXPECT_TRUE(registry_->tool(prefix + std::to_string(tools - 1)));
}

}  // namespace
}  // namespace tvrn
