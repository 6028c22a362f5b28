// The rows of a worksheet read while its archive member inflates, stopping a bounded number of
// rows after the last one asked for (those are only counted), and the shared strings those rows
// name, read the same way only as far as the last one they need: a read costs what it returns,
// not the size of the sheet. What it keeps is held
// in a few large blocks (the values one after another, a small entry per cell), and never more
// than a reply may carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"

namespace tvrn::WorksheetStream {

// Hands a member's bytes to the sink block by block until the member ends or the sink answers
// false (ZipArchive::readMemberInBlocks); the error says why the bytes could not be read.
using BlockSink = std::function<bool(std::string_view)>;
using Blocks = std::function<Result<bool, std::string>(const BlockSink&)>;

// How much of a sheet one read may keep: the bytes of the rows as the reply writes them. A row is
// charged `rowBytes`, and `cellBytes` for each of its cells (as wide as its last value, gaps
// included, or as many cells as it kept when more), besides the bytes of its values.
struct Limits {
  std::size_t bytes = 0;  // below 4 GiB
  std::size_t rowBytes = 0;
  std::size_t cellBytes = 0;
};

// How many rows past the limit asked for a read looks at, to count those holding a value.
inline constexpr std::size_t kMaxRowsPastLimit = 1000;

struct Sheet {
  // A value kept for a cell; a shared one holds the digits of its index until the table is read.
  struct Cell {
    std::uint32_t offset = 0;  // in `text`
    std::uint32_t size = 0;
    std::uint16_t column = 0;
    bool shared = false;
  };
  // What became of a shared index the rows name.
  enum class Shared : std::uint8_t { missing, resolved, dropped };

  std::string text;                    // the kept values, one after another
  std::vector<Cell> cells;             // in document order
  std::vector<std::uint32_t> rowEnds;  // row i's cells end at cells[rowEnds[i]]
  // The place (the 1-based row number) of the last row read, up to the limit asked for, kept or
  // not: the rows the sheet leaves out before it count too.
  std::size_t rowsSeen = 0;
  // The rows past the limit that hold a value, counted over at most kMaxRowsPastLimit rows;
  // `pastLimitCounted` when that was all of them (the count is not a lower bound).
  std::size_t dataRowsPastLimit = 0;
  bool pastLimitCounted = false;
  // The shared indexes the kept cells name, ascending; `sharedValues[i]` is the item of
  // `sharedIndexes[i]` when `sharedStates[i]` is resolved.
  std::vector<std::size_t> sharedIndexes;
  std::vector<Shared> sharedStates;
  std::vector<std::string> sharedValues;

  std::size_t rowCount() const { return rowEnds.size(); }

  // Row `row` as the reply holds it: a value per column up to its last value that is not empty,
  // "" in the gaps, a later cell for a column replacing an earlier one. Views into the sheet.
  // False when the row names a shared string too large to be kept: no reply can hold it.
  bool denseRow(std::size_t row, std::vector<std::string_view>& values) const;
};

// Rows 1 to `maxRows` of the worksheet's first sheetData, each at its place: a row the sheet leaves
// out before the last one read is an empty row. Nothing when the part is damaged or unreadable
// before the last of them ends. Cells without a value do not widen a row. Rows stop being kept
// once they would take more than the limits; the places after them up to the last row read are
// only counted, as are the rows past `maxRows` that hold a value.
std::optional<Sheet> readRows(const Blocks& worksheet, std::int64_t maxRows, Limits limits);

// Reads the shared-string items the kept cells name, keeping no more than `maxBytes` of them;
// an item past that is dropped. A table that is damaged before the last needed item is treated as
// empty, as an unparsable one always was; false only when the member's bytes cannot be read.
bool fillSharedStrings(const Blocks& sharedStrings, Sheet& sheet, std::size_t maxBytes);

}  // namespace tvrn::WorksheetStream
