// What the benchmarks of store calls share: the private home's store holds three reminder lists,
// and the calendar, contacts and To Do calls are answered in the process, as start-up wires them.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "PrivateHome.h"
#include "bridges/HelperProxy.h"
#include "bridges/LocalData.h"
#include "bridges/PlatformStores.h"
#include "core/ConfigManager.h"
#include "pim/PimStore.h"
#include "platform/ProcessSetup.h"

namespace tvrn::bench {

// A trivial store call: the reminder lists, read from the store's index in memory.
inline const std::string kStoreCallLine =
    R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"todo_list_lists",)"
    R"("arguments":{}}})";

// The privacy gate and the stores the calls read, built as start-up builds them (the user's
// settings name the folders); they live as long as the program.
inline PlatformStores& storesOfTheProgram() {
  static auto& gate = *new PrivacyGate();
  static auto& stores =
      *new PlatformStores(gate, {.settings = PlatformStores::settingsOf(ConfigManager::shared())});
  return stores;
}

// What start-up builds the helper with: the local data services, answered in the process.
inline HelperProxy::InProcessDispatch localData() {
  return [&stores = storesOfTheProgram()](std::string_view method, const nlohmann::json& args) {
    return LocalData::dispatch(stores, method, args);
  };
}

// The helper the store calls go through, as start-up builds it; it lives as long as the program.
inline HelperProxy& storeHelper() {
  static auto& helper = *new HelperProxy(localData());
  return helper;
}

inline void prepareStoreCalls() {
  static const bool prepared = [] {
    prepareProcess();
    for (const char* title : {"Errands", "Work", "Home"}) {
      Calendar list;
      list.title = title;
      list.entityType = EntityType::reminder;
      static_cast<void>(storesOfTheProgram().data.saveCalendar(list));
    }
    return true;
  }();
  static_cast<void>(prepared);
}

}  // namespace tvrn::bench
