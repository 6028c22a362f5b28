// What the system needs to know about running processes, read from /proc: its own identity,
// who started a process (the chain of its ancestors) and which account owns it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvrn::ProcessInfo {

struct Entry {
  pid_t pid = 0;
  pid_t ppid = 0;
  uid_t uid = 0;                       // the real user id of the process
  std::string command;                 // /proc/<pid>/comm: the kernel's name, at most 15 bytes
  std::string executable;              // the last path element of the first argument
  std::vector<std::string> arguments;  // the command line; empty for kernel threads and zombies
  // Clock ticks after boot at which the process started: with the pid, it tells a process apart
  // from a later one that was given the same pid.
  unsigned long long startTime = 0;
};

pid_t selfPid();

// The process as /proc shows it now, or nothing when it has gone or cannot be read.
std::optional<Entry> lookup(pid_t pid);

// The parent, the parent's parent and so on up to the first process; the process itself is not
// included. Stops early at a process that cannot be read.
std::vector<Entry> ancestors(pid_t pid);

// The process's own umask, read without changing it (umask() cannot be asked without setting it,
// which other threads would see meanwhile); nothing when the kernel does not show it.
std::optional<mode_t> fileCreationMask();

// The real user id of the process's owner, or nothing when it has gone.
std::optional<uid_t> ownerUid(pid_t pid);

// Every process id visible in /proc, in ascending order.
std::vector<pid_t> allPids();

// What a scan over many processes reads, one /proc file at a time, so that it reads only what
// it uses.
// The ids of the processes whose /proc entry `uid` owns, in ascending order: one stat each. The
// owner is the process's effective user (root for a process that made itself undumpable).
std::vector<pid_t> pidsOwnedBy(uid_t uid);
// The last path element of the first argument; nothing for a kernel thread, a zombie or a
// process that has gone.
std::optional<std::string> executableName(pid_t pid);
// The kernel's command name (at most 15 bytes); nothing when the process has gone.
std::optional<std::string> commandName(pid_t pid);
// The file the process runs, links resolved, whatever its command line says; nothing when the
// process has gone or /proc does not show it (another user's process, a kernel thread).
std::optional<std::filesystem::path> executablePath(pid_t pid);

// The environment the process was started with (what it set since is not seen), one
// "NAME=value" entry each; nothing when it cannot be read (another user's process, one that has
// gone).
std::optional<std::vector<std::string>> environment(pid_t pid);
// The value of the variable `name` in that environment; nothing when it had none, or its
// environment cannot be read.
std::optional<std::string> environmentValue(pid_t pid, std::string_view name);

}  // namespace tvrn::ProcessInfo
