#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "platform/Paths.h"
#include "server/ServerCore.h"
#include "support/OwnProcesses.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// What a running server keeps in the user's files, and what it takes from them, while the user
// keeps them their own way: settings linked from elsewhere, a settings folder restored from a
// backup, the audit record of a change.
class ServerCoreFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { test::useUnusedStatusPort(); }
  void TearDown() override { ServerCore::shutdown(); }

  void start() {
    ASSERT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
    client_ = test::SocketClient::connect(IPCServer::socketPath());
    ASSERT_TRUE(client_) << "no connection to " << IPCServer::socketPath();
  }

  // The call's result; a failed one saying what came instead when no result came.
  json call(const std::string& name, const json& arguments = json::object()) {
    const auto reply = client_->call(
        test::request(++id_, "tools/call", {{"name", name}, {"arguments", arguments}}),
        std::chrono::seconds(30));
    if (reply && reply->contains("result")) return reply->at("result");
    const std::string instead = reply ? reply->dump() : "no reply";
    return {{"isError", true}, {"content", {{{"type", "text"}, {"text", instead}}}}};
  }

  static bool failed(const json& result) { return result.value("isError", false); }
  static std::string textOf(const json& result) { return result["content"][0].value("text", ""); }

  std::optional<test::SocketClient> client_;
  int id_ = 0;
};

// A config.json kept in a dotfiles folder and linked into place: what the server saves goes into
// the user's file, the link stays, and the user's later edits there hold at the next call.
TEST_F(ServerCoreFilesTest, AConfigFileLinkedFromTheUsersOwnFolderStaysALinkAndIsObeyed) {
  const fs::path own = test::home() / "dotfiles" / "tavrin.json";
  const fs::path config = Paths::appSupport() / "config.json";
  test::writeFile(own, R"({"theme": "dark"})");
  fs::create_directories(config.parent_path());
  fs::create_symlink(own, config);

  start();
  ASSERT_TRUE(client_->call(test::request(++id_, "tools/list")));
  const json listed = call("list_calendar_names");
  EXPECT_FALSE(failed(listed)) << textOf(listed);

  EXPECT_TRUE(fs::is_symlink(config));
  const json saved = json::parse(test::readFile(own), nullptr, false);
  for (const char* key : {"theme", "machine_id", "tools_listed_at", "first_tool_call_at"}) {
    EXPECT_TRUE(saved.contains(key)) << key << " in " << saved.dump();
  }

  const struct {
    const char* key;
    json value;
    const char* tool;
    json arguments;
    std::string refusal;
  } edits[] = {
      {"read_only",
       true,
       "create_reminder",
       {{"title", "Milk"}, {"confirm", true}},
       "'create_reminder' is not allowed in read-only mode"},
      {"disabled_tools", json::array({"list_calendar_names"}), "list_calendar_names",
       json::object(), "'list_calendar_names' is disabled by your organisation's IT policy"},
  };
  json edited = saved;
  for (const auto& edit : edits) {
    edited[edit.key] = edit.value;
    test::replaceFile(own, edited.dump(2));
    const json result = call(edit.tool, edit.arguments);
    EXPECT_TRUE(failed(result)) << edit.key;
    EXPECT_NE(textOf(result).find(edit.refusal), std::string::npos) << textOf(result);
  }
}

// A restore from a backup swaps the settings folder for a copy; what the user then writes into the
// copy holds at the next call, without a restart.
TEST_F(ServerCoreFilesTest, ASettingsFolderRestoredFromABackupIsFollowed) {
  start();
  const json granted = call("list_calendar_names");  // and recorded so
  ASSERT_FALSE(failed(granted)) << textOf(granted);

  const fs::path folder = Paths::appSupport();
  const fs::path restored = folder.string() + ".restored";
  fs::copy(folder, restored, fs::copy_options::recursive);
  // In one step: two renames one after the other would race the server's own writes there.
  ASSERT_EQ(::renameat2(AT_FDCWD, restored.c_str(), AT_FDCWD, folder.c_str(), RENAME_EXCHANGE), 0);
  test::writeFile(folder / "pim" / "authorization.json", R"({"calendar": "denied"})");
  json settings = json::parse(test::readFile(folder / "config.json"));
  settings["disabled_tools"] = {"list_reminders"};
  test::writeFile(folder / "config.json", settings.dump());

  const json calendars = call("list_calendar_names");
  EXPECT_TRUE(failed(calendars)) << textOf(calendars);
  const json reminders = call("list_reminders");
  EXPECT_NE(textOf(reminders).find("is disabled by your organisation's IT policy"),
            std::string::npos)
      << textOf(reminders);
}

// The record of a change is in audit.log before the client hears of the change: a crash right
// after cannot lose it.
TEST_F(ServerCoreFilesTest, AConfirmedChangeIsInTheAuditLogWhenItsAnswerArrives) {
  start();
  const json created = call("create_reminder", {{"title", "Milk"}, {"confirm", true}});
  ASSERT_FALSE(failed(created)) << textOf(created);
  const std::string audit = test::readFile(ConfigManager::shared().auditLogPath());
  EXPECT_NE(audit.find(R"("tool":"create_reminder")"), std::string::npos) << audit;
}

}  // namespace
}  // namespace tvrn
