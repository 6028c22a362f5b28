// What the document-tool tests share: calling a document tool, and looking
// inside a written package with Python's own zipfile module.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "core/JSONValue.h"
#include "core/ToolDefinition.h"
#include "core/ToolRegistry.h"
#include "platform/Subprocess.h"
#include "support/ToolCall.h"
#include "tools/office/OfficeTools.h"

namespace tvrn::test {

inline ToolResult callOfficeTool(const std::string& tool, const nlohmann::json& arguments) {
  static ToolRegistry* registry = [] {
    auto* made = new ToolRegistry();
    OfficeTools::registerTools(*made);
    return made;
  }();
  return callTool(*registry, tool, arguments);
}
inline std::string callOffice(const std::string& tool, const nlohmann::json& arguments) {
  return textOf(callOfficeTool(tool, arguments));
}

// The JSON a document tool answered, or its text ("failed: " and the error) when it is not JSON.
inline nlohmann::json jsonOrText(const ToolResult& result) {
  const std::string text = textOf(result);
  nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
  return parsed.is_discarded() ? nlohmann::json(text) : parsed;
}
inline nlohmann::json callOfficeJson(const std::string& tool, const nlohmann::json& arguments) {
  return jsonOrText(callOfficeTool(tool, arguments));
}

// What python3's zipfile sees in the package: "names" (the members in order) and "body" (the
// body's children of document.xml, each {"tag": local name, "text": its text, "inner": how many
// section-properties elements it holds}); nothing when Python cannot read it.
inline std::optional<nlohmann::json> inspectDocx(const std::filesystem::path& file) {
  static constexpr const char* kScript = R"(
import json, sys, zipfile
import xml.etree.ElementTree as ET
W = '{http://schemas.openxmlformats.org/wordprocessingml/2006/main}'
with zipfile.ZipFile(sys.argv[1]) as z:
    names = z.namelist()
    root = ET.fromstring(z.read('word/document.xml'))
body = root.find(W + 'body')
children = [{'tag': c.tag.split('}')[-1], 'text': ''.join(c.itertext()),
             'inner': len(c.findall('.//' + W + 'sectPr'))} for c in body]
print(json.dumps({'names': names, 'body': children}))
)";
  SpawnOptions spawn({"python3", "-c", kScript, file.string()});
  spawn.searchPath = true;
  const auto done = Subprocess::run(spawn);
  if (!done.launched || done.exit.status != 0) return std::nullopt;
  auto parsed = nlohmann::json::parse(done.standardOutput, nullptr, false);
  if (parsed.is_discarded()) return std::nullopt;
  return parsed;
}

}  // namespace tvrn::test
