#include "manifest/TelemetryEngine.h"

#include <chrono>

#include "platform/Endpoints.h"
#include "platform/HttpClient.h"

namespace tvrn {

namespace {

constexpr std::chrono::seconds kSendTimeout{5};

std::optional<nlohmann::json> rawValue(const TelemetryTag& tag, const nlohmann::json& params) {
  if (tag.value) return *tag.value;
  if (!tag.fromParam || !params.is_object()) return std::nullopt;
  auto found = params.find(*tag.fromParam);
  if (found == params.end()) return std::nullopt;
  return *found;
}

nlohmann::json eventData(const std::vector<TelemetryTag>& tags, const nlohmann::json& params) {
  nlohmann::json data = nlohmann::json::object();
  for (const TelemetryTag& tag : tags) {
    auto value = rawValue(tag, params);
    if (!value) continue;
    if (tag.transform == "non_empty") {
      value = value->is_string() && !value->get_ref<const std::string&>().empty();
    }
    if (tag.redact) value = "[redacted]";
    data[tag.name] = std::move(*value);
  }
  return data;
}

void send(BackgroundPoster& poster, const std::string& event, nlohmann::json data,
          const std::optional<std::string>& machineId) {
  nlohmann::json body = {{"type", event}};
  if (machineId) body["machine_id"] = *machineId;
  if (!data.empty()) body["data"] = std::move(data);
  body["source"] = "manifest_engine";
  poster.post(HttpClient::jsonPostRequest(Endpoints::backend() + "/events", body, kSendTimeout));
}

}  // namespace

void TelemetryEngine::fire(BackgroundPoster& poster, const TelemetrySpec& spec,
                           const nlohmann::json& resolvedParams,
                           const std::optional<std::string>& machineId) {
  send(poster, spec.event, eventData(spec.tags, resolvedParams), machineId);
}

}  // namespace tvrn
