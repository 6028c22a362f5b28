// A stand-in for the automation helper: reads one request per line on standard input,
// {"method": "...", "args": {...}}, and answers one JSON object per line on standard output,
// until its input ends.
//
// What it answers:
//   "echo"            {"ok":true,"result":{"method":..,"args":..,"pid":..,"count":n}}, where n
//                     counts the requests this process has read (1 for the first)
//   "get_tcc_status"  {"ok":true,"result":{"calendar":"authorized","reminders":"authorized",
//                     "contacts":"authorized"}}
//   a method named in the JSON object in the file FAKE_HELPER_REPLIES: its value there
//   anything else     {"ok":false,"error":"Unknown method: <method>"}
// Args "fake_reply" replaces the answer. A reply that is a JSON string is written verbatim as
// the line (for lines that are not a JSON object); anything else is written as compact JSON.
//
// How it misbehaves: args "fake_mode" for one request, else FAKE_HELPER_MODE for every request:
//   "slow"     wait args "fake_delay_ms", else FAKE_HELPER_DELAY_MS, else 60000 ms, then answer
//   "exit"     exit with args "fake_exit_status", else FAKE_HELPER_EXIT_STATUS, else 3, unanswered
//   "garbage"  answer the line "this is not json"
//   "partial"  write the answer without its line feed, then exit 0
//   "stderr"   write "helper trouble" to standard error, then answer
// Args "fake_stderr" (else FAKE_HELPER_STDERR) is written to standard error before anything else.
// FAKE_HELPER_MODE "exit-at-start" exits with the exit status before reading anything.
// FAKE_HELPER_LOG: each request line is appended there as {"pid": ..., "request": "<line>"}.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
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

long long environmentNumber(const char* name, long long fallback) {
  const std::string text = environment(name);
  return text.empty() ? fallback : std::atoll(text.c_str());
}

void logRequest(const std::string& line) {
  const std::string file = environment("FAKE_HELPER_LOG");
  if (file.empty()) return;
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  fake::writeAll(fd, json{{"pid", ::getpid()}, {"request", line}}.dump() + "\n");
  ::close(fd);
}

json configuredReplies() {
  const std::string file = environment("FAKE_HELPER_REPLIES");
  if (file.empty()) return json::object();
  std::ifstream in(file);
  json replies = json::parse(in, nullptr, false);
  return replies.is_object() ? replies : json::object();
}

json answerFor(const std::string& method, const json& args, long long count) {
  if (args.contains("fake_reply")) return args["fake_reply"];
  if (method == "echo") {
    return {
        {"ok", true},
        {"result", {{"method", method}, {"args", args}, {"pid", ::getpid()}, {"count", count}}}};
  }
  if (const json replies = configuredReplies(); replies.contains(method)) return replies[method];
  if (method == "get_tcc_status") {
    return {
        {"ok", true},
        {"result",
         {{"calendar", "authorized"}, {"reminders", "authorized"}, {"contacts", "authorized"}}}};
  }
  return {{"ok", false}, {"error", "Unknown method: " + method}};
}

std::string lineOf(const json& answer) {
  return answer.is_string() ? answer.get<std::string>() : answer.dump();
}

long long argOr(const json& args, const char* name, long long fallback) {
  return args.contains(name) && args[name].is_number() ? args[name].get<long long>() : fallback;
}

void handle(const std::string& line, long long count) {
  const json request = json::parse(line, nullptr, false);
  const std::string method =
      request.is_object() ? request.value("method", std::string()) : std::string();
  const json args = request.is_object() && request.contains("args") && request["args"].is_object()
                        ? request["args"]
                        : json::object();
  const std::string mode = args.contains("fake_mode") && args["fake_mode"].is_string()
                               ? args["fake_mode"].get<std::string>()
                               : environment("FAKE_HELPER_MODE");

  const std::string errorText = args.contains("fake_stderr") && args["fake_stderr"].is_string()
                                    ? args["fake_stderr"].get<std::string>()
                                    : environment("FAKE_HELPER_STDERR");
  fake::writeAll(STDERR_FILENO, errorText);

  if (mode == "exit") {
    std::exit(static_cast<int>(
        argOr(args, "fake_exit_status", environmentNumber("FAKE_HELPER_EXIT_STATUS", 3))));
  }
  if (mode == "slow") {
    const long long ms =
        argOr(args, "fake_delay_ms", environmentNumber("FAKE_HELPER_DELAY_MS", 60000));
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  if (mode == "stderr") fake::writeAll(STDERR_FILENO, "helper trouble");
  if (mode == "garbage") {
    fake::writeAll(STDOUT_FILENO, "this is not json\n");
    return;
  }
  const std::string reply = lineOf(answerFor(method, args, count));
  if (mode == "partial") {
    fake::writeAll(STDOUT_FILENO, reply);
    std::exit(0);
  }
  fake::writeAll(STDOUT_FILENO, reply + "\n");
}

}  // namespace

int main() {
  if (environment("FAKE_HELPER_MODE") == "exit-at-start") {
    return static_cast<int>(environmentNumber("FAKE_HELPER_EXIT_STATUS", 3));
  }
  std::string line;
  long long count = 0;
  while (std::getline(std::cin, line)) {
    logRequest(line);
    handle(line, ++count);
  }
  return 0;
}
