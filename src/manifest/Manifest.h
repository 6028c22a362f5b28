// The tool manifest as plain immutable values: what the back end's signed document says about
// manifest tools, settings pages, banners, remote settings, AI clients and service display.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/RawValue.h"

namespace tvrn {

// The type of a tool parameter. `int` and `bool` are C++ keywords, hence `integer` and `boolean`;
// their texts stay "int" and "bool".
enum class ParamType { string, integer, boolean, email, array };

std::string_view toRaw(ParamType type);
template <>
std::optional<ParamType> fromRaw<ParamType>(std::string_view raw);

// What a parallel behaviour does when some of its steps fail.
enum class PartialFailurePolicy { abort, includeErrors };

std::string_view toRaw(PartialFailurePolicy policy);
template <>
std::optional<PartialFailurePolicy> fromRaw<PartialFailurePolicy>(std::string_view raw);

struct CapabilitySpec {
  std::string type;
  std::string minEngine;

  bool operator==(const CapabilitySpec&) const = default;
};

struct ParamSpec {
  std::string name;
  ParamType type = ParamType::string;
  bool required = false;
  std::optional<std::string> defaultValue;  // as text; the validator converts it by `type`
  std::optional<std::int64_t> min;
  std::optional<std::int64_t> max;
  std::optional<std::int64_t> maxLength;

  bool operator==(const ParamSpec&) const = default;
};

struct TCCRequirement {
  std::string service;
  std::string level;
  std::string deniedMessage;

  bool operator==(const TCCRequirement&) const = default;
};

struct TelemetryTag {
  std::string name;
  std::optional<std::string> value;
  std::optional<std::string> fromParam;
  bool redact = false;
  std::optional<std::string> transform;

  bool operator==(const TelemetryTag&) const = default;
};

struct TelemetrySpec {
  std::string event;
  std::vector<TelemetryTag> tags;

  bool operator==(const TelemetrySpec&) const = default;
};

// One step of a compose or parallel behaviour: another tool of the same manifest, and a template
// of its parameters.
struct ComposeStep {
  std::string tool;
  std::string params;

  bool operator==(const ComposeStep&) const = default;
};

namespace detail {
template <typename T, typename... Ts>
inline constexpr bool isOneOf = (std::is_same_v<T, Ts> || ...);
}

// What a manifest tool does. Behaviours nest (a conditional's branches, a cache's inner
// behaviour), so each one is held on the heap and shared by its copies; nothing changes it after
// it is built. A default-made behaviour is the text case with the empty text.
class BehaviorSpec {
 public:
  struct Jxa;
  struct Helper;
  struct HttpLocal;
  struct Compose;
  struct Native;
  struct Parallel;
  struct Sqlite;
  struct Conditional;
  struct HttpRemote;
  struct Plist;
  struct Cache;
  struct AppleScript;
  struct Text;

  // The cases in this order; `Kind` and `Cases` share it.
  enum class Kind {
    jxa,
    helper,
    httpLocal,
    compose,
    native,
    parallel,
    sqlite,
    conditional,
    httpRemote,
    plist,
    cache,
    applescript,
    text
  };
  using Cases = std::variant<Jxa, Helper, HttpLocal, Compose, Native, Parallel, Sqlite, Conditional,
                             HttpRemote, Plist, Cache, AppleScript, Text>;

  template <typename T>
  static constexpr bool isCase =
      detail::isOneOf<T, Jxa, Helper, HttpLocal, Compose, Native, Parallel, Sqlite, Conditional,
                      HttpRemote, Plist, Cache, AppleScript, Text>;

  BehaviorSpec();
  template <typename Case>
  requires isCase<Case> BehaviorSpec(Case value)  // NOLINT: a case is a behaviour
      : node_(makeNode(Cases(std::move(value)))) {}
  // Copies share the payload. There is deliberately no move: a moved-from behaviour would hold
  // nothing, and every reader may rely on a behaviour always having a case.
  BehaviorSpec(const BehaviorSpec&) = default;
  BehaviorSpec& operator=(const BehaviorSpec&) = default;

  Kind kind() const;
  const Cases& cases() const;
  // The payload when the behaviour is of that case, else null.
  template <typename Case>
  const Case* as() const;

  bool operator==(const BehaviorSpec& other) const;

 private:
  struct Node;
  static std::shared_ptr<const Node> makeNode(Cases value);
  std::shared_ptr<const Node> node_;
};

struct BehaviorSpec::Jxa {
  std::string script;
  bool operator==(const Jxa&) const = default;
};

struct BehaviorSpec::Helper {
  std::string method;
  bool operator==(const Helper&) const = default;
};

struct BehaviorSpec::HttpLocal {
  std::string baseURL;
  std::string httpMethod;
  std::string path;
  bool operator==(const HttpLocal&) const = default;
};

struct BehaviorSpec::Compose {
  std::vector<ComposeStep> steps;
  bool operator==(const Compose&) const = default;
};

struct BehaviorSpec::Native {
  std::string handler;
  bool operator==(const Native&) const = default;
};

struct BehaviorSpec::Parallel {
  std::vector<ComposeStep> steps;
  PartialFailurePolicy onPartialFailure = PartialFailurePolicy::abort;
  bool operator==(const Parallel&) const = default;
};

struct BehaviorSpec::Sqlite {
  std::string dbPath;
  std::string query;
  bool operator==(const Sqlite&) const = default;
};

struct BehaviorSpec::Conditional {
  std::string condition;
  BehaviorSpec then;
  std::optional<BehaviorSpec> elseBehavior;  // `else` is a C++ keyword
  bool operator==(const Conditional&) const = default;
};

struct BehaviorSpec::HttpRemote {
  std::string url;
  std::string httpMethod;
  std::vector<std::pair<std::string, std::string>> headers;  // name and value, may repeat a name
  std::int64_t timeoutMs = 0;
  bool operator==(const HttpRemote&) const = default;
};

struct BehaviorSpec::Plist {
  std::string path;
  std::string operation;
  std::optional<std::string> keyPath;
  bool operator==(const Plist&) const = default;
};

struct BehaviorSpec::Cache {
  std::int64_t ttlSeconds = 0;
  BehaviorSpec inner;
  bool operator==(const Cache&) const = default;
};

struct BehaviorSpec::AppleScript {
  std::string script;
  bool operator==(const AppleScript&) const = default;
};

// A behaviour that runs nothing: the call answers this text.
struct BehaviorSpec::Text {
  std::string text;
  bool operator==(const Text&) const = default;
};

struct BehaviorSpec::Node {
  Cases value;
};

template <typename Case>
const Case* BehaviorSpec::as() const {
  return std::get_if<Case>(&node_->value);
}

struct ToolSpec {
  std::string name;
  std::string category;
  std::int64_t timeoutMs = 0;
  bool destructive = false;
  std::string description;
  std::optional<std::string> previewTemplate;
  std::optional<TelemetrySpec> telemetry;
  std::vector<ParamSpec> params;
  std::vector<TCCRequirement> tccRequirements;
  BehaviorSpec behavior;

  bool operator==(const ToolSpec&) const = default;
};

struct UIBannerAction {
  std::string type;
  std::optional<std::string> pane;

  bool operator==(const UIBannerAction&) const = default;
};

struct UIBanner {
  std::string id;
  std::string condition;
  std::string priority;
  std::string title;
  std::string body;
  std::optional<UIBannerAction> action;

  bool operator==(const UIBanner&) const = default;
};

struct UIPage {
  std::string name;
  std::string src;

  bool operator==(const UIPage&) const = default;
};

// How the manifest writes integers, in attributes, texts and settings alike: an optional "+" or
// "-" and ASCII digits only, within a signed 64-bit integer; anything else is no value.
std::optional<std::int64_t> parseManifestInt(std::string_view text);

// Remote key/value settings, with readers that convert a value strictly or not at all.
struct ManifestConfig {
  std::map<std::string, std::string> entries;

  std::optional<std::string> value(const std::string& key) const;
  // By parseManifestInt.
  std::optional<std::int64_t> asInt(const std::string& key) const;
  // C-locale floating-point syntax (decimal, hexadecimal, "inf", "nan") consuming the whole text,
  // with no leading white space or NUL.
  std::optional<double> asDouble(const std::string& key) const;

  bool operator==(const ManifestConfig&) const = default;
};

struct AIClientEntry {
  std::string id;
  std::string name;
  std::string cfgPath;  // may begin with "~"
  std::string cfgSchema;
  std::vector<std::string> detectPaths;
  std::optional<std::string> cloudNote;

  bool operator==(const AIClientEntry&) const = default;
};

// How the settings page shows one service.
struct ServiceDisplayEntry {
  std::string id;
  std::string name;
  std::string icon;
  std::vector<std::string> perms;
  std::string tools;
  std::string readKey;
  std::string writeKey;
  bool hasDefault = false;
  std::optional<std::string> setupTitle;
  std::vector<std::string> setupSteps;

  bool operator==(const ServiceDisplayEntry&) const = default;
};

struct Manifest {
  std::int64_t version = 0;
  std::string tvrnVersion;  // the lowest engine version that may run it
  std::string published;
  std::string signature;
  std::vector<CapabilitySpec> capabilities;
  std::vector<ToolSpec> tools;
  std::vector<UIBanner> uiBanners;
  std::vector<UIPage> uiPages;
  ManifestConfig remoteConfig;
  std::vector<AIClientEntry> aiClients;
  std::vector<ServiceDisplayEntry> servicesMeta;
  std::vector<std::string> disabledTools;  // left out of the tool list offered to AI clients

  bool operator==(const Manifest&) const = default;
};

}  // namespace tvrn
