#include "core/PushMessageStore.h"

#include <utility>

namespace tvrn {

std::optional<std::string> PushMessageStore::message() const {
  std::lock_guard hold(mutex_);
  return message_;
}

void PushMessageStore::setMessage(std::optional<std::string> message) {
  std::lock_guard hold(mutex_);
  message_ = std::move(message);
}

}  // namespace tvrn
