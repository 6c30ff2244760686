#pragma once
// One QApplication for a test program, on the offscreen platform unless another one was asked for.
// It is deleted when the tests are done, before the program's statics go.

#include <gtest/gtest.h>

#include <QApplication>
#include <QtGlobal>

namespace geomuxer::test {

inline QApplication& widgetApp() {
  static QApplication* app = nullptr;
  if (app == nullptr) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "geomuxer-widget-tests";
    static char* argv[] = {name, nullptr};
    app = new QApplication(argc, argv);
    struct Cleanup : ::testing::Environment {
      void TearDown() override {
        delete app;
        app = nullptr;
      }
    };
    ::testing::AddGlobalTestEnvironment(new Cleanup);
  }
  return *app;
}

}  // namespace geomuxer::test
