#include "core/ToolErrorCounter.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "core/ServerContext.h"
#include "core/Timeouts.h"
#include "platform/Endpoints.h"
#include "platform/HttpClient.h"

namespace tvrn::ToolErrorCounter {
namespace {

// Words of an executionFailed message, lower-cased, tried in this order.
constexpr std::array<std::pair<std::string_view, std::string_view>, 9> kMessageClasses{{
    {"timed out", jxaTimeout},
    {"timeout", jxaTimeout},
    {"not allowed", jxaPermissionDenied},
    {"access denied", jxaPermissionDenied},
    {"no approval received", jxaPermissionDenied},
    {"mail.app is not running", mailNotRunning},
    {"message not found", messageNotFound},
    {"co-process not available", proxyUnavailable},
    {"co-process crashed", proxyUnavailable},
}};

std::string lowerCased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string_view classOfMessage(const std::string& message) {
  const std::string lower = lowerCased(message);
  for (const auto& [words, errorClass] : kMessageClasses) {
    if (lower.find(words) != std::string::npos) return errorClass;
  }
  return executionFailed;
}

}  // namespace

std::string_view errorType(const ToolError& error) {
  switch (error.kind()) {
    case ToolError::Case::missingParam:
    case ToolError::Case::invalidParam:
    case ToolError::Case::notFound:
    case ToolError::Case::resourceNotFound:
      return badRequest;
    case ToolError::Case::permissionDenied:
      return permissionDenied;
    case ToolError::Case::executionFailed:
      return classOfMessage(error.payload());
  }
  return executionFailed;
}

void record(ServerContext& context, std::string_view tool, std::string_view type) {
  context.counts.errors.add(std::string(tool) + ":" + std::string(type));
  if (!ToolCallCounter::reportsToStatusServer(context)) return;
  const nlohmann::json body = {{"tool", tool}, {"error_type", type}};
  context.poster->post(HttpClient::jsonPostRequest(
      Endpoints::statusBaseURL() + "/tool-error", body,
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::duration<double>(Timeouts::networkFireAndForget))));
}

void recordLocalOnly(ToolCounts& counts, std::string_view key) { counts.errors.add(key); }

}  // namespace tvrn::ToolErrorCounter
