#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/Base64.h"
#include "cloud/CloudTunnel.h"
#include "cloud/TunnelState.h"
#include "core/ConfigManager.h"
#include "core/MCPServer.h"
#include "core/ToolRegistry.h"
#include "core/ToolResponse.h"
#include "fakes/support/FakeTunnelServer.h"
#include "platform/Endpoints.h"
#include "platform/Paths.h"
#include "support/CapturedStderr.h"
#include "support/Eventually.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::FakeTunnelServer;

// Stands in for the tunnel's waits between attempts: records each and lets it end only when
// the test allows one more.
class Gate {
 public:
  bool wait(std::chrono::milliseconds duration, std::stop_token stop) {
    std::unique_lock lock(mutex_);
    waits_.push_back(duration);
    changed_.notify_all();
    if (!changed_.wait(lock, stop, [this] { return permits_ > 0; })) return false;
    --permits_;
    return true;
  }
  void allow(int count = 1) {
    std::lock_guard hold(mutex_);
    permits_ += count;
    changed_.notify_all();
  }
  // The waits so far, once there are at least `count`.
  std::vector<std::chrono::milliseconds> waitsOnce(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return waits_.size() >= count; });
    return waits_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::vector<std::chrono::milliseconds> waits_;
  int permits_ = 0;
};

class CloudTunnelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ConfigManager::shared().save({{"cloud_token", "tvrn-test"}}));
  }

  // The gate must outlive the tunnel.
  // A silence limit of zero leaves the real one; without a handler every request gets the
  // no-reply answer.
  std::unique_ptr<CloudTunnel> start(const std::string& backend, Gate& gate,
                                     std::chrono::milliseconds pingInterval = 50ms,
                                     std::chrono::milliseconds silenceLimit = 0ms,
                                     CloudTunnel::RequestHandler handler = {}) {
    ::setenv("TVRN_BACKEND_URL", backend.c_str(), 1);
    CloudTunnel::Options options;
    options.pingInterval = pingInterval;
    options.silenceLimit = silenceLimit;
    options.tokenCheckInterval = 50ms;
    options.handler = std::move(handler);
    options.settings = &ConfigManager::shared();
    options.wait = [&gate](std::chrono::milliseconds duration, std::stop_token stop) {
      return gate.wait(duration, stop);
    };
    auto tunnel = std::make_unique<CloudTunnel>(options);
    tunnel->startInBackground();
    return tunnel;
  }
  std::unique_ptr<CloudTunnel> start(const std::string& backend,
                                     CloudTunnel::RequestHandler handler = {}) {
    return start(backend, gate_, 50ms, 0ms, std::move(handler));
  }

  Gate gate_;
};

std::string frame(const json& id, const json& body) {
  json value = json::object();
  if (!id.is_null()) value["id"] = id;
  if (!body.is_null()) value["body"] = body;
  return value.dump();
}

// The relay's answers by id, their bodies decoded.
std::map<std::string, json> answers(const FakeTunnelServer& server) {
  std::map<std::string, json> byId;
  for (const auto& text : server.frames()) {
    const json reply = json::parse(text);
    byId[reply["id"]] = json::parse(*Base64::decode(reply["body"].get<std::string>()));
  }
  return byId;
}

TEST_F(CloudTunnelTest, AnswersEachRequestFrameAndDropsFramesWithoutATextId) {
  FakeTunnelServer server;
  auto session = std::make_shared<MCPServer>(std::make_shared<ToolRegistry>(),
                                             MCPServer::ServerInfo{"tavrin-server", "3.0.100"});
  test::CapturedStderr log;
  auto tunnel = start(server.baseURL(), CloudTunnel::answeredBy(session));
  ASSERT_TRUE(server.waitUntil([](const auto& s) { return s.openSessions() == 1; }));
  EXPECT_EQ(server.authorizations(), std::vector<std::string>{"Bearer tvrn-test"});
  EXPECT_TRUE(server.waitUntil([](const auto&) { return TunnelState::read(); }));

  const std::string toolsList = R"({"jsonrpc":"2.0","id":7,"method":"tools/list"})";
  const std::vector<std::string> sent = {
      frame("list", Base64::encode(toolsList)),
      frame("not-json", Base64::encode("tools/list")),
      frame("not-base64", "%%%"),
      frame("number-body", 42),
      frame("no-body", nullptr),
      frame(nullptr, nullptr),  // a bare ping
      frame(6, Base64::encode(toolsList)),
      "garbage",
  };
  for (const auto& text : sent) server.send(text);
  ASSERT_TRUE(server.waitUntil([](const auto& s) { return s.frames().size() >= 5; }));
  std::this_thread::sleep_for(100ms);  // room for a wrong answer to a dropped frame

  const auto replies = answers(server);
  ASSERT_EQ(replies.size(), 5u);
  EXPECT_EQ(replies.at("list")["id"], 7);
  EXPECT_TRUE(replies.at("list")["result"]["tools"].is_array());
  for (const char* id : {"not-json", "not-base64", "number-body", "no-body"}) {
    EXPECT_EQ(replies.at(id)["error"]["code"], -32700) << id;
    EXPECT_TRUE(replies.at(id)["id"].is_null()) << id;
  }
  tunnel->stop();
  // The first is written at once, the others counted into one line when the session ends.
  const std::string warnings = log.text();
  const std::string dropped = "[tunnel] WARN  Dropped a frame without a text id";
  EXPECT_NE(warnings.find(dropped + "\n"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find(dropped + " (2 more in the last 10 s)\n"), std::string::npos) << warnings;
}

// A session for the relay with one tool, "echo", that answers "ran".
std::shared_ptr<MCPServer> echoSession() {
  auto registry = std::make_shared<ToolRegistry>();
  registry->registerTool(
      {"echo", "Echoes", {{"type", "object"}}, ToolKind::readOnly, [](const auto&) -> ToolResult {
         return ToolResponse::text("ran");
       }});
  return std::make_shared<MCPServer>(registry, MCPServer::ServerInfo{"tavrin", "1"});
}

constexpr const char* kSwitchOff = "cloud access to your data is off";

// Sends requests for "echo" through the relay, each under a fresh id, and waits for each answer.
class Relay {
 public:
  explicit Relay(FakeTunnelServer& server) : server_(server) {}
  json operator()(const std::string& method) {
    const std::string id = std::to_string(++sent_);
    const json request = {
        {"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", {{"name", "echo"}}}};
    server_.send(frame(id, Base64::encode(request.dump())));
    EXPECT_TRUE(server_.waitUntil([&](const auto& s) { return answers(s).contains(id); }, 60s))
        << "no answer to request " << id << " (" << method << ")";
    return answers(server_)[id];
  }
  // Whether a relayed call of "echo" ran; when refused, the text begins with `refusal` and says
  // how to allow it only when the switch is off, and the rest of the session still answers.
  bool callRuns(const std::string& refusal = kSwitchOff) {
    const json result = (*this)("tools/call")["result"];
    const std::string text = result["content"][0]["text"];
    EXPECT_EQ(result.contains("isError"), text != "ran") << text;
    if (text == "ran") return true;
    EXPECT_EQ(text.find("Error: Permission denied: " + refusal), 0u) << text;
    EXPECT_EQ(text.find("\"Let cloud agents reach my data through the relay\" on the Connect tab "
                        "of TVRN's settings page, http://localhost:" +
                        std::to_string(Endpoints::statusPort()) + "/app#tab-connect") !=
                  std::string::npos,
              refusal == kSwitchOff)
        << text;
    for (const char* method : {"initialize", "tools/list", "ping"}) {
      EXPECT_TRUE((*this)(method).contains("result")) << method;
    }
    return false;
  }

 private:
  FakeTunnelServer& server_;
  int sent_ = 0;
};

// With cloud access off (the setting absent, false, or anything but true) a relayed tool call is
// refused with a tool error that says where to turn it on, while the rest of the session answers;
// the setting is read at each call, also while connected.
TEST_F(CloudTunnelTest, RelayedToolCallsRunOnlyWhileCloudAccessIsOn) {
  FakeTunnelServer server;
  const auto session = echoSession();  // the tunnel holds it weakly
  auto tunnel = start(server.baseURL(), CloudTunnel::answeredBy(session));
  ASSERT_TRUE(server.waitUntil([](const auto& s) { return s.openSessions() == 1; }));
  Relay relay(server);
  // The setting (null: not in config.json), and whether the call runs.
  const std::pair<json, bool> rows[] = {
      {nullptr, false}, {false, false}, {"true", false}, {true, true}, {false, false}};
  for (const auto& [setting, runs] : rows) {
    SCOPED_TRACE(setting.dump());
    if (!setting.is_null()) {
      ASSERT_TRUE(ConfigManager::shared().save({{"cloud_data_enabled", setting}}));
    }
    EXPECT_EQ(relay.callRuns(), runs);
  }
  tunnel->stop();
}

int occurrences(const std::string& log, const std::string& text) {
  int count = 0;
  for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
  return count;
}

// Puts each path in the other's place at once, so that no reader ever finds the file missing (a
// read of that moment is a real change of the settings).
void exchange(const std::filesystem::path& one, const std::filesystem::path& other) {
  ASSERT_EQ(::renameat2(AT_FDCWD, one.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE), 0)
      << one << " " << other << ": errno " << errno;
}

// A settings file that cannot be read may no longer say what it last said (turned off by hand and
// left with a typo, the switch must not stay on): while any settings file is there but unusable,
// relayed tool calls are refused naming the file and why, logged once, and once more when it
// reads again. What it says of the relay token is unknown too: the session stays.
TEST_F(CloudTunnelTest, RelayedToolCallsAreRefusedWhileASettingsFileCannotBeRead) {
  ConfigManager& settings = ConfigManager::shared();
  const std::filesystem::path user = settings.configPath();
  const std::filesystem::path system = Paths::systemConfigDir() / "config.json";
  const std::filesystem::path overrides = test::home() / "override.json";
  test::writeFile(system, "{}");
  test::writeFile(overrides, "{}");
  ::setenv("TVRN_CONFIG", overrides.c_str(), 1);
  FakeTunnelServer server;
  const auto session = echoSession();  // the tunnel holds it weakly
  auto tunnel = start(server.baseURL(), CloudTunnel::answeredBy(session));
  ASSERT_TRUE(server.waitUntil([](const auto& s) { return s.openSessions() == 1; }, 60s));
  Relay relay(server);

  const auto write = [](const char* text) {
    return [text](const std::filesystem::path& file) { test::writeFile(file, text); };
  };
  const struct {
    std::filesystem::path file;
    std::function<void(const std::filesystem::path&)> spoil;  // makes what takes its place
    std::string why;  // as the log gives it after the file's path
  } rows[] = {
      // The switch turned off, with a typo.
      {user, write(R"({"cloud_data_enabled": false,})"),
       "does not parse (line 1, column 30: syntax error while parsing object key - unexpected '}'; "
       "expected string literal)"},
      {user, [](const auto& at) { std::filesystem::create_directory(at); },
       "is not a regular file"},
      {user, [&](const auto& at) { std::filesystem::create_symlink(user.filename(), at); },
       "cannot be looked at (Too many levels of symbolic links)"},
      {system, write("{,}"), "does not parse ("},
      {overrides, write("{,}"), "does not parse ("},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file.string() + " " + row.why);
    ASSERT_TRUE(settings.save({{"cloud_data_enabled", true}}));
    ASSERT_TRUE(relay.callRuns());
    const std::filesystem::path spoiled = row.file.string() + ".spoiled";
    row.spoil(spoiled);
    exchange(row.file, spoiled);

    test::CapturedStderr captured;
    const std::string refusal =
        "tools cannot run through the cloud relay while " + row.file.string() + " " + row.why;
    EXPECT_FALSE(relay.callRuns(refusal));
    EXPECT_FALSE(relay.callRuns(refusal));
    exchange(row.file, spoiled);
    std::filesystem::remove_all(spoiled);
    EXPECT_TRUE(relay.callRuns());
    EXPECT_TRUE(relay.callRuns());
    const std::string log = captured.text();
    EXPECT_EQ(occurrences(log, "Relayed tool calls are refused"), 1) << log;
    EXPECT_EQ(occurrences(log, "[tunnel] INFO  The settings read again"), 1) << log;
    EXPECT_NE(log.find("[tunnel] WARN  Relayed tool calls are refused while " + row.file.string() +
                       " " + row.why),
              std::string::npos)
        << log;
  }

  // The token gone from the files that read is not taken as gone while one cannot be read: it
  // may hold it. (The files stay where the environment named them before the relay started:
  // the relay's thread reads the environment.)
  const std::filesystem::path folder = overrides.string() + ".folder";
  std::filesystem::create_directory(folder);
  exchange(overrides, folder);
  ASSERT_TRUE(settings.save({{"cloud_token", nullptr}}));
  for (const auto until = std::chrono::steady_clock::now() + 500ms;  // ten token checks
       std::chrono::steady_clock::now() < until;) {
    ASSERT_FALSE(relay.callRuns("tools cannot run through the cloud relay while " +
                                overrides.string() + " is not a regular file"));
  }
  ASSERT_TRUE(settings.save({{"cloud_token", "tvrn-test"}}));
  exchange(overrides, folder);
  EXPECT_TRUE(relay.callRuns());
  EXPECT_EQ(server.authorizations().size(), 1u);
  tunnel->stop();
}

// A back end on a slow line takes a long reply (more than the sockets' buffers hold) a few KiB at
// a time: far less than one written frame (64 KiB) in each silence limit, but something in each.
// The session stays up while bytes move, and the reply arrives whole once it reads at full speed.
TEST_F(CloudTunnelTest, ABackEndThatReadsSlowlyIsNotDroppedWhileBytesMove) {
  FakeTunnelServer server;
  // 20 KiB/s: a 64 KiB frame takes 3.2 s, the limit 2 s, twenty reads long, so that a busy
  // machine that holds up a read or two does not end the session.
  server.readSlowly(2 * 1024, 100ms);
  // Shared with the handler, which may still run when a failed assertion ends the test.
  const auto reply = std::make_shared<const std::string>(8 * 1024 * 1024, 'r');
  // Pings keep the session while the reply is being made; once it goes out they wait behind it.
  auto tunnel =
      start(server.baseURL(), gate_, 100ms, 2s, [reply](std::string_view) { return *reply; });
  ASSERT_TRUE(server.waitUntil([](const auto& s) { return s.openSessions() == 1; }));
  server.send(frame("long", Base64::encode("{}")));
  // Made and encoded slowly under a sanitizer on a busy machine.
  ASSERT_TRUE(server.waitUntil([&](const auto&) { return tunnel->backlog().replyBytes > 0; }, 60s));

  for (int tick = 1; tick <= 25; ++tick) {
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(tunnel->isConnected()) << "after " << tick * 200 << " ms";
  }
  EXPECT_EQ(server.frameCount(), 0u) << "the reply went out faster than the back end read";
  server.setReading(true);
  ASSERT_TRUE(server.waitUntil([](const auto& s) { return s.frameCount() == 1; }, 60s));
  const json whole = json::parse(server.frames().front());
  EXPECT_EQ(whole["id"], "long");
  EXPECT_EQ(Base64::decode(whole["body"].get<std::string>()).value_or("").size(), reply->size());
  EXPECT_EQ(server.authorizations().size(), 1u);
  tunnel->stop();
}

TEST_F(CloudTunnelTest, SixSlowCallsRunFourAtATime) {
  FakeTunnelServer server;
  std::atomic<int> running{0}, most{0};
  auto tunnel = start(server.baseURL(), [&](std::string_view request) {
    const int now = ++running;
    for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
    }
    // Each call lasts until four have run side by side, and a while longer for a fifth to show.
    test::eventually([&] { return most >= 4; }, "four calls side by side");
    std::this_thread::sleep_for(200ms);
    --running;
    return std::string(request);
  });
  ASSERT_TRUE(server.waitUntil([](const auto& s) { return s.openSessions() == 1; }));
  for (int i = 0; i < 6; ++i) {
    server.send(frame(std::to_string(i), Base64::encode("{\"n\":" + std::to_string(i) + "}")));
  }
  ASSERT_TRUE(server.waitUntil([](const auto& s) { return s.frames().size() == 6; }));
  const auto replies = answers(server);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(replies.at(std::to_string(i))["n"], i);
  EXPECT_EQ(most, 4);
}

TEST_F(CloudTunnelTest, StateFileFollowsTheSessionAndTheTokenKeepsItOpen) {
  FakeTunnelServer server;
  auto tunnel = start(server.baseURL());
  ASSERT_TRUE(server.waitUntil([&](const auto&) { return tunnel->isConnected(); }));
  EXPECT_TRUE(server.waitUntil([](const auto& s) { return s.pings() >= 2; }));

  server.dropSessions();  // the back end goes away
  EXPECT_EQ(gate_.waitsOnce(1).front(), 1s);
  EXPECT_FALSE(tunnel->isConnected());
  EXPECT_FALSE(TunnelState::read());

  gate_.allow();
  ASSERT_TRUE(server.waitUntil([](const auto& s) { return s.authorizations().size() == 2; }));
  EXPECT_TRUE(server.waitUntil([](const auto&) { return TunnelState::read(); }));

  ASSERT_TRUE(ConfigManager::shared().save({{"cloud_token", "signed-out"}}));
  EXPECT_TRUE(server.waitUntil([](const auto& s) { return s.openSessions() == 0; }));
  gate_.allow(3);
  // Without a relay token it only looks at the settings again, every token-check interval.
  const auto waits = gate_.waitsOnce(5);
  EXPECT_EQ(std::set(waits.begin() + 2, waits.end()), std::set{50ms});
  EXPECT_EQ(server.authorizations().size(), 2u);
  tunnel->stop();
  EXPECT_FALSE(TunnelState::read());
}

TEST_F(CloudTunnelTest, SilenceEndsTheSession) {
  FakeTunnelServer server;
  // No ping, so no pong: nothing comes back.
  auto tunnel = start(server.baseURL(), gate_, 1h, 200ms);
  EXPECT_EQ(gate_.waitsOnce(1).size(), 1u);       // the session ended; the tunnel waits to retry
  EXPECT_EQ(server.authorizations().size(), 1u);  // after it had opened
  EXPECT_FALSE(tunnel->isConnected());
  EXPECT_FALSE(TunnelState::read());
  tunnel->stop();
}

// Each row stands for minutes at the real intervals (a ping every 30 s, a minute of silence
// ends the session): the session lives through more than a silence limit on pongs alone, or on
// requests alone, without a reconnection. The limit is twenty frames long, so that a busy
// machine that holds up a frame or two does not end the session.
TEST_F(CloudTunnelTest, EveryFrameFromTheBackEndKeepsTheSessionUp) {
  struct Case {
    const char* name;
    std::chrono::milliseconds pingInterval;
    bool requests;  // the back end sends a request every 50 ms
  };
  for (const Case& c : {Case{"pongs", 50ms, false}, Case{"requests", 1h, true}}) {
    SCOPED_TRACE(c.name);
    FakeTunnelServer server;
    auto tunnel = start(server.baseURL(), gate_, c.pingInterval, 1s);
    ASSERT_TRUE(server.waitUntil([](const auto& s) { return s.openSessions() == 1; }));
    for (int tick = 0; tick < 30; ++tick) {
      if (c.requests) server.send(frame(std::to_string(tick), Base64::encode("{}")));
      std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(tunnel->isConnected());
    EXPECT_EQ(server.authorizations().size(), 1u);
    EXPECT_EQ(server.openSessions(), 1u);
    tunnel->stop();
  }
}

// A back end that sends a burst of requests and stops reading: the relay stops taking requests
// while kMaxHeldRequests are held, so it never holds more replies than that; it drops none (a
// back end that reads again gets every one), and when nothing is read for the silence limit the
// session ends with one line in the log. The replies are large, so the sockets' buffers fill.
TEST_F(CloudTunnelTest, ABackEndThatStopsReadingHoldsBackRequestsAndLosesNoReply) {
  const std::string reply(256 * 1024, 'r');
  const std::size_t replyFrameBytes = Base64::encode(reply).size() + 64;
  struct Case {
    const char* name;
    int requests;
    bool readsAgain;
  };
  // Enough requests that their replies overflow what the sockets' buffers take (loopback buffers
  // grow to several MiB), so the relay itself has to hold them back.
  for (const Case& c : {Case{"never reads again", 2000, false}, Case{"reads again", 100, true}}) {
    SCOPED_TRACE(c.name);
    FakeTunnelServer server;
    server.setReading(false);
    Gate gate;
    test::CapturedStderr log;
    std::atomic<int> answered{0};
    auto tunnel = start(server.baseURL(), gate, 1h, c.readsAgain ? 1h : 1s, [&](std::string_view) {
      ++answered;
      return reply;
    });
    ASSERT_TRUE(server.waitUntil([](const auto& s) { return s.openSessions() == 1; }));
    for (int i = 0; i < c.requests; ++i) {
      server.send(frame(std::to_string(i), Base64::encode("{}")));
    }
    CloudTunnel::Backlog most;
    const auto held = [&] {
      const CloudTunnel::Backlog now = tunnel->backlog();
      most = {std::max(most.requests, now.requests), std::max(most.replyBytes, now.replyBytes)};
      return now;
    };
    ASSERT_TRUE(server.waitUntil(
        [&](const auto&) { return held().requests >= CloudTunnel::kMaxHeldRequests; }, 60s));
    if (c.readsAgain) {
      server.setReading(true);
      ASSERT_TRUE(server.waitUntil(
          [&](const auto& s) {
            return held().requests == 0 && s.frameCount() == std::size_t(c.requests);
          },
          60s));
      std::set<std::string> ids;
      for (const auto& text : server.frames()) {
        // The id is the frame's last member; the rest is the (large) body.
        ids.insert(json::parse("{" + text.substr(text.rfind(",\"id\":") + 1))["id"]);
      }
      EXPECT_EQ(ids.size(), std::size_t(c.requests));
      EXPECT_TRUE(tunnel->isConnected());
    } else {
      ASSERT_TRUE(server.waitUntil([&](const auto&) {
        held();
        return !tunnel->isConnected();
      }));
      EXPECT_LT(answered, c.requests);
      const std::string text = log.text();
      EXPECT_EQ(text.find("Tunnel session ended"), text.rfind("Tunnel session ended"));
      EXPECT_NE(text.find("Tunnel session ended: the back end has read nothing for 1 s"),
                std::string::npos)
          << text;
    }
    EXPECT_LE(most.requests, CloudTunnel::kMaxHeldRequests);
    EXPECT_LE(most.replyBytes, CloudTunnel::kMaxHeldRequests * replyFrameBytes);
    tunnel->stop();
  }
}

TEST_F(CloudTunnelTest, RetriesAfterOneSecondDoublingToAMinute) {
  auto tunnel = start("http://127.0.0.1:" + std::to_string(test::unusedPort()));
  gate_.allow(7);
  const auto waits = gate_.waitsOnce(8);
  const std::vector<std::chrono::milliseconds> expected = {1s, 2s, 4s, 8s, 16s, 32s, 60s, 60s};
  EXPECT_EQ(std::vector(waits.begin(), waits.begin() + 8), expected);
  tunnel->stop();
}

TEST_F(CloudTunnelTest, SecureTunnelTrustsOnlyACertificateForTheBackEndsName) {
  const auto certificates = test::home() / "ca";
  ASSERT_EQ(
      std::system(
          ((test::fakesDir() / "make-test-ca").string() + " " + certificates.string()).c_str()),
      0);
  FakeTunnelServer server(FakeTunnelServer::Tls{(certificates / "server.pem").string(),
                                                (certificates / "server.key").string()});
  const std::string port = std::to_string(server.port());
  struct Row {
    std::string backend;
    bool trustTestCA;
    bool connects;
  };
  const Row rows[] = {
      {"https://localhost:" + port, true, true},
      {"https://127.0.0.1:" + port, true, false},  // the certificate names "localhost" only
      {"https://localhost:" + port, false, false},
  };
  for (const auto& row : rows) {
    ::setenv("SSL_CERT_FILE", (certificates / (row.trustTestCA ? "ca.pem" : "none.pem")).c_str(),
             1);
    Gate gate;
    const std::size_t before = server.authorizations().size();
    auto tunnel = start(row.backend, gate);
    if (row.connects) {
      EXPECT_TRUE(server.waitUntil([](const auto& s) { return s.openSessions() == 1; }));
    } else {
      gate.waitsOnce(1);  // the first attempt has failed
      EXPECT_EQ(server.authorizations().size(), before) << row.backend;
      EXPECT_FALSE(tunnel->isConnected()) << row.backend;
    }
    tunnel->stop();
  }
}

}  // namespace
}  // namespace tvrn
