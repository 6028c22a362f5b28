#include "tools/office/WorksheetStream.h"

#include <expat.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <memory>

#include "tools/office/ExcelWorkbooks.h"
#include "tools/office/OfficeServices.h"

namespace tvrn::WorksheetStream {
namespace {

using OfficeServices::localName;

enum class Outcome { complete, stopped, damaged, unreadable };

// A part whose bytes go on this long without one element or piece of text is refused: expat
// holds a token whole until it ends, and no tag of a real part comes near this size.
constexpr std::size_t kMaxQuietBytes = std::size_t{1} << 20;

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
      quietBytes_ += block.size();
      if (XML_Parse(parser_, block.data(), static_cast<int>(block.size()), XML_FALSE) ==
              XML_STATUS_OK &&
          quietBytes_ <= kMaxQuietBytes) {
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
    stream.quietBytes_ = 0;
    stream.start(localName(name), ++stream.depth_, attributes);
  }
  static void onEnd(void* self, const XML_Char*) {
    auto& stream = *static_cast<XmlStream*>(self);
    stream.quietBytes_ = 0;
    stream.end(stream.depth_--);
  }
  static void onText(void* self, const XML_Char* characters, int length) {
    auto& stream = *static_cast<XmlStream*>(self);
    stream.quietBytes_ = 0;
    stream.text(std::string_view(characters, static_cast<std::size_t>(length)), stream.depth_);
  }

  XML_Parser parser_ = nullptr;
  int depth_ = 0;
  bool stopped_ = false;
  std::size_t quietBytes_ = 0;
};

std::optional<std::string_view> attribute(const XML_Char** attributes, std::string_view name) {
  for (; attributes[0] != nullptr; attributes += 2) {
    if (name == attributes[0]) return attributes[1];
  }
  return std::nullopt;
}

// Text gathered up to a cap; what comes past the cap is only noted.
class CappedText {
 public:
  void reset(std::size_t cap) {
    text_.clear();
    cap_ = cap;
    over_ = false;
  }
  void add(std::string_view characters) {
    const std::size_t room = cap_ - text_.size();
    if (characters.size() > room) over_ = true;
    text_.append(characters.substr(0, room));
  }
  bool over() const { return over_; }
  const std::string& text() const { return text_; }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
  std::size_t cap_ = 0;
  bool over_ = false;
};

// The text of every "t" element inside a string item (a shared-string item or an inline
// string), runs joined with nothing between them; only text directly inside a run counts.
class RunTexts {
 public:
  void begin(std::size_t cap) {
    runDepth_ = 0;
    text.reset(cap);
  }
  void start(std::string_view name, int depth) {
    if (runDepth_ == 0 && name == "t") runDepth_ = depth;
  }
  void end(int depth) {
    if (depth == runDepth_) runDepth_ = 0;
  }
  void add(std::string_view characters, int depth) {
    if (depth == runDepth_) text.add(characters);
  }
  CappedText text;

 private:
  int runDepth_ = 0;
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
  RowReader(std::int64_t maxRows, Limits limits) : maxRows_(maxRows), limits_(limits) {}
  Sheet sheet;
  bool pastLimit() const { return place_ == Place::past; }

 private:
  enum class Place { outside, sheetData, row, cell, value, inlineString, past, done };
  enum class PastValue { none, value, inlineString };

  void start(std::string_view name, int depth, const XML_Char** attributes) override {
    if (place_ == Place::past) return startPast(name, depth);
    if (place_ == Place::inlineString) return runs_.start(name, depth);
    if (place_ == Place::outside && depth == kSheetDataDepth && name == "sheetData") {
      place_ = Place::sheetData;
    } else if (place_ == Place::sheetData && depth == kRowDepth && name == "row") {
      const std::size_t number = rowNumber(attributes);
      if (number > limit()) {
        place_ = Place::past;
        return startPast(name, depth);
      }
      startRow();
      keepEmptyRows(number - 1 - sheet.rowsSeen);
      sheet.rowsSeen = number;
      place_ = Place::row;
    } else if (place_ == Place::row && depth == kCellDepth && name == "c") {
      startCell(attributes);
    } else if (place_ == Place::cell && depth == kCellPartDepth) {
      // Only the first value and the first inline string of a cell count.
      if (name == "v" && !hasValue_) {
        hasValue_ = true;
        place_ = Place::value;
      } else if (name == "is" && !hasInline_) {
        hasInline_ = true;
        runs_.begin(room());
        place_ = Place::inlineString;
      }
    }
  }

  void end(int depth) override {
    if (place_ == Place::past) return endPast(depth);
    if (place_ == Place::inlineString && depth > kCellPartDepth) return runs_.end(depth);
    if ((place_ == Place::value || place_ == Place::inlineString) && depth == kCellPartDepth) {
      place_ = Place::cell;
    } else if (place_ == Place::cell && depth == kCellDepth) {
      finishCell();
      place_ = Place::row;
    } else if (place_ == Place::row && depth == kRowDepth) {
      finishRow();
      place_ = sheet.rowsSeen >= limit() ? Place::past : Place::sheetData;
    } else if (place_ == Place::sheetData && depth == kSheetDataDepth) {
      // What follows the rows is never looked at.
      place_ = Place::done;
      stop();
    }
  }

  void text(std::string_view characters, int depth) override {
    if (place_ == Place::past) {
      // A value's text, or the text of an inline string's runs.
      const bool held = (pastValue_ == PastValue::value && depth == kCellPartDepth) ||
                        (pastValue_ == PastValue::inlineString && depth > kCellPartDepth);
      if (held && !characters.empty()) pastRowHasData_ = true;
      return;
    }
    if (!keeping_) return;
    if (place_ == Place::value && depth == kCellPartDepth) value_.add(characters);
    if (place_ == Place::inlineString) runs_.add(characters, depth);
  }

  std::size_t limit() const { return maxRows_ > 0 ? static_cast<std::size_t>(maxRows_) : 0; }

  // Past the limit rows are only looked at for whether they hold a value, so that the reply can
  // say how many it left out; up to kMaxRowsPastLimit of them, which bounds what a short read of
  // a long sheet costs.
  void startPast(std::string_view name, int depth) {
    if (depth == kRowDepth && name == "row") {
      pastRowHasData_ = false;
    } else if (depth == kCellPartDepth && (name == "v" || name == "is")) {
      pastValue_ = name == "v" ? PastValue::value : PastValue::inlineString;
    }
  }
  void endPast(int depth) {
    if (depth == kCellPartDepth) {
      pastValue_ = PastValue::none;
    } else if (depth == kRowDepth) {
      if (pastRowHasData_) ++sheet.dataRowsPastLimit;
      if (++rowsPast_ >= kMaxRowsPastLimit) stop();
    } else if (depth == kSheetDataDepth) {
      sheet.pastLimitCounted = true;
      stop();
    }
  }

  // A row's place is its own number; spreadsheet programs leave empty rows out of the file, so
  // counting row elements would move every row after a blank one up. A row without a usable
  // number (none, not one of the sheet's, or not past the row before it) takes the next place.
  std::size_t rowNumber(const XML_Char** attributes) const {
    const std::size_t next = sheet.rowsSeen + 1;
    const auto reference = attribute(attributes, "r");
    if (!reference) return next;
    std::size_t number = 0;
    const auto [end, error] =
        std::from_chars(reference->data(), reference->data() + reference->size(), number);
    if (error != std::errc() || end != reference->data() + reference->size() ||
        number > ExcelWorkbooks::kLastRow || number < next) {
      return next;
    }
    return number;
  }

  // What the limits leave for the values of the row being read.
  std::size_t room() const {
    const std::size_t used = usedBytes_ + rowBytes();
    return used < limits_.bytes ? limits_.bytes - used : 0;
  }

  // A cell kept to clear a column costs as much as a gap would.
  std::size_t rowBytes() const {
    const std::size_t cells = std::max(rowWidth_, sheet.cells.size() - rowCell_);
    return limits_.rowBytes + cells * limits_.cellBytes + (sheet.text.size() - rowText_);
  }

  void startRow() {
    rowCell_ = sheet.cells.size();
    rowText_ = sheet.text.size();
    rowWidth_ = 0;
    nextColumn_ = 0;
  }

  // The places of rows the sheet leaves out, before the row being read, as empty rows.
  void keepEmptyRows(std::size_t count) {
    if (!keeping_ || count == 0) return;
    const std::size_t room = limits_.bytes - usedBytes_;
    const std::size_t fitting =
        limits_.rowBytes == 0 ? count : std::min(count, room / limits_.rowBytes);
    usedBytes_ += fitting * limits_.rowBytes;
    sheet.rowEnds.insert(sheet.rowEnds.end(), fitting,
                         static_cast<std::uint32_t>(sheet.cells.size()));
    if (fitting < count) stopKeeping();
  }

  // From here on rows are only counted: the row being read goes, with all that it kept.
  void stopKeeping() {
    keeping_ = false;
    sheet.cells.resize(rowCell_);
    sheet.text.resize(rowText_);
  }

  void finishRow() {
    if (!keeping_) return;
    if (usedBytes_ + rowBytes() > limits_.bytes) return stopKeeping();
    usedBytes_ += rowBytes();
    sheet.rowEnds.push_back(static_cast<std::uint32_t>(sheet.cells.size()));
  }

  // A cell without a reference takes the column after the one before it; once a cell lies past
  // the last column, so does every unreferenced cell after it.
  void startCell(const XML_Char** attributes) {
    const auto reference = attribute(attributes, "r");
    const int named = reference ? ExcelWorkbooks::columnIndex(*reference) : -1;
    column_ = named >= 0 ? named : nextColumn_;
    nextColumn_ = column_ > ExcelWorkbooks::kLastColumn ? column_ : column_ + 1;
    hasValue_ = hasInline_ = false;
    type_ = attribute(attributes, "t").value_or("");
    value_.reset(room());
    runs_.begin(0);
    place_ = Place::cell;
  }

  void finishCell() {
    if (!keeping_ || column_ > ExcelWorkbooks::kLastColumn) return;
    const bool inlineString = type_ == "inlineStr";
    if ((inlineString ? runs_.text : value_).over()) return stopKeeping();
    const auto column = static_cast<std::size_t>(column_);
    std::string_view value = inlineString ? runs_.text.text() : value_.text();
    bool shared = false;
    if (!inlineString && !hasValue_) {
      value = {};
    } else if (!inlineString && type_ == "s") {
      const auto index = wholeNumber(value);
      shared = index && *index >= 0;
    } else if (!inlineString && type_ == "b") {
      value = value == "1" ? "TRUE" : "FALSE";
    }
    // An empty value only clears a column the row already reaches.
    if (value.empty() && column >= rowWidth_) return;
    sheet.cells.push_back({static_cast<std::uint32_t>(sheet.text.size()),
                           static_cast<std::uint32_t>(value.size()),
                           static_cast<std::uint16_t>(column), shared});
    sheet.text += value;
    if (!value.empty()) rowWidth_ = std::max(rowWidth_, column + 1);
    if (usedBytes_ + rowBytes() > limits_.bytes) stopKeeping();
  }

  std::int64_t maxRows_;
  Limits limits_;
  Place place_ = Place::outside;
  std::size_t rowsPast_ = 0;  // row elements seen past the limit
  bool pastRowHasData_ = false;
  PastValue pastValue_ = PastValue::none;
  bool keeping_ = true;
  std::size_t usedBytes_ = 0;
  // The row being read: where its cells and values begin, and how wide its values make it.
  std::size_t rowCell_ = 0;
  std::size_t rowText_ = 0;
  std::size_t rowWidth_ = 0;
  // The cell being read.
  int nextColumn_ = 0;
  int column_ = 0;
  std::string type_;
  bool hasValue_ = false;
  bool hasInline_ = false;
  CappedText value_;
  RunTexts runs_;
};

// Shared-string items (the root's "si" children) in order, keeping only the wanted indexes and
// stopping once the last of them is read, or once they hold as much as may be kept: the wanted
// items from there on are dropped.
class SharedStringReader : public XmlStream {
 public:
  SharedStringReader(Sheet& sheet, std::size_t maxBytes) : sheet_(sheet), maxBytes_(maxBytes) {}

 private:
  static constexpr int kItemDepth = 2;

  void start(std::string_view name, int depth, const XML_Char**) override {
    if (inItem_) return runs_.start(name, depth);
    inItem_ = depth == kItemDepth && name == "si";
    if (inItem_) runs_.begin(wanted() ? maxBytes_ - kept_ : 0);
  }
  void end(int depth) override {
    if (!inItem_) return;
    if (depth > kItemDepth) return runs_.end(depth);
    inItem_ = false;
    if (wanted()) {
      if (runs_.text.over()) return dropTheRest();
      kept_ += runs_.text.text().size();
      sheet_.sharedValues[filled_] = runs_.text.take();
      sheet_.sharedStates[filled_++] = Sheet::Shared::resolved;
    }
    ++index_;
    if (filled_ == sheet_.sharedIndexes.size()) stop();
  }
  void text(std::string_view characters, int depth) override {
    if (inItem_) runs_.add(characters, depth);
  }

  bool wanted() const {
    return filled_ < sheet_.sharedIndexes.size() && sheet_.sharedIndexes[filled_] == index_;
  }

  void dropTheRest() {
    for (std::size_t i = filled_; i < sheet_.sharedStates.size(); ++i) {
      sheet_.sharedStates[i] = Sheet::Shared::dropped;
    }
    stop();
  }

  Sheet& sheet_;
  std::size_t maxBytes_;
  std::size_t kept_ = 0;
  bool inItem_ = false;
  std::size_t index_ = 0;
  std::size_t filled_ = 0;
  RunTexts runs_;
};

}  // namespace

bool Sheet::denseRow(std::size_t row, std::vector<std::string_view>& values) const {
  values.clear();
  std::size_t width = 0;
  for (std::size_t i = row == 0 ? 0 : rowEnds[row - 1]; i < rowEnds[row]; ++i) {
    const Cell& cell = cells[i];
    std::string_view value(text.data() + cell.offset, cell.size);
    if (cell.shared) {
      const auto index = static_cast<std::size_t>(*wholeNumber(value));
      const auto at = std::lower_bound(sharedIndexes.begin(), sharedIndexes.end(), index);
      const auto position = static_cast<std::size_t>(at - sharedIndexes.begin());
      // Without a table (none was read) the digits stay.
      if (at != sharedIndexes.end() && *at == index) {
        if (sharedStates[position] == Shared::dropped) return false;
        if (sharedStates[position] == Shared::resolved) value = sharedValues[position];
      }
    }
    if (cell.column >= values.size()) values.resize(cell.column + 1);
    values[cell.column] = value;
  }
  for (std::size_t column = 0; column < values.size(); ++column) {
    if (!values[column].empty()) width = column + 1;
  }
  values.resize(width);
  return true;
}

std::optional<Sheet> readRows(const Blocks& worksheet, std::int64_t maxRows, Limits limits) {
  limits.bytes = std::min<std::size_t>(limits.bytes, std::numeric_limits<std::uint32_t>::max());
  RowReader reader(maxRows, limits);
  const Outcome outcome = reader.run(worksheet);
  // What follows the rows asked for is only counted: damage there ends the count, not the read.
  if ((outcome == Outcome::damaged || outcome == Outcome::unreadable) && !reader.pastLimit()) {
    return std::nullopt;
  }
  return std::move(reader.sheet);
}

bool fillSharedStrings(const Blocks& sharedStrings, Sheet& sheet, std::size_t maxBytes) {
  auto& wanted = sheet.sharedIndexes;
  wanted.clear();
  for (const auto& cell : sheet.cells) {
    if (cell.shared) {
      wanted.push_back(static_cast<std::size_t>(
          *wholeNumber(std::string_view(sheet.text.data() + cell.offset, cell.size))));
    }
  }
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  sheet.sharedStates.assign(wanted.size(), Sheet::Shared::missing);
  sheet.sharedValues.assign(wanted.size(), std::string());
  if (wanted.empty()) return true;
  SharedStringReader reader(sheet, maxBytes);
  const Outcome outcome = reader.run(sharedStrings);
  if (outcome == Outcome::unreadable) return false;
  if (outcome == Outcome::damaged) {
    sheet.sharedStates.assign(wanted.size(), Sheet::Shared::missing);
    sheet.sharedValues.assign(wanted.size(), std::string());
  }
  return true;
}

}  // namespace tvrn::WorksheetStream
