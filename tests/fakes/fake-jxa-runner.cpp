// A stand-in for the script-runner co-process: reads one request per line on standard input,
// {"method":"run_jxa","args":{"script":"...","timeout_seconds":30}}, and answers one JSON object
// per line on standard output, until its input ends.
//
// Each script is steered by its directive (see FakeScript.h), or by FAKE_JXA_RUNNER_DIRECTIVE
// for a script without one. Besides the shared members:
//   "error", "timed_out", "permission"  reply {"error": ..., "timed_out": ..., "permission": ...}
//   "reply"    the reply line itself: a string is written verbatim, anything else as JSON
//   "partial"  true: write the reply without its line feed, then exit 0
//   "hang"     true: never reply (until killed)
//   "exit"     exit with this status without replying ("stderr" is written first)
// Otherwise the reply is {"output": <stdout>}. "stderr" is written before the reply.
//
// FAKE_JXA_RUNNER_RULES: a file, read at every request, holding a JSON array of directives, each
// with a "contains" member; a script without a directive of its own takes the first whose text
// it contains.
// FAKE_JXA_RUNNER_LOG: each request line is appended there as {"pid": ..., "request": "<line>"}.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "FakeScript.h"

namespace {

using nlohmann::json;

void logRequest(const std::string& line) {
  const char* file = std::getenv("FAKE_JXA_RUNNER_LOG");
  if (file == nullptr || *file == '\0') return;
  const int fd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  fake::writeAll(fd, json{{"pid", ::getpid()}, {"request", line}}.dump() + "\n");
  ::close(fd);
}

std::string replyFor(const json& directive) {
  if (directive.contains("reply")) {
    const json& reply = directive["reply"];
    return reply.is_string() ? reply.get<std::string>() : reply.dump();
  }
  if (directive.contains("error")) {
    json reply{{"error", directive["error"]}};
    for (const char* flag : {"timed_out", "permission"}) {
      if (directive.contains(flag)) reply[flag] = directive[flag];
    }
    return reply.dump();
  }
  return json{{"output", fake::stdoutOf(directive)}}.dump();
}

json directiveForScript(const std::string& script) {
  if (auto own = fake::directiveIn(script)) return *own;
  const char* file = std::getenv("FAKE_JXA_RUNNER_RULES");
  std::ifstream in(file != nullptr ? file : "");
  const json rules = json::parse(in, nullptr, false);
  for (const json& rule : rules.is_array() ? rules : json::array()) {
    const auto needle = rule.is_object() ? rule.find("contains") : rule.end();
    if (needle != rule.end() && needle->is_string() &&
        script.find(needle->get<std::string>()) != std::string::npos) {
      return rule;
    }
  }
  return fake::directiveFor(script, "FAKE_JXA_RUNNER_DIRECTIVE");
}

void answer(const std::string& line) {
  const json request = json::parse(line, nullptr, false);
  const json* script = nullptr;
  if (request.is_object() && request.contains("args") && request["args"].is_object() &&
      request["args"].contains("script") && request["args"]["script"].is_string()) {
    script = &request["args"]["script"];
  }
  if (script == nullptr) {
    fake::writeAll(STDOUT_FILENO, json{{"error", "malformed request"}}.dump() + "\n");
    return;
  }
  const json directive = directiveForScript(script->get_ref<const std::string&>());
  fake::pause(directive);
  fake::writeAll(STDERR_FILENO, fake::stderrOf(directive));
  if (directive.value("hang", false)) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  if (directive.contains("exit")) std::exit(directive.value("exit", 1));
  if (directive.value("partial", false)) {
    fake::writeAll(STDOUT_FILENO, replyFor(directive));
    std::exit(0);
  }
  fake::writeAll(STDOUT_FILENO, replyFor(directive) + "\n");
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    logRequest(line);
    answer(line);
  }
  return 0;
}
