// Moves MCP messages over a byte stream, one JSON-RPC message per line: the reader takes lines
// off a descriptor, the writer puts framed messages on one, whole, from any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
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

  // The next line without its line feed and one trailing carriage return; the empty string when
  // it is not valid UTF-8. Throws eof at the end of input (a last line without a line feed is
  // lost) and encodingFailed for a line over maxLineBytes.
  std::string readLine();

  // The next line that is not blank once white space is trimmed from both ends.
  RawMessage readMessage();

 private:
  // Takes the next bytes of the current line off the descriptor, up to and including its line
  // feed and never past it. Zero at the end of input.
  std::size_t nextPiece(char* into, std::size_t capacity);

  int fd_;
  bool ownsDescriptor_;
  bool isSocket_;
  std::vector<char> scratch_;  // holds no bytes between calls
};

class MCPWriter {
 public:
  // Writes to fd; closes it on destruction only when ownsDescriptor.
  explicit MCPWriter(int fd = 1 /* standard output */, bool ownsDescriptor = false);
  ~MCPWriter();
  MCPWriter(const MCPWriter&) = delete;
  MCPWriter& operator=(const MCPWriter&) = delete;

  // Frames the message and writes it whole under the writer's lock, so the lines of concurrent
  // writers never interleave. The outcome is not reported: a gone peer is the reader's news.
  void write(std::string_view message);

 private:
  int fd_;
  bool ownsDescriptor_;
  bool isSocket_;
  std::mutex lock_;  // guards writes to fd_
};

namespace MCPCodec {

// The message followed by a line feed; empty when the message is not valid UTF-8.
std::string encode(std::string_view message);

// The number after a "Content-Length:" prefix (any letter case), or nothing.
std::optional<std::int64_t> parseContentLength(std::string_view line);

}  // namespace MCPCodec

}  // namespace tvrn
