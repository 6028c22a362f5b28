// Child processes started from an argument list (never through a shell) with their standard
// streams on close-on-exec pipes: either run to completion against a deadline while both output
// pipes are drained, or kept as a co-process that is spoken to one line at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Result.h"

namespace tvrn {

using SubprocessClock = std::chrono::steady_clock;

// How long a child is given to end after SIGTERM before SIGKILL follows.
inline constexpr std::chrono::milliseconds kTerminateGrace{500};
// A co-process line longer than this fails the read rather than growing without end.
inline constexpr std::size_t kMaxLineBytes = 16 * 1024 * 1024;
// What a run to completion keeps of each output stream.
inline constexpr std::size_t kMaxCapturedBytes = 64 * 1024 * 1024;

struct SpawnOptions {
  SpawnOptions() = default;
  // Implicit, so that a plain argument list, {{"/bin/cat"}}, is a whole set of options.
  SpawnOptions(std::vector<std::string> arguments)  // NOLINT
      : argv(std::move(arguments)) {}

  // argv[0] is the program: a path, or a bare name looked up on PATH when searchPath is set.
  std::vector<std::string> argv;
  // "NAME=value" entries; absent means this process's own environment.
  std::optional<std::vector<std::string>> environment;
  bool searchPath = false;
  // A folder the caller holds open, where the child starts; absent means this process's own.
  std::optional<int> workingFolder;
  // argv[0] is a program of the system's own, run only as OwnFolder::openProgram allows, and only
  // the file it judged: a binary through the descriptor judged, a script by its path (its $0),
  // once the file there is found to be that one. Why not is the launch error. No descriptor of
  // the check is left open in the program.
  bool ownProgram = false;
  // A child ends with this program, however it ends (the kernel kills it when the program is
  // killed, interrupted or crashes), so no helper runs on unwatched; set for what the user asked
  // to open, which stays when this program quits. launchDetached's children always stay.
  bool outlivesThisProgram = false;
};

// How an ended child finished. `status` is its exit code, or the number of the signal that ended
// it, as the platform reports a termination status.
struct ExitStatus {
  int status = 0;
  bool signalled = false;
};

// The status of a child whose end could not be learned (it was reaped by someone else): never a
// success.
inline constexpr ExitStatus kUnknownExit{-1, false};

struct RunOptions {
  // Written to the child's standard input, which is then closed; absent means /dev/null.
  std::optional<std::string> input;
  // Absent means no limit.
  std::optional<SubprocessClock::duration> timeout;
  // Standard error goes into the standard-output pipe (`standardError` stays empty).
  bool mergeStandardError = false;
  // What is kept of each stream; beyond it output is still read, and dropped, so a child that
  // floods its pipes is neither held up nor held in memory.
  std::size_t outputLimit = kMaxCapturedBytes;
};

// The outcome of running a program to its end.
struct CompletedProcess {
  bool launched = false;
  std::string launchError;  // why it could not start (the platform's description), when !launched
  bool timedOut = false;    // the deadline passed and the child was ended
  ExitStatus exit;          // meaningful when launched
  std::string standardOutput;
  std::string standardError;
};

enum class WriteStatus { written, brokenPipe, timedOut, failed };

enum class LineStatus {
  line,         // `text` holds a line without its line feed, or the last bytes before the end
  endOfStream,  // the child closed its output with nothing pending
  timedOut,     // the deadline passed; what had arrived of the line is dropped
  failed,
};

struct LineRead {
  LineStatus status = LineStatus::failed;
  std::string text;
};

// A running child with all three standard streams on pipes. Every member may be called from any
// thread: writes and line reads are serialised among themselves, so callers that run whole
// request-and-reply exchanges should still hold their own lock across one.
class Subprocess {
 public:
  // Runs the program to its end, feeding the input and draining both output pipes as it runs.
  // At the deadline the child (and what it started) is ended with SIGTERM, then SIGKILL, and
  // reaped; what it wrote until then is kept.
  static CompletedProcess run(const SpawnOptions& options, const RunOptions& run = {});

  // Starts a co-process. The error is the platform's description of why it could not start.
  static Result<std::unique_ptr<Subprocess>, std::string> start(const SpawnOptions& options);

  // Starts a program that outlives this one, in its own process group, with its standard streams
  // on /dev/null; nobody waits for it. The error is why it could not start.
  static Result<pid_t, std::string> launchDetached(const SpawnOptions& options);

  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;
  // Ends the child if it still runs, and reaps it.
  ~Subprocess();

  pid_t pid() const { return pid_; }

  // False once the child has ended; an ended child is reaped here.
  bool isRunning();
  // How it ended, once it has.
  std::optional<ExitStatus> exitStatus();
  // Waits until the child ends or the deadline passes; true when it has ended.
  bool waitForExit(SubprocessClock::time_point deadline);

  // Writes all bytes to the child's standard input. A child that has gone (or closed its input)
  // gives brokenPipe; no signal is raised.
  WriteStatus write(std::string_view bytes, SubprocessClock::time_point deadline);
  // Closes the child's standard input, so that it reads the end of its input.
  void closeInput();

  // Reads one line from the child's standard output. Bytes after the line feed are kept for the
  // next read. Standard error is drained meanwhile so a chatty child cannot stall. A line longer
  // than `maxLine` bytes fails the read, and what had arrived of it is dropped.
  LineRead readLine(SubprocessClock::time_point deadline, std::size_t maxLine = kMaxLineBytes);

  // What the child has written to its standard error since the last call (at most the last
  // 64 KiB, starting on a character boundary), without waiting for more.
  std::string takeStandardError();

  // SIGTERM to the child and what it started, SIGKILL after the grace period if the child is
  // still there, then reap. Does nothing once the child has been reaped.
  void terminate(std::chrono::milliseconds grace = kTerminateGrace);

 private:
  Subprocess(pid_t pid, int pidfd, int input, int output, int error);

  void drainErrorLocked();
  int pollableErrorFd();
  bool reapIfEndedLocked();

  const pid_t pid_;
  const int pidfd_;  // -1 when the kernel offers none; then exits are found by polling

  std::mutex stateMutex_;  // guards exit_ (and so whether pid_ may still be signalled)
  std::optional<ExitStatus> exit_;

  std::mutex ioMutex_;  // guards input_, output_, outputBuffer_, outputEnded_
  int input_;
  int output_;
  std::string outputBuffer_;
  bool outputEnded_ = false;

  // Closed only by the destructor, so a poll elsewhere never sees its number reused.
  const int error_;
  std::mutex errorMutex_;  // guards errorEnded_, errorTail_ and reads of error_
  bool errorEnded_ = false;
  std::string errorTail_;
};

}  // namespace tvrn
