#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "base/Timestamp.h"
#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "core/MCPClientTracker.h"
#include "core/PushMessageStore.h"
#include "core/ServerContext.h"
#include "core/ToolCallCounter.h"
#include "core/ToolErrorCounter.h"
#include "fakes/support/RecordingHttpServer.h"
#include "manifest/ManifestStore.h"
#include "platform/HttpClient.h"
#include "platform/Paths.h"
#include "platform/SocketOwner.h"
#include "platform/Subprocess.h"
#include "status/StatusDocument.h"
#include "status/StatusServer.h"
#include "support/CapturedStderr.h"
#include "support/ChildTestRun.h"
#include "support/Eventually.h"
#include "support/OtherUserLink.h"
#include "support/TestEnv.h"
#include "tray/ServerStatus.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kVersion = "3.0.100";

HttpResult send(int port, const std::string& method, const std::string& path,
                const std::string& body = "", HttpHeaders headers = {}) {
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
  return HttpClient::perform({method, url, std::move(headers), body, 10s});
}

// The status route's HTTP status on one loopback address, 0 when it did not answer in `patience`.
int statusCodeOn(const std::string& host, int port, std::chrono::milliseconds patience) {
  const std::string authority = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  const auto answer = HttpClient::perform(
      {"GET", "http://" + authority + ":" + std::to_string(port) + "/status", {}, "", patience});
  return answer ? answer.value().status : 0;
}

// Whether the status route answers on that address within `patience`, asked again while nothing
// listens there yet.
bool answersWithin(const std::string& host, int port, std::chrono::milliseconds patience) {
  const auto until = std::chrono::steady_clock::now() + patience;
  while (statusCodeOn(host, port, 1s) != 200) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

json postJSON(int port, const std::string& path, const std::string& body) {
  const auto answer = send(port, "POST", path, body, {{"Content-Type", "application/json"}});
  if (!answer || answer.value().status != 200) return "no answer";
  return json::parse(answer.value().body, nullptr, false);
}

// The status document once the server answers with `version` (any, when empty), else null.
json statusWithin(int port, std::chrono::milliseconds patience, const std::string& version = "") {
  const auto until = std::chrono::steady_clock::now() + patience;
  do {
    if (auto answer = send(port, "GET", "/status"); answer && answer.value().status == 200) {
      json document = json::parse(answer.value().body, nullptr, false);
      if (version.empty() || document["version"] == version) return document;
    }
    std::this_thread::sleep_for(20ms);
  } while (std::chrono::steady_clock::now() < until);
  return nullptr;
}

json userSettings() {
  return json::parse(test::readFile(ConfigManager::shared().configPath()), nullptr, false);
}

// Every service the scanner writes reaches the tray; teams' integer tenants reads as absent.
void expectEveryServiceReported(const Services& s) {
  EXPECT_TRUE(s.email && s.calendar && s.contacts && s.onedrive && s.teams && s.reminders &&
              s.notes && s.messages && s.finder && s.safari && s.omnifocus && s.nordvpn &&
              s.slack && s.whatsapp && s.m365);
  EXPECT_FALSE(s.teams && s.teams->tenants);
}

void setUserKey(const char* key, const std::optional<json>& value) {
  EXPECT_TRUE(ConfigManager::updateUserFile(ConfigManager::shared().configPath(), [&](json& user) {
    user.erase(key);
    if (value) user[key] = *value;
  }));
}

// The port of a TCP socket's own (getsockname) or far (getpeername) end, 0 when it has none.
int portOf(int fd, int (*name)(int, sockaddr*, socklen_t*)) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (name(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port);
  return address.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port) : 0;
}

// A peer no HTTP library would imitate: raw bytes over TCP to one loopback address, from a socket
// this user made, or another user's program (`stranger`).
class RawPeer {
 public:
  RawPeer(const std::string& host, int port, bool stranger = false) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (host.find(':') != std::string::npos) {
      auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
      in6.sin6_family = AF_INET6;
      in6.sin6_port = htons(static_cast<std::uint16_t>(port));
      ::inet_pton(AF_INET6, host.c_str(), &in6.sin6_addr);
      length = sizeof in6;
    } else {
      auto& in4 = reinterpret_cast<sockaddr_in&>(address);
      in4.sin_family = AF_INET;
      in4.sin_port = htons(static_cast<std::uint16_t>(port));
      ::inet_pton(AF_INET, host.c_str(), &in4.sin_addr);
      length = sizeof in4;
    }
    const auto make = [&address] {
      return ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    };
    fd_ = stranger ? test::madeByOtherUser(make).value_or(-1) : make();
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
  }
  ~RawPeer() { ::close(fd_); }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  bool connected() const { return connected_; }
  int localPort() const { return portOf(fd_, ::getsockname); }
  // False once the server has closed or reset the connection.
  bool send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }
  // Everything the server sends once it starts answering, until it closes; nothing when it
  // closes without a word or says nothing within `patience`.
  std::string answer(std::chrono::milliseconds patience = 5s) {
    pollfd watched{fd_, POLLIN, 0};
    if (::poll(&watched, 1, static_cast<int>(patience.count())) <= 0) return {};
    ::shutdown(fd_, SHUT_WR);  // lets a server that still reads the rest of a body stop at once
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while (::poll(&watched, 1, static_cast<int>(patience.count())) > 0 &&
           (got = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }
  // True when the server closes the connection within `patience` without sending anything.
  bool closedWithoutAWord(std::chrono::milliseconds patience = 5s) {
    pollfd watched{fd_, POLLIN, 0};
    char byte = 0;
    return ::poll(&watched, 1, static_cast<int>(patience.count())) > 0 &&
           ::recv(fd_, &byte, 1, 0) == 0;
  }
  // The status code of the answer, 0 when none came.
  int answerStatus(std::chrono::milliseconds patience = 5s) {
    const std::string text = answer(patience);
    return text.starts_with("HTTP/1.1 ") ? std::stoi(text.substr(9, 3)) : 0;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

class StatusServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = test::useUnusedStatusPort();
    server_.start();
    ASSERT_FALSE(statusWithin(port_, 30s).is_null());
    ASSERT_TRUE(answersWithin("::1", port_, 30s));
  }
  void TearDown() override { server_.stop(); }

  // The kernel's answer of who made a peer's socket, or none while lookupFails_ says so. The
  // keeper's answer never fails: on a busy machine its connection may be accepted only then.
  StatusServer::Options lookingUpOwners() {
    StatusServer::Options options;
    options.peerOwner = [this](int socket) -> Result<uid_t, std::string> {
      if (lookupFails_ && portOf(socket, ::getpeername) != keeperPort_)
        return fail(std::string("no answer"));
      return SocketOwner::ofLoopbackPeer(socket);
    };
    return options;
  }

  int port_ = 0;
  std::atomic<bool> lookupFails_{false};
  std::atomic<int> keeperPort_{0};
  std::shared_ptr<ServerContext> context_ = std::make_shared<ServerContext>();
  StatusServer server_{kVersion, lookingUpOwners(), context_};
};

// A page of any web site, a name rebound to 127.0.0.1, or another user's program must neither
// read nor change anything; the tray, the counters and the settings page must pass.
TEST_F(StatusServerTest, RefusesRequestsThatDoNotComeFromThisMachinesOwnClients) {
  const std::string own = std::to_string(port_), other = std::to_string(port_ ^ 1);
  // Who made the connection: this user, nobody over either address, or no one the kernel names.
  enum class Peer { own, stranger, stranger6, unknown };
  struct Case {
    std::string method, host = "", origin = "", type = "";  // empty: header not set
    int status = 0;
    std::string path = "";  // empty: /config for a POST, /status for a GET
    Peer peer = Peer::own;
    bool bodyWithheld = false;  // only the headers are sent
    // Nothing at all is sent: the answer comes before half the 10 s a request may take to arrive,
    // so it was not read first (a busy machine may take seconds to answer at once).
    bool silent = false;
    // Other users' silent connections held open meanwhile, more than the places: they are all
    // answered as soon, and a silent connection of the user's keeps its place.
    std::size_t crowd = 0;
  };
  const auto post = [](const char* path, Peer peer = Peer::stranger, bool withheld = false) {
    return Case{
        .method = "POST", .status = 403, .path = path, .peer = peer, .bodyWithheld = withheld};
  };
  const Case cases[] = {
      {"GET", "", "", "", 200},
      {"GET", "LOCALHOST:" + own, "", "", 200},
      {"GET", "evil.test:" + own, "", "", 403},
      {"GET", "127.0.0.1:" + other, "", "", 403},
      {"GET", "127.0.0.1", "", "", 403},
      {"POST", "", "", "application/json; charset=utf-8", 200},
      {"POST", "", "http://localhost:" + own, "application/json", 200},
      {"POST", "evil.test:" + own, "", "application/json", 403},
      {"POST", "", "http://evil.test", "application/json", 403},
      {"POST", "", "http://127.0.0.1:" + other, "application/json", 403},
      {"POST", "", "null", "application/json", 403},
      {"POST", "", "", "text/plain", 415},
      // First of the refused peers, so its line is not one the log only counts.
      {.method = "GET", .status = 403, .peer = Peer::unknown},
      {.method = "GET", .status = 403, .peer = Peer::stranger},
      {.method = "GET", .status = 403, .path = "/app", .peer = Peer::stranger6},
      post("/config"),
      post("/cloud-data-enable"),
      post("/tray-event"),
      post("/tool-call"),
      post("/config", Peer::stranger6, /*withheld=*/true),
      {.method = "GET", .status = 403, .peer = Peer::stranger, .silent = true},
      {.method = "GET", .status = 200, .crowd = 2 * LoopbackListener::kMaxConnections + 44},
  };
  const std::string body = R"({"auto_update": true, "enabled": true, "event": "e", "tool": "t"})";
  bool strangersLeftOut = false;
  for (const auto& c : cases) {
    const bool post = c.method == "POST";
    const std::string path = !c.path.empty() ? c.path : post ? "/config" : "/status";
    SCOPED_TRACE(c.method + " " + path + " " + c.host + " " + c.origin + " " + c.type);
    setUserKey("auto_update", std::nullopt);
    const std::string before = test::readFile(ConfigManager::shared().configPath());
    HttpHeaders headers;
    if (!c.host.empty()) headers.emplace_back("Host", c.host);
    if (!c.origin.empty()) headers.emplace_back("Origin", c.origin);
    if (!c.type.empty()) headers.emplace_back("Content-Type", c.type);
    int status = 0;
    const bool stranger = c.peer == Peer::stranger || c.peer == Peer::stranger6;
    if ((stranger || c.crowd > 0) && ::geteuid() != 0) {
      strangersLeftOut = true;
      continue;
    }
    RawPeer keeper("127.0.0.1", port_);
    keeperPort_ = keeper.localPort();
    std::vector<std::unique_ptr<RawPeer>> crowd;
    while (crowd.size() < c.crowd) {
      crowd.push_back(std::make_unique<RawPeer>("127.0.0.1", port_, /*stranger=*/true));
    }
    if (stranger) {
      RawPeer peer(c.peer == Peer::stranger6 ? "::1" : "127.0.0.1", port_, /*stranger=*/true);
      ASSERT_TRUE(c.silent ||
                  peer.send(c.method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + own +
                            "\r\nContent-Type: application/json\r\nContent-Length: " +
                            std::to_string(post ? body.size() : 0) + "\r\n\r\n" +
                            (post && !c.bodyWithheld ? body : "")));
      status = peer.answerStatus(5s);
    } else {
      lookupFails_ = c.peer == Peer::unknown;
      test::CapturedStderr log;
      const auto answer = send(port_, c.method, path, post ? body : "", headers);
      lookupFails_ = false;
      ASSERT_TRUE(answer);
      status = answer.value().status;
      EXPECT_FALSE(answer.value().header("Access-Control-Allow-Origin"));
      EXPECT_EQ(log.text().find("WARN  Status server refused a connection on 127.0.0.1:" + own +
                                ": who made it cannot be told (no answer)") != std::string::npos,
                c.peer == Peer::unknown);
    }
    EXPECT_EQ(status, c.status);
    EXPECT_FALSE(keeper.closedWithoutAWord(10ms));
    std::size_t refused = 0;
    while (refused < crowd.size() && crowd[refused]->answerStatus(5s) == 403) ++refused;
    EXPECT_EQ(refused, c.crowd);
    EXPECT_EQ(userSettings().contains("auto_update"), post && c.status == 200);
    if (c.status != 200) {
      EXPECT_EQ(test::readFile(ConfigManager::shared().configPath()), before);
    }
  }
  EXPECT_TRUE(context_->activity.recentEntries().empty());
  if (strangersLeftOut)
    GTEST_SKIP() << "not root: the rows of another user's program were left out";
}

TEST_F(StatusServerTest, ToolCallAndErrorReportsFeedTheCountersOfThisProcess) {
  const json ok = {{"ok", true}};
  const json noTool = {{"ok", false}, {"error", "missing 'tool' string"}};
  const json noType = {{"ok", false}, {"error", "missing 'tool' or 'error_type'"}};
  const std::tuple<const char*, const char*, json> cases[] = {
      {"/tool-call", R"({"tool": "list_emails", "ai_client": "Cursor"})", ok},
      {"/tool-call", R"({"tool": "read_email", "ai_client": "CLI"})", ok},
      {"/tool-call", R"({"tool": ""})", noTool},
      {"/tool-call", R"(["list_emails"])", noTool},
      {"/tool-call", "not json", noTool},
      {"/tool-error", R"({"tool": "list_emails", "error_type": "jxa_timeout"})", ok},
      {"/tool-error", R"({"tool": "list_emails", "error_type": ""})", noType},
  };
  for (const auto& [path, body, reply] : cases)
    EXPECT_EQ(postJSON(port_, path, body), reply) << body;

  using Counts = std::map<std::string, std::int64_t>;
  EXPECT_EQ(context_->counts.calls.drain().breakdown,
            (Counts{{"list_emails", 1}, {"read_email", 1}}));
  EXPECT_EQ(context_->counts.errors.drain().breakdown, (Counts{{"list_emails:jxa_timeout", 1}}));
  const auto recent = context_->activity.recentEntries();
  ASSERT_EQ(recent.size(), 2u);
  EXPECT_EQ(recent[0].tool, "read_email");
  EXPECT_EQ(recent[0].source, CallSource::local);
  EXPECT_EQ(context_->reportingClient.last(), "Cursor");  // "CLI" names no client
}

TEST_F(StatusServerTest, SettingsRouteStoresOnlyWhatItAllows) {
  Manifest manifest;
  manifest.remoteConfig.entries["config_allowed_keys"] = " theme ,color,";
  ManifestStore store;  // as start-up hands it to the status server
  store.setManifest(manifest);
  context_->manifestSetting = [&store](const std::string& key) { return store.setting(key); };
  EXPECT_TRUE(ConfigManager::shared().save({{"read_only", false}}));
  const json invalid = {{"ok", false}, {"error", "invalid JSON"}};
  // What was not stored (unknown keys, keys this route may not change) is named; "ok" is true
  // only when something was stored or started.
  const auto notStored = [](json keys) {
    std::string names;
    for (const json& key : keys) names += (names.empty() ? "" : ", ") + key.get<std::string>();
    return json({{"ok", false}, {"error", "not stored: " + names}, {"not_stored", keys}});
  };
  const std::vector<std::pair<const char*, json>> answers = {
      {R"({"auto_update": true, "read_only": true, "theme": 1})",
       {{"ok", true}, {"not_stored", {"read_only"}}}},
      {R"({"color": "red"})", {{"ok", true}}},
      {R"({"action": "update"})", {{"ok", true}, {"triggered", true}}},
      {R"({"action": "update", "foo": 1})",
       {{"ok", true}, {"triggered", true}, {"not_stored", {"foo"}}}},
      {R"({"read_only": true})", notStored({"read_only"})},
      {R"({"foo": 1, "disabled_tools": []})", notStored({"disabled_tools", "foo"})},
      {R"({"action": "install"})", notStored({"action"})},
      {"{}", {{"ok", false}, {"error", "nothing to store"}}},
  };
  for (const auto& [body, answer] : answers) {
    EXPECT_EQ(postJSON(port_, "/config", body), answer) << body;
  }
  // A wrongly typed value refuses the whole request: nothing is stored, nothing starts.
  const json mistyped = {{"ok", false}, {"error", "'auto_update' must be true or false"}};
  for (const char* body : {R"({"auto_update": "no", "theme": 2, "action": "update"})",
                           R"({"auto_update": 0})", R"({"auto_update": null})"}) {
    EXPECT_EQ(postJSON(port_, "/config", body), mistyped) << body;
  }
  EXPECT_EQ(postJSON(port_, "/config", "{nope"), invalid);
  EXPECT_EQ(postJSON(port_, "/config", "[true]"), invalid);
  const json settings = userSettings();
  EXPECT_EQ(settings["auto_update"], true);
  EXPECT_EQ(settings["read_only"], false);
  EXPECT_EQ(settings["theme"], 1);
  EXPECT_EQ(settings["color"], "red");
  for (const char* key : {"action", "foo", "disabled_tools"}) EXPECT_FALSE(settings.contains(key));

  // A settings file that no longer parses is left alone, and the caller is told.
  test::writeFile(ConfigManager::shared().configPath(), "{broken");
  EXPECT_EQ(postJSON(port_, "/config", R"({"auto_update": false})"),
            json({{"ok", false}, {"error", "could not save the settings"}}));
  EXPECT_EQ(test::readFile(ConfigManager::shared().configPath()), "{broken");
}

TEST_F(StatusServerTest, TrayEventsAreForwardedToTheBackEnd) {
  test::RecordingHttpServer backend;
  ::setenv("TVRN_BACKEND_URL", backend.baseURL().c_str(), 1);
  EXPECT_EQ(postJSON(port_, "/tray-event", R"({"from_version": "3.0.100"})"),
            json({{"ok", false}, {"error", "missing event"}}));
  EXPECT_EQ(postJSON(port_, "/tray-event",
                     R"({"event": "tray_nudge_shown", "machine_id": "M-1", "versions_behind": 4})"),
            json({{"ok", true}}));
  EXPECT_EQ(postJSON(port_, "/tray-event", R"({"event": "tray_update_started"})"),
            json({{"ok", true}}));

  ASSERT_TRUE(backend.waitForRequests(2, 30s));
  const auto events = backend.requestsTo("/events");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].json(), json({{"type", "tray_nudge_shown"},
                                    {"machine_id", "M-1"},
                                    {"source", "tray"},
                                    {"data", {{"versions_behind", 4}}}}));
  EXPECT_EQ(events[1].json()["machine_id"], ConfigManager::shared().getMachineId());
}

TEST_F(StatusServerTest, CloudDataSwitchKeepsTheOldValueUnlessTheBackEndTakesTheNewOne) {
  test::RecordingHttpServer backend;
  const auto failed = [](std::string why) { return json{{"ok", false}, {"error", why}}; };
  struct Case {
    const char* body;
    std::optional<json> before;  // cloud_data_enabled in the user's file; nothing: absent
    int backendStatus;
    json reply;
    std::optional<json> after;
  };
  const Case cases[] = {
      {R"({"enabled": true})", false, 200, {{"ok", true}}, true},
      {R"({"enabled": true})", false, 503, failed("Backend update failed: HTTP 503"), false},
      {R"({"enabled": false})", std::nullopt, 401, failed("Backend update failed: HTTP 401"),
       std::nullopt},
      {R"({"enabled": "true"})", true, 200, failed("missing 'enabled' bool"), true},
  };
  EXPECT_TRUE(ConfigManager::shared().save({{"cloud_token", "T-1"}}));
  ::setenv("TVRN_BACKEND_URL", backend.baseURL().c_str(), 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    setUserKey("cloud_data_enabled", c.before);
    test::CannedResponse answer;
    answer.status = c.backendStatus;
    backend.respond("/cloud-data", answer);
    EXPECT_EQ(postJSON(port_, "/cloud-data-enable", c.body), c.reply);
    EXPECT_EQ(userSettings().value("cloud_data_enabled", json()), c.after.value_or(nullptr));
  }
  const auto sent = backend.requestsTo("/cloud-data");
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].header("Authorization"), "Bearer T-1");
  EXPECT_EQ(sent[0].json(),
            json({{"enabled", true}, {"machine_id", ConfigManager::shared().getMachineId()}}));

  setUserKey("cloud_data_enabled", std::nullopt);
  EXPECT_TRUE(ConfigManager::shared().save({{"cloud_token", ""}}));
  EXPECT_EQ(postJSON(port_, "/cloud-data-enable", R"({"enabled": true})"),
            failed("no cloud token configured — connect Cloud Relay first"));
  EXPECT_FALSE(userSettings().contains("cloud_data_enabled"));
}

TEST_F(StatusServerTest, RefusesBodiesOverOneMebibyte) {
  const std::string tool = R"({"tool": "big"})";
  const std::string padding(StatusServer::kMaxBodyBytes - tool.size(), ' ');
  const auto tooLarge = send(port_, "POST", "/tool-call", tool + padding + " ",
                             {{"Content-Type", "application/json"}});
  ASSERT_TRUE(tooLarge);
  EXPECT_EQ(tooLarge.value().status, 413);
  EXPECT_EQ(postJSON(port_, "/tool-call", tool + padding), json({{"ok", true}}));
  EXPECT_EQ(context_->counts.calls.drain().total, 1);
}

// Sizes count as the request arrives: a chunked body is refused once it passes the limit, with
// the rest never sent, and a declared length over it before any of the body.
TEST_F(StatusServerTest, RefusesOversizedBodiesAndHeadersWhileTheyArrive) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
  const std::string post =
      "POST /tool-call HTTP/1.1\r\n" + host + "Content-Type: application/json\r\n";
  const auto chunk = [](const std::string& data) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
  };
  std::string overLimit;  // 17 chunks of 64 KiB, one more than the limit takes; no last chunk
  for (int i = 0; i < 17; ++i) overLimit += chunk(std::string(64 * 1024, ' '));
  const auto headers = [](int count, std::size_t size) {
    std::string text;
    for (int i = 0; i < count; ++i) {
      text += "X-Field-" + std::to_string(i) + ": " + std::string(size, 'v') + "\r\n";
    }
    return text;
  };
  const std::string get = "GET /status HTTP/1.1\r\n" + host;
  struct Case {
    const char* name;
    std::string bytes;
    int status;
  };
  const Case cases[] = {
      {"declared 2 MiB", post + "Content-Length: 2097152\r\n\r\n", 413},
      {"chunked past 1 MiB", post + "Transfer-Encoding: chunked\r\n\r\n" + overLimit, 413},
      {"small chunked",
       post + "Transfer-Encoding: chunked\r\n\r\n" + chunk(R"({"tool":)") + chunk(R"("t"})") +
           "0\r\n\r\n",
       200},
      {"100 headers", get + headers(99, 8) + "\r\n", 200},
      {"101 headers", get + headers(100, 8) + "\r\n", 431},
      {"200 headers", get + headers(200, 8) + "\r\n", 431},
      {"65 KiB of headers", get + headers(9, 8 * 1024) + "\r\n", 431},
      {"not HTTP", "HELLO THERE\r\n\r\n", 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawPeer peer("127.0.0.1", port_);
    peer.send(c.bytes);
    EXPECT_EQ(peer.answerStatus(), c.status);
  }
  EXPECT_EQ(context_->counts.calls.drain().breakdown,
            (std::map<std::string, std::int64_t>{{"t", 1}}));
}

// Eight peers trickling a byte each once held every worker, and four silent ones delayed every
// answer by seconds.
TEST_F(StatusServerTest, SlowAndSilentPeersLeaveStatusAnsweringOnBothAddresses) {
  const std::string request =
      "GET /status HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\nX-Slow: ";
  std::vector<std::unique_ptr<RawPeer>> silent, trickling;
  for (const char* host : {"127.0.0.1", "::1"}) {
    for (int i = 0; i < 20; ++i) silent.push_back(std::make_unique<RawPeer>(host, port_));
    for (int i = 0; i < 50; ++i) trickling.push_back(std::make_unique<RawPeer>(host, port_));
  }
  std::atomic<bool> done = false;
  std::atomic<std::size_t> rounds = 0;
  std::thread trickle([&] {
    for (std::size_t sent = 0; !done; rounds = ++sent) {
      const char next = sent < request.size() ? request[sent] : 'a';
      for (auto& peer : trickling) peer->send({&next, 1});
      std::this_thread::sleep_for(20ms);
    }
  });
  EXPECT_TRUE(test::eventually([&] { return rounds >= 10; }, "every peer's first bytes"));
  for (int round = 0; round < 3; ++round) {
    for (const char* host : {"127.0.0.1", "::1"}) {
      EXPECT_EQ(statusCodeOn(host, port_, 5s), 200) << host;
    }
  }
  done = true;
  trickle.join();
}

// Past the cap, each newcomer takes the place of the peer that has waited longest.
TEST_F(StatusServerTest, PastTheCapTheOldestWaitingPeerMakesRoom) {
  std::vector<std::unique_ptr<RawPeer>> silent;
  for (std::size_t i = 0; i < LoopbackListener::kMaxConnections; ++i) {
    silent.push_back(std::make_unique<RawPeer>("127.0.0.1", port_));
  }
  EXPECT_EQ(statusCodeOn("127.0.0.1", port_, 5s), 200);
  EXPECT_TRUE(silent.front()->closedWithoutAWord());
  EXPECT_FALSE(silent.back()->closedWithoutAWord(100ms));
}

// The deadline covers the whole request, however steadily its bytes come; a peer that never
// speaks is closed without an answer.
TEST(StatusServerDeadlineTest, EndsRequestsThatTakeLongerThanTheirDeadline) {
  const int port = test::useUnusedStatusPort();
  StatusServer::Options options;
  options.requestDeadline = 300ms;
  StatusServer server(kVersion, options);
  server.start();
  ASSERT_FALSE(statusWithin(port, 30s).is_null());
  ASSERT_TRUE(answersWithin("::1", port, 30s));

  RawPeer trickler("127.0.0.1", port), silent("::1", port);
  ASSERT_TRUE(trickler.connected() && silent.connected());
  std::atomic<bool> done = false;
  std::thread trickle([&] {
    const std::string request = "GET /status HTTP/1.1\r\nX-Slow: ";
    for (std::size_t sent = 0; !done; ++sent) {
      const char next = sent < request.size() ? request[sent] : 'a';
      if (!trickler.send({&next, 1})) return;
      std::this_thread::sleep_for(10ms);
    }
  });
  EXPECT_EQ(trickler.answerStatus(), 408);
  done = true;
  trickle.join();
  EXPECT_TRUE(silent.closedWithoutAWord());
}

TEST_F(StatusServerTest, StatusDecodesAsTheTrayReadsIt) {
  test::writeFile(Paths::localShare() / "bin/.latest-version", "3.0.104\n");
  test::writeFile(Paths::localShare() / "bin/.server-version", "3.0.101");
  test::writeFile(Paths::appSupport() / "tunnel-state.json",
                  json({{"connected", true}, {"updated_at", Timestamp::iso8601UTC()}}).dump());
  EXPECT_TRUE(ConfigManager::shared().save({{"auto_update", true},
                                            {"api_key", "k"},
                                            {"network_mode", "any"},
                                            {"disabled_services", {"slack"}},
                                            {"first_tool_call_at", "2026-01-02T03:04:05Z"}}));
  context_->pushMessage.setMessage("[NUDGE] set up a client");
  context_->activity.record(CallSource::cloud, "first_tool");
  context_->activity.record(CallSource::local, "second_tool");

  const json document = statusWithin(port_, 5s);
  const auto decoded = decodeServerStatus(document);
  ASSERT_TRUE(decoded) << decoded.error() << "\n" << document.dump(2);
  expectEveryServiceReported(decoded.value().services);

  EXPECT_EQ(document["url"], "unix://" + IPCServer::socketPath().string());
  EXPECT_EQ(document["security"], json({{"api_key_enabled", true}, {"network_mode", "any"}}));
  EXPECT_EQ(document["update"], json({{"version", "3.0.104"}, {"versions_behind", 4}}));
  EXPECT_EQ(document["pending_restart_version"], "3.0.101");
  EXPECT_EQ(document["tunnel_connected"], true);
  EXPECT_FALSE(document.contains("cloud_token"));
  EXPECT_EQ(document["started_at"].get<std::string>().size(), 20u);  // to the second

  const auto& newest = document["last_activity"];
  EXPECT_EQ(newest["tool"], "second_tool");
  EXPECT_EQ(newest["source"], "local");
  EXPECT_EQ(newest["at"].get<std::string>().size(), 24u);  // 2026-03-01T09:15:02.417Z
  ASSERT_EQ(document["recent_activity"].size(), 2u);
  EXPECT_EQ(document["recent_activity"][0], newest);

  // An announced or installed version that is not newer than the running one is no news.
  test::writeFile(Paths::localShare() / "bin/.latest-version", "3.0.98");
  test::writeFile(Paths::localShare() / "bin/.server-version", "3.0.100");
  const json current = statusWithin(port_, 5s);
  EXPECT_FALSE(current.contains("update"));
  EXPECT_FALSE(current.contains("pending_restart_version"));
}

// Two servers in one process (as two tests are) each carry the message left on their own context.
TEST(StatusDocumentTest, CarriesOnlyThePushMessageOfItsOwnContext) {
  struct Row {
    std::optional<std::string> first, second;
  };
  const Row rows[] = {{"one", std::nullopt}, {std::nullopt, "two"}, {"one", "two"}};
  for (const Row& row : rows) {
    ServerContext first, second;
    if (row.first) first.pushMessage.setMessage(*row.first);
    if (row.second) second.pushMessage.setMessage(*row.second);
    for (const auto& [context, expected] : {std::pair{&first, row.first}, {&second, row.second}}) {
      const json document = StatusDocument::build("3.0.100", *context);
      const auto found = document.find("push_message");
      EXPECT_EQ(found == document.end() ? std::nullopt : std::optional(found->get<std::string>()),
                expected);
    }
  }
}

// Until the first scan has finished the permissions are not known, so none reads as needed; the
// last document of a stopping server says so.
TEST(StatusDocumentTest, PermissionsAreUnknownUntilTheFirstScanAndTheLastDocumentSaysStopped) {
  using State = StatusDocument::ServerState;
  const std::map<std::string, std::string> checked = {{"calendar", "granted"},
                                                      {"contacts", "notDetermined"}};
  const json unknown = {{"calendar", "unknown"}, {"contacts", "unknown"}};
  // Each row: whether the scan has finished (nothing: no scanner), the state, what is said.
  const std::tuple<std::optional<bool>, State, json, const char*> rows[] = {
      {std::nullopt, State::connected, checked, "connected"},
      {false, State::connected, unknown, "connected"},
      {true, State::stopped, checked, "stopped"}};
  for (const auto& [scanned, state, permissions, server] : rows) {
    ServerContext context;
    context.permissionStatus = [&] { return checked; };
    if (scanned) context.servicesScanned = [done = *scanned] { return done; };
    const json document = StatusDocument::build("3.0.100", context, state);
    EXPECT_EQ(document["permissions"], permissions);
    EXPECT_EQ(document["server"], server);
  }
}

// Paths are put into the page as data, never as markup: a folder name that closes the script
// element stays inside its string.
TEST(StatusPageTest, ForbidsFramingAndKeepsFileLocationsOutOfTheMarkup) {
  ::setenv("XDG_CONFIG_HOME", (test::home() / "x</script><b>y").c_str(), 1);
  const int port = test::useUnusedStatusPort();
  StatusServer server(kVersion);
  server.start();
  ASSERT_FALSE(statusWithin(port, 5s).is_null());
  const auto page = send(port, "GET", "/app");
  ASSERT_TRUE(page);
  EXPECT_EQ(page.value().status, 200);
  EXPECT_EQ(page.value().header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(page.value().header("X-Frame-Options"), "DENY");
  const std::string& html = page.value().body;
  for (const char* part : {"id=\"tab-connect\"", "id=\"tab-help\"", "x\\u003c/script\\u003e"}) {
    EXPECT_NE(html.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(html.find("x</script>"), std::string::npos);
  // No stdio server program installed: the page falls back to the socat command.
  EXPECT_NE(html.find("\"stdio_server\":\"\""), std::string::npos);
  EXPECT_EQ(html.find("innerHTML"), std::string::npos);
}

// A second server never shares the port (each connection would go to either), and takes it over
// once the first lets go, as after the clean-up has signalled an old server.
TEST(StatusServerStartTest, WaitsForThePortInsteadOfSharingIt) {
  const int port = test::useUnusedStatusPort();
  auto first = std::make_unique<StatusServer>("1.0.0");
  first->start();
  ASSERT_FALSE(statusWithin(port, 5s).is_null());
  StatusServer second(kVersion);
  second.start();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(statusWithin(port, 5s)["version"], "1.0.0");
  EXPECT_TRUE(second.boundHosts().empty());
  first.reset();
  EXPECT_FALSE(statusWithin(port, 5s, kVersion).is_null());
}

// An address whose port another program holds is tried again until it is free; the other address
// answers meanwhile.
TEST(StatusServerStartTest, ListensOnAnAddressOnceItsPortIsFree) {
  const int port = test::useUnusedStatusPort();
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);

  test::CapturedStderr log;
  StatusServer::Options options;
  options.binding = {10ms, 50ms, 100ms};
  StatusServer server(kVersion, options);
  server.start();
  EXPECT_TRUE(answersWithin("::1", port, 30s));
  EXPECT_EQ(server.boundHosts(), std::vector<std::string>{"::1"});
  // Past the patience: the slower retries have begun.
  EXPECT_TRUE(test::eventually(
      [&] { return log.soFar().find("cannot listen on 127.0.0.1") != std::string::npos; },
      "the report of the port taken"));
  ::close(holder);
  EXPECT_TRUE(answersWithin("127.0.0.1", port, 30s));
  EXPECT_EQ(server.boundHosts(), (std::vector<std::string>{"127.0.0.1", "::1"}));
  server.stop();

  const std::string text = log.text();
  const std::string where = "127.0.0.1:" + std::to_string(port);
  const auto count = [&text](const std::string& part) {
    std::size_t found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
    return found;
  };
  // The system's reason, not a guess or a number.
  EXPECT_EQ(count("cannot listen on " + where + " (bind: Address already in use)"), 1u) << text;
  EXPECT_EQ(count("now listening on " + where), 1u) << text;
  EXPECT_EQ(count("cannot listen on [::1]"), 0u) << text;
}

TEST(StatusFileTest, WrittenOnlyOnceThisProcessHoldsTheTunnelLock) {
  // A process keeps the tunnel lock from the first time it wins it until it ends, so the wait
  // shows only in a process that has never held it.
  if (test::childRole() != "fresh-process") {
    const auto child = test::runTestInChild(
        "StatusFileTest.WrittenOnlyOnceThisProcessHoldsTheTunnelLock", "fresh-process", {});
    EXPECT_TRUE(child.passed) << child.output;
    return;
  }
  test::useUnusedStatusPort();
  const std::string lock = Paths::appSupport() / "cloudtunnel.lock";
  const auto statusFile = Paths::appSupport() / "status.json";
  std::filesystem::create_directories(Paths::appSupport());
  // Without forking, so the program that holds the lock is the one that is ended.
  SpawnOptions hold({"flock", "--no-fork", lock, "sleep", "60"}),
      probe({"flock", "-n", lock, "true"});
  hold.searchPath = probe.searchPath = true;
  auto holder = Subprocess::start(hold);
  ASSERT_TRUE(holder.ok());
  const auto held = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < held && Subprocess::run(probe).exit.status == 0) {
    std::this_thread::sleep_for(10ms);
  }
  {
    StatusServer waiting(kVersion);  // stopping ends its wait for the lock
    waiting.start();
  }
  StatusServer server(kVersion);
  server.start();
  std::this_thread::sleep_for(300ms);  // free to write, the writer would do so at once
  EXPECT_FALSE(std::filesystem::exists(statusFile));

  holder.value()->terminate();
  const auto until = std::chrono::steady_clock::now() + 6s;
  while (std::chrono::steady_clock::now() < until && !std::filesystem::exists(statusFile)) {
    std::this_thread::sleep_for(20ms);
  }
  server.stop();
  struct stat info {};
  ASSERT_EQ(::stat(statusFile.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const auto written = parseServerStatus(test::readFile(statusFile));
  ASSERT_TRUE(written) << written.error();
  expectEveryServiceReported(written.value().services);
  EXPECT_EQ(written.value().server, "stopped");  // the last word of a stopped server
}

// A change the status tells of (the scanner's new look at a permission) reaches status.json at
// once, however long the writer would otherwise wait.
TEST(StatusFileTest, WrittenAgainAtOnceWhenTheStatusChanged) {
  test::useUnusedStatusPort();
  const auto context = std::make_shared<ServerContext>();
  StatusServer::Options options;
  options.statusFileInterval = std::chrono::hours(1);
  StatusServer server(kVersion, options, context);
  server.start();
  const auto statusFile = Paths::appSupport() / "status.json";
  ASSERT_TRUE(test::eventually([&] { return std::filesystem::exists(statusFile); }, "status.json"));
  for (const char* message : {"first news", "second news"}) {
    context->pushMessage.setMessage(message);
    server.statusChanged();
    EXPECT_TRUE(test::eventually(
        [&] { return test::readFile(statusFile).find(message) != std::string::npos; }, message));
  }
  server.stop();
}

}  // namespace
}  // namespace tvrn
