// The values a few environment variables had when something was worked out from them (a path, an
// override), to tell cheaply whether it still stands: no allocation, no file-system call.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tvrn {

class EnvironmentKey {
 public:
  // Takes the variables' values now; `names` must outlive the key (string literals).
  explicit EnvironmentKey(const std::vector<const char*>& names);

  // Whether every variable still has the value taken (unset counting as a value). Within one
  // glance (Readiness::Glance, one request) a key found to hold is not looked at again, and a
  // variable several keys name is looked up once: the process changes its environment only
  // between requests.
  bool stillHolds() const;

 private:
  std::vector<std::pair<const char*, std::optional<std::string>>> values_;
};

}  // namespace tvrn
