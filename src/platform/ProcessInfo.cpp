#include "platform/ProcessInfo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string_view>

#include "platform/FileStore.h"

namespace tvrn::ProcessInfo {
namespace {

std::filesystem::path procDir(pid_t pid) {
  return std::filesystem::path("/proc") / std::to_string(pid);
}

template <typename Number>
std::optional<Number> parseNumber(std::string_view text, int base = 10) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

// The first number after "<key>:" on its own line of /proc/<pid>/status.
template <typename Number>
std::optional<Number> statusField(const std::string& status, std::string_view key, int base = 10) {
  std::istringstream lines(status);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() <= key.size() || line.compare(0, key.size(), key) != 0 ||
        line[key.size()] != ':') {
      continue;
    }
    std::string_view rest(line);
    rest.remove_prefix(key.size() + 1);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    return parseNumber<Number>(rest, base);
  }
  return std::nullopt;
}

std::vector<std::string> splitArguments(const std::string& cmdline) {
  std::vector<std::string> arguments;
  std::size_t start = 0;
  while (start < cmdline.size()) {
    std::size_t end = cmdline.find('\0', start);
    if (end == std::string::npos) end = cmdline.size();
    arguments.emplace_back(cmdline, start, end - start);
    start = end + 1;
  }
  return arguments;
}

std::string lastPathElement(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Field 22 of /proc/<pid>/stat; the command name before it is in parentheses and may hold spaces,
// so the fields are counted from the last ')'.
unsigned long long startTimeFrom(const std::string& stat) {
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  for (int index = 3; index <= 22 && fields >> field; ++index) {
    if (index == 22) return parseNumber<unsigned long long>(field).value_or(0);
  }
  return 0;
}

std::optional<pid_t> pidNamed(std::string_view name) {
  const auto pid = parseNumber<pid_t>(name);
  if (!pid || std::to_string(*pid) != name) return std::nullopt;
  return pid;
}

// Reads /proc/<pid>/<file> in small pieces until `enough` says the bytes so far suffice, so a
// long command line is not copied out of the process when only its start is wanted. Nothing
// when the file cannot be opened.
template <typename Enough>
std::optional<std::string> readProcFile(pid_t pid, const char* file, Enough enough) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), file);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char block[512];
  ssize_t n = 0;
  while ((n = ::read(fd, block, sizeof block)) > 0) {
    bytes.append(block, static_cast<std::size_t>(n));
    if (enough(bytes)) break;
  }
  ::close(fd);
  if (n < 0) return std::nullopt;
  return bytes;
}

}  // namespace

pid_t selfPid() { return ::getpid(); }

std::optional<Entry> lookup(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const auto dir = procDir(pid);
  const auto status = FileStore::read(dir / "status");
  if (!status) return std::nullopt;
  const auto ppid = statusField<pid_t>(*status, "PPid");
  const auto uid = statusField<uid_t>(*status, "Uid");
  if (!ppid || !uid) return std::nullopt;

  Entry entry;
  entry.pid = pid;
  entry.ppid = *ppid;
  entry.uid = *uid;
  entry.command = FileStore::read(dir / "comm").value_or("");
  if (!entry.command.empty() && entry.command.back() == '\n') entry.command.pop_back();
  entry.arguments = splitArguments(FileStore::read(dir / "cmdline").value_or(""));
  if (!entry.arguments.empty()) entry.executable = lastPathElement(entry.arguments.front());
  entry.startTime = startTimeFrom(FileStore::read(dir / "stat").value_or(""));
  return entry;
}

std::vector<Entry> ancestors(pid_t pid) {
  std::vector<Entry> chain;
  std::set<pid_t> seen{pid};
  auto current = lookup(pid);
  while (current && current->ppid > 0 && seen.insert(current->ppid).second) {
    current = lookup(current->ppid);
    if (current) chain.push_back(*current);
  }
  return chain;
}

std::optional<mode_t> fileCreationMask() {
  const auto status = FileStore::read("/proc/self/status");
  if (!status) return std::nullopt;
  const auto mask = statusField<mode_t>(*status, "Umask", 8);
  return mask ? std::optional<mode_t>(*mask & 0777) : std::nullopt;
}

std::optional<uid_t> ownerUid(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const auto status = FileStore::read(procDir(pid) / "status");
  if (!status) return std::nullopt;
  return statusField<uid_t>(*status, "Uid");
}

std::vector<pid_t> allPids() {
  std::vector<pid_t> pids;
  std::error_code error;
  std::filesystem::directory_iterator item("/proc", error);
  for (; !error && item != std::filesystem::directory_iterator(); item.increment(error)) {
    if (const auto pid = pidNamed(item->path().filename().string())) pids.push_back(*pid);
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

std::vector<pid_t> pidsOwnedBy(uid_t uid) {
  std::vector<pid_t> pids;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return pids;
  while (const dirent* item = ::readdir(proc)) {
    const auto pid = pidNamed(item->d_name);
    struct stat info {};
    if (pid && ::fstatat(::dirfd(proc), item->d_name, &info, 0) == 0 && info.st_uid == uid) {
      pids.push_back(*pid);
    }
  }
  ::closedir(proc);
  std::sort(pids.begin(), pids.end());
  return pids;
}

std::optional<std::string> executableName(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const auto start = readProcFile(pid, "cmdline", [](const std::string& bytes) {
    return bytes.find('\0') != std::string::npos;
  });
  if (!start || start->empty()) return std::nullopt;
  return lastPathElement(start->substr(0, start->find('\0')));
}

std::optional<std::string> commandName(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  auto command = readProcFile(pid, "comm", [](const std::string&) { return false; });
  if (command && !command->empty() && command->back() == '\n') command->pop_back();
  return command;
}

std::optional<std::filesystem::path> executablePath(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  std::error_code error;
  std::string target = std::filesystem::read_symlink(procDir(pid) / "exe", error).string();
  if (error || target.empty()) return std::nullopt;
  // A program replaced on disk since it started (an update) still shows its old path, marked so.
  constexpr std::string_view kReplaced = " (deleted)";
  if (target.ends_with(kReplaced)) target.erase(target.size() - kReplaced.size());
  return std::filesystem::path(target);
}

std::optional<std::vector<std::string>> environment(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const auto bytes = readProcFile(pid, "environ", [](const std::string&) { return false; });
  if (!bytes) return std::nullopt;
  return splitArguments(*bytes);
}

std::optional<std::string> environmentValue(pid_t pid, std::string_view name) {
  const auto entries = environment(pid);
  if (!entries) return std::nullopt;
  for (const std::string& entry : *entries) {
    if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=') {
      return entry.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

}  // namespace tvrn::ProcessInfo
