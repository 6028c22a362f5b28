#include "tools/evernote/EvernoteCallback.h"

#include <httplib.h>

#include "tools/evernote/EvernoteTexts.h"

namespace tvrn::EvernoteTools {
namespace {

namespace Texts = EvernoteTexts;

// The last value of the query item of that name; a later item wins.
std::optional<std::string> queryItem(const httplib::Request& request, const char* name) {
  std::optional<std::string> value;
  const auto [begin, end] = request.params.equal_range(name);
  for (auto it = begin; it != end; ++it) value = it->second;
  return value;
}

}  // namespace

std::string htmlEscaped(std::string_view text) {
  std::string escaped;
  for (const char ch : text) {
    switch (ch) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += ch;
    }
  }
  return escaped;
}

CallbackListener::CallbackListener(std::string expectedState)
    : expectedState_(std::move(expectedState)), server_(std::make_unique<httplib::Server>()) {
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    const auto code = queryItem(request, "code");
    const auto state = queryItem(request, "state");
    const auto error = queryItem(request, "error");
    CallbackOutcome outcome;
    if (error) {
      outcome.error = std::string(Texts::kDeclined) + *error;
    } else if (state != expectedState_) {
      // A redirect without the state we sent cannot be told from one a third party forged.
      outcome.error = std::string(Texts::kStateMismatch);
    } else {
      outcome.code = code;
    }
    response.set_content(
        error ? Texts::errorPage(htmlEscaped(*error)) : std::string(Texts::kSuccessPage),
        "text/html");
    {
      std::lock_guard lock(mutex_);
      if (outcome_) return;  // only the first request counts
      outcome_ = std::move(outcome);
    }
    arrived_.notify_all();
  });
  server_->set_keep_alive_max_count(1);
  const int port = server_->bind_to_any_port("127.0.0.1");
  if (port <= 0) return;
  port_ = port;
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    loopEnded_ = true;
  });
  // stop() only takes effect on a running loop, so the listener is ready once this returns.
  while (!server_->is_running() && !loopEnded_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

CallbackListener::~CallbackListener() { stop(); }

std::optional<CallbackOutcome> CallbackListener::waitForCallback(std::chrono::milliseconds wait) {
  std::optional<CallbackOutcome> outcome;
  {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, wait, [this] { return outcome_.has_value(); });
    outcome = outcome_;
  }
  stop();
  return outcome;
}

void CallbackListener::stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
}

}  // namespace tvrn::EvernoteTools
