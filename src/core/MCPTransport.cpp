#include "core/MCPTransport.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/Utf8.h"

namespace tvrn {
namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';
// How much a socket read looks ahead for the line feed; bytes past it stay on the socket.
constexpr std::size_t kPeekBytes = 64 * 1024;

bool isSocket(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
}

// Unicode's space separators and the tab.
bool isBlank(char32_t c) {
  return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

// A decimal integer with an optional sign and nothing else.
std::optional<std::int64_t> parseInteger(std::string_view text) {
  std::size_t digitsAt = 0;
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  } else if (!text.empty() && text.front() == '-') {
    digitsAt = 1;
  }
  if (text.size() <= digitsAt || text[digitsAt] < '0' || text[digitsAt] > '9') return std::nullopt;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::string description(TransportError error) {
  switch (error) {
    case TransportError::eof:
      return "The input ended";
    case TransportError::readFailed:
      return "Reading the input failed";
    case TransportError::encodingFailed:
      return "The message could not be encoded";
  }
  return "Transport failure";
}

MCPReader::MCPReader(int fd, bool ownsDescriptor)
    : fd_(fd), ownsDescriptor_(ownsDescriptor), isSocket_(isSocket(fd)) {}

MCPReader::~MCPReader() {
  if (ownsDescriptor_) ::close(fd_);
}

std::size_t MCPReader::nextPiece(char* into, std::size_t capacity) {
  // A failing read is taken as the end of input: the peer is gone or the descriptor is unusable,
  // and reporting anything else would have the session retry it for ever.
  const auto retrying = [](auto read) {
    ssize_t count = 0;
    do {
      count = read();
    } while (count < 0 && errno == EINTR);
    return count < 0 ? std::size_t{0} : static_cast<std::size_t>(count);
  };
  if (!isSocket_) {
    // Without a way to look ahead, one byte at a time is the only way to stop at the line feed.
    return retrying([&] { return ::read(fd_, into, 1); });
  }
  const std::size_t available = retrying([&] { return ::recv(fd_, into, capacity, MSG_PEEK); });
  if (available == 0) return 0;
  const char* lineFeed = static_cast<const char*>(std::memchr(into, kLineFeed, available));
  const std::size_t wanted =
      lineFeed == nullptr ? available : static_cast<std::size_t>(lineFeed - into) + 1;
  return retrying([&] { return ::recv(fd_, into, wanted, MSG_WAITALL); });
}

std::string MCPReader::readLine() {
  if (scratch_.empty()) scratch_.resize(isSocket_ ? kPeekBytes : 1);
  std::string line;
  bool overLimit = false;
  bool complete = false;
  while (!complete) {
    std::size_t count = nextPiece(scratch_.data(), scratch_.size());
    if (count == 0) throw TransportError::eof;
    if (scratch_[count - 1] == kLineFeed) {
      complete = true;
      --count;
    }
    // One byte past the limit is kept, in case it is the carriage return of the line end.
    if (!overLimit && line.size() + count > maxLineBytes + 1) {
      overLimit = true;
      std::string().swap(line);
    }
    if (!overLimit) line.append(scratch_.data(), count);
  }
  if (!line.empty() && line.back() == kCarriageReturn) line.pop_back();
  if (overLimit || line.size() > maxLineBytes) throw TransportError::encodingFailed;
  if (!Utf8::isValid(line)) return {};
  return line;
}

RawMessage MCPReader::readMessage() {
  while (true) {
    const std::string line = readLine();
    const std::string_view trimmed = Utf8::trim(line, Utf8::isWhiteSpace);
    if (!trimmed.empty()) return RawMessage{std::string(trimmed)};
  }
}

MCPWriter::MCPWriter(int fd, bool ownsDescriptor)
    : fd_(fd), ownsDescriptor_(ownsDescriptor), isSocket_(isSocket(fd)) {}

MCPWriter::~MCPWriter() {
  if (ownsDescriptor_) ::close(fd_);
}

void MCPWriter::write(std::string_view message) {
  const std::string framed = MCPCodec::encode(message);
  std::lock_guard<std::mutex> hold(lock_);
  // A large message may go out in several pieces; all of them are written under one hold.
  std::size_t written = 0;
  while (written < framed.size()) {
    const char* from = framed.data() + written;
    const std::size_t left = framed.size() - written;
    const ssize_t count =
        isSocket_ ? ::send(fd_, from, left, MSG_NOSIGNAL) : ::write(fd_, from, left);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    written += static_cast<std::size_t>(count);
  }
}

namespace MCPCodec {

std::string encode(std::string_view message) {
  if (!Utf8::isValid(message)) return {};
  std::string framed;
  framed.reserve(message.size() + 1);
  framed.append(message);
  framed.push_back(kLineFeed);
  return framed;
}

std::optional<std::int64_t> parseContentLength(std::string_view line) {
  constexpr std::string_view prefix = "content-length:";
  if (line.size() < prefix.size()) return std::nullopt;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const char c = line[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != prefix[i]) return std::nullopt;
  }
  const std::string_view rest = line.substr(prefix.size());
  if (!Utf8::isValid(rest)) return std::nullopt;
  return parseInteger(Utf8::trim(rest, isBlank));
}

}  // namespace MCPCodec

}  // namespace tvrn
