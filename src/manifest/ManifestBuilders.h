// The pieces of a manifest that the parser collects while their elements are still open: a tool,
// a behaviour, a banner and a service display entry, each turned into its model value at its end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "manifest/Manifest.h"

namespace tvrn {

// An element's attributes as the XML parser hands them over (name, value, name, value, ..., then
// null), read where they lie while the element's start is handled. An element has a handful, so a
// look-up reads them all, rather than each element's being copied into a map first: strings made
// and freed for nothing, element after element.
class XmlAttributes {
 public:
  explicit XmlAttributes(const char* const* pairs) : pairs_(pairs) {}
  std::optional<std::string_view> find(std::string_view name) const {
    for (const char* const* pair = pairs_; pair[0] != nullptr; pair += 2) {
      if (name == pair[0]) return pair[1];
    }
    return std::nullopt;
  }

 private:
  const char* const* pairs_;
};

// The attribute's value, or nothing when the element does not have it.
std::optional<std::string> attribute(const XmlAttributes& attributes, std::string_view name);
// The attribute's value, or the fallback when the element does not have it.
std::string attributeOr(const XmlAttributes& attributes, std::string_view name,
                        std::string_view fallback = "");

struct ToolBuilder {
  explicit ToolBuilder(const XmlAttributes& attributes);

  void addParam(const XmlAttributes& attributes);
  void addTCC(const XmlAttributes& attributes);
  void addTelemetryTag(const XmlAttributes& attributes);

  // The finished tool, or nothing when it has no name or no behaviour.
  std::optional<ToolSpec> build() const;

  std::string description;
  std::optional<std::string> previewTemplate;
  std::optional<BehaviorSpec> behavior;
  std::string name;
  std::string category;
  std::int64_t timeoutMs = 30000;
  bool destructive = false;
  std::vector<ParamSpec> params;
  std::vector<TCCRequirement> tccReqs;
  std::optional<std::string> telemetryEvent;
  std::vector<TelemetryTag> telemetryTags;
};

struct BehaviorBuilder {
  // Reads only "ttl_seconds" from the attributes; the other fields come from child elements.
  BehaviorBuilder(std::string type, const XmlAttributes& attributes);

  // The behaviour its type word selects; an unknown word gives a text behaviour saying so.
  BehaviorSpec build() const;
  // "then" and "else" fill those branches; any other slot, or none, the inner behaviour.
  void setNestedBehavior(BehaviorSpec behavior, std::string_view slot);

  std::string type;
  std::int64_t ttlSeconds = 300;
  std::string script;
  std::string method;
  std::string handler;
  std::string baseURL;
  std::string path;
  std::string url;
  std::string dbPath;
  std::string query;
  std::optional<std::string> keyPath;
  std::string operation = "read";
  std::string onPartialFailure = "abort";
  std::int64_t remoteTimeoutMs = 5000;
  std::optional<std::string> elseText;
  std::vector<ComposeStep> steps;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string condition;
  std::optional<BehaviorSpec> thenBehavior;
  std::optional<BehaviorSpec> elseBehavior;
  std::optional<BehaviorSpec> innerBehavior;
};

// A banner or a service display entry is complete as soon as it opens, but for the texts and
// set-up steps its children add; these builders hold it until its end tag.
struct BannerBuilder {
  explicit BannerBuilder(const XmlAttributes& attributes);

  UIBanner build() const { return banner; }

  UIBanner banner;
};

struct ServiceMDBuilder {
  explicit ServiceMDBuilder(const XmlAttributes& attributes);

  ServiceDisplayEntry build() const { return entry; }

  ServiceDisplayEntry entry;
};

// A comma-separated list attribute: every piece, trimmed of blanks and tabs, empty ones kept.
std::vector<std::string> splitList(std::string_view text);

}  // namespace tvrn
