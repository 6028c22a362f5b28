#include "platform/SocketOwner.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace tvrn::SocketOwner {
namespace {

// The kernel answers within the send; the wait only keeps a wedged answer from holding a caller.
constexpr int kAnswerWaitMs = 1000;

std::string reasonOf(int error) { return std::system_category().message(error); }

// One end of the connection as the diagnostics name it; false for a family they do not serve.
bool copyEnd(const sockaddr_storage& end, __be16& port, __be32 (&address)[4]) {
  if (end.ss_family == AF_INET) {
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(end);
    port = in4.sin_port;
    std::memcpy(address, &in4.sin_addr, sizeof in4.sin_addr);
    return true;
  }
  if (end.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(end);
    port = in6.sin6_port;
    std::memcpy(address, &in6.sin6_addr, sizeof in6.sin6_addr);
    return true;
  }
  return false;
}

// The lookup is exact; only a listening socket it may fall back to has other ports. Addresses are
// not compared: a peer's IPv6 socket that reached an IPv4 address shows it in the mapped form.
bool samePorts(const inet_diag_sockid& a, const inet_diag_sockid& b) {
  return a.idiag_sport == b.idiag_sport && a.idiag_dport == b.idiag_dport;
}

// The socket the peer connected from: local end its address and port, remote end ours.
Result<inet_diag_req_v2, std::string> requestFor(int connected) {
  sockaddr_storage ours{}, theirs{};
  socklen_t oursLength = sizeof ours, theirsLength = sizeof theirs;
  if (::getsockname(connected, reinterpret_cast<sockaddr*>(&ours), &oursLength) != 0 ||
      ::getpeername(connected, reinterpret_cast<sockaddr*>(&theirs), &theirsLength) != 0) {
    return fail("the connection's addresses cannot be read (" + reasonOf(errno) + ")");
  }
  inet_diag_req_v2 request{};
  request.sdiag_family = static_cast<__u8>(theirs.ss_family);
  request.sdiag_protocol = IPPROTO_TCP;
  request.idiag_states = ~0u;
  request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  if (ours.ss_family != theirs.ss_family ||
      !copyEnd(theirs, request.id.idiag_sport, request.id.idiag_src) ||
      !copyEnd(ours, request.id.idiag_dport, request.id.idiag_dst)) {
    return fail(std::string("not a TCP connection over IPv4 or IPv6"));
  }
  return request;
}

Result<uid_t, std::string> ask(int diagnostics, const inet_diag_req_v2& request) {
  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;  // the one socket, not a dump of every socket
  message.body = request;
  if (::send(diagnostics, &message, sizeof message, 0) != static_cast<ssize_t>(sizeof message)) {
    return fail("the kernel's socket diagnostics cannot be asked (" + reasonOf(errno) + ")");
  }
  pollfd answer{diagnostics, POLLIN, 0};
  alignas(nlmsghdr) char buffer[8192];
  ssize_t got = -1;
  if (::poll(&answer, 1, kAnswerWaitMs) > 0) got = ::recv(diagnostics, buffer, sizeof buffer, 0);
  if (got < static_cast<ssize_t>(sizeof(nlmsghdr))) {
    return fail(std::string("the kernel's socket diagnostics gave no answer"));
  }
  const auto* header = reinterpret_cast<const nlmsghdr*>(buffer);
  if (header->nlmsg_type == NLMSG_ERROR &&
      got >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr)))) {
    const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
    return fail("the kernel's socket diagnostics do not know the peer's socket (" +
                reasonOf(error) + ")");
  }
  if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
      got < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(inet_diag_msg)))) {
    return fail(std::string("the kernel's socket diagnostics answered in an unknown form"));
  }
  const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
  // A socket its program has closed (waiting out the close) has no inode and shows no owner.
  if (!samePorts(socket->id, request.id) || socket->idiag_state == TCP_LISTEN ||
      socket->idiag_inode == 0) {
    return fail(std::string("the peer's socket is closed or gone"));
  }
  return static_cast<uid_t>(socket->idiag_uid);
}

}  // namespace

Result<uid_t, std::string> ofLoopbackPeer(int connected) {
  const auto request = requestFor(connected);
  if (!request) return fail(request.error());
  const int diagnostics = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (diagnostics < 0) {
    return fail("the kernel's socket diagnostics cannot be opened (" + reasonOf(errno) + ")");
  }
  auto owner = ask(diagnostics, request.value());
  ::close(diagnostics);
  return owner;
}

bool isUsersOwn(uid_t owner) { return owner == ::geteuid() || owner == 0; }

Result<uid_t, std::string> ofUnixPeer(int connected) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(connected, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    return fail("the peer's credentials cannot be read (" + reasonOf(errno) + ")");
  }
  return peer.uid;
}

}  // namespace tvrn::SocketOwner
