// Benchmarks that touch settings run in a private, throw-away home folder, so measuring never
// changes the user's own configuration and never reaches the back end.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace tvrn::bench {

struct PrivateHome {
  PrivateHome() {
    std::string folder = (std::filesystem::temp_directory_path() / "tvrn-bench-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) return;
    path = folder;
    ::setenv("HOME", folder.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (path / ".config").c_str(), 1);
    ::setenv("TVRN_BACKEND_URL", "http://127.0.0.1:9", 1);
    ::setenv("TVRN_STATUS_PORT", "9", 1);
  }
  ~PrivateHome() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::filesystem::path path;
};

inline const PrivateHome privateHome;

// A set-up step that failed leaves nothing worth measuring: the program stops, naming the step.
inline void require(bool done, const char* step) {
  if (done) return;
  std::fprintf(stderr, "benchmark set-up failed: %s\n", step);
  std::exit(1);
}

}  // namespace tvrn::bench
