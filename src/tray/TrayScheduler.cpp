#include "tray/TrayScheduler.h"

#include <QTimer>

#include "base/WallClock.h"

namespace tvrn {
namespace {

class QtRepeating final : public TrayScheduler::Repeating {
 public:
  QtRepeating(std::chrono::milliseconds interval, QObject* context, std::function<void()> work) {
    QObject::connect(&timer_, &QTimer::timeout, context, std::move(work));
    timer_.start(interval);
  }

 private:
  QTimer timer_;
};

class QtScheduler final : public TrayScheduler {
 public:
  std::chrono::system_clock::time_point now() const override { return WallClock::now(); }

  void after(std::chrono::milliseconds delay, QObject* context,
             std::function<void()> work) override {
    QTimer::singleShot(delay, context, std::move(work));
  }

  std::unique_ptr<Repeating> every(std::chrono::milliseconds interval, QObject* context,
                                   std::function<void()> work) override {
    return std::make_unique<QtRepeating>(interval, context, std::move(work));
  }
};

}  // namespace

TrayScheduler& TrayScheduler::system() {
  static QtScheduler scheduler;
  return scheduler;
}

}  // namespace tvrn
