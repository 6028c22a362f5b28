#include "manifest/ManifestToolDispatcher.h"

#include <algorithm>
#include <string_view>

#include "core/ConfigManager.h"
#include "core/Logger.h"
#include "core/ToolSchema.h"
#include "manifest/ExecutionPipeline.h"
#include "manifest/ManifestRunnerTexts.h"
#include "manifest/ManifestToolServices.h"

namespace tvrn {
namespace {

namespace Texts = ManifestRunnerTexts;
using Kind = BehaviorSpec::Kind;

// A manifest marks no parameter as a path; those under the names the built-in tools give a file
// or folder, a folder to search from and the two ends of a move are taken for paths.
constexpr std::string_view kPathNames[] = {"path", "root", "file_path", "source", "destination"};

bool isPath(const ParamSpec& param) {
  return std::find(std::begin(kPathNames), std::end(kPathNames), param.name) !=
         std::end(kPathNames);
}

// The capability a manifest must declare for a tool of that behaviour; a text behaviour counts
// as native.
std::string_view capabilityType(Kind kind) {
  switch (kind) {
    case Kind::jxa:
      return "jxa";
    case Kind::helper:
      return "helper";
    case Kind::httpLocal:
      return "http_local";
    case Kind::compose:
      return "compose";
    case Kind::native:
    case Kind::text:
      return "native";
    case Kind::parallel:
      return "parallel";
    case Kind::sqlite:
      return "sqlite";
    case Kind::conditional:
      return "conditional";
    case Kind::httpRemote:
      return "http_remote";
    case Kind::plist:
      return "plist";
    case Kind::cache:
      return "cache";
    case Kind::applescript:
      return "applescript";
  }
  return "";
}

std::string_view schemaType(ParamType type) {
  switch (type) {
    case ParamType::integer:
      return "integer";
    case ParamType::boolean:
      return "boolean";
    case ParamType::array:
      return "array";
    case ParamType::string:
    case ParamType::email:
      break;
  }
  return "string";
}

bool declares(const Manifest& manifest, std::string_view type) {
  return std::any_of(manifest.capabilities.begin(), manifest.capabilities.end(),
                     [&](const CapabilitySpec& capability) { return capability.type == type; });
}

// A tool that takes the place of a built-in one (or of its own placeholder) keeps that tool's
// service; any other is known by its name.
std::string serviceOf(const ToolSpec& spec, const ToolRegistry& registry) {
  if (auto replaced = registry.serviceFor(spec.name)) return std::move(*replaced);
  return ManifestToolServices::serviceFor(spec.name);
}

ToolDefinition definitionFor(const ToolSpec& spec, const std::string& machineId,
                             const ToolRegistry& registry, std::string service,
                             std::shared_ptr<const RunnerTable> runners,
                             std::shared_ptr<BackgroundPoster> telemetry) {
  auto held = std::make_shared<const ToolSpec>(spec);
  return {spec.name,
          spec.description,
          ManifestToolDispatcher::inputSchema(spec),
          ManifestToolDispatcher::kind(spec),
          [held, machineId, context = registry.sharedContext(), runners = std::move(runners),
           telemetry = std::move(telemetry)](const std::optional<JSONValue>& arguments) {
            return ExecutionPipeline::execute(*held, arguments, machineId,
                                              context->permissionStatus, *runners, *telemetry);
          },
          std::move(service)};
}

}  // namespace

void ManifestToolDispatcher::setRegistry(std::shared_ptr<ToolRegistry> registry) {
  // After an apply under way; the names it registered belong to the registry it registered in.
  std::lock_guard serialised(applyMutex_);
  std::lock_guard lock(mutex_);
  registry_ = std::move(registry);
  registeredNames_.clear();
}

std::shared_ptr<ToolRegistry> ManifestToolDispatcher::registry() const {
  std::lock_guard lock(mutex_);
  return registry_;
}

nlohmann::json ManifestToolDispatcher::inputSchema(const ToolSpec& spec) {
  nlohmann::json properties = nlohmann::json::object();
  nlohmann::json required = nlohmann::json::array();
  for (const ParamSpec& param : spec.params) {
    nlohmann::json property = {{"type", schemaType(param.type)}};
    if (param.defaultValue) property["default"] = *param.defaultValue;
    if (param.min) property["minimum"] = *param.min;
    if (param.max) property["maximum"] = *param.max;
    if (param.maxLength) property["maxLength"] = *param.maxLength;
    if (isPath(param)) property[ToolSchema::kPathKeyword] = true;
    properties[param.name] = std::move(property);
    if (param.required) required.push_back(param.name);
  }
  nlohmann::json schema = {{"type", "object"}, {"properties", std::move(properties)}};
  if (!required.empty()) schema["required"] = std::move(required);
  return schema;
}

ToolKind ManifestToolDispatcher::kind(const ToolSpec& spec) {
  if (spec.destructive) return ToolKind::destructive;
  const bool sends =
      spec.name.find("send") != std::string::npos || spec.name.find("reply") != std::string::npos;
  if (spec.category == "email" && sends) return ToolKind::send;
  return ToolKind::readOnly;
}

void ManifestToolDispatcher::apply(const Manifest& manifest) {
  std::lock_guard serialised(applyMutex_);
  std::shared_ptr<ToolRegistry> registry;
  std::set<std::string> previous;
  {
    std::lock_guard lock(mutex_);
    registry = registry_;
    previous = registeredNames_;
  }
  if (!registry) {
    Logger::warn(Texts::kLogCategory, Texts::kNoRegistry);
    return;
  }
  const std::string machineId = registry->context().settings->getMachineId();

  for (const std::string& name : previous) registry->unregisterTool(name);
  std::set<std::string> registered;
  int count = 0;
  int skipped = 0;
  for (const ToolSpec& spec : manifest.tools) {
    const std::string_view capability = capabilityType(spec.behavior.kind());
    if (!declares(manifest, capability)) {
      Logger::info(Texts::kLogCategory, Texts::skippingTool(spec.name, capability));
      ++skipped;
      continue;
    }
    // Built-in tools keep their names from native ones. The tombstones just written are no
    // built-ins: a native tool the last manifest had stays live.
    if (spec.behavior.kind() == Kind::native && !previous.contains(spec.name) &&
        registry->tool(spec.name)) {
      ++skipped;
      continue;
    }
    registry->registerTool(definitionFor(spec, machineId, *registry, serviceOf(spec, *registry),
                                         runners_, telemetry_));
    registered.insert(spec.name);
    ++count;
  }
  {
    std::lock_guard lock(mutex_);
    registeredNames_ = std::move(registered);
  }
  Logger::info(Texts::kLogCategory, Texts::applied(count, skipped));
}

}  // namespace tvrn
