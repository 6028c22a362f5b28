// Moves MCP messages over a byte stream, one JSON-RPC message per line: the reader takes lines
// off a descriptor, the writer puts framed messages on one, whole, from any number of threads.
#pragma once

#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvrn {

// How reading a message can fail. The line reader throws it; elsewhere it travels as a value.
enum class TransportError {
  eof,             // the input ended
  readFailed,      // declared for callers' switches; a failing read ends the input instead
  encodingFailed,  // a line over the size limit, or a message that is not a request
};

// Words that name the failure, for error replies.
std::string description(TransportError error);

// One incoming message: its UTF-8 bytes without the line end and surrounding white space.
struct RawMessage {
  std::string body;
};

class MCPReader {
 public:
  // A line longer than this is read to its end and dropped, so an endless line cannot exhaust
  // memory.
  static constexpr std::size_t maxLineBytes = 16 * 1024 * 1024;

  // Reads from fd; closes it on destruction only when ownsDescriptor.
  explicit MCPReader(int fd = 0 /* standard input */, bool ownsDescriptor = false);
  ~MCPReader();
  MCPReader(const MCPReader&) = delete;
  MCPReader& operator=(const MCPReader&) = delete;

  // The next line without its line feed and one trailing carriage return. Throws eof at the end
  // of input (a last line without a line feed is lost) and encodingFailed for a line over
  // maxLineBytes or one that is not valid UTF-8.
  std::string readLine();

  // The same line as a view into the reader's buffer, valid until the next read: a line answered
  // at once needs no copy of its own.
  std::string_view nextLine();

  // The next line that is not blank once white space is trimmed from both ends.
  RawMessage readMessage();

  // Whether a whole line has already been received, so that the next readLine cannot block.
  bool hasBufferedLine() const;

  // Whether the descriptor has bytes (or its end) to read now; never waits.
  bool inputWaiting() const;

 private:
  // Appends what the descriptor has (one read of up to a block) to the buffer; false at the end
  // of input.
  bool fill();

  int fd_;
  bool ownsDescriptor_;
  // Bytes received and not yet handed out are data_[begin_, end_). One read often brings several
  // lines; they are served from here without another system call.
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

class MCPWriter {
 public:
  // How long a send to a socket may make no progress before the peer counts as gone: a client
  // that never reads its replies must not hold its session for ever.
  static constexpr std::chrono::milliseconds defaultSendTimeout{30'000};

  // Writes to fd; closes it on destruction only when ownsDescriptor.
  explicit MCPWriter(int fd = 1 /* standard output */, bool ownsDescriptor = false,
                     std::chrono::milliseconds sendTimeout = defaultSendTimeout);
  ~MCPWriter();
  MCPWriter(const MCPWriter&) = delete;
  MCPWriter& operator=(const MCPWriter&) = delete;

  // Frames the message and writes it whole under the writer's lock, so the lines of concurrent
  // writers never interleave. The outcome is not reported: a gone peer is the reader's news.
  void write(std::string_view message);

  // Writes lines already framed by MCPCodec::encode, all in one go where the descriptor takes it.
  // When a socket takes nothing for the send time-out, the connection is shut down (one
  // warning), which ends the session's reading too.
  void writeFramed(std::string_view lines);

  // Writes the framed messages one after another as one stream, gathered into as few system
  // calls as the descriptor allows, with the same failure handling.
  void writeFramed(const std::vector<std::string_view>& messages);

 private:
  // Writes pieces_ whole; called with lock_ held.
  void writePiecesLocked();

  int fd_;
  bool ownsDescriptor_;
  bool isSocket_;
  bool failed_ = false;  // a send timed out; guarded by lock_
  std::mutex lock_;      // guards writes to fd_
  std::vector<iovec> pieces_;  // what one write hands the descriptor; guarded by lock_
};

namespace MCPCodec {

// The message followed by a line feed; empty when the message is not valid UTF-8.
std::string encode(std::string_view message);

// Frames the message where it is, without a copy: appends the line feed, or empties it when it is
// not valid UTF-8 (as encode answers nothing then).
void frame(std::string& message);

// The number after a "Content-Length:" prefix (any letter case), or nothing.
std::optional<std::int64_t> parseContentLength(std::string_view line);

}  // namespace MCPCodec

}  // namespace tvrn
