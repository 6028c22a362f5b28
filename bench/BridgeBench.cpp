// Requests per second of whole programs, each measured beside its baseline by the same client:
// 64 pings in flight through the `tavrin-server` bridge against socat joining the same socket,
// and 64 trivial store calls in flight (todo_list_lists) on this build's server against those on
// another build's (TVRN_BASELINE_TRAY: its tavrin-tray, which the second half skips when unset).
// Each server is a tray started headless in a home of its own. The pairs are best run
// interleaved: --benchmark_enable_random_interleaving=true --benchmark_repetitions=10.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "PrivateHome.h"
#include "ServerClient.h"
#include "core/IPCServer.h"
#include "platform/ProcessSetup.h"
#include "platform/Subprocess.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
    R"("capabilities":{},"clientInfo":{"name":"bridge-bench","version":"1"}}})"
    "\n"
    R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
    "\n";
const std::string kPing = R"({"jsonrpc":"2.0","method":"ping","id":)";
const std::string kStoreCall =
    R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"todo_list_lists","arguments":{}},)"
    R"("id":)";

// `count` requests beginning `opening`, each closed by an id of its own.
std::string burstOf(const std::string& opening, int count) {
  std::string burst;
  for (int id = 1; id <= count; ++id) burst += opening + std::to_string(id) + "}\n";
  return burst;
}

// A TCP port nothing listens on now, for a tray's status server.
int unusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bench::require(fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0,
                 "a free port for a status server");
  ::close(fd);
  return ntohs(address.sin_port);
}

// This process's environment with the home, settings and status port of `home`.
std::vector<std::string> environmentFor(const fs::path& home) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (text.starts_with("HOME=") || text.starts_with("XDG_CONFIG_HOME=") ||
        text.starts_with("TVRN_STATUS_PORT=") || text.starts_with("DISPLAY=") ||
        text.starts_with("WAYLAND_DISPLAY=")) {
      continue;
    }
    environment.emplace_back(text);
  }
  environment.push_back("HOME=" + home.string());
  environment.push_back("XDG_CONFIG_HOME=" + (home / ".config").string());
  environment.push_back("TVRN_STATUS_PORT=" + std::to_string(unusedPort()));
  return environment;
}

// A tray serving headless in a home of its own under the private one, until the program ends.
struct Tray {
  fs::path home;
  fs::path socket;
  std::unique_ptr<Subprocess> process;  // empty when it could not be started
};

std::unique_ptr<Tray> startTray(const std::string& program, const std::string& name) {
  prepareProcess();
  auto tray = std::make_unique<Tray>();
  tray->home = bench::privateHome.path / name;
  fs::create_directories(tray->home);
  tray->socket = tray->home / ".local/share/tavrin/mcp.sock";
  SpawnOptions options({program, "--headless"});
  options.environment = environmentFor(tray->home);
  auto started = Subprocess::start(options);
  if (!started.ok()) return tray;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!IPCServer::isServed(tray->socket)) {
    if (std::chrono::steady_clock::now() > deadline) return tray;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  tray->process = std::move(started).value();
  return tray;
}

const Tray& ownTray() {
  static const auto tray = startTray(TVRN_TRAY_PROGRAM, "own");
  return *tray;
}

const Tray& baselineTray() {
  static const auto tray = [] {
    const char* program = std::getenv("TVRN_BASELINE_TRAY");
    return program == nullptr ? std::make_unique<Tray>() : startTray(program, "baseline");
  }();
  return *tray;
}

// A client's program between it and the server: written to, read from, line by line.
class Joined {
 public:
  Joined(const Tray& tray, std::vector<std::string> argv) {
    SpawnOptions options(std::move(argv));
    options.searchPath = true;
    options.environment = environmentFor(tray.home);
    auto started = Subprocess::start(options);
    if (started.ok()) process_ = std::move(started).value();
  }

  bool exchange(const std::string& lines, int replies) {
    const auto deadline = SubprocessClock::now() + std::chrono::seconds(30);
    if (!process_ || process_->write(lines, deadline) != WriteStatus::written) return false;
    for (int i = 0; i < replies; ++i) {
      if (process_->readLine(deadline).status != LineStatus::line) return false;
    }
    return true;
  }

 private:
  std::unique_ptr<Subprocess> process_;
};

// Each iteration sends `inFlight` requests at once and reads their replies.
template <typename Client>
void measure(benchmark::State& state, const Tray& tray, Client& client,
             const std::string& opening) {
  if (!tray.process) {
    state.SkipWithError("the server was not started (TVRN_BASELINE_TRAY set to its tray?)");
    return;
  }
  if (!client.exchange(kInitialize, 1)) {
    state.SkipWithError("no answer to initialize");
    return;
  }
  const int inFlight = static_cast<int>(state.range(0));
  const std::string burst = burstOf(opening, inFlight);
  // A server's first call of a tool may wait for what it sets up once (the store's first look).
  if (!client.exchange(burst, inFlight)) {
    state.SkipWithError("no answer to the first requests");
    return;
  }
  const double processorBefore = bench::processorSeconds(tray.process->pid());
  for (auto _ : state) {
    if (!client.exchange(burst, inFlight)) {
      state.SkipWithError("the server stopped answering");
      break;
    }
  }
  const double requests = static_cast<double>(state.iterations()) * inFlight;
  state.counters["requests_per_second"] = benchmark::Counter(requests, benchmark::Counter::kIsRate);
  state.counters["server_us_per_request"] =
      (bench::processorSeconds(tray.process->pid()) - processorBefore) * 1e6 / requests;
}

void BM_PingsThroughBridge(benchmark::State& state) {
  Joined bridge(ownTray(), {TVRN_BRIDGE_PROGRAM});
  measure(state, ownTray(), bridge, kPing);
}
BENCHMARK(BM_PingsThroughBridge)->Arg(64)->UseRealTime()->MinTime(2);

void BM_PingsThroughSocat(benchmark::State& state) {
  Joined socat(ownTray(), {"socat", "-", "UNIX-CONNECT:" + ownTray().socket.string()});
  measure(state, ownTray(), socat, kPing);
}
BENCHMARK(BM_PingsThroughSocat)->Arg(64)->UseRealTime()->MinTime(2);

void BM_StoreCallsOnThisBuild(benchmark::State& state) {
  bench::Connection connection(ownTray().socket);
  measure(state, ownTray(), connection, kStoreCall);
}
BENCHMARK(BM_StoreCallsOnThisBuild)->Arg(64)->UseRealTime()->MinTime(2);

void BM_StoreCallsOnBaseline(benchmark::State& state) {
  bench::Connection connection(baselineTray().socket);
  measure(state, baselineTray(), connection, kStoreCall);
}
BENCHMARK(BM_StoreCallsOnBaseline)->Arg(64)->UseRealTime()->MinTime(2);

}  // namespace
}  // namespace tvrn
