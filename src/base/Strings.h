// Small text helpers that many parts of the system share.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tvrn::Strings {

// The items with the separator between each two of them.
std::string joined(const std::vector<std::string>& items, std::string_view separator);

}  // namespace tvrn::Strings
