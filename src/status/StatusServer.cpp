#include "status/StatusServer.h"

#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "cloud/HeartbeatManager.h"
#include "cloud/TunnelLock.h"
#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "core/Logger.h"
#include "platform/Endpoints.h"
#include "platform/FileStore.h"
#include "platform/Paths.h"
#include "status/RequestGuard.h"
#include "status/StatusDocument.h"
#include "status/StatusPageTexts.h"
#include "status/StatusRoutes.h"

namespace tvrn {
namespace {

using nlohmann::json;

constexpr std::string_view kCategory = "status";
constexpr const char* kJSON = "application/json";

std::string printed(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string_view view(boost::beast::string_view text) { return {text.data(), text.size()}; }

std::optional<std::string_view> header(const StatusRequest& request, const char* name) {
  const auto found = request.find(name);
  if (found == request.end()) return std::nullopt;
  return view(found->value());
}

// The page's own data block: file locations, as JSON text that cannot end the script element.
// The stdio command is the installed program the tray's client entries name, when it is there.
std::string appPage(const ConfigManager& settings) {
  std::error_code missing;
  const std::filesystem::path stdioServer = Paths::stdioServer();
  const json paths = {
      {"stdio_server",
       std::filesystem::is_regular_file(stdioServer, missing) ? stdioServer.string() : ""},
      {"config", settings.configPath().string()},
      {"system_config", (Paths::systemConfigDir() / "config.json").string()},
      {"log", settings.logPath().string()},
      {"audit", settings.auditLogPath().string()},
      {"status", (Paths::appSupport() / "status.json").string()},
      {"share", Paths::localShare().string()},
  };
  std::string data;
  for (const char c : printed(paths)) {
    if (c == '<') {
      data += "\\u003c";
    } else if (c == '>') {
      data += "\\u003e";
    } else if (c == '&') {
      data += "\\u0026";
    } else {
      data += c;
    }
  }
  std::string page(StatusPageTexts::kPage);
  page.replace(page.find(StatusPageTexts::kDataMarker), StatusPageTexts::kDataMarker.size(), data);
  return page;
}

void setContent(StatusResponse& response, std::string body, const char* type) {
  response.set(boost::beast::http::field::content_type, type);
  response.body() = std::move(body);
}

void answerJSON(StatusResponse& response, const json& body) {
  setContent(response, printed(body), kJSON);
}

}  // namespace

StatusServer::StatusServer(std::string version, std::shared_ptr<ServerContext> context)
    : StatusServer(std::move(version), Options{}, std::move(context)) {}

StatusServer::StatusServer(std::string version, Options options,
                           std::shared_ptr<ServerContext> context)
    : version_(std::move(version)),
      options_(options),
      context_(context ? std::move(context) : std::make_shared<ServerContext>()) {
  addRoutes(routes_);
}

StatusServer::~StatusServer() { stop(); }

void StatusServer::addRoutes(StatusRouteTable& routes) {
  routes.screen([this](const StatusRequest& request, StatusResponse& response) {
    const int refused =
        RequestGuard::refusal({view(request.method_string()), header(request, "Host"),
                               header(request, "Origin"), header(request, "Content-Type")},
                              port_);
    if (refused == 0) return false;
    response.result(static_cast<unsigned>(refused));
    answerJSON(response, {{"ok", false},
                          {"error", refused == 415 ? "Content-Type must be application/json"
                                                   : "request refused"}});
    return true;
  });

  routes.get("/status", [this](const StatusRequest&, StatusResponse& response) {
    setContent(response, StatusDocument::text(version_, *context_), kJSON);
  });
  routes.get("/app", [this](const StatusRequest&, StatusResponse& response) {
    response.set("X-Frame-Options", "DENY");
    setContent(response, appPage(*context_->settings), "text/html; charset=utf-8");
  });

  const auto post = [this, &routes](const char* path,
                                    json (*route)(std::string_view, const ServerContext&)) {
    routes.post(path, [this, route](const StatusRequest& request, StatusResponse& response) {
      answerJSON(response, route(request.body(), *context_));
    });
  };
  routes.post("/tool-call", [this](const StatusRequest& request, StatusResponse& response) {
    answerJSON(response, StatusRoutes::toolCall(request.body(), *context_));
  });
  routes.post("/tool-error", [this](const StatusRequest& request, StatusResponse& response) {
    answerJSON(response, StatusRoutes::toolError(request.body(), context_->counts));
  });
  routes.post("/config", [this](const StatusRequest& request, StatusResponse& response) {
    answerJSON(response, StatusRoutes::config(request.body(), *context_));
  });
  post("/tray-event", StatusRoutes::trayEvent);
  post("/cloud-data-enable", StatusRoutes::cloudDataEnable);
}

void StatusServer::start() {
  if (!listeners_.empty()) return;
  port_ = Endpoints::statusPort();
  // Fixed now, so "started_at" tells when this server began to answer.
  HeartbeatManager::startedAt();
  Logger::info(kCategory, "Status server starting on 127.0.0.1:" + std::to_string(port_) +
                              " and [::1]:" + std::to_string(port_));
  for (std::size_t index = 0; index < std::size(kHosts); ++index) {
    auto listener = std::make_unique<LoopbackListener>(
        kHosts[index], port_, options_.binding,
        [this](const LoopbackListener::Connection& connection) {
          StatusConnection::serve(connection.socket, routes_, options_.requestDeadline,
                                  connection.requestRead);
        },
        StatusConnection::refuseUnread, options_.peerOwner);
    listener->start([this, index] {
      bound_[index] = true;
      context_->statusServerInProcess = true;
    });
    listeners_.push_back(std::move(listener));
  }
  writer_ = std::jthread([this](std::stop_token stop) { writeStatusFiles(stop); });
}

void StatusServer::writeStatusFiles(std::stop_token stop) {
  if (!TunnelLock::shared().acquire(stop)) return;
  writingStatusFile_ = true;
  while (!stop.stop_requested()) {
    // A failed write is tried again at the next interval; readers allow for a stale file.
    static_cast<void>(writeStatusFile(version_, *context_));
    std::unique_lock lock(changedMutex_);
    wakeWriter_.wait_for(lock, stop, options_.statusFileInterval,
                         [this] { return std::exchange(changed_, false); });
  }
}

std::vector<std::string> StatusServer::boundHosts() const {
  std::vector<std::string> hosts;
  for (std::size_t index = 0; index < std::size(kHosts); ++index) {
    if (bound_[index]) hosts.emplace_back(kHosts[index]);
  }
  return hosts;
}

void StatusServer::statusChanged() {
  {
    std::lock_guard lock(changedMutex_);
    changed_ = true;
  }
  wakeWriter_.notify_all();
}

bool StatusServer::writeStatusFile(const std::string& version, const ServerContext& context,
                                   StatusDocument::ServerState state) {
  return FileStore::writeAtomic(Paths::appSupport() / "status.json",
                                StatusDocument::text(version, context, state), 0600);
}

void StatusServer::stop() {
  if (writer_.joinable()) {
    writer_.request_stop();
    writer_.join();
  }
  for (auto& listener : listeners_) listener->stop();
  for (auto& bound : bound_) bound = false;
  // Else the tray would read "connected" from the file for as long as it counts as fresh.
  if (writingStatusFile_.exchange(false)) {
    static_cast<void>(writeStatusFile(version_, *context_, StatusDocument::ServerState::stopped));
  }
}

}  // namespace tvrn
