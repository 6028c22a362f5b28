#include "core/MCPServer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "base/Dispatch.h"
#include "base/Timestamp.h"
#include "base/Utf8.h"
#include "core/AuditLog.h"
#include "core/ConfigManager.h"
#include "core/InFlightRequestTracker.h"
#include "core/Logger.h"
#include "core/MCPPrompts.h"
#include "core/MCPServerTexts.h"
#include "core/PIISanitizer.h"
#include "core/ToolCallCounter.h"
#include "core/ToolErrorCounter.h"
#include "core/ToolRegistry.h"
#include "core/ToolResponse.h"
#include "pim/PrivacyGate.h"
#include "platform/Endpoints.h"
#include "platform/FileWatch.h"
#include "platform/HttpClient.h"

namespace tvrn {
namespace {

constexpr auto kEventTimeout = std::chrono::seconds(10);
// Past this size, replies made on the session's thread are sent even while more requests wait.
constexpr std::size_t kReplyBatchBytes = 256 * 1024;
// Once every request is answered, a session that is the only one awake looks for the client's next
// request a while before it sleeps in a read: a client that sends its requests one at a time, or a
// burst once it has read the last one's replies, then finds it awake instead of waiting for the
// kernel to wake it. Only right after traffic, never while the session is idle, and never while
// other sessions need the cores. The look lasts at least the shortest time below, and up to twice
// the time the client took lately, within the longest: a client that takes longer costs the
// shortest look per reply.
constexpr auto kShortestLook = std::chrono::microseconds(30);
constexpr auto kLongestLook = std::chrono::microseconds(250);
// While the session's last calls finish on workers it looks on, for at most this long.
constexpr auto kLongestLookWhileBusy = std::chrono::microseconds(500);

// How many of one session's tool calls run at once on the process's workers: one per core. Eight
// times as many requests (at most a MiB of their lines) may be under way, or have replies not yet
// written: a client flooding requests, or never reading its replies, holds neither threads nor
// memory without bound.
std::size_t workersPerSession() {
  static const std::size_t count = std::max(2U, std::thread::hardware_concurrency());
  return count;
}
constexpr std::size_t kLinesPerWorker = 8;
constexpr std::size_t kQueuedBytes = 1024 * 1024;
// A queued line's room, and a reply's, is kept for the next one unless it grew past these.
constexpr std::size_t kKeptLineBytes = 64 * 1024;
constexpr std::size_t kKeptReplyBytes = 4 * 1024;

// The framed reply to one line, or nothing when none is due.
std::string framedReply(MCPServer& session, std::string_view body) {
  auto request = RequestParser::parse(body);
  if (!request) {
    return MCPCodec::encode(
        JSONRPCResponse::error(std::nullopt, JSONRPCError::parseError, "Parse error"));
  }
  std::optional<std::string> reply = session.handle(request.value(), CallSource::local);
  if (!reply) return {};
  MCPCodec::frame(*reply);
  return std::move(*reply);
}

// Whether the line names the method of a tool call: a guess from its text, which decides only
// where the line is answered, never how.
bool looksLikeToolCall(std::string_view body) {
  return body.find("\"tools/call\"") != std::string_view::npos;
}

// The replies of a session's requests, in the requests' order, each written as soon as it and
// every reply before it are made: whoever finishes the reply at the front writes it, with those
// ready behind it, in one write. Tool calls that come with further lines behind them, or while
// others are under way, are queued for workers that take one after another while the session
// reads on; a reply made on the session's thread waits behind the calls that came before it.
// While nothing waits to be read, and while it waits for room, the session runs queued calls
// itself, so no call waits for a worker that never comes: a busy pool, or one that stopped,
// costs speed, not answers.
class RepliesInOrder {
 public:
  RepliesInOrder(MCPServer& session, MCPWriter& writer)
      : board_(std::make_shared<Board>(session, writer)) {}
  // Whatever the way out, no call may outlive the session it answers for.
  ~RepliesInOrder() { finish(); }
  RepliesInOrder(const RepliesInOrder&) = delete;
  RepliesInOrder& operator=(const RepliesInOrder&) = delete;

  // Whether a request is under way or a reply is not yet written.
  bool busy() const {
    std::lock_guard hold(board_->lock);
    return !board_->idleLocked();
  }

  // The same, as last seen by the threads that change it, without the lock: for looking often.
  bool seemsBusy() const { return !board_->idle.load(std::memory_order_relaxed); }

  // A reply made on the session's thread, framed (empty for none). With nothing under way it
  // waits for the replies that follow at once, to go out with them.
  void add(std::string framed) {
    if (framed.empty()) return;
    std::unique_lock hold(board_->lock);
    if (board_->idleLocked()) {
      hold.unlock();
      if (pending_.empty()) {
        pending_ = std::move(framed);
      } else {
        pending_ += framed;
      }
      if (pending_.size() > kReplyBatchBytes) sendPending();
      return;
    }
    waitForRoom(hold);
    board_->addDoneLocked(framed);
    board_->flush(hold);
  }

  // Queues the line, to be parsed and answered by a worker once staffed, after waiting for room.
  void handOff(std::string_view body) {
    sendPending();
    std::unique_lock hold(board_->lock);
    waitForRoom(hold);
    Slot& slot = board_->at(board_->next);
    // The slot is free (there was room), and only the session fills slots: a long line is copied
    // into it with the lock let go.
    if (body.size() > slot.body.capacity()) {
      hold.unlock();
      slot.body.assign(body);
      hold.lock();
    } else {
      slot.body.assign(body);
    }
    ++board_->next;
    board_->idle.store(false, std::memory_order_relaxed);
    slot.state = Slot::State::queued;
    board_->lineBytes += slot.body.size();
    board_->queued.push_back(&slot);
    unstaffed_ = true;
  }

  // For the time nothing waits to be read: sends the replies held back, has workers take the
  // queued calls and runs them too until input comes.
  void whileIdle(const MCPReader& reader) {
    sendPending();
    staff();
    std::unique_lock hold(board_->lock);
    while (!board_->queued.empty()) {
      hold.unlock();
      const bool input = reader.inputWaiting();
      hold.lock();
      // Without a worker on them, the calls are run here even while more input comes: the rest
      // of a line may be long in coming.
      if (input && board_->workers > 0) break;
      if (!board_->queued.empty()) board_->runNext(hold);
    }
  }

  // Writes the replies add held back; only while nothing is under way, as then.
  void sendPending() {
    if (pending_.empty()) return;
    board_->writer.writeFramed(pending_);
    pending_.clear();
  }

  // Returns once every request is answered and every reply written.
  void finish() {
    sendPending();
    staff();
    std::unique_lock hold(board_->lock);
    board_->awaitWhile(hold, [this] { return !board_->idleLocked(); });
  }

 private:
  struct Slot {
    enum class State { free, queued, running, done };
    std::string body;  // a queued call's line, trimmed
    std::string framed;
    State state = State::free;  // guarded by Board::lock
  };

  // What the session and its workers share; a worker holds it until it has let go of the lock.
  struct Board {
    Board(MCPServer& session, MCPWriter& writer)
        : session(session), writer(writer), slots(kLinesPerWorker * workersPerSession()) {
      // So that gathering replies to write them never fails half-way.
      views.reserve(slots.size());
    }

    Slot& at(std::size_t sequence) { return slots[sequence % slots.size()]; }
    bool idleLocked() const { return front == next && !writing; }
    bool fullLocked() const { return next - front >= slots.size() || lineBytes >= kQueuedBytes; }

    void addDoneLocked(std::string& framed) {
      Slot& slot = at(next++);
      idle.store(false, std::memory_order_relaxed);
      slot.framed.swap(framed);
      slot.state = Slot::State::done;
    }

    // Waits while `blocked` holds, running queued calls meanwhile; called with the lock held.
    template <typename Predicate>
    void awaitWhile(std::unique_lock<std::mutex>& hold, Predicate blocked) {
      while (blocked()) {
        if (!queued.empty()) {
          runNext(hold);
          continue;
        }
        sessionWaits = true;
        changed.wait(hold);
        sessionWaits = false;
      }
    }

    // Runs the first queued call with the lock let go meanwhile; called with the lock held.
    void runNext(std::unique_lock<std::mutex>& hold) {
      Slot& slot = *queued.front();
      queued.pop_front();
      slot.state = Slot::State::running;
      hold.unlock();
      std::string framed;
      try {
        framed = framedReply(session, slot.body);
      } catch (const std::exception&) {
        // Out of memory outside the handler, which answers its own failures: the request goes
        // unanswered rather than stuck.
      }
      hold.lock();
      slot.framed.swap(framed);
      slot.state = Slot::State::done;
      flush(hold);
      // `framed` now holds the slot's earlier reply, given back by this thread.
    }

    // Writes the replies ready at the front, unless another thread is writing already (it then
    // writes these too, once its write is done): a reply waits for the replies before it, never
    // for a call behind it, nor for company. Called with the lock held; lets it go while it writes.
    // The slots of the replies being written stay taken until they are written, and no one else
    // touches them.
    void flush(std::unique_lock<std::mutex>& hold) {
      if (writing) return;
      writing = true;
      for (;;) {
        std::size_t end = front;
        views.clear();
        for (; end != next && at(end).state == Slot::State::done; ++end) {
          if (!at(end).framed.empty()) views.push_back(at(end).framed);
        }
        if (end == front) break;
        if (!views.empty()) {
          hold.unlock();
          writer.writeFramed(views);
          hold.lock();
        }
        for (; front != end; ++front) release(at(front));
        // Signalled under the lock: once the session sees room, or nothing under way, it may go on
        // or end.
        if (sessionWaits) changed.notify_one();
      }
      writing = false;
      idle.store(front == next, std::memory_order_relaxed);
      if (sessionWaits) changed.notify_one();
    }

    // Frees a written slot. Its room is kept for the next request unless it grew large; the
    // reply's is then given back by the thread that makes the next reply in it.
    void release(Slot& slot) {
      lineBytes -= slot.body.size();
      if (slot.body.capacity() > kKeptLineBytes) {
        std::string().swap(slot.body);
      } else {
        slot.body.clear();
      }
      if (slot.framed.capacity() > kKeptReplyBytes) {
        std::string().swap(slot.framed);
      } else {
        slot.framed.clear();
      }
      slot.state = Slot::State::free;
    }

    MCPServer& session;  // used only while a call is queued or running, which the session awaits
    MCPWriter& writer;   // likewise, while a reply is being written
    std::mutex lock;     // guards the members below and the states of the slots
    std::condition_variable changed;
    // The requests under way and the replies not yet written, in the requests' order: the
    // sequence numbers [front, next), each in slot (sequence % size).
    std::vector<Slot> slots;
    std::size_t front = 0;
    std::size_t next = 0;
    std::size_t lineBytes = 0;          // of the queued lines in slots
    std::deque<Slot*> queued;           // calls no one has started, in the requests' order
    std::size_t workers = 0;            // shifts handed to the pool and not yet over
    bool writing = false;               // a thread is writing replies; only it takes them off
    std::atomic<bool> idle{true};       // idleLocked() as of the last change
    bool sessionWaits = false;          // for room, or for everything to be done
    std::vector<std::string_view> views;  // the replies being written; the writing thread's alone
  };

  // One worker's turn: takes queued calls until none is left. A shift the pool never starts (it
  // had no free worker, or stopped) is over at once.
  class Shift {
   public:
    explicit Shift(std::shared_ptr<Board> board) : board_(std::move(board)) {}
    ~Shift() {
      if (over_) return;
      std::lock_guard hold(board_->lock);
      --board_->workers;
    }
    Shift(const Shift&) = delete;
    Shift& operator=(const Shift&) = delete;

    void work() {
      std::unique_lock hold(board_->lock);
      while (!board_->queued.empty()) board_->runNext(hold);
      // Ended under the same hold that found the queue empty, so a call queued after it gets a
      // worker of its own.
      --board_->workers;
      over_ = true;
    }

   private:
    const std::shared_ptr<Board> board_;
    bool over_ = false;
  };

  // Waits until another request fits, running queued calls meanwhile; called with the lock held.
  void waitForRoom(std::unique_lock<std::mutex>& hold) {
    if (!board_->fullLocked()) return;
    hold.unlock();
    staff();
    hold.lock();
    board_->awaitWhile(hold, [this] { return board_->fullLocked(); });
  }

  // Adds workers for the queued lines, up to workersPerSession taking from the queue. Called once
  // the lines at hand are queued, so that each worker finds work for a while instead of waking
  // for each line.
  void staff() {
    if (!unstaffed_) return;
    unstaffed_ = false;
    std::size_t added = 0;
    {
      std::lock_guard hold(board_->lock);
      const std::size_t wanted = std::min(board_->queued.size(), workersPerSession());
      if (board_->workers < wanted) added = wanted - board_->workers;
      board_->workers += added;
    }
    // Only a worker free at once will do: one that waits behind calls that block (a permission
    // prompt, a slow co-process) would hold this session up with them. The shifts no worker
    // takes are over when dropped here.
    std::vector<Task> shifts;
    shifts.reserve(added);
    for (; added > 0; --added) {
      shifts.emplace_back([shift = std::make_shared<Shift>(board_)] { shift->work(); });
    }
    static_cast<void>(Dispatch::pool().trySubmitEach(shifts));
  }

  // Used by the session only.
  const std::shared_ptr<Board> board_;
  std::string pending_;     // replies made while nothing was under way, not yet sent
  bool unstaffed_ = false;  // lines were queued since the last staff
};

// The services whose access was refused, as the alert that ends the instructions. A service not
// asked for yet is left out: here access is asked for when a tool first needs it.
std::string permissionAlert(const ServerContext& context) {
  if (!context.permissionStatus) return "";
  std::string blocked;
  // The map's order is the keys' ascending byte order, which the alert lists them in.
  for (const auto& [service, status] : context.permissionStatus()) {
    if (status == "denied" || status == "restricted" || status == "writeOnly") {
      if (!blocked.empty()) blocked += ", ";
      blocked += service;
    }
  }
  if (blocked.empty()) return {};
  return std::string(MCPServerTexts::permissionAlertOpening) + blocked +
         std::string(MCPServerTexts::permissionAlertRequest) +
         std::string(PrivacyGate::kGrantPlace) +
         std::string(MCPServerTexts::permissionAlertService) +
         PrivacyGate::withoutTray(MCPServerTexts::permissionAlertEntry) +
         std::string(MCPServerTexts::permissionAlertClosing);
}

std::string lowercasedASCII(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// params.clientInfo.name lower-cased, or empty.
std::string clientName(const std::optional<JSONValue>& params) {
  if (!params) return {};
  const JSONValue* clientInfo = (*params)["clientInfo"];
  if (clientInfo == nullptr || clientInfo->asObject() == nullptr) return {};
  const JSONValue* name = (*clientInfo)["name"];
  if (name == nullptr) return {};
  return lowercasedASCII(name->asString().value_or(""));
}

bool hasSetting(const ServerContext& context, std::string_view key) {
  return context.settings->snapshot()->has(key);
}

// Read at each call: the user may turn cloud access off while an agent is connected.
bool cloudDataEnabled(const ConfigManager::Snapshot& settings) {
  const auto enabled = settings.values.find("cloud_data_enabled");
  return enabled != settings.values.end() && enabled->is_boolean() && enabled->get<bool>();
}

// The member of params as a string, when params is an object holding one.
std::optional<std::string> stringParam(const std::optional<JSONValue>& params,
                                       std::string_view key) {
  if (!params) return std::nullopt;
  const JSONValue* member = (*params)[key];
  return member == nullptr ? std::nullopt : member->asString();
}

std::string promptQuery(const std::optional<JSONValue>& params) {
  if (!params) return {};
  const JSONValue* arguments = (*params)["arguments"];
  if (arguments == nullptr) return {};
  const JSONValue* query = (*arguments)["query"];
  return query == nullptr ? std::string() : query->asString().value_or("");
}

// How long a session looks for the client's next request once every reply is out, learnt from
// the time the client took to send one after the last reply of those before.
class NextRequestLook {
 public:
  using Clock = std::chrono::steady_clock;

  // Looks for input until it comes, or until the session's calls are done and the look has
  // lasted its time; false when it ended without input.
  template <typename Busy>
  bool look(const MCPReader& reader, Busy busy) {
    const Clock::time_point begun = Clock::now();
    replied_ = false;
    while (!reader.inputWaiting()) {
      const Clock::time_point now = Clock::now();
      if (!replied_) {
        if (!busy()) {
          replied_ = true;
          repliedAt_ = now;
        } else if (now - begun > kLongestLookWhileBusy) {
          return false;
        }
      } else if (now - repliedAt_ > look_) {
        return false;
      }
    }
    arrived();
    return true;
  }

  // The next request came (after a look that ended without it, or none).
  void arrived() {
    if (!replied_) return;
    replied_ = false;
    learn(Clock::now() - repliedAt_);
  }

 private:
  void learn(Clock::duration took) {
    const auto twice = std::chrono::duration_cast<std::chrono::microseconds>(took * 2);
    look_ = twice > kLongestLook ? kShortestLook : std::max(twice, kShortestLook);
  }

  std::chrono::microseconds look_ = kShortestLook;
  bool replied_ = false;          // the last look saw every reply out, at repliedAt_
  Clock::time_point repliedAt_;
};

// Counts a session among the awake ones while it is not asleep in a read, and never past its end.
class Awake {
 public:
  explicit Awake(std::atomic<int>& count) : count_(count) {}
  ~Awake() { asleep(); }
  Awake(const Awake&) = delete;
  Awake& operator=(const Awake&) = delete;

  void awoken() {
    if (awake_) return;
    awake_ = true;
    count_.fetch_add(1, std::memory_order_relaxed);
  }
  void asleep() {
    if (!awake_) return;
    awake_ = false;
    count_.fetch_sub(1, std::memory_order_relaxed);
  }

 private:
  std::atomic<int>& count_;
  bool awake_ = false;
};

// Keeps the in-flight count raised exactly while a handler runs, however it ends.
class InFlight {
 public:
  explicit InFlight(InFlightRequestTracker& tracker) : tracker_(tracker) { tracker_.increment(); }
  ~InFlight() { tracker_.decrement(); }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

 private:
  InFlightRequestTracker& tracker_;
};

// A result in which the tool answers its own failure.
bool flaggedAsError(const JSONValue& result) {
  const JSONValue* flag = result["isError"];
  return flag != nullptr && flag->asBool() == true;
}

// The tool result a failed call is answered with, for the failures the client can act on; a
// tool that does not exist (notFound) is answered with a protocol error instead.
JSONValue toolFailureResult(const ToolError& error) {
  switch (error.kind()) {
    case ToolError::Case::missingParam:
    case ToolError::Case::invalidParam:
      return ToolResponse::error(error.description());
    case ToolError::Case::notFound:
    case ToolError::Case::executionFailed:
    case ToolError::Case::permissionDenied:
    case ToolError::Case::resourceNotFound:
      break;
  }
  return ToolResponse::error(error.description() + std::string(MCPServerTexts::reportHint));
}

}  // namespace

MCPServer::MCPServer(std::shared_ptr<ToolRegistry> registry, ServerInfo info)
    : MCPServer(std::make_unique<MCPReader>(), std::make_unique<MCPWriter>(), std::move(registry),
                std::move(info)) {}

MCPServer::MCPServer(std::unique_ptr<MCPReader> reader, std::unique_ptr<MCPWriter> writer,
                     std::shared_ptr<ToolRegistry> registry, ServerInfo info)
    : reader_(std::move(reader)),
      writer_(std::move(writer)),
      registry_(std::move(registry)),
      info_(std::move(info)),
      privacyMode_(registry_->context().settings->privacyMode()) {}

MCPServer::~MCPServer() = default;

void MCPServer::run() {
  // Replies to requests that had already arrived go out together, once no further request is
  // waiting: one send for a burst of requests instead of one each. Tool calls are parsed and
  // answered side by side, and each reply leaves as soon as those before it have; a request that
  // arrives alone is answered on this thread.
  RepliesInOrder replies(*this, *writer_);
  NextRequestLook nextRequest;
  bool answered = false;
  std::atomic<int>& awakeSessions = registry_->context().awakeSessions;
  Awake awake(awakeSessions);
  while (true) {
    awake.awoken();
    if (!reader_->hasBufferedLine()) {
      replies.whileIdle(*reader_);
      if (answered && awakeSessions.load(std::memory_order_relaxed) == 1) {
        static_cast<void>(nextRequest.look(*reader_, [&replies] { return replies.seemsBusy(); }));
      }
      answered = false;
      awake.asleep();
    }
    std::string_view line;
    try {
      line = reader_->nextLine();
      nextRequest.arrived();
    } catch (TransportError error) {
      if (error == TransportError::eof) break;
      // An over-long line, or one that is not UTF-8, is a malformed message like any other; the
      // next line is read as usual.
      replies.add(MCPCodec::encode(
          JSONRPCResponse::error(std::nullopt, JSONRPCError::parseError, "Parse error")));
      continue;
    }
    answered = true;
    const std::string_view body = Utf8::trim(line, Utf8::isWhiteSpace);
    if (body.empty()) continue;
    if (looksLikeToolCall(body)) {
      if (reader_->hasBufferedLine() || replies.busy()) {
        replies.handOff(body);
        continue;
      }
      // A call may take long: the replies held back for company do not wait for it.
      replies.sendPending();
    }
    replies.add(framedReply(*this, body));
  }
  replies.finish();
}

std::optional<std::string> MCPServer::handle(const JSONRPCRequest& request, CallSource source) {
  try {
    return dispatch(request, source);
  } catch (const std::exception& failure) {
    // A tool that throws is a fault of that tool; the session and its other requests go on.
    if (!request.id) return std::nullopt;
    return JSONRPCResponse::error(request.id, JSONRPCError::internalError, failure.what());
  } catch (...) {
    if (!request.id) return std::nullopt;
    return JSONRPCResponse::error(request.id, JSONRPCError::internalError, "Internal error");
  }
}

std::optional<std::string> MCPServer::dispatch(const JSONRPCRequest& request, CallSource source) {
  // Requests without an id are notifications: nothing is done for them and nothing is answered.
  if (!request.id) return std::nullopt;
  const JSONRPCID& id = *request.id;
  const std::string& method = request.method;
  if (method == "initialize") return handleInitialize(id, request.params);
  if (method == "tools/list") return handleToolsList(id);
  if (method == "tools/call") return handleToolsCall(id, request.params, source);
  if (method == "prompts/list") return JSONRPCResponse::result(id, MCPPrompts::listPayload());
  if (method == "prompts/get") return handlePromptsGet(id, request.params);
  if (method == "ping") return JSONRPCResponse::result(id, JSONValue::Object{});
  if (method == "initialized" || method == "notifications/cancelled") return std::nullopt;
  return JSONRPCResponse::error(id, JSONRPCError::methodNotFound, "Method not found: " + method);
}

std::string MCPServer::buildInstructions(std::string_view firstRunHint, std::string_view cursorHint,
                                         std::string_view claudeCodeHint,
                                         std::string_view tccHint) {
  std::string text(MCPServerTexts::baseInstructions);
  text.append(firstRunHint).append(cursorHint).append(claudeCodeHint).append(tccHint);
  return text;
}

std::string MCPServer::handleInitialize(const JSONRPCID& id,
                                        const std::optional<JSONValue>& params) {
  const std::string alert = permissionAlert(registry_->context());
  const std::string client = clientName(params);
  const bool isCursor = client.find("cursor") != std::string::npos;
  const bool isClaudeCode =
      client.find("claude") != std::string::npos && client.find("desktop") == std::string::npos;
  const bool firstUse = !hasSetting(registry_->context(), "first_tool_call_at");

  std::string_view firstRunHint, cursorHint, claudeCodeHint;
  if (firstUse) {
    firstRunHint = isCursor       ? MCPServerTexts::cursorFirstRunHint
                   : isClaudeCode ? MCPServerTexts::claudeCodeFirstRunHint
                                  : MCPServerTexts::generalFirstRunHint;
  } else {
    if (isCursor) cursorHint = MCPServerTexts::cursorContextHint;
    if (isClaudeCode) claudeCodeHint = MCPServerTexts::claudeCodeContextHint;
  }

  JSONValue::Object capabilities{{"tools", JSONValue::Object{}}, {"prompts", JSONValue::Object{}}};
  JSONValue::Object serverInfo{{"name", info_.name}, {"version", info_.version}};
  JSONValue::Object result{
      {"protocolVersion", MCPServerTexts::protocolVersion},
      {"capabilities", std::move(capabilities)},
      {"serverInfo", std::move(serverInfo)},
      {"instructions", buildInstructions(firstRunHint, cursorHint, claudeCodeHint, alert)},
  };
  return JSONRPCResponse::result(id, std::move(result));
}

std::string MCPServer::handleToolsList(const JSONRPCID& id) {
  trackToolsListed();
  return JSONRPCResponse::encodedResult(id, registry_->listText());
}

void MCPServer::trackToolsListed() {
  const ServerContext& context = registry_->context();
  if (hasSetting(context, "tools_listed_at")) return;
  // Saved before sending, so the event goes out at most once even when the POST fails; while the
  // settings cannot be saved it does not go out at all.
  if (!context.settings->save({{"tools_listed_at", Timestamp::iso8601UTC()}})) return;
  const nlohmann::json event = {
      {"type", "mcp_tools_listed"},
      {"machine_id", context.settings->getMachineId()},
      {"source", "mcp_server"},
      {"data", {{"version", info_.version}}},
  };
  std::string body;
  try {
    body = event.dump();
  } catch (const nlohmann::json::exception&) {
    return;  // text that is not valid UTF-8
  }
  HttpRequest request;
  request.method = "POST";
  request.url = Endpoints::backend() + "/events";
  request.headers = {{"Content-Type", "application/json"}};
  request.body = std::move(body);
  request.timeout = kEventTimeout;
  // Fire and forget: the answer is never awaited, so the reply to the listing is not held up.
  context.poster->post(std::move(request));
}

std::string MCPServer::handleToolsCall(const JSONRPCID& id, const std::optional<JSONValue>& params,
                                       CallSource source) {
  const std::optional<std::string> name = stringParam(params, "name");
  if (!name || name->empty()) {
    return JSONRPCResponse::error(id, JSONRPCError::invalidParams, "tools/call requires 'name'");
  }
  std::optional<JSONValue> arguments;
  if (const JSONValue* member = (*params)["arguments"]) arguments = *member;

  ServerContext& context = registry_->context();
  const ToolRegistry::Found tool = registry_->lookUp(*name);
  if (tool.countsCall()) {
    ToolCallCounter::increment(context, *name,
                               context.aiClient ? context.aiClient() : std::string());
  }
  context.activity.record(source, *name);

  const auto started = std::chrono::steady_clock::now();
  // The settings the call runs with; its answer says so while they cannot be read.
  std::shared_ptr<const ConfigManager::Snapshot> settings;
  ToolResult outcome = [&]() -> ToolResult {
    // The settings, permissions and store look at their watched files once for the whole call.
    Readiness::Glance glance;
    settings = context.settings->snapshot();
    if (source == CallSource::cloud) {
      noteSettingsForRelay(settings->unreadable);
      // While a settings file cannot be read, what it says of the switch now is unknown: the
      // call is refused rather than go on with what the file said before.
      if (settings->unreadable) {
        return fail(
            ToolError::permissionDenied(MCPServerTexts::settingsUnreadable(*settings->unreadable)));
      }
      if (!cloudDataEnabled(*settings)) {
        return fail(
            ToolError::permissionDenied(MCPServerTexts::cloudDataOff(Endpoints::statusPort())));
      }
    }
    InFlight running(context.inFlight);
    return registry_->dispatch(tool, arguments);
  }();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  AuditLog::record(*name, source, outcome.ok() && !flaggedAsError(outcome.value()),
                   elapsed.count());
  // A change is on record in the file before its answer leaves; reads may wait in the queue.
  if (tool.changes()) AuditLog::flush();

  JSONValue result;
  if (outcome.ok()) {
    result = std::move(outcome).value();
    // While a settings file cannot be read, privacy mode may well be on, and what the file names
    // (folders to read, accounts) may be missing from the answer: it goes out tokenised.
    if (privacyMode_ || settings->unreadable) {
      result = PIISanitizer::sanitize(result, piiSession_);
    }
  } else {
    const ToolError& error = outcome.error();
    const std::string_view errorType = ToolErrorCounter::errorType(error);
    if (errorType != ToolErrorCounter::badRequest) {
      ToolErrorCounter::record(context, *name, errorType);
    }
    if (error.kind() == ToolError::Case::notFound) {
      return JSONRPCResponse::error(id, JSONRPCError::methodNotFound, error.description());
    }
    result = toolFailureResult(error);
  }
  // A failure may well come of the settings too (a folder they name, a refused change): every
  // answer says that they cannot be read.
  if (settings->unreadable) {
    result = ToolResponse::withNote(std::move(result),
                                    MCPServerTexts::answeredWhileUnreadable(*settings->unreadable));
  }
  return JSONRPCResponse::result(id, result, ToolResponse::textBytes(result));
}

void MCPServer::noteSettingsForRelay(const std::optional<std::string>& unreadable) {
  const std::string now = unreadable.value_or("");
  {
    std::lock_guard hold(relayNoteMutex_);
    if (now == relayNote_) return;
    relayNote_ = now;
  }
  if (!now.empty()) {
    Logger::warn("tunnel", "Relayed tool calls are refused while " + now +
                               ": they run again once it reads");
  } else {
    Logger::info("tunnel",
                 "The settings read again: relayed tool calls follow "
                 "cloud_data_enabled once more");
  }
}

std::string MCPServer::handlePromptsGet(const JSONRPCID& id,
                                        const std::optional<JSONValue>& params) {
  const std::optional<std::string> name = stringParam(params, "name");
  if (!name) {
    return JSONRPCResponse::error(id, JSONRPCError::invalidParams, "prompts/get requires 'name'");
  }
  const std::optional<std::string> text = MCPPrompts::text(*name, promptQuery(params));
  if (!text) {
    return JSONRPCResponse::error(id, JSONRPCError::methodNotFound, "Prompt not found: " + *name);
  }
  return JSONRPCResponse::result(id, MCPPrompts::getPayload(*text));
}

std::string MCPServer::handleTunnelRequest(std::string_view bytes) {
  auto request = RequestParser::parse(bytes);
  if (!request) {
    return JSONRPCResponse::error(std::nullopt, JSONRPCError::parseError, "Parse error");
  }
  std::optional<std::string> reply = handle(request.value(), CallSource::cloud);
  return reply ? std::move(*reply) : std::string(MCPServerTexts::relayNoReply);
}

}  // namespace tvrn
