#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/WallClock.h"
#include "core/ConfigManager.h"
#include "core/ToolRegistry.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/HttpClient.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/evernote/EvernoteCallback.h"
#include "tools/evernote/EvernoteEnml.h"
#include "tools/evernote/EvernoteTools.h"

namespace tvrn {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using test::CannedResponse;
using test::RecordingHttpServer;

constexpr double kNow = 1'800'000'000;
constexpr const char* kTokenPath = "/oauth2/token";
constexpr const char* kAuthorizePath = "/oauth2/authorize";
constexpr const char* kExpired = "Evernote session expired. Use connect_evernote to reconnect.";

CannedResponse answer(const json& body, int status = 200) {
  CannedResponse response;
  response.status = status;
  response.body = body.dump();
  return response;
}

CannedResponse redirectTo(const std::string& location) {
  CannedResponse response;
  response.status = 302;
  response.headers = {{"Location", location}};
  return response;
}

// Whether something accepts connections on 127.0.0.1 at the port.
bool accepts(int port) {
  return HttpClient::get("http://127.0.0.1:" + std::to_string(port) + "/", milliseconds(2000)).ok();
}

// The local addresses, as /proc/net/tcp and tcp6 write them, of the sockets listening on a port.
std::set<std::string> listeningAddresses(int port) {
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ":%04X", port);
  std::set<std::string> found;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A" && local.ends_with(suffix)) found.insert(local);
    }
  }
  return found;
}

// The family on a registry of its own, against a stand-in for Evernote's web and API host, with
// the stand-in browser following the sign-in page's redirect.
class EvernoteToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_EVERNOTE_URL", evernote.baseURL().c_str(), 1);
    ::setenv("TVRN_OPEN_COMMAND", (test::fakesDir() / "fake-browser").c_str(), 1);
    ::setenv("FAKE_BROWSER_OUT", page.c_str(), 1);
    WallClock::fixAt(kNow);
    EvernoteTools::registerTools(registry, milliseconds(10'000));
  }
  void TearDown() override { WallClock::useSystemClock(); }

  // The page the browser showed last; the browser may still be reading it when a tool returns.
  std::string shownPage() const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(page) && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    std::string shown = test::readFile(page);
    std::filesystem::remove(page);
    return shown;
  }
  const ConfigManager& settings() const { return *registry.context().settings; }
  std::string call(const std::string& tool, const json& arguments = json::object()) {
    return test::textOf(test::callTool(registry, tool, arguments));
  }
  void connectDirectly(double life = 3600, const std::string& refreshToken = "") {
    ASSERT_TRUE(settings().save({{"evernote_access_token", "A0"},
                                 {"evernote_refresh_token", refreshToken},
                                 {"evernote_token_expiry", kNow + life},
                                 {"evernote_account_email", "ana@example.org"}}));
  }
  json stored() const {
    const json all = json::parse(test::readFile(settings().configPath()));
    json keys = json::object();
    for (const auto& [key, value] : all.items()) {
      if (key.starts_with("evernote_")) keys[key] = value;
    }
    return keys;
  }

  RecordingHttpServer evernote;
  ToolRegistry registry;
  const std::string page = (test::home() / "browser-page.html").string();
};

TEST_F(EvernoteToolsTest, SignsInThroughTheBrowserWithAVerifiedCodeChallenge) {
  evernote.respond(kAuthorizePath, redirectTo("{redirect_uri}?code=C%252B1%2526x&state={state}"));
  evernote.respond(kTokenPath,
                   answer({{"access_token", "A1"}, {"refresh_token", "R1"}, {"expires_in", 100}}));
  evernote.respond("/edam/user", answer({{"attributes", {{"email", "ana@example.org"}}}}));
  EXPECT_EQ(call("connect_evernote"),
            "Connected to Evernote as ana@example.org. You can now use: list_notebooks, "
            "search_evernote, read_note, create_note, update_note.");
  EXPECT_NE(shownPage().find("✅ Evernote connected!"), std::string::npos);

  const auto authorize = evernote.requestsTo(kAuthorizePath);
  const auto exchange = evernote.requestsTo(kTokenPath);
  ASSERT_EQ(authorize.size(), 1u);
  ASSERT_EQ(exchange.size(), 1u);
  const std::string verifier = exchange[0].queryItem("code_verifier");
  EXPECT_EQ(verifier.size(), 64u);
  EXPECT_EQ(authorize[0].queryItem("code_challenge"), EvernoteTools::enCodeChallenge(verifier));
  EXPECT_EQ(authorize[0].queryItem("code_challenge_method"), "S256");
  EXPECT_EQ(authorize[0].queryItem("state").size(), 16u);
  EXPECT_EQ(authorize[0].queryItem("scope"), "note.read note.create note.update notebook.read");
  const std::string redirect = authorize[0].queryItem("redirect_uri");
  EXPECT_TRUE(redirect.starts_with("http://127.0.0.1:") && redirect.ends_with("/callback"));
  // The code came back holding "+" and "&": form-encoded, it stays one field.
  EXPECT_EQ(exchange[0].queryItem("code"), "C+1&x");
  EXPECT_EQ(exchange[0].queryItem("grant_type"), "authorization_code");
  EXPECT_EQ(exchange[0].queryItem("redirect_uri"), redirect);
  EXPECT_EQ(evernote.requestsTo("/edam/user")[0].header("Authorization"), "Bearer A1");
  EXPECT_EQ(stored(), json({{"evernote_access_token", "A1"},
                            {"evernote_refresh_token", "R1"},
                            {"evernote_token_expiry", kNow + 100},
                            {"evernote_account_email", "ana@example.org"}}));
  EXPECT_EQ(call("connect_evernote"),
            "Already connected as ana@example.org. Use disconnect_evernote to sign out.");

  EXPECT_EQ(call("disconnect_evernote"),
            "Evernote disconnected. Call connect_evernote to reconnect.");
  EXPECT_EQ(stored(), json({{"evernote_access_token", ""},
                            {"evernote_refresh_token", ""},
                            {"evernote_token_expiry", 0},
                            {"evernote_account_email", ""}}));
}

TEST_F(EvernoteToolsTest, ACallbackThatIsNotTheOneAskedForStoresNothing) {
  struct Case {
    std::string location;
    std::string failure;
    std::string pagePart;
  };
  const std::string mismatch = "Evernote login failed: State mismatch — possible CSRF. Try again.";
  const std::vector<Case> cases = {
      {"{redirect_uri}?code=C1", mismatch, "Evernote connected!"},
      {"{redirect_uri}?code=C1&state=wrong&state={state}x", mismatch, "Evernote connected!"},
      {"{redirect_uri}?error=%3Cb%3Eno%2526",
       "Evernote login failed: Evernote declined authorization: <b>no&", "<p>&lt;b&gt;no&amp;</p>"},
      {"{redirect_uri}?state={state}", "No authorization code received from Evernote. Try again.",
       "Evernote connected!"},
  };
  for (const auto& c : cases) {
    evernote.respond(kAuthorizePath, redirectTo(c.location));
    EXPECT_EQ(call("connect_evernote"), "failed: " + c.failure) << c.location;
    const std::string shown = shownPage();
    EXPECT_NE(shown.find(c.pagePart), std::string::npos) << shown;
  }
  EXPECT_TRUE(evernote.requestsTo(kTokenPath).empty());

  evernote.respond(kAuthorizePath, redirectTo("{redirect_uri}?code=C1&state={state}"));
  evernote.respond(kTokenPath, answer({{"error_description", "bad code"}}, 400));
  EXPECT_EQ(call("connect_evernote"), "failed: Evernote token error: bad code");
  evernote.respond(kTokenPath, answer({{"token_type", "bearer"}}));
  EXPECT_EQ(call("connect_evernote"), "failed: No access token in Evernote response");
  EXPECT_EQ(stored(), json::object());
}

TEST_F(EvernoteToolsTest, TheListenerIsOnLoopbackOnlyAndClosedWhenTheWaitEnds) {
  EvernoteTools::CallbackListener listener("state");
  const int port = listener.port();
  ASSERT_GT(port, 0);
  char loopback[16];
  std::snprintf(loopback, sizeof loopback, "0100007F:%04X", port);
  EXPECT_EQ(listeningAddresses(port), std::set<std::string>{loopback});
  EXPECT_FALSE(listener.waitForCallback(milliseconds(20)));
  EXPECT_FALSE(accepts(port));

  ToolRegistry shortWait;
  EvernoteTools::registerTools(shortWait, milliseconds(50));
  ::setenv("TVRN_OPEN_COMMAND", "true", 1);
  EXPECT_EQ(test::textOf(test::callTool(shortWait, "connect_evernote")),
            "failed: Evernote login timed out (120s). Call connect_evernote again to retry.");
}

TEST(EvernoteSecretsTest, VerifiersAreDrawnFromTheWholeAlphabetAndChallengedWithSHA256) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
  const std::string drawn = EvernoteTools::enRandomString(66 * 100);
  EXPECT_EQ(drawn.size(), 6600u);
  EXPECT_EQ(std::set<char>(drawn.begin(), drawn.end()),
            std::set<char>(alphabet.begin(), alphabet.end()));
  EXPECT_EQ(EvernoteTools::enCodeChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST_F(EvernoteToolsTest, TheTokenIsRenewedWithin300SecondsOfItsEnd) {
  struct Case {
    double life;
    std::string refreshToken;
    json renewal;  // null: no request expected
    std::string outcome;
  };
  const std::vector<Case> cases = {
      {301, "R+1&x", nullptr, "A0"},
      {300, "R+1&x", {{"access_token", "A2"}}, "A2"},
      {300, "", nullptr, kExpired},
      {-5, "R", json::object(), kExpired},
  };
  for (const auto& c : cases) {
    connectDirectly(c.life, c.refreshToken);
    if (!c.renewal.is_null()) evernote.respond(kTokenPath, answer(c.renewal));
    const std::size_t before = evernote.requestCount();
    const auto token = EvernoteTools::enAccessToken(settings());
    EXPECT_EQ(token ? token.value() : token.error().payload(), c.outcome) << c.life;
    EXPECT_EQ(evernote.requestCount() - before, c.renewal.is_null() ? 0u : 1u);
  }
  const auto renewals = evernote.requestsTo(kTokenPath);
  EXPECT_EQ(renewals[0].queryItem("refresh_token"), "R+1&x");
  // The renewal without a new refresh token keeps the stored one.
  connectDirectly(300, "R+1&x");
  evernote.respond(kTokenPath, answer({{"access_token", "A3"}, {"expires_in", 60}}));
  ASSERT_TRUE(EvernoteTools::enAccessToken(settings()));
  EXPECT_EQ(stored(), json({{"evernote_access_token", "A3"},
                            {"evernote_refresh_token", "R+1&x"},
                            {"evernote_token_expiry", kNow + 60},
                            {"evernote_account_email", "ana@example.org"}}));
  // A settings file that no longer parses cannot take the renewed token: the step says so.
  connectDirectly(300, "R");
  const std::string broken = "{\"evernote_access_token\": ";
  test::writeFile(settings().configPath(), broken);
  const auto unsaved = EvernoteTools::enAccessToken(settings());
  ASSERT_FALSE(unsaved);
  EXPECT_EQ(unsaved.error().payload(), "Could not save Evernote tokens");
  EXPECT_EQ(call("disconnect_evernote"), "failed: Could not save Evernote tokens");
  EXPECT_EQ(test::readFile(settings().configPath()), broken);
}

TEST_F(EvernoteToolsTest, NoteToolsReadAndWriteNotesThroughTheAPI) {
  EXPECT_EQ(call("update_note", {{"guid", "g"}}),
            "failed: Provide at least 'title' or 'content' to update.");
  EXPECT_EQ(call("list_notebooks"),
            "failed: Not connected to Evernote. Use connect_evernote first.");
  connectDirectly();

  json notes = json::array();
  for (int i = 0; i < 20; ++i) notes.push_back({{"title", "T" + std::to_string(i)}, {"guid", "g"}});
  notes[0]["updated"] = 1700000000000.0;
  evernote.respond("/edam/NoteStore/findNotesMetadata",
                   answer({{"notes", notes}, {"totalNotes", 57}}));
  const std::string found =
      call("search_evernote", {{"query", "tag:work"}, {"limit", 80}, {"notebook_guid", "n1"}});
  EXPECT_TRUE(found.starts_with(
      "Found 57 note(s) matching 'tag:work' (showing 20 of 57):\n\n• T0\n  guid: g\n"
      "  updated: 2023-11-14T22:13:20Z\n\n• T1\n  guid: g\n\n"))
      << found;
  const json search = evernote.requests().back().json();
  EXPECT_EQ(search["maxNotes"], 50);
  EXPECT_EQ(search["filter"], json({{"words", "tag:work"}, {"notebookGuid", "n1"}}));

  // A GUID holding "/" stays one segment of the note's address.
  const std::string notePath = "/edam/NoteStore/note/a/b";
  evernote.respond(
      notePath, answer({{"title", "Plan"},
                        {"updated", 1700000000000.0},
                        {"content", "<en-note><div>one &amp;lt;</div><div>two</div></en-note>"}}));
  EXPECT_EQ(call("read_note", {{"guid", "a/b"}}),
            "# Plan\n\none <\ntwo\n\n---\nguid: a/b\nupdated: 2023-11-14T22:13:20Z");
  EXPECT_EQ(evernote.requests().back().target,
            "/edam/NoteStore/note/a%2Fb?withContent=true&withResourceData=false");
  for (const auto& [status, body, failure] : std::vector<std::tuple<int, json, std::string>>{
           {404, json::object(), "Evernote error: HTTP 404"},
           {400, {{"errorCode", "BAD_DATA_FORMAT"}}, "Evernote error: BAD_DATA_FORMAT"},
           {401, json::object(),
            "Evernote authentication failed. Use connect_evernote to reconnect."},
           {200, {{"errorCode", "QUOTA"}}, "Evernote error: QUOTA"},
           {200, json::array(), "Unexpected response from Evernote"}}) {
    evernote.respond(notePath, answer(body, status));
    EXPECT_EQ(call("read_note", {{"guid", "a/b"}}), "failed: " + failure);
  }

  const std::string enml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE en-note SYSTEM "
      "\"http://xml.evernote.com/pub/enml2.dtd\"><en-note><p>a&lt;b &amp; c</p><p>two\r</p>"
      "</en-note>";
  evernote.respond("/edam/NoteStore/note", answer({{"guid", "new"}}));
  EXPECT_EQ(call("create_note", {{"title", "T"}, {"content", "a<b & c\ntwo\r"}}),
            "Note 'T' created successfully.\nguid: new");
  EXPECT_EQ(evernote.requests().back().json(), json({{"title", "T"}, {"content", enml}}));
  evernote.respond(notePath, answer(json::object()));
  EXPECT_EQ(call("update_note", {{"guid", "a/b"}, {"content", "a<b & c\ntwo\r"}}),
            "Note updated successfully.\nguid: a/b");
  const auto update = evernote.requests().back();
  EXPECT_EQ(update.method, "PUT");
  EXPECT_EQ(update.json(), json({{"guid", "a/b"}, {"content", enml}}));

  ::setenv("TVRN_READ_ONLY", "1", 1);
  const std::size_t before = evernote.requestCount();
  EXPECT_EQ(call("create_note", {{"title", "T"}, {"content", "x"}}),
            "failed: Permission denied: 'create_note' is not allowed in read-only mode");
  EXPECT_EQ(call("update_note", {{"guid", "g"}, {"title", "x"}}),
            "failed: Permission denied: 'update_note' is not allowed in read-only mode");
  EXPECT_EQ(evernote.requestCount(), before);
}

TEST(EvernoteEnmlTest, NoteBodiesReadBackAsTheirWords) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<en-note><div>one</div><div>two</div></en-note>", "one\ntwo"},
      {"<p>a &amp;lt; b&nbsp;&quot;c&quot; &amp;amp;gt;</p>", "a < b \"c\" &amp;gt;"},
      {"  plain\t\ttext\n", "plain\ntext"},
      {"<br/>", ""},
      {"bad \xff byte", "bad \xEF\xBF\xBD byte"}};
  for (const auto& [enml, text] : cases) EXPECT_EQ(EvernoteTools::enmlToText(enml), text) << enml;
}

}  // namespace
}  // namespace tvrn
