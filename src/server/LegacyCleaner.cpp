#include "server/LegacyCleaner.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

#include "base/Strings.h"
#include "core/Logger.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"
#include "platform/Subprocess.h"

namespace tvrn::LegacyCleaner {
namespace {

// The programs normally answer at once; the limit only keeps a wedged one (lsof on a dead network
// mount) from holding start-up for ever.
constexpr std::chrono::seconds kProgramDeadline{10};

CompletedProcess runProgram(const std::string& program, std::vector<std::string> arguments) {
  SpawnOptions spawn;
  spawn.argv.reserve(arguments.size() + 1);
  spawn.argv.push_back(program);
  for (auto& argument : arguments) spawn.argv.push_back(std::move(argument));
  spawn.searchPath = true;
  RunOptions options;
  options.timeout = kProgramDeadline;
  return Subprocess::run(spawn, options);
}

// A program that could not start, timed out or was killed counts as a failure.
int shell(const std::string& program, std::vector<std::string> arguments) {
  const CompletedProcess done = runProgram(program, std::move(arguments));
  if (!done.launched || done.timedOut || done.exit.signalled) return -1;
  return done.exit.status;
}

// Sends SIGTERM to this user's processes whose executable, as the kernel records it, `runs`;
// what a command line says is not looked at. True when one was signalled.
bool endProgramsThat(const std::function<bool(const std::filesystem::path&)>& runs) {
  const pid_t self = ProcessInfo::selfPid();
  bool signalled = false;
  for (const pid_t pid : ProcessInfo::pidsOwnedBy(::getuid())) {
    const auto executable = ProcessInfo::executablePath(pid);
    if (pid == self || !executable || !runs(*executable)) continue;
    // One that has gone meanwhile makes kill fail: there was nothing left to stop.
    if (::kill(pid, SIGTERM) == 0) signalled = true;
  }
  return signalled;
}

std::optional<pid_t> parsePid(std::string_view text) {
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return pid;
}

std::vector<pid_t> pidsOnPort(const Settings& settings) {
  const CompletedProcess done =
      runProgram(settings.lsof, {"-ti:" + std::to_string(settings.port), "-sTCP:LISTEN"});
  std::vector<pid_t> pids;
  if (!done.launched || done.timedOut) return pids;
  std::string_view rest = done.standardOutput;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    const std::string_view piece = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (piece.empty()) continue;
    if (auto pid = parsePid(piece)) pids.push_back(*pid);
  }
  return pids;
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

std::optional<std::string> processName(const Settings& settings, pid_t pid) {
  const CompletedProcess done = runProgram(settings.ps, {"-p", std::to_string(pid), "-o", "comm="});
  if (!done.launched || done.timedOut) return std::nullopt;
  const std::string_view text = trimmed(done.standardOutput);
  if (text.empty()) return std::nullopt;
  const auto slash = text.find_last_of('/');
  const std::string_view name = slash == std::string_view::npos ? text : text.substr(slash + 1);
  if (name.empty()) return std::nullopt;
  return std::string(name);
}

bool isOwnProgramName(std::string_view name) {
  return std::find(kOwnProgramNames.begin(), kOwnProgramNames.end(), name) !=
         kOwnProgramNames.end();
}

bool inOwnProgramFolder(const std::filesystem::path& executable) {
  std::error_code error;
  for (const std::string_view folder : kOwnProgramFolders) {
    const auto own = std::filesystem::weakly_canonical(Paths::localShare() / folder, error);
    if (!error && executable.parent_path() == own) return true;
  }
  return false;
}

// Told by the file the process runs (its name or its folder) and by the kernel's name for it,
// so a program started through a link of another name is still known.
bool isOwnProgram(pid_t pid) {
  if (const auto command = ProcessInfo::commandName(pid); command && isOwnProgramName(*command)) {
    return true;
  }
  const auto executable = ProcessInfo::executablePath(pid);
  return executable &&
         (isOwnProgramName(executable->filename().string()) || inOwnProgramFolder(*executable));
}

bool ownedByThisUser(pid_t pid) {
  const auto owner = ProcessInfo::ownerUid(pid);
  return owner && *owner == ::getuid();
}

void stopOldApp(const Settings& settings, std::vector<std::string>& notes) {
  const std::string folder = "/" + settings.oldAppFolder + "/";
  if (endProgramsThat([&folder](const std::filesystem::path& executable) {
        return executable.native().find(folder) != std::string::npos;
      })) {
    notes.emplace_back("Tavrin.app process");
  }
}

// Linux has no launchctl, so the unload fails to launch and is ignored like any other status.
void stopLaunchAgent(const Settings& settings, std::vector<std::string>& notes) {
  const std::filesystem::path plist = Paths::home() / kLaunchAgentPlist;
  std::error_code error;
  if (!std::filesystem::exists(plist, error)) return;
  shell(settings.launchctl, {"unload", plist.string()});
  notes.emplace_back("LaunchAgent com.tavrin.server");
  // As the kernel records a program's file: links on the way resolved.
  const auto oldServer = std::filesystem::weakly_canonical(Paths::home() / kOldServerBinary, error);
  endProgramsThat(
      [&oldServer](const std::filesystem::path& executable) { return executable == oldServer; });
}

std::string shown(const std::string& name, pid_t pid) {
  return name + " (PID " + std::to_string(pid) + ")";
}

void freePort(const Settings& settings, Outcome& outcome) {
  const pid_t self = ProcessInfo::selfPid();
  for (const pid_t pid : pidsOnPort(settings)) {
    if (pid == self || !ownedByThisUser(pid)) continue;
    const auto name = processName(settings, pid);
    if (!name) continue;
    // A server of another home on the same port serves its own clients; ending it would take
    // them down for nothing.
    if (isOwnProgram(pid)) {
      outcome.keptOnPort.push_back(shown(*name, pid));
      continue;
    }
    // A holder that has already gone makes kill fail; there is nothing left to stop then.
    ::kill(pid, SIGTERM);
    outcome.stopped.push_back("Port " + std::to_string(settings.port) +
                              " conflict: " + shown(*name, pid));
  }
}

}  // namespace

Outcome run(const Settings& settings) {
  Outcome outcome;
  stopOldApp(settings, outcome.stopped);
  stopLaunchAgent(settings, outcome.stopped);
  freePort(settings, outcome);
  if (!outcome.stopped.empty()) {
    Logger::info("cleanup",
                 "Legacy Python server stopped: " + Strings::joined(outcome.stopped, ", "));
  }
  return outcome;
}

}  // namespace tvrn::LegacyCleaner
