#include "platform/SocketTraffic.h"

// The kernel's own record, with the byte counts glibc's copy of it lacks.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

namespace tvrn::SocketTraffic {

std::optional<Counts> of(int fd) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return std::nullopt;
  // An older kernel fills less of the record; without the counts nothing can be told.
  if (size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
    return std::nullopt;
  }
  return Counts{info.tcpi_bytes_acked, info.tcpi_bytes_received};
}

}  // namespace tvrn::SocketTraffic
