// Puts the process environment back as it found it: every variable a test sets, changes or
// removes while the guard lives is restored when it ends, so tests in one process cannot steer
// each other.
#pragma once

#include <map>
#include <string>

namespace tvrn::test {

class ScopedEnvironment {
 public:
  ScopedEnvironment();
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::map<std::string, std::string> saved_;
};

}  // namespace tvrn::test
