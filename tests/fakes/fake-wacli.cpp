// A stand-in for the WhatsApp command-line client: records how it was run and answers as its
// environment says.
//
//   FAKE_WACLI_ARGS      each run appends its arguments (after the program) as one JSON array line
//   FAKE_WACLI_STDOUT    what it prints on standard output (default {"success":true,"data":null})
//   FAKE_WACLI_STDERR    what it prints on standard error first (default nothing)
//   FAKE_WACLI_EXIT      its exit status (default 0)
//   FAKE_WACLI_DELAY_MS  how long it waits before answering (default 0)
//   FAKE_WACLI_BIG_KIB   instead of FAKE_WACLI_STDOUT, {"success":true,"data":"<that many KiB
//                        of x>"}
//   FAKE_WACLI_SWAP      a path: before it reads the file it is sent, it renames "<path>.swap"
//                        onto it, as another program might meanwhile
// It fails at once, status 3, when it finds descriptor 3 open.
// The file it is sent ("--file") is recorded as its name and what it held: "<name>: <bytes>".
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "FakeScript.h"

namespace {

std::string environment(const char* name, const std::string& fallback = {}) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  // It was run as a program of the system's own: nothing of the check that allowed it is open.
  if (::fcntl(3, F_GETFD) != -1) {
    fake::writeAll(STDERR_FILENO, "descriptor 3 is open");
    return 3;
  }
  std::string sent;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) != "--file") continue;
    const std::string swap = environment("FAKE_WACLI_SWAP");
    if (!swap.empty()) std::rename((swap + ".swap").c_str(), swap.c_str());
    std::ifstream file(argv[i + 1], std::ios::binary);
    sent = std::filesystem::path(argv[i + 1]).filename().string() + ": " +
           std::string(std::istreambuf_iterator<char>(file), {});
    argv[i + 1] = sent.data();
  }
  fake::recordArguments("FAKE_WACLI_ARGS", argc, argv, 1);
  const long delay = std::atol(environment("FAKE_WACLI_DELAY_MS", "0").c_str());
  if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));

  fake::writeAll(STDERR_FILENO, environment("FAKE_WACLI_STDERR"));
  const long big = std::atol(environment("FAKE_WACLI_BIG_KIB", "0").c_str());
  if (big > 0) {
    fake::writeAll(STDOUT_FILENO, "{\"success\":true,\"data\":\"" +
                                      std::string(static_cast<std::size_t>(big) * 1024, 'x') +
                                      "\"}\n");
  } else {
    fake::writeAll(STDOUT_FILENO,
                   environment("FAKE_WACLI_STDOUT", "{\"success\":true,\"data\":null}"));
  }
  return std::atoi(environment("FAKE_WACLI_EXIT", "0").c_str());
}
