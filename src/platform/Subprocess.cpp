#include "platform/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <future>
#include <system_error>
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
// Where a program judged before it runs is open in the child until it runs, closed on exec.
constexpr int kProgramFd = STDERR_FILENO + 1;
// What a child reports when the file at the program's path is no longer the one judged.
constexpr int kProgramReplaced = -1;

std::string describe(int error) { return std::strerror(error); }

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The descriptor moved above `floor` (close-on-exec), the old one closed; -1 when it cannot be.
int moveAbove(int fd, int floor) {
  if (fd > floor) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, floor + 1);
  ::close(fd);
  return moved;
}

// Keeps pipe ends off 0, 1 and 2: dup2 onto the same number would leave close-on-exec set.
int moveAboveStdio(int fd) { return moveAbove(fd, STDERR_FILENO); }

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

// What the child does between vfork and exec, prepared beforehand: the child shares this
// process's memory until it execs, so it only makes system calls.
struct ChildSetup {
  char* const* argv = nullptr;
  char* const* environment = nullptr;
  bool searchPath = false;
  int input = -1;
  int output = -1;
  int error = -1;
  int workingFolder = -1;
  int program = -1;  // the judged program, run through kProgramFd; -1 runs argv[0] by name
  bool endsWithParent = true;
  pid_t parent = -1;
  int report = -1;  // where the child writes errno when it cannot exec; close-on-exec
};

// Tells the parent why the child cannot become the program, and ends it.
[[noreturn]] void failChild(int report, int error) {
  while (::write(report, &error, sizeof error) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

[[noreturn]] void becomeChild(const ChildSetup& setup) {
  const auto failWith = [&](int error) { failChild(setup.report, error); };
  // SIGKILL when the thread that forked ends, and so the process; a parent already gone is not
  // waited for.
  if (setup.endsWithParent &&
      (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != setup.parent)) {
    failWith(ESRCH);
  }
  // Its own process group, so that ending it also ends what it started.
  ::setpgid(0, 0);
  // The signals were blocked across vfork, so no handler of this process can run here; caught
  // ones go back to their defaults before they are unblocked, and SIGPIPE, which this process
  // ignores and exec would pass on, too.
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction action {};
    if (::sigaction(signal, nullptr, &action) != 0) continue;
    if (signal == SIGPIPE || (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN)) {
      action = {};
      action.sa_handler = SIG_DFL;
      ::sigaction(signal, &action, nullptr);
    }
  }
  if (::dup2(setup.input, STDIN_FILENO) < 0 || ::dup2(setup.output, STDOUT_FILENO) < 0 ||
      ::dup2(setup.error, STDERR_FILENO) < 0) {
    failWith(errno);
  }
  // Closed on exec, so no program finds it open. The report pipe and the judged descriptor lie
  // above it (spawnChild).
  if (setup.program >= 0 && ::dup3(setup.program, kProgramFd, O_CLOEXEC) < 0) failWith(errno);
  if (setup.workingFolder >= 0 && ::fchdir(setup.workingFolder) != 0) failWith(errno);
  // Only the three standard streams (and the program) go to the child: descriptors that
  // libraries open without close-on-exec (the status server's accepted connections) must not
  // leak into it. The report pipe closes at exec by itself.
  const int kept = setup.program >= 0 ? kProgramFd : STDERR_FILENO;
  const auto report = static_cast<unsigned>(setup.report);
  const auto first = static_cast<unsigned>(kept + 1);
  if ((report > first && ::close_range(first, report - 1, 0) != 0) ||
      ::close_range(report + 1, ~0U, 0) != 0) {
    for (long fd = kept + 1; fd < ::sysconf(_SC_OPEN_MAX); ++fd) {
      if (fd != setup.report) ::close(static_cast<int>(fd));
    }
  }
  sigset_t noneBlocked;
  sigemptyset(&noneBlocked);
  ::sigprocmask(SIG_SETMASK, &noneBlocked, nullptr);
  if (setup.program >= 0) {
    // A binary runs as the very file judged, whatever has been put in its place since.
    ::syscall(SYS_execveat, kProgramFd, "", setup.argv, setup.environment, AT_EMPTY_PATH);
    // A script cannot run so (its interpreter would have to open it by a descriptor closed at
    // exec): it runs by the path it is installed at, as its $0, so that it finds what lies beside
    // it. No other user may change the folders on that way; the file there must still be the one
    // judged.
    if (errno != ENOENT) failWith(errno);
    struct stat named {};
    struct stat judged {};
    if (::stat(setup.argv[0], &named) != 0) failWith(errno);
    if (::fstat(kProgramFd, &judged) != 0 || named.st_dev != judged.st_dev ||
        named.st_ino != judged.st_ino) {
      failWith(kProgramReplaced);
    }
    ::execve(setup.argv[0], setup.argv, setup.environment);
  } else if (setup.searchPath) {
    ::execvpe(setup.argv[0], setup.argv, setup.environment);
  } else {
    ::execve(setup.argv[0], setup.argv, setup.environment);
  }
  failChild(setup.report, errno);
}

Result<pid_t, std::string> spawnWith(const SpawnOptions& options, int input, int output, int error,
                                     int program);

// Starts the program with its standard streams on the given descriptors (input -1: /dev/null).
Result<pid_t, std::string> spawnChild(const SpawnOptions& options, int input, int output,
                                      int error) {
  if (options.argv.empty()) return fail(describe(EINVAL));
  int program = -1;
  if (options.ownProgram) {
    auto opened = OwnFolder::openProgram(options.argv.front());
    if (!opened) return fail(opened.error());
    // Above the number the child runs it by, so that no descriptor moved there is taken first.
    program = ::fcntl(opened.value(), F_DUPFD_CLOEXEC, kProgramFd + 1);
    const int code = errno;
    ::close(opened.value());
    if (program < 0) return fail(describe(code));
  }
  auto started = spawnWith(options, input, output, error, program);
  closeFd(program);
  return started;
}

// The child of vfork runs on this function's stack until it execs: kept apart, so no local of the
// caller can be clobbered by what the child does before then.
[[gnu::noinline]] pid_t forkInto(const ChildSetup& setup) {
  const pid_t pid = ::vfork();
  if (pid == 0) becomeChild(setup);
  return pid;
}

Result<pid_t, std::string> spawnWith(const SpawnOptions& options, int input, int output, int error,
                                     int program) {
  std::vector<char*> argv;
  for (const auto& argument : options.argv) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  if (options.environment) {
    for (const auto& entry : *options.environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
  }

  int null = -1;
  if (input < 0) {
    const int opened = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (opened < 0) return fail(describe(errno));
    null = moveAboveStdio(opened);
    if (null < 0) return fail(describe(errno));
  }
  Pipe report;
  if (!report.open() || (program >= 0 && report.write <= kProgramFd &&
                         (report.write = moveAbove(report.write, kProgramFd)) < 0)) {
    const int reason = errno;
    report.close();
    closeFd(null);
    return fail(describe(reason));
  }
  ChildSetup setup;
  setup.argv = argv.data();
  setup.environment = options.environment ? envp.data() : environ;
  setup.searchPath = options.searchPath;
  setup.input = input >= 0 ? input : null;
  setup.output = output;
  setup.error = error;
  setup.workingFolder = options.workingFolder.value_or(-1);
  setup.program = program;
  setup.endsWithParent = !options.outlivesThisProgram;
  setup.parent = ::getpid();
  setup.report = report.write;

  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = forkInto(setup);
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  closeFd(report.write);
  closeFd(null);
  if (pid < 0) {
    report.close();
    return fail(describe(forkError));
  }
  // Nothing comes through once the program runs: the pipe closed at exec.
  int execError = 0;
  ssize_t got = 0;
  while ((got = ::read(report.read, &execError, sizeof execError)) < 0 && errno == EINTR) {
  }
  report.close();
  if (got <= 0) return pid;
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (execError == kProgramReplaced) {
    return fail(options.argv.front() + " is not run: it was replaced while it was being checked");
  }
  return fail(describe(execError));
}

// Starts a child that this program does not wait for. The kernel sends the parent-death signal
// when the thread that forked ends, not the process, and a co-process outlives the call (and
// often the thread) that started it: so such children are forked by one thread that lasts as
// long as the process. A process made by fork() finds no such thread and gets one of its own.
Result<pid_t, std::string> spawnLastingChild(const SpawnOptions& options, int input, int output,
                                             int error) {
  using Task = std::packaged_task<Result<pid_t, std::string>()>;
  struct Forker {
    pid_t owner = ::getpid();
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<Task>> tasks;  // shared: a task outlives its caller's wait
  };
  static std::mutex guard;
  static Forker* forker = nullptr;  // never destroyed: its thread runs until the process ends
  auto task = std::make_shared<Task>([&] { return spawnChild(options, input, output, error); });
  Forker* chosen = nullptr;
  {
    std::lock_guard hold(guard);
    if (forker == nullptr || forker->owner != ::getpid()) {
      auto* made = new Forker;
      // Its signals stay blocked, so process signals go to the threads that expect them.
      sigset_t all;
      sigset_t previous;
      sigfillset(&all);
      pthread_sigmask(SIG_SETMASK, &all, &previous);
      try {
        std::thread([made] {
          for (;;) {
            std::unique_lock lock(made->mutex);
            made->wake.wait(lock, [&] { return !made->tasks.empty(); });
            const std::shared_ptr<Task> next = made->tasks.front();
            made->tasks.pop_front();
            lock.unlock();
            (*next)();
          }
        }).detach();
        forker = made;
      } catch (const std::system_error&) {
        delete made;
      }
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    chosen = forker;
  }
  if (chosen == nullptr) return spawnChild(options, input, output, error);
  auto spawned = task->get_future();
  {
    std::lock_guard lock(chosen->mutex);
    chosen->tasks.push_back(task);
  }
  chosen->wake.notify_one();
  return spawned.get();
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
  auto spawned = options.outlivesThisProgram
                     ? spawnChild(options, input.read, output.write, error.write)
                     : spawnLastingChild(options, input.read, output.write, error.write);
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
  const int opened = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  int null = opened < 0 ? -1 : moveAboveStdio(opened);
  if (null < 0) return fail(describe(errno));
  SpawnOptions outliving = options;
  outliving.outlivesThisProgram = true;
  auto spawned = spawnChild(outliving, -1, null, null);
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
