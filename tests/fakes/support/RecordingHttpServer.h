// A stand-in web server for tests: listens on 127.0.0.1 on a port of the system's choosing,
// remembers every request it gets and answers each path as the test tells it to.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace tvrn::test {

struct RecordedRequest {
  std::string method;
  std::string path;    // without the query
  std::string target;  // as sent: path and query
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::vector<std::pair<std::string, std::string>> query;  // decoded query items, by name

  // The last query item of that name, decoded; empty when absent.
  std::string queryItem(std::string_view name) const;
  // The first header of that name (case-insensitive); empty when absent.
  std::string header(std::string_view name) const;
  // The body parsed as JSON; a discarded value when it is not JSON.
  nlohmann::json json() const;
};

struct CannedResponse {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  std::chrono::milliseconds delay{0};  // waited before answering; cut short when the server stops
  std::vector<std::pair<std::string, std::string>> headers;
  bool held = false;  // kept back, before the delay, until release() or the server stops
};

class RecordingHttpServer {
 public:
  RecordingHttpServer();  // listening when the constructor returns
  ~RecordingHttpServer();
  RecordingHttpServer(const RecordingHttpServer&) = delete;
  RecordingHttpServer& operator=(const RecordingHttpServer&) = delete;

  int port() const { return port_; }
  std::string baseURL() const;  // http://127.0.0.1:<port>

  // The answer for every method on this exact path; other paths get 200 with an empty body.
  void respond(const std::string& path, CannedResponse response);
  // Answers for the next requests to this path, one each in order; once they are used up the
  // path is answered as respond() set it.
  void enqueue(const std::string& path, std::vector<CannedResponse> responses);

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requestsTo(std::string_view path) const;
  std::size_t requestCount() const;

  // True once at least `count` requests have arrived; false if the time-out passes first.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout);

  // Lets the held answers go, those waiting and those still to come.
  void release();

 private:
  CannedResponse answerFor(const std::string& path);
  void record(RecordedRequest request);
  void pause(const CannedResponse& answer);

  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::thread listener_;
  mutable std::mutex mutex_;  // guards the members below
  std::condition_variable changed_;
  std::vector<RecordedRequest> requests_;
  std::map<std::string, CannedResponse> responses_;
  std::map<std::string, std::deque<CannedResponse>> queued_;
  bool released_ = false;
  bool stopping_ = false;
};

}  // namespace tvrn::test
