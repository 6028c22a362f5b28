#include "server/ServerCore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Version.h"
#include "base/Dispatch.h"
#include "base/Timestamp.h"
#include "bridges/LocalData.h"
#include "bridges/PlatformStores.h"
#include "bridges/TCCStatusChecker.h"
#include "cloud/CloudTunnel.h"
#include "cloud/HeartbeatManager.h"
#include "cloud/TunnelState.h"
#include "cloud/UpdateAttemptLog.h"
#include "cloud/UpdateManager.h"
#include "cloud/UpdateTexts.h"
#include "core/AuditLog.h"
#include "core/ConfigManager.h"
#include "core/EnvironmentSources.h"
#include "core/IPCServer.h"
#include "core/Logger.h"
#include "core/MCPServer.h"
#include "core/ServerContext.h"
#include "core/ToolRegistry.h"
#include "manifest/ManifestCompositionRunners.h"
#include "manifest/ManifestHelperRunner.h"
#include "manifest/ManifestJXARunner.h"
#include "manifest/ManifestLoader.h"
#include "manifest/ManifestStore.h"
#include "manifest/ManifestToolDispatcher.h"
#include "manifest/RunnerDispatch.h"
#include "pim/PrivacyGate.h"
#include "platform/Endpoints.h"
#include "platform/OwnFolder.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "server/BundledServer.h"
#include "server/CoProcesses.h"
#include "server/LegacyCleaner.h"
#include "server/QueuedWork.h"
#include "server/StartupJobs.h"
#include "status/ServiceStatusScanner.h"
#include "status/StatusServer.h"
#include "tools/calendar/CalendarTools.h"
#include "tools/common/ServiceSnapshot.h"
#include "tools/contacts/ContactsTools.h"
#include "tools/files/FinderTools.h"
#include "tools/localapps/MessagesTools.h"
#include "tools/localapps/NordVPNTools.h"
#include "tools/localapps/OutlookTools.h"
#include "tools/localapps/SafariTools.h"
#include "tools/m365/M365Graph.h"
#include "tools/m365/M365Tools.h"
#include "tools/messaging/SlackProxyTools.h"
#include "tools/messaging/TeamsProxyTools.h"
#include "tools/messaging/WhatsAppProxyTools.h"
#include "tools/office/OfficeTools.h"
#include "tools/servicenow/ServiceNowTools.h"
#include "tools/stocks/StocksTools.h"
#include "tools/support/DiagnosticTools.h"
#include "tools/support/StateTools.h"
#include "tools/support/SystemTools.h"
#include "tools/support/WelcomeTools.h"
#include "tools/todo/ToDoTools.h"

namespace tvrn::ServerCore {
namespace {

constexpr auto kLegacyDaemonPause = std::chrono::milliseconds(300);
constexpr auto kLegacyDaemonDeadline = std::chrono::seconds(10);

// Standalone server processes of this user started in daemon mode. The pkill runs on a worker so
// start-up does not wait for it; its exit is reaped there.
void killLegacyDaemons(const std::string& program) {
  const std::string uid = std::to_string(::getuid());
  Dispatch::async([uid, program] {
    SpawnOptions pkill({program, "-U", uid, "-f", LegacyCleaner::kOldDaemonPattern});
    pkill.searchPath = true;
    RunOptions options;
    options.timeout = kLegacyDaemonDeadline;
    Subprocess::run(pkill, options);
  });
  std::this_thread::sleep_for(kLegacyDaemonPause);
}

std::string textOr(const std::optional<std::string>& text) { return text.value_or(""); }

// The updater's log in the form the support tools report it.
EnvironmentSources::UpdateHistory updateHistory() {
  const UpdateState state = UpdateAttemptLog::shared().load();
  EnvironmentSources::UpdateHistory history;
  for (const UpdateAttempt& attempt : state.attempts) {
    history.attempts.push_back({{"timestamp", Timestamp::iso8601UTC(attempt.timestamp)},
                                {"phase", toRaw(attempt.phase)},
                                {"success", attempt.success},
                                {"from", attempt.fromVersion},
                                {"to", textOr(attempt.toVersion)},
                                {"duration_ms", attempt.durationMs},
                                {"error", textOr(attempt.error)},
                                {"note", textOr(attempt.note)}});
  }
  if (state.lastSuccessAt) history.lastSuccessAt = Timestamp::iso8601UTC(*state.lastSuccessAt);
  history.consecutiveFailures = state.consecutiveFailures;
  return history;
}

// An update check as the support tools report it: its text, and whether that tells of a failure.
EnvironmentSources::UpdateReport updateCheck(bool checkOnly) {
  std::string text =
      checkOnly ? UpdateManager::shared().checkOnly() : UpdateManager::shared().checkNow();
  const bool failed = UpdateTexts::reportsFailure(text);
  return {std::move(text), failed};
}

// What the registry, the sessions and the status server share, with what they ask of the
// manifest store, the permission checker and the heartbeat.
std::shared_ptr<ServerContext> makeContext(ConfigManager& settings, CoProcesses& coProcesses,
                                           const PrivacyGate& gate, const ManifestStore& manifest,
                                           ManifestLoader& manifestLoader,
                                           const ServiceStatusScanner& scanner) {
  auto context = std::make_shared<ServerContext>(settings);
  context->permissionStatus = [&scanner = coProcesses.helperScanner, &gate] {
    return TCCStatusChecker::currentStatus(scanner, gate);
  };
  context->aiClient = [] { return HeartbeatManager::aiClient(); };
  context->manifestDisabledTools = [&manifest] { return manifest.disabledToolNames(); };
  context->manifestSetting = [&manifest](const std::string& key) { return manifest.setting(key); };
  // A beat that asks for it (or every N-th beat) fetches manifest updates.
  context->manifestCheck = [&manifestLoader] { manifestLoader.checkForUpdate(); };
  context->serviceStatus = [&scanner] { return scanner.current(); };
  context->servicesScanned = [&scanner] { return scanner.hasScanned(); };
  context->environment = {.tunnelConnected = &TunnelState::read,
                          .updateCheck = &updateCheck,
                          .updateHistory = &updateHistory};
  return context;
}

// Where the store and the privacy gate report the files they could not read.
void logPimWarning(const std::string& message) { Logger::warn("pim", message); }

}  // namespace

std::shared_ptr<PrivacyGate> makePrivacyGate() {
  return std::make_shared<PrivacyGate>(logPimWarning);
}

void registerToolFamilies(ToolRegistry& registry, CoProcesses& coProcesses,
                          PlatformStores& stores) {
  DiagnosticTools::registerTools(registry, coProcesses.forDiagnostics(), version());
  StateTools::registerTools(registry, coProcesses.forTools(), version());
  FinderTools::registerTools(registry);
  CalendarTools::registerTools(registry, coProcesses.helper);
  ContactsTools::registerTools(registry, coProcesses.helper);
  OfficeTools::registerTools(registry);
  TeamsProxyTools::registerTools(
      registry,
      [&settings = *registry.context().settings](std::string_view chat, std::string_view text) {
        return M365Tools::m365TeamsChatSendViaGraph(settings, chat, text);
      },
      coProcesses.teams);
  SlackProxyTools::registerTools(registry, coProcesses.slack);
  WhatsAppProxyTools::registerTools(registry, coProcesses.whatsApp);
  ToDoTools::registerTools(registry, coProcesses.helper);
  StocksTools::registerTools(registry);
  MessagesTools::registerTools(registry, coProcesses.scriptsMedium);
  OutlookTools::registerTools(registry, coProcesses.scripts);
  NordVPNTools::registerTools(registry);
  SafariTools::registerTools(registry, coProcesses.scripts, coProcesses.scriptsMedium);
  SystemTools::registerTools(registry, coProcesses.forTools(), version());
  WelcomeTools::registerTools(registry, coProcesses.scriptsDiag, stores);
  M365Tools::registerTools(registry);
  ServiceNowTools::registerTools(registry);
}

namespace {

// Held for shutdown(); never destroyed, since the process ends without running destructors.
std::shared_ptr<StatusServer>& statusServer() {
  static auto& server = *new std::shared_ptr<StatusServer>();
  return server;
}

// What the scanner finds anew reaches status.json at once: a permission granted in a prompt
// shows in the tray within its next poll, not a file interval later.
void startStatusServices(const std::shared_ptr<ServerContext>& context, CoProcesses& coProcesses,
                         ServiceStatusScanner& scanner, PlatformStores& stores) {
  statusServer() = std::make_shared<StatusServer>(version(), context);
  statusServer()->start();
  scanner.start(coProcesses.forScanner(), stores,
                [server = std::weak_ptr<StatusServer>(statusServer())] {
                  if (const auto running = server.lock()) running->statusChanged();
                });
}

// What a start() builds and hands out: the calendars, reminders and contacts behind the privacy
// gate it was handed, the co-process clients, the manifest in force with the tools it adds (and
// the runners they run on) and the loader that keeps it current, and the service scanner, all
// reading the settings it was handed.
struct StartedParts {
  StartedParts(std::shared_ptr<PrivacyGate> privacyGate, ConfigManager& startSettings)
      : gate(std::move(privacyGate)), settings(startSettings) {}

  std::shared_ptr<PrivacyGate> gate;
  ConfigManager& settings;
  // Whose folders the settings name.
  PlatformStores stores{*gate,
                        {.settings = PlatformStores::settingsOf(settings), .warn = logPimWarning},
                        PlatformStores::troubleOf(settings)};
  // The calendar, contacts, To Do and permission requests are answered by the local data
  // services inside this process, with values, never text.
  CoProcesses clients{[this](std::string_view method, const nlohmann::json& args) {
    return LocalData::dispatch(stores, method, args);
  }};
  ManifestStore manifest;
  ManifestToolDispatcher manifestTools;
  ManifestLoader manifestLoader{manifest, manifestTools, settings};
  ServiceStatusScanner scanner{settings};
};

// The parts of the last start(); shutdown() ends their co-processes. Every set a start() built
// stays alive with the process: a tool of an earlier registry may still hold a part of one.
StartedParts*& startedParts() {
  static StartedParts* current = nullptr;
  return current;
}

StartedParts& buildParts(std::shared_ptr<PrivacyGate> gate, ConfigManager& settings) {
  static auto& built = *new std::vector<std::unique_ptr<StartedParts>>();
  built.push_back(std::make_unique<StartedParts>(std::move(gate), settings));
  startedParts() = built.back().get();
  return *built.back();
}

// The manifest's script and helper behaviours run on the server's clients, its "tcc:"
// conditions read the server's permission status and its composed steps name the tools of the
// server's manifest.
void installManifestRunners(RunnerTable& runners, CoProcesses& coProcesses,
                            const ServerContext& context, const ManifestStore& manifest) {
  using Kind = BehaviorSpec::Kind;
  runners.install(Kind::jxa,
                  std::make_shared<ManifestJXARunner>(
                      ManifestJXARunner::Executors{&coProcesses.scripts, &coProcesses.scriptsMedium,
                                                   &coProcesses.scriptsSlow},
                      ManifestJXARunner::inTrayContext(), platformOsaEvaluator()));
  runners.install(Kind::helper, std::make_shared<ManifestHelperRunner>(coProcesses.helper));
  runners.install(Kind::conditional,
                  std::make_shared<ManifestConditionalRunner>(runners, context.permissionStatus));
  runners.install(Kind::compose, std::make_shared<ManifestComposeRunner>(runners, &manifest));
  runners.install(Kind::parallel, std::make_shared<ManifestParallelRunner>(runners, &manifest));
}

// The relay, held for shutdown(); never destroyed, as statusServer(): its thread may still run
// while the process exits.
std::unique_ptr<CloudTunnel>& cloudTunnel() {
  static auto& tunnel = *new std::unique_ptr<CloudTunnel>();
  return tunnel;
}

// The heartbeat of the last start(); shutdown() stops it. Never destroyed, as statusServer().
std::unique_ptr<HeartbeatManager>& heartbeat() {
  static auto& beating = *new std::unique_ptr<HeartbeatManager>();
  return beating;
}

// What the last start() queued; shutdown() takes it back. Never destroyed, as statusServer().
std::shared_ptr<QueuedWork>& startupWork() {
  static auto& work = *new std::shared_ptr<QueuedWork>();
  return work;
}

void queueBackgroundJobs(QueuedWork& work, ManifestLoader& manifestLoader,
                         const std::shared_ptr<ServerContext>& context, PlatformStores& stores) {
  const ConfigManager& settings = *context->settings;
  work.async([&manifestLoader] { manifestLoader.loadFromDisk(); });
  // The calendars and contacts are read before the first call asks for them; asking no permission
  // and making no folder, since the user has not used them yet.
  work.async([&stores] { stores.data.warmUp(); });
  work.async([&stores] { TCCStatusChecker::runStartupCheck(stores.gate); });
  work.after(StartupJobs::kWarmUpDelay, [&work] {
    StartupJobs::warmOSAPermissions(StartupJobs::kWarmUpSpacing,
                                    [&work](Task script) { return work.async(std::move(script)); });
  });
  work.async([&settings, context] {
    StartupJobs::remindAboutCloudData(settings, [&context](const std::string& message) {
      context->pushMessage.setMessage(message);
    });
  });
  work.async(
      [&settings] { StartupJobs::sendFirstLaunchInstallEventIfNeeded(settings, version()); });
}

bool autoUpdateEnabled(const ConfigManager& settings) {
  const auto now = settings.snapshot();
  const auto value = now->values.find("auto_update");
  return value != now->values.end() && value->is_boolean() && value->get<bool>();
}

// The update check, the heartbeat, and the relay with the one session that answers what it
// relays. The session lives as long as the process: the tunnel holds it only weakly.
void startCloudServices(const std::shared_ptr<ToolRegistry>& registry) {
  UpdateManager::shared().setDaemonModeEnabled(true);
  UpdateManager::shared().checkInBackground(autoUpdateEnabled(*registry->context().settings));
  heartbeat() = std::make_unique<HeartbeatManager>(version(), registry->sharedContext());
  heartbeat()->startInBackground();
  static auto& relaySession = *new std::shared_ptr<MCPServer>();
  relaySession =
      std::make_shared<MCPServer>(registry, MCPServer::ServerInfo{"tavrin-server", version()});
  CloudTunnel::Options relay;
  relay.handler = CloudTunnel::answeredBy(relaySession);
  relay.settings = registry->context().settings;
  cloudTunnel() = std::make_unique<CloudTunnel>(std::move(relay));
  cloudTunnel()->startInBackground();
}

}  // namespace

namespace {
// The uninstall takes the server down before it removes the folders; the exit path that
// follows must not write them again. Each start arms it anew.
std::atomic<bool> shutDown{false};

const std::string kSocketFailure = "the MCP socket cannot be served (";

// No client could reach a server without its socket: such a start is a failed one.
void logSocketFailure(const std::string& why) {
  Logger::error("tray", "ServerCore start failed: " + kSocketFailure + why + ")");
}

bool claimSocket() {
  auto claimed = IPCServer::shared().claim();
  if (!claimed) logSocketFailure(claimed.error());
  return claimed.ok();
}

// The status server of this start cannot listen while another one of this system holds the port.
void sayWhoKeepsThePort(const LegacyCleaner::Outcome& cleaned, int port) {
  for (const std::string& server : cleaned.keptOnPort) {
    Logger::warn("tray", "Port " + std::to_string(port) + " is held by another Tavrin server, " +
                             server +
                             ", which is left running; this status server waits for the port");
  }
}
}  // namespace

const std::string& version() {
  static const std::string appVersion = kAppVersion;
  return appVersion;
}

namespace {
// What a start reads and writes inside its settings folder, besides the files it replaces whole,
// judged: the logs it appends to, and the personal-data folder with what the store and the
// privacy gate make there; every calendar and address book in its two folders is read as the
// user's own.
Result<void, std::string> judgeOwnEntries(const std::filesystem::path& settingsFolder,
                                          const char* namedBy) {
  const std::filesystem::path pim = PrivacyGate::file().parent_path();
  const std::filesystem::path calendars = pim / "calendars";
  const std::filesystem::path contacts = pim / "contacts";
  return OwnFolder::judgeInside(
      {settingsFolder / ConfigManager::kLogName, settingsFolder / ConfigManager::kAuditLogName, pim,
       PrivacyGate::file(), pim / "defaults.json", calendars, contacts},
      {calendars, contacts}, namedBy);
}

// Adds a refusal's line to the log only where it is a file of the user's own with no other name:
// the settings folder may still be open to others (it is closed only by a start that goes on),
// so a link or another user's file may stand in its place.
void appendToOwnLog(const std::filesystem::path& log, const std::string& line) {
  const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
      info.st_nlink == 1) {
    // A log cannot report its own failure: a line that cannot be written is lost.
    static_cast<void>(::write(fd, line.data(), line.size()));
  }
  ::close(fd);
}
}  // namespace

bool readyToServe(std::string* refusal) {
  const std::filesystem::path settingsFolder = Paths::appSupport();
  const std::filesystem::path log = settingsFolder / ConfigManager::kLogName;
  const char* settingsNamedBy = Paths::appSupportVariable();
  bool settingsOwn = false;
  // A refusal makes nothing: its line goes to a log that is there already, in a settings folder
  // found the user's own, whatever else in that folder is refused.
  const auto refuse = [&](const std::string& why) {
    const std::string line = Logger::errorLine("tray", "ServerCore start failed: " + why);
    if (settingsOwn) appendToOwnLog(log, line);
    if (refusal != nullptr) *refusal = why;
    return false;
  };
  // Every folder is judged before any is made, closed or written.
  if (auto own = OwnFolder::judge(settingsFolder, settingsNamedBy); !own) {
    return refuse(own.error());
  }
  settingsOwn = true;
  if (auto inside = judgeOwnEntries(settingsFolder, settingsNamedBy); !inside) {
    return refuse(inside.error());
  }
  if (auto port = Endpoints::statusPortSetting(); !port) return refuse(port.error());
  const std::filesystem::path socket = IPCServer::socketPath();
  if (auto servable = IPCServer::servable(socket); !servable) {
    return refuse(kSocketFailure + servable.error() + ")");
  }
  if (auto own = OwnFolder::ensure(settingsFolder, settingsNamedBy); !own) {
    return refuse(own.error());
  }
  if (auto own = OwnFolder::ensure(socket.parent_path(), "HOME"); !own) {
    return refuse(kSocketFailure + own.error() + ")");
  }
  // The log lives in the settings folder: it is written only once that folder is the user's own.
  Logger::configure(log);
  return true;
}

bool start(std::shared_ptr<PrivacyGate> gate, const LegacyCleaner::Settings& cleanup) {
  if (!readyToServe()) return false;
  // Its first use writes the machine id into the settings folder, judged and made above.
  ConfigManager& settings = ConfigManager::shared();
  // Before the clean-up, which ends programs on the status port: a server without its socket
  // serves nobody, so a start that cannot hold it (a path too long, a folder it cannot make or
  // write, another server answering there) gives up while everything still runs as it did.
  if (!claimSocket()) return false;
  // Only the one server cuts the log the copies share; a second copy got no further than above.
  Logger::startTrimming();
  shutDown = false;
  AuditLog::configure(settings.auditLogPath());
  Logger::info("tray", "ServerCore starting v" + version());
  // The stdio server the AI clients' entries name is put in place first, with or without a tray.
  if (!BundledServer::install(version())) {
    Logger::warn("tray", "Could not put the stdio server in place; the next start tries again");
  }

  sayWhoKeepsThePort(LegacyCleaner::run(cleanup), cleanup.port);
  killLegacyDaemons(cleanup.pkill);

  StartedParts& parts = buildParts(std::move(gate), settings);
  CoProcesses& clients = parts.clients;

  const auto context = makeContext(settings, clients, *parts.gate, parts.manifest,
                                   parts.manifestLoader, parts.scanner);
  auto registry = std::make_shared<ToolRegistry>(context);
  registerToolFamilies(*registry, clients, parts.stores);
  installManifestRunners(parts.manifestTools.runners(), clients, *context, parts.manifest);
  parts.manifestTools.setRegistry(registry);

  startStatusServices(context, clients, parts.scanner, parts.stores);
  startupWork() = QueuedWork::make();
  queueBackgroundJobs(*startupWork(), parts.manifestLoader, context, parts.stores);
  startCloudServices(registry);

  if (auto serving = IPCServer::shared().start(registry, version()); !serving) {
    logSocketFailure(serving.error());
    return false;
  }
  Logger::info("tray", "ServerCore ready — all services started inline");
  return true;
}

std::vector<std::string> statusServerHosts() {
  return statusServer() ? statusServer()->boundHosts() : std::vector<std::string>();
}

void stop() {
  IPCServer::shared().stop();
  Logger::info("tray", "ServerCore stopped");
}

void shutdown() {
  if (shutDown.exchange(true)) return;
  stop();
  // A walk of the folders under way (the warm-up's, the scanner's call) need not be finished:
  // the waits for them below end within moments.
  if (startedParts()) startedParts()->stores.data.stop();
  if (startupWork()) startupWork()->cancel();
  if (startedParts()) startedParts()->scanner.stop();
  if (cloudTunnel()) cloudTunnel()->stop();
  if (heartbeat()) heartbeat()->stop();
  statusServer().reset();
  // Nothing asks through them any more.
  if (startedParts()) startedParts()->clients.end();
  AuditLog::shutdown();
}

}  // namespace tvrn::ServerCore
