// What the status server's POST routes do with a request body, and the JSON they answer. Every
// route answers an object with "ok"; a refused body changes nothing.
#pragma once

#include <nlohmann/json.hpp>
#include <string_view>

#include "core/ServerContext.h"

namespace tvrn::StatusRoutes {

// "/tool-call" {"tool", "ai_client"}: a call reported by another server process, counted and
// added to the activity in this server's `context`.
nlohmann::json toolCall(std::string_view body, ServerContext& context);

// "/tool-error" {"tool", "error_type"}: a failed call reported by another server process,
// counted in `counts`.
nlohmann::json toolError(std::string_view body, ToolCounts& counts);

// "/config": "action": "update" starts an update check that installs what it finds (answered
// with "triggered": true); stores "auto_update" (a Bool) and the keys the manifest's
// "config_allowed_keys" names. Every other member is left out and named in "not_stored"; a
// request that neither stored nor started anything is answered "ok": false. An "auto_update"
// that is not a Bool refuses the whole request, naming the key. The settings and the manifest's
// keys are read through the server's `context`.
nlohmann::json config(std::string_view body, const ServerContext& context);

// "/tray-event" {"event", ...}: forwarded to the back end's "/events" by `context`'s poster.
nlohmann::json trayEvent(std::string_view body, const ServerContext& context);

// "/cloud-data-enable" {"enabled"}: stores "cloud_data_enabled" and tells the back end; the old
// value comes back when the back end does not take it. Blocks for the back end's answer.
nlohmann::json cloudDataEnable(std::string_view body, const ServerContext& context);

}  // namespace tvrn::StatusRoutes
