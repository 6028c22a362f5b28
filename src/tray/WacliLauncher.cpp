#include "tray/WacliLauncher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "bridges/CoProcessSupport.h"
#include "platform/FileStore.h"
#include "platform/Opener.h"
#include "platform/Paths.h"

namespace tvrn::WacliLauncher {
namespace {

constexpr const char* kTerminals[] = {"x-terminal-emulator", "gnome-terminal", "konsole", "xterm"};

bool isFile(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

bool onPath(std::string_view name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::string_view folders(path);
  while (!folders.empty()) {
    const auto colon = folders.find(':');
    const std::string_view folder = folders.substr(0, colon);
    if (!folder.empty()) {
      const auto candidate = std::filesystem::path(folder) / name;
      if (isFile(candidate) && ::access(candidate.c_str(), X_OK) == 0) return true;
    }
    if (colon == std::string_view::npos) break;
    folders.remove_prefix(colon + 1);
  }
  return false;
}

// A folder only this user can enter: ours, a real folder (not a link), closed to group and others.
bool isPrivateFolder(const std::filesystem::path& folder) {
  struct stat info {};
  return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

}  // namespace

std::string shellQuoted(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string script(std::string_view wacli) {
  return "#!/bin/bash\n"
         "echo \"WhatsApp login — disable VPN if connected; widen this window for the QR.\"\n"
         "echo \"Starting wacli auth (20m timeout)…\"\n"
         "exec " +
         shellQuoted(wacli) + " --timeout 20m auth";
}

std::string refusalScript(std::string_view why) {
  return "#!/bin/bash\n"
         "printf '%s\\n' " +
         shellQuoted(why) +
         "\n"
         "read -r -p \"Press Enter to close this window.\"";
}

std::optional<std::filesystem::path> scriptFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0' && isPrivateFolder(runtime)) return runtime;
  const auto own = Paths::tempDir() / ("tavrin-" + std::to_string(::getuid()));
  static_cast<void>(FileStore::ensureDirectory(own));  // the check below is the answer
  if (isPrivateFolder(own)) return own;
  return std::nullopt;
}

std::optional<std::string> terminalProgram() {
  for (const char* name : kTerminals) {
    if (onPath(name)) return std::string(name);
  }
  return std::nullopt;
}

void openWacliInTerminal() {
  const auto terminal = terminalProgram();
  if (!terminal) return;
  const auto folder = scriptFolder();
  const auto file = folder ? *folder / kScriptName : std::filesystem::path();
  const auto wacli = CoProcessSupport::runnableWacli();
  const std::string text = wacli ? script(wacli.value().string()) : refusalScript(wacli.error());
  if (!folder || !FileStore::writeAtomic(file, text, 0700)) {
    static_cast<void>(Opener::launch({*terminal}));  // a terminal that fails shows the user
    return;
  }
  // gnome-terminal takes its command after "--"; the others after "-e".
  const std::string flag = *terminal == "gnome-terminal" ? "--" : "-e";
  static_cast<void>(Opener::launch({*terminal, flag, file.string()}));  // likewise
}

}  // namespace tvrn::WacliLauncher
