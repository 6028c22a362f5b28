// An iCalendar file's own text kept beside the libical tree read from it, so that the tree is
// written back into that text: a change rewrites only the properties and components it touched,
// and every other line (one libical cannot read, or reads only in part) stays as the file had it.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct icalcomponent_impl;
struct icalproperty_impl;

namespace tvrn {

// The BEGIN/END blocks of the text, nested as they are written, its lines read as TextLines reads
// them (CRLF, LF or a bare CR, the last one perhaps without an end).
struct ICalBlocks {
  struct Block {
    std::string name;  // "VEVENT", upper case
    // The offsets of its BEGIN line, of the line after it, of its END line and after that.
    size_t begin = 0, body = 0, close = 0, end = 0;
    std::vector<size_t> children;  // indexes of the blocks nested in it, in text order
    bool read = false;  // libical made a component of it: otherwise it is always written as it is
  };
  std::string text;
  std::vector<Block> blocks;  // the outermost first
  std::string newline;        // "\r\n", "\n" or "\r", as the file's first line ends

  // Nothing when BEGIN and END lines do not nest into one outermost block; `why` then says
  // where they do not, by line number.
  static std::optional<ICalBlocks> split(std::string text, std::string* why = nullptr);
  // The content lines of a block outside its nested blocks, as [from, to) ranges of the text
  // that hold their folds and line break.
  std::vector<std::pair<size_t, size_t>> ownLines(size_t block) const;
  // A content line as libical reads it: folds and line ends taken out.
  std::string unfolded(size_t from, size_t to) const;
  // The value of a block's TZID line (a VTIMEZONE's), blanks around it left out; empty without.
  std::string tzidOf(size_t block) const;
  // The properties a block states more than once although RFC 5545 allows them once (DTEND and
  // DURATION count as one), for every VEVENT and VTODO: by kind and name ("VEVENT SUMMARY"), where
  // the first line that states one again stands ("line 14, SUMMARY, a second time in its VEVENT").
  std::map<std::string, std::string> repeatedOnceOnly() const;
};

class ICalLayout {
 public:
  // The layout of a tree just read from the text of `blocks`; nothing, and why, when the tree
  // does not stand for it (its outermost block is another component).
  static std::unique_ptr<ICalLayout> of(ICalBlocks blocks, icalcomponent_impl* root,
                                        std::string* why);

  // The same layout for `clone`, a copy of the tree `root`.
  std::unique_ptr<ICalLayout> cloned(icalcomponent_impl* root, icalcomponent_impl* clone) const;
  // `clone` is a new component made as a copy of `from`: it is written from `from`'s lines.
  void derive(icalcomponent_impl* from, icalcomponent_impl* clone);
  // `comp` leaves the tree (before it is freed, so a new component at its address is new).
  void forget(icalcomponent_impl* comp);

  // The text with the tree written into it.
  std::string write(icalcomponent_impl* root) const;
  // What `back`, the tree read from the text this layout holds, says otherwise than `meant`:
  // the first property that would read back otherwise and the line of the text that states it
  // ("line 12, RESOURCES, would read back as RESOURCES:Room 1 instead of RESOURCES:Room 1\,
  // North"); empty when both say the same, whatever the order of their properties and
  // components and however libical spells them.
  std::string misreading(icalcomponent_impl* meant, icalcomponent_impl* back) const;
  // "line 12": the line of the text that states `prop` of `comp` as libical reads it, else the
  // component's BEGIN line; "a line" for a component the text does not hold.
  std::string lineOf(icalcomponent_impl* comp, icalproperty_impl* prop) const;

  // The text it was read from, as blocks.
  const ICalBlocks& original() const { return *blocks_; }

 private:
  struct Place {
    // The block the component stands for; none for one libical made that has no block of its
    // own (it is never written).
    std::optional<size_t> block;
    bool derived = false;  // a new component written from another one's block
  };
  class Writer;

  void map(icalcomponent_impl* comp, size_t block, ICalBlocks& blocks);
  // "line 12": the line of the text that states `spelled` for `comp`, else its BEGIN line.
  std::string lineOf(icalcomponent_impl* comp, const std::string& spelled) const;
  void markUnplaced(icalcomponent_impl* comp);

  std::shared_ptr<const ICalBlocks> blocks_;
  std::unordered_map<icalcomponent_impl*, Place> places_;
  std::set<std::string> unquoted_;  // TZIDs with blanks at an end the file writes unquoted
};

}  // namespace tvrn
