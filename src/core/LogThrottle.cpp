#include "core/LogThrottle.h"

#include <mutex>
#include <optional>

#include "core/Logger.h"

namespace tvrn {

struct LogThrottle::State {
  State(std::string name, Level written, Clock::Duration every, TimerQueue& queue, Clock& time)
      : category(std::move(name)), level(written), interval(every), timers(queue), clock(time) {}

  std::string category;
  Level level;
  Clock::Duration interval;
  TimerQueue& timers;
  Clock& clock;

  std::mutex mutex;                    // guards the members below
  Clock::TimePoint quietFrom{};        // lines before this are counted, not written
  std::size_t held = 0;                // lines counted since the last one written
  std::string last;                    // the newest of them
  std::optional<TimerHandle> summary;  // writes the count once the interval is over

  void emit(std::string_view line) const {
    switch (level) {
      case Level::info:
        return Logger::info(category, line);
      case Level::warn:
        return Logger::warn(category, line);
      case Level::error:
        return Logger::error(category, line);
    }
  }

  // The summary line for what is held, and the next interval begun; nothing when nothing is
  // held. Under the mutex.
  std::optional<std::string> takeSummary() {
    if (summary) summary->cancel();
    summary.reset();
    if (held == 0) return std::nullopt;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(interval).count();
    std::string line =
        last + " (" + std::to_string(held) + " more in the last " + std::to_string(seconds) + " s)";
    held = 0;
    quietFrom = clock.now() + interval;
    return line;
  }

  // Writes the count held, if any. `afresh`: the next line is written at once.
  void writeSummary(bool afresh) {
    std::unique_lock hold(mutex);
    const auto line = takeSummary();
    if (afresh) quietFrom = {};
    hold.unlock();
    if (line) emit(*line);
  }
};

LogThrottle::LogThrottle(std::string category, Level level, Options options)
    : state_(
          std::make_shared<State>(std::move(category), level, options.interval,
                                  options.timers != nullptr ? *options.timers : Dispatch::timers(),
                                  options.clock != nullptr ? *options.clock : Clock::steady())) {}

LogThrottle::~LogThrottle() { flush(); }

void LogThrottle::write(std::string_view message) {
  State& state = *state_;
  {
    std::lock_guard hold(state.mutex);
    const auto now = state.clock.now();
    if (state.held > 0 || now < state.quietFrom) {
      ++state.held;
      state.last = message;
      if (!state.summary) {
        // Held weakly: a throttle that is gone has written its count already.
        state.summary =
            state.timers.after(state.quietFrom - now, [weak = std::weak_ptr<State>(state_)] {
              if (const auto alive = weak.lock()) alive->writeSummary(false);
            });
      }
      return;
    }
    state.quietFrom = now + state.interval;
  }
  // Written outside the lock: the log has its own.
  state.emit(message);
}

void LogThrottle::flush() { state_->writeSummary(true); }

}  // namespace tvrn
