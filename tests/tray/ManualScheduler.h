// A tray scheduler that tests move by hand: time stands still until advance(), which runs every
// timer that falls due on the way, in order, with the clock set to its moment.
#pragma once

#include <QPointer>
#include <algorithm>
#include <list>

#include "tray/TrayScheduler.h"

namespace tvrn::test {

class ManualScheduler final : public TrayScheduler {
  using ms = std::chrono::milliseconds;

 public:
  std::chrono::system_clock::time_point now() const override { return now_; }

  void after(std::chrono::milliseconds delay, QObject* context,
             std::function<void()> work) override {
    timers_.push_back(std::make_shared<Timer>(now_ + delay, ms(0), context, std::move(work)));
  }

  std::unique_ptr<Repeating> every(std::chrono::milliseconds interval, QObject* context,
                                   std::function<void()> work) override {
    timers_.push_back(std::make_shared<Timer>(now_ + interval, interval, context, std::move(work)));
    return std::make_unique<Handle>(timers_.back());
  }

  void advance(std::chrono::milliseconds span) {
    const auto until = now_ + span;
    for (auto timer = nextDue(until); timer; timer = nextDue(until)) {
      now_ = timer->due;
      timer->due += timer->interval;
      if (timer->interval == ms(0)) timer->cancelled = true;
      if (timer->context) timer->work();
    }
    now_ = until;
  }

 private:
  struct Timer {
    Timer(std::chrono::system_clock::time_point due, ms interval, QObject* context,
          std::function<void()> work)
        : due(due), interval(interval), context(context), work(std::move(work)) {}
    std::chrono::system_clock::time_point due;
    ms interval;  // zero for a one-shot
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
    return earliest != timers_.end() && (*earliest)->due <= until ? *earliest : nullptr;
  }

  std::chrono::system_clock::time_point now_ = std::chrono::system_clock::now();
  std::list<std::shared_ptr<Timer>> timers_;
};

}  // namespace tvrn::test
