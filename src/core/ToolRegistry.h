// The process's one table of tools, shared by every session: registration, lookup, dispatch and
// the "tools/list" payload, with the user's and the organisation's governance settings as they
// stand at every call and every listing.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/JSONValue.h"
#include "core/ServerContext.h"
#include "core/ToolDefinition.h"

namespace tvrn {

class ToolRegistry final {
 public:
  // The registry hands `context` to the sessions and tool families it serves, and hides from the
  // listing what its manifest source names. Without one it makes a context of its own, with no
  // sources: nothing hidden on the manifest's account.
  explicit ToolRegistry(std::shared_ptr<ServerContext> context = {});

  ServerContext& context() const { return *context_; }
  // For a handler that keeps the context beyond the registration.
  const std::shared_ptr<ServerContext>& sharedContext() const { return context_; }

  ToolRegistry(const ToolRegistry&) = delete;
  ToolRegistry& operator=(const ToolRegistry&) = delete;

  // While it lives, the tools this thread registers here without a service get `service`: a
  // family names its service once, at the top of its registration. Scopes nest; the innermost
  // one decides.
  class ServiceScope {
   public:
    ServiceScope(ToolRegistry& registry, std::string service);
    ~ServiceScope();
    ServiceScope(const ServiceScope&) = delete;
    ServiceScope& operator=(const ServiceScope&) = delete;

   private:
    friend class ToolRegistry;
    const ToolRegistry& registry_;
    const std::string service_;
    const ServiceScope* const outer_;
  };

  // Stores the definition under its name; an earlier one of that name is replaced silently.
  void registerTool(ToolDefinition definition);

  // Withdraws a tool by putting a "[removed]" placeholder in its place, which stays listed (under
  // the withdrawn tool's service) and answers every call with notFound until a tool of that name
  // is registered again.
  void unregisterTool(std::string_view name);

  std::optional<ToolDefinition> tool(std::string_view name) const;
  std::vector<std::string> allToolNames() const;

  // Refuses unknown tools (notFound), then tools disabled by policy, writing tools in read-only
  // mode and tools of disabled services (permissionDenied), in that order, then a control
  // character in an argument the schema marks as a path (invalidParam); otherwise runs the
  // handler on the caller's thread and returns its result unchanged.
  ToolResult dispatch(std::string_view name, const std::optional<JSONValue>& params) const;

  // A tool looked up for one call, so counting and dispatching it search the registry once.
  class Found;
  Found lookUp(std::string_view name) const;
  // dispatch() of a tool already looked up.
  ToolResult dispatch(const Found& tool, const std::optional<JSONValue>& params) const;

  // {"tools": [{"name", "description", "inputSchema"}, ...]} ordered by name, without the tools
  // that the settings, the manifest or a first tool call (for the welcome tool) hide.
  JSONValue listPayload() const;
  // The same payload as compact JSON text, joined from each tool's entry as written once at its
  // registration.
  std::string listText() const;

  // Every tool with its kind, as pretty-printed JSON with sorted keys; "[]" if it cannot be
  // written.
  std::string exportJSON() const;

  // The service word the registered tool belongs to (the words of the disabled-services
  // setting), or nothing for an unknown tool or one of no service.
  std::optional<std::string> serviceFor(std::string_view tool) const;

 private:
  // Stored immutable and shared, so a dispatch or listing takes its copy under the lock and
  // works outside it; the listing entry is written once, at registration.
  struct Entry {
    ToolDefinition definition;
    std::string listing;  // {"description", "inputSchema", "name"} as compact JSON
    std::vector<std::string> pathArguments;  // what the schema marks as paths
  };

 public:
  class Found {
   public:
    // Whether a call of this tool counts as a use of Tavrin: every call but one of an
    // introductory tool, unknown names included.
    bool countsCall() const { return !entry_ || !entry_->definition.introductory; }
    // Whether the tool may change something (any kind but readOnly): its audit record must not
    // be lost to a crash after the client has its answer.
    bool changes() const { return entry_ && entry_->definition.kind != ToolKind::readOnly; }

   private:
    friend class ToolRegistry;
    std::string_view name_;  // the caller's, which outlives the call
    std::shared_ptr<const Entry> entry_;
  };

 private:
  std::shared_ptr<const Entry> find(std::string_view name) const;
  std::vector<std::shared_ptr<const Entry>> entries() const;

  const std::shared_ptr<ServerContext> context_;
  // Guards tools_ only; never held while a handler runs or the settings are read.
  mutable std::shared_mutex mutex_;
  std::map<std::string, std::shared_ptr<const Entry>, std::less<>> tools_;
};

}  // namespace tvrn
