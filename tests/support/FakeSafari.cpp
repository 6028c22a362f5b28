#include "support/FakeSafari.h"

#include <stdlib.h>

#include <sstream>
#include <string>

#include "bridges/JXAScript.h"
#include "platform/Subprocess.h"
#include "support/TestEnv.h"

namespace tvrn::test {

FakeSafari::FakeSafari(const nlohmann::json& world) : log_(home() / "safari-pages.log") {
  const auto worldFile = home() / "safari-world.json";
  writeFile(worldFile, world.dump());
  std::filesystem::remove(log_);
  ::setenv("FAKE_SAFARI_WORLD", worldFile.c_str(), 1);
  ::setenv("FAKE_SAFARI_LOG", log_.c_str(), 1);
}

bool FakeSafari::available() {
  SpawnOptions probe({"node", "--version"});
  probe.searchPath = true;
  const CompletedProcess run = Subprocess::run(probe);
  return run.launched && !run.exit.signalled && run.exit.status == 0;
}

std::filesystem::path FakeSafari::program() { return fakesDir() / "safari-osascript"; }

JXAResult FakeSafari::run(std::string_view script) {
  RunOptions options;
  options.timeout = std::chrono::seconds(30);
  const CompletedProcess done = Subprocess::run(
      {{program().string(), "-l", "JavaScript", "-e", JXAScript::wrap(script)}}, options);
  if (!done.launched || done.exit.status != 0) {
    return fail(JXAError::scriptError(done.launchError + done.standardError));
  }
  return JXAScript::parseOutput(done.standardOutput);
}

ToolResult FakeSafari::runAsJSONValue(std::string_view script) {
  JXAResult value = run(script);
  if (!value.ok()) return fail(ToolError::executionFailed(value.error().description()));
  return JXAScript::toToolResult(value.value(), script);
}

std::vector<nlohmann::json> FakeSafari::pageLog() const {
  std::vector<nlohmann::json> entries;
  std::istringstream lines(readFile(log_));
  for (std::string line; std::getline(lines, line);) entries.push_back(nlohmann::json::parse(line));
  return entries;
}

std::vector<std::string> FakeSafari::selectors() const {
  std::vector<std::string> found;
  for (const auto& entry : pageLog()) {
    if (entry.contains("selector")) found.push_back(entry["selector"]);
  }
  return found;
}

}  // namespace tvrn::test
