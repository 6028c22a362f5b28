#include "fakes/support/RecordingHttpServer.h"

#include <httplib.h>
#include <strings.h>

#include <cstdlib>

namespace tvrn::test {

std::string RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && ::strncasecmp(key.c_str(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return "";
}

std::string RecordedRequest::queryItem(std::string_view name) const {
  std::string found;
  for (const auto& [key, value] : query) {
    if (key == name) found = value;
  }
  return found;
}

nlohmann::json RecordedRequest::json() const {
  return nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
}

RecordingHttpServer::RecordingHttpServer() : server_(std::make_unique<httplib::Server>()) {
  auto handle = [this](const httplib::Request& request, httplib::Response& response) {
    RecordedRequest recorded{request.method, request.path, request.target, {}, request.body, {}};
    for (const auto& [key, value] : request.headers) recorded.headers.emplace_back(key, value);
    for (const auto& [key, value] : request.params) recorded.query.emplace_back(key, value);
    record(std::move(recorded));

    const CannedResponse answer = answerFor(request.path);
    pause(answer);
    response.status = answer.status;
    for (const auto& [key, value] : answer.headers) response.set_header(key, value);
    response.set_content(answer.body, answer.contentType);
  };
  const std::string any = ".*";
  server_->Get(any, handle);
  server_->Post(any, handle);
  server_->Put(any, handle);
  server_->Patch(any, handle);
  server_->Delete(any, handle);
  server_->Options(any, handle);
  // One request per connection, so stopping never waits on an idle kept-alive client.
  server_->set_keep_alive_max_count(1);

  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) std::abort();
  listener_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only takes effect on a running loop, so the constructor waits for it to start.
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

RecordingHttpServer::~RecordingHttpServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  server_->stop();
  listener_.join();
}

std::string RecordingHttpServer::baseURL() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void RecordingHttpServer::respond(const std::string& path, CannedResponse response) {
  std::lock_guard lock(mutex_);
  responses_[path] = std::move(response);
}

void RecordingHttpServer::enqueue(const std::string& path, std::vector<CannedResponse> responses) {
  std::lock_guard lock(mutex_);
  auto& queue = queued_[path];
  for (auto& response : responses) queue.push_back(std::move(response));
}

std::vector<RecordedRequest> RecordingHttpServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<RecordedRequest> RecordingHttpServer::requestsTo(std::string_view path) const {
  std::lock_guard lock(mutex_);
  std::vector<RecordedRequest> matching;
  for (const auto& request : requests_) {
    if (request.path == path) matching.push_back(request);
  }
  return matching;
}

std::size_t RecordingHttpServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

bool RecordingHttpServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

CannedResponse RecordingHttpServer::answerFor(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (auto queue = queued_.find(path); queue != queued_.end() && !queue->second.empty()) {
    CannedResponse next = std::move(queue->second.front());
    queue->second.pop_front();
    return next;
  }
  const auto found = responses_.find(path);
  if (found == responses_.end()) return CannedResponse{200, "", "text/plain", {}, {}};
  return found->second;
}

void RecordingHttpServer::record(RecordedRequest request) {
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
  }
  changed_.notify_all();
}

void RecordingHttpServer::release() {
  {
    std::lock_guard lock(mutex_);
    released_ = true;
  }
  changed_.notify_all();
}

void RecordingHttpServer::pause(const CannedResponse& answer) {
  std::unique_lock lock(mutex_);
  if (answer.held) changed_.wait(lock, [this] { return released_ || stopping_; });
  if (answer.delay > std::chrono::milliseconds::zero()) {
    changed_.wait_for(lock, answer.delay, [this] { return stopping_; });
  }
}

}  // namespace tvrn::test
