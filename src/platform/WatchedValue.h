// A value made from a few files and kept until the kernel reports that one of them may have
// changed, or an environment variable that named them did. Reading it while nothing changed takes
// no lock and looks at no file: one look at the watch's queue, a comparison of the variables and
// this thread's own copy of the value. A value that could not be made from everything (a file
// that could not be read, a change that would go unreported) is made again at every read, under
// the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/EnvironmentKey.h"
#include "platform/FileWatch.h"

namespace tvrn {

template <typename T>
class WatchedValue {
 public:
  struct Made {
    std::shared_ptr<const T> value;
    bool complete = false;  // every file read and watched: the value stands until a report
  };
  // Names the files to the watch, then reads them; runs under this object's lock.
  using Make = std::function<Made(FileWatch&)>;

  // `variables`: the environment variables the files are named from (string literals).
  WatchedValue(std::vector<const char*> variables, Make make)
      : variables_(std::move(variables)), make_(std::move(make)) {}
  WatchedValue(const WatchedValue&) = delete;
  WatchedValue& operator=(const WatchedValue&) = delete;

  std::shared_ptr<const T> get() {
    thread_local Cached cached;
    // A report read by a thread that is still making the value shows as `remaking_`, so a change
    // made before this call began is never missed.
    if (!watch_.pending() && !remaking_.load()) {
      if (cached.owner == this && cached.generation == generation_.load() &&
          cached.entry->stands()) {
        return cached.entry->value;
      }
    }
    return remake(cached);
  }

 private:
  struct Entry {
    std::shared_ptr<const T> value;
    EnvironmentKey key;
    bool complete = false;
    bool stands() const { return complete && key.stillHolds(); }
  };
  struct Cached {
    const WatchedValue* owner = nullptr;
    std::uint64_t generation = 0;
    std::shared_ptr<const Entry> entry;
  };

  std::shared_ptr<const T> remake(Cached& cached) {
    std::lock_guard lock(mutex_);
    remaking_.store(true);
    const bool reported = watch_.drain();
    if (reported || !entry_ || !entry_->stands()) {
      EnvironmentKey key(variables_);  // taken before the files are named from the variables
      Made made = make_(watch_);
      entry_ = std::make_shared<const Entry>(
          Entry{std::move(made.value), std::move(key), made.complete});
      generation_.store(++generations_);
    }
    remaking_.store(false);
    cached = {this, generation_.load(), entry_};
    return entry_->value;
  }

  const std::vector<const char*> variables_;
  const Make make_;
  FileWatch watch_;  // pending() from any thread; the rest under mutex_
  std::atomic<bool> remaking_{false};
  std::atomic<std::uint64_t> generation_{0};
  std::mutex mutex_;  // guards entry_ and the watch's reports; held while the value is made
  std::shared_ptr<const Entry> entry_;
  static inline std::atomic<std::uint64_t> generations_{0};
};

}  // namespace tvrn
