// The tray's HTTP: one network manager on the main thread for every request the tray sends to
// the status server, the back end and the web site. Completions run on the main thread, and only
// while the object they were sent for still exists.
#pragma once

#include <QNetworkAccessManager>
#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "tray/TrayRoutes.h"

class QNetworkReply;

namespace tvrn {

class TrayHttp final {
 public:
  // The most the tray reads of any reply or status file, so a runaway writer cannot make it
  // allocate without bound.
  static constexpr qint64 kMaxReplyBytes = 1024 * 1024;

  struct Reply {
    int status = 0;                   // the HTTP status; 0 when no answer came
    std::optional<std::string> body;  // absent when nothing usable arrived (no answer, too large)
    std::string error;                // why, when the request failed
  };
  using Completion = std::function<void(const Reply&)>;

  // Made on first use, on the main thread, once the application object exists; never destroyed,
  // so requests still under way at exit have a manager.
  static TrayHttp& shared();

  void get(const std::string& url, std::chrono::milliseconds timeout, QObject* context,
           Completion done);
  // The body goes out as compact JSON with "Content-Type: application/json".
  void postJSON(const std::string& url, const nlohmann::json& body,
                std::chrono::milliseconds timeout, QObject* context, Completion done);

  void get(const TrayRoute& route, QObject* context, Completion done) {
    get(TrayRoutes::url(route), route.timeout, context, std::move(done));
  }
  void postJSON(const TrayRoute& route, const nlohmann::json& body, QObject* context,
                Completion done) {
    postJSON(TrayRoutes::url(route), body, route.timeout, context, std::move(done));
  }

 private:
  TrayHttp();
  void complete(QNetworkReply* reply, QObject* context, Completion done);

  QNetworkAccessManager manager_;
};

}  // namespace tvrn
