// Builds update archives as the back end publishes them: a .tar.gz with the entries a test
// names.
#pragma once

#include <string>
#include <vector>

namespace tvrn::test {

struct ArchiveEntry {
  enum class Kind { file, folder, symlink, hardlink };
  std::string name;
  std::string contents;  // a file's bytes, or a link's target
  Kind kind = Kind::file;
  int mode = 0644;
};

std::string makeTarGz(const std::vector<ArchiveEntry>& entries);

}  // namespace tvrn::test
