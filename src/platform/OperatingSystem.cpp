#include "platform/OperatingSystem.h"

#include <sys/utsname.h>

#include <cctype>
#include <string_view>

namespace tvrn::OperatingSystem {

std::string versionNumbers(int count) {
  utsname names{};
  const std::string_view release = ::uname(&names) == 0 ? names.release : "";
  std::string out;
  std::size_t at = 0;
  for (int i = 0; i < count; ++i) {
    std::string number;
    while (at < release.size() && std::isdigit(static_cast<unsigned char>(release[at]))) {
      number += release[at++];
    }
    if (number.empty()) number = "0";
    out += (i == 0 ? "" : ".") + number;
    // Only a "." continues the numbers; "-18-amd64" and the like end them.
    if (at < release.size() && release[at] == '.') {
      ++at;
    } else {
      at = release.size();
    }
  }
  return out;
}

std::string buildArchitecture() {
#if defined(__x86_64__)
  return "x86_64";
#elif defined(__aarch64__)
  return "arm64";
#else
  utsname names{};
  return ::uname(&names) == 0 ? names.machine : "unknown";
#endif
}

}  // namespace tvrn::OperatingSystem
