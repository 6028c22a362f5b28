// Writes a new PowerPoint deck of title-and-bullets slides as a complete, minimal package: one
// slide master, one title-and-content layout and one theme that every slide uses.
#pragma once

#include <string>
#include <vector>

#include "base/Result.h"

namespace tvrn::PptxWriter {

struct Slide {
  std::string title;
  std::vector<std::string> bullets;
};

// The bytes of the deck's package, for the caller to put in place; the error says why none.
Result<std::string, std::string> package(const std::vector<Slide>& slides);

}  // namespace tvrn::PptxWriter
