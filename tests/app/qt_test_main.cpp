// Runs the dialog tests inside one QApplication, on the offscreen platform unless told otherwise,
// and in a private network namespace where the system allows it.

#include <gtest/gtest.h>

#include <QApplication>

#include "support/network_namespace.h"

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Before Qt starts a thread: a process with threads cannot change its namespace.
  vyr::testing::enterPrivateNetwork();
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
