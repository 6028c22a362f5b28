#include "tools/office/WorksheetStream.h"

#include <expat.h>

#include <algorithm>
#include <charconv>
#include <memory>

#include "tools/office/ExcelWorkbooks.h"
#include "tools/office/OfficeServices.h"

namespace tvrn::WorksheetStream {
namespace {

using OfficeServices::localName;

enum class Outcome { complete, stopped, damaged, unreadable };

// Element events of one part, fed to expat block by block. Names keep their prefixes (no
// namespace processing), so parts are matched by local name as the whole-document reader did.
// The parser is created for UTF-8 whatever the declaration says, and expat refuses ill-formed
// UTF-8 in everything it reads, which is everything returned. No external entity is ever read.
class XmlStream {
 public:
  virtual ~XmlStream() = default;

  Outcome run(const Blocks& blocks) {
    std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate("UTF-8"),
                                                                        &XML_ParserFree);
    if (!parser) return Outcome::unreadable;
    parser_ = parser.get();
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &XmlStream::onStart, &XmlStream::onEnd);
    XML_SetCharacterDataHandler(parser_, &XmlStream::onText);
    bool damaged = false;
    const auto read = blocks([&](std::string_view block) {
      if (XML_Parse(parser_, block.data(), static_cast<int>(block.size()), XML_FALSE) ==
          XML_STATUS_OK) {
        return true;
      }
      damaged = !stopped_;
      return false;
    });
    if (stopped_) return Outcome::stopped;
    if (damaged) return Outcome::damaged;
    if (!read) return Outcome::unreadable;
    if (XML_Parse(parser_, nullptr, 0, XML_TRUE) != XML_STATUS_OK) {
      return stopped_ ? Outcome::stopped : Outcome::damaged;
    }
    return Outcome::complete;
  }

 protected:
  // `depth` is the element's own: the root is 1.
  virtual void start(std::string_view name, int depth, const XML_Char** attributes) = 0;
  virtual void end(int depth) = 0;
  virtual void text(std::string_view characters, int depth) = 0;

  void stop() {
    stopped_ = true;
    XML_StopParser(parser_, XML_FALSE);
  }

 private:
  static void onStart(void* self, const XML_Char* name, const XML_Char** attributes) {
    auto& stream = *static_cast<XmlStream*>(self);
    stream.start(localName(name), ++stream.depth_, attributes);
  }
  static void onEnd(void* self, const XML_Char*) {
    auto& stream = *static_cast<XmlStream*>(self);
    stream.end(stream.depth_--);
  }
  static void onText(void* self, const XML_Char* characters, int length) {
    auto& stream = *static_cast<XmlStream*>(self);
    stream.text(std::string_view(characters, static_cast<std::size_t>(length)), stream.depth_);
  }

  XML_Parser parser_ = nullptr;
  int depth_ = 0;
  bool stopped_ = false;
};

std::optional<std::string_view> attribute(const XML_Char** attributes, std::string_view name) {
  for (; attributes[0] != nullptr; attributes += 2) {
    if (name == attributes[0]) return attributes[1];
  }
  return std::nullopt;
}

// The text of every "t" element inside a string item (a shared-string item or an inline
// string), runs joined with nothing between them; only text directly inside a run counts.
class RunTexts {
 public:
  void start(std::string_view name, int depth) {
    if (runDepth_ == 0 && name == "t") runDepth_ = depth;
  }
  void end(int depth) {
    if (depth == runDepth_) runDepth_ = 0;
  }
  void text(std::string_view characters, int depth) {
    if (depth == runDepth_) text_ += characters;
  }
  std::string take() {
    runDepth_ = 0;
    return std::move(text_);
  }

 private:
  int runDepth_ = 0;
  std::string text_;
};

// A decimal integer with an optional sign and nothing else.
std::optional<long long> wholeNumber(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Worksheet > sheetData > row > c > v | is: the depths at which each is looked for.
constexpr int kSheetDataDepth = 2;
constexpr int kRowDepth = 3;
constexpr int kCellDepth = 4;
constexpr int kCellPartDepth = 5;

class RowReader : public XmlStream {
 public:
  explicit RowReader(std::int64_t maxRows) : maxRows_(maxRows) {}
  Sheet sheet;

 private:
  enum class Place { outside, sheetData, row, cell, value, inlineString, done };

  struct Cell {
    int column = 0;
    std::string type;
    bool hasValue = false;
    bool hasInline = false;
    std::string value;
  };

  void start(std::string_view name, int depth, const XML_Char** attributes) override {
    if (place_ == Place::inlineString) return runs_.start(name, depth);
    if (place_ == Place::outside && depth == kSheetDataDepth && name == "sheetData") {
      place_ = Place::sheetData;
    } else if (place_ == Place::sheetData && depth == kRowDepth && name == "row") {
      if (sheet.rows.size() >= limit()) return stop();
      // Rows tend to be as wide as the one before.
      sheet.rows.emplace_back().reserve(sheet.rows.size() > 1 ? sheet.rows.end()[-2].size() : 0);
      place_ = Place::row;
    } else if (place_ == Place::row && depth == kCellDepth && name == "c") {
      startCell(attributes);
    } else if (place_ == Place::cell && depth == kCellPartDepth) {
      // Only the first value and the first inline string of a cell count.
      if (name == "v" && !cell_.hasValue) {
        cell_.hasValue = true;
        place_ = Place::value;
      } else if (name == "is" && !cell_.hasInline) {
        cell_.hasInline = true;
        place_ = Place::inlineString;
      }
    }
  }

  void end(int depth) override {
    if (place_ == Place::inlineString && depth > kCellPartDepth) return runs_.end(depth);
    if ((place_ == Place::value || place_ == Place::inlineString) && depth == kCellPartDepth) {
      if (place_ == Place::inlineString) inlineText_ = runs_.take();
      place_ = Place::cell;
    } else if (place_ == Place::cell && depth == kCellDepth) {
      finishCell();
      place_ = Place::row;
    } else if (place_ == Place::row && depth == kRowDepth) {
      place_ = Place::sheetData;
      if (sheet.rows.size() >= limit()) stop();
    } else if (place_ == Place::sheetData && depth == kSheetDataDepth) {
      place_ = Place::done;
    }
  }

  void text(std::string_view characters, int depth) override {
    if (place_ == Place::value && depth == kCellPartDepth) cell_.value += characters;
    if (place_ == Place::inlineString) runs_.text(characters, depth);
  }

  std::size_t limit() const { return maxRows_ > 0 ? static_cast<std::size_t>(maxRows_) : 0; }

  // A cell without a reference takes the column after the one before it; once a cell lies past
  // the last column, so does every unreferenced cell after it.
  void startCell(const XML_Char** attributes) {
    const auto reference = attribute(attributes, "r");
    const int named = reference ? ExcelWorkbooks::columnIndex(*reference) : -1;
    cell_.hasValue = cell_.hasInline = false;
    cell_.value.clear();
    cell_.column = named >= 0 ? named : nextColumn_;
    cell_.type = attribute(attributes, "t").value_or("");
    inlineText_.clear();
    nextColumn_ = cell_.column > ExcelWorkbooks::kLastColumn ? cell_.column : cell_.column + 1;
    place_ = Place::cell;
  }

  void finishCell() {
    if (cell_.column > ExcelWorkbooks::kLastColumn) return;
    auto& values = sheet.rows.back();
    const auto column = static_cast<std::size_t>(cell_.column);
    if (column >= values.size()) values.resize(column + 1);
    forgetSharedCell(column);
    values[column] = cellValue(column);
  }

  std::string cellValue(std::size_t column) {
    if (cell_.type == "inlineStr") return std::move(inlineText_);
    if (!cell_.hasValue) return "";
    if (cell_.type == "s") {
      if (const auto index = wholeNumber(cell_.value); index && *index >= 0) {
        sheet.sharedCells.push_back(
            {sheet.rows.size() - 1, column, static_cast<std::size_t>(*index)});
      }
    }
    if (cell_.type == "b") return cell_.value == "1" ? "TRUE" : "FALSE";
    return std::move(cell_.value);
  }

  // A later cell for the same column replaces the earlier one, shared index included.
  void forgetSharedCell(std::size_t column) {
    const std::size_t row = sheet.rows.size() - 1;
    auto& cells = sheet.sharedCells;
    for (auto cell = cells.rbegin(); cell != cells.rend() && cell->row == row; ++cell) {
      if (cell->column == column) {
        cells.erase(std::next(cell).base());
        return;
      }
    }
  }

  std::int64_t maxRows_;
  Place place_ = Place::outside;
  int nextColumn_ = 0;
  Cell cell_;
  RunTexts runs_;
  std::string inlineText_;
};

// Shared-string items (the root's "si" children) in order, keeping only the wanted indexes and
// stopping once the last of them is read.
class SharedStringReader : public XmlStream {
 public:
  explicit SharedStringReader(std::vector<std::size_t> wanted)
      : wanted(std::move(wanted)), found(this->wanted.size()) {}
  std::vector<std::size_t> wanted;  // ascending, no repeats
  std::vector<std::string> found;   // found[i] holds item wanted[i], once `filled` > i
  std::size_t filled = 0;

 private:
  static constexpr int kItemDepth = 2;

  void start(std::string_view name, int depth, const XML_Char**) override {
    if (inItem_) return runs_.start(name, depth);
    inItem_ = depth == kItemDepth && name == "si";
  }
  void end(int depth) override {
    if (!inItem_) return;
    if (depth > kItemDepth) return runs_.end(depth);
    inItem_ = false;
    std::string item = runs_.take();
    if (filled < wanted.size() && wanted[filled] == index_) found[filled++] = std::move(item);
    ++index_;
    if (filled == wanted.size()) stop();
  }
  void text(std::string_view characters, int depth) override {
    if (inItem_) runs_.text(characters, depth);
  }

  bool inItem_ = false;
  std::size_t index_ = 0;
  RunTexts runs_;
};

}  // namespace

std::optional<Sheet> readRows(const Blocks& worksheet, std::int64_t maxRows) {
  RowReader reader(maxRows);
  const Outcome outcome = reader.run(worksheet);
  if (outcome == Outcome::damaged || outcome == Outcome::unreadable) return std::nullopt;
  return std::move(reader.sheet);
}

bool fillSharedStrings(const Blocks& sharedStrings, Sheet& sheet) {
  std::vector<std::size_t> wanted;
  for (const auto& cell : sheet.sharedCells) wanted.push_back(cell.index);
  if (wanted.empty()) return true;
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  SharedStringReader reader(std::move(wanted));
  const Outcome outcome = reader.run(sharedStrings);
  if (outcome == Outcome::unreadable) return false;
  if (outcome == Outcome::damaged) return true;
  for (const auto& cell : sheet.sharedCells) {
    const auto at = std::lower_bound(reader.wanted.begin(), reader.wanted.end(), cell.index);
    const auto position = static_cast<std::size_t>(at - reader.wanted.begin());
    if (position < reader.filled) sheet.rows[cell.row][cell.column] = reader.found[position];
  }
  return true;
}

}  // namespace tvrn::WorksheetStream
