#include "bridges/CoProcessSupport.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <system_error>

#include "base/Utf8.h"
#include "bridges/ScriptText.h"
#include "platform/ExecutablePath.h"
#include "platform/OwnFolder.h"
#include "platform/Paths.h"

namespace tvrn::CoProcessSupport {

std::vector<std::filesystem::path> programCandidates(std::string_view name) {
  std::vector<std::filesystem::path> candidates;
  if (const auto folder = ExecutablePath::folder(); !folder.empty()) {
    candidates.push_back(folder / name);
  }
  candidates.push_back(std::filesystem::path("/usr/local/bin") / name);
  candidates.push_back(Paths::localShare() / "bin" / name);
  return candidates;
}

std::optional<std::filesystem::path> findProgram(std::string_view name) {
  for (const auto& candidate : programCandidates(name)) {
    std::error_code error;
    if (std::filesystem::is_regular_file(candidate, error)) return candidate;
  }
  return std::nullopt;
}

namespace {

std::vector<std::filesystem::path> wacliCandidates() {
  std::vector<std::filesystem::path> candidates = {Paths::localShare() / "bin" / "wacli",
                                                   "/opt/homebrew/bin/wacli"};
  // With no known folder the bare name would be looked up in the working folder.
  if (const auto folder = ExecutablePath::folder(); !folder.empty()) {
    candidates.push_back(folder / "wacli");
  }
  candidates.push_back("/usr/local/bin/wacli");
  return candidates;
}

}  // namespace

std::filesystem::path wacliPath() {
  const auto candidates = wacliCandidates();
  for (const auto& candidate : candidates) {
    std::error_code error;
    if (std::filesystem::is_regular_file(candidate, error)) return candidate;
  }
  const auto folder = ExecutablePath::folder();
  return folder.empty() ? candidates.front() : folder / "wacli";
}

Result<std::filesystem::path, std::string> runnableWacli() {
  const auto chosen = wacliPath();
  std::error_code error;
  if (!std::filesystem::is_regular_file(chosen, error)) {
    std::string places;
    for (const auto& candidate : wacliCandidates()) {
      places += (places.empty() ? "" : ", ") + candidate.string();
    }
    return fail("wacli is not installed: it was looked for at " + places + ".");
  }
  const auto judged = OwnFolder::openProgram(chosen);
  if (!judged) return fail("wacli cannot be started: " + judged.error() + ".");
  ::close(judged.value());
  return chosen;
}

SpawnOptions spawnOf(const std::filesystem::path& program, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), program.string());
  SpawnOptions spawn(std::move(arguments));
  spawn.ownProgram = true;
  return spawn;
}

SubprocessClock::duration waitOf(double seconds) {
  constexpr double kLongestWaitSeconds = 7 * 24 * 3600;
  return std::chrono::duration_cast<SubprocessClock::duration>(
      std::chrono::duration<double>(std::clamp(seconds, 0.0, kLongestWaitSeconds)));
}

std::string stderrTail(Subprocess& process, std::size_t count) {
  const std::string text = ScriptText::decodeTrimmed(process.takeStandardError());
  return text.empty() ? std::string() : Utf8::lastCharacters(text, count);
}

}  // namespace tvrn::CoProcessSupport
