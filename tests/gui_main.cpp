// Runs the widget tests inside one application object, headless. The port
// lists they show come from a sysfs tree of the test's own (one USB
// adapter), not from the machine's /sys, which a container may not have;
// on Windows from the system's own list.
#include "CPortList.h"
#include "CPortTexts.h"
#include "Forms.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  testing::InitGoogleTest(&argc, argv);
#ifndef _WIN32
  namespace fs = std::filesystem;
  char name[] = "/tmp/gui-sysfs-XXXXXX";
  const fs::path sysfs = mkdtemp(name);
  fs::create_directories(sysfs / "devices/usb/1-1");
  fs::create_directories(sysfs / "class/tty/ttyUSB0");
  fs::create_directory_symlink(sysfs / "devices/usb/1-1", sysfs / "class/tty/ttyUSB0/device");
  ComPortsSysfsRoot = sysfs.string();
  ComPortsDevRoot = (sysfs / "dev").string();  // no stable names
#endif
  int result = 0;
  {
    TApplication app(argc, argv);
    app.SetTitle("HRVX3300");
    result = RUN_ALL_TESTS();
  }
#ifndef _WIN32
  fs::remove_all(sysfs);
#endif
  return result;
}
