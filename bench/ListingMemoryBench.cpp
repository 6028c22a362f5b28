// What the socket server holds once big calendar listings are answered and their clients gone:
// a server process of its own (a copy of this program) lists a year of 10,000 events once,
// another the same eight times at once, and each is read idle afterwards. Every thread that
// answers keeps what it freed in an allocator arena of its own unless it is given back, so eight
// at once could keep eight times what one does.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PrivateHome.h"
#include "StoreCalls.h"
#include "core/IPCServer.h"
#include "core/ToolRegistry.h"
#include "platform/Paths.h"
#include "tools/calendar/CalendarTools.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

constexpr int kEvents = 10000;
constexpr int kCalendars = 5;

// 10,000 events in 2025, each with a place and a paragraph of notes, as a work calendar holds
// them; the settings point the store at them.
void prepareYear() {
  static const bool prepared = [] {
    // The replies read here go back to the system once read, and the servers forked later do
    // not start with them.
    prepareProcess();
    const fs::path root = bench::privateHome.path / "year-calendars";
    for (int c = 0; c < kCalendars; ++c) fs::create_directories(root / ("c" + std::to_string(c)));
    const std::string notes(400, 'n');
    for (int i = 0; i < kEvents; ++i) {
      const std::time_t start = 1735718400 + (i * 1051L % (365 * 24 * 60)) * 60;  // from 2025
      char from[32], to[32];
      std::tm tm{};
      const std::time_t end = start + 3600;
      std::strftime(from, sizeof from, "%Y%m%dT%H%M%SZ", ::gmtime_r(&start, &tm));
      std::strftime(to, sizeof to, "%Y%m%dT%H%M%SZ", ::gmtime_r(&end, &tm));
      const std::string uid = "y" + std::to_string(i);
      std::ofstream(root / ("c" + std::to_string(i % kCalendars)) / (uid + ".ics"))
          << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Bench//EN\r\nBEGIN:VEVENT\r\nUID:" << uid
          << "\r\nDTSTAMP:20250101T000000Z\r\nSUMMARY:Planning meeting " << uid
          << "\r\nLOCATION:Building 4\\, room " << i % 40 << "\r\nDESCRIPTION:" << notes
          << "\r\nDTSTART:" << from << "\r\nDTEND:" << to << "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
    }
    fs::create_directories(Paths::appSupport());
    std::ofstream(Paths::appSupport() / "config.json")
        << R"({"calendar_folders": [")" << root.string() << R"("]})";
    return true;
  }();
  static_cast<void>(prepared);
}

// A memory figure of the process's status ("VmRSS:", the resident memory; "VmHWM:", its peak).
double statusMiB(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::stod(line.substr(key.size())) / 1024.0;
  }
  return 0;
}

// The socket server with the calendar tools, in a copy of this program that ends when `lifeline`
// closes.
pid_t startServer(int lifeline[2]) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::close(lifeline[1]);
  auto registry = std::make_shared<ToolRegistry>();
  registry->context().statusServerInProcess = true;
  static HelperProxy helper(bench::localData());
  CalendarTools::registerTools(*registry, helper);
  if (!IPCServer::shared().start(registry, "bench")) ::_exit(1);
  char byte = 0;
  while (::read(lifeline[0], &byte, 1) != 0) {
  }
  ::_exit(0);
}

int connectTo(const fs::path& socket) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

const std::string kYear =
    R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"list_calendar_events",)"
    R"("arguments":{"start_date":"2025-01-01","end_date":"2026-01-01","max_results":100000}}})"
    "\n";

// Sends `listings` year listings at once on one connection and reads their replies; the size of
// the first, 0 when not all came.
std::size_t listYear(const fs::path& socket, int listings) {
  const int fd = connectTo(socket);
  if (fd < 0) return 0;
  std::string lines;
  for (int i = 0; i < listings; ++i) lines += kYear;
  std::size_t first = 0;
  if (::write(fd, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size())) {
    std::string reply;
    char chunk[65536];
    int replies = 0;
    for (ssize_t n; replies < listings && (n = ::read(fd, chunk, sizeof chunk)) > 0;) {
      reply.append(chunk, static_cast<size_t>(n));
      for (std::size_t end; (end = reply.find('\n')) != std::string::npos; ++replies) {
        if (replies == 0) first = end + 1;
        reply.erase(0, end + 1);
      }
    }
    if (replies < listings) first = 0;
  }
  ::close(fd);
  return first;
}

struct Idle {
  double before = 0;  // MiB resident once the store is read, before the listings
  double after = 0;   // once the listings are answered and their clients gone
  double peak = 0;    // the most it held, start-up included
  double replyMiB = 0;
};

// A fresh server lists the year `listings` times at once, over one connection or one connection
// each; its resident memory before and after.
Idle idleAfter(int listings, bool connectionEach) {
  prepareYear();
  int lifeline[2];
  bench::require(::pipe2(lifeline, O_CLOEXEC) == 0, "a pipe");
  const pid_t pid = startServer(lifeline);
  ::close(lifeline[0]);
  const fs::path socket = IPCServer::socketPath();
  const auto deadline = steady_clock::now() + seconds(60);
  while (!IPCServer::isServed(socket) && steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  // A first short listing reads the folders, so both servers start from the same store.
  const std::string week =
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"list_calendar_events",)"
      R"("arguments":{"start_date":"2025-03-03","end_date":"2025-03-04"}}})"
      "\n";
  if (const int fd = connectTo(socket); fd >= 0) {
    char chunk[65536];
    bench::require(::write(fd, week.data(), week.size()) == static_cast<ssize_t>(week.size()) &&
                       ::read(fd, chunk, sizeof chunk) > 0,
                   "the first listing");
    ::close(fd);
  }
  std::this_thread::sleep_for(milliseconds(500));
  Idle idle;
  idle.before = statusMiB(pid, "VmRSS:");
  const int connections = connectionEach ? listings : 1;
  std::vector<std::thread> threads;
  std::vector<std::size_t> sizes(static_cast<size_t>(connections));
  for (int i = 0; i < connections; ++i) {
    threads.emplace_back([&, i] {
      sizes[static_cast<size_t>(i)] = listYear(socket, connectionEach ? 1 : listings);
    });
  }
  for (auto& thread : threads) thread.join();
  for (const std::size_t size : sizes) bench::require(size > 0, "a year's listing");
  // The sessions end once their clients have gone.
  std::this_thread::sleep_for(seconds(1));
  idle.after = statusMiB(pid, "VmRSS:");
  idle.peak = statusMiB(pid, "VmHWM:");
  idle.replyMiB = static_cast<double>(sizes.front()) / (1024.0 * 1024.0);
  ::close(lifeline[1]);
  ::waitpid(pid, nullptr, 0);
  return idle;
}

// Eight listings at once pipelined on one connection, as one client sends them (its session's
// workers answer them), or one per connection (each session's own thread answers).
void BM_IdleAfterYearListings(benchmark::State& state) {
  for (auto _ : state) {
    const Idle one = idleAfter(1, false);
    const Idle eight = idleAfter(8, state.range(0) != 0);
    state.counters["reply_MiB"] = one.replyMiB;
    state.counters["before_MiB"] = one.before;
    state.counters["after_one_MiB"] = one.after;
    state.counters["before_eight_MiB"] = eight.before;
    state.counters["after_eight_MiB"] = eight.after;
    state.counters["peak_eight_MiB"] = eight.peak;
    state.counters["eight_over_one"] = eight.after / one.after;
  }
}
BENCHMARK(BM_IdleAfterYearListings)
    ->ArgName("connection_each")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tvrn
