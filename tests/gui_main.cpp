// Runs the widget tests inside one application object, headless.
#include "Forms.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  testing::InitGoogleTest(&argc, argv);
  TApplication app(argc, argv);
  app.SetTitle("HRVX3300");
  return RUN_ALL_TESTS();
}
