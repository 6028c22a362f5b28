#include "tools/office/OfficeTools.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "base/Utf8.h"
#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "platform/PdfText.h"
#include "tools/office/ExcelWorkbooks.h"
#include "tools/office/OfficeServices.h"
#include "tools/office/OfficeTexts.h"
#include "tools/office/PowerPointDecks.h"
#include "tools/office/WordDocuments.h"

namespace tvrn::OfficeTools {
namespace {

using namespace OfficeTexts;
using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;

constexpr std::int64_t kDefaultPageLimit = 50;
constexpr std::size_t kTextLimitBytes = 99999;

ToolResult readPDF(const Params::Arguments& arguments) {
  return Params::withRequired("path", arguments, [&](const std::string& path) {
    return extractPDFText(path, Params::optionalInt("max_pages", arguments, 0));
  });
}

}  // namespace

ToolResult extractPDFText(const std::string& path, std::int64_t maxPages) {
  const auto file = OfficeServices::openDocument(path);
  if (!file) return fail(file.error());
  const auto pdf = PdfText::open(file.value());
  if (!pdf) {
    return fail(ToolError::executionFailed(kPdfCannotOpenPrefix + path + kPdfCannotOpenSuffix));
  }
  const std::int64_t pages = pdf->pageCount();
  if (pages < 1) return ToolResponse::text(kPdfEmpty);

  const std::int64_t limit = maxPages > 0 ? maxPages : kDefaultPageLimit;
  const std::int64_t toVisit = std::min(limit, pages);
  std::string text;
  std::int64_t visited = 0;
  bool cutShort = false;
  while (visited < toVisit && !cutShort) {
    if (auto page = pdf->pageText(static_cast<int>(visited)); page && !page->empty()) {
      text += "\n\n";
      text += *page;
    }
    ++visited;
    cutShort = text.size() > kTextLimitBytes;
  }

  std::string reply = "PDF: " + std::to_string(pages) + " page" + (pages == 1 ? "" : "s");
  if (cutShort || limit < pages) {
    reply += " (showing " + std::to_string(visited) + " of " + std::to_string(pages) + ")";
  }
  reply += "\n---\n";
  reply += Utf8::trim(text, Utf8::isWhiteSpace);
  return ToolResponse::text(reply);
}

void registerTools(ToolRegistry& registry) {
  ToolRegistry::ServiceScope scope(registry, "office");
  registry.registerTool(
      {"pdf_read", kPdfReadDescription,
       schema({{"path", ToolSchema::path("Absolute path to the PDF file")},
               {"max_pages", property("integer", "Max pages to extract (default: all)")}},
              json::array({"path"})),
       ToolKind::readOnly, readPDF});
  registry.registerTool({"word_read", kWordReadDescription,
                         schema({{"path", ToolSchema::path("Absolute path to the .docx file")}},
                                json::array({"path"})),
                         ToolKind::readOnly, WordDocuments::readWord});
  registry.registerTool({"word_create", kWordCreateDescription,
                         schema({{"path", ToolSchema::path("Output path for the .docx file")},
                                 {"title", property("string", "Document title (optional)")},
                                 {"content", property("string", "Document text content")},
                                 {"confirm", property("boolean", "Must be true to create")}},
                                json::array({"path", "content"})),
                         ToolKind::write, WordDocuments::createWord});
  registry.registerTool({"word_append", kWordAppendDescription,
                         schema({{"path", ToolSchema::path("Path to the existing .docx file")},
                                 {"content", property("string", "Text to append")},
                                 {"confirm", property("boolean", "Must be true to modify")}},
                                json::array({"path", "content"})),
                         ToolKind::write, WordDocuments::appendWord});
  registry.registerTool(
      {"excel_read", kExcelReadDescription,
       schema(
           {{"path", ToolSchema::path("Absolute path to the .xlsx file")},
            {"sheet_name", property("string", "Sheet name to read (optional, reads first sheet)")},
            {"max_rows", property("integer", "Max rows to return (default 100)")}},
           json::array({"path"})),
       ToolKind::readOnly, ExcelWorkbooks::readExcel});
  registry.registerTool(
      {"excel_create", kExcelCreateDescription,
       schema({{"path", ToolSchema::path("Output path for the .xlsx file")},
               {"headers", ToolSchema::stringList("Column headers")},
               {"rows", property("array", "Array of row arrays with data (optional)")},
               {"confirm", property("boolean", "Must be true to create")}},
              json::array({"path", "headers"})),
       ToolKind::write, ExcelWorkbooks::createExcel});
  registry.registerTool(
      {"excel_write_cell", kExcelWriteCellDescription,
       schema({{"path", ToolSchema::path("Path to the .xlsx file")},
               {"sheet_name", property("string", "Sheet name (default: first sheet)")},
               {"row", property("integer", "Row number (1-based)")},
               {"column", property("integer", "Column number (1-based)")},
               {"value", property("string", "Value to write")},
               {"confirm", property("boolean", "Must be true to modify")}},
              json::array({"path", "row", "column", "value"})),
       ToolKind::write, ExcelWorkbooks::writeCell});
  registry.registerTool({"ppt_read", kPptReadDescription,
                         schema({{"path", ToolSchema::path("Absolute path to the .pptx file")}},
                                json::array({"path"})),
                         ToolKind::readOnly, PowerPointDecks::readPowerPoint});
  registry.registerTool(
      {"ppt_create", kPptCreateDescription,
       schema({{"path", ToolSchema::path("Output path for the .pptx file")},
               {"slides", property("array", "Array of {title, bullets:[]} slide objects")},
               {"confirm", property("boolean", "Must be true to create")}},
              json::array({"path", "slides"})),
       ToolKind::write, PowerPointDecks::createPowerPoint});
}

}  // namespace tvrn::OfficeTools
