#include "platform/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "base/Utf8.h"
#include "platform/OwnFolder.h"

extern char** environ;

namespace tvrn {
namespace {

using Clock = SubprocessClock;
using std::chrono::milliseconds;

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kErrorTailLimit = 64 * 1024;
// Once the child has ended, a grandchild that still holds the pipes may keep writing; stop there.
constexpr std::size_t kFinalDrainLimit = 64 * 1024 * 1024;
// Without a process descriptor to wait on, an exit is looked for this often.
constexpr milliseconds kExitPollSlice{5};
// Where a program judged before it runs is open in the child, and the name it runs by there.
constexpr int kProgramFd = STDERR_FILENO + 1;
constexpr const char* kProgramPath = "/proc/self/fd/3";

std::string describe(int error) { return std::strerror(error); }

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Keeps pipe ends off 0, 1 and 2: dup2 onto the same number would leave close-on-exec set.
int moveAboveStdio(int fd) {
  if (fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  return moved;
}

struct Pipe {
  int read = -1;
  int write = -1;

  bool open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read = moveAboveStdio(fds[0]);
    write = moveAboveStdio(fds[1]);
    return read >= 0 && write >= 0;
  }
  void close() {
    closeFd(read);
    closeFd(write);
  }
};

void setNonBlocking(int fd) {
  if (fd < 0) return;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// The child gets its own process group, so that ending it also ends what it started; and the
// default SIGPIPE, which this process ignores and exec would otherwise pass on.
Result<pid_t, std::string> spawnChild(const SpawnOptions& options, int input, int output,
                                      int error) {
  if (options.argv.empty()) return fail(describe(EINVAL));
  int program = -1;
  if (options.ownProgram) {
    auto opened = OwnFolder::openProgram(options.argv.front());
    if (!opened) return fail(opened.error());
    // Above every number the child's descriptors are moved to, so no move below takes it first.
    program = ::fcntl(opened.value(), F_DUPFD_CLOEXEC, kProgramFd + 1);
    const int code = errno;
    ::close(opened.value());
    if (program < 0) return fail(describe(code));
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  if (input >= 0) {
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, error, STDERR_FILENO);
  if (options.workingFolder)
    posix_spawn_file_actions_addfchdir_np(&actions, *options.workingFolder);
  // Left open, not closed on exec: a script's interpreter opens the script by that name.
  if (program >= 0) posix_spawn_file_actions_adddup2(&actions, program, kProgramFd);
  // Only the three standard streams go to the child: descriptors that libraries open without
  // close-on-exec (the status server's accepted connections) must not leak into it.
  posix_spawn_file_actions_addclosefrom_np(&actions, program >= 0 ? kProgramFd + 1 : kProgramFd);

  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t noneBlocked;
  sigemptyset(&noneBlocked);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &noneBlocked);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<char*> argv;
  for (const auto& argument : options.argv) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  if (options.environment) {
    for (const auto& entry : *options.environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
  }
  char* const* environment = options.environment ? envp.data() : environ;

  pid_t pid = -1;
  const char* path = program >= 0 ? kProgramPath : argv[0];
  const int rc = options.searchPath
                     ? ::posix_spawnp(&pid, path, &actions, &attributes, argv.data(), environment)
                     : ::posix_spawn(&pid, path, &actions, &attributes, argv.data(), environment);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (program >= 0) ::close(program);
  if (rc != 0) return fail(describe(rc));
  return pid;
}

void signalGroup(pid_t pid, int signal) {
  if (::kill(-pid, signal) != 0 && errno == ESRCH) ::kill(pid, signal);
}

// True once the child has ended; it is left unreaped, so its pid cannot be reused meanwhile.
bool hasEnded(pid_t pid) {
  siginfo_t info{};
  info.si_pid = 0;
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    if (errno != EINTR) return true;  // not our child any more: nothing to wait for
  }
  return info.si_pid != 0;
}

ExitStatus reap(pid_t pid) {
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) return kUnknownExit;
  }
  if (WIFSIGNALED(raw)) return ExitStatus{WTERMSIG(raw), true};
  return ExitStatus{WEXITSTATUS(raw), false};
}

timespec toTimespec(Clock::duration span) {
  if (span < Clock::duration::zero()) span = Clock::duration::zero();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(span - seconds);
  return timespec{static_cast<time_t>(seconds.count()), static_cast<long>(nanos.count())};
}

// Waits for events until the deadline (none: for ever). Returns the number of ready descriptors,
// 0 when the time ran out or a signal interrupted, -1 on failure.
int pollUntil(std::vector<pollfd>& fds, std::optional<Clock::time_point> deadline) {
  timespec limit{};
  const timespec* timeout = nullptr;
  if (deadline) {
    limit = toTimespec(*deadline - Clock::now());
    timeout = &limit;
  }
  const int ready = ::ppoll(fds.data(), fds.size(), timeout, nullptr);
  if (ready < 0 && errno == EINTR) return 0;
  return ready;
}

bool waitEnded(pid_t pid, int pidfd, Clock::time_point deadline) {
  while (!hasEnded(pid)) {
    const auto now = Clock::now();
    if (now >= deadline) return false;
    if (pidfd >= 0) {
      std::vector<pollfd> fds{{pidfd, POLLIN, 0}};
      pollUntil(fds, deadline);
    } else {
      std::this_thread::sleep_for(std::min<Clock::duration>(kExitPollSlice, deadline - now));
    }
  }
  return true;
}

ExitStatus endChild(pid_t pid, int pidfd, milliseconds grace) {
  signalGroup(pid, SIGTERM);
  waitEnded(pid, pidfd, Clock::now() + grace);
  // The leader is at most a zombie here, so its group id still names only its own processes.
  signalGroup(pid, SIGKILL);
  return reap(pid);
}

enum class ReadOutcome { data, wouldBlock, ended, failed };

// Appends what one read brings while `into` is shorter than `keep`; the rest of it is dropped.
// `received` counts every byte read, kept or not.
ReadOutcome readSome(int fd, std::string& into, std::size_t keep = std::string::npos,
                     std::size_t* received = nullptr) {
  char buffer[kChunk];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      const auto count = static_cast<std::size_t>(n);
      const std::size_t room = into.size() < keep ? keep - into.size() : 0;
      into.append(buffer, std::min(count, room));
      if (received != nullptr) *received += count;
      return ReadOutcome::data;
    }
    if (n == 0) return ReadOutcome::ended;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadOutcome::wouldBlock;
    return ReadOutcome::failed;
  }
}

bool isFinal(ReadOutcome outcome) {
  return outcome == ReadOutcome::ended || outcome == ReadOutcome::failed;
}

// Reads what is waiting in the pipe without blocking, up to `limit` bytes; closes it at its end.
void drainPending(int& fd, std::string& into, std::size_t keep, std::size_t limit) {
  std::size_t received = 0;
  while (fd >= 0 && received < limit) {
    const ReadOutcome outcome = readSome(fd, into, keep, &received);
    if (outcome == ReadOutcome::wouldBlock) return;
    if (outcome != ReadOutcome::data) closeFd(fd);
  }
}

// A write that reports a vanished reader as EPIPE and never lets SIGPIPE end the process, even
// where the disposition has not been set to ignore it.
ssize_t writeWithoutSignal(int fd, const char* data, std::size_t size) {
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  const ssize_t n = ::write(fd, data, size);
  const int saved = errno;
  if (n < 0 && saved == EPIPE && !sigismember(&previous, SIGPIPE)) {
    const timespec zero{};
    while (::sigtimedwait(&pipeOnly, nullptr, &zero) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = saved;
  return n;
}

}  // namespace

CompletedProcess Subprocess::run(const SpawnOptions& options, const RunOptions& run) {
  CompletedProcess result;
  Pipe input;
  Pipe output;
  Pipe error;
  const bool opened =
      (!run.input || input.open()) && output.open() && (run.mergeStandardError || error.open());
  if (!opened) {
    result.launchError = describe(errno);
    input.close();
    output.close();
    error.close();
    return result;
  }
  auto spawned = spawnChild(options, input.read, output.write,
                            run.mergeStandardError ? output.write : error.write);
  closeFd(input.read);
  closeFd(output.write);
  closeFd(error.write);
  if (!spawned.ok()) {
    result.launchError = spawned.error();
    input.close();
    output.close();
    error.close();
    return result;
  }
  result.launched = true;
  const pid_t pid = spawned.value();
  int pidfd = openPidfd(pid);
  setNonBlocking(input.write);
  setNonBlocking(output.read);
  setNonBlocking(error.read);

  std::optional<Clock::time_point> deadline;
  if (run.timeout) deadline = Clock::now() + *run.timeout;
  const std::string_view feed = run.input ? std::string_view(*run.input) : std::string_view();
  std::size_t fed = 0;
  if (feed.empty()) closeFd(input.write);

  while (!hasEnded(pid)) {
    if (deadline && Clock::now() >= *deadline) {
      result.timedOut = true;
      break;
    }
    std::vector<pollfd> fds;
    if (input.write >= 0) fds.push_back({input.write, POLLOUT, 0});
    if (output.read >= 0) fds.push_back({output.read, POLLIN, 0});
    if (error.read >= 0) fds.push_back({error.read, POLLIN, 0});
    if (pidfd >= 0) fds.push_back({pidfd, POLLIN, 0});
    std::optional<Clock::time_point> wakeUp = deadline;
    if (pidfd < 0) {
      const auto slice = Clock::now() + kExitPollSlice;
      wakeUp = deadline ? std::min(*deadline, slice) : slice;
    }
    if (pollUntil(fds, wakeUp) < 0) {
      std::this_thread::sleep_for(kExitPollSlice);
      continue;
    }
    for (const auto& entry : fds) {
      if (entry.revents == 0) continue;
      if (entry.fd == input.write) {
        const ssize_t n = writeWithoutSignal(input.write, feed.data() + fed, feed.size() - fed);
        if (n > 0) fed += static_cast<std::size_t>(n);
        const bool stop = (n < 0 && errno != EAGAIN && errno != EINTR) || fed == feed.size();
        if (stop) closeFd(input.write);  // a child that stops reading has had its say
      } else if (entry.fd == output.read) {
        if (isFinal(readSome(output.read, result.standardOutput, run.outputLimit))) {
          closeFd(output.read);
        }
      } else if (entry.fd == error.read) {
        if (isFinal(readSome(error.read, result.standardError, run.outputLimit))) {
          closeFd(error.read);
        }
      }
    }
  }

  closeFd(input.write);
  if (result.timedOut) {
    result.exit = endChild(pid, pidfd, kTerminateGrace);
  }
  // Everything the child wrote before it ended is already in the pipes.
  drainPending(output.read, result.standardOutput, run.outputLimit, kFinalDrainLimit);
  drainPending(error.read, result.standardError, run.outputLimit, kFinalDrainLimit);
  if (!result.timedOut) result.exit = reap(pid);
  closeFd(output.read);
  closeFd(error.read);
  closeFd(pidfd);
  return result;
}

Result<std::unique_ptr<Subprocess>, std::string> Subprocess::start(const SpawnOptions& options) {
  Pipe input;
  Pipe output;
  Pipe error;
  if (!input.open() || !output.open() || !error.open()) {
    const std::string reason = describe(errno);
    input.close();
    output.close();
    error.close();
    return fail(reason);
  }
  auto spawned = spawnChild(options, input.read, output.write, error.write);
  closeFd(input.read);
  closeFd(output.write);
  closeFd(error.write);
  if (!spawned.ok()) {
    input.close();
    output.close();
    error.close();
    return fail(spawned.error());
  }
  setNonBlocking(input.write);
  setNonBlocking(output.read);
  setNonBlocking(error.read);
  const pid_t pid = spawned.value();
  return std::unique_ptr<Subprocess>(
      new Subprocess(pid, openPidfd(pid), input.write, output.read, error.read));
}

Result<pid_t, std::string> Subprocess::launchDetached(const SpawnOptions& options) {
  int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return fail(describe(errno));
  auto spawned = spawnChild(options, -1, null, null);
  closeFd(null);
  return spawned;
}

Subprocess::Subprocess(pid_t pid, int pidfd, int input, int output, int error)
    : pid_(pid), pidfd_(pidfd), input_(input), output_(output), error_(error) {}

Subprocess::~Subprocess() {
  terminate();
  closeFd(input_);
  closeFd(output_);
  if (error_ >= 0) ::close(error_);
  if (pidfd_ >= 0) ::close(pidfd_);
}

bool Subprocess::reapIfEndedLocked() {
  if (exit_) return true;
  if (!hasEnded(pid_)) return false;
  exit_ = reap(pid_);
  return true;
}

bool Subprocess::isRunning() {
  std::lock_guard lock(stateMutex_);
  return !reapIfEndedLocked();
}

std::optional<ExitStatus> Subprocess::exitStatus() {
  std::lock_guard lock(stateMutex_);
  reapIfEndedLocked();
  return exit_;
}

bool Subprocess::waitForExit(Clock::time_point deadline) {
  std::lock_guard lock(stateMutex_);
  if (exit_) return true;
  if (!waitEnded(pid_, pidfd_, deadline)) return false;
  exit_ = reap(pid_);
  return true;
}

void Subprocess::terminate(milliseconds grace) {
  std::lock_guard lock(stateMutex_);
  if (exit_) return;
  exit_ = endChild(pid_, pidfd_, grace);
}

WriteStatus Subprocess::write(std::string_view bytes, Clock::time_point deadline) {
  std::lock_guard lock(ioMutex_);
  if (input_ < 0) return WriteStatus::brokenPipe;
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = writeWithoutSignal(input_, bytes.data() + written, bytes.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EPIPE) return WriteStatus::brokenPipe;
    if (n < 0 && errno != EAGAIN && errno != EINTR) return WriteStatus::failed;
    if (Clock::now() >= deadline) return WriteStatus::timedOut;
    std::vector<pollfd> fds{{input_, POLLOUT, 0}, {pollableErrorFd(), POLLIN, 0}};
    if (pollUntil(fds, deadline) > 0 && fds[1].revents != 0) {
      std::lock_guard errorLock(errorMutex_);
      drainErrorLocked();
    }
  }
  return WriteStatus::written;
}

void Subprocess::closeInput() {
  std::lock_guard lock(ioMutex_);
  closeFd(input_);
}

LineRead Subprocess::readLine(Clock::time_point deadline, std::size_t maxLine) {
  std::lock_guard lock(ioMutex_);
  std::size_t scanned = 0;
  for (;;) {
    const auto end = outputBuffer_.find('\n', scanned);
    if (std::min(end, outputBuffer_.size()) > maxLine) {
      outputBuffer_.clear();
      return LineRead{LineStatus::failed, {}};
    }
    if (end != std::string::npos) {
      LineRead read{LineStatus::line, outputBuffer_.substr(0, end)};
      outputBuffer_.erase(0, end + 1);
      return read;
    }
    scanned = outputBuffer_.size();
    if (outputEnded_) {
      if (outputBuffer_.empty()) return LineRead{LineStatus::endOfStream, {}};
      return LineRead{LineStatus::line, std::exchange(outputBuffer_, {})};
    }
    if (Clock::now() >= deadline) {
      outputBuffer_.clear();
      return LineRead{LineStatus::timedOut, {}};
    }
    std::vector<pollfd> fds{{output_, POLLIN, 0}, {pollableErrorFd(), POLLIN, 0}};
    if (pollUntil(fds, deadline) < 0) return LineRead{LineStatus::failed, {}};
    if (fds[1].revents != 0) {
      std::lock_guard errorLock(errorMutex_);
      drainErrorLocked();
    }
    if (fds[0].revents == 0) continue;
    switch (readSome(output_, outputBuffer_)) {
      case ReadOutcome::ended:
        outputEnded_ = true;
        break;
      case ReadOutcome::failed:
        return LineRead{LineStatus::failed, {}};
      default:
        break;
    }
  }
}

void Subprocess::drainErrorLocked() {
  if (errorEnded_) return;
  for (;;) {
    const ReadOutcome outcome = readSome(error_, errorTail_);
    if (errorTail_.size() > kErrorTailLimit) {
      std::size_t cut = errorTail_.size() - kErrorTailLimit;
      while (cut < errorTail_.size() &&
             Utf8::isContinuation(static_cast<unsigned char>(errorTail_[cut])))
        ++cut;
      errorTail_.erase(0, cut);
    }
    if (outcome == ReadOutcome::data) continue;
    if (outcome != ReadOutcome::wouldBlock) errorEnded_ = true;
    return;
  }
}

// poll() skips a negative descriptor, so an ended error stream stops waking the reader.
int Subprocess::pollableErrorFd() {
  std::lock_guard lock(errorMutex_);
  return errorEnded_ ? -1 : error_;
}

std::string Subprocess::takeStandardError() {
  std::lock_guard lock(errorMutex_);
  drainErrorLocked();
  return std::exchange(errorTail_, {});
}

}  // namespace tvrn
