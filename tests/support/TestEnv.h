// Every test starts in a private world: HOME, the XDG folders and TMPDIR point into a fresh
// folder under the caller's TMPDIR, and no TVRN_ variable leaks in from outside. When the test
// ends, the environment and working folder it changed are put back. Where the caller's TMPDIR
// is too long for the sockets a home holds, the homes lie under a short folder in /tmp instead.
// What the tests made is removed when the program ends, folders they locked included; what a
// program ended in the middle leaves, the clean-up after the run removes.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tvrn::test {

// The private home folder of the running test.
std::filesystem::path home();

// The running test's temporary folder (TMPDIR), for what it leaves behind for a person to look
// at, such as pictures of widgets.
std::filesystem::path testTemp();

// The folder under the caller's TMPDIR that holds every test's world of this process.
std::filesystem::path worldsRoot();

// Where the fake helper programs and servers are built.
std::filesystem::path fakesDir();

// Writes a file (creating its folders) for a test's setup.
void writeFile(const std::filesystem::path& file, const std::string& bytes);

// Reads a whole file; empty when missing.
std::string readFile(const std::filesystem::path& file);

// Writes the file as editors and atomic writers do: a new file beside it, renamed over it.
void replaceFile(const std::filesystem::path& file, const std::string& bytes);

// Puts a copy of the folder in its place as a restore from a backup does: the folder renamed away
// (to "<folder>.old"), the copy renamed in.
void restoreFolder(const std::filesystem::path& folder);

// Every regular file under `dir` (relative path to bytes), so a test can tell nothing was written.
std::map<std::string, std::string> contentsOf(const std::filesystem::path& dir);

// Removes the file or folder and all it holds, opening folders a test locked on the way.
void removeTree(const std::filesystem::path& path);

// A fresh folder with a short path that every user may pass through (in /tmp), for a socket
// whose path must stay short or that another user must reach; removed with what it holds when
// it goes (and, should the test be ended first, by the clean-up after the run).
class ShortFolder {
 public:
  ShortFolder();
  ~ShortFolder();
  ShortFolder(const ShortFolder&) = delete;
  ShortFolder& operator=(const ShortFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  int hold_ = -1;
};

// The names of the entries directly in `dir`, sorted.
std::vector<std::string> namesIn(const std::filesystem::path& dir);

// A TCP port of 127.0.0.1 that nothing uses at the moment of the call.
int unusedPort();

// A free port for a status server, below the ephemeral range (see TestEnv.cpp for why).
int unusedStatusPort();

// Points TVRN_STATUS_PORT at an unused status port and returns it.
int useUnusedStatusPort();

// The body of a test program's main: makes the private world, runs `beforeTests` (a program that
// needs an application object creates it there), runs every test and ends the process.
int runTests(int& argc, char** argv, const std::function<void()>& beforeTests = {});

}  // namespace tvrn::test
