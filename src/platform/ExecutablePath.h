// Where the running program lives, from the kernel's own record (/proc/self/exe) rather than the
// first command-line argument, which may name no folder at all.
#pragma once

#include <filesystem>

namespace tvrn::ExecutablePath {

// The running program's file; empty when the kernel will not say.
std::filesystem::path file();

// The folder holding the running program; empty when the kernel will not say.
std::filesystem::path folder();

}  // namespace tvrn::ExecutablePath
