#include "platform/ProcessSetup.h"

#include <curl/curl.h>
#include <pthread.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#if defined(TVRN_COVERAGE)
extern "C" void __gcov_dump();
#endif

namespace tvrn {
namespace {
std::atomic<unsigned> forkCount{0};
}  // namespace

void prepareProcess() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::signal(SIGPIPE, SIG_IGN);
    // Inherited as ignored, SIGCHLD makes the kernel reap children itself, and then no child's
    // exit status (a failing pkill or osascript) could be learned.
    std::signal(SIGCHLD, SIG_DFL);
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

void endProcess(int status) {
  std::fflush(nullptr);
#if defined(TVRN_COVERAGE)
  __gcov_dump();
#endif
  std::_Exit(status);
}

unsigned forksSoFar() {
  static std::once_flag counting;
  std::call_once(counting,
                 [] { ::pthread_atfork(nullptr, nullptr, [] { forkCount.fetch_add(1); }); });
  return forkCount.load(std::memory_order_relaxed);
}

}  // namespace tvrn
