// The clock and the timers that the tray's timed behaviour runs on: Qt's timers and the wall
// clock in the program, a scheduler that tests move by hand so that delays of seconds take none.
#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>

namespace tvrn {

class TrayScheduler {
 public:
  // A repeating timer; destroying it stops the timer.
  class Repeating {
   public:
    virtual ~Repeating() = default;
  };

  virtual ~TrayScheduler() = default;

  virtual std::chrono::system_clock::time_point now() const = 0;
  // Runs `work` once on the main thread after `delay`, unless `context` is gone by then.
  virtual void after(std::chrono::milliseconds delay, QObject* context,
                     std::function<void()> work) = 0;
  // Runs `work` on the main thread every `interval` while `context` exists.
  virtual std::unique_ptr<Repeating> every(std::chrono::milliseconds interval, QObject* context,
                                           std::function<void()> work) = 0;

  // Qt's timers on the main thread's event loop, and the platform's wall clock.
  static TrayScheduler& system();
};

}  // namespace tvrn
