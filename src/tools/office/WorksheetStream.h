// The rows of a worksheet read while its archive member inflates, stopping after the last row
// asked for, and the shared strings those rows name, read the same way only as far as the last
// one they need: a read costs what it returns, not the size of the sheet.
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

// A cell holding an index into the shared strings; until the table is read it shows the index's
// digits, which is also what it keeps when the table has no such entry.
struct SharedCell {
  std::size_t row = 0;
  std::size_t column = 0;
  std::size_t index = 0;
};

struct Sheet {
  // One dense array per row, in document order; a column without a cell holds "".
  std::vector<std::vector<std::string>> rows;
  std::vector<SharedCell> sharedCells;
};

// The first `maxRows` rows of the worksheet's first sheetData; nothing when the part is damaged
// or unreadable before the last of them ends.
std::optional<Sheet> readRows(const Blocks& worksheet, std::int64_t maxRows);

// Puts the shared-string items into the cells that name them. A table that is damaged before the
// last needed item is treated as empty, as an unparsable one always was; false only when the
// member's bytes cannot be read.
bool fillSharedStrings(const Blocks& sharedStrings, Sheet& sheet);

}  // namespace tvrn::WorksheetStream
