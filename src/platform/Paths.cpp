#include "platform/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace tvrn::Paths {
namespace {

std::string envOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? std::string(value) : fallback;
}

}  // namespace

std::filesystem::path home() { return homeFrom(std::getenv("HOME")); }

std::filesystem::path homeFrom(const char* home) {
  if (home != nullptr && *home != '\0') return home;
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return "/";
}

std::filesystem::path appSupport() {
  const std::filesystem::path base = envOr("XDG_CONFIG_HOME", "");
  return (base.is_absolute() ? base : home() / ".config") / "tavrin";
}

const char* appSupportVariable() {
  return std::filesystem::path(envOr("XDG_CONFIG_HOME", "")).is_absolute() ? "XDG_CONFIG_HOME"
                                                                           : "HOME";
}

std::filesystem::path systemConfigDir() {
  std::string dirs = envOr("XDG_CONFIG_DIRS", "/etc/xdg");
  std::string first = dirs.substr(0, dirs.find(':'));
  if (first.empty()) first = "/etc/xdg";
  return std::filesystem::path(first) / "tavrin";
}

std::filesystem::path localShare() { return home() / ".local" / "share" / "tavrin"; }

std::filesystem::path stdioServer() { return localShare() / "bin" / "tavrin-server"; }

std::filesystem::path tempDir() { return envOr("TMPDIR", "/tmp"); }

std::filesystem::path underHome(const std::string& relative) { return home() / relative; }

std::string withTilde(const std::filesystem::path& path) {
  std::string text = path.string();
  std::string base = home().string();
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base == "/" || !text.starts_with(base)) return text;
  if (text.size() == base.size()) return "~";
  if (text[base.size()] != '/') return text;
  return "~" + text.substr(base.size());
}

}  // namespace tvrn::Paths
