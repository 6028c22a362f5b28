// The main of the start-up and tray tests: the tray's objects need a Qt application to exist,
// and its widgets draw off screen.
#include <QApplication>
#include <memory>

#include "support/TestEnv.h"

// Fontconfig keeps its caches for the life of the process, which the leak check would report
// once a widget has drawn text.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  std::unique_ptr<QApplication> application;
  return tvrn::test::runTests(argc, argv,
                              [&] { application = std::make_unique<QApplication>(argc, argv); });
}
