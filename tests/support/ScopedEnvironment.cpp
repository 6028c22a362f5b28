#include "support/ScopedEnvironment.h"

#include <stdlib.h>

#include <cstring>

extern char** environ;

namespace tvrn::test {
namespace {

std::map<std::string, std::string> currentEnvironment() {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* eq = std::strchr(*entry, '=');
    if (eq != nullptr)
      variables.emplace(std::string(static_cast<const char*>(*entry), eq), std::string(eq + 1));
  }
  return variables;
}

}  // namespace

ScopedEnvironment::ScopedEnvironment() : saved_(currentEnvironment()) {}

// Only what changed is written back: threads a test left running may still be reading.
ScopedEnvironment::~ScopedEnvironment() {
  const auto now = currentEnvironment();
  for (const auto& [name, value] : now) {
    if (!saved_.contains(name)) ::unsetenv(name.c_str());
  }
  for (const auto& [name, value] : saved_) {
    const auto current = now.find(name);
    if (current == now.end() || current->second != value) {
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
}

}  // namespace tvrn::test
