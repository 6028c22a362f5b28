// A stand-in for the Python interpreter. Run with a script file, it behaves as the script's
// directive (see FakeScript.h) says: prints "stdout" and "stderr", waits "delay_ms", exits with
// "exit" (default 0). Once a pip install has succeeded, a directive's "installed" member, when
// present, is used instead, as a real interpreter would then find the module.
// Run as "-m pip install ...", it records the install and behaves as FAKE_PIP says: "ok" exits 0,
// "hang" never ends on its own, anything else exits 1.
//
// FAKE_PYTHON_LOG: a file to which each run appends its argv (without the program) as one JSON
// array line.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "FakeScript.h"

namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Where a successful install is remembered: beside the log.
std::string installedMarker() { return variable("FAKE_PYTHON_LOG") + ".installed"; }

int pip() {
  const std::string behaviour = variable("FAKE_PIP");
  if (behaviour == "hang") {
    std::this_thread::sleep_for(std::chrono::seconds(60));
    return 1;
  }
  if (behaviour != "ok") return 1;
  std::ofstream(installedMarker()) << "installed\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  fake::recordArguments("FAKE_PYTHON_LOG", argc, argv, 1);
  if (argc >= 2 && std::string_view(argv[1]) == "-m") return pip();
  if (argc < 2) return 2;
  std::ifstream in(argv[1]);
  const std::string script((std::istreambuf_iterator<char>(in)), {});
  nlohmann::json directive = fake::directiveIn(script).value_or(nlohmann::json::object());
  if (directive.contains("installed") && std::ifstream(installedMarker()).good()) {
    directive = directive["installed"];
  }
  fake::pause(directive);
  fake::writeAll(STDOUT_FILENO, fake::stdoutOf(directive));
  fake::writeAll(STDERR_FILENO, fake::stderrOf(directive));
  return static_cast<int>(directive.value("exit", 0LL));
}
