#include "tools/SystemTools.h"

#include <nlohmann/json.hpp>

#include "bridges/HelperProxy.h"
#include "bridges/HelperTools.h"
#include "tools/SystemToolHandlers.h"
#include "tools/SystemToolsTexts.h"

namespace tvrn::SystemTools {
namespace {

namespace Texts = SystemTexts;
using HelperTools::property;
using HelperTools::schema;
using nlohmann::json;

json noParameters() { return schema(json::object(), json::array()); }

}  // namespace

void registerTools(ToolRegistry& registry, JXARunning& jxa,
                   [[maybe_unused]] const std::string& version) {
  HelperProxy& proxy = HelperProxy::shared();
  registry.registerTool({"finder_list", std::string(Texts::kFinderListDescription),
                         schema({{"path", property("string", Texts::kFinderListPath)},
                                 {"limit", property("integer", Texts::kFinderListLimit)}},
                                json::array()),
                         ToolKind::readOnly, finderList});
  registry.registerTool({"finder_search", std::string(Texts::kFinderSearchDescription),
                         schema({{"query", property("string", Texts::kFinderSearchQuery)},
                                 {"path", property("string", Texts::kFinderSearchPath)},
                                 {"limit", property("integer", Texts::kFinderSearchLimit)}},
                                json::array({"query"})),
                         ToolKind::readOnly, finderSearch});
  registry.registerTool(
      {"list_safari_bookmarks", std::string(Texts::kBookmarksDescription),
       schema({{"limit", property("integer", Texts::kBookmarksLimit)}}, json::array()),
       ToolKind::readOnly,
       [&jxa](const Params::Arguments& arguments) { return listSafariBookmarks(jxa, arguments); }});
  registry.registerTool({"list_accounts", std::string(Texts::kAccountsDescription), noParameters(),
                         ToolKind::readOnly,
                         [&jxa](const Params::Arguments&) { return listAccounts(jxa); }});
  registry.registerTool({"create_email_folder", std::string(Texts::kFolderDescription),
                         schema({{"name", property("string", Texts::kFolderName)},
                                 {"account", property("string", Texts::kFolderAccount)},
                                 {"confirm", property("boolean", Texts::kFolderConfirm)}},
                                json::array({"name"})),
                         ToolKind::write, [&jxa](const Params::Arguments& arguments) {
                           return createEmailFolder(jxa, arguments);
                         }});
  registry.registerTool({"onedrive_write_file", std::string(Texts::kWriteDescription),
                         schema({{"path", property("string", Texts::kWritePath)},
                                 {"content", property("string", Texts::kWriteContent)},
                                 {"confirm", property("boolean", Texts::kWriteConfirm)}},
                                json::array({"path", "content"})),
                         ToolKind::write, onedriveWriteFile});
  registry.registerTool({"onedrive_delete_file", std::string(Texts::kDeleteDescription),
                         schema({{"path", property("string", Texts::kDeletePath)},
                                 {"confirm", property("boolean", Texts::kDeleteConfirm)}},
                                json::array({"path"})),
                         ToolKind::destructive, onedriveDeleteFile});
  registry.registerTool({"onedrive_move_file", std::string(Texts::kMoveDescription),
                         schema({{"source", property("string", Texts::kMoveSource)},
                                 {"destination", property("string", Texts::kMoveDestination)},
                                 {"confirm", property("boolean", Texts::kMoveConfirm)}},
                                json::array({"source", "destination"})),
                         ToolKind::destructive, onedriveMoveFile});
  registry.registerTool({"list_reminder_lists", std::string(Texts::kReminderListsDescription),
                         noParameters(), ToolKind::readOnly,
                         HelperTools::forwardTo(proxy, "list_reminder_lists")});
  registry.registerTool(
      {"complete_reminder", std::string(Texts::kCompleteDescription),
       schema({{"reminder_id", property("string", Texts::kCompleteId)},
               {"confirm", property("boolean", Texts::kCompleteConfirm)}},
              json::array({"reminder_id"})),
       ToolKind::write,
       HelperTools::confirmedForward(proxy, "complete_reminder", completeReminderPreview)});
  registry.registerTool(
      {"daily_brief", std::string(Texts::kBriefDescription),
       schema({{"include_emails", property("boolean", Texts::kBriefEmails)}}, json::array()),
       ToolKind::readOnly, [&proxy, &jxa](const Params::Arguments& arguments) {
         return dailyBrief(proxy, jxa, arguments);
       }});
}

}  // namespace tvrn::SystemTools
