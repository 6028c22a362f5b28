#include "tray/TrayHttp.h"

#include <QHostAddress>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <memory>

namespace tvrn {
namespace {

// The system's proxy settings apply to the outside services; the status server on this machine
// is always reached directly, whatever http_proxy says.
class DirectToLoopback final : public QNetworkProxyFactory {
 public:
  QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override {
    const QString host = query.peerHostName();
    if (host.compare("localhost", Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback()) {
      return {QNetworkProxy(QNetworkProxy::NoProxy)};
    }
    return systemProxyForQuery(query);
  }
};

QNetworkRequest requestFor(const std::string& url, std::chrono::milliseconds timeout) {
  QNetworkRequest request(QUrl(QString::fromStdString(url)));
  request.setTransferTimeout(static_cast<int>(timeout.count()));
  return request;
}

TrayHttp::Reply outcomeOf(QNetworkReply& reply, bool tooLarge) {
  TrayHttp::Reply outcome;
  outcome.status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  const QByteArray bytes = tooLarge ? QByteArray() : reply.readAll();
  if (tooLarge || bytes.size() > TrayHttp::kMaxReplyBytes) {
    outcome.error = "reply larger than 1 MiB";
    return outcome;
  }
  if (reply.error() != QNetworkReply::NoError) outcome.error = reply.errorString().toStdString();
  // A body that came with an error status still counts; an empty one only when nothing failed.
  if (!bytes.isEmpty() || outcome.error.empty()) outcome.body = bytes.toStdString();
  return outcome;
}

}  // namespace

TrayHttp& TrayHttp::shared() {
  static TrayHttp* http = new TrayHttp();
  return *http;
}

TrayHttp::TrayHttp() { manager_.setProxyFactory(new DirectToLoopback()); }

void TrayHttp::get(const std::string& url, std::chrono::milliseconds timeout, QObject* context,
                   Completion done) {
  complete(manager_.get(requestFor(url, timeout)), context, std::move(done));
}

void TrayHttp::postJSON(const std::string& url, const nlohmann::json& body,
                        std::chrono::milliseconds timeout, QObject* context, Completion done) {
  QNetworkRequest request = requestFor(url, timeout);
  request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
  const std::string compact = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  complete(manager_.post(request, QByteArray::fromStdString(compact)), context, std::move(done));
}

void TrayHttp::complete(QNetworkReply* reply, QObject* context, Completion done) {
  auto tooLarge = std::make_shared<bool>(false);
  QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                   [reply, tooLarge](qint64 received, qint64 announced) {
                     if (received > kMaxReplyBytes || announced > kMaxReplyBytes) {
                       *tooLarge = true;
                       reply->abort();
                     }
                   });
  // The reply is freed whether or not anyone still waits for it.
  QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
  QObject::connect(
      reply, &QNetworkReply::finished, context,
      [reply, tooLarge, done = std::move(done)] { done(outcomeOf(*reply, *tooLarge)); });
}

}  // namespace tvrn
