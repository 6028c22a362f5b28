// A notification server on the session bus (org.freedesktop.Notifications) that answers like a
// real one and appends each call it receives, as one JSON object a line, to the file named by
// its first argument. With "markup" as second argument it announces "body-markup".
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QStringList>
#include <QVariantMap>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

namespace {

std::string gLogPath;
bool gMarkup = false;

void record(const nlohmann::json& call) {
  std::ofstream(gLogPath, std::ios::app) << call.dump() << '\n';
}

class Server : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public slots:
  QStringList GetCapabilities() {
    QStringList capabilities{QStringLiteral("actions"), QStringLiteral("body")};
    if (gMarkup) capabilities << QStringLiteral("body-markup");
    return capabilities;
  }

  uint Notify(const QString& app, uint replacesId, const QString& icon, const QString& summary,
              const QString& body, const QStringList& actions, const QVariantMap& hints,
              int timeout) {
    const uint id = replacesId != 0 ? replacesId : ++lastId_;
    nlohmann::json hintNames = nlohmann::json::object();
    for (auto hint = hints.begin(); hint != hints.end(); ++hint) {
      hintNames[hint.key().toStdString()] = hint.value().toString().toStdString();
    }
    nlohmann::json actionList = nlohmann::json::array();
    for (const auto& action : actions) actionList.push_back(action.toStdString());
    record({{"call", "Notify"},
            {"app", app.toStdString()},
            {"replaces_id", replacesId},
            {"icon", icon.toStdString()},
            {"summary", summary.toStdString()},
            {"body", body.toStdString()},
            {"actions", actionList},
            {"hints", hintNames},
            {"timeout", timeout},
            {"id", id}});
    return id;
  }

  void CloseNotification(uint id) { record({{"call", "CloseNotification"}, {"id", id}}); }

  QString GetServerInformation(QString& vendor, QString& version, QString& spec) {
    vendor = QStringLiteral("tavrin-tests");
    version = QStringLiteral("1");
    spec = QStringLiteral("1.2");
    return QStringLiteral("fake-notifications");
  }

 private:
  uint lastId_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: fake-notifications LOG [markup]\n");
    return 2;
  }
  gLogPath = argv[1];
  gMarkup = argc > 2 && std::string(argv[2]) == "markup";
  Server server;
  auto bus = QDBusConnection::sessionBus();
  if (!bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                          QDBusConnection::ExportAllSlots) ||
      !bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
    std::fprintf(stderr, "fake-notifications: cannot take the name\n");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return QCoreApplication::exec();
}

#include "fake-notifications.moc"
