// How many bytes a TCP connection has moved as the kernel counts them: what the peer has
// acknowledged of what was sent, and what has arrived from it. A peer on a slow line still moves
// bytes while no whole message passes for a long time.
#pragma once

#include <cstdint>
#include <optional>

namespace tvrn::SocketTraffic {

struct Counts {
  std::uint64_t acknowledged = 0;  // sent and taken by the peer
  std::uint64_t received = 0;
};

// The counts of the connection on `fd`; nothing when it is not a TCP socket.
std::optional<Counts> of(int fd);

}  // namespace tvrn::SocketTraffic
