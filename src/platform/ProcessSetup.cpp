#include "platform/ProcessSetup.h"

#include <curl/curl.h>
#include <malloc.h>
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
constexpr int kLargeBlockBytes = 128 * 1024;
}  // namespace

void prepareProcess() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::signal(SIGPIPE, SIG_IGN);
    // Inherited as ignored, SIGCHLD makes the kernel reap children itself, and then no child's
    // exit status (a failing pkill or osascript) could be learned.
    std::signal(SIGCHLD, SIG_DFL);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    // Blocks of 128 KiB and more always come from the system and go back to it when freed.
    // glibc would otherwise raise that threshold to the size of the largest block freed so far
    // (up to 32 MiB), and later blocks below it, a reply of megabytes among them, would stay in
    // the heap after use.
    mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes);
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
