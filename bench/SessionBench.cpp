// A whole MCP session over a socket pair: requests per second for ping (one at a time and 64 in
// flight), tools/list over 120 tools, a trivial tools/call, a call of a manifest text tool with
// four validated parameters, and a trivial store call (one at a time, 64 in flight, and over 1
// and 16 connections at once), each written as a line and answered as a line.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "PrivateHome.h"
#include "StoreCalls.h"
#include "core/MCPServer.h"
#include "core/MCPTransport.h"
#include "core/ToolRegistry.h"
#include "core/ToolResponse.h"
#include "manifest/ManifestToolDispatcher.h"
#include "platform/ProcessSetup.h"
#include "tools/todo/ToDoTools.h"

namespace tvrn {
namespace {

// A manifest tool answering its text after validating a string, an integer, a boolean and an
// array parameter.
void applyManifestTextTool(const std::shared_ptr<ToolRegistry>& registry) {
  Manifest manifest;
  manifest.capabilities.push_back({"native", ""});
  ToolSpec tool;
  tool.name = "manifest_text";
  tool.timeoutMs = 30000;
  tool.behavior = BehaviorSpec::Text{"ok"};
  const std::pair<const char*, ParamType> params[] = {{"text", ParamType::string},
                                                      {"count", ParamType::integer},
                                                      {"loud", ParamType::boolean},
                                                      {"tags", ParamType::array}};
  for (const auto& [name, type] : params) {
    ParamSpec param;
    param.name = name;
    param.type = type;
    param.required = true;
    tool.params.push_back(param);
  }
  tool.params[0].maxLength = 100;
  tool.params[1].min = 1;
  tool.params[1].max = 10;
  manifest.tools.push_back(tool);
  ManifestToolDispatcher dispatcher;  // the tools it registers stay with the registry
  dispatcher.setRegistry(registry);
  dispatcher.apply(manifest);
}

std::shared_ptr<ToolRegistry> registryOf120Tools() {
  auto registry = std::make_shared<ToolRegistry>();
  for (int i = 0; i < 120; ++i) {
    registry->registerTool(ToolDefinition{
        "bench_tool_" + std::to_string(i), "A tool for the benchmark",
        {{"type", "object"}, {"properties", {{"text", {{"type", "string"}}}}}},
        ToolKind::readOnly,
        [](const std::optional<JSONValue>&) -> ToolResult { return ToolResponse::text("ok"); }});
  }
  applyManifestTextTool(registry);
  return registry;
}

// The same tools and the To Do family's, one registry for every session as in the running server.
std::shared_ptr<ToolRegistry> storeRegistry() {
  static const auto registry = [] {
    bench::prepareStoreCalls();
    auto made = registryOf120Tools();
    ToDoTools::registerTools(*made, bench::storeHelper());
    return made;
  }();
  return registry;
}

// Reads one reply line from the client's end.
bool readReply(int fd, std::string& buffer) {
  for (;;) {
    if (auto end = buffer.find('\n'); end != std::string::npos) {
      buffer.erase(0, end + 1);
      return true;
    }
    char chunk[65536];
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
  }
}

// Each iteration writes `inFlight` requests at once and reads all their replies.
void runSession(benchmark::State& state, const std::string& requestLine, int inFlight = 1,
                std::shared_ptr<ToolRegistry> registry = registryOf120Tools()) {
  prepareProcess();
  // As in the running program, which hosts the status server: calls are counted in the process,
  // not reported over HTTP.
  registry->context().statusServerInProcess = true;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  auto server = std::make_unique<MCPServer>(
      std::make_unique<MCPReader>(fds[1]), std::make_unique<MCPWriter>(fds[1], true),
      std::move(registry), MCPServer::ServerInfo{"tavrin-server", "bench"});
  std::thread session([&server] { server->run(); });

  std::string burst;
  for (int i = 0; i < inFlight; ++i) burst += requestLine + "\n";
  std::string buffer;
  for (auto _ : state) {
    bool answered = ::write(fds[0], burst.data(), burst.size()) ==
                    static_cast<ssize_t>(burst.size());
    for (int i = 0; answered && i < inFlight; ++i) answered = readReply(fds[0], buffer);
    if (!answered) {
      state.SkipWithError("the session stopped answering");
      break;
    }
  }
  state.counters["requests_per_second"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * inFlight, benchmark::Counter::kIsRate);
  ::shutdown(fds[0], SHUT_RDWR);
  ::close(fds[0]);
  session.join();
}

void BM_SessionPing(benchmark::State& state) {
  runSession(state, R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
}
BENCHMARK(BM_SessionPing)->UseRealTime();

void BM_SessionPing64InFlight(benchmark::State& state) {
  runSession(state, R"({"jsonrpc":"2.0","id":1,"method":"ping"})", 64);
}
BENCHMARK(BM_SessionPing64InFlight)->UseRealTime();

void BM_SessionToolsList(benchmark::State& state) {
  runSession(state, R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})");
}
BENCHMARK(BM_SessionToolsList)->UseRealTime();

void BM_SessionTrivialToolCall(benchmark::State& state) {
  runSession(state,
             R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"bench_tool_7",)"
             R"("arguments":{"text":"hello"}}})");
}
BENCHMARK(BM_SessionTrivialToolCall)->UseRealTime();

void BM_SessionManifestTextToolCall(benchmark::State& state) {
  runSession(state,
             R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"manifest_text",)"
             R"("arguments":{"text":"hello","count":3,"loud":"true","tags":"a, b"}}})");
}
BENCHMARK(BM_SessionManifestTextToolCall)->UseRealTime();

void BM_SessionStoreCall(benchmark::State& state) {
  runSession(state, bench::kStoreCallLine, 1, storeRegistry());
}
BENCHMARK(BM_SessionStoreCall)->UseRealTime();

void BM_SessionStoreCall64InFlight(benchmark::State& state) {
  runSession(state, bench::kStoreCallLine, 64, storeRegistry());
}
BENCHMARK(BM_SessionStoreCall64InFlight)->UseRealTime();

// Each benchmark thread is one connection with a session of its own, calling one at a time.
void BM_SessionStoreCallConnections(benchmark::State& state) {
  runSession(state, bench::kStoreCallLine, 1, storeRegistry());
}
BENCHMARK(BM_SessionStoreCallConnections)->Threads(1)->Threads(16)->UseRealTime();

}  // namespace
}  // namespace tvrn
