// What the bridges to helper programs share: where a helper program is looked for, how a wait in
// seconds becomes a deadline, and the tail of a co-process's error stream.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"
#include "platform/Subprocess.h"

namespace tvrn::CoProcessSupport {

// Where a helper program is looked for, in order: beside the running executable (when its folder
// is known; the name alone would be looked up in the working folder), /usr/local/bin, and
// ~/.local/share/tavrin/bin.
std::vector<std::filesystem::path> programCandidates(std::string_view name);

// The first candidate that is a regular file (links followed); nothing when none is.
std::optional<std::filesystem::path> findProgram(std::string_view name);

// The WhatsApp command-line client: the first of ~/.local/share/tavrin/bin/wacli,
// /opt/homebrew/bin/wacli, the running executable's folder + "/wacli" (when that folder is known)
// and /usr/local/bin/wacli that is a file; when none is, the one beside the running executable.
// Looked up afresh at each call.
std::filesystem::path wacliPath();

// The client a call would run: wacliPath(), when it is there and no other user could have put it
// there or could replace it (OwnFolder::openProgram). Otherwise why not, in a line for the user:
// "wacli is not installed: it was looked for at ..." or "wacli cannot be started: ...".
Result<std::filesystem::path, std::string> runnableWacli();

// How a program found here is started: with `arguments`, and only as the user's or root's own,
// which no other user could have put there or could swap for another (SpawnOptions::ownProgram).
SpawnOptions spawnOf(const std::filesystem::path& program, std::vector<std::string> arguments = {});

// A wait of `seconds`, never negative and at most a week, so a deadline built from it cannot
// overflow.
SubprocessClock::duration waitOf(double seconds);

// The last `count` characters of what the process wrote to its error stream since the last look,
// decoded and trimmed; empty when it wrote nothing readable.
std::string stderrTail(Subprocess& process, std::size_t count);

}  // namespace tvrn::CoProcessSupport
