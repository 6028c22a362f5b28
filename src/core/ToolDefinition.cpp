#include "core/ToolDefinition.h"

namespace tvrn {

std::string_view toRaw(ToolKind kind) {
  switch (kind) {
    case ToolKind::readOnly:
      return "ro";
    case ToolKind::write:
      return "wr";
    case ToolKind::destructive:
      return "dt";
    case ToolKind::send:
      return "send";
  }
  return "ro";
}

template <>
std::optional<ToolKind> fromRaw<ToolKind>(std::string_view raw) {
  for (ToolKind kind :
       {ToolKind::readOnly, ToolKind::write, ToolKind::destructive, ToolKind::send}) {
    if (toRaw(kind) == raw) return kind;
  }
  return std::nullopt;
}

ToolError ToolError::missingParam(std::string name) {
  return ToolError(Case::missingParam, std::move(name));
}
ToolError ToolError::invalidParam(std::string name, std::string expected) {
  return ToolError(Case::invalidParam, std::move(name), std::move(expected));
}
ToolError ToolError::executionFailed(std::string message) {
  return ToolError(Case::executionFailed, std::move(message));
}
ToolError ToolError::permissionDenied(std::string message) {
  return ToolError(Case::permissionDenied, std::move(message));
}
ToolError ToolError::notFound(std::string what) { return ToolError(Case::notFound, std::move(what)); }
ToolError ToolError::resourceNotFound(std::string what) {
  return ToolError(Case::resourceNotFound, std::move(what));
}

std::string ToolError::description() const {
  switch (case_) {
    case Case::missingParam:
      return "Missing required parameter: " + payload_;
    case Case::invalidParam:
      return "Invalid '" + payload_ + "': expected " + expected_;
    case Case::executionFailed:
      return payload_;
    case Case::permissionDenied:
      return "Permission denied: " + payload_;
    case Case::notFound:
    case Case::resourceNotFound:
      return "Not found: " + payload_;
  }
  return payload_;
}

}  // namespace tvrn
