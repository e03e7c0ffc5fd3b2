// The ui suite's entry: one QApplication for all cases. The discovery run at
// build time has no display either, so the offscreen platform is the default.
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
