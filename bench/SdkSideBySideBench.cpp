// Tavrin's MCP server beside the TypeScript MCP SDK's, each in a process of its own on a Unix
// socket with one JSON-RPC message per line, measured by the same client: Tavrin's trivial store
// call (todo_list_lists, with every built-in tool registered) against the SDK server's echo, one
// at a time, 64 in flight, and over 1 and 16 connections at once. Besides requests per second,
// each reports the server process's processor time per request, which the load of other programs
// on the machine changes far less. The SDK server (sdk-echo-server.cjs beside this file, in node)
// lists the same tools plus its echo. Without node or the SDK (./test.sh puts it in
// build-test/node) its half is skipped.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "PrivateHome.h"
#include "ServerClient.h"
#include "StoreCalls.h"
#include "core/IPCServer.h"
#include "core/ToolRegistry.h"
#include "platform/Subprocess.h"
#include "server/CoProcesses.h"
#include "server/ServerCore.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
    R"("capabilities":{},"clientInfo":{"name":"side-by-side","version":"1"}}})"
    "\n"
    R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
    "\n";

const std::string kEchoLine =
    R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"echo",)"
    R"("arguments":{"text":"hello"}}})";

struct Server {
  fs::path socket;  // empty when it could not be started
  pid_t pid = -1;
};

// Waits until a server answers at `socket`.
bool served(const fs::path& socket) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!IPCServer::isServed(socket)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Tavrin's socket server with every built-in tool family, in a copy of this program; it ends with
// the benchmark program. The copy is made by whichever thread first asks for the server, which may
// be one of a benchmark's threads that ends before the program does, so the copy watches a pipe
// the program holds open for its whole life rather than the thread that made it.
const Server& tavrinServer() {
  static const Server server = [] {
    const fs::path tools = bench::privateHome.path / "tools.json";
    int lifeline[2];
    if (::pipe2(lifeline, O_CLOEXEC) != 0) return Server{};
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(lifeline[1]);
      bench::prepareStoreCalls();
      auto context = std::make_shared<ServerContext>();
      context->statusServerInProcess = true;
      auto registry = std::make_shared<ToolRegistry>(context);
      CoProcesses clients(bench::localData());  // as start-up builds them; the child never returns
      ServerCore::registerToolFamilies(*registry, clients, bench::storesOfTheProgram());
      std::ofstream(tools) << registry->listText();
      if (!IPCServer::shared().start(registry, "bench")) ::_exit(1);
      // Nothing is ever written: the read ends when the program's end closes.
      char byte = 0;
      while (::read(lifeline[0], &byte, 1) != 0) {
      }
      ::_exit(0);
    }
    ::close(lifeline[0]);  // the other end stays open until the program ends
    const fs::path socket = IPCServer::socketPath();
    return pid > 0 && served(socket) ? Server{socket, pid} : Server{};
  }();
  return server;
}

// The SDK server, listing the tools Tavrin lists.
const Server& sdkServer() {
  static std::unique_ptr<Subprocess> node;  // ended when the benchmark program exits
  static const Server server = []() -> Server {
    if (tavrinServer().socket.empty()) return {};  // which writes tools.json
    const fs::path path = bench::privateHome.path / "sdk.sock";
    SpawnOptions options({"node", std::string(TVRN_BENCH_DIR) + "/sdk-echo-server.cjs",
                          path.string(), (bench::privateHome.path / "tools.json").string()});
    options.searchPath = true;
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    environment.push_back(std::string("NODE_PATH=") + TVRN_BENCH_NODE_MODULES);
    options.environment = std::move(environment);
    auto started = Subprocess::start(options);
    if (!started.ok()) return {};
    node = std::move(started).value();
    const LineRead ready = node->readLine(SubprocessClock::now() + std::chrono::seconds(60));
    if (ready.status != LineStatus::line || ready.text != "ready") return {};
    return {path, node->pid()};
  }();
  return server;
}

// `inFlight` copies of the request, each with an id of its own.
std::string burstOf(const std::string& line, int inFlight) {
  std::string burst;
  const std::string id = R"("id":5,)";
  for (int i = 0; i < inFlight; ++i) {
    std::string request = line;
    request.replace(request.find(id), id.size(), "\"id\":" + std::to_string(100 + i) + ",");
    burst += request + "\n";
  }
  return burst;
}

// Each benchmark thread is one connection; each iteration sends `inFlight` requests at once and
// reads all their replies.
void measure(benchmark::State& state, const Server& server, const std::string& line) {
  if (server.socket.empty()) {
    state.SkipWithError("the server could not be started (node and the MCP SDK installed?)");
    return;
  }
  const int inFlight = static_cast<int>(state.range(0));
  bench::Connection connection(server.socket);
  if (!connection.exchange(kInitialize, 1)) {
    state.SkipWithError("the server did not answer initialize");
    return;
  }
  const std::string burst = burstOf(line, inFlight);
  const double processorBefore = bench::processorSeconds(server.pid);
  for (auto _ : state) {
    if (!connection.exchange(burst, inFlight)) {
      state.SkipWithError("the server stopped answering");
      break;
    }
  }
  const double requests = static_cast<double>(state.iterations()) * inFlight;
  state.counters["requests_per_second"] = benchmark::Counter(requests, benchmark::Counter::kIsRate);
  // The whole server's time, over every connection's requests: counted by the first thread.
  if (state.thread_index() == 0) {
    state.counters["server_us_per_request"] =
        (bench::processorSeconds(server.pid) - processorBefore) * 1e6 /
        (requests * state.threads());
  }
}

void BM_TavrinStoreCall(benchmark::State& state) {
  measure(state, tavrinServer(), bench::kStoreCallLine);
}
BENCHMARK(BM_TavrinStoreCall)->Arg(1)->Arg(64)->UseRealTime()->MinTime(2);
BENCHMARK(BM_TavrinStoreCall)->Arg(1)->Threads(16)->UseRealTime()->MinTime(2);

void BM_SdkEcho(benchmark::State& state) { measure(state, sdkServer(), kEchoLine); }
BENCHMARK(BM_SdkEcho)->Arg(1)->Arg(64)->UseRealTime()->MinTime(2);
BENCHMARK(BM_SdkEcho)->Arg(1)->Threads(16)->UseRealTime()->MinTime(2);

}  // namespace
}  // namespace tvrn
