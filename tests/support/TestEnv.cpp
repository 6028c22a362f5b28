#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/ProcessSetup.h"
#include "support/ChildTestRun.h"
#include "support/ScopedEnvironment.h"
#include "support/TestEnv.h"

extern char** environ;

namespace tvrn::test {
namespace {

// Where the tests' folders are, for the whole process.
struct Folders {
  // The process's folder under the caller's TMPDIR; each test's world is a numbered folder in it.
  std::filesystem::path root;
  std::filesystem::path world;
  // Where the worlds' home folders go when the caller's TMPDIR is too long for the sockets under
  // them; empty while the homes stay in their worlds.
  std::filesystem::path shortRoot;
  std::filesystem::path home;
};

Folders& folders() {
  static Folders held;
  return held;
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

// A fresh folder in a temporary folder, held by this process (an exclusive flock on it) until
// it ends or lets go: the clean-up after a run (tests/scripts/sweep-test-folders.sh) removes the
// folders of this user that nothing holds, so a test program ended in the middle leaves none.
struct HeldFolder {
  std::filesystem::path path;
  int fd = -1;
};

HeldFolder makeHeldFolder(const std::string& parent, const char* prefix) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string tmpl = parent + "/" + prefix + "XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) return {};
    const int fd = ::open(tmpl.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat held {
    }, named{};
    // Still the folder made: the clean-up of another run may have taken it before it was held.
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
        ::lstat(tmpl.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
        held.st_dev == named.st_dev) {
      return {tmpl, fd};
    }
    if (fd >= 0) ::close(fd);
  }
  return {};
}

// A home's socket, "<root>/<n>/home/.local/share/tavrin/mcp.sock", must fit the 107 bytes of a
// socket address with room for the tests that make folders of their own beside it.
constexpr std::size_t kLongestRootForSockets = 107 - 60;

// A short folder every user may pass through, for homes whose sockets must fit and for folders
// another user must reach: the first of the system's temporary folders that takes a new folder.
HeldFolder makeShortFolder(const char* prefix) {
  for (const char* base : {"/tmp", "/var/tmp", "/dev/shm"}) {
    if (auto folder = makeHeldFolder(base, prefix); folder.fd >= 0) return folder;
  }
  return {};
}

// Both folders are held until the process ends.
void makeRoot() {
  const char* outer = ::getenv("TMPDIR");
  const HeldFolder root =
      makeHeldFolder(outer != nullptr && *outer != '\0' ? outer : "/tmp", "tvrn-tests-");
  folders().root = root.path;
  if (folders().root.empty()) {
    std::fprintf(stderr, "Cannot make a folder for the tests in TMPDIR=%s: %s\n",
                 outer != nullptr ? outer : "", std::strerror(errno));
    std::abort();
  }
  if (folders().root.native().size() > kLongestRootForSockets) {
    folders().shortRoot = makeShortFolder("tvrn-homes-").path;
    if (folders().shortRoot.empty()) {
      std::fprintf(stderr,
                   "TMPDIR is too long for the sockets the tests make, and no short "
                   "temporary folder (/tmp, /var/tmp, /dev/shm) takes a new folder\n");
    }
  }
}

// A fresh home, XDG folders and temporary folder, and no TVRN_ variable but those that keep
// every test away from real outside services.
void enterFreshWorld() {
  static int count = 0;
  const std::string number = std::to_string(++count);
  const std::filesystem::path world = folders().root / number;
  folders().world = world;
  folders().home = (folders().shortRoot.empty() ? world : folders().shortRoot / number) / "home";
  std::filesystem::create_directories(folders().home);
  std::filesystem::create_directories(world / "xdg-system");
  std::filesystem::create_directories(world / "tmp");
  ::setenv("HOME", folders().home.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (folders().home / ".config").c_str(), 1);
  ::setenv("XDG_CONFIG_DIRS", (world / "xdg-system").c_str(), 1);
  ::setenv("TMPDIR", (world / "tmp").c_str(), 1);
  clearProjectVariables();
  ::setenv("TVRN_BACKEND_URL", "http://127.0.0.1:9", 1);
  ::setenv("TVRN_LOGIN_URL", "http://127.0.0.1:9", 1);
  ::setenv("TVRN_GRAPH_URL", "http://127.0.0.1:9", 1);
  ::setenv("TVRN_STATUS_PORT", std::to_string(unusedStatusPort()).c_str(), 1);
}

// Gives each test a world of its own and, when it ends, puts back the environment and the
// working folder it found, so a test program passes whole as it does one test at a time.
class FreshWorldPerTest : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    environment_ = std::make_unique<ScopedEnvironment>();
    std::error_code ec;
    folder_ = std::filesystem::current_path(ec);
    enterFreshWorld();
  }

  void OnTestEnd(const ::testing::TestInfo&) override {
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::current_path(folder_, ec);
    environment_.reset();
  }

 private:
  std::unique_ptr<ScopedEnvironment> environment_;
  std::filesystem::path folder_;
};

// Whether this process runs the tests below a reaper (see runBelowAReaper).
bool& belowAReaper() {
  static bool below = false;
  return below;
}

// As the first process of a PID namespace (a whole test program in the isolation wrapper), the
// program would have no parent and would adopt whatever the children it ends leave behind: the
// server is never in that place. So that first process only reaps, and the tests run in a child
// of it; its end ends the namespace, and with it anything still running there.
void runBelowAReaper() {
  if (::getpid() != 1 || !childRole().empty()) return;
  const pid_t tests = ::fork();
  if (tests < 0) std::abort();
  if (tests == 0) {
    belowAReaper() = true;
    return;
  }
  for (;;) {
    int status = 0;
    const pid_t ended = ::waitpid(-1, &status, __WALL);
    if (ended < 0 && errno == EINTR) continue;
    if (ended < 0) std::_Exit(1);
    if (ended != tests) continue;
    std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
}

// As the first process of a PID namespace, or below its reaper, every other process of the
// namespace is one the tests started: a tray that a bridge started outlives the test that called
// it, and would write into its home after the home is removed. Each is ended, and the ending
// looked for again until the namespace's /proc shows no process but the first and this one.
// Ended children are taken here; what the reaper adopted, the reaper takes.
void endTheNamespacesOtherProcesses() {
  // Only where /proc is the namespace's own, so that it shows nothing outside it.
  std::error_code own;
  if (std::filesystem::read_symlink("/proc/self", own) != std::to_string(::getpid())) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    bool others = false;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end;
         it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const pid_t pid = std::stoi(name);
      if (pid == 1 || pid == ::getpid()) continue;
      others = true;
      ::kill(pid, SIGKILL);
    }
    if (!others) return;
    while (::waitpid(-1, nullptr, WNOHANG | __WALL) > 0) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

std::filesystem::path home() { return folders().home; }

std::filesystem::path testTemp() { return folders().world / "tmp"; }

std::filesystem::path worldsRoot() { return folders().root; }

std::filesystem::path fakesDir() { return TVRN_FAKES_DIR; }

void writeFile(const std::filesystem::path& file, const std::string& bytes) {
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
}

void replaceFile(const std::filesystem::path& file, const std::string& bytes) {
  const auto temporary = file.parent_path() / (".new-" + file.filename().string());
  writeFile(temporary, bytes);
  std::filesystem::rename(temporary, file);
}

void restoreFolder(const std::filesystem::path& folder) {
  const std::string name = folder.string();
  std::filesystem::copy(folder, name + ".restored", std::filesystem::copy_options::recursive);
  std::filesystem::rename(folder, name + ".old");
  std::filesystem::rename(name + ".restored", folder);
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

void removeTree(const std::filesystem::path& path) {
  std::error_code ec;
  const auto status = std::filesystem::symlink_status(path, ec);
  if (ec) return;
  if (std::filesystem::is_directory(status)) {
    // A folder a test locked (mode 000) is opened again first: the owner may always do that.
    ::chmod(path.c_str(), 0700);
    std::vector<std::filesystem::path> entries;
    for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end;
         it.increment(ec)) {
      entries.push_back(it->path());
    }
    for (const auto& entry : entries) removeTree(entry);
  }
  std::filesystem::remove(path, ec);
}

ShortFolder::ShortFolder() {
  const HeldFolder folder = makeShortFolder("tvrn-short-");
  path_ = folder.path;
  hold_ = folder.fd;
  if (path_.empty()) ADD_FAILURE() << "no short temporary folder (/tmp, /var/tmp, /dev/shm)";
  ::chmod(path_.c_str(), 0755);
}

ShortFolder::~ShortFolder() {
  if (!path_.empty()) removeTree(path_);
  if (hold_ >= 0) ::close(hold_);
}

std::vector<std::string> namesIn(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Binds a TCP socket to 127.0.0.1:`port` (0: any free port), closes it and answers the port it
// got, or 0 when the port is taken.
static int bindLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) std::abort();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t length = sizeof address;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  ::close(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

int unusedPort() {
  const int port = bindLoopback(0);
  if (port == 0) std::abort();
  return port;
}

// A starting server ends whatever else of this user listens on its status port, so each world's
// port lies below the kernel's ephemeral range (32768 and up), where no fake server or other
// test's listener bound to port 0 can land, and is drawn at random so worlds seldom share one.
int unusedStatusPort() {
  static std::mt19937 draw{std::random_device{}()};
  std::uniform_int_distribution<int> ports(20000, 32000);
  for (;;) {
    if (const int port = bindLoopback(ports(draw)); port != 0) return port;
  }
}

int useUnusedStatusPort() {
  const int port = unusedStatusPort();
  ::setenv("TVRN_STATUS_PORT", std::to_string(port).c_str(), 1);
  return port;
}

int runTests(int& argc, char** argv, const std::function<void()>& beforeTests) {
  runBelowAReaper();
  prepareProcess();
  ::testing::InitGoogleTest(&argc, argv);
  makeRoot();
  // The application object and anything else made before the tests see a world too.
  enterFreshWorld();
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshWorldPerTest);
  if (beforeTests) beforeTests();
  int status = RUN_ALL_TESTS();
  if (::getpid() == 1 || belowAReaper()) endTheNamespacesOtherProcesses();
  removeTree(folders().root);
  if (!folders().shortRoot.empty()) removeTree(folders().shortRoot);
    // As the program does: detached session threads may still be running, so the process ends
    // without destroying the singletons under them. Leaks are still looked for first.
#if defined(__SANITIZE_ADDRESS__)
  __lsan_do_leak_check();
#endif
  endProcess(status);
}

}  // namespace tvrn::test
