// The stdio server that AI clients start: the tray keeps a copy of the bridge program it ships
// with in ~/.local/share/tavrin/bin, where the self-update also writes, and every client entry
// points there.
#pragma once

#include <filesystem>
#include <string>

#include "platform/ExecutablePath.h"

namespace tvrn::BundledServer {

inline constexpr const char* kProgramName = "tavrin-server";
// Beside the installed program: the path of the tray that installed it, which the bridge starts
// when no server answers.
inline constexpr const char* kTrayPathFile = ".tray-path";

// ~/.local/share/tavrin/bin/tavrin-server: the command written into client entries.
std::filesystem::path path();

// Copies the program shipped beside the running tray (in `shippedFolder`) into place when the
// installed one is missing or older than `version` (by bin/.server-version), and records the tray's
// path beside it. False when the shipped program is missing, a write failed, or another user could
// change what is run from that folder (OwnFolder::judgeProgramFolder), where nothing is written.
[[nodiscard]] bool install(const std::string& version,
                           const std::filesystem::path& shippedFolder = ExecutablePath::folder());

}  // namespace tvrn::BundledServer
