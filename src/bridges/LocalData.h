// Answers the helper line protocol's data methods inside the server's own process: one request
// ({"method": ..., "args": {...}} as JSON text) in, one reply object out.
#pragma once

#include <string_view>

#include "bridges/LocalDataReply.h"

namespace tvrn::LocalData {

// Never fails: a malformed request, an unknown method and every handler fault are failure replies.
// Safe to call from several threads at once.
Reply dispatch(std::string_view request);

}  // namespace tvrn::LocalData
