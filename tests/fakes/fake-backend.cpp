// The back end for trying the relay and the self-update by hand: one port that takes the
// relay's WebSocket, heartbeats, "/runtime/latest" and a signed update archive. Each line typed
// on standard input goes to the relay as a request; each answer is printed.
//   fake-backend [--port N] [--version V] [--tamper]
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "base/Base64.h"
#include "base/Digest.h"
#include "fakes/support/FakeTunnelServer.h"
#include "fakes/support/RecordingHttpServer.h"
#include "fakes/support/UpdateArchiveMaker.h"
#include "support/Ed25519Keys.h"

using namespace tvrn;

namespace {

struct Arguments {
  int port = 0;
  std::string version = "3.0.200";
  bool tamper = false;
};

Arguments parse(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--tamper") {
      arguments.tamper = true;
    } else if (argument == "--port" && i + 1 < argc) {
      arguments.port = std::atoi(argv[++i]);
    } else if (argument == "--version" && i + 1 < argc) {
      arguments.version = argv[++i];
    } else {
      std::cerr << "usage: fake-backend [--port N] [--version V] [--tamper]\n";
      std::exit(2);
    }
  }
  return arguments;
}

// Hands what is not the relay to the recording server, so its canned answers serve both.
test::FakeTunnelServer::HttpReply forward(int port, const std::string& method,
                                          const std::string& target, const std::string& body) {
  httplib::Client client("127.0.0.1", port);
  const auto answer =
      method == "POST" ? client.Post(target, body, "application/json") : client.Get(target);
  if (!answer) return {502, "", "text/plain"};
  std::cout << method << " " << target << " " << body.substr(0, 300) << std::endl;
  return {answer->status, answer->body, answer->get_header_value("Content-Type")};
}

test::CannedResponse answer(std::string body, std::string contentType = "application/json") {
  test::CannedResponse response;
  response.body = std::move(body);
  response.contentType = std::move(contentType);
  return response;
}

void printReplies(const test::FakeTunnelServer& tunnel) {
  std::size_t shown = 0;
  while (true) {
    tunnel.waitUntil([&](const auto& server) { return server.frames().size() > shown; },
                     std::chrono::hours(1));
    const auto frames = tunnel.frames();
    for (; shown < frames.size(); ++shown) {
      const auto frame = nlohmann::json::parse(frames[shown], nullptr, false);
      const auto body = frame.is_object() && frame.contains("body") && frame["body"].is_string()
                            ? Base64::decode(frame["body"].get<std::string>())
                            : std::nullopt;
      std::cout << "reply " << (frame.is_object() ? frame.value("id", "?") : "?") << ": "
                << body.value_or(frames[shown]) << std::endl;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments arguments = parse(argc, argv);
  // The same key at every start, so a restarted back end still matches TVRN_UPDATE_PUBLIC_KEY.
  const test::Ed25519KeyPair signer(std::string(32, '\x2a'));
  const std::string archive = test::makeTarGz({
      {"bin/", "", test::ArchiveEntry::Kind::folder},
      {"bin/tavrin-server", "#!/bin/sh\necho tavrin-server " + arguments.version + "\n",
       test::ArchiveEntry::Kind::file, 0755},
      {"tray/tray-notes.txt", "tray " + arguments.version + "\n"},
  });
  std::string served = archive;
  if (arguments.tamper) served[served.size() / 2] ^= 0x01;

  test::RecordingHttpServer http;
  test::FakeTunnelServer tunnel(
      std::nullopt,
      [port = http.port()](const std::string& method, const std::string& target,
                           const std::string& body) { return forward(port, method, target, body); },
      arguments.port);
  http.respond("/heartbeat", answer(nlohmann::json{{"latest_version", arguments.version}}.dump()));
  http.respond("/runtime/latest",
               answer(nlohmann::json{{"version", arguments.version},
                                     {"url", tunnel.baseURL() + "/runtime/tavrin.tar.gz"},
                                     {"sha256", Digest::sha256Hex(archive)},
                                     {"signature", Base64::encode(signer.sign(archive))}}
                          .dump()));
  http.respond("/runtime/tavrin.tar.gz", answer(served, "application/gzip"));

  std::cout << "URL: " << tunnel.baseURL() << "\nKEY: " << Base64::encode(signer.publicKey())
            << "\nType a JSON-RPC request per line to relay it." << std::endl;
  std::thread(printReplies, std::cref(tunnel)).detach();
  std::string line;
  for (int id = 1; std::getline(std::cin, line); ++id) {
    if (line.empty()) continue;
    tunnel.send(nlohmann::json{{"id", std::to_string(id)}, {"body", Base64::encode(line)}}.dump());
  }
  // Standard input closed (started in the background): go on serving until killed.
  while (true) std::this_thread::sleep_for(std::chrono::hours(1));
}
