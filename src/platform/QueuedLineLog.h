// A LineLog whose appends are handed to one writer thread: a caller only links its line (or what
// makes it) into a queue, with no lock and no file call, and the writer makes and writes what has
// gathered, one batch about every kGather. flush() waits until what was handed over before it is
// written; after writeThrough() every append is written on the caller's thread, after what was
// queued before it. Each thread's lines reach the file in the order it appended them. A process
// killed outright loses the lines still queued: those of its last kGather or so.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/LineLog.h"

namespace tvrn {

class QueuedLineLog {
 public:
  static constexpr std::chrono::milliseconds kGather{10};

  // `recreate`: whether an append brings back a file removed while the process runs.
  explicit QueuedLineLog(bool recreate) : log_(recreate) {}
  QueuedLineLog(const QueuedLineLog&) = delete;
  QueuedLineLog& operator=(const QueuedLineLog&) = delete;

  // As LineLog's, once the lines queued for the file before are written.
  void configure(const std::filesystem::path& file, const LineLog::Cut& cut);
  // Makes a line on the writer's thread, so its caller does not wait for the formatting.
  using LineMaker = std::function<std::string()>;

  // Does nothing until configured; a line that cannot be written is lost, silently.
  void append(LineMaker make);
  // Returns once every line appended before the call is written (or lost).
  void flush();
  // Writes what is queued, ends the writer and writes every later line at once.
  void writeThrough();
  // How many threads wait for a batch being written to end, so as to write what is queued.
  int waitingWriters() const { return waitingWriters_.load(); }
  std::optional<std::filesystem::path> file() const { return log_.file(); }

 private:
  struct Flush;
  struct Node {
    LineMaker make;  // empty in a marker
    Node* next = nullptr;
    Flush* flush = nullptr;  // a marker: signalled once the lines before it are written
  };

  // Links the node in without a lock; true when the queue was empty.
  bool push(Node* node);
  bool writerRunningHere() const;
  void startWriterIfNeeded();
  void writeLoop();
  // Takes what is queued and writes it, once a batch taken before is written.
  void writeQueued();
  // Writes a batch taken off the queue (newest first) in the order it was appended; returns it,
  // oldest first, for its flushes to be signalled.
  Node* writeBatch(Node* newestFirst);

  LineLog log_;
  std::atomic<bool> configured_{false};
  std::atomic<bool> writeThrough_{false};
  std::atomic<Node*> newest_{nullptr};  // the queue, a list linked from its newest line
  // The process (by its fork count) whose writer thread runs; a copy of the process starts its own.
  std::atomic<bool> writerStarted_{false};
  std::atomic<unsigned> writerForks_{0};
  std::mutex startMutex_;  // serialises starting the writer
  std::mutex writeMutex_;  // held from taking a batch off the queue until it is written
  std::atomic<int> waitingWriters_{0};  // in writeQueued, waiting for writeMutex_
  std::mutex wakeMutex_;                // guards flushWanted_
  std::condition_variable wakeWriter_;
  bool flushWanted_ = false;
};

}  // namespace tvrn
