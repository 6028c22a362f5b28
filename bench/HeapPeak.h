// How far a benchmark's iterations raise the bytes the process has allocated, counted at every
// allocation and release: the kernel's own peak (VmHWM) is brought up to date only now and then,
// and misses a peak that comes and goes between two of its updates. Including this header
// replaces malloc and its kin for the whole program (the libraries' allocations included) with
// glibc's own, counted; include it in one benchmark program only.
#pragma once

#include <errno.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstddef>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace tvrn::bench {

inline std::atomic<long long> heapInUse{0};
inline std::atomic<long long> heapPeak{0};

inline void* counted(void* pointer) {
  if (pointer == nullptr) return pointer;
  const auto size = static_cast<long long>(malloc_usable_size(pointer));
  const long long now = heapInUse.fetch_add(size) + size;
  long long peak = heapPeak.load();
  while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
  }
  return pointer;
}

inline void uncounted(void* pointer) {
  if (pointer != nullptr) heapInUse -= static_cast<long long>(malloc_usable_size(pointer));
}

class HeapPeak {
 public:
  HeapPeak() : start_(heapInUse.load()) { heapPeak = start_; }
  double grownMiB() const {
    return static_cast<double>(std::max(0LL, heapPeak.load() - start_)) / (1024.0 * 1024.0);
  }

 private:
  long long start_;
};

}  // namespace tvrn::bench

extern "C" {
void* malloc(size_t size) { return tvrn::bench::counted(__libc_malloc(size)); }
void* calloc(size_t count, size_t size) { return tvrn::bench::counted(__libc_calloc(count, size)); }
void* realloc(void* pointer, size_t size) {
  const auto before = static_cast<long long>(pointer == nullptr ? 0 : malloc_usable_size(pointer));
  void* moved = __libc_realloc(pointer, size);
  if (moved == nullptr && size != 0) return nullptr;  // the old block stays, still counted
  tvrn::bench::heapInUse -= before;
  return tvrn::bench::counted(moved);
}
void free(void* pointer) {
  tvrn::bench::uncounted(pointer);
  __libc_free(pointer);
}
void* memalign(size_t alignment, size_t size) {
  return tvrn::bench::counted(__libc_memalign(alignment, size));
}
void* aligned_alloc(size_t alignment, size_t size) {
  return tvrn::bench::counted(__libc_memalign(alignment, size));
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  void* pointer = tvrn::bench::counted(__libc_memalign(alignment, size));
  if (pointer == nullptr) return ENOMEM;
  *out = pointer;
  return 0;
}
}
