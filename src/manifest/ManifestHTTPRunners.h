// HTTP behaviours: one request built from the behaviour's templates, its reply body the tool's
// result (JSON when it is a JSON object or array, else text), whatever the status. Only http and
// https addresses with a host are requested.
#pragma once

#include <sys/socket.h>

#include "manifest/CapabilityRunner.h"
#include "platform/HttpClient.h"

namespace tvrn {

// Requests to services on the user's own machine, or any other host: no header, no body.
class ManifestHTTPLocalRunner final : public CapabilityRunner {
 public:
  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth) override;
};

// Requests to services elsewhere, with the behaviour's headers (a repeated name: the last wins).
// This machine's own services are refused: by name ("localhost" and names under it) and by
// every address the name resolves to before the request, and at every connection the request
// opens without a proxy, so a redirect cannot reach them either.
class ManifestHTTPRemoteRunner final : public CapabilityRunner {
 public:
  // Loopback addresses (127.0.0.0/8, ::1, ::ffff:127.x) and the unspecified ones (0.0.0.0, ::),
  // which reach this machine too.
  static bool isOwnMachineAddress(const sockaddr& address);

  // `allowed` decides which addresses may be reached; by default all but this machine's own.
  explicit ManifestHTTPRemoteRunner(ConnectPolicy allowed = {});

  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth) override;

 private:
  const ConnectPolicy allowed_;
};

}  // namespace tvrn
