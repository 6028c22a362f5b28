// The status JSON: the one document in which the server tells the tray (and anyone on this
// machine who asks) what it is, what it serves and what it last did.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "core/ServerContext.h"

namespace tvrn::StatusDocument {

// What the document's "server" says: "connected" while the server serves, "stopped" in the last
// document its shutdown leaves.
enum class ServerState { connected, stopped };

// The document for the running `version`, built afresh from the version files and from the
// settings, the service scanner's last result, the permission states and the activity of the
// server's `context` (no permission states when it has no source for them, every service
// unavailable when it has no scanner). Until the scanner's first scan has finished, each
// permission reads "unknown": nothing is shown as needed before it has been looked at.
nlohmann::json build(const std::string& version, const ServerContext& context,
                     ServerState state = ServerState::connected);

// The document as text; text that is not UTF-8 anywhere in it is replaced, so it always prints.
std::string text(const std::string& version, const ServerContext& context,
                 ServerState state = ServerState::connected);

}  // namespace tvrn::StatusDocument
