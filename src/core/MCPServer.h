// One MCP session: reads JSON-RPC requests from its reader, answers each MCP method and writes the
// replies to its writer. The IPC server runs one per connection; start-up keeps one more, never
// run, that answers the requests relayed from the cloud.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/CallSource.h"
#include "core/JSONRPC.h"
#include "core/MCPTransport.h"
#include "core/PIISession.h"

namespace tvrn {

class ToolRegistry;

class MCPServer final {
 public:
  // The identity "initialize" reports.
  struct ServerInfo {
    std::string name;
    std::string version;
  };

  // A session over the process's standard input and output. What it shares with the other
  // sessions (permission status, the AI client's name, the activity list) comes with the
  // registry's context.
  MCPServer(std::shared_ptr<ToolRegistry> registry, ServerInfo info);
  MCPServer(std::unique_ptr<MCPReader> reader, std::unique_ptr<MCPWriter> writer,
            std::shared_ptr<ToolRegistry> registry, ServerInfo info);
  ~MCPServer();
  MCPServer(const MCPServer&) = delete;
  MCPServer& operator=(const MCPServer&) = delete;

  // Answers requests until the input ends, on the calling thread.
  void run();

  // The serialised reply to one request, or nothing when none is due. Never throws.
  std::optional<std::string> handle(const JSONRPCRequest& request, CallSource source);

  // The entry for one request relayed from the cloud: always returns the bytes of a reply. Safe to
  // call from several threads at once.
  std::string handleTunnelRequest(std::string_view bytes);

  // The instructions "initialize" sends: the base text followed directly by the four parts.
  static std::string buildInstructions(std::string_view firstRunHint, std::string_view cursorHint,
                                       std::string_view claudeCodeHint, std::string_view tccHint);

  // Tokens given out in this session's results while privacy mode is on.
  PIISession& piiSession() { return piiSession_; }

 private:
  std::optional<std::string> dispatch(const JSONRPCRequest& request, CallSource source);
  std::string handleInitialize(const JSONRPCID& id, const std::optional<JSONValue>& params);
  std::string handleToolsList(const JSONRPCID& id);
  std::string handleToolsCall(const JSONRPCID& id, const std::optional<JSONValue>& params,
                              CallSource source);
  std::string handlePromptsGet(const JSONRPCID& id, const std::optional<JSONValue>& params);
  void trackToolsListed();
  // Logs, once each time it changes, which settings file keeps relayed tool calls refused.
  void noteSettingsForRelay(const std::optional<std::string>& unreadable);

  std::unique_ptr<MCPReader> reader_;
  std::unique_ptr<MCPWriter> writer_;
  const std::shared_ptr<ToolRegistry> registry_;
  const ServerInfo info_;
  const bool privacyMode_;  // read once: a later change of the setting reaches new sessions only
  PIISession piiSession_;
  std::mutex relayNoteMutex_;
  // The unreadable file last logged, empty while the files read; guarded by relayNoteMutex_.
  std::string relayNote_;
};

}  // namespace tvrn
