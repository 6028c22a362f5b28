// The one-shot listener that receives the browser's redirect at the end of the Evernote sign-in:
// bound to 127.0.0.1 on a port of the system's choosing, it takes the first request's code, or
// the reason it carries none, and is closed as soon as the sign-in stops waiting.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace tvrn::EvernoteTools {

// What the first request brought: the code, or the error that ends the sign-in.
struct CallbackOutcome {
  std::optional<std::string> code;
  std::optional<std::string> error;
};

class CallbackListener {
 public:
  explicit CallbackListener(std::string expectedState);
  ~CallbackListener();  // stops listening
  CallbackListener(const CallbackListener&) = delete;
  CallbackListener& operator=(const CallbackListener&) = delete;

  // The bound port; 0 when no socket could be bound, and then nothing listens.
  int port() const { return port_; }

  // The first request's outcome, or nothing when none came within the wait. Either way the port
  // is closed when this returns.
  std::optional<CallbackOutcome> waitForCallback(std::chrono::milliseconds wait);

 private:
  void stop();

  const std::string expectedState_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::atomic<bool> loopEnded_{false};
  std::thread thread_;
  std::mutex mutex_;  // guards outcome_
  std::condition_variable arrived_;
  std::optional<CallbackOutcome> outcome_;
};

// The text with &, <, >, " and ' escaped, for a page.
std::string htmlEscaped(std::string_view text);

}  // namespace tvrn::EvernoteTools
