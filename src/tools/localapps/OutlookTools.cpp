#include "tools/localapps/OutlookTools.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Strings.h"
#include "base/Utf8.h"
#include "bridges/CoProcessSupport.h"
#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "platform/DefaultsStore.h"
#include "platform/InstalledApps.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "tools/localapps/OutlookTexts.h"

namespace tvrn::OutlookTools {
namespace {

using nlohmann::json;

constexpr const char* kOutlookApp = "Microsoft Outlook";
constexpr const char* kOutlookDomain = "com.microsoft.Outlook";
constexpr const char* kProfileDatabase =
    "/Library/Group Containers/UBF8T346G9.Office/Outlook/Outlook 15 Profiles/Main Profile/Data/"
    "Outlook.sqlite";
constexpr const char* kStatements[] = {
    "SELECT Account_EmailAddress FROM AccountsExchange WHERE Account_EmailAddress IS NOT NULL AND "
    "Account_EmailAddress != ''",
    "SELECT Account_EmailAddress FROM AccountsMail WHERE Account_EmailAddress IS NOT NULL AND "
    "Account_EmailAddress != ''",
};

struct MailAccount {
  std::string name;
  std::vector<std::string> emails;
};

// What Mail said: its accounts, or why they could not be read.
struct MailAnswer {
  std::vector<MailAccount> accounts;
  std::optional<std::string> failure;
};

// The first entry of a dictionary-valued default (in key order) that holds a non-empty string
// under `subkey`: Outlook records the signed-in account under a key of its own choosing.
std::optional<std::string> readDefault(std::string_view domain, std::string_view subkey) {
  const json defaults = DefaultsStore::domain(domain);
  for (const auto& [key, value] : defaults.items()) {
    if (!value.is_object()) continue;
    const auto found = value.find(subkey);
    if (found != value.end() && found->is_string() &&
        !found->get_ref<const std::string&>().empty()) {
      return found->get<std::string>();
    }
  }
  return std::nullopt;
}

// The non-empty trimmed output lines of one statement; nothing when the program cannot start,
// runs past its time, or prints something that is not UTF-8. A failing statement prints nothing.
std::optional<std::vector<std::string>> sqliteQuery(const DatabaseProgram& sqlite3,
                                                    const std::string& dbPath,
                                                    const std::string& query) {
  RunOptions options;
  options.timeout = CoProcessSupport::waitOf(sqlite3.timeoutSeconds);
  const CompletedProcess run = Subprocess::run({{sqlite3.path, dbPath, query}}, options);
  if (!run.launched || run.timedOut || !Utf8::isValid(run.standardOutput)) return std::nullopt;
  std::vector<std::string> lines;
  std::string_view rest = run.standardOutput;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    const std::string_view line =
        Utf8::trim(rest.substr(0, end), [](char32_t c) { return c == U' ' || c == U'\t'; });
    if (!line.empty()) lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return lines;
}

std::vector<std::string> outlookAddresses(const DatabaseProgram& sqlite3) {
  std::set<std::string> addresses;  // byte order is code-point order for UTF-8
  if (auto activation = readDefault(kOutlookDomain, "ActivationEmail")) {
    addresses.insert(*std::move(activation));
  }
  const std::string database = Paths::home().string() + kProfileDatabase;
  std::error_code error;
  if (std::filesystem::exists(database, error)) {
    for (const char* statement : kStatements) {
      if (auto lines = sqliteQuery(sqlite3, database, statement)) {
        addresses.insert(lines->begin(), lines->end());
      }
    }
  }
  return {addresses.begin(), addresses.end()};
}

MailAnswer mailAccounts(JXARunning& jxa) {
  const ToolResult result = jxa.runAsJSONValue(OutlookTexts::kMailScript);
  if (!result.ok()) return {{}, result.error().description()};
  const auto* elements = result.value().asArray();
  if (elements == nullptr) return {{}, "unexpected reply"};
  MailAnswer answer;
  for (const auto& element : *elements) {
    MailAccount account;
    const JSONValue* name = element["name"];
    account.name = name != nullptr && name->asString() ? *name->asString() : "Unknown";
    const JSONValue* emails = element["emails"];
    if (emails != nullptr && emails->asArray() != nullptr) {
      for (const auto& email : *emails->asArray()) {
        if (auto text = email.asString()) account.emails.push_back(*std::move(text));
      }
    }
    answer.accounts.push_back(std::move(account));
  }
  return answer;
}

std::string report(const std::vector<std::string>& outlook, const MailAnswer& mail) {
  std::set<std::string> mailAddresses;
  for (const auto& account : mail.accounts) {
    for (const auto& email : account.emails) mailAddresses.insert(Utf8::lowercased(email));
  }
  const auto inMail = [&](const std::string& address) {
    return mailAddresses.count(Utf8::lowercased(address)) > 0;
  };

  std::vector<std::string> lines{"## Outlook Accounts Detected"};
  if (outlook.empty()) {
    lines.insert(lines.end(), {"No Outlook accounts found on this Mac.", "",
                               "Outlook may not be installed, or has no accounts configured."});
  }
  for (const auto& address : outlook) {
    // Without Mail's answer there is nothing to compare with, so no address is marked.
    if (mail.failure) {
      lines.push_back("- " + address);
    } else {
      lines.push_back("- " + address + " " +
                      (inMail(address) ? "✅ also in Mail.app" : "⚠️ NOT in Mail.app"));
    }
  }
  lines.insert(lines.end(), {"", "## Mail.app Accounts"});
  if (mail.failure) {
    lines.push_back("Could not read Mail.app accounts: " + *mail.failure);
    return Strings::joined(lines, "\n");
  }
  if (mail.accounts.empty()) lines.push_back("No accounts found in Mail.app.");
  for (const auto& account : mail.accounts) {
    lines.push_back("- " + account.name + ": " + Strings::joined(account.emails, ", "));
  }

  std::vector<std::string> missing;
  for (const auto& address : outlook) {
    if (!inMail(address)) missing.push_back(address);
  }
  if (!missing.empty()) {
    lines.insert(lines.end(),
                 {"", "## Action Required", "The following Outlook accounts are NOT in Mail.app:"});
    for (const auto& address : missing) lines.push_back("- **" + address + "**");
    lines.insert(lines.end(), std::begin(OutlookTexts::kActionSteps),
                 std::end(OutlookTexts::kActionSteps));
  } else if (!outlook.empty()) {
    lines.insert(lines.end(), {"", "## ✅ All Good", OutlookTexts::kAllGood});
  }
  return Strings::joined(lines, "\n");
}

ToolHandler outlookDiagnose(JXARunning& jxa, DatabaseProgram sqlite3) {
  return [&jxa, sqlite3](const Params::Arguments&) -> ToolResult {
    if (!InstalledApps::isInstalled(kOutlookApp)) {
      return ToolResponse::text(OutlookTexts::kNotInstalled);
    }
    const auto outlook = outlookAddresses(sqlite3);
    return ToolResponse::text(report(outlook, mailAccounts(jxa)));
  };
}

}  // namespace

void registerTools(ToolRegistry& registry, JXARunning& jxa, const DatabaseProgram& sqlite3) {
  registry.registerTool(
      {"outlook_diagnose",
       "Checks which email accounts are configured in Microsoft Outlook and compares them with "
       "Mail.app. If Outlook has accounts not in Mail.app, guides the user to add them so all "
       "email tools work seamlessly.",
       ToolSchema::schema(json::object(), json::array()), ToolKind::readOnly,
       outlookDiagnose(jxa, sqlite3)});
}

}  // namespace tvrn::OutlookTools
