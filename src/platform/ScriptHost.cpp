#include "platform/ScriptHost.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace tvrn::ScriptHost {

std::string programPath() {
  const char* configured = std::getenv("TVRN_OSASCRIPT");
  if (configured != nullptr && *configured != '\0') return configured;
  return "/usr/bin/osascript";
}

bool isInstalled() {
  const std::string program = programPath();
  std::error_code error;
  return std::filesystem::is_regular_file(program, error) && ::access(program.c_str(), X_OK) == 0;
}

std::vector<std::string> arguments(ScriptLanguage language, std::string_view script) {
  if (language == ScriptLanguage::javaScript) {
    return {"-l", "JavaScript", "-e", std::string(script)};
  }
  return {"-e", std::string(script)};
}

CompletedProcess run(ScriptLanguage language, std::string_view script,
                     std::optional<SubprocessClock::duration> timeout, bool mergeStandardError) {
  SpawnOptions spawn;
  spawn.argv.push_back(programPath());
  for (auto& argument : arguments(language, script)) spawn.argv.push_back(std::move(argument));
  RunOptions options;
  options.timeout = timeout;
  options.mergeStandardError = mergeStandardError;
  return Subprocess::run(spawn, options);
}

}  // namespace tvrn::ScriptHost
