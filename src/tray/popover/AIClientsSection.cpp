#include "tray/popover/AIClientsSection.h"

#include <sys/stat.h>

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "tray/TrayStrings.h"

namespace tvrn {

std::vector<AIClientRowModel> PopoverModels::aiClients(const std::vector<ClientSetup::Row>& rows) {
  std::vector<AIClientRowModel> models;
  for (const auto& row : rows) {
    AIClientRowModel model;
    model.id = row.client.def.id;
    model.name = row.client.def.name;
    model.symbol = row.client.icon;
    if (row.client.isCloudOnly()) {
      model.dot = model.stateColor = row.connected ? ColorRole::green : ColorRole::approve;
      model.state = row.connected ? "connected" : "cloud config";
    } else if (row.configured) {
      model.dot = model.stateColor = ColorRole::green;
      model.state = "configured";
    } else {
      model.dot = ColorRole::red;
      model.dotOpacity = 0.6;
    }
    models.push_back(std::move(model));
  }
  return models;
}

AIClientsSection::AIClientsSection(QWidget* parent, const ConfigManager& settings)
    : PopoverSectionWidget(parent), settings_(settings), layout_(new QVBoxLayout(this)) {
  layout_->setSpacing(4);
  layout_->setContentsMargins(16, 8, 16, 8);
}

bool ConfigMentions::operator()(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) {
    seen_.erase(file.string());
    return false;
  }
  const Identity identity{static_cast<std::int64_t>(info.st_dev),
                          static_cast<std::int64_t>(info.st_ino),
                          info.st_size,
                          info.st_mtim.tv_sec,
                          info.st_mtim.tv_nsec,
                          info.st_ctim.tv_sec,
                          info.st_ctim.tv_nsec};
  Seen& seen = seen_[file.string()];
  if (seen.identity != identity) {
    seen.identity = identity;
    seen.mentions = AIClientCatalog::mentionsUs(file);
  }
  return seen.mentions;
}

bool AIClientsSection::update(const PopoverInput& input) {
  const bool tunnel = input.status && input.status->tunnelConnected.value_or(false);
  const auto rows = ClientSetup::rows(
      tunnel, [this](const std::filesystem::path& file) { return mentions_(file); });
  if (!replace(shown_, std::pair(PopoverModels::aiClients(rows), TrayStrings::L("no_clients")))) {
    return false;
  }
  for (QWidget* row : rows_) delete row;
  rows_.clear();
  const auto& [models, noClients] = *shown_;
  if (models.empty()) {
    auto* none = new PlainLabel(this);
    none->show(noClients, ColorRole::secondary, 11);
    layout_->addWidget(none);
    rows_.push_back(none);
    return true;
  }
  for (const auto& model : models) {
    auto* row = new QWidget(this);
    row->setObjectName(QString::fromStdString(model.id));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(8);
    auto* dot = new PlainLabel(row);
    dot->setText(QStringLiteral("●"));
    dot->setStyleSheet(QStringLiteral("color: %1;").arg(cssColor(model.dot, model.dotOpacity)));
    auto* symbol = new SymbolLabel(row);
    symbol->setFixedWidth(16);
    symbol->show(model.symbol, ColorRole::secondary, 11);
    auto* name = new PlainLabel(row);
    name->show(model.name, ColorRole::primary, 12);
    line->addWidget(dot);
    line->addWidget(symbol);
    line->addWidget(name);
    line->addStretch();
    if (model.state) {
      auto* state = new PlainLabel(row);
      state->show(*model.state, model.stateColor, 10);
      line->addWidget(state);
    } else {
      auto* button =
          new ActionButton(row, [this, id = model.id](const PopoverAction&) { fix(id); });
      ButtonModel fixButton;
      fixButton.title = "Fix";
      button->show(fixButton, 10, ColorRole::accent);
      line->addWidget(button);
    }
    layout_->addWidget(row);
    rows_.push_back(row);
  }
  return true;
}

// The row shows the outcome the next time the section is drawn, from the file itself.
void AIClientsSection::fix(const std::string& id) {
  ClientSetup::fix(AIClientCatalog::find(id), settings_, this);
}

}  // namespace tvrn
