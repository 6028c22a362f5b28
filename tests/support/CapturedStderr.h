// Collects what the process writes to standard error while it is alive, so tests can read
// the log lines a call produced. What was captured is written to the real standard error when the
// test has failed by the time the capture ends, or when a sanitizer ends the program.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
    // Read through a descriptor held from the start: a test that has used up every other one
    // can still read, and show, what was written. A sanitizer's report ends the program before
    // any destructor runs (and UBSan beside ASan has a runtime of its own).
    reader_ = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    current_ = this;
    void* undefined = ::dlopen("libubsan.so.1", RTLD_LAZY | RTLD_NOLOAD);
    for (void* set :
         {::dlsym(RTLD_DEFAULT, kSetter), undefined ? ::dlsym(undefined, kSetter) : nullptr}) {
      if (set != nullptr) reinterpret_cast<void (*)(void (*)())>(set)(&showCurrent);
    }
  }
  ~CapturedStderr() {
    release();
    if (::testing::Test::HasFailure()) show();
    ::close(reader_);
    current_ = nullptr;
  }

  // Everything written since the capture began, while it goes on.
  std::string soFar() const {
    struct stat written {};
    std::string text(::fstat(reader_, &written) == 0 ? written.st_size : 0, '\0');
    text.resize(std::max<ssize_t>(::pread(reader_, text.data(), text.size(), 0), 0));
    return text;
  }

  // Everything written since the capture began; ends the capture.
  std::string text() {
    release();
    return soFar();
  }

 private:
  void release() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }

  // To the real standard error, while the capture lasts or after it.
  void show() const {
    ::dprintf(saved_ >= 0 ? saved_ : 2,
              "--- Standard error captured by the failed test (%s):\n%s\n", file_.c_str(),
              soFar().c_str());
  }
  static void showCurrent() {
    if (current_ != nullptr) current_->show();
  }

  static constexpr const char* kSetter = "__sanitizer_set_death_callback";
  static inline int count_ = 0;
  static inline CapturedStderr* current_ = nullptr;
  std::filesystem::path file_;
  int saved_ = -1;
  int reader_ = -1;
};

}  // namespace tvrn::test
