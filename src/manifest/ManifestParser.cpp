#include "manifest/ManifestParser.h"

#include <expat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/Utf8.h"
#include "core/Logger.h"
#include "manifest/ManifestBuilders.h"
#include "manifest/ManifestParserTexts.h"

namespace tvrn {

namespace {

namespace Texts = ManifestParserTexts;

// The parse's state: what the document has said so far, and the elements still open.
class ManifestParserDelegate {
 public:
  explicit ManifestParserDelegate(XML_Parser parser) : parser_(parser) { collected.version = 1; }

  void didStartElement(std::string name, const XmlAttributes& attributes);
  void foundCharacters(std::string_view characters) {
    if (!stopped_) textBuffer.append(characters);
  }
  void didEndElement(std::string_view name);

  std::optional<Manifest> result;
  std::optional<std::string> errorMessage;

 private:
  // The name of the element enclosing the innermost open one; empty at the root.
  std::string_view parentName() const {
    return elementStack.size() < 2 ? std::string_view() : elementStack[elementStack.size() - 2];
  }
  BehaviorBuilder* innermostBehavior() {
    return behaviorStack.empty() ? nullptr : &behaviorStack.back();
  }
  void startRootOrContainerChild(std::string_view name, const XmlAttributes& attributes);
  void endBehavior(std::string_view text);
  void setBehaviorField(std::string_view name, std::string text);

  XML_Parser parser_;
  // Set when the parse is abandoned; expat may still deliver an event or two after that.
  bool stopped_ = false;
  // What the document has said so far; it becomes the result when the manifest element ends.
  Manifest collected;
  std::optional<ServiceMDBuilder> currentServiceMD;
  std::optional<ToolBuilder> currentTool;
  std::vector<std::string> elementStack;
  std::string textBuffer;
  std::vector<BehaviorBuilder> behaviorStack;
  std::optional<BannerBuilder> currentBanner;
};

void ManifestParserDelegate::didStartElement(std::string name, const XmlAttributes& attributes) {
  if (stopped_) return;
  if (elementStack.size() >= ManifestParser::kMaxDepth) {
    errorMessage = Texts::nestedTooDeep(ManifestParser::kMaxDepth);
    stopped_ = true;
    XML_StopParser(parser_, XML_FALSE);
    return;
  }
  textBuffer.clear();
  elementStack.push_back(std::move(name));
  const std::string& element = elementStack.back();
  BehaviorBuilder* behavior = innermostBehavior();

  if (element == "tool") {
    currentTool.emplace(attributes);
  } else if (element == "param") {
    if (currentTool) currentTool->addParam(attributes);
  } else if (element == "requires_tcc") {
    if (currentTool) currentTool->addTCC(attributes);
  } else if (element == "tag") {
    if (currentTool) currentTool->addTelemetryTag(attributes);
  } else if (element == "telemetry") {
    if (currentTool) currentTool->telemetryEvent = attributeOr(attributes, "event");
  } else if (element == "behavior") {
    behaviorStack.emplace_back(attributeOr(attributes, "type"), attributes);
  } else if (element == "step") {
    if (behavior) {
      behavior->steps.push_back(
          ComposeStep{attributeOr(attributes, "tool"), attributeOr(attributes, "params", "{}")});
    }
  } else if (element == "header") {
    if (behavior) {
      behavior->headers.emplace_back(attributeOr(attributes, "name"),
                                     attributeOr(attributes, "value"));
    }
  } else if (element == "if") {
    if (behavior) behavior->condition = attributeOr(attributes, "condition");
  } else if (element == "banner") {
    currentBanner.emplace(attributes);
  } else if (element == "action") {
    if (currentBanner) {
      currentBanner->banner.action =
          UIBannerAction{attributeOr(attributes, "type"), attribute(attributes, "pane")};
    }
  } else if (element == "setup") {
    if (currentServiceMD) currentServiceMD->entry.setupTitle = attribute(attributes, "title");
  } else {
    startRootOrContainerChild(element, attributes);
  }
}

// The root, and the elements that count only where the document places them: pages anywhere,
// the rest directly inside their container.
void ManifestParserDelegate::startRootOrContainerChild(std::string_view name,
                                                       const XmlAttributes& attributes) {
  const std::string_view parent = parentName();
  if (name == "manifest") {
    collected.version = parseManifestInt(attributeOr(attributes, "version")).value_or(1);
    collected.tvrnVersion = attributeOr(attributes, "tvrn_version");
    collected.published = attributeOr(attributes, "published");
    collected.signature = attributeOr(attributes, "signature");
  } else if (name == "capability") {
    collected.capabilities.push_back(
        CapabilitySpec{attributeOr(attributes, "type"), attributeOr(attributes, "min_engine")});
  } else if (name == "page") {
    auto pageName = attribute(attributes, "name");
    auto src = attribute(attributes, "src");
    if (pageName && src && !src->empty()) collected.uiPages.push_back(UIPage{*pageName, *src});
  } else if (name == "set" && parent == "config") {
    auto key = attribute(attributes, "key");
    auto value = attribute(attributes, "value");
    if (key && value) collected.remoteConfig.entries[*key] = *value;
  } else if (name == "client" && parent == "ai_clients") {
    const std::string detect = attributeOr(attributes, "detect");
    collected.aiClients.push_back(AIClientEntry{
        .id = attributeOr(attributes, "id"),
        .name = attributeOr(attributes, "name"),
        .cfgPath = attributeOr(attributes, "cfg"),
        .cfgSchema = attributeOr(attributes, "schema", "mcpServers"),
        .detectPaths = detect.empty() ? std::vector<std::string>() : splitList(detect),
        .cloudNote = attribute(attributes, "cloud_note"),
    });
  } else if (name == "service" && parent == "services") {
    currentServiceMD.emplace(attributes);
  } else if (name == "disabled" && parent == "disabled_tools") {
    auto toolName = attribute(attributes, "name");
    if (toolName && !toolName->empty()) collected.disabledTools.push_back(*toolName);
  }
}

void ManifestParserDelegate::didEndElement(std::string_view name) {
  if (stopped_) return;
  std::string text(Utf8::trim(textBuffer, Utf8::isWhiteSpace));
  const std::string_view parent = parentName();

  if (name == "tool") {
    if (currentTool) {
      if (auto tool = currentTool->build()) collected.tools.push_back(std::move(*tool));
    }
    currentTool.reset();
  } else if (name == "description") {
    if (currentTool) currentTool->description = std::move(text);
  } else if (name == "preview_template") {
    if (currentTool) currentTool->previewTemplate = std::move(text);
  } else if (name == "behavior") {
    endBehavior(text);
  } else if (name == "text") {
    if (parent == "else" && innermostBehavior()) innermostBehavior()->elseText = std::move(text);
  } else if (name == "title") {
    if (currentBanner) currentBanner->banner.title = std::move(text);
  } else if (name == "body") {
    if (currentBanner) currentBanner->banner.body = std::move(text);
  } else if (name == "banner") {
    if (currentBanner) collected.uiBanners.push_back(currentBanner->build());
    currentBanner.reset();
  } else if (name == "step") {
    if (currentServiceMD && parent == "setup" && !text.empty()) {
      currentServiceMD->entry.setupSteps.push_back(std::move(text));
    }
  } else if (name == "service") {
    if (currentServiceMD) collected.servicesMeta.push_back(currentServiceMD->build());
    currentServiceMD.reset();
  } else if (name == "manifest") {
    result = collected;
  } else {
    setBehaviorField(name, std::move(text));
  }

  if (!elementStack.empty() && elementStack.back() == name) elementStack.pop_back();
  textBuffer.clear();
}

void ManifestParserDelegate::endBehavior(std::string_view text) {
  if (behaviorStack.empty()) return;
  // The behaviour's own text is its script, over any script child.
  if (!text.empty()) behaviorStack.back().script = std::string(text);
  BehaviorBuilder ended = std::move(behaviorStack.back());
  behaviorStack.pop_back();
  if (!behaviorStack.empty()) {
    // The wrapper directly around the ending behaviour names its slot in the enclosing one.
    behaviorStack.back().setNestedBehavior(ended.build(), parentName());
  } else if (currentTool) {
    currentTool->behavior = ended.build();
  }
}

// Sets the innermost open behaviour's field that the element names, if it names one.
void ManifestParserDelegate::setBehaviorField(std::string_view name, std::string text) {
  static const std::pair<std::string_view, std::string BehaviorBuilder::*> kTextFields[] = {
      {"script", &BehaviorBuilder::script},
      {"method", &BehaviorBuilder::method},
      {"handler", &BehaviorBuilder::handler},
      {"base_url", &BehaviorBuilder::baseURL},
      {"path", &BehaviorBuilder::path},
      {"url", &BehaviorBuilder::url},
      {"db_path", &BehaviorBuilder::dbPath},
      {"query", &BehaviorBuilder::query},
      {"operation", &BehaviorBuilder::operation},
      {"on_partial_failure", &BehaviorBuilder::onPartialFailure},
  };
  BehaviorBuilder* behavior = innermostBehavior();
  if (!behavior) return;
  if (name == "key_path") {
    behavior->keyPath = std::move(text);
  } else if (name == "timeout_ms") {
    behavior->remoteTimeoutMs = parseManifestInt(text).value_or(5000);
  } else {
    for (const auto& [element, field] : kTextFields) {
      if (element == name) behavior->*field = std::move(text);
    }
  }
}

ManifestParserDelegate& delegateOf(void* userData) {
  return *static_cast<ManifestParserDelegate*>(userData);
}

void onStartElement(void* userData, const XML_Char* name, const XML_Char** attributes) {
  delegateOf(userData).didStartElement(name, XmlAttributes(attributes));
}

void onEndElement(void* userData, const XML_Char* name) {
  delegateOf(userData).didEndElement(name);
}

// CDATA sections arrive here too, already checked as UTF-8 by expat.
void onCharacters(void* userData, const XML_Char* characters, int length) {
  delegateOf(userData).foundCharacters(
      std::string_view(characters, static_cast<std::size_t>(length)));
}

std::string describeError(XML_Parser parser) {
  return std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
         std::to_string(XML_GetCurrentLineNumber(parser)) + ", column " +
         std::to_string(XML_GetCurrentColumnNumber(parser));
}

// Hands the whole document to expat, in pieces small enough for its int lengths.
bool feed(XML_Parser parser, std::string_view bytes) {
  constexpr std::size_t kChunk = 1 << 20;
  do {
    const std::size_t size = std::min(bytes.size(), kChunk);
    const bool last = size == bytes.size();
    if (XML_Parse(parser, bytes.data(), static_cast<int>(size), last) != XML_STATUS_OK) {
      return false;
    }
    bytes.remove_prefix(size);
  } while (!bytes.empty());
  return true;
}

}  // namespace

std::optional<Manifest> ManifestParser::parse(std::string_view bytes) {
  // No namespace processing: "a:tool" is an element of that whole name, which nothing matches.
  // No external entity handler is set, so nothing outside the document is ever read.
  std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate(nullptr),
                                                                      &XML_ParserFree);
  std::optional<std::string> errorMessage;
  if (parser) {
    ManifestParserDelegate state(parser.get());
    XML_SetUserData(parser.get(), &state);
    XML_SetElementHandler(parser.get(), onStartElement, onEndElement);
    XML_SetCharacterDataHandler(parser.get(), onCharacters);
    const bool parsed = feed(parser.get(), bytes);
    if (parsed && state.result) return std::move(state.result);
    errorMessage = state.errorMessage;
    if (!parsed && !errorMessage) errorMessage = describeError(parser.get());
  }
  Logger::warn(Texts::kLogCategory, std::string(Texts::kParseFailed) +
                                        errorMessage.value_or(std::string(Texts::kNoErrorText)));
  return std::nullopt;
}

}  // namespace tvrn
