// The one message the back end or start-up wants the tray to show, if any; the status JSON
// carries it to the tray. Each server's context holds one (`ServerContext::pushMessage`).
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace tvrn {

class PushMessageStore final {
 public:
  std::optional<std::string> message() const;
  // An empty value clears it.
  void setMessage(std::optional<std::string> message);

  PushMessageStore() = default;
  PushMessageStore(const PushMessageStore&) = delete;
  PushMessageStore& operator=(const PushMessageStore&) = delete;

 private:
  mutable std::mutex mutex_;  // guards message_
  std::optional<std::string> message_;
};

}  // namespace tvrn
