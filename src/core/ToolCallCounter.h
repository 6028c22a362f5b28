// Counts tool calls per tool between two drains by the heartbeat and records, once, the moment of
// the first tool call ever. A process that does not own the status server also reports each call
// to it, so the process that runs the heartbeat sees every call.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace tvrn {

struct ServerContext;

// What a counter held when it was drained.
struct CountSnapshot {
  std::int64_t total = 0;
  std::map<std::string, std::int64_t> breakdown;
};

// Counts per key and in total, under a lock of its own held only for the change or the drain.
class CountTable {
 public:
  void add(std::string_view key);
  CountSnapshot drain();
  // Adds a drained snapshot back, when what it counted could not be delivered.
  void restore(const CountSnapshot& snapshot);

 private:
  std::mutex mutex_;  // guards counts_
  CountSnapshot counts_;
};

// What one server counts between two drains by the heartbeat: tool calls per tool, failed calls
// per "<tool>:<type>", and whether it has dealt with "first_tool_call_at".
struct ToolCounts {
  CountTable calls;
  CountTable errors;
  std::atomic<bool> firstCallRecorded{false};
};

namespace ToolCallCounter {

// Counts the call into the context's counts, then reports it to the status server through the
// context's poster when it reports at all, with the name of the AI client that made it ("" when
// unknown, which the status server ignores).
void increment(ServerContext& context, std::string_view tool, std::string_view aiClient = {});

// Counts the call without reporting it. The first call the context's counts see writes
// "first_tool_call_at" into its settings unless they already hold it.
void incrementLocalOnly(ServerContext& context, std::string_view tool);

// True when one of the process's own command-line arguments is exactly "--daemon"; read from
// /proc once per process.
bool isDaemon();

// Whether calls and errors are sent to the status server: never by the daemon, nor where the
// status server counts into the context itself (`ServerContext::statusServerInProcess`).
bool reportsToStatusServer(const ServerContext& context);

}  // namespace ToolCallCounter
}  // namespace tvrn
