#include "platform/QueuedLineLog.h"

#include <thread>
#include <utility>

#include "platform/ProcessSetup.h"

namespace tvrn {

struct QueuedLineLog::Flush {
  std::mutex mutex;  // guards done
  std::condition_variable signalled;
  bool done = false;

  // Under the lock, so the waiter cannot return and end this object before it is notified.
  void signal() {
    std::lock_guard hold(mutex);
    done = true;
    signalled.notify_all();
  }
  void await() {
    std::unique_lock hold(mutex);
    signalled.wait(hold, [this] { return done; });
  }
};

void QueuedLineLog::configure(const std::filesystem::path& file, const LineLog::Cut& cut) {
  flush();
  log_.configure(file, cut);
  configured_ = true;
}

void QueuedLineLog::append(LineMaker make) {
  if (!configured_.load()) return;
  if (!writeThrough_.load()) startWriterIfNeeded();
  // Through the queue even after the stop, behind this thread's lines still waiting there (the
  // writer may be writing them this moment): a line written past them would come first.
  if (push(new Node{std::move(make)})) newest_.notify_one();
  // Once the writer ends (also when it did after the test above), the caller writes what is
  // queued, its own line last, once a batch being written is done.
  if (writeThrough_.load()) writeQueued();
}

void QueuedLineLog::flush() {
  if (!writerRunningHere()) return;
  Flush flush;
  push(new Node{{}, nullptr, &flush});
  {
    std::lock_guard hold(wakeMutex_);
    flushWanted_ = true;
  }
  wakeWriter_.notify_one();
  newest_.notify_one();
  if (writeThrough_.load()) writeQueued();
  flush.await();
}

void QueuedLineLog::writeThrough() {
  writeThrough_ = true;
  flush();
}

bool QueuedLineLog::push(Node* node) {
  // Once linked in, the node is the writer's (it relinks and deletes it): only the local copy of
  // what it was linked to is looked at afterwards. Sequentially consistent: see writeQueued.
  Node* before = newest_.load(std::memory_order_relaxed);
  do {
    node->next = before;
  } while (!newest_.compare_exchange_weak(before, node, std::memory_order_seq_cst,
                                          std::memory_order_relaxed));
  return before == nullptr;
}

bool QueuedLineLog::writerRunningHere() const {
  return writerStarted_.load() && writerForks_.load() == forksSoFar();
}

void QueuedLineLog::startWriterIfNeeded() {
  if (writerRunningHere()) return;
  std::lock_guard hold(startMutex_);
  if (writerRunningHere()) return;
  // In a copy (fork) of the process the queue holds the other process's lines, which it writes.
  for (Node* node = newest_.exchange(nullptr); node != nullptr;)
    delete std::exchange(node, node->next);
  writerForks_ = forksSoFar();
  writerStarted_ = true;
  // Never joined: it ends once the log writes through, and otherwise with the process.
  std::thread([this] { writeLoop(); }).detach();
}

void QueuedLineLog::writeLoop() {
  for (;;) {
    newest_.wait(nullptr);
    {
      // Lines that come meanwhile go out with this batch: one write for many appends.
      std::unique_lock hold(wakeMutex_);
      wakeWriter_.wait_for(hold, kGather, [this] { return flushWanted_; });
      flushWanted_ = false;
    }
    writeQueued();
    if (writeThrough_.load()) return;
  }
}

void QueuedLineLog::writeQueued() {
  Node* written = nullptr;
  {
    ++waitingWriters_;
    std::lock_guard hold(writeMutex_);
    --waitingWriters_;
    // Sequentially consistent, as is push(): a line linked in by a thread that then found the
    // log not yet writing through is taken here by the stop (see append).
    written = writeBatch(newest_.exchange(nullptr));
  }
  // Once the locks are let go: a flush that has returned leaves none held, so a copy of the
  // process made right after it (a fork) can still write.
  while (written != nullptr) {
    Node* node = std::exchange(written, written->next);
    if (node->flush != nullptr) node->flush->signal();
    delete node;
  }
}

QueuedLineLog::Node* QueuedLineLog::writeBatch(Node* newestFirst) {
  Node* oldestFirst = nullptr;
  while (newestFirst != nullptr) {
    Node* next = newestFirst->next;
    newestFirst->next = oldestFirst;
    oldestFirst = newestFirst;
    newestFirst = next;
  }
  std::string text;
  for (const Node* node = oldestFirst; node != nullptr; node = node->next) {
    if (node->make) text += node->make();
  }
  if (!text.empty()) log_.append(text);
  return oldestFirst;
}

}  // namespace tvrn
