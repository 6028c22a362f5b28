// Placing the fake messaging programs where the clients look for them in the private home, and
// reading back what they were asked.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestEnv.h"

namespace tvrn::test {

// ~/.local/share/tavrin/bin/<name> as a link to the fake program.
inline void placeFake(const std::string& fake, const std::string& name) {
  const auto bin = home() / ".local" / "share" / "tavrin" / "bin";
  std::filesystem::create_directories(bin);
  std::filesystem::create_symlink(fakesDir() / fake, bin / name);
}

// One JSON value per line of a file the fakes append to; empty when the file is missing.
inline std::vector<nlohmann::json> jsonLines(const std::filesystem::path& file) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(readFile(file));
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

// fake-proxy with its request log; returns the log's path.
inline std::filesystem::path placeFakeProxy(const std::string& name) {
  placeFake("fake-proxy", name);
  const auto log = home() / (name + ".log");
  ::setenv("FAKE_PROXY_LOG", log.c_str(), 1);
  return log;
}

}  // namespace tvrn::test
