// Calendar listings over whole MCP sessions on socket pairs: calls per second of one connection
// and of sixteen listing at once, over a store of 10,000 events in five calendars.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "PrivateHome.h"
#include "StoreCalls.h"
#include "bridges/HelperProxy.h"
#include "core/MCPServer.h"
#include "core/MCPTransport.h"
#include "core/ToolRegistry.h"
#include "platform/Paths.h"
#include "platform/ProcessSetup.h"
#include "tools/calendar/CalendarTools.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

// The store's folders hold 10,000 one-hour events over two years; the config points at them.
void prepareStore() {
  static const bool prepared = [] {
    const fs::path root = bench::privateHome.path / "session-calendars";
    for (int c = 0; c < 5; ++c) fs::create_directories(root / ("c" + std::to_string(c)));
    for (int i = 0; i < 10000; ++i) {
      const std::string uid = "s" + std::to_string(i);
      const int hour = i * 17 % (2 * 365 * 24);
      char start[32], end[32];
      const std::time_t t = 1704096000 + hour * 3600L;  // from 2024-01-01T08:00:00Z
      std::tm tm{};
      ::gmtime_r(&t, &tm);
      std::strftime(start, sizeof start, "%Y%m%dT%H%M%SZ", &tm);
      tm.tm_hour += 1;
      const std::time_t t2 = t + 3600;
      ::gmtime_r(&t2, &tm);
      std::strftime(end, sizeof end, "%Y%m%dT%H%M%SZ", &tm);
      std::ofstream(root / ("c" + std::to_string(i % 5)) / (uid + ".ics"))
          << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Bench//EN\r\nBEGIN:VEVENT\r\nUID:" << uid
          << "\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Event " << uid << "\r\nDTSTART:" << start
          << "\r\nDTEND:" << end << "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
    }
    fs::create_directories(Paths::appSupport());
    std::ofstream(Paths::appSupport() / "config.json")
        << R"({"calendar_folders": [")" << root.string() << R"("]})";
    prepareProcess();
    return true;
  }();
  (void)prepared;
}

bool readReply(int fd, std::string& buffer) {
  for (;;) {
    if (auto end = buffer.find('\n'); end != std::string::npos) {
      buffer.erase(0, end + 1);
      return true;
    }
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
  }
}

// Every benchmark thread is one connection with a session of its own, calling back to back.
void BM_SessionWeekListing(benchmark::State& state) {
  static std::shared_ptr<ToolRegistry> registry = [] {
    prepareStore();
    auto made = std::make_shared<ToolRegistry>();
    // The helper as start-up builds it, answered by the local data services in the process; it
    // lives as long as the program.
    static HelperProxy helper(bench::localData());
    made->context().statusServerInProcess = true;
    CalendarTools::registerTools(*made, helper);
    return made;
  }();
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  auto server = std::make_unique<MCPServer>(std::make_unique<MCPReader>(fds[1]),
                                            std::make_unique<MCPWriter>(fds[1], true), registry,
                                            MCPServer::ServerInfo{"tavrin-server", "bench"});
  std::thread session([&server] { server->run(); });
  const std::string line =
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"list_calendar_events",)"
      R"("arguments":{"start_date":"2024-05-06","end_date":"2024-05-13"}}})"
      "\n";
  std::string buffer;
  for (auto _ : state) {
    if (::write(fds[0], line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
        !readReply(fds[0], buffer)) {
      state.SkipWithError("the session stopped answering");
      break;
    }
  }
  state.counters["calls_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  ::shutdown(fds[0], SHUT_RDWR);
  ::close(fds[0]);
  session.join();
}
BENCHMARK(BM_SessionWeekListing)->Threads(1)->Threads(16)->UseRealTime()->MinTime(3);

}  // namespace
}  // namespace tvrn
