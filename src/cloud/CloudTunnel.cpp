#include "cloud/CloudTunnel.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "base/Base64.h"
#include "base/Dispatch.h"
#include "cloud/TunnelLock.h"
#include "cloud/TunnelState.h"
#include "core/ConfigManager.h"
#include "core/JSONRPC.h"
#include "core/Logger.h"
#include "core/MCPServer.h"
#include "core/MCPServerTexts.h"
#include "core/Timeouts.h"
#include "platform/Endpoints.h"
#include "platform/SocketTraffic.h"

namespace tvrn {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

constexpr std::string_view kCategory = "tunnel";
constexpr std::string_view kTokenPrefix = "tvrn-";
constexpr auto kConnectTimeout =
    std::chrono::milliseconds(static_cast<long long>(Timeouts::networkDefault * 1000));
// Replies go out in frames of this size, so that a long one shows whether the back end still
// reads it.
constexpr std::size_t kWriteChunk = 64 * 1024;

// The relay token the settings hold; nothing while a settings file is there but cannot be read,
// as what it says of the token then is unknown (what it last held may be an empty moment of a
// save that removed it and wrote it again).
std::optional<std::string> cloudToken(const ConfigManager* from) {
  if (from == nullptr) return std::string();
  const auto settings = from->snapshot();
  if (settings->unreadable) return std::nullopt;
  const auto token = settings->values.find("cloud_token");
  if (token == settings->values.end() || !token->is_string()) return std::string();
  return token->get<std::string>();
}

bool isRelayToken(std::string_view token) { return token.starts_with(kTokenPrefix); }

// Where the tunnel of a back end lives: its host and port, wss for https, ws for http.
struct Address {
  bool secure = false;
  std::string host;
  std::string port;
  std::string target;  // the back end's path, then "/tunnel"
};

std::optional<Address> tunnelAddress(const std::string& backend) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
  if (!url || curl_url_set(url.get(), CURLUPART_URL, backend.c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  const auto part = [&url](CURLUPart which, unsigned flags) -> std::optional<std::string> {
    char* text = nullptr;
    if (curl_url_get(url.get(), which, &text, flags) != CURLUE_OK) return std::nullopt;
    std::string value(text);
    curl_free(text);
    return value;
  };
  const auto scheme = part(CURLUPART_SCHEME, 0);
  auto host = part(CURLUPART_HOST, 0);
  auto port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host || !port || (*scheme != "http" && *scheme != "https")) return std::nullopt;
  if (host->size() > 2 && host->front() == '[') *host = host->substr(1, host->size() - 2);
  std::string target = part(CURLUPART_PATH, 0).value_or("");
  while (!target.empty() && target.back() == '/') target.pop_back();
  return Address{*scheme == "https", std::move(*host), std::move(*port), target + "/tunnel"};
}

// One frame of the back end: a request's id, and the request when its body could be decoded.
struct Frame {
  std::string id;
  std::optional<std::string> request;
};

std::optional<Frame> parseFrame(std::string_view text) {
  const auto frame = nlohmann::json::parse(text, nullptr, false);
  if (!frame.is_object()) return std::nullopt;
  const auto id = frame.find("id");
  if (id == frame.end() || !id->is_string()) return std::nullopt;
  Frame parsed{id->get<std::string>(), std::nullopt};
  if (const auto body = frame.find("body"); body != frame.end() && body->is_string()) {
    parsed.request = Base64::decode(body->get_ref<const std::string&>());
  }
  return parsed;
}

std::string answer(const Frame& frame, const CloudTunnel::RequestHandler& handler) {
  if (!frame.request) {
    return JSONRPCResponse::error(std::nullopt, JSONRPCError::parseError, "Parse error");
  }
  return handler(*frame.request);
}

// What the session's I/O thread shares with the workers answering its requests.
struct Outbox {
  std::mutex mutex;  // guards the members up to `wake`
  bool closed = false;
  std::size_t running = 0;
  std::deque<Frame> waiting;  // requests beyond the four that run
  std::deque<std::string> replies;
  std::function<void()> wake;  // hands the replies to the I/O thread; called under the mutex

  // Read by CloudTunnel::backlog(); requests changed on the I/O thread only.
  std::atomic<std::size_t> heldRequests{0};
  std::atomic<std::size_t> heldReplyBytes{0};
};

// The reply's frame, {"body":...,"id":...}: the body is Base64, which a JSON string holds as it
// is, so only the id goes through the serializer, which would look at each of the body's
// characters (the bulk of a large reply's cost).
std::string replyFrame(const std::string& id, const std::string& reply) {
  return "{\"body\":\"" + Base64::encode(reply) + "\",\"id\":" + nlohmann::json(id).dump() + "}";
}

// Answers requests one after another on a pool thread until none waits for a free place.
void work(std::shared_ptr<Outbox> outbox, CloudTunnel::RequestHandler handler, Frame frame) {
  while (true) {
    std::string reply = replyFrame(frame.id, answer(frame, handler));
    std::lock_guard hold(outbox->mutex);
    if (outbox->closed) return;
    outbox->heldReplyBytes += reply.size();
    outbox->replies.push_back(std::move(reply));
    outbox->wake();
    if (outbox->waiting.empty()) {
      --outbox->running;
      return;
    }
    frame = std::move(outbox->waiting.front());
    outbox->waiting.pop_front();
  }
}

struct Settings {
  Address address;
  std::string token;
  CloudTunnel::Options options;
  CloudTunnel::RequestHandler handler;
  std::function<void()> onConnected;
  std::shared_ptr<Outbox> outbox;
  LogThrottle* droppedFrames;  // the tunnel's, which outlives the session
};

// One WebSocket session over a plain or a TLS stream. Everything here runs on the thread that
// runs the io_context, which alone touches the socket; writes go out one at a time.
template <class Stream>
class Relay {
 public:
  template <class... StreamArgs>
  Relay(asio::io_context& io, Settings settings, StreamArgs&&... streamArgs)
      : io_(io),
        settings_(std::move(settings)),
        ws_(io, std::forward<StreamArgs>(streamArgs)...),
        resolver_(io),
        pingTimer_(io),
        tokenTimer_(io),
        silenceTimer_(io),
        outbox_(settings_.outbox) {
    outbox_->wake = [this] { asio::post(io_, [this] { flushReplies(); }); };
  }

  void start() {
    resolver_.async_resolve(settings_.address.host, settings_.address.port,
                            [this](beast::error_code error, tcp::resolver::results_type found) {
                              if (error) return end("cannot resolve: " + error.message());
                              connect(found);
                            });
  }

  // After the io_context stopped: no worker hands anything over any more, the socket closes.
  void shutdown() {
    {
      std::lock_guard hold(outbox_->mutex);
      outbox_->closed = true;
      outbox_->waiting.clear();
    }
    end("closed");
  }

 private:
  struct Outgoing {
    bool ping = false;
    std::string text;
    std::size_t sent = 0;  // of text, in frames already written
  };

  void connect(const tcp::resolver::results_type& found) {
    beast::get_lowest_layer(ws_).expires_after(kConnectTimeout);
    beast::get_lowest_layer(ws_).async_connect(
        found, [this](beast::error_code error, const tcp::endpoint&) {
          if (error) return end("cannot connect: " + error.message());
          if constexpr (kSecure) {
            secure();
          } else {
            upgrade();
          }
        });
  }

  static constexpr bool kSecure =
      !std::is_same_v<typename Stream::next_layer_type, beast::tcp_stream>;

  void secure() {
    if constexpr (kSecure) {
      SSL* ssl = ws_.next_layer().native_handle();
      const std::string& host = settings_.address.host;
      beast::error_code error;
      asio::ip::make_address(host, error);
      X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
      const bool named = error ? X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0) == 1 &&
                                     SSL_set_tlsext_host_name(ssl, host.c_str()) == 1
                               : X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
      if (!named) return end("cannot check the server's name " + host);
      ws_.next_layer().async_handshake(asio::ssl::stream_base::client,
                                       [this](beast::error_code failed) {
                                         if (failed) return end("TLS: " + failed.message());
                                         upgrade();
                                       });
    }
  }

  void upgrade() {
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeout;
    timeout.handshake_timeout = kConnectTimeout;
    // Beast's idle time-out here runs from the upgrade and a pong does not restart it, so the
    // session would end every minute however lively the back end is; silence is watched below.
    timeout.idle_timeout = websocket::stream_base::none();
    timeout.keep_alive_pings = false;
    ws_.set_option(timeout);
    ws_.set_option(websocket::stream_base::decorator(
        [token = settings_.token](websocket::request_type& request) {
          request.set(http::field::authorization, "Bearer " + token);
        }));
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
      heard();
      if (kind == websocket::frame_type::pong) TunnelState::write(true);
    });
    const Address& address = settings_.address;
    ws_.async_handshake(address.host + ":" + address.port, address.target,
                        [this](beast::error_code error) {
                          if (error) return end("upgrade refused: " + error.message());
                          settings_.onConnected();
                          heard();
                          noteTraffic();
                          watchSilence();
                          read();
                          schedulePing();
                          scheduleTokenCheck();
                        });
  }

  void read() {
    ws_.async_read(buffer_, [this](beast::error_code error, std::size_t) {
      if (error) return end(error.message());
      heard();
      const std::string text = beast::buffers_to_string(buffer_.data());
      buffer_.consume(buffer_.size());
      receive(text);
      readUnlessFull();
    });
  }

  // Back pressure: with enough requests held, the next frame stays unread until a reply is out.
  void readUnlessFull() {
    paused_ = outbox_->heldRequests >= CloudTunnel::kMaxHeldRequests;
    if (!paused_) read();
  }

  void receive(std::string_view text) {
    auto frame = parseFrame(text);
    if (!frame) {
      settings_.droppedFrames->write("Dropped a frame without a text id");
      return;
    }
    ++outbox_->heldRequests;
    std::lock_guard hold(outbox_->mutex);
    if (outbox_->running >= CloudTunnel::kMaxConcurrentRequests) {
      outbox_->waiting.push_back(std::move(*frame));
      return;
    }
    ++outbox_->running;
    Dispatch::async([outbox = outbox_, handler = settings_.handler, frame = std::move(*frame)] {
      work(outbox, handler, frame);
    });
  }

  void flushReplies() {
    {
      std::lock_guard hold(outbox_->mutex);
      for (auto& reply : outbox_->replies) writes_.push_back({false, std::move(reply)});
      outbox_->replies.clear();
    }
    write();
  }

  void write() {
    if (writing_ || ended_ || writes_.empty()) return;
    writing_ = true;
    lastWritten_ = std::chrono::steady_clock::now();
    Outgoing& next = writes_.front();
    if (next.ping) {
      ws_.async_ping({}, [this](beast::error_code error) { written(error, 0); });
      return;
    }
    const std::size_t size = std::min(kWriteChunk, next.text.size() - next.sent);
    ws_.text(true);
    ws_.async_write_some(
        next.sent + size == next.text.size(), asio::buffer(next.text.data() + next.sent, size),
        [this, size](beast::error_code error, std::size_t) { written(error, size); });
  }

  // One frame is out: a reply sent whole lets go of its request, and reading goes on if it
  // waited for that.
  void written(beast::error_code error, std::size_t size) {
    writing_ = false;
    if (error) return end("write failed: " + error.message());
    lastWritten_ = std::chrono::steady_clock::now();
    Outgoing& front = writes_.front();
    front.sent += size;
    if (!front.ping && front.sent < front.text.size()) return write();
    if (!front.ping) {
      outbox_->heldReplyBytes -= front.text.size();
      --outbox_->heldRequests;
    }
    writes_.pop_front();
    if (paused_ && outbox_->heldRequests < CloudTunnel::kMaxHeldRequests) {
      heard();  // the back end is not to blame for what was not read meanwhile
      readUnlessFull();
    }
    write();
  }

  void schedulePing() {
    pingTimer_.expires_after(settings_.options.pingInterval);
    pingTimer_.async_wait([this](beast::error_code error) {
      if (error || ended_) return;
      writes_.push_back({true, {}});
      write();
      schedulePing();
    });
  }

  void scheduleTokenCheck() {
    tokenTimer_.expires_after(settings_.options.tokenCheckInterval);
    tokenTimer_.async_wait([this](beast::error_code error) {
      if (error || ended_) return;
      // A file that cannot be read keeps the session: the relayed tool calls are refused meanwhile.
      const auto token = cloudToken(settings_.options.settings);
      if (token && *token != settings_.token) return end("the relay token changed");
      scheduleTokenCheck();
    });
  }

  // Every frame of the back end is a word, a pong or a ping as much as a request.
  void heard() { lastHeard_ = std::chrono::steady_clock::now(); }

  // Bytes moved count as much as whole frames: a back end on a slow line takes a long reply, or
  // sends a long request, a little at a time, and no frame may pass for a long while. One that
  // takes bytes is heard from too: a ping waits behind the reply it is taking.
  void noteTraffic() {
    const auto counts = SocketTraffic::of(beast::get_lowest_layer(ws_).socket().native_handle());
    if (!counts) return;
    if (traffic_) {
      const auto now = std::chrono::steady_clock::now();
      if (counts->acknowledged != traffic_->acknowledged) lastWritten_ = lastHeard_ = now;
      if (counts->received != traffic_->received) lastHeard_ = now;
    }
    traffic_ = counts;
  }

  // Two silences end the session: nothing from the back end while it is read, and nothing taken
  // by it while something waits to go out. The bytes the connection moved are looked at four
  // times per limit.
  void watchSilence() {
    const auto limit = settings_.options.silenceLimit;
    const auto now = std::chrono::steady_clock::now();
    auto next = (paused_ ? now : lastHeard_) + limit;
    if (writing_) next = std::min(next, lastWritten_ + limit);
    silenceTimer_.expires_at(std::min(next, now + limit / 4));
    silenceTimer_.async_wait([this, limit](beast::error_code error) {
      if (error || ended_) return;
      noteTraffic();
      const auto now = std::chrono::steady_clock::now();
      const std::string seconds =
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) + " s";
      if (writing_ && now - lastWritten_ >= limit) {
        return end("the back end has read nothing for " + seconds);
      }
      if (!paused_ && now - lastHeard_ >= limit) {
        return end("no word from the back end for " + seconds);
      }
      watchSilence();
    });
  }

  void end(const std::string& reason) {
    if (ended_) return;
    ended_ = true;
    if (reason != "closed") Logger::info(kCategory, "Tunnel session ended: " + reason);
    resolver_.cancel();
    pingTimer_.cancel();
    tokenTimer_.cancel();
    silenceTimer_.cancel();
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
    // The stream's own timer and pending operations would otherwise hold the io_context.
    io_.stop();
  }

  asio::io_context& io_;
  Settings settings_;
  Stream ws_;
  tcp::resolver resolver_;
  asio::steady_timer pingTimer_;
  asio::steady_timer tokenTimer_;
  asio::steady_timer silenceTimer_;
  std::chrono::steady_clock::time_point lastHeard_;
  std::chrono::steady_clock::time_point lastWritten_;  // when the back end last took something
  std::optional<SocketTraffic::Counts> traffic_;       // as last looked at
  beast::flat_buffer buffer_;
  std::deque<Outgoing> writes_;  // the front one is being written while writing_
  bool writing_ = false;
  bool paused_ = false;  // reading waits for held requests to be answered
  bool ended_ = false;
  std::shared_ptr<Outbox> outbox_;
};

}  // namespace

class CloudTunnel::Session {
 public:
  asio::io_context io;
  std::shared_ptr<Outbox> outbox = std::make_shared<Outbox>();

  // Runs the relay until it ends or the io_context is stopped, then runs what is ready of the
  // cancelled operations; the rest are dropped with the io_context, never run.
  template <class Stream, class... StreamArgs>
  void run(Settings settings, StreamArgs&&... streamArgs) {
    Relay<Stream> relay(io, std::move(settings), std::forward<StreamArgs>(streamArgs)...);
    relay.start();
    io.run();
    relay.shutdown();
    io.restart();
    io.poll();
  }
};

CloudTunnel::CloudTunnel() : CloudTunnel(Options{}) {}

CloudTunnel::CloudTunnel(Options options) : options_(std::move(options)) {
  if (!options_.handler) {
    options_.handler = [](std::string_view) { return std::string(MCPServerTexts::relayNoReply); };
  }
  if (options_.silenceLimit <= std::chrono::milliseconds::zero()) {
    options_.silenceLimit =
        std::chrono::milliseconds(static_cast<long long>(Timeouts::tunnelStream * 1000));
  }
}

CloudTunnel::~CloudTunnel() { stop(); }

CloudTunnel::RequestHandler CloudTunnel::answeredBy(const std::shared_ptr<MCPServer>& server) {
  return [session = std::weak_ptr<MCPServer>(server)](std::string_view request) {
    const auto server = session.lock();
    if (!server) return std::string(MCPServerTexts::relayNoReply);
    return server->handleTunnelRequest(request);
  };
}

void CloudTunnel::startInBackground() {
  std::lock_guard hold(mutex_);
  if (thread_.joinable()) return;
  thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

void CloudTunnel::stop() {
  std::jthread thread;
  {
    std::lock_guard hold(mutex_);
    thread_.request_stop();
    if (session_) session_->io.stop();
    thread = std::move(thread_);
  }
  wake_.notify_all();
  if (thread.joinable()) thread.join();
}

CloudTunnel::Backlog CloudTunnel::backlog() const {
  std::lock_guard hold(mutex_);
  if (!session_) return {};
  return {session_->outbox->heldRequests, session_->outbox->heldReplyBytes};
}

std::chrono::seconds CloudTunnel::nextRetryDelay(std::chrono::seconds delay) {
  return std::min(delay * 2, std::chrono::seconds(kMaxRetryDelay));
}

bool CloudTunnel::pause(std::chrono::milliseconds duration, std::stop_token stop) {
  if (options_.wait) return options_.wait(duration, stop) && !stop.stop_requested();
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, stop, duration, [] { return false; }) && !stop.stop_requested();
}

void CloudTunnel::run(std::stop_token stop) {
  if (!TunnelLock::shared().acquire(stop)) return;
  std::chrono::seconds delay = kFirstRetryDelay;
  while (!stop.stop_requested()) {
    const std::string token = cloudToken(options_.settings).value_or("");
    if (!isRelayToken(token)) {
      if (!pause(options_.tokenCheckInterval, stop)) return;
      continue;
    }
    if (runSession(token, stop)) delay = kFirstRetryDelay;
    if (!pause(delay, stop)) return;
    delay = nextRetryDelay(delay);
  }
}

bool CloudTunnel::runSession(const std::string& token, std::stop_token stop) {
  const std::string backend = Endpoints::backend();
  auto address = tunnelAddress(backend);
  if (!address) {
    Logger::warn(kCategory, "No tunnel can reach the back end at " + backend);
    return false;
  }
  const bool secure = address->secure;
  const std::string url =
      (secure ? "wss://" : "ws://") + address->host + ":" + address->port + address->target;
  bool connected = false;
  Session session;
  Settings settings{std::move(*address),
                    token,
                    options_,
                    options_.handler,
                    [&] {
                      connected = true;
                      connected_ = true;
                      TunnelState::write(true);
                      Logger::info(kCategory, "Tunnel connected to " + url);
                    },
                    session.outbox,
                    &droppedFrames_};
  {
    std::lock_guard hold(mutex_);
    if (stop.stop_requested()) return false;
    session_ = &session;
  }
  if (secure) {
    asio::ssl::context tls(asio::ssl::context::tls_client);
    tls.set_default_verify_paths();  // honours SSL_CERT_FILE and SSL_CERT_DIR
    tls.set_verify_mode(asio::ssl::verify_peer);
    session.run<websocket::stream<beast::ssl_stream<beast::tcp_stream>>>(std::move(settings), tls);
  } else {
    session.run<websocket::stream<beast::tcp_stream>>(std::move(settings));
  }
  {
    std::lock_guard hold(mutex_);
    session_ = nullptr;
  }
  droppedFrames_.flush();
  if (connected) {
    connected_ = false;
    TunnelState::write(false);
  }
  return connected;
}

}  // namespace tvrn
