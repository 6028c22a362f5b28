// The popover's AI-clients section: the clients found on this machine, whether each already starts
// the system, and a "Fix" that writes the entry for one of them.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tray/ClientSetup.h"
#include "tray/popover/PopoverSections.h"

class QVBoxLayout;

namespace tvrn {

struct AIClientRowModel {
  std::string id;
  std::string name;
  std::string symbol;
  ColorRole dot = ColorRole::red;
  double dotOpacity = 1.0;
  std::optional<std::string> state;  // absent: the row offers "Fix"
  ColorRole stateColor = ColorRole::green;

  bool operator==(const AIClientRowModel&) const = default;
};

namespace PopoverModels {
std::vector<AIClientRowModel> aiClients(const std::vector<ClientSetup::Row>& rows);
}  // namespace PopoverModels

// Whether a client's configuration file mentions the system, the file read again only when it
// changed on disk since the last look.
class ConfigMentions {
 public:
  bool operator()(const std::filesystem::path& file);

 private:
  // Device, inode, size, and the modification and change times to the nanosecond.
  using Identity = std::array<std::int64_t, 7>;
  struct Seen {
    Identity identity{};
    bool mentions = false;
  };
  std::map<std::string, Seen> seen_;
};

class AIClientsSection final : public PopoverSectionWidget {
 public:
  // `settings` hold the machine id a fix reports.
  AIClientsSection(QWidget* parent, const ConfigManager& settings);
  // Looks at the clients' folders afresh, and at the files that changed.
  bool update(const PopoverInput& input) override;

 private:
  void fix(const std::string& id);

  const ConfigManager& settings_;
  QVBoxLayout* layout_;
  std::vector<QWidget*> rows_;  // owned through Qt's parent
  ConfigMentions mentions_;
  // The rows, or the text shown when there are none.
  std::optional<std::pair<std::vector<AIClientRowModel>, std::string>> shown_;
};

}  // namespace tvrn
