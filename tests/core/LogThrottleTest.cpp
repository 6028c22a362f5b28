#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/Dispatch.h"
#include "core/LogThrottle.h"
#include "support/CapturedStderr.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

// Each row: steps in order (lines written, the clock moved, or the source stopped), then the
// messages the log holds.
TEST(LogThrottleTest, WritesTheFirstAtOnceAndThenOneCountPerInterval) {
  struct Step {
    int writes = 0;
    std::chrono::seconds advance{0};
    bool stop = false;
  };
  struct Row {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> messages;
  };
  const std::string more = " more in the last 10 s)";
  const Row rows[] = {
      {"one alone", {{1}}, {"m1"}},
      {"a burst", {{5}, {0, 10s}}, {"m1", "m5 (4" + more}},
      {"again after a quiet interval", {{1}, {0, 10s}, {1}}, {"m1", "m2"}},
      {"a flood over intervals, then quiet",
       {{3}, {0, 10s}, {2}, {0, 10s}, {0, 10s}, {1}},
       {"m1", "m3 (2" + more, "m5 (2" + more, "m6"}},
      {"still within the interval", {{2}, {0, 9s}}, {"m1"}},
      {"the count is written when the source stops, and it starts afresh",
       {{3}, {0, 0s, true}, {1}},
       {"m1", "m3 (2" + more, "m4"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ManualClock clock;
    TimerQueue timers(clock);
    test::CapturedStderr captured;
    {
      LogThrottle throttle("test", LogThrottle::Level::warn, {10s, &timers, &clock});
      int written = 0;
      for (const Step& step : row.steps) {
        for (int i = 0; i < step.writes; ++i) throttle.write("m" + std::to_string(++written));
        if (step.stop) throttle.flush();
        clock.advance(step.advance);
        timers.waitIdle();
      }
      std::istringstream lines(captured.text());
      std::vector<std::string> messages;
      for (std::string line; std::getline(lines, line);) {
        const std::string prefix = " [test] WARN  ";
        ASSERT_NE(line.find(prefix), std::string::npos) << line;
        messages.push_back(line.substr(line.find(prefix) + prefix.size()));
      }
      EXPECT_EQ(messages, row.messages);
    }
  }
}

}  // namespace
}  // namespace tvrn
