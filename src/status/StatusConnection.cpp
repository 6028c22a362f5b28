#include "status/StatusConnection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <climits>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <system_error>

namespace tvrn::StatusConnection {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using Clock = std::chrono::steady_clock;

// Waits until the socket is ready for `events` (or has failed); false once `deadline` passes.
bool ready(int socket, short events, Clock::time_point deadline) {
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd watched{socket, events, 0};
    const int result = ::poll(&watched, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (result > 0) return true;
    if (result < 0 && errno != EINTR) return false;
  }
}

bool sendAll(int socket, std::string_view bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!ready(socket, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// Beast's synchronous read stream over the connection: every read ends at the request's deadline,
// not at a time-out that each arriving byte would start again.
class DeadlineReader {
 public:
  DeadlineReader(int socket, Clock::time_point deadline) : socket_(socket), deadline_(deadline) {}

  template <class Buffers>
  std::size_t read_some(const Buffers& buffers, beast::error_code& error) {
    error = {};
    const asio::mutable_buffer into = *asio::buffer_sequence_begin(buffers);
    while (true) {
      if (!ready(socket_, POLLIN, deadline_)) {
        error = asio::error::timed_out;
        return 0;
      }
      const ssize_t got = ::recv(socket_, into.data(), into.size(), MSG_DONTWAIT);
      if (got > 0) {
        receivedAny_ = true;
        return static_cast<std::size_t>(got);
      }
      if (got == 0) {
        error = asio::error::eof;
        return 0;
      }
      if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
        error = beast::error_code(errno, boost::system::system_category());
        return 0;
      }
    }
  }

  template <class Buffers>
  std::size_t read_some(const Buffers& buffers) {
    beast::error_code error;
    const std::size_t got = read_some(buffers, error);
    if (error) throw beast::system_error(error);
    return got;
  }

  bool receivedAny() const { return receivedAny_; }

 private:
  int socket_;
  Clock::time_point deadline_;
  bool receivedAny_ = false;
};

const char* reasonFor(int status) {
  switch (status) {
    case 403:
      return "request refused";
    case 408:
      return "request not received in time";
    case 413:
      return "request body larger than 1 MiB";
    case 431:
      return "request headers too large";
    default:
      return "malformed request";
  }
}

// The status a failed read is refused with; 0 when the peer left or never spoke, so nothing is
// answered.
int refusalFor(beast::error_code error, bool headerDone, bool receivedAny) {
  if (error == asio::error::timed_out) return receivedAny ? 408 : 0;
  if (error == http::error::body_limit) return 413;
  if (error == http::error::header_limit) return 431;
  if (error == http::error::buffer_overflow) return headerDone ? 413 : 431;
  if (error == http::error::end_of_stream || error == http::error::partial_message ||
      error == asio::error::eof || error.category() == boost::system::system_category()) {
    return 0;
  }
  return 400;
}

std::string textOf(const StatusResponse& response) {
  std::ostringstream text;
  text << response;
  return text.str();
}

bool sendAnswer(int socket, const StatusResponse& response) {
  return sendAll(socket, textOf(response), Clock::now() + kWriteTime);
}

// The status with a JSON reason; the connection closes after it.
StatusResponse refusal(int status) {
  StatusResponse response{static_cast<http::status>(status), 11};
  response.set(http::field::content_type, "application/json");
  response.body() = nlohmann::json{{"ok", false}, {"error", reasonFor(status)}}.dump();
  response.keep_alive(false);
  response.prepare_payload();
  return response;
}

// Answers with the refusal, then reads what the peer still sends for a moment before the caller
// closes: closing with unread bytes would reset the connection, and the peer could lose the
// answer.
void refuse(int socket, int status) {
  if (!sendAnswer(socket, refusal(status))) return;
  ::shutdown(socket, SHUT_WR);
  const auto until = Clock::now() + kLinger;
  char discarded[16 * 1024];
  while (ready(socket, POLLIN, until) && ::recv(socket, discarded, sizeof discarded, 0) > 0) {
  }
}

bool expectsContinue(const StatusRequest& request) {
  const auto expect = request.find(http::field::expect);
  return expect != request.end() && beast::iequals(expect->value(), "100-continue");
}

}  // namespace

void serve(int socket, const StatusRouteTable& routes, std::chrono::milliseconds deadline,
           const std::function<void()>& requestRead) {
  const auto until = Clock::now() + deadline;
  DeadlineReader reader(socket, until);
  beast::flat_buffer buffer(kMaxHeaderBytes + 4096);
  http::request_parser<http::string_body> parser;
  parser.header_limit(kMaxHeaderBytes);
  parser.body_limit(kMaxBodyBytes);

  beast::error_code error;
  http::read_header(reader, buffer, parser, error);
  if (!error) {
    const auto& head = parser.get();
    if (static_cast<std::size_t>(std::distance(head.begin(), head.end())) > kMaxHeaders) {
      return refuse(socket, 431);
    }
    if (expectsContinue(head) && !parser.is_done() &&
        !sendAll(socket, "HTTP/1.1 100 Continue\r\n\r\n", until)) {
      return;
    }
    http::read(reader, buffer, parser, error);
  }
  if (error) {
    const int status = refusalFor(error, parser.is_header_done(), reader.receivedAny());
    if (status != 0) refuse(socket, status);
    return;
  }
  requestRead();
  // The peer that has left has no use for the answer; the socket is closed either way.
  static_cast<void>(sendAnswer(socket, routes.answer(parser.get())));
  ::shutdown(socket, SHUT_WR);
}

void refuseUnread(int socket) {
  // A new connection's send buffer is empty, so the few bytes go at once; a peer that then sends
  // its request into the closed connection is reset, but keeps the answer already in its buffer.
  static const std::string answer = textOf(refusal(403));
  static_cast<void>(::send(socket, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT));
}

}  // namespace tvrn::StatusConnection
