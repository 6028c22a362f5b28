// A script runner for tests that runs each script, wrapped as the real runners wrap it, under
// node against the fake Safari of tests/fakes/safari-osascript, whose browser is described by a
// JSON world file and whose pages log every selector and piece of page code they receive.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "bridges/JXARunner.h"

namespace tvrn::test {

class FakeSafari final : public JXARunning {
 public:
  // Writes the world into the private home and points the fake at it (and at a fresh log).
  explicit FakeSafari(const nlohmann::json& world);

  // Whether node is installed; tests that need it skip without it.
  static bool available();

  JXAResult run(std::string_view script) override;
  ToolResult runAsJSONValue(std::string_view script) override;

  // What the pages were asked, in order: {"selector": ...}, {"page_code": ...}, {"click": ...}.
  std::vector<nlohmann::json> pageLog() const;
  // Just the selectors, in order.
  std::vector<std::string> selectors() const;

  // The fake program, for a server that runs scripts through the script host.
  static std::filesystem::path program();

 private:
  std::filesystem::path log_;
};

}  // namespace tvrn::test
