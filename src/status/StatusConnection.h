// One connection of the status server: reads its request within a deadline and the size limits
// (Boost.Beast's parser does the reading), refuses what breaks them, and sends the routes' answer
// to the rest.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

#include "status/StatusRouteTable.h"

namespace tvrn::StatusConnection {

constexpr std::size_t kMaxBodyBytes = 1024 * 1024;
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
constexpr std::size_t kMaxHeaders = 100;
// The answer may take this long to go out, and a refused peer this long to stop sending.
constexpr std::chrono::seconds kWriteTime{5};
constexpr std::chrono::seconds kLinger{1};

// Serves the one request of `socket` (the caller closes it). The request line, headers and body
// must all arrive within `deadline` of the call; a late one gets 408, a body over 1 MiB 413
// (Content-Length or chunked, counted as it arrives), more than 100 headers or 64 KiB of them 431.
// `requestRead` runs once the request is in, before the routes answer it.
void serve(int socket, const StatusRouteTable& routes, std::chrono::milliseconds deadline,
           const std::function<void()>& requestRead);

// Answers 403 (Connection: close) at once, without reading anything of the request or waiting
// for room to send: for a peer that is refused whatever it asks (the caller closes the socket).
void refuseUnread(int socket);

}  // namespace tvrn::StatusConnection
