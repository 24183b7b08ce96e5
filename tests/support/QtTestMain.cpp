// main() of the widget tests: GoogleTest inside a QApplication, so that
// widgets can be created (the tests run with QT_QPA_PLATFORM=offscreen).
#include <QApplication>

#include <gmock/gmock.h>

int main(int argc, char** argv) {
  // Test discovery runs the executable without ctest's environment.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
