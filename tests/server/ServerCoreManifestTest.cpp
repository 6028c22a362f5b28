#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "fakes/support/RecordingHttpServer.h"
#include "manifest/ManifestLoader.h"
#include "platform/Paths.h"
#include "server/ServerCore.h"
#include "support/AppFixtures.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// One tool of each kind that reads this machine, and one that composes two of them.
std::string fixture(const std::string& base) {
  return R"(<manifest version="7"><capabilities><capability type="native"/>
<capability type="http_local"/><capability type="sqlite"/><capability type="plist"/>
<capability type="compose"/><capability type="conditional"/></capabilities><tools>
<tool name="say_hi"><behavior type="conditional"><if condition="never"/><else><text>hi</text>
  </else></behavior></tool>
<tool name="local_item"><param name="id" type="string" required="true"/>
  <behavior type="http_local"><base_url>)" +
         base + R"(</base_url><path>/items/{{id}}</path></behavior></tool>
<tool name="notes_db"><param name="id" type="int"/><behavior type="sqlite">
  <db_path>~/Library/notes.db</db_path><query>SELECT title FROM notes WHERE id = :id</query>
  </behavior></tool>
<tool name="dock_size"><behavior type="plist"><path>~/Library/Preferences/dock.plist</path>
  <key_path>tilesize</key_path></behavior></tool>
<tool name="both"><behavior type="compose"><step tool="notes_db" params='{"id":{{id}}}'/>
  <step tool="dock_size"/></behavior></tool>
</tools></manifest>)";
}

class ServerCoreManifestTest : public ::testing::Test {
 protected:
  void TearDown() override { ServerCore::stop(); }

  std::string call(const std::string& name, const json& arguments = json::object()) {
    const auto reply = client_->call(
        test::request(++id_, "tools/call", {{"name", name}, {"arguments", arguments}}));
    if (!reply || !reply->contains("result")) return reply ? reply->dump() : "no reply";
    return reply->at("result").at("content").at(0).value("text", "");
  }

  // The manifest loads in the background: the listing shows its tools once it has.
  json listedWhenLoaded(const std::string& name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      const auto reply = client_->call(test::request(++id_, "tools/list"));
      if (!reply) return nullptr;
      for (const json& tool : reply->at("result").at("tools")) {
        if (tool["name"] == name) return tool;
      }
      std::this_thread::sleep_for(20ms);
    }
    return nullptr;
  }

  std::optional<test::SocketClient> client_;
  int id_ = 0;
};

TEST_F(ServerCoreManifestTest, ServesTheStoredManifestsTools) {
  test::RecordingHttpServer local;
  local.respond("/items/42", {200, R"({"item":42})", "application/json", {}, {}});
  ASSERT_TRUE(test::runSqlite(Paths::home() / "Library" / "notes.db",
                              "CREATE TABLE notes(id INTEGER, title TEXT);"
                              "INSERT INTO notes VALUES(1, 'Groceries');"));
  test::writePlist(Paths::home() / "Library" / "Preferences" / "dock.plist", {{"tilesize", 48}},
                   test::PlistFormat::binary);
  const auto bin = ManifestLoader::binDir();
  test::writeFile(bin / "manifest.xml", fixture(local.baseURL()));
  test::writeFile(bin / "manifest.version", "7");

  ServerCore::start();
  client_ = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client_);
  const json listed = listedWhenLoaded("notes_db");
  ASSERT_NE(listed, nullptr);
  EXPECT_EQ(listed["inputSchema"]["properties"]["id"]["type"], "integer");
  EXPECT_NE(test::readFile(ConfigManager::shared().logPath())
                .find("Loaded manifest v7 from disk (5 tools)"),
            std::string::npos);

  EXPECT_EQ(call("say_hi"), "hi");
  EXPECT_EQ(json::parse(call("local_item", {{"id", "42"}})), json::parse(R"({"item":42})"));
  EXPECT_EQ(json::parse(call("notes_db", {{"id", 1}})), json::parse(R"([{"title":"Groceries"}])"));
  EXPECT_EQ(call("dock_size"), "48");
  EXPECT_EQ(json::parse(call("both", {{"id", 1}})),
            json::parse(R"({"notes_db":[{"title":"Groceries"}],"dock_size":"48"})"));
}

}  // namespace
}  // namespace tvrn
