#include "core/MCPTransport.h"

#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "base/Utf8.h"
#include "core/Logger.h"

namespace tvrn {
namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';
// How much one read takes off the descriptor.
constexpr std::size_t kReadBlock = 64 * 1024;

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

MCPReader::MCPReader(int fd, bool ownsDescriptor) : fd_(fd), ownsDescriptor_(ownsDescriptor) {}

MCPReader::~MCPReader() {
  if (ownsDescriptor_) ::close(fd_);
}

bool MCPReader::fill() {
  // Handed-out lines are dropped before the buffer grows, so it holds at most one line and a block.
  if (begin_ == end_ && capacity_ > 4 * kReadBlock) {
    data_.reset();  // an earlier long line no longer needs its room
    capacity_ = begin_ = end_ = 0;
  }
  if (begin_ > 0) {
    std::memmove(data_.get(), data_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (capacity_ - end_ < kReadBlock) {
    const std::size_t capacity = std::max(capacity_ * 2, end_ + kReadBlock);
    std::unique_ptr<char[]> larger(new char[capacity]);
    if (end_ > 0) std::memcpy(larger.get(), data_.get(), end_);
    data_ = std::move(larger);
    capacity_ = capacity;
  }
  ssize_t count = 0;
  do {
    count = ::read(fd_, data_.get() + end_, capacity_ - end_);
  } while (count < 0 && errno == EINTR);
  // A failing read is taken as the end of input: the peer is gone or the descriptor is unusable,
  // and reporting anything else would have the session retry it for ever.
  if (count <= 0) return false;
  end_ += static_cast<std::size_t>(count);
  return true;
}

bool MCPReader::hasBufferedLine() const {
  return begin_ < end_ && std::memchr(data_.get() + begin_, kLineFeed, end_ - begin_) != nullptr;
}

bool MCPReader::inputWaiting() const {
  pollfd watched{fd_, POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&watched, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

std::string MCPReader::readLine() { return std::string(nextLine()); }

std::string_view MCPReader::nextLine() {
  // How far past begin_ the bytes were searched for the line feed already.
  std::size_t searched = 0;
  bool overLimit = false;
  for (;;) {
    const char* from = data_.get() + begin_;
    const void* feed = end_ > begin_ + searched
                           ? std::memchr(from + searched, kLineFeed, end_ - begin_ - searched)
                           : nullptr;
    if (feed != nullptr) {
      std::size_t length = static_cast<std::size_t>(static_cast<const char*>(feed) - from);
      begin_ += length + 1;
      if (overLimit) throw TransportError::encodingFailed;
      if (length > 0 && from[length - 1] == kCarriageReturn) --length;
      if (length > maxLineBytes) throw TransportError::encodingFailed;
      const std::string_view line(from, length);
      if (!Utf8::isValid(line)) throw TransportError::encodingFailed;
      return line;
    }
    // One byte past the limit is kept, in case it is the carriage return of the line end; past
    // that the line is dropped as it comes in, up to its line feed.
    if (end_ - begin_ > maxLineBytes + 1) {
      overLimit = true;
      end_ = begin_;
    }
    searched = end_ - begin_;
    if (!fill()) throw TransportError::eof;
  }
}

RawMessage MCPReader::readMessage() {
  while (true) {
    const std::string line = readLine();
    const std::string_view trimmed = Utf8::trim(line, Utf8::isWhiteSpace);
    if (!trimmed.empty()) return RawMessage{std::string(trimmed)};
  }
}

MCPWriter::MCPWriter(int fd, bool ownsDescriptor, std::chrono::milliseconds sendTimeout)
    : fd_(fd), ownsDescriptor_(ownsDescriptor), isSocket_(isSocket(fd)) {
  if (isSocket_) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(sendTimeout.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>((sendTimeout.count() % 1000) * 1000);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
}

MCPWriter::~MCPWriter() {
  if (ownsDescriptor_) ::close(fd_);
}

void MCPWriter::write(std::string_view message) { writeFramed(MCPCodec::encode(message)); }

void MCPWriter::writeFramed(std::string_view lines) {
  if (lines.empty()) return;
  std::lock_guard<std::mutex> hold(lock_);
  pieces_.assign(1, iovec{const_cast<char*>(lines.data()), lines.size()});
  writePiecesLocked();
}

void MCPWriter::writeFramed(const std::vector<std::string_view>& messages) {
  std::lock_guard<std::mutex> hold(lock_);
  pieces_.clear();
  for (const std::string_view message : messages) {
    if (!message.empty())
      pieces_.push_back(iovec{const_cast<char*>(message.data()), message.size()});
  }
  writePiecesLocked();
}

void MCPWriter::writePiecesLocked() {
  if (failed_) return;
  // A large message may go out in several pieces; all of them are written under one hold.
  iovec* next = pieces_.data();
  std::size_t left = pieces_.size();
  while (left > 0) {
    const std::size_t count = std::min<std::size_t>(left, IOV_MAX);
    ssize_t written = 0;
    if (isSocket_) {
      msghdr message{};
      message.msg_iov = next;
      message.msg_iovlen = count;
      written = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
    } else {
      written = ::writev(fd_, next, static_cast<int>(count));
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && isSocket_ && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      failed_ = true;
      Logger::warn("ipc", "Client stopped reading its replies; closing the session");
      ::shutdown(fd_, SHUT_RDWR);
      return;
    }
    if (written <= 0) return;
    // Past the pieces written whole, into the one written in part.
    auto done = static_cast<std::size_t>(written);
    while (left > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --left;
    }
    if (done > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
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

void frame(std::string& message) {
  if (!Utf8::isValid(message)) {
    message.clear();
    return;
  }
  message.push_back(kLineFeed);
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
