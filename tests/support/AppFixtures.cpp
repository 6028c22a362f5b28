#include "support/AppFixtures.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>

#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "support/TestEnv.h"

namespace tvrn::test {
namespace {

plist_t toPlist(const nlohmann::json& value) {
  if (value.is_object()) {
    plist_t dict = plist_new_dict();
    for (const auto& [key, member] : value.items()) {
      plist_dict_set_item(dict, key.c_str(), toPlist(member));
    }
    return dict;
  }
  if (value.is_array()) {
    plist_t array = plist_new_array();
    for (const auto& element : value) plist_array_append_item(array, toPlist(element));
    return array;
  }
  if (value.is_boolean()) return plist_new_bool(value.get<bool>() ? 1 : 0);
  if (value.is_number_integer()) {
    return plist_new_uint(static_cast<std::uint64_t>(value.get<std::int64_t>()));
  }
  if (value.is_number()) return plist_new_real(value.get<double>());
  return plist_new_string(value.is_string() ? value.get<std::string>().c_str() : "");
}

}  // namespace

void writePlist(const std::filesystem::path& file, const nlohmann::json& value,
                PlistFormat format) {
  plist_t root = toPlist(value);
  char* bytes = nullptr;
  std::uint32_t length = 0;
  if (format == PlistFormat::xml) {
    plist_to_xml(root, &bytes, &length);
  } else {
    plist_to_bin(root, &bytes, &length);
  }
  writeFile(file, std::string(bytes, length));
  std::free(bytes);
  plist_free(root);
}

std::filesystem::path placeBundle(const std::string& name, const nlohmann::json& info) {
  const auto bundle = home() / "Applications" / (name + ".app");
  std::filesystem::create_directories(bundle / "Contents");
  if (!info.is_null()) writePlist(bundle / "Contents" / "Info.plist", info);
  return bundle;
}

void writeDefaults(const std::string& domain, const nlohmann::json& entries, PlistFormat format) {
  writePlist(Paths::underHome("Library/Preferences/" + domain + ".plist"), entries, format);
}

bool runSqlite(const std::filesystem::path& database, const std::string& statements) {
  std::filesystem::create_directories(database.parent_path());
  RunOptions options;
  options.input = statements;
  const CompletedProcess run =
      Subprocess::run({{"/usr/bin/sqlite3", "-bail", database.string()}}, options);
  return run.launched && !run.exit.signalled && run.exit.status == 0;
}

}  // namespace tvrn::test
