// Percent-encoding of the pieces the system puts into web addresses and form bodies. Every byte
// outside ASCII letters, digits and "-._~" is escaped (a blank as %20), so a value can never end
// its segment, start a query or split a form field.
#pragma once

#include <string>
#include <string_view>

namespace tvrn::PercentEncoding {

// One segment of a path: "/" and "?" inside it are escaped too, and "." or ".." alone.
std::string pathSegment(std::string_view text);
// The value of one query parameter.
std::string queryValue(std::string_view text);
// One value of an application/x-www-form-urlencoded body.
std::string formValue(std::string_view text);

}  // namespace tvrn::PercentEncoding
