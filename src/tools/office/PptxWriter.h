// Writes a new PowerPoint deck of title-and-bullets slides as a complete, minimal package: one
// slide master, one title-and-content layout and one theme that every slide uses.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/Result.h"

namespace tvrn::PptxWriter {

struct Slide {
  std::string title;
  std::vector<std::string> bullets;
};

// Writes the deck beside the target and renames it over any file there, so a failed write
// leaves the old file as it was. The error says why nothing was written.
Result<bool, std::string> write(const std::filesystem::path& file,
                                const std::vector<Slide>& slides);

}  // namespace tvrn::PptxWriter
