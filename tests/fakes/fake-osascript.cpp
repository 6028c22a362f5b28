// A stand-in for the script host: takes "-l <language>" and one or more "-e <line>" arguments
// like osascript (without -e it reads the script from standard input), and behaves as the
// script's directive (see FakeScript.h) says, or as FAKE_OSASCRIPT_DIRECTIVE says for a script
// without one: prints "stdout" (plus a line feed, as osascript does) and "stderr", waits
// "delay_ms", exits with "exit" (default 0).
//
// FAKE_OSASCRIPT_ARGV: a file to which each run appends its whole argv as one JSON array line.
#include <fcntl.h>
#include <unistd.h>

#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "FakeScript.h"

namespace {

void recordArguments(int argc, char** argv) {
  const char* file = std::getenv("FAKE_OSASCRIPT_ARGV");
  if (file == nullptr || *file == '\0') return;
  nlohmann::json arguments = nlohmann::json::array();
  for (int i = 0; i < argc; ++i) arguments.push_back(argv[i]);
  const int fd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  fake::writeAll(fd, arguments.dump() + "\n");
  ::close(fd);
}

std::string scriptFrom(int argc, char** argv) {
  std::string script;
  bool any = false;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string_view(argv[i]) != "-e") continue;
    if (any) script += '\n';
    script += argv[++i];
    any = true;
  }
  if (!any) script.assign(std::istreambuf_iterator<char>(std::cin), {});
  return script;
}

}  // namespace

int main(int argc, char** argv) {
  recordArguments(argc, argv);
  const nlohmann::json directive =
      fake::directiveFor(scriptFrom(argc, argv), "FAKE_OSASCRIPT_DIRECTIVE");
  fake::pause(directive);
  const std::string out = fake::stdoutOf(directive);
  if (!out.empty()) fake::writeAll(STDOUT_FILENO, out + "\n");
  fake::writeAll(STDERR_FILENO, fake::stderrOf(directive));
  return static_cast<int>(directive.value("exit", 0LL));
}
