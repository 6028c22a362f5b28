// Opening a web address, file or application the way the desktop would: through xdg-open, or
// the program that TVRN_OPEN_COMMAND names. The program runs on in the background; it is reaped
// there when it ends, so a browser that stays open holds up nobody.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tvrn::Opener {

// Starts the opener with the target as its one argument; false when it could not be started.
[[nodiscard]] bool open(std::string_view target);

// Starts a program (looked up on PATH) the same way, in the background; false when it could not
// be started.
[[nodiscard]] bool launch(std::vector<std::string> argv);

}  // namespace tvrn::Opener
