#include "core/ToolRegistry.h"

#include <mutex>
#include <utility>

#include "core/ConfigManager.h"
#include "core/Params.h"
#include "core/ToolRegistryTexts.h"
#include "core/ToolSchema.h"

namespace tvrn {
namespace {

namespace Texts = ToolRegistryTexts;

// Schemas are plain values; anything that is not one of them shows as null. The path mark is the
// server's own and is left out.
nlohmann::json schemaValue(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::object: {
      nlohmann::json members = nlohmann::json::object();
      for (const auto& [key, member] : value.items()) {
        if (key != ToolSchema::kPathKeyword) members[key] = schemaValue(member);
      }
      return members;
    }
    case nlohmann::json::value_t::array: {
      nlohmann::json elements = nlohmann::json::array();
      for (const auto& element : value) elements.push_back(schemaValue(element));
      return elements;
    }
    case nlohmann::json::value_t::string:
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
    case nlohmann::json::value_t::boolean:
      return value;
    default:
      return nullptr;
  }
}

std::string listingEntry(const ToolDefinition& tool) {
  const nlohmann::json entry = {{"name", tool.name},
                                {"description", tool.description},
                                {"inputSchema", schemaValue(tool.inputSchema)}};
  return entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool contains(const std::set<std::string>& names, std::string_view name) {
  return names.find(std::string(name)) != names.end();
}

// What hides a tool from the listing, read once per listing.
struct ListingFilter {
  std::shared_ptr<const ConfigManager::Snapshot> settings;
  std::set<std::string> manifestDisabledTools;
  bool readOnly = false;

  bool hides(const ToolDefinition& tool) const {
    if (contains(settings->disabledTools, tool.name) ||
        contains(manifestDisabledTools, tool.name)) {
      return true;
    }
    if (readOnly && tool.kind != ToolKind::readOnly) return true;
    if (tool.introductory && settings->has(Texts::kFirstToolCallKey)) return true;
    return !tool.service.empty() && contains(settings->disabledServices, tool.service);
  }
};

// The innermost service scope open on this thread, whatever registry it is for.
thread_local const ToolRegistry::ServiceScope* innermostScope = nullptr;

}  // namespace

ToolRegistry::ServiceScope::ServiceScope(ToolRegistry& registry, std::string service)
    : registry_(registry), service_(std::move(service)), outer_(innermostScope) {
  innermostScope = this;
}

ToolRegistry::ServiceScope::~ServiceScope() { innermostScope = outer_; }

ToolRegistry::ToolRegistry(std::shared_ptr<ServerContext> context)
    : context_(context ? std::move(context) : std::make_shared<ServerContext>()) {}

void ToolRegistry::registerTool(ToolDefinition definition) {
  for (auto scope = innermostScope; scope && definition.service.empty(); scope = scope->outer_) {
    if (&scope->registry_ == this) definition.service = scope->service_;
  }
  std::string listing = listingEntry(definition);
  std::vector<std::string> paths = ToolSchema::pathArguments(definition.inputSchema);
  auto entry = std::make_shared<const Entry>(
      Entry{std::move(definition), std::move(listing), std::move(paths)});
  std::shared_ptr<const Entry> replaced;
  {
    std::unique_lock lock(mutex_);
    auto& slot = tools_[entry->definition.name];
    replaced = std::exchange(slot, std::move(entry));
  }
  // `replaced` (and any handler it alone kept alive) is released here, outside the lock.
}

void ToolRegistry::unregisterTool(std::string_view name) {
  const std::string toolName(name);
  ToolDefinition placeholder;
  if (auto withdrawn = find(name)) {
    placeholder.service = withdrawn->definition.service;
    placeholder.introductory = withdrawn->definition.introductory;
  }
  placeholder.name = toolName;
  placeholder.description = std::string(Texts::kRemovedDescription);
  placeholder.inputSchema = {{"type", "object"}, {"properties", nlohmann::json::object()}};
  placeholder.kind = ToolKind::readOnly;
  placeholder.handler = [toolName](const std::optional<JSONValue>&) -> ToolResult {
    return fail(ToolError::notFound(Texts::noLongerAvailable(toolName)));
  };
  registerTool(std::move(placeholder));
}

std::shared_ptr<const ToolRegistry::Entry> ToolRegistry::find(std::string_view name) const {
  std::shared_lock lock(mutex_);
  auto found = tools_.find(name);
  return found == tools_.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<const ToolRegistry::Entry>> ToolRegistry::entries() const {
  std::vector<std::shared_ptr<const Entry>> all;
  std::shared_lock lock(mutex_);
  all.reserve(tools_.size());
  for (const auto& [name, entry] : tools_) all.push_back(entry);
  return all;  // in name order: std::string compares bytes as unsigned, i.e. by code point
}

std::optional<ToolDefinition> ToolRegistry::tool(std::string_view name) const {
  auto entry = find(name);
  if (!entry) return std::nullopt;
  return entry->definition;
}

std::vector<std::string> ToolRegistry::allToolNames() const {
  std::vector<std::string> names;
  std::shared_lock lock(mutex_);
  names.reserve(tools_.size());
  for (const auto& [name, entry] : tools_) names.push_back(name);
  return names;
}

ToolRegistry::Found ToolRegistry::lookUp(std::string_view name) const {
  Found tool;
  tool.name_ = name;
  tool.entry_ = find(name);
  return tool;
}

ToolResult ToolRegistry::dispatch(std::string_view name,
                                  const std::optional<JSONValue>& params) const {
  return dispatch(lookUp(name), params);
}

ToolResult ToolRegistry::dispatch(const Found& tool, const std::optional<JSONValue>& params) const {
  const std::string_view name = tool.name_;
  const std::shared_ptr<const Entry>& entry = tool.entry_;
  if (!entry) return fail(ToolError::notFound(Texts::unknownTool(name)));

  const auto settings = context_->settings->snapshot();
  if (contains(settings->disabledTools, name)) {
    return fail(ToolError::permissionDenied(Texts::disabledByPolicy(name)));
  }
  if (entry->definition.kind != ToolKind::readOnly) {
    // A file that cannot be read may well turn read-only mode on: changes wait until it reads.
    if (settings->unreadable) {
      return fail(ToolError::permissionDenied(Texts::settingsUnreadable(*settings->unreadable)));
    }
    if (settings->readOnly()) {
      return fail(ToolError::permissionDenied(Texts::notAllowedReadOnly(name)));
    }
  }
  if (const std::string& service = entry->definition.service;
      !service.empty() && contains(settings->disabledServices, service)) {
    return fail(ToolError::permissionDenied(Texts::serviceDisabled(service)));
  }
  if (auto refusal = Params::pathWithControlCharacter(params, entry->pathArguments)) {
    return fail(*refusal);
  }
  return entry->definition.handler(params);
}

std::string ToolRegistry::listText() const {
  ListingFilter filter;
  filter.settings = context_->settings->snapshot();
  filter.readOnly = filter.settings->readOnly() || filter.settings->unreadable.has_value();
  if (context_->manifestDisabledTools) {
    filter.manifestDisabledTools = context_->manifestDisabledTools();
  }

  std::string text = "{\"tools\":[";
  bool first = true;
  for (const auto& entry : entries()) {
    if (filter.hides(entry->definition)) continue;
    if (!first) text += ',';
    first = false;
    text += entry->listing;
  }
  text += "]}";
  return text;
}

JSONValue ToolRegistry::listPayload() const {
  // The entries were written from plain values, so the text always reads back.
  std::optional<JSONValue> payload = JSONValue::decode(listText());
  if (!payload) return JSONValue(JSONValue::Object{});
  return std::move(*payload);
}

std::string ToolRegistry::exportJSON() const {
  nlohmann::json tools = nlohmann::json::array();
  for (const auto& entry : entries()) {
    const ToolDefinition& tool = entry->definition;
    tools.push_back({{"name", tool.name},
                     {"description", tool.description},
                     {"inputSchema", tool.inputSchema},
                     {"kind", toRaw(tool.kind)}});
  }
  try {
    return tools.dump(2);
  } catch (const nlohmann::json::exception&) {
    return "[]";  // text that is not valid UTF-8
  }
}

std::optional<std::string> ToolRegistry::serviceFor(std::string_view tool) const {
  auto entry = find(tool);
  if (!entry || entry->definition.service.empty()) return std::nullopt;
  return entry->definition.service;
}

}  // namespace tvrn
