// What the system reports about the machine it runs on: the kernel's version numbers in place of
// the operating system's, and the processor architecture this program was built for.
#pragma once

#include <string>

namespace tvrn::OperatingSystem {

// The first `count` numbers of the kernel release (uname), joined with "."; a number the release
// lacks counts as 0, so "6.1.0-18-amd64" gives "6.1" for 2 and "6.1.0" for 3.
std::string versionNumbers(int count);

// "x86_64" or "arm64" in the back end's words; another machine's own name from uname.
std::string buildArchitecture();

}  // namespace tvrn::OperatingSystem
