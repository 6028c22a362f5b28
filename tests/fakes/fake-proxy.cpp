// A stand-in for the Slack and Teams co-processes: reads one JSON request per line on standard
// input and answers one JSON line per request on standard output, until its input ends.
//
// How it answers: args "fake_mode" for one request, else FAKE_PROXY_MODE for every request:
//   "echo" (default)  {"result": <the request>}
//   "reply"           the line FAKE_PROXY_REPLY (args "fake_reply") verbatim, so error replies,
//                     garbage and empty lines can be made; with FAKE_PROXY_REPLY_FILE, that
//                     file's text, read afresh for each request
//   "silent"          no answer; it stays until it is ended
//   "exit"            exit with FAKE_PROXY_EXIT_STATUS (default 3), unanswered
//   "split"           the echo in three writes 30 ms apart
//   "flood"           FAKE_PROXY_FLOOD_KIB KiB (default 1024) of "x" on standard error, then
//                     "end of flood", then the echo
//   "hang-up"         the echo, then it closes its input and stays 2 s before exiting 7, so the
//                     next request meets a broken pipe
// FAKE_PROXY_STDERR is written to standard error before each answer.
// FAKE_PROXY_LOG: each request line is appended there as {"pid": ..., "request": "<line>"}.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "FakeScript.h"

namespace {

using nlohmann::json;

std::string environment(const char* name, const std::string& fallback = {}) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : fallback;
}

void logRequest(const std::string& line) {
  const std::string file = environment("FAKE_PROXY_LOG");
  if (file.empty()) return;
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  fake::writeAll(fd, json{{"pid", ::getpid()}, {"request", line}}.dump() + "\n");
  ::close(fd);
}

std::string argOr(const json& args, const char* name, const std::string& fallback) {
  return args.contains(name) && args[name].is_string() ? args[name].get<std::string>() : fallback;
}

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void handle(const std::string& line) {
  const json request = json::parse(line, nullptr, false);
  const json args = request.is_object() && request.contains("args") && request["args"].is_object()
                        ? request["args"]
                        : json::object();
  const std::string mode = argOr(args, "fake_mode", environment("FAKE_PROXY_MODE", "echo"));
  const std::string echo = json{{"result", request}}.dump();
  fake::writeAll(STDERR_FILENO, environment("FAKE_PROXY_STDERR"));

  if (mode == "reply") {
    std::string reply = environment("FAKE_PROXY_REPLY");
    if (const std::string file = environment("FAKE_PROXY_REPLY_FILE"); !file.empty()) {
      std::ifstream in(file);
      std::getline(in, reply);
    }
    fake::writeAll(STDOUT_FILENO, argOr(args, "fake_reply", reply) + "\n");
  } else if (mode == "silent") {
    pause(600'000);
  } else if (mode == "exit") {
    std::exit(std::atoi(environment("FAKE_PROXY_EXIT_STATUS", "3").c_str()));
  } else if (mode == "split") {
    const std::size_t third = echo.size() / 3;
    fake::writeAll(STDOUT_FILENO, echo.substr(0, third));
    pause(30);
    fake::writeAll(STDOUT_FILENO, echo.substr(third, third));
    pause(30);
    fake::writeAll(STDOUT_FILENO, echo.substr(2 * third) + "\n");
  } else if (mode == "flood") {
    const long kib = std::atol(environment("FAKE_PROXY_FLOOD_KIB", "1024").c_str());
    fake::writeAll(STDERR_FILENO, std::string(static_cast<std::size_t>(kib) * 1024, 'x'));
    fake::writeAll(STDERR_FILENO, "end of flood");
    fake::writeAll(STDOUT_FILENO, echo + "\n");
  } else if (mode == "hang-up") {
    fake::writeAll(STDOUT_FILENO, echo + "\n");
    ::close(STDIN_FILENO);
    pause(2000);
    std::exit(7);
  } else {
    fake::writeAll(STDOUT_FILENO, echo + "\n");
  }
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    logRequest(line);
    handle(line);
  }
  return 0;
}
