// Answers the helper line protocol's data methods inside the server's own process: one request
// in (a method and its args, or the whole request as JSON text), one reply object out, read from
// and written to the stores it is handed (start-up hands in the server's).
#pragma once

#include <optional>
#include <string_view>

#include "bridges/LocalDataReply.h"
#include "bridges/PlatformStores.h"
#include "core/ToolDefinition.h"

namespace tvrn::LocalData {

// Never fails: an unknown method and every handler fault are failure replies. Args that are not
// an object count as none. Safe to call from several threads at once. A listing of a fixed shape
// may answer its result already printed (okPrinted).
Reply dispatch(PlatformStores& stores, std::string_view method, const nlohmann::json& args);
// The same for a request written as JSON text, {"method": ..., "args": {...}}; one that does not
// read as such is a failure reply too. The reply always carries a result as the object itself.
Reply dispatch(PlatformStores& stores, std::string_view request);

// The refusal of a change method's argument given with the wrong JSON type (invalidParam naming
// the argument and the type it must have); nothing for a method that changes nothing. dispatch
// answers it as a failure; a tool that previews without asking the service checks it first.
std::optional<ToolError> refusedArgument(std::string_view method, const nlohmann::json& args);

}  // namespace tvrn::LocalData
