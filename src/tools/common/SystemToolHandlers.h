// The handlers of the system tool family, one file per group, bound by its registration.
#pragma once

#include <string>
#include <string_view>

#include "bridges/HelperProxy.h"
#include "bridges/JXARunner.h"
#include "core/Params.h"
#include "core/ServerContext.h"
#include "core/ToolDefinition.h"
#include "tools/common/AutomationBridges.h"

namespace tvrn::SystemTools {

ToolResult finderList(const Params::Arguments& arguments);
ToolResult finderSearch(const Params::Arguments& arguments);

// Each keeps to the OneDrive scopes `settings` hold.
ToolResult onedriveWriteFile(const ConfigManager& settings, const Params::Arguments& arguments);
ToolResult onedriveDeleteFile(const ConfigManager& settings, const Params::Arguments& arguments);
ToolResult onedriveMoveFile(const ConfigManager& settings, const Params::Arguments& arguments);

ToolResult listAccounts(JXARunning& jxa);
ToolResult createEmailFolder(JXARunning& jxa, const Params::Arguments& arguments);
ToolResult listSafariBookmarks(JXARunning& jxa, const Params::Arguments& arguments);
// The preview complete_reminder answers until it is confirmed.
std::string completeReminderPreview(const Params::Arguments& arguments);

// update_tavrin, update_self_diagnosis, report_problem, run_qa and submit_qa_report.
// The update check and history are the server `context`'s sources.
ToolResult updateTavrin(const ServerContext& context, const Params::Arguments& arguments);
ToolResult updateSelfDiagnosis(const std::string& version, const ServerContext& context,
                               const Params::Arguments& arguments);
// A problem report carries the state snapshot of the server's `context`.
ToolResult reportProblem(const AutomationBridges& with, const std::string& version,
                         const ServerContext& context, const Params::Arguments& arguments);
ToolResult runQA(const std::string& version);
ToolResult submitQAReport(const Params::Arguments& arguments);

ToolResult dailyBrief(HelperProxy& proxy, JXARunning& jxa, const Params::Arguments& arguments);

// The text as a script string literal: a JSON string with every character outside ASCII
// escaped, so no line break or separator of any kind can end it early.
std::string scriptLiteral(std::string_view text);

}  // namespace tvrn::SystemTools
