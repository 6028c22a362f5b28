// The lines of a calendar or contact file, read one way for every reader: a line ends at CRLF
// (also after more CRs), LF or a bare CR, mixed as other programs mix them, and the last one
// perhaps at nothing; a UTF-8 byte order mark before the first line belongs to no line. A content
// line goes on over the lines folded onto it, each of which begins with a blank or a tab.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tvrn::TextLines {

// The length of a UTF-8 byte order mark at the start of the text: 3, or 0 without one.
std::size_t bomLength(std::string_view text);

// One line: its text, then its own end (2 for CRLF, more for CRs before an LF, 1 for LF or a
// bare CR, 0 for a last line without one).
struct Line {
  std::size_t from = 0;
  std::size_t length = 0;
  std::size_t endLength = 0;
  std::size_t next() const { return from + length + endLength; }
};
// The line that starts at `from`.
Line lineAt(std::string_view text, std::size_t from);

// Where the content line that starts at `from` ends: after its own end and those of the lines
// folded onto it.
std::size_t contentEnd(std::string_view text, std::size_t from);
// The content line in [from, to) as one line: its ends, and the blank that begins each fold,
// taken out.
std::string unfolded(std::string_view text, std::size_t from, std::size_t to);

// Appends the content line `line` (unfolded) folded as written: cut at 75 octets, never inside a
// UTF-8 sequence, each part ended by `newline`.
void foldInto(std::string& out, std::string_view line, std::string_view newline);

// The text without its byte order mark and with every line ended by `end`, the last one too:
// the one form the readers are handed.
std::string normalized(std::string_view text, std::string_view end = "\r\n");

// The end of the first line that has one ("\r\n", "\n" or "\r"); `fallback` when none has.
std::string_view firstEnd(std::string_view text, std::string_view fallback = "\r\n");

// The number, counted from 1 as an editor counts, of the line that holds `offset`.
std::size_t numberAt(std::string_view text, std::size_t offset);

}  // namespace tvrn::TextLines
