#include "fakes/support/FakeTunnelServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace tvrn::test {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

class SessionBase {
 public:
  virtual ~SessionBase() = default;
  virtual void send(std::string text) = 0;
  virtual void drop() = 0;
  virtual void resume() = 0;
};

}  // namespace

struct FakeTunnelServer::State {
  asio::io_context io;  // first, so it is destroyed last
  std::optional<asio::ssl::context> tls;
  tcp::acceptor acceptor{io};
  HttpHandler http;
  std::thread thread;

  mutable std::mutex mutex;  // guards the members below
  mutable std::condition_variable changed;
  std::vector<std::string> frames;
  std::vector<std::string> authorizations;
  std::size_t pings = 0;
  bool reading = true;
  std::size_t slowBytes = 0;  // with slowEvery, how a slow line reads; 0 reads at full speed
  std::chrono::milliseconds slowEvery{0};
  std::vector<std::shared_ptr<SessionBase>> open;  // touched on the I/O thread only

  void changeSessions(const std::shared_ptr<SessionBase>& session, bool add) {
    std::lock_guard hold(mutex);
    if (add) {
      open.push_back(session);
    } else {
      std::erase(open, session);
    }
    changed.notify_all();
  }

  void accept();
};

namespace {

using State = FakeTunnelServer::State;
using HttpReply = FakeTunnelServer::HttpReply;

template <class Stream>
class Session final : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
 public:
  Session(Stream&& stream, State& state)
      : ws_(std::move(stream)), state_(state), pause_(ws_.get_executor()) {}

  void accept(http::request<http::string_body> request) {
    {
      std::lock_guard hold(state_.mutex);
      state_.authorizations.emplace_back(request[http::field::authorization]);
    }
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
      if (kind != websocket::frame_type::ping) return;
      std::lock_guard hold(state_.mutex);
      ++state_.pings;
      state_.changed.notify_all();
    });
    ws_.async_accept(request, [self = this->shared_from_this()](beast::error_code error) {
      if (error) return;
      self->state_.changeSessions(self, true);
      self->read();
    });
  }

  void send(std::string text) override {
    out_.push_back(std::move(text));
    write();
  }

  void drop() override {
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

  void resume() override {
    if (!idle_) return;
    idle_ = false;
    read();
  }

 private:
  void read() {
    std::size_t slowBytes = 0;
    std::chrono::milliseconds pause{0};
    {
      std::lock_guard hold(state_.mutex);
      idle_ = !state_.reading;
      slowBytes = state_.slowBytes;
      if (slowBytes > 0) pause = state_.slowEvery;
    }
    if (idle_) return;
    // Part of a frame at a time: all that has come, or on a slow line a little every so often.
    ws_.async_read_some(
        buffer_, slowBytes,
        [self = this->shared_from_this(), pause](beast::error_code error, std::size_t) {
          if (error) return self->state_.changeSessions(self, false);
          if (self->ws_.is_message_done()) {
            std::lock_guard hold(self->state_.mutex);
            self->state_.frames.push_back(beast::buffers_to_string(self->buffer_.data()));
            self->state_.changed.notify_all();
            self->buffer_.consume(self->buffer_.size());
          } else if (pause.count() > 0) {
            self->pause_.expires_after(pause);
            return self->pause_.async_wait([self](beast::error_code) { self->read(); });
          }
          self->read();
        });
  }

  void write() {
    if (writing_ || out_.empty()) return;
    writing_ = true;
    ws_.text(true);
    ws_.async_write(asio::buffer(out_.front()),
                    [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                      self->writing_ = false;
                      self->out_.pop_front();
                      if (!error) self->write();
                    });
  }

  websocket::stream<Stream> ws_;
  State& state_;
  beast::flat_buffer buffer_;
  std::deque<std::string> out_;
  bool writing_ = false;
  bool idle_ = false;         // no read is pending while the server does not read
  asio::steady_timer pause_;  // between the reads of a slow line
};

// Reads one HTTP request: an upgrade to "/tunnel" becomes a session, anything else gets the
// handler's answer and the connection closes.
template <class Stream>
class Connection final : public std::enable_shared_from_this<Connection<Stream>> {
 public:
  Connection(Stream&& stream, State& state) : stream_(std::move(stream)), state_(state) {}

  void start() {
    http::async_read(stream_, buffer_, request_,
                     [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                       if (!error) self->route();
                     });
  }

 private:
  void route() {
    if (websocket::is_upgrade(request_) && request_.target() == "/tunnel") {
      std::make_shared<Session<Stream>>(std::move(stream_), state_)->accept(std::move(request_));
      return;
    }
    HttpReply reply;
    if (state_.http) {
      reply = state_.http(std::string(request_.method_string()), std::string(request_.target()),
                          request_.body());
    }
    auto response = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(reply.status), request_.version());
    response->set(http::field::content_type, reply.contentType);
    response->body() = std::move(reply.body);
    response->keep_alive(false);
    response->prepare_payload();
    http::async_write(stream_, *response,
                      [self = this->shared_from_this(), response](beast::error_code, std::size_t) {
                        beast::error_code ignored;
                        beast::get_lowest_layer(self->stream_)
                            .socket()
                            .shutdown(tcp::socket::shutdown_both, ignored);
                      });
  }

  Stream stream_;
  State& state_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
};

}  // namespace

void State::accept() {
  acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
    if (error) return;
    if (tls) {
      auto stream = std::make_shared<beast::ssl_stream<beast::tcp_stream>>(std::move(socket), *tls);
      stream->async_handshake(asio::ssl::stream_base::server,
                              [this, stream](beast::error_code failed) {
                                if (failed) return;
                                std::make_shared<Connection<beast::ssl_stream<beast::tcp_stream>>>(
                                    std::move(*stream), *this)
                                    ->start();
                              });
    } else {
      std::make_shared<Connection<beast::tcp_stream>>(beast::tcp_stream(std::move(socket)), *this)
          ->start();
    }
    accept();
  });
}

FakeTunnelServer::FakeTunnelServer(std::optional<Tls> tls, HttpHandler http, int port)
    : state_(std::make_shared<State>()) {
  if (tls) {
    state_->tls.emplace(asio::ssl::context::tls_server);
    state_->tls->use_certificate_chain_file(tls->certificateFile);
    state_->tls->use_private_key_file(tls->privateKeyFile, asio::ssl::context::pem);
  }
  state_->http = std::move(http);
  const tcp::endpoint local(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
  state_->acceptor.open(local.protocol());
  state_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  state_->acceptor.bind(local);
  state_->acceptor.listen();
  state_->accept();
  state_->thread = std::thread([state = state_.get()] { state->io.run(); });
}

FakeTunnelServer::~FakeTunnelServer() {
  state_->io.stop();
  state_->thread.join();
  std::lock_guard hold(state_->mutex);
  state_->open.clear();
}

int FakeTunnelServer::port() const { return state_->acceptor.local_endpoint().port(); }

std::string FakeTunnelServer::baseURL() const {
  return std::string(state_->tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port());
}

void FakeTunnelServer::send(const std::string& text) {
  asio::post(state_->io, [state = state_.get(), text] {
    std::vector<std::shared_ptr<SessionBase>> open;
    {
      std::lock_guard hold(state->mutex);
      open = state->open;
    }
    for (const auto& session : open) session->send(text);
  });
}

void FakeTunnelServer::dropSessions() {
  asio::post(state_->io, [state = state_.get()] {
    std::vector<std::shared_ptr<SessionBase>> open;
    {
      std::lock_guard hold(state->mutex);
      open = state->open;
    }
    for (const auto& session : open) session->drop();
  });
}

void FakeTunnelServer::setReading(bool reading) {
  {
    std::lock_guard hold(state_->mutex);
    state_->reading = reading;
    if (reading) state_->slowBytes = 0;
  }
  if (!reading) return;
  asio::post(state_->io, [state = state_.get()] {
    std::vector<std::shared_ptr<SessionBase>> open;
    {
      std::lock_guard hold(state->mutex);
      open = state->open;
    }
    for (const auto& session : open) session->resume();
  });
}

void FakeTunnelServer::readSlowly(std::size_t bytes, std::chrono::milliseconds every) {
  // A small buffer, so the relay's writes soon wait for the reads and each read opens the window
  // again (shut until half the buffer is free); a real line's segments, as the relay would send
  // nothing into a window smaller than the loopback's 64 KiB ones.
  const int buffer = 4 * 1024, segment = 1460;
  const int listener = state_->acceptor.native_handle();
  ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  ::setsockopt(listener, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
  std::lock_guard hold(state_->mutex);
  state_->slowBytes = bytes;
  state_->slowEvery = every;
}

std::vector<std::string> FakeTunnelServer::frames() const {
  std::lock_guard hold(state_->mutex);
  return state_->frames;
}

std::size_t FakeTunnelServer::frameCount() const {
  std::lock_guard hold(state_->mutex);
  return state_->frames.size();
}

std::vector<std::string> FakeTunnelServer::authorizations() const {
  std::lock_guard hold(state_->mutex);
  return state_->authorizations;
}

std::size_t FakeTunnelServer::openSessions() const {
  std::lock_guard hold(state_->mutex);
  return state_->open.size();
}

std::size_t FakeTunnelServer::pings() const {
  std::lock_guard hold(state_->mutex);
  return state_->pings;
}

bool FakeTunnelServer::waitUntil(const std::function<bool(const FakeTunnelServer&)>& condition,
                                 std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition(*this)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // A short slice: the condition reads under the same lock, so a change may fall between.
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_for(lock, std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace tvrn::test
