#include <arpa/inet.h>
#include <gtest/gtest.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/ProcessSetup.h"
#include "support/TestEnv.h"

extern char** environ;

namespace tvrn::test {
namespace {

std::filesystem::path& homeSlot() {
  static std::filesystem::path path;
  return path;
}

void clearProjectVariables() {
  std::vector<std::string> names;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "TVRN_", 5) == 0) {
      const char* eq = std::strchr(*entry, '=');
      if (eq != nullptr) names.emplace_back(static_cast<const char*>(*entry), eq);
    }
  }
  for (const auto& name : names) ::unsetenv(name.c_str());
}

void makePrivateWorld() {
  std::string tmpl = "/tmp/tvrn-test-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
  homeSlot() = tmpl;
  const std::filesystem::path root = tmpl;
  std::filesystem::create_directories(root / "home");
  std::filesystem::create_directories(root / "xdg-system");
  std::filesystem::create_directories(root / "tmp");
  ::setenv("HOME", (root / "home").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (root / "home" / ".config").c_str(), 1);
  ::setenv("XDG_CONFIG_DIRS", (root / "xdg-system").c_str(), 1);
  ::setenv("TMPDIR", (root / "tmp").c_str(), 1);
  clearProjectVariables();
  // Nothing a test does may reach a real outside service.
  ::setenv("TVRN_BACKEND_URL", "http://127.0.0.1:9", 1);
  ::setenv("TVRN_LOGIN_URL", "http://127.0.0.1:9", 1);
  ::setenv("TVRN_GRAPH_URL", "http://127.0.0.1:9", 1);
  ::setenv("TVRN_STATUS_PORT", "9", 1);
}

}  // namespace

std::filesystem::path home() { return homeSlot() / "home"; }

std::filesystem::path fakesDir() { return TVRN_FAKES_DIR; }

void writeFile(const std::filesystem::path& file, const std::string& bytes) {
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::map<std::string, std::string> contentsOf(const std::filesystem::path& dir) {
  std::map<std::string, std::string> contents;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) {
      contents[entry.path().lexically_relative(dir).string()] = readFile(entry.path());
    }
  }
  return contents;
}

std::vector<std::string> namesIn(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

int unusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::abort();
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

int useUnusedStatusPort() {
  const int port = unusedPort();
  ::setenv("TVRN_STATUS_PORT", std::to_string(port).c_str(), 1);
  return port;
}

int runTests(int& argc, char** argv, const std::function<void()>& beforeTests) {
  prepareProcess();
  ::testing::InitGoogleTest(&argc, argv);
  makePrivateWorld();
  if (beforeTests) beforeTests();
  int status = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(homeSlot(), ec);
  // As the program does: detached session threads may still be running, so the process ends
  // without destroying the singletons under them. Leaks are still looked for first.
#if defined(__SANITIZE_ADDRESS__)
  __lsan_do_leak_check();
#endif
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace tvrn::test
