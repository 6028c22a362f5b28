#include "bridges/CoProcessSupport.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "base/Utf8.h"
#include "bridges/ScriptText.h"
#include "platform/ExecutablePath.h"
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

std::vector<std::filesystem::path> wacliCandidates() {
  const std::filesystem::path own = Paths::localShare() / "bin" / "wacli";
  std::vector<std::filesystem::path> candidates = {own, "/opt/homebrew/bin/wacli"};
  // With no known folder the bare name would be looked up in the working folder.
  if (const auto folder = ExecutablePath::folder(); !folder.empty()) {
    candidates.push_back(folder / "wacli");
  }
  candidates.push_back("/usr/local/bin/wacli");
  return candidates;
}

std::filesystem::path wacliPath() {
  const auto candidates = wacliCandidates();
  for (const auto& candidate : candidates) {
    std::error_code error;
    if (std::filesystem::is_regular_file(candidate, error)) return candidate;
  }
  const auto folder = ExecutablePath::folder();
  return folder.empty() ? candidates.front() : folder / "wacli";
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
