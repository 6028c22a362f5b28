#include <gtest/gtest.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/ToolRegistry.h"
#include "platform/ExecutablePath.h"
#include "status/ServiceStatusScanner.h"
#include "support/ToolCall.h"
#include "tools/MessagingTestSupport.h"
#include "tools/ServiceSnapshot.h"
#include "tools/WhatsAppProxyTools.h"

namespace tvrn {
namespace {

using nlohmann::json;

// The WhatsApp family with a one-second client and the scanner scanning the private home on
// every call; fake-wacli records each command line it is run with.
class WhatsAppProxyToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("FAKE_WACLI_ARGS", argsLog.c_str(), 1);
    ServiceSnapshot::setSource([] { return ServiceStatusScanner::scan(); });
    WhatsAppProxyTools::registerTools(registry, proxy);
  }
  void TearDown() override { ServiceSnapshot::setSource(nullptr); }

  void signIn() {
    test::placeFake("fake-wacli", "wacli");
    test::writeFile(test::home() / ".wacli" / "wacli.db", "");
  }
  std::vector<json> commandLines() const { return test::jsonLines(argsLog); }
  std::string call(const std::string& tool, const json& arguments = json::object()) {
    return test::textOf(test::callTool(registry, tool, arguments));
  }

  const std::filesystem::path argsLog = test::home() / "wacli-args.log";
  WhatsAppProxy proxy{1};
  ToolRegistry registry;
};

TEST_F(WhatsAppProxyToolsTest, EachCallRunsItsCommandLine) {
  signIn();
  const std::string file = (test::home() / "photo.jpg").string();
  test::writeFile(file, "jpg");
  struct Row {
    const char* tool;
    json arguments;
    std::vector<std::string> command;
  };
  const std::vector<Row> rows = {
      {"whatsapp_list_chats", json::object(), {"chats", "list", "--json", "--limit", "50"}},
      {"whatsapp_read_messages",
       {{"chat_id", "1@s.whatsapp.net"}, {"limit", 5}},
       {"messages", "list", "--json", "--chat", "1@s.whatsapp.net", "--limit", "5"}},
      {"whatsapp_search_messages",
       {{"query", "hi there"}, {"chat_id", ""}, {"limit", "9"}},
       {"messages", "search", "hi there", "--json", "--limit", "50"}},
      {"whatsapp_search_messages",
       {{"query", "q"}, {"chat_id", "c@g.us"}, {"limit", -1}},
       {"messages", "search", "q", "--json", "--limit", "-1", "--chat", "c@g.us"}},
      {"whatsapp_send_message",
       {{"chat_id", "c@g.us"}, {"text", " hello "}, {"confirm", "true"}},
       {"send", "text", "--json", "--to", "c@g.us", "--message", " hello "}},
      {"whatsapp_send_file",
       {{"chat_id", "c@g.us"}, {"file_path", file}, {"confirm", true}},
       {"send", "file", "--json", "--to", "c@g.us", "--file", file}},
      {"whatsapp_send_file",
       {{"chat_id", "c@g.us"}, {"file_path", file}, {"caption", "look"}, {"confirm", 1}},
       {"send", "file", "--json", "--to", "c@g.us", "--file", file, "--caption", "look"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tool);
    std::filesystem::remove(argsLog);
    EXPECT_FALSE(call(row.tool, row.arguments).starts_with("failed")) << row.arguments;
    EXPECT_EQ(commandLines(), std::vector<json>{json(row.command)});
  }
}

TEST_F(WhatsAppProxyToolsTest, ChatsGainAChatIdEqualToTheirJID) {
  signIn();
  ::setenv("FAKE_WACLI_STDOUT",
           R"(  {"success":true,"data":[{"JID":"1@s","Name":"A"},{"Name":"B"},{"JID":5},"x"]}
)",
           1);
  EXPECT_EQ(test::jsonOf(test::callTool(registry, "whatsapp_list_chats")),
            json::parse(R"({"chats":[{"JID":"1@s","Name":"A","chat_id":"1@s"},{"Name":"B"},
                                     {"JID":5},"x"]})"));
  ::setenv("FAKE_WACLI_STDOUT", R"({"data":{"n":1}})", 1);
  EXPECT_EQ(test::jsonOf(test::callTool(registry, "whatsapp_list_chats")),
            json::parse(R"({"chats":{"n":1}})"));
}

// wacli's exits, outputs and answers, as the call reports them.
TEST_F(WhatsAppProxyToolsTest, WacliFailuresAndAnswersBecomeTheirTexts) {
  signIn();
  struct Row {
    const char* name;
    std::vector<std::pair<const char*, std::string>> environment;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"exit 1 with both streams",
       {{"FAKE_WACLI_EXIT", "1"},
        {"FAKE_WACLI_STDERR", " not paired\n"},
        {"FAKE_WACLI_STDOUT", "see log \n"}},
       "failed: WhatsApp (wacli): not paired\nsee log"},
      {"nothing printed", {{"FAKE_WACLI_STDOUT", ""}}, "failed: WhatsApp (wacli): invalid JSON — "},
      {"not an object",
       {{"FAKE_WACLI_STDOUT", "[1]"}},
       "failed: WhatsApp (wacli): invalid JSON — [1]"},
      {"cut inside a character",
       {{"FAKE_WACLI_STDOUT", std::string(399, 'x') + "é"}},
       "failed: WhatsApp (wacli): invalid JSON — "},
      {"success false",
       {{"FAKE_WACLI_STDOUT", R"({"success":false})"}},
       "failed: WhatsApp: wacli reported failure"},
      {"error message object",
       {{"FAKE_WACLI_STDOUT", R"({"success":false,"error":{"message":"rate limited"}})"}},
       "failed: WhatsApp: rate limited"},
      {"error text",
       {{"FAKE_WACLI_STDOUT", R"({"success":false,"error":"no chat"})"}},
       "failed: WhatsApp: no chat"},
      {"no success member", {{"FAKE_WACLI_STDOUT", R"({"data":[1]})"}}, "[\n  1\n]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const char* name : {"FAKE_WACLI_EXIT", "FAKE_WACLI_STDERR", "FAKE_WACLI_STDOUT"}) {
      ::unsetenv(name);
    }
    for (const auto& [name, value] : row.environment) ::setenv(name, value.c_str(), 1);
    EXPECT_EQ(call("whatsapp_read_messages", {{"chat_id", "c"}}), row.expected);
  }
}

// Values that wacli would take for options, and paths it cannot be given, are refused before
// anything runs; so is a preview, which also runs nothing.
TEST_F(WhatsAppProxyToolsTest, RefusalsAndPreviewsRunNothing) {
  signIn();
  const std::string file = (test::home() / "a.pdf").string();
  test::writeFile(file, "%PDF");
  struct Row {
    const char* tool;
    json arguments;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"whatsapp_send_message",
       {{"chat_id", "-x"}, {"text", "t"}, {"confirm", true}},
       "failed: WhatsApp: chat_id must not start with '-'"},
      {"whatsapp_read_messages",
       {{"chat_id", "--help"}},
       "failed: WhatsApp: chat_id must not start with '-'"},
      {"whatsapp_search_messages",
       {{"query", "-rf"}},
       "failed: WhatsApp: query must not start with '-'"},
      {"whatsapp_search_messages",
       {{"query", "q"}, {"chat_id", "-c"}},
       "failed: WhatsApp: chat_id must not start with '-'"},
      {"whatsapp_send_file",
       {{"chat_id", "c"}, {"file_path", "a.pdf"}, {"confirm", true}},
       "failed: WhatsApp: file_path must be an absolute path"},
      {"whatsapp_send_file",
       {{"chat_id", "c"}, {"file_path", "/no/such/file"}},
       "failed: WhatsApp: file not found at /no/such/file"},
      {"whatsapp_send_message",
       {{"chat_id", "c"}, {"text", "  "}},
       "failed: Invalid 'text': expected non-empty string"},
      {"whatsapp_send_message",
       {{"chat_id", "c"}, {"text", "hi"}, {"confirm", false}},
       json({{"chat_id", "c"},
             {"note", "Preview only. Call again with confirm=true to send."},
             {"preview", true},
             {"text", "hi"}})
           .dump(2)},
      {"whatsapp_send_file",
       {{"chat_id", "c"}, {"file_path", file}},
       json({{"caption", ""},
             {"chat_id", "c"},
             {"file_path", file},
             {"note", "Preview only. Call again with confirm=true to send."},
             {"preview", true}})
           .dump(2)},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(call(row.tool, row.arguments), row.expected) << row.arguments;
  }
  EXPECT_TRUE(commandLines().empty());
}

TEST_F(WhatsAppProxyToolsTest, WithoutSignInEveryToolAnswersTheSignInHint) {
  test::placeFake("fake-wacli", "wacli");
  const std::string hint =
      json({{"error",
             "WhatsApp is not authenticated. Open Wacli, scan the QR code, and try "
             "again."}})
          .dump(2);
  for (const char* tool :
       {"whatsapp_list_chats", "whatsapp_read_messages", "whatsapp_search_messages",
        "whatsapp_send_message", "whatsapp_send_file"}) {
    EXPECT_EQ(call(tool), hint) << tool;
  }
  EXPECT_TRUE(commandLines().empty());
}

// An answer far larger than a pipe holds arrives whole; a wacli that does not answer in time
// is ended; a missing one is named where it was looked for last.
TEST_F(WhatsAppProxyToolsTest, LargeSlowAndMissingWacli) {
  const auto missing = proxy.call("list_chats", json::object());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().description(), "WhatsApp (wacli) binary not found at " +
                                               (ExecutablePath::folder() / "wacli").string());

  signIn();
  ::setenv("FAKE_WACLI_BIG_KIB", "200", 1);
  const auto big = proxy.call("read_messages", {{"chat_id", "c"}});
  ASSERT_TRUE(big) << big.error().description();
  EXPECT_EQ(big.value().asString()->size(), 200u * 1024);

  ::setenv("FAKE_WACLI_DELAY_MS", "30000", 1);
  const auto slow = proxy.call("list_chats", json::object());
  ASSERT_FALSE(slow);
  EXPECT_EQ(slow.error().description(), "WhatsApp (wacli): command timed out");

  const auto unknown = proxy.call("delete_chat", json::object());
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().description(), "Unknown WhatsApp method: delete_chat");
}

}  // namespace
}  // namespace tvrn
