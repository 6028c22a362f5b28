#include "cloud/PushMessageStore.h"

#include <utility>

namespace tvrn {

PushMessageStore& PushMessageStore::shared() {
  static PushMessageStore store;
  return store;
}

std::optional<std::string> PushMessageStore::message() const {
  std::lock_guard hold(mutex_);
  return message_;
}

void PushMessageStore::setMessage(std::optional<std::string> message) {
  std::lock_guard hold(mutex_);
  message_ = std::move(message);
}

}  // namespace tvrn
