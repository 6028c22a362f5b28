// A stand-in for the cloud sync client: "download <path>" fills the file (with the bytes of the
// file FAKE_BRCTL_SOURCE names, else a few bytes of text) by putting a new
// file in its place, which carries no placeholder marker, as a finished download does.
//
// FAKE_BRCTL_LOG: a file to which each run appends its argv (without the program) as one JSON
// array line.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "FakeScript.h"

int main(int argc, char** argv) {
  fake::recordArguments("FAKE_BRCTL_LOG", argc, argv, 1);
  if (argc != 3 || std::string_view(argv[1]) != "download") return 64;
  std::string bytes = "downloaded contents\n";
  if (const char* source = std::getenv("FAKE_BRCTL_SOURCE")) {
    std::ifstream in(source, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  // Whole or not at all, as the sync client does: the watcher must never see half a file.
  const std::string part = std::string(argv[2]) + ".part";
  std::ofstream(part, std::ios::binary | std::ios::trunc) << bytes;
  return std::rename(part.c_str(), argv[2]) == 0 ? 0 : 1;
}
