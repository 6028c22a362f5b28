// A log line that a flood can repeat thousands of times a second (a connection refused past the
// session cap, a failed accept): the first is written at once, the rest are counted, and one
// line per interval says how many came, "<last line> (N more in the last 10 s)". So the log
// still tells what happened and how often without growing by a line each time.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "base/Dispatch.h"

namespace tvrn {

class LogThrottle final {
 public:
  enum class Level { info, warn, error };

  struct Options {
    std::chrono::seconds interval{10};
    // Where the count is written once its interval is over; Dispatch's timers when unset. The
    // clock tells the time of each line and must be the one these timers run on.
    TimerQueue* timers = nullptr;
    Clock* clock = nullptr;  // the steady clock when unset
  };

  LogThrottle(std::string category, Level level) : LogThrottle(std::move(category), level, {}) {}
  LogThrottle(std::string category, Level level, Options options);
  ~LogThrottle();  // writes the count it holds back
  LogThrottle(const LogThrottle&) = delete;
  LogThrottle& operator=(const LogThrottle&) = delete;

  // Writes the line now when none came for an interval; otherwise counts it for the next summary.
  void write(std::string_view message);

  // Writes now the count held back, if any, and starts afresh (the next line is written at once):
  // for when the source stops (a server that stops), so no count is lost with it.
  void flush();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tvrn
