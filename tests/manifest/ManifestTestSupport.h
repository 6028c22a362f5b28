// What the manifest tests share: reading a tool result, and letting the remote HTTP runner reach
// one test server on this machine while every other local address stays refused.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

#include "core/ToolDefinition.h"
#include "manifest/ManifestHTTPRunners.h"

namespace tvrn::test {

// The result's text, or "error: " and the error's description.
inline std::string outcome(const ToolResult& result) {
  if (!result.ok()) return "error: " + result.error().description();
  return result.value().rawValue()["content"][0]["text"].get<std::string>();
}

// 127.0.0.1 at `port` (or with no port yet, as a name is resolved), else the default policy.
inline ConnectPolicy allowing(int port) {
  return [port](const sockaddr& address) {
    const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
    const int to = ntohs(ipv4.sin_port);
    if (address.sa_family == AF_INET && ntohl(ipv4.sin_addr.s_addr) == INADDR_LOOPBACK &&
        (to == port || to == 0)) {
      return true;
    }
    return !ManifestHTTPRemoteRunner::isOwnMachineAddress(address);
  };
}

}  // namespace tvrn::test
