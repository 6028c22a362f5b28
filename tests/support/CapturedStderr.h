// Collects what the process writes to standard error while it is alive, so tests can read
// the log lines a call produced.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "support/TestEnv.h"

namespace tvrn::test {

class CapturedStderr {
 public:
  CapturedStderr() : file_(home() / ("stderr-" + std::to_string(++count_))) {
    std::fflush(stderr);
    saved_ = ::dup(2);
    std::FILE* sink = std::fopen(file_.c_str(), "w");
    ::dup2(::fileno(sink), 2);
    std::fclose(sink);
  }
  ~CapturedStderr() { release(); }

  // Everything written since the capture began, while it goes on.
  std::string soFar() const { return readFile(file_); }

  // Everything written since the capture began; ends the capture.
  std::string text() {
    release();
    return readFile(file_);
  }

 private:
  void release() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }

  static inline int count_ = 0;
  std::filesystem::path file_;
  int saved_ = -1;
};

}  // namespace tvrn::test
