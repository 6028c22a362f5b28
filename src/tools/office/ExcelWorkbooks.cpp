#include "tools/office/ExcelWorkbooks.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <pugixml.hpp>
#include <set>
#include <utility>
#include <vector>

#include "base/Strings.h"
#include "base/Utf8.h"
#include "core/Logger.h"
#include "core/ToolResponse.h"
#include "platform/ZipArchive.h"
#include "tools/office/OfficeServices.h"
#include "tools/office/OfficeTexts.h"
#include "tools/office/WorksheetStream.h"

namespace tvrn::ExcelWorkbooks {
namespace {

using namespace OfficeTexts;
using nlohmann::json;
using OfficeServices::localName;

constexpr std::string_view kWorkbookMember = "xl/workbook.xml";
constexpr std::string_view kRelationshipsMember = "xl/_rels/workbook.xml.rels";
constexpr std::string_view kSharedStringsMember = "xl/sharedStrings.xml";
constexpr std::string_view kWorksheetFolder = "xl/worksheets/";
constexpr std::string_view kDefaultWorksheet = "xl/worksheets/sheet1.xml";
constexpr std::string_view kPartFolder = "xl/";
constexpr const char* kDefaultSheetName = "Sheet1";
constexpr std::int64_t kDefaultRowLimit = 100;

// What one reply may hold, about what the other readers return at most (fs_read gives 10 MiB).
// Its bytes are counted as sent: the reply's text escaped once more as the "text" of the message
// that carries it, so that the whole message stays within what clients take in one line (the
// TypeScript SDK's default is 10 MiB). Every cell costs its bytes, gaps included, so the limit
// holds cells too: fewer than 900,000 even when all are empty.
constexpr std::size_t kMaxReplyBytes = std::size_t{10} * 1024 * 1024;
// What the rows cost as sent besides their values, at least: a row ("\\n    []"), a cell with its
// indent and quotes ("\\n      \\\"\\\""); and room for what follows the rows and for the message.
constexpr std::size_t kReplyRowBytes = 8;
constexpr std::size_t kReplyCellBytes = 12;
constexpr std::size_t kReplyTailBytes = 512;

// The scripts get the path the caller named (for their answer) and a private file to save the
// workbook to; the server then puts the saved workbook in the caller's place itself, through the
// folder it checked.
constexpr const char* kScriptStart = R"(import io, json, signal, sys
import openpyxl

signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
path, saved = sys.argv[1], sys.argv[2]
)";

constexpr const char* kCreateScript = R"(
headers = json.loads(sys.argv[3])
rows = json.loads(sys.argv[4])
wb = openpyxl.Workbook()
ws = wb.active
ws.append(headers)
for row in rows:
    ws.append(row)
wb.save(saved)
print(json.dumps({'created': True, 'path': path, 'headers': headers, 'rows': len(rows)}))
)";

// The workbook comes on standard input, read from the file the server opened and checked. A
// sheet named but missing fails here too, never falling back to another sheet's cells.
constexpr const char* kWriteCellScript = R"(
sheet_name, value = sys.argv[3], sys.argv[6]
row, column = int(sys.argv[4]), int(sys.argv[5])
wb = openpyxl.load_workbook(io.BytesIO(sys.stdin.buffer.read()))
ws = wb[sheet_name] if sheet_name else wb.active
ws.cell(row=row, column=column, value=value)
wb.save(saved)
print(json.dumps({'written': True, 'row': row, 'col': column, 'value': value}))
)";

// ---- Reading ----

bool isElement(const pugi::xml_node& node, std::string_view name) {
  return node.type() == pugi::node_element && localName(node.name()) == name;
}

pugi::xml_node childNamed(const pugi::xml_node& parent, std::string_view name) {
  for (pugi::xml_node child : parent.children()) {
    if (isElement(child, name)) return child;
  }
  return {};
}

// Attributes are matched by local name, so a prefix bound to another letter is still found.
pugi::xml_attribute attributeNamed(const pugi::xml_node& node, std::string_view name) {
  for (pugi::xml_attribute attribute : node.attributes()) {
    if (localName(attribute.name()) == name) return attribute;
  }
  return {};
}

// Parses UTF-8 text in place (the parser decodes each entity exactly once); whitespace that
// is a text element's whole content is kept, since in a cell it is the value.
bool parseXml(pugi::xml_document& document, std::string& text) {
  if (!Utf8::isValid(text)) return false;
  return document.load_buffer_inplace(text.data(), text.size(),
                                      pugi::parse_default | pugi::parse_ws_pcdata_single,
                                      pugi::encoding_utf8);
}

struct SheetEntry {
  std::string name;
  std::string relationshipId;
};

std::vector<SheetEntry> parseSheetEntries(std::string text) {
  std::vector<SheetEntry> entries;
  pugi::xml_document document;
  if (!parseXml(document, text)) return entries;
  for (pugi::xml_node sheet : childNamed(document.document_element(), "sheets").children()) {
    const pugi::xml_attribute name = sheet.attribute("name");
    if (!isElement(sheet, "sheet") || !name) continue;
    entries.push_back({name.value(), attributeNamed(sheet, "id").value()});
  }
  return entries;
}

std::map<std::string, std::string> parseRelationships(std::string text) {
  std::map<std::string, std::string> targets;
  pugi::xml_document document;
  if (!parseXml(document, text)) return targets;
  for (pugi::xml_node relationship : document.document_element().children()) {
    if (!isElement(relationship, "Relationship")) continue;
    targets[relationship.attribute("Id").value()] = relationship.attribute("Target").value();
  }
  return targets;
}

// The member a workbook relationship's Target names: relative to the workbook's folder, or
// from the package root when it starts with "/".
std::string memberForTarget(std::string_view target) {
  std::filesystem::path member = target.starts_with('/')
                                     ? std::filesystem::path(target.substr(1))
                                     : std::filesystem::path(kPartFolder) / target;
  return member.lexically_normal().generic_string();
}

struct ResolvedSheet {
  std::vector<std::string> names;
  std::optional<std::string> member;
};

ResolvedSheet resolveSheet(std::optional<std::string> workbook,
                           std::optional<std::string> relationships,
                           const std::string& requestedName) {
  ResolvedSheet resolved;
  if (!workbook) return resolved;
  const auto entries = parseSheetEntries(std::move(*workbook));
  for (const auto& entry : entries) resolved.names.push_back(entry.name);
  if (entries.empty() || !relationships) return resolved;
  const auto targets = parseRelationships(std::move(*relationships));
  const SheetEntry* picked = &entries.front();
  for (const auto& entry : entries) {
    if (!requestedName.empty() && entry.name == requestedName) {
      picked = &entry;
      break;
    }
  }
  if (const auto target = targets.find(picked->relationshipId); target != targets.end()) {
    resolved.member = memberForTarget(target->second);
  }
  return resolved;
}

WorksheetStream::Blocks blocksOf(const RegularFile& file, const std::string& member) {
  return [&file, member](const WorksheetStream::BlockSink& sink) {
    return ZipArchive::readMemberInBlocks(file, member, sink);
  };
}

bool isWorksheetMember(std::string_view name) {
  return name.starts_with(kWorksheetFolder) && name.ends_with(".xml");
}

// The parts that name the sheets, from one opening of the archive; the worksheets and the shared
// strings are only listed here and read afterwards as far as the rows asked for need them.
struct WorkbookParts {
  std::optional<std::string> workbook;
  std::optional<std::string> relationships;
  bool hasSharedStrings = false;
  std::set<std::string> worksheets;
};

std::optional<WorkbookParts> readParts(const RegularFile& file) {
  WorkbookParts parts;
  auto members = ZipArchive::readMembers(file, [&](std::string_view name) {
    if (isWorksheetMember(name)) parts.worksheets.emplace(name);
    if (name == kSharedStringsMember) parts.hasSharedStrings = true;
    return name == kWorkbookMember || name == kRelationshipsMember;
  });
  if (!members) return std::nullopt;
  for (auto& member : members.value()) {
    if (member.name == kWorkbookMember) parts.workbook = std::move(member.bytes);
    if (member.name == kRelationshipsMember) parts.relationships = std::move(member.bytes);
  }
  if (!parts.workbook || !parts.relationships || parts.worksheets.empty()) return std::nullopt;
  return parts;
}

// The sheet names the workbook lists; nothing when its parts cannot be read or list none.
std::optional<std::vector<std::string>> sheetNames(const RegularFile& file) {
  auto parts = readParts(file);
  if (!parts) return std::nullopt;
  std::vector<std::string> names;
  for (auto& entry : parseSheetEntries(std::move(*parts->workbook))) {
    names.push_back(std::move(entry.name));
  }
  if (names.empty()) return std::nullopt;
  return names;
}

bool listed(const std::vector<std::string>& list, const std::string& name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

// The bytes a character takes once escaped in a JSON string, and twice: the escape's own
// characters escaped again (its backslash doubled, and the quote or backslash it escapes).
std::size_t escapedSize(char c) {
  switch (c) {
    case '"':
    case '\\':
    case '\b':
    case '\f':
    case '\n':
    case '\r':
    case '\t':
      return 2;
    default:
      return static_cast<unsigned char>(c) < 0x20 ? 6 : 1;
  }
}
std::size_t twiceEscapedSize(char c) {
  const std::size_t once = escapedSize(c);
  if (once == 1) return 1;
  return once + 1 + (c == '"' || c == '\\' ? 1 : 0);
}

// What a text takes as sent.
std::size_t sentSize(std::string_view text) {
  std::size_t size = 0;
  for (const char c : text) size += escapedSize(c);
  return size;
}

// What a cell's value takes as sent: quoted in the reply, and all of it escaped once more.
std::size_t sentValueSize(std::string_view value) {
  std::size_t size = 4;
  for (const char c : value) size += twiceEscapedSize(c);
  return size;
}

struct PrintedRows {
  std::size_t count = 0;
  std::size_t bytes = 0;      // as sent
  std::size_t textBytes = 0;  // in the reply's text
};

// The reply's "rows" as ToolResponse::json prints them, up to the first row that would take
// them past `room` bytes as sent: appended to `reply`, or without one only measured, so that the
// text can be given its room at once instead of growing by copies.
PrintedRows printRows(const WorksheetStream::Sheet& sheet, std::size_t room, std::string* reply) {
  PrintedRows printed;
  std::vector<std::string_view> values;
  json cell = "";
  for (; printed.count < sheet.rowCount(); ++printed.count) {
    if (!sheet.denseRow(printed.count, values)) break;
    const bool first = printed.count == 0;
    // "\n    [" or ",\n    [", then "]", after "\n    " when it holds cells, each line break
    // escaped in the message; a cell's indent after "\n" or ",\n".
    std::size_t size = (first ? 7 : 8) + (values.empty() ? 1 : 7);
    std::size_t printedSize = (first ? 6 : 7) + (values.empty() ? 1 : 6);
    for (std::size_t column = 0; column < values.size(); ++column) {
      size += (column == 0 ? 8 : 9) + sentValueSize(values[column]);
      printedSize += (column == 0 ? 7 : 8) + 2 + sentSize(values[column]);
    }
    if (printed.bytes + size > room) break;
    printed.bytes += size;
    printed.textBytes += printedSize;
    if (reply == nullptr) continue;
    *reply += first ? "\n    [" : ",\n    [";
    for (std::size_t column = 0; column < values.size(); ++column) {
      *reply += column == 0 ? "\n      " : ",\n      ";
      // Most cells of a wide row are gaps.
      if (values[column].empty()) {
        *reply += "\"\"";
        continue;
      }
      cell.get_ref<std::string&>().assign(values[column]);
      // The parser let only UTF-8 through, so nothing is ever replaced.
      *reply += cell.dump(-1, ' ', false, json::error_handler_t::replace);
    }
    *reply += values.empty() ? "]" : "\n    ]";
  }
  return printed;
}

// What the row limit left out, said as a listing cut at its limit says it: "Only the first 100
// rows are listed; 3 rows after them holding data were left out. To see them, ask for a higher
// limit (max_rows)". It counts the rows listed, which are fewer than the limit where the sheet
// has no rows left in its range. `atLeast`: the rows were counted only that far.
std::string rowLimitNote(std::size_t listed, std::size_t pastLimit, bool atLeast) {
  const bool oneListed = listed == 1;
  const bool oneLeft = pastLimit == 1 && !atLeast;
  return "Only the first " + (oneListed ? "row is" : std::to_string(listed) + " rows are") +
         " listed; " + (atLeast ? "at least " : "") + std::to_string(pastLimit) +
         (oneLeft ? " row after " : " rows after ") + (oneListed ? "it" : "them") +
         " holding data " + (oneLeft ? "was" : "were") + " left out. To see " +
         (oneLeft ? "it" : "them") + ", ask for a higher limit (max_rows)";
}

// The reply's text, written straight from the rows read: a whole sheet would be hundreds of
// thousands of strings, and a tree of them would cost several times what the text does. Its
// members come in the order of the tool's description: the sheet, the sheet names, the rows,
// their count and, when the limits left rows out, a note saying how many.
ToolResult readXlsxNative(const std::string& path, const RegularFile& file,
                          const std::string& sheetName, std::int64_t maxRows) {
  auto parts = readParts(file);
  if (!parts) {
    return fail(ToolError::executionFailed(kCannotUnzipPrefix + path + kCannotUnzipSuffix));
  }
  const auto sheet =
      resolveSheet(std::move(parts->workbook), std::move(parts->relationships), sheetName);
  const std::string member = sheet.member.value_or(std::string(kDefaultWorksheet));
  if (!parts->worksheets.contains(member)) {
    return fail(ToolError::executionFailed(kSheetNotFound));
  }
  const bool requestedListed = !sheetName.empty() && listed(sheet.names, sheetName);
  const std::string reported = requestedListed       ? sheetName
                               : sheet.names.empty() ? kDefaultSheetName
                                                     : sheet.names.front();
  // A sheet asked for that is not there is read from the first one, and the reply says so.
  std::vector<std::string> notes;
  if (!sheetName.empty() && !requestedListed) {
    notes.push_back(kNoSheetNamed + sheetName + kReadSheetInstead + reported + "'");
  }

  const json head = {{"sheet", reported}, {"sheets", sheet.names}};
  std::string reply;
  try {
    reply = head.dump(2);
  } catch (const json::exception&) {
    return ToolResponse::printed(head);  // a name that is not UTF-8: the error that says so
  }
  reply.resize(reply.size() - 2);  // the closing "\n}"
  reply += ",\n  \"rows\": [";
  const std::size_t room =
      kMaxReplyBytes - std::min(kMaxReplyBytes, sentSize(reply) + kReplyTailBytes);
  std::size_t count = 0;
  std::size_t leftOut = 0;
  std::size_t pastLimit = 0;  // rows holding data after the last one asked for
  bool pastLimitCounted = true;
  {
    auto read = WorksheetStream::readRows(blocksOf(file, member), maxRows,
                                          {room, kReplyRowBytes, kReplyCellBytes});
    if (!read) return fail(ToolError::executionFailed(kCannotReadWorksheet));
    if (parts->hasSharedStrings &&
        !WorksheetStream::fillSharedStrings(blocksOf(file, std::string(kSharedStringsMember)),
                                            *read, room)) {
      return fail(ToolError::executionFailed(kCannotUnzipPrefix + path + kCannotUnzipSuffix));
    }
    const PrintedRows fitting = printRows(*read, room, nullptr);
    reply.reserve(reply.size() + fitting.textBytes + kReplyTailBytes);
    count = printRows(*read, room, &reply).count;
    leftOut = read->rowsSeen - count;
    pastLimit = read->dataRowsPastLimit;
    pastLimitCounted = read->pastLimitCounted;
  }
  reply += count == 0 ? "]" : "\n  ]";
  reply += ",\n  \"count\": " + std::to_string(count);
  if (leftOut > 0 || pastLimit > 0) reply += ",\n  \"truncated\": true";
  if (leftOut > 0) notes.push_back(kRowsLeftOut + std::to_string(leftOut));
  if (pastLimit > 0) notes.push_back(rowLimitNote(count, pastLimit, !pastLimitCounted));
  if (!notes.empty()) reply += ",\n  \"note\": " + json(Strings::joined(notes, ". ")).dump();
  reply += "\n}";
  return ToolResponse::text(reply);
}

bool isArchiveFailure(const ToolError& error) {
  const std::string reason = error.description();
  return reason.find("not a valid") != std::string::npos ||
         reason.find("Cannot unzip") != std::string::npos ||
         reason.find("timed out") != std::string::npos;
}

// ---- Writing ----

// A cell of excel_create's rows as the script receives it. Text, numbers and true or false keep
// their JSON type, which the script writes as the cell's type, so a spreadsheet sums the numbers
// and text that only looks like a number ("007") stays as written; null is an empty cell, and a
// list or an object its compact JSON text, so every cell keeps its column.
json cellArgument(const JSONValue& cell) {
  if (cell.asArray() != nullptr || cell.asObject() != nullptr) return cell.rawValue().dump();
  return cell.rawValue();
}

const JSONValue::Array* arrayArgument(std::string_view name, const Params::Arguments& arguments) {
  const JSONValue* value = arguments ? (*arguments)[name] : nullptr;
  return value ? value->asArray() : nullptr;
}

ToolResult scriptResult(Result<json, ToolError> ran) {
  if (!ran) return fail(ran.error());
  const auto value = JSONValue::fromRaw(ran.value());
  return ToolResponse::json(value.value_or(JSONValue()));
}

// A sheet named for a write must be one the workbook has: the cells of another sheet are not the
// caller's to overwrite. Where the names cannot be read here, the script refuses the same way.
std::optional<ToolError> unknownSheet(const std::optional<RegularFile>& workbook,
                                      const std::string& sheetName) {
  if (sheetName.empty() || !workbook) return std::nullopt;
  const auto names = sheetNames(*workbook);
  if (!names || listed(*names, sheetName)) return std::nullopt;
  return ToolError::invalidParam("sheet_name", kOneOfTheSheets + Strings::joined(*names, ", "));
}

// A cell no sheet can hold is refused here, by name, the row first: openpyxl would answer with a
// traceback.
std::optional<ToolError> outsideTheSheet(std::int64_t row, std::int64_t column) {
  if (row < 1) return ToolError::invalidParam("row", kPositiveInteger);
  if (row > std::int64_t{kLastRow}) return ToolError::invalidParam("row", kUpToLastRow);
  if (column < 1) return ToolError::invalidParam("column", kPositiveInteger);
  if (column > kLastColumn + 1) return ToolError::invalidParam("column", kUpToLastColumn);
  return std::nullopt;
}

ToolResult createXlsx(const std::string& path, const OfficeServices::DocumentTarget& target,
                      const json& headers, const json& rows) {
  return scriptResult(OfficeServices::runSavingScript(std::string(kScriptStart) + kCreateScript,
                                                      path, target, {headers.dump(), rows.dump()},
                                                      std::nullopt));
}

}  // namespace

int columnIndex(std::string_view reference) {
  int column = 0;
  std::size_t letters = 0;
  for (const char c : reference) {
    const bool upper = c >= 'A' && c <= 'Z';
    if (!upper && !(c >= 'a' && c <= 'z')) break;
    ++letters;
    // Stops growing once past the last column, so no length of reference can overflow.
    if (column <= kLastColumn + 1) column = column * 26 + (upper ? c - 'A' : c - 'a') + 1;
  }
  if (letters == 0) return -1;
  return column - 1 > kLastColumn ? kLastColumn + 1 : column - 1;
}

ToolResult readXlsx(const std::string& path, const std::string& sheetName, std::int64_t maxRows,
                    bool retryAfterDownload, const PlaceholderPolling& polling) {
  const auto file = OfficeServices::openDocument(path, polling, !retryAfterDownload);
  if (!file) return fail(file.error());
  const bool cloud = OfficeServices::isCloudPath(path);
  const auto header = OfficeServices::readFileHeaderWithTimeout(
      file.value(), path, OfficeServices::kHeaderBytes, OfficeServices::kHeaderSeconds);
  if (!OfficeServices::hasZipMagic(header)) {
    if (!cloud || retryAfterDownload) {
      return fail(ToolError::executionFailed(kXlsxHeaderPrefix + path + kXlsxHeaderSuffix));
    }
    Logger::info(kCategory, kExcelZipMagicMissing + path);
    OfficeServices::forceCloudPlaceholderDownload(path, polling);
    return readXlsx(path, sheetName, maxRows, true, polling);
  }
  auto result = readXlsxNative(path, file.value(), sheetName, maxRows);
  if (result) return result;
  if (retryAfterDownload) return fail(ToolError::executionFailed(kStillUnreadableAfterDownload));
  if (!cloud || !isArchiveFailure(result.error())) return result;
  Logger::info(kCategory, kExcelBadZipForcing + path);
  OfficeServices::forceCloudPlaceholderDownload(path, polling);
  return readXlsx(path, sheetName, maxRows, true, polling);
}

ToolResult readExcel(const Params::Arguments& arguments) {
  return Params::withRequired("path", arguments, [&](const std::string& path) {
    return readXlsx(path, Params::optional("sheet_name", arguments, ""),
                    Params::optionalInt("max_rows", arguments, kDefaultRowLimit), false);
  });
}

ToolResult createExcel(const Params::Arguments& arguments) {
  if (auto path = Params::require("path", arguments); !path) return fail(path.error());
  json headers = json::array();
  if (const JSONValue::Array* given = arrayArgument("headers", arguments)) {
    for (const auto& header : *given) {
      if (auto text = header.asString()) headers.push_back(*text);
    }
  }
  if (headers.empty()) return fail(ToolError::missingParam("headers"));
  const std::string path = Params::optional("path", arguments, "");
  const auto target = OfficeServices::documentTarget(path, OfficeServices::kExcelWorkbook);
  if (!target) return fail(target.error());

  json rows = json::array();
  if (const JSONValue::Array* list = arrayArgument("rows", arguments)) {
    for (const auto& element : *list) {
      const JSONValue::Array* cells = element.asArray();
      if (cells == nullptr) continue;
      json& row = rows.emplace_back(json::array());
      for (const auto& cell : *cells) row.push_back(cellArgument(cell));
    }
  }

  if (!Params::optionalBool("confirm", arguments, false)) {
    std::string joined;
    for (const auto& header : headers) {
      if (!joined.empty()) joined += ", ";
      joined += header.get<std::string>();
    }
    return ToolResponse::text(kExcelPreviewHead + path + kExcelPreviewHeaders + joined +
                              kExcelPreviewRows + std::to_string(rows.size()) +
                              (target.value().exists() ? kReplacesExisting : "") +
                              kPreviewCreateTail);
  }
  return createXlsx(path, target.value(), headers, rows);
}

ToolResult writeCell(const Params::Arguments& arguments) {
  return Params::withRequired2(
      "path", "value", arguments,
      [&](const std::string& path, const std::string& value) -> ToolResult {
        const std::string sheetName = Params::optional("sheet_name", arguments, "");
        const std::int64_t row = Params::optionalInt("row", arguments, 0);
        const std::int64_t column = Params::optionalInt("column", arguments, 0);
        if (auto refusal = outsideTheSheet(row, column)) return fail(*refusal);
        const auto target = OfficeServices::documentTarget(path, OfficeServices::kExcelWorkbook);
        if (!target) return fail(target.error());
        const auto& workbook = target.value().existing;
        if (auto refusal = unknownSheet(workbook, sheetName)) return fail(*refusal);
        if (!Params::optionalBool("confirm", arguments, false)) {
          return ToolResponse::text(kCellPreviewHead + value + kCellPreviewRow +
                                    std::to_string(row) + kCellPreviewColumn +
                                    std::to_string(column) + kCellPreviewPath + path +
                                    kCellPreviewTail);
        }
        if (!workbook) return fail(ToolError::resourceNotFound(path));
        auto original = workbook->readAll();
        if (!original) {
          return fail(
              ToolError::executionFailed(kCannotReadPrefix + path + ": " + original.error()));
        }
        return scriptResult(OfficeServices::runSavingScript(
            std::string(kScriptStart) + kWriteCellScript, path, target.value(),
            {sheetName, std::to_string(row), std::to_string(column), value},
            std::move(original).value()));
      });
}

}  // namespace tvrn::ExcelWorkbooks
