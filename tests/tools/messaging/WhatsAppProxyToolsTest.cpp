#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bridges/HelperProxy.h"
#include "bridges/JXARunnerProxy.h"
#include "bridges/PimFixtures.h"
#include "core/Timeouts.h"
#include "core/ToolRegistry.h"
#include "platform/ExecutablePath.h"
#include "platform/OwnFolder.h"
#include "platform/Paths.h"
#include "status/ServiceStatusScanner.h"
#include "support/OtherUserLink.h"
#include "support/ToolCall.h"
#include "tools/messaging/MessagingTestSupport.h"
#include "tools/messaging/WhatsAppProxyTools.h"

namespace tvrn {
namespace {

using nlohmann::json;

// The WhatsApp family with a one-second client and the scanner scanning the private home on
// every call; fake-wacli records each command line it is run with.
class WhatsAppProxyToolsTest : public ::testing::Test, protected test::PimWorld {
 protected:
  void SetUp() override {
    ::setenv("FAKE_WACLI_ARGS", argsLog.c_str(), 1);
    registry.context().serviceStatus = [this] {
      return ServiceStatusScanner::scan({scanHelper, scanScripts}, stores,
                                        *registry.context().settings);
    };
    WhatsAppProxyTools::registerTools(registry, proxy);
  }

  void signIn() {
    test::placeFake("fake-wacli", "wacli");
    test::writeFile(test::home() / ".wacli" / "wacli.db", "");
  }
  std::vector<json> commandLines() const { return test::jsonLines(argsLog); }
  std::string call(const json& tool) {
    return test::textOf(test::callTool(registry, tool[0].get<std::string>(), tool[1]));
  }

  HelperProxy scanHelper;
  JXARunnerProxy scanScripts{Timeouts::jxaServiceScan};
  const std::filesystem::path argsLog = test::home() / "wacli-args.log";
  WhatsAppProxy proxy{1};
  ToolRegistry registry;
};

// Each call's command line; chats also gain a "chat_id" equal to their "JID".
TEST_F(WhatsAppProxyToolsTest, EachCallRunsItsCommandLine) {
  signIn();
  const std::string file = (test::home() / "photo.jpg").string();
  test::writeFile(file, "jpg");
  const std::vector<std::pair<json, std::vector<std::string>>> rows = {
      {{"whatsapp_list_chats", json::object()}, {"chats", "list", "--json", "--limit", "50"}},
      {{"whatsapp_read_messages", {{"chat_id", "1@s"}, {"limit", 5}}},
       {"messages", "list", "--json", "--chat", "1@s", "--limit", "5"}},
      {{"whatsapp_search_messages", {{"query", "hi there"}, {"chat_id", ""}, {"limit", "9"}}},
       {"messages", "search", "hi there", "--json", "--limit", "50"}},
      {{"whatsapp_search_messages", {{"query", "q"}, {"chat_id", "c@g.us"}, {"limit", -1}}},
       {"messages", "search", "q", "--json", "--limit", "-1", "--chat", "c@g.us"}},
      {{"whatsapp_send_message", {{"chat_id", "c"}, {"text", " hi "}, {"confirm", "true"}}},
       {"send", "text", "--json", "--to", "c", "--message", " hi "}},
      {{"whatsapp_send_file", {{"chat_id", "c"}, {"file_path", file}, {"confirm", true}}},
       {"send", "file", "--json", "--to", "c", "--file", "photo.jpg: jpg"}},
      {{"whatsapp_send_file",
        {{"chat_id", "c"}, {"file_path", file}, {"caption", "look"}, {"confirm", 1}}},
       {"send", "file", "--json", "--to", "c", "--file", "photo.jpg: jpg", "--caption", "look"}},
      // A link put in the file's place once it was checked takes nothing else to wacli.
      {{"whatsapp_send_file", {{"chat_id", "c"}, {"file_path", file}, {"confirm", true}}},
       {"send", "file", "--json", "--to", "c", "--file", "photo.jpg: jpg"}},
  };
  test::writeFile(test::home() / "secret.txt", "secret");
  std::filesystem::create_symlink(test::home() / "secret.txt", file + ".swap");
  for (const auto& [tool, command] : rows) {
    if (&tool == &rows.back().first) ::setenv("FAKE_WACLI_SWAP", file.c_str(), 1);
    std::filesystem::remove(argsLog);
    EXPECT_FALSE(call(tool).starts_with("failed")) << tool;
    EXPECT_EQ(commandLines(), std::vector<json>{json(command)});
  }

  ::setenv("FAKE_WACLI_STDOUT",
           R"( {"success":true,"data":[{"JID":"1@s","Name":"A"},{"Name":"B"},{"JID":5},"x"]}
)",
           1);
  EXPECT_EQ(test::jsonOf(test::callTool(registry, "whatsapp_list_chats")),
            json::parse(R"({"chats":[{"JID":"1@s","Name":"A","chat_id":"1@s"},{"Name":"B"},
                                     {"JID":5},"x"]})"));
}

// wacli's exits, outputs and answers, as the call reports them.
TEST_F(WhatsAppProxyToolsTest, WacliFailuresAndAnswersBecomeTheirTexts) {
  signIn();
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"", "failed: WhatsApp (wacli): invalid JSON — "},
      {"[1]", "failed: WhatsApp (wacli): invalid JSON — [1]"},
      {std::string(399, 'x') + "é", "failed: WhatsApp (wacli): invalid JSON — "},
      {R"({"success":false})", "failed: WhatsApp: wacli reported failure"},
      {R"({"success":false,"error":{"message":"rate limited"}})", "failed: WhatsApp: rate limited"},
      {R"({"success":false,"error":"no chat"})", "failed: WhatsApp: no chat"},
      {R"({"data":[1]})", "[\n  1\n]"},
      // An answer that is no object or array is its JSON text; a string is itself.
      {R"({"data":"sent"})", "sent"},
      {R"({"data":3})", "3"},
      {R"({"success":true})", "null"},
  };
  const json read = {"whatsapp_read_messages", {{"chat_id", "c"}}};
  for (const auto& [output, expected] : rows) {
    ::setenv("FAKE_WACLI_STDOUT", output.c_str(), 1);
    EXPECT_EQ(call(read), expected) << output;
  }
  ::setenv("FAKE_WACLI_EXIT", "1", 1);
  ::setenv("FAKE_WACLI_STDERR", " not paired\n", 1);
  ::setenv("FAKE_WACLI_STDOUT", "see log \n", 1);
  EXPECT_EQ(call(read), "failed: WhatsApp (wacli): not paired\nsee log");
}

// Values that wacli would take for options, and paths it cannot be given, are refused before
// anything runs; a preview runs nothing either.
TEST_F(WhatsAppProxyToolsTest, RefusalsAndPreviewsRunNothing) {
  signIn();
  const std::string file = (test::home() / "a.pdf").string();
  test::writeFile(file, "%PDF");
  const std::string note = "Preview only. Call again with confirm=true to send.";
  const std::vector<std::pair<json, std::string>> rows = {
      {{"whatsapp_send_message", {{"chat_id", "-x"}, {"text", "t"}, {"confirm", true}}},
       "failed: WhatsApp: chat_id must not start with '-'"},
      {{"whatsapp_read_messages", {{"chat_id", "--help"}}},
       "failed: WhatsApp: chat_id must not start with '-'"},
      {{"whatsapp_search_messages", {{"query", "-rf"}}},
       "failed: WhatsApp: query must not start with '-'"},
      {{"whatsapp_search_messages", {{"query", "q"}, {"chat_id", "-c"}}},
       "failed: WhatsApp: chat_id must not start with '-'"},
      {{"whatsapp_send_file", {{"chat_id", "c"}, {"file_path", "a.pdf"}, {"confirm", true}}},
       "failed: WhatsApp: file_path must be an absolute path"},
      {{"whatsapp_send_file", {{"chat_id", "c"}, {"file_path", "/no/such/file"}}},
       "failed: WhatsApp: file not found at /no/such/file"},
      {{"whatsapp_send_message", {{"chat_id", "c"}, {"text", "hi"}, {"confirm", false}}},
       json({{"chat_id", "c"}, {"note", note}, {"preview", true}, {"text", "hi"}}).dump(2)},
      {{"whatsapp_send_file", {{"chat_id", "c"}, {"file_path", file}}},
       json({{"caption", ""},
             {"chat_id", "c"},
             {"file_path", file},
             {"note", note},
             {"preview", true}})
           .dump(2)},
  };
  for (const auto& [tool, expected] : rows) EXPECT_EQ(call(tool), expected) << tool;
  EXPECT_TRUE(commandLines().empty());
}

TEST_F(WhatsAppProxyToolsTest, WithoutSignInEveryToolAnswersTheSignInHint) {
  test::placeFake("fake-wacli", "wacli");
  const std::string hint = json({{"error",
                                  "WhatsApp is not authenticated. Open Wacli, scan the QR code, "
                                  "and try again."}})
                               .dump(2);
  for (const char* tool :
       {"whatsapp_list_chats", "whatsapp_read_messages", "whatsapp_search_messages",
        "whatsapp_send_message", "whatsapp_send_file"}) {
    EXPECT_EQ(call({tool, json::object()}), hint) << tool;
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
}

// A wacli another user could have put in place, or could swap, runs nothing: the call names what
// they could change. Rows: what is done to what the row before left; why wacli is not run then.
TEST_F(WhatsAppProxyToolsTest, AWacliAnotherUserCouldReplaceRunsNothing) {
  signIn();
  const auto bin = Paths::localShare() / "bin", wacli = bin / "wacli";
  const json list = {"whatsapp_list_chats", json::object()};
  const uid_t self = ::geteuid(), other = test::kOtherUser;
  // A copy of the fake, put in place as an installer renames one there, given to `owner`.
  const auto putCopy = [&](uid_t owner, mode_t mode) {
    std::filesystem::copy_file(test::fakesDir() / "fake-wacli", bin / ".new");
    std::filesystem::rename(bin / ".new", wacli);
    return ::chmod(wacli.c_str(), mode) == 0 && ::chown(wacli.c_str(), owner, -1) == 0;
  };
  const std::vector<std::pair<std::function<bool()>, std::string>> rows = {
      {[] { return true; }, ""},
      // A second account whose primary group is the user's private group may write through it.
      {[&] {
         OwnFolder::useUserDatabase(test::anotherAccountInOwnGroup());
         return putCopy(self, 0775);
       },
       "it is open to writing by other users (mode 0775), who could change it"},
      // A wrapper that runs the client it was installed beside, found by its own path; neither
      // finds a descriptor of the check open.
      {[&] {
         OwnFolder::useUserDatabase({});
         std::filesystem::copy_file(test::fakesDir() / "fake-wacli", bin / "wacli-real");
         std::filesystem::remove(wacli);
         test::writeFile(wacli,
                         "#!/bin/sh\n[ -e /proc/$$/fd/3 ] && exit 3\n"
                         "exec \"$(dirname \"$0\")/wacli-real\" \"$@\"\n");
         return ::chmod(wacli.c_str(), 0755) == 0;
       },
       ""},
      {[&] { return putCopy(self, 0777); },
       "it is open to writing by other users (mode 0777), who could change it"},
      {[&] { return putCopy(other, 0755); },
       "it belongs to another user (nobody), who could change it as they like"},
      {[&] { return putCopy(self, 0755) && ::chown(bin.c_str(), other, -1) == 0; },
       "the folder " + bin.string() + ", on the way to " + wacli.string() +
           ", belongs to another user (nobody), who could put programs of its own in place of "
           "what lies in it"}};
  for (const auto& [plant, why] : rows) {
    if (!plant()) GTEST_SKIP() << "not root: another user's wacli and bin/ were left out";
    std::filesystem::remove(argsLog);
    const std::string answer = call(list);
    EXPECT_EQ(answer.starts_with("failed") ? answer : "",
              why.empty() ? ""
                          : "failed: WhatsApp (wacli): failed to launch — " + wacli.string() +
                                " is not run: " + why);
    EXPECT_EQ(commandLines().empty(), !why.empty());
  }

  // Swapped to and fro with another user's program while calls run: a call runs the file it
  // judged or refuses the other, never what was put in place after the check (no JSON answer).
  std::filesystem::remove_all(bin);
  test::placeFake("fake-wacli", "wacli");
  std::filesystem::copy_file("/usr/bin/true", bin / "other");
  ASSERT_EQ(::chown((bin / "other").c_str(), other, -1), 0);
  std::atomic<bool> done = false;
  std::thread swapper([&] {
    for (const timespec pause{0, 20000}; !done; ::nanosleep(&pause, nullptr)) {
      ::renameat2(AT_FDCWD, wacli.c_str(), AT_FDCWD, (bin / "other").c_str(), RENAME_EXCHANGE);
    }
  });
  for (int run = 0; run < 60; ++run) EXPECT_EQ(call(list).find("invalid JSON"), std::string::npos);
  done = true;
  swapper.join();
}

}  // namespace
}  // namespace tvrn
