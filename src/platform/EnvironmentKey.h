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

  // Whether every variable still has the value taken (unset counting as a value).
  bool stillHolds() const;

 private:
  std::vector<std::pair<const char*, std::optional<std::string>>> values_;
  // The environment's entries when the values were taken. While it holds the same entries, each
  // variable reads as it did: setenv and unsetenv replace and remove entries, never rewriting one
  // in place, so comparing the entries answers without looking a variable up.
  std::vector<const char*> entries_;
};

}  // namespace tvrn
