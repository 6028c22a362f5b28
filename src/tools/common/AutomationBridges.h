// The two co-process roads the support tools read this machine's state through: the helper for
// the privacy-permission words and the calendar, reminder and contact lists, the script runner
// for the scriptable applications. Both must outlive every tool that holds them.
#pragma once

#include "bridges/HelperProxy.h"
#include "bridges/JXARunner.h"

namespace tvrn {

struct AutomationBridges {
  HelperProxy& helper;
  JXARunning& scripts;
};

}  // namespace tvrn
