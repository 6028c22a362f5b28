#include "tools/office/WordDocuments.h"

#include <pugixml.hpp>
#include <vector>

#include "base/Utf8.h"
#include "core/Logger.h"
#include "core/ToolResponse.h"
#include "platform/TextConverter.h"
#include "platform/ZipArchive.h"
#include "tools/office/OfficeServices.h"
#include "tools/office/OfficeTexts.h"

namespace tvrn::WordDocuments {
namespace {

using namespace OfficeTexts;
using OfficeServices::localName;

constexpr const char* kDocumentMember = "word/document.xml";
constexpr std::size_t kPreviewCharacters = 200;

constexpr const char* kContentTypes =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">\n"
    "  <Default Extension=\"rels\" "
    "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>\n"
    "  <Default Extension=\"xml\"  ContentType=\"application/xml\"/>\n"
    "  <Override PartName=\"/word/document.xml\" "
    "ContentType=\"application/"
    "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/>\n"
    "</Types>";

constexpr const char* kPackageRelationships =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">\n"
    "  <Relationship Id=\"rId1\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
    "Target=\"word/document.xml\"/>\n"
    "</Relationships>";

constexpr const char* kDocumentRelationships =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">\n"
    "</Relationships>";

constexpr const char* kDocumentHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<w:document "
    "xmlns:wpc=\"http://schemas.microsoft.com/office/word/2010/wordprocessingCanvas\"\n"
    "  xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">\n"
    "<w:body>";
constexpr const char* kDocumentTail = "<w:sectPr/></w:body>\n</w:document>";

std::string trimmed(std::string_view text) {
  return std::string(Utf8::trim(text, Utf8::isWhiteSpace));
}

// One paragraph per line of the content; an empty line gives an empty paragraph.
std::string paragraphsFor(std::string_view content) {
  std::string out;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = content.find('\n', start);
    out += "<w:p><w:r><w:t xml:space=\"preserve\">";
    out += OfficeServices::escapedXml(
        content.substr(start, end == std::string_view::npos ? end : end - start));
    out += "</w:t></w:r></w:p>";
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

std::string documentXml(const std::string& title, const std::string& content) {
  std::string xml = kDocumentHead;
  if (!title.empty()) {
    xml += "<w:p><w:pPr><w:pStyle w:val=\"Heading1\"/></w:pPr><w:r><w:t>";
    xml += OfficeServices::escapedXml(title);
    xml += "</w:t></w:r></w:p>";
  }
  xml += paragraphsFor(content);
  xml += kDocumentTail;
  return xml;
}

ToolResult textResult(const std::string& text) { return ToolResponse::text(text); }

Result<std::string, ToolError> readDocumentXml(const RegularFile& file,
                                               const char* unreadableArchive) {
  auto member = ZipArchive::readMember(file, kDocumentMember);
  if (!member) return fail(ToolError::executionFailed(unreadableArchive));
  if (!Utf8::isValid(member.value()))
    return fail(ToolError::executionFailed(kCannotReadDocumentXml));
  return std::move(member).value();
}

ToolResult readDocxXml(const RegularFile& file) {
  auto xml = readDocumentXml(file, kCannotReadDocx);
  if (!xml) return fail(xml.error());
  const auto text = textOfDocumentXml(xml.value());
  if (!text) return fail(ToolError::executionFailed(kCannotReadDocumentXml));
  return textResult(trimmed(*text));
}

ToolResult convertWithTextConverter(const RegularFile& file, const std::string& path) {
  auto text = TextConverter::toPlainText(file, path);
  if (!text) return fail(ToolError::executionFailed(kConverterFailed + text.error()));
  return textResult(trimmed(text.value()));
}

ToolResult writeDocxZip(const std::string& path, const OfficeServices::DocumentTarget& target,
                        const std::string& documentXML) {
  const std::vector<ZipArchive::Member> members = {
      {"[Content_Types].xml", kContentTypes},
      {"_rels/.rels", kPackageRelationships},
      {"word/_rels/document.xml.rels", kDocumentRelationships},
      {kDocumentMember, documentXML}};
  const auto bytes = ZipArchive::archiveBytes(members);
  if (!bytes) return fail(ToolError::executionFailed(kCannotZip));
  // The document goes into an existing folder only; no folders are made on the caller's behalf,
  // and one that cannot be written into is named as the other writers name it.
  const auto written = OfficeServices::writeDocument(target, bytes.value());
  if (!written && !target.folder) return fail(OfficeServices::cannotWrite(path, written.error()));
  if (!written) return fail(ToolError::executionFailed(kCannotZip));
  return ToolResponse::json(JSONValue::Object{{"created", true}, {"path", path}});
}

ToolResult appendDocx(const std::string& path, const OfficeServices::DocumentTarget& target,
                      const std::string& content) {
  if (!target.exists()) return fail(ToolError::resourceNotFound(path));
  const RegularFile& file = *target.existing;
  auto xml = readDocumentXml(file, kCannotOpenForAppending);
  if (!xml) return fail(xml.error());
  const auto edited = withParagraphsAppended(xml.value(), paragraphsFor(content));
  if (!edited) return fail(ToolError::executionFailed(kCannotReadDocumentXml));
  const auto original = file.readAll();
  if (!original) return fail(ToolError::executionFailed(kCannotWriteBack));
  const auto bytes = ZipArchive::withMemberReplaced(original.value(), {kDocumentMember, *edited});
  if (!bytes || !OfficeServices::writeDocument(target, bytes.value())) {
    return fail(ToolError::executionFailed(kCannotWriteBack));
  }
  return textResult(kAppendedPrefix + std::to_string(Utf8::characterCount(content)) +
                    kAppendedMiddle + path);
}

}  // namespace

std::optional<std::string> textOfDocumentXml(std::string_view xml) {
  return OfficeServices::textOfXml(
      xml, [](std::string_view name, std::string_view parent) -> OfficeServices::TagText {
        if (name == "w:p") return {"", "\n"};
        if (name == "w:br" || name == "w:cr") return {"\n", ""};
        // A tab among a paragraph's properties is a tab stop, not a tab in the text.
        if (name == "w:tab" && parent == "w:r") return {"\t", ""};
        return {};
      });
}

std::optional<std::string> withParagraphsAppended(std::string_view xml,
                                                  std::string_view paragraphs) {
  pugi::xml_document document;
  if (!document.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8)) {
    return std::nullopt;
  }
  pugi::xml_node body;
  for (pugi::xml_node child : document.document_element().children()) {
    if (child.type() == pugi::node_element && localName(child.name()) == "body") body = child;
  }
  if (!body) return std::nullopt;

  // The body's own section properties must stay its last child; those inside paragraph
  // properties mark section breaks and are left alone.
  pugi::xml_node sectionProperties;
  for (pugi::xml_node child : body.children()) {
    if (child.type() == pugi::node_element && localName(child.name()) == "sectPr") {
      sectionProperties = child;
    }
  }
  std::size_t insertAt = std::string_view::npos;
  if (sectionProperties) {
    const std::ptrdiff_t nameOffset = sectionProperties.offset_debug();
    if (nameOffset > 0 && xml[static_cast<std::size_t>(nameOffset) - 1] == '<') {
      insertAt = static_cast<std::size_t>(nameOffset) - 1;
    }
  } else {
    insertAt = xml.rfind("</" + std::string(body.name()) + ">");
  }
  if (insertAt == std::string_view::npos) return std::nullopt;

  std::string out;
  out.reserve(xml.size() + paragraphs.size());
  out.append(xml.substr(0, insertAt)).append(paragraphs).append(xml.substr(insertAt));
  return out;
}

ToolResult readDocx(const std::string& path, bool retryAfterDownload,
                    const PlaceholderPolling& polling) {
  const auto file = OfficeServices::openDocument(path, polling);
  if (!file) return fail(file.error());
  const bool cloud = OfficeServices::isCloudPath(path);
  const auto header = OfficeServices::readFileHeaderWithTimeout(
      file.value(), path, OfficeServices::kHeaderBytes, OfficeServices::kHeaderSeconds);
  if (cloud && !OfficeServices::hasZipMagic(header) && !retryAfterDownload) {
    Logger::info(kCategory, kZipMagicMissing + path);
    OfficeServices::forceCloudPlaceholderDownload(path, polling);
    return readDocx(path, true, polling);
  }
  auto text = readDocxXml(file.value());
  if (text) return text;
  if (retryAfterDownload) return fail(ToolError::executionFailed(kStillUnreadableAfterDownload));
  const std::string reason = text.error().description();
  const bool retryable = reason.find("not a valid") != std::string::npos ||
                         reason.find("timed out") != std::string::npos;
  if (retryable && cloud) {
    Logger::info(kCategory, kBadZipForcing + path);
    OfficeServices::forceCloudPlaceholderDownload(path, polling);
    return readDocx(path, true, polling);
  }
  return convertWithTextConverter(file.value(), path);
}

ToolResult readWord(const Params::Arguments& arguments) {
  return Params::withRequired("path", arguments,
                              [](const std::string& path) { return readDocx(path, false); });
}

ToolResult createWord(const Params::Arguments& arguments) {
  return Params::withRequired2(
      "path", "content", arguments,
      [&](const std::string& path, const std::string& content) -> ToolResult {
        const auto target = OfficeServices::documentTarget(path, OfficeServices::kWordDocument);
        if (!target) return fail(target.error());
        const std::string title = Params::optional("title", arguments, "");
        if (!Params::optionalBool("confirm", arguments, false)) {
          return textResult(
              kCreatePreviewHead + path + kCreatePreviewTitle +
              (title.empty() ? std::string(kCreatePreviewNoTitle) : title) + kCreatePreviewContent +
              Utf8::firstCharacters(content, kPreviewCharacters) + "..." +
              (target.value().exists() ? kReplacesExisting : "") + kPreviewCreateTail);
        }
        return writeDocxZip(path, target.value(), documentXml(title, content));
      });
}

ToolResult appendWord(const Params::Arguments& arguments) {
  return Params::withRequired2(
      "path", "content", arguments,
      [&](const std::string& path, const std::string& content) -> ToolResult {
        const auto target = OfficeServices::documentTarget(path, OfficeServices::kWordDocument);
        if (!target) return fail(target.error());
        if (!Params::optionalBool("confirm", arguments, false)) {
          return textResult(kAppendPreviewHead + path + kAppendPreviewMiddle +
                            Utf8::firstCharacters(content, kPreviewCharacters) +
                            kAppendPreviewTail);
        }
        return appendDocx(path, target.value(), content);
      });
}

}  // namespace tvrn::WordDocuments
