#include "core/Logger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

#include "platform/FileStore.h"

namespace tvrn::Logger {
namespace {

constexpr size_t kKeptLines = 2000;

struct State {
  std::mutex lock;  // guards logURL and every write to the file
  std::optional<std::filesystem::path> logURL;
};

State& state() {
  static State instance;
  return instance;
}

std::string isoNow() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// Length of the well-formed UTF-8 sequence at the start of bytes, or of its longest valid
// prefix negated (at least -1) when it is ill-formed.
int sequenceLength(std::string_view bytes) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  int length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  for (int i = 1; i < length; ++i) {
    if (static_cast<size_t>(i) >= bytes.size()) return -i;
    const unsigned char next = byte(i);
    const bool second = i == 1;
    if (next < (second ? low : 0x80) || next > (second ? high : 0xBF)) return -i;
  }
  return length;
}

// The log is read back as UTF-8 text (the status server's log route), so a message carrying
// stray bytes from a child process has them replaced by U+FFFD rather than spoiling the file.
std::string validUTF8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    const int length = sequenceLength(bytes);
    if (length > 0) {
      text.append(bytes.substr(0, length));
      bytes.remove_prefix(length);
    } else {
      text.append("\xEF\xBF\xBD");
      bytes.remove_prefix(-length);
    }
  }
  return text;
}

void appendTo(const std::filesystem::path& file, const std::string& line) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return;
  size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(fd, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::close(fd);
}

// Keeps the last `count` pieces between line feeds; a final line feed ends an empty piece, so
// a file ending in one keeps count - 1 lines.
void trim(const std::filesystem::path& file, size_t count) {
  std::optional<std::string> text = FileStore::read(file);
  if (!text) return;
  size_t start = text->size();
  size_t pieces = 1;
  while (start > 0) {
    const size_t feed = text->rfind('\n', start - 1);
    if (feed == std::string::npos) return;
    if (++pieces > count) {
      FileStore::writeAtomic(file, text->substr(feed + 1), 0600);
      return;
    }
    start = feed;
  }
}

void emit(std::string_view category, std::string_view level, std::string_view message) {
  std::string line = isoNow();
  line += " [";
  line += category;
  line += "] ";
  line += level;
  line += message;
  line += '\n';
  line = validUTF8(line);
  std::fwrite(line.data(), 1, line.size(), stderr);

  State& s = state();
  std::lock_guard hold(s.lock);
  if (s.logURL) appendTo(*s.logURL, line);
}

}  // namespace

void configure(const std::filesystem::path& url) {
  State& s = state();
  std::lock_guard hold(s.lock);
  s.logURL = url;
  if (url.has_parent_path()) FileStore::ensureDirectory(url.parent_path());
  const int fd = ::open(url.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  trim(url, kKeptLines);
}

void info(std::string_view category, std::string_view message) {
  emit(category, "INFO  ", message);
}

void warn(std::string_view category, std::string_view message) {
  emit(category, "WARN  ", message);
}

void error(std::string_view category, std::string_view message) {
  emit(category, "ERROR ", message);
}

void log(std::string_view category, std::string_view text) { emit(category, "", text); }

}  // namespace tvrn::Logger
