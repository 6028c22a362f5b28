// Turns the bytes of a tool manifest document into a `Manifest`. Lenient about what it does not
// know (unknown elements and attributes, malformed numbers get defaults), strict only about XML
// itself: a document that is not well-formed, never closes a manifest element or nests too deep
// gives no value and one warning.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "manifest/Manifest.h"

namespace tvrn::ManifestParser {

// The deepest element nesting accepted. Behaviours nest with the elements, and comparing or
// copying them walks the nesting recursively, so a bound here keeps every later walk shallow.
inline constexpr std::size_t kMaxDepth = 256;

std::optional<Manifest> parse(std::string_view bytes);

}  // namespace tvrn::ManifestParser
