// Where the system keeps its files on Linux. Every path is worked out from the environment at
// each call, so a process (or a test) that changes HOME or the XDG variables sees it at once.
#pragma once

#include <filesystem>
#include <string>

namespace tvrn::Paths {

// The user's home folder ($HOME, else the password database's entry).
std::filesystem::path home();
// The home folder a process of this user resolves from its HOME, `home` (null when it has none):
// the variable when it is not empty, else the password database's entry.
std::filesystem::path homeFrom(const char* home);

// The user's application-support folder: ${XDG_CONFIG_HOME:-$HOME/.config}/tavrin.
std::filesystem::path appSupport();
// The variable appSupport() is named from: "XDG_CONFIG_HOME" when it is set to an absolute path,
// else "HOME".
const char* appSupportVariable();

// The system-wide configuration folder: first entry of ${XDG_CONFIG_DIRS:-/etc/xdg} + /tavrin.
std::filesystem::path systemConfigDir();

// ~/.local/share/tavrin: the socket, helper binaries and markers.
std::filesystem::path localShare();

// ~/.local/share/tavrin/bin/tavrin-server: the stdio server program AI clients start.
std::filesystem::path stdioServer();

// ${TMPDIR:-/tmp}.
std::filesystem::path tempDir();

// A path under the user's home, for other applications' files named relative to it.
std::filesystem::path underHome(const std::string& relative);

// The path as texts show it to the user: a leading home folder written "~".
std::string withTilde(const std::filesystem::path& path);

}  // namespace tvrn::Paths
