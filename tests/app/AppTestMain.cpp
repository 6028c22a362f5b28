// The main of the start-up and tray tests: the tray's objects need a Qt application to exist.
#include <QCoreApplication>
#include <memory>

#include "support/TestEnv.h"

int main(int argc, char** argv) {
  std::unique_ptr<QCoreApplication> application;
  return tvrn::test::runTests(
      argc, argv, [&] { application = std::make_unique<QCoreApplication>(argc, argv); });
}
