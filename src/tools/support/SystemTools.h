// The system and support tool family: Finder-style listing and search, Mail, Safari and
// Reminders helpers, writing, moving and deleting in OneDrive, self-update, problem reports, QA
// runs and the daily brief.
#pragma once

#include <string>

#include "core/ToolRegistry.h"
#include "tools/common/AutomationBridges.h"

namespace tvrn::SystemTools {

// Adds finder_list, finder_search, list_safari_bookmarks, list_accounts, create_email_folder,
// onedrive_write_file, onedrive_delete_file, onedrive_move_file, list_reminder_lists,
// complete_reminder, update_tavrin, update_self_diagnosis, report_problem, run_qa,
// submit_qa_report and daily_brief, in that order; the scripts run on `with.scripts`, the
// reminder and brief calls go to `with.helper`.
void registerTools(ToolRegistry& registry, AutomationBridges with, const std::string& version);

}  // namespace tvrn::SystemTools
