// Every test program starts in a private world: HOME, the XDG folders and TMPDIR point into a
// fresh temporary folder made by the test main, and no TVRN_ variable leaks in from outside.
#pragma once

#include <filesystem>
#include <string>

namespace tvrn::test {

// The private home folder of this test process.
std::filesystem::path home();

// Where the fake helper programs and servers are built.
std::filesystem::path fakesDir();

// Writes a file (creating its folders) for a test's setup.
void writeFile(const std::filesystem::path& file, const std::string& bytes);

// Reads a whole file; empty when missing.
std::string readFile(const std::filesystem::path& file);

}  // namespace tvrn::test
