// The sqlite3 program as the tools that read other applications' databases run it: where it
// lives and how long one run may take (both replaceable, so tests can use a stand-in).
#pragma once

#include <string>

namespace tvrn {

struct DatabaseProgram {
  std::string path = "/usr/bin/sqlite3";
  double timeoutSeconds = 0;
};

}  // namespace tvrn
