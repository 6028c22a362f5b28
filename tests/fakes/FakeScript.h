// What the fake programs share: how a script tells fake-osascript and fake-jxa-runner how to
// behave, and writing bytes in full.
//
// A script steers them with a directive, a JSON object between "/*fake" and "fake*/" anywhere in
// its text, for example:  return 1; /*fake {"stdout": "[1]", "delay_ms": 50} fake*/
// A script without one uses the directive in the environment variable the program names, if any.
//
// Members both programs read (all optional):
//   "stdout"    the result text; "prefix" + "stdout" repeated "repeat" times + "suffix"
//               (default "{}")
//   "stderr"    text for standard error, also repeated "repeat" times
//   "delay_ms"  wait this long first
//   "exit"      exit status (fake-osascript: of the run; fake-jxa-runner: it exits without
//               replying)
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace fake {

inline std::optional<nlohmann::json> directiveIn(std::string_view text) {
  const auto open = text.find("/*fake");
  if (open == std::string_view::npos) return std::nullopt;
  const auto body = open + 6;
  const auto close = text.find("fake*/", body);
  if (close == std::string_view::npos) return std::nullopt;
  auto parsed = nlohmann::json::parse(text.substr(body, close - body), nullptr, false);
  if (!parsed.is_object()) return std::nullopt;
  return parsed;
}

inline nlohmann::json directiveFor(std::string_view script, const char* environmentName) {
  if (auto inScript = directiveIn(script)) return *inScript;
  const char* fromEnvironment = std::getenv(environmentName);
  if (fromEnvironment != nullptr) {
    auto parsed = nlohmann::json::parse(fromEnvironment, nullptr, false);
    if (parsed.is_object()) return parsed;
  }
  return nlohmann::json::object();
}

inline std::string repeated(const nlohmann::json& directive, const std::string& text) {
  const long long times = directive.value("repeat", 1LL);
  std::string out;
  out.reserve(text.size() * static_cast<std::size_t>(times > 0 ? times : 0));
  for (long long i = 0; i < times; ++i) out += text;
  return out;
}

inline std::string stdoutOf(const nlohmann::json& directive) {
  return directive.value("prefix", std::string()) +
         repeated(directive, directive.value("stdout", std::string("{}"))) +
         directive.value("suffix", std::string());
}

inline std::string stderrOf(const nlohmann::json& directive) {
  return repeated(directive, directive.value("stderr", std::string()));
}

inline void pause(const nlohmann::json& directive) {
  const long long ms = directive.value("delay_ms", 0LL);
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

inline void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Appends argv[first...] as one JSON array line to the file the environment variable names, if
// any, so a test can see how the fake was run.
inline void recordArguments(const char* variable, int argc, char** argv, int first) {
  const char* file = std::getenv(variable);
  if (file == nullptr || *file == '\0') return;
  nlohmann::json arguments = nlohmann::json::array();
  for (int i = first; i < argc; ++i) arguments.push_back(argv[i]);
  const int fd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  writeAll(fd, arguments.dump() + "\n");
  ::close(fd);
}

}  // namespace fake
