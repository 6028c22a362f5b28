// How far a benchmark's iterations raise the process's peak resident memory (VmHWM): the peak is
// reset to the resident size once the set-up is done, so what the set-up built does not count.
#pragma once

#include <malloc.h>

#include <algorithm>
#include <fstream>
#include <string>

namespace tvrn::bench {

// The process's resident memory now (VmRSS).
inline double residentMiB();

class PeakMemory {
 public:
  // Gives the set-up's freed memory back first, so the starting point is what stays in use.
  PeakMemory() {
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM to VmRSS (Linux 4.0 on)
    start_ = kibibytes("VmHWM:");
    resident_ = kibibytes("VmRSS:");
  }

  // The kernel updates its counters in batches, so "no growth" can read a few pages below zero.
  double grownMiB() const {
    return static_cast<double>(std::max(0L, kibibytes("VmHWM:") - start_)) / 1024.0;
  }

  // How much more the process holds now than at the start: what the iterations did not give back.
  double keptMiB() const {
    return static_cast<double>(std::max(0L, kibibytes("VmRSS:") - resident_)) / 1024.0;
  }

 private:
  friend double residentMiB();
  static long kibibytes(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    }
    return 0;
  }

  long start_ = 0;
  long resident_ = 0;
};

inline double residentMiB() {
  return static_cast<double>(PeakMemory::kibibytes("VmRSS:")) / 1024.0;
}

}  // namespace tvrn::bench
