#include "tools/office/PowerPointDecks.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <tuple>
#include <vector>

#include "base/Utf8.h"
#include "core/ToolResponse.h"
#include "platform/ZipArchive.h"
#include "tools/office/OfficeServices.h"
#include "tools/office/OfficeTexts.h"
#include "tools/office/PptxWriter.h"

namespace tvrn::PowerPointDecks {
namespace {

using namespace OfficeTexts;

constexpr std::string_view kSlideFolder = "ppt/slides/";
constexpr std::string_view kSlideExtension = ".xml";

// A slide part directly in the slides folder (its relationships lie one folder deeper).
bool isSlideMember(std::string_view name) {
  if (!name.starts_with(kSlideFolder) || !name.ends_with(kSlideExtension)) return false;
  const auto file = name.substr(kSlideFolder.size());
  return file.size() > kSlideExtension.size() && file.find('/') == std::string_view::npos;
}

// The N of "slideN.xml" without its leading zeros; nothing for any other name.
std::optional<std::string_view> slideNumber(std::string_view file) {
  constexpr std::string_view kPrefix = "slide";
  if (!file.starts_with(kPrefix)) return std::nullopt;
  auto digits = file.substr(kPrefix.size(), file.size() - kPrefix.size() - kSlideExtension.size());
  if (digits.empty() ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  return digits;
}

// slideN.xml by N, however many digits N has, then every other name by name.
bool comesBefore(const ZipArchive::Member& left, const ZipArchive::Member& right) {
  const auto sortKey = [](const ZipArchive::Member& member) {
    const std::string_view file = std::string_view(member.name).substr(kSlideFolder.size());
    const auto number = slideNumber(file);
    const std::string_view digits = number.value_or("");
    return std::make_tuple(!number.has_value(), digits.size(), digits, file);
  };
  return sortKey(left) < sortKey(right);
}

ToolResult createPptx(const std::string& path, const OfficeServices::DocumentTarget& target,
                      const std::vector<PptxWriter::Slide>& slides) {
  const auto cannotWrite = [&](const std::string& reason) {
    return fail(ToolError::executionFailed(kCannotWritePptx + path + kReasonSeparator + reason));
  };
  const auto bytes = PptxWriter::package(slides);
  if (!bytes) return cannotWrite(bytes.error());
  if (auto written = OfficeServices::writeDocument(target, bytes.value()); !written) {
    return cannotWrite(written.error());
  }
  return ToolResponse::json(JSONValue::Object{
      {"created", true}, {"path", path}, {"slides", static_cast<std::int64_t>(slides.size())}});
}

std::vector<PptxWriter::Slide> parseSlides(const JSONValue::Array& given) {
  std::vector<PptxWriter::Slide> slides;
  for (const auto& element : given) {
    const JSONValue* title = element["title"];
    if (title == nullptr || !title->asString()) continue;
    auto& slide = slides.emplace_back(PptxWriter::Slide{*title->asString(), {}});
    const JSONValue* bullets = element["bullets"];
    if (const JSONValue::Array* list = bullets ? bullets->asArray() : nullptr) {
      for (const auto& bullet : *list) {
        if (auto text = bullet.asString()) slide.bullets.push_back(*text);
      }
    }
  }
  return slides;
}

}  // namespace

std::optional<std::string> slideText(std::string_view xml) {
  const auto tagsAsSpaces = [](std::string_view, std::string_view) {
    return OfficeServices::TagText{" ", " "};
  };
  const auto text = OfficeServices::textOfXml(xml, tagsAsSpaces);
  if (!text) return std::nullopt;
  const std::string& spaced = *text;
  std::string collapsed;
  std::size_t at = 0;
  bool pendingSpace = false;
  while (at < spaced.size()) {
    if (const std::size_t space = Params::spaceLengthAt(spaced, at); space > 0) {
      pendingSpace = true;
      at += space;
      continue;
    }
    if (pendingSpace && !collapsed.empty()) collapsed += ' ';
    pendingSpace = false;
    collapsed += spaced[at++];
  }
  return std::string(Utf8::trim(collapsed, Utf8::isWhiteSpace));
}

ToolResult readPptx(const std::string& path) {
  const auto file = OfficeServices::openDocument(path);
  if (!file) return fail(file.error());
  auto members = ZipArchive::readMembers(file.value(), isSlideMember);
  std::string reason;
  if (!members) {
    reason = members.error();
  } else if (members.value().empty()) {
    reason = kNoSlidesInArchive;
  }
  if (!reason.empty()) {
    return fail(ToolError::executionFailed(kCannotReadPptx + path + kReasonSeparator + reason));
  }
  auto& slides = members.value();
  std::sort(slides.begin(), slides.end(), comesBefore);
  JSONValue::Array objects;
  for (std::size_t i = 0; i < slides.size(); ++i) {
    // A part that is not UTF-8, or not XML, is left out; the others keep their numbers.
    const auto text = Utf8::isValid(slides[i].bytes) ? slideText(slides[i].bytes) : std::nullopt;
    if (!text) continue;
    objects.emplace_back(
        JSONValue::Object{{"slide", static_cast<std::int64_t>(i + 1)}, {"text", *text}});
  }
  const auto count = static_cast<std::int64_t>(objects.size());
  return ToolResponse::json(JSONValue::Object{{"slides", std::move(objects)}, {"count", count}});
}

ToolResult readPowerPoint(const Params::Arguments& arguments) {
  return Params::withRequired("path", arguments, readPptx);
}

ToolResult createPowerPoint(const Params::Arguments& arguments) {
  if (auto path = Params::require("path", arguments); !path) return fail(path.error());
  const JSONValue* given = (*arguments)["slides"];
  const JSONValue::Array* list = given ? given->asArray() : nullptr;
  if (list == nullptr || list->empty()) return fail(ToolError::missingParam("slides"));
  const std::string path = Params::optional("path", arguments, "");
  const auto target = OfficeServices::documentTarget(path, OfficeServices::kPowerPointDeck);
  if (!target) return fail(target.error());
  const auto slides = parseSlides(*list);

  if (!Params::optionalBool("confirm", arguments, false)) {
    std::string titles;
    for (const auto& slide : slides) {
      if (&slide != &slides.front()) titles += ", ";
      titles += slide.title;
    }
    return ToolResponse::text(
        kPptPreviewHead + path + kPptPreviewSlides + std::to_string(slides.size()) + " (" + titles +
        ")" + (target.value().exists() ? kReplacesExisting : "") + kPreviewCreateTail);
  }
  return createPptx(path, target.value(), slides);
}

}  // namespace tvrn::PowerPointDecks
