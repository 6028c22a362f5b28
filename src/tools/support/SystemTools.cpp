#include "tools/support/SystemTools.h"

#include <nlohmann/json.hpp>

#include "core/ToolSchema.h"
#include "tools/common/HelperTools.h"
#include "tools/common/SettingsHandler.h"
#include "tools/common/SystemToolHandlers.h"
#include "tools/common/SystemToolsTexts.h"
#include "tools/support/SupportToolsTexts.h"

namespace tvrn::SystemTools {
namespace {

namespace Texts = SystemTexts;
using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;

json noParameters() { return schema(json::object(), json::array()); }

}  // namespace

void registerTools(ToolRegistry& registry, AutomationBridges with, const std::string& version) {
  HelperProxy& proxy = with.helper;
  JXARunning& jxa = with.scripts;
  const ConfigManager& settings = *registry.context().settings;
  registry.registerTool({"finder_list", std::string(Texts::kFinderListDescription),
                         schema({{"path", ToolSchema::path(Texts::kFinderListPath)},
                                 {"limit", property("integer", Texts::kFinderListLimit)}},
                                json::array()),
                         ToolKind::readOnly, finderList, "finder"});
  registry.registerTool({"finder_search", std::string(Texts::kFinderSearchDescription),
                         schema({{"query", property("string", Texts::kFinderSearchQuery)},
                                 {"path", ToolSchema::path(Texts::kFinderSearchPath)},
                                 {"limit", property("integer", Texts::kFinderSearchLimit)}},
                                json::array({"query"})),
                         ToolKind::readOnly, finderSearch, "finder"});
  registry.registerTool(
      {"list_safari_bookmarks", std::string(Texts::kBookmarksDescription),
       schema({{"limit", property("integer", Texts::kBookmarksLimit)}}, json::array()),
       ToolKind::readOnly,
       [&jxa](const Params::Arguments& arguments) { return listSafariBookmarks(jxa, arguments); },
       "safari"});
  registry.registerTool({"list_accounts", std::string(Texts::kAccountsDescription), noParameters(),
                         ToolKind::readOnly,
                         [&jxa](const Params::Arguments&) { return listAccounts(jxa); }});
  registry.registerTool(
      {"create_email_folder", std::string(Texts::kFolderDescription),
       schema({{"name", property("string", Texts::kFolderName)},
               {"account", property("string", Texts::kFolderAccount)},
               {"confirm", property("boolean", Texts::kFolderConfirm)}},
              json::array({"name"})),
       ToolKind::write,
       [&jxa](const Params::Arguments& arguments) { return createEmailFolder(jxa, arguments); },
       "mail"});
  registry.registerTool({"onedrive_write_file", std::string(Texts::kWriteDescription),
                         schema({{"path", ToolSchema::path(Texts::kWritePath)},
                                 {"content", property("string", Texts::kWriteContent)},
                                 {"confirm", property("boolean", Texts::kWriteConfirm)}},
                                json::array({"path", "content"})),
                         ToolKind::write, withSettings(settings, onedriveWriteFile), "onedrive"});
  registry.registerTool({"onedrive_delete_file", std::string(Texts::kDeleteDescription),
                         schema({{"path", ToolSchema::path(Texts::kDeletePath)},
                                 {"confirm", property("boolean", Texts::kDeleteConfirm)}},
                                json::array({"path"})),
                         ToolKind::destructive, withSettings(settings, onedriveDeleteFile),
                         "onedrive"});
  registry.registerTool({"onedrive_move_file", std::string(Texts::kMoveDescription),
                         schema({{"source", ToolSchema::path(Texts::kMoveSource)},
                                 {"destination", ToolSchema::path(Texts::kMoveDestination)},
                                 {"confirm", property("boolean", Texts::kMoveConfirm)}},
                                json::array({"source", "destination"})),
                         ToolKind::destructive, withSettings(settings, onedriveMoveFile),
                         "onedrive"});
  registry.registerTool({"list_reminder_lists", std::string(Texts::kReminderListsDescription),
                         noParameters(), ToolKind::readOnly,
                         HelperTools::forwardTo(proxy, "list_reminder_lists"), "reminders"});
  registry.registerTool(
      {"complete_reminder", std::string(Texts::kCompleteDescription),
       schema({{"reminder_id", property("string", Texts::kCompleteId)},
               {"confirm", property("boolean", Texts::kCompleteConfirm)}},
              json::array({"reminder_id"})),
       ToolKind::write,
       HelperTools::confirmedForward(proxy, "complete_reminder", completeReminderPreview),
       "reminders"});
  registry.registerTool(
      {"update_tavrin", std::string(SupportTexts::kUpdateDescription),
       schema({{"check_only", property("boolean", SupportTexts::kUpdateCheckOnly)}}, json::array()),
       ToolKind::write, [context = registry.sharedContext()](const Params::Arguments& arguments) {
         return updateTavrin(*context, arguments);
       }});
  registry.registerTool(
      {"update_self_diagnosis", std::string(SupportTexts::kDiagnosisDescription),
       schema({{"limit", property("integer", SupportTexts::kDiagnosisLimit)}}, json::array()),
       ToolKind::readOnly,
       [version, context = registry.sharedContext()](const Params::Arguments& arguments) {
         return updateSelfDiagnosis(version, *context, arguments);
       }});
  registry.registerTool(
      {"report_problem", std::string(SupportTexts::kReportDescription),
       schema({{"report_type", property("string", SupportTexts::kReportType)},
               {"symptom", property("string", SupportTexts::kReportSymptom)},
               {"description", property("string", SupportTexts::kReportDescriptionParam)},
               {"tool_attempted", property("string", SupportTexts::kReportTool)},
               {"error_message", property("string", SupportTexts::kReportError)},
               {"user_request", property("string", SupportTexts::kReportUserRequest)},
               {"expected", property("string", SupportTexts::kReportExpected)},
               {"confirm", property("boolean", SupportTexts::kReportConfirm)}},
              json::array()),
       ToolKind::send,
       [with, version, context = registry.sharedContext()](const Params::Arguments& arguments) {
         return reportProblem(with, version, *context, arguments);
       }});
  registry.registerTool({"run_qa", std::string(SupportTexts::kRunQADescription), noParameters(),
                         ToolKind::readOnly,
                         [version](const Params::Arguments&) { return runQA(version); }});
  registry.registerTool(
      {"submit_qa_report", std::string(SupportTexts::kSubmitDescription),
       schema({{"run_id", property("string", SupportTexts::kSubmitRunId)},
               {"results", property("string", SupportTexts::kSubmitResults)},
               {"duration_seconds", property("integer", SupportTexts::kSubmitDuration)},
               {"bugs_found", property("integer", SupportTexts::kSubmitBugs)},
               {"notes", property("string", SupportTexts::kSubmitNotes)},
               {"version", property("string", SupportTexts::kSubmitVersion)}},
              json::array({"run_id", "results"})),
       ToolKind::send, submitQAReport});
  registry.registerTool(
      {"daily_brief", std::string(Texts::kBriefDescription),
       schema({{"include_emails", property("boolean", Texts::kBriefEmails)}}, json::array()),
       ToolKind::readOnly, [&proxy, &jxa](const Params::Arguments& arguments) {
         return dailyBrief(proxy, jxa, arguments);
       }});
}

}  // namespace tvrn::SystemTools
