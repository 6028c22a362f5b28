#include "manifest/ManifestBuilders.h"

#include "base/Utf8.h"
#include "core/Logger.h"
#include "manifest/ManifestParserTexts.h"

namespace tvrn {

namespace {

bool flag(const XmlAttributes& attributes, std::string_view name) {
  return attribute(attributes, name) == "true";
}

std::optional<std::int64_t> integer(const XmlAttributes& attributes, std::string_view name) {
  auto value = attribute(attributes, name);
  if (!value) return std::nullopt;
  return parseManifestInt(*value);
}

std::string methodOrGet(const std::string& method) { return method.empty() ? "GET" : method; }

}  // namespace

std::optional<std::string> attribute(const XmlAttributes& attributes, std::string_view name) {
  const auto found = attributes.find(name);
  if (!found) return std::nullopt;
  return std::string(*found);
}

std::string attributeOr(const XmlAttributes& attributes, std::string_view name,
                        std::string_view fallback) {
  return attribute(attributes, name).value_or(std::string(fallback));
}

std::vector<std::string> splitList(std::string_view text) {
  const auto isBlank = [](char32_t c) { return c == U' ' || c == U'\t'; };
  std::vector<std::string> pieces;
  while (true) {
    const std::size_t comma = text.find(',');
    pieces.emplace_back(Utf8::trim(text.substr(0, comma), isBlank));
    if (comma == std::string_view::npos) return pieces;
    text.remove_prefix(comma + 1);
  }
}

ToolBuilder::ToolBuilder(const XmlAttributes& attributes)
    : name(attributeOr(attributes, "name")),
      category(attributeOr(attributes, "category")),
      timeoutMs(integer(attributes, "timeout_ms").value_or(30000)),
      destructive(flag(attributes, "destructive")) {}

void ToolBuilder::addParam(const XmlAttributes& attributes) {
  params.push_back(ParamSpec{
      .name = attributeOr(attributes, "name"),
      .type = fromRaw<ParamType>(attributeOr(attributes, "type")).value_or(ParamType::string),
      .required = flag(attributes, "required"),
      .defaultValue = attribute(attributes, "default"),
      .min = integer(attributes, "min"),
      .max = integer(attributes, "max"),
      .maxLength = integer(attributes, "max_length"),
  });
}

void ToolBuilder::addTCC(const XmlAttributes& attributes) {
  tccReqs.push_back(TCCRequirement{
      .service = attributeOr(attributes, "service"),
      .level = attributeOr(attributes, "level", "full_access"),
      .deniedMessage = attributeOr(attributes, "denied_message", "Permission denied"),
  });
}

void ToolBuilder::addTelemetryTag(const XmlAttributes& attributes) {
  telemetryTags.push_back(TelemetryTag{
      .name = attributeOr(attributes, "name"),
      .value = attribute(attributes, "value"),
      .fromParam = attribute(attributes, "from_param"),
      .redact = flag(attributes, "redact"),
      .transform = attribute(attributes, "transform"),
  });
}

std::optional<ToolSpec> ToolBuilder::build() const {
  if (name.empty() || !behavior) return std::nullopt;
  std::optional<TelemetrySpec> telemetry;
  // Tags without a telemetry element have no event to travel with.
  if (telemetryEvent) telemetry = TelemetrySpec{*telemetryEvent, telemetryTags};
  return ToolSpec{
      .name = name,
      .category = category,
      .timeoutMs = timeoutMs,
      .destructive = destructive,
      .description = description,
      .previewTemplate = previewTemplate,
      .telemetry = std::move(telemetry),
      .params = params,
      .tccRequirements = tccReqs,
      .behavior = *behavior,
  };
}

BehaviorBuilder::BehaviorBuilder(std::string type, const XmlAttributes& attributes)
    : type(std::move(type)), ttlSeconds(integer(attributes, "ttl_seconds").value_or(300)) {}

void BehaviorBuilder::setNestedBehavior(BehaviorSpec behavior, std::string_view slot) {
  if (slot == "then") {
    thenBehavior = std::move(behavior);
  } else if (slot == "else") {
    elseBehavior = std::move(behavior);
  } else {
    innerBehavior = std::move(behavior);
  }
}

BehaviorSpec BehaviorBuilder::build() const {
  using B = BehaviorSpec;
  if (type == "jxa") return B::Jxa{script};
  if (type == "applescript") return B::AppleScript{script};
  if (type == "helper") return B::Helper{method};
  if (type == "http_local") return B::HttpLocal{baseURL, methodOrGet(method), path};
  if (type == "compose") return B::Compose{steps};
  if (type == "native") return B::Native{handler};
  if (type == "parallel") {
    return B::Parallel{
        steps,
        fromRaw<PartialFailurePolicy>(onPartialFailure).value_or(PartialFailurePolicy::abort)};
  }
  if (type == "sqlite") return B::Sqlite{dbPath, query};
  if (type == "conditional") {
    std::optional<BehaviorSpec> elseBranch = elseBehavior;
    if (!elseBranch && elseText) elseBranch = B::Text{*elseText};
    return B::Conditional{condition, thenBehavior.value_or(BehaviorSpec()), elseBranch};
  }
  if (type == "http_remote") {
    return B::HttpRemote{url, methodOrGet(method), headers, remoteTimeoutMs};
  }
  if (type == "plist") return B::Plist{path, operation, keyPath};
  if (type == "cache") return B::Cache{ttlSeconds, innerBehavior.value_or(BehaviorSpec())};
  Logger::warn(ManifestParserTexts::kLogCategory, ManifestParserTexts::unknownBehaviorType(type));
  return B::Text{std::string(ManifestParserTexts::kUnsupportedBehavior) + type};
}

BannerBuilder::BannerBuilder(const XmlAttributes& attributes)
    : banner{.id = attributeOr(attributes, "id"),
             .condition = attributeOr(attributes, "condition"),
             .priority = attributeOr(attributes, "priority", "medium"),
             .title = "",
             .body = "",
             .action = std::nullopt} {}

ServiceMDBuilder::ServiceMDBuilder(const XmlAttributes& attributes)
    : entry{.id = attributeOr(attributes, "id"),
            .name = attributeOr(attributes, "name"),
            .icon = attributeOr(attributes, "icon"),
            .perms = splitList(attributeOr(attributes, "perms", "Read")),
            .tools = attributeOr(attributes, "tools"),
            .readKey = attributeOr(attributes, "read_key"),
            .writeKey = attributeOr(attributes, "write_key"),
            .hasDefault = flag(attributes, "has_default"),
            .setupTitle = std::nullopt,
            .setupSteps = {}} {}

}  // namespace tvrn
