#include "base/TextLines.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tvrn::TextLines {

std::size_t bomLength(std::string_view text) { return text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0; }

namespace {

// Where the first CR or LF from `from` on is, else the text's end. Every reader of a file comes
// here for each line: eight octets are looked at a time while none is below 14, as a CR and an LF
// are (of the rest only controls, a tab among them, which are then looked at one by one).
std::size_t lineEnd(std::string_view text, std::size_t from) {
  constexpr std::uint64_t kOnes = 0x0101010101010101, kHighs = kOnes * 0x80;
  std::size_t at = from;
  while (true) {
    for (std::uint64_t eight = 0; at + 8 <= text.size(); at += 8) {
      std::memcpy(&eight, text.data() + at, 8);
      if (((eight - kOnes * 14) & ~eight & kHighs) != 0) break;
    }
    for (const std::size_t stop = std::min(at + 8, text.size()); at < stop; ++at) {
      if (text[at] == '\r' || text[at] == '\n') return at;
    }
    if (at >= text.size()) return text.size();
  }
}

}  // namespace

Line lineAt(std::string_view text, std::size_t from) {
  Line line{from, 0, 0};
  const std::size_t end = lineEnd(text, from);
  if (end == text.size()) {
    line.length = text.size() - from;
    return line;
  }
  line.length = end - from;
  // CRs before an LF end the line with it, as a CRLF file converted once more has them.
  const std::size_t crs = text.find_first_not_of('\r', end);
  line.endLength = crs != std::string_view::npos && text[crs] == '\n' ? crs - end + 1 : 1;
  return line;
}

std::size_t contentEnd(std::string_view text, std::size_t from) {
  std::size_t at = lineAt(text, from).next();
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) at = lineAt(text, at).next();
  return at;
}

void foldInto(std::string& out, std::string_view line, std::string_view newline) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    const bool starts = (c & 0xC0) != 0x80;
    if (starts && width >= 74) {
      out += newline;
      out += ' ';
      width = 1;
    }
    out += line[i];
    ++width;
  }
  out += newline;
}

std::string unfolded(std::string_view text, std::size_t from, std::size_t to) {
  std::string out;
  out.reserve(to - from);
  for (std::size_t at = from; at < to;) {
    const Line line = lineAt(text, at);
    const std::size_t end = std::min(line.from + line.length, to);
    const bool fold = at > from && at < end && (text[at] == ' ' || text[at] == '\t');
    const std::size_t start = fold ? at + 1 : at;  // without the blank the fold begins with
    out.append(text.substr(start, end - start));
    at = line.next();
  }
  return out;
}

std::string normalized(std::string_view text, std::string_view end) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (std::size_t at = bomLength(text); at < text.size();) {
    const Line line = lineAt(text, at);
    out.append(text.substr(line.from, line.length));
    out.append(end);
    at = line.next();
  }
  return out;
}

std::string_view firstEnd(std::string_view text, std::string_view fallback) {
  for (std::size_t at = 0; at < text.size();) {
    const Line line = lineAt(text, at);
    if (line.endLength != 0) return text.substr(line.from + line.length, line.endLength);
    at = line.next();
  }
  return fallback;
}

std::size_t numberAt(std::string_view text, std::size_t offset) {
  std::size_t number = 1;
  for (std::size_t at = lineAt(text, 0).next(); at <= offset && at < text.size();
       at = lineAt(text, at).next()) {
    ++number;
  }
  return number;
}

}  // namespace tvrn::TextLines
