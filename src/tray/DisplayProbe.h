// Whether the display the environment names can be opened. Qt ends the whole program (abort) when
// it cannot open its display, so the question is put to Qt in a child process first, and a tray
// whose display is gone (a stale ssh session's DISPLAY, a container) serves headless instead.
#pragma once

#include <chrono>
#include <string>

namespace tvrn::DisplayProbe {

// A display that has not answered by then counts as one that cannot be opened.
inline constexpr std::chrono::seconds kDeadline{10};

// Forks, so it must run before any thread starts. True when a Qt GUI application could be made
// with these arguments and this environment, or when the question cannot be put at all.
bool canOpen(int argc, char** argv, std::chrono::milliseconds deadline = kDeadline);

// The variables that name the display, as "DISPLAY=:99, WAYLAND_DISPLAY=wayland-0".
std::string named();

}  // namespace tvrn::DisplayProbe
