// The popover's AI-clients section: the clients found on this machine, whether each already starts
// the system, and a "Fix" that writes the entry for one of them.
#pragma once

#include <optional>
#include <string>
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

class AIClientsSection final : public PopoverSectionWidget {
 public:
  explicit AIClientsSection(QWidget* parent);
  // Looks at the clients' folders and files afresh.
  void update(const PopoverInput& input) override;

 private:
  void fix(const std::string& id);

  QVBoxLayout* layout_;
  std::vector<QWidget*> rows_;  // owned through Qt's parent
};

}  // namespace tvrn
