// A tray scheduler that tests move by hand: time stands still until advance(), which runs every
// timer that falls due on the way, in order, with the clock set to its moment.
#pragma once

#include <QPointer>
#include <algorithm>
#include <chrono>
#include <functional>
#include <list>
#include <memory>

#include "app/TrayScheduler.h"

namespace tvrn::test {

class ManualScheduler final : public TrayScheduler {
 public:
  explicit ManualScheduler(
      std::chrono::system_clock::time_point start = std::chrono::system_clock::now())
      : now_(start) {}

  std::chrono::system_clock::time_point now() const override { return now_; }

  void after(std::chrono::milliseconds delay, QObject* context,
             std::function<void()> work) override {
    timers_.push_back(std::make_shared<Timer>(Timer{now_ + delay, {}, context, std::move(work)}));
  }

  std::unique_ptr<Repeating> every(std::chrono::milliseconds interval, QObject* context,
                                   std::function<void()> work) override {
    auto timer =
        std::make_shared<Timer>(Timer{now_ + interval, interval, context, std::move(work)});
    timers_.push_back(timer);
    return std::make_unique<Handle>(timer);
  }

  void advance(std::chrono::milliseconds span) {
    const auto until = now_ + span;
    while (auto next = nextDue(until)) {
      now_ = next->due;
      if (next->interval.count() > 0) {
        next->due += next->interval;
      } else {
        timers_.remove(next);
      }
      if (next->context) next->work();
    }
    now_ = until;
  }

 private:
  struct Timer {
    std::chrono::system_clock::time_point due;
    std::chrono::milliseconds interval;  // zero for a one-shot
    QPointer<QObject> context;
    std::function<void()> work;
    bool cancelled = false;
  };
  struct Handle final : Repeating {
    explicit Handle(std::shared_ptr<Timer> timer) : timer(std::move(timer)) {}
    ~Handle() override { timer->cancelled = true; }
    std::shared_ptr<Timer> timer;
  };

  std::shared_ptr<Timer> nextDue(std::chrono::system_clock::time_point until) {
    timers_.remove_if([](const auto& timer) { return timer->cancelled; });
    const auto earliest =
        std::min_element(timers_.begin(), timers_.end(),
                         [](const auto& a, const auto& b) { return a->due < b->due; });
    if (earliest == timers_.end() || (*earliest)->due > until) return nullptr;
    return *earliest;
  }

  std::chrono::system_clock::time_point now_;
  std::list<std::shared_ptr<Timer>> timers_;
};

}  // namespace tvrn::test
