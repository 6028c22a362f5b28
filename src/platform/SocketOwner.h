// Which user is at the other end of a connection made on this machine: the kernel records who
// made each socket, so a server can tell the user's own programs from another user's even where
// no credentials travel with the connection (TCP on the loopback interface).
#pragma once

#include <sys/types.h>

#include <string>

#include "base/Result.h"

namespace tvrn::SocketOwner {

// The user who made the peer's socket of `connected`, a TCP connection this process accepted
// from a loopback address (IPv4 or IPv6), asked of the kernel's socket diagnostics for exactly
// that pair of addresses and ports. Why not when the kernel cannot say: no answer, or a peer
// that has already closed its socket, which no longer has an owner to show.
Result<uid_t, std::string> ofLoopbackPeer(int connected);

// Whether a socket `owner` made is the user's own: made by the user this process runs as, or by
// root, who can read whatever the process holds anyway.
bool isUsersOwn(uid_t owner);

// The user of the process at the other end of a connected Unix-domain socket (SO_PEERCRED: for
// a client, the server that listens), or why not.
Result<uid_t, std::string> ofUnixPeer(int connected);

}  // namespace tvrn::SocketOwner
