// The status server's routes over Boost.Beast's messages: which handler answers a method and a
// path, how a request that no route takes is answered, and what every answer carries.
#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <functional>
#include <map>
#include <string>

namespace tvrn {

using StatusRequest = boost::beast::http::request<boost::beast::http::string_body>;
using StatusResponse = boost::beast::http::response<boost::beast::http::string_body>;

class StatusRouteTable final {
 public:
  // Fills in the answer, whose status is 200 unless the handler sets another.
  using Handler = std::function<void(const StatusRequest&, StatusResponse&)>;
  // Sees each request of a known method before the routes do; true when it has answered it.
  using Screen = std::function<bool(const StatusRequest&, StatusResponse&)>;

  void screen(Screen screen);
  // A GET route answers HEAD too, without the body.
  void get(std::string path, Handler handler);
  void post(std::string path, Handler handler);

  // The answer to a whole request. A route's path matches exactly, after the query is left out
  // and percent-escapes are decoded. A request line longer than 8 KiB gets 414; a header line
  // longer than 8 KiB, or a method HTTP does not know, 400; a path without a route for the
  // method 404 (400 for CONNECT, TRACE and PRI); a handler that throws 500. Every answer says
  // "Connection: close" and gives its length; a body without a type is text/plain.
  [[nodiscard]] StatusResponse answer(const StatusRequest& request) const;

 private:
  using Routes = std::map<std::string, Handler, std::less<>>;

  void route(const StatusRequest& request, StatusResponse& response) const;

  Screen screen_;
  Routes get_;
  Routes post_;
};

}  // namespace tvrn
