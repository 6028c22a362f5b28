// Sets the process's umask for as long as it lives and puts the one it replaced back, however the
// test ends.
#pragma once

#include <sys/stat.h>

namespace tvrn::test {

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(saved_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t saved_;
};

}  // namespace tvrn::test
