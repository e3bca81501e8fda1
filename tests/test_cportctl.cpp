// Port-bound selectors and the setup dialog, headless.
#include "CPortList.h"
#include "CPortSetup.h"
#include "CPortTexts.h"
#include "FakeComDevice.h"
#include "MessageRecorder.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

QStringList Entries(const QComboBox& box) {
  QStringList items;
  for (int i = 0; i < box.count(); ++i) items << box.itemText(i);
  return items;
}

// The user picks entry index: keyboard navigation from the entry before it.
void Pick(QComboBox& box, int index) {
  box.setCurrentIndex(index - 1);
  QTest::keyClick(&box, Qt::Key_Down);
}

// Answers the next modal setup dialog with answer(dialog).
void WhenDialogOpens(std::function<void(TComSetupFrm&)> answer) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, answer] {
    if (auto* dialog = dynamic_cast<TComSetupFrm*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      answer(*dialog);
    }
  });
  timer->start(5);
}

}  // namespace

TEST(ComComboBox, ListsAValuesAndShowsThePortsValue) {
  TComComboBox box;
  box.SetComProperty(cpBaudRate);
  ASSERT_EQ(box.count(), 16);
  EXPECT_EQ(box.itemText(0), "Custom");
  EXPECT_EQ(box.itemText(15), "256000");
  EXPECT_EQ(box.Text(), "Custom");

  TFakePort port;
  port.SetBaudRate(br57600);
  box.SetComPort(&port);
  EXPECT_EQ(box.Text(), "57600");
  Pick(box, 7);  // "9600"
  EXPECT_EQ(box.Text(), "9600");
  EXPECT_EQ(port.BaudRate(), br57600);  // nothing until applied
  box.ApplySettings();
  EXPECT_EQ(port.BaudRate(), br9600);
  box.SetAutoApply(true);
  Pick(box, 13);
  EXPECT_EQ(port.BaudRate(), br115200);

  box.SetComProperty(cpNone);
  EXPECT_EQ(box.count(), 0);
  box.SetComProperty(cpFlowControl);
  EXPECT_EQ(Entries(box), (QStringList{"Hardware", "Software", "None", "Custom"}));
  EXPECT_EQ(box.Text(), "None");
  box.SetText("Software");
  EXPECT_EQ(box.Text(), "Software");
  box.SetText("Nothing like it");
  EXPECT_EQ(box.Text(), "Software");
}

TEST(ComComboBox, ForgetsADestroyedPort) {
  TComComboBox box;
  box.SetComProperty(cpParity);
  {
    TFakePort port;
    port.Parity().SetBits(prEven);
    box.SetComPort(&port);
    EXPECT_EQ(box.Text(), "Even");
  }
  EXPECT_EQ(box.ComPort(), nullptr);
  EXPECT_EQ(box.Text(), "None");
  box.ApplySettings();  // nothing to apply to
  box.UpdateSettings();
  EXPECT_EQ(box.Text(), "None");
}

TEST(ComComboBox, APortNameOutsideTheListShowsNoSelection) {
  char name[] = "/tmp/sysfs-XXXXXX";
  const fs::path root = mkdtemp(name);
  fs::create_directories(root / "class/tty/ttyUSB0/device");
  const std::string saved = ComPortsSysfsRoot;
  ComPortsSysfsRoot = root.string();
  TComComboBox box;
  box.SetComProperty(cpPort);
  EXPECT_EQ(Entries(box), QStringList{"/dev/ttyUSB0"});
  TFakePort port;
  port.SetPort("/dev/elsewhere");
  box.SetComPort(&port);
  EXPECT_EQ(box.currentIndex(), -1);
  box.ApplySettings();
  EXPECT_EQ(port.Port(), "");  // the pending name was never set
  port.SetPort("/dev/ttyusb0");
  box.UpdateSettings();  // found without regard to case
  EXPECT_EQ(box.Text(), "/dev/ttyUSB0");
  ComPortsSysfsRoot = saved;
  fs::remove_all(root);
}

TEST(ComRadioGroup, TakesAClickOnceAndFollowsThePort) {
  TComRadioGroup group("Stop bits");
  group.SetComProperty(cpStopBits);
  EXPECT_EQ(group.ItemIndex(), 0);
  TFakePort port;
  port.SetStopBits(sbTwoStopBits);
  group.SetComPort(&port);
  EXPECT_EQ(group.ItemIndex(), 2);
  EXPECT_EQ(group.LastTakenIndex, 2);
  group.SetAutoApply(true);
  group.Button(1)->click();
  EXPECT_EQ(port.StopBits(), sbOne5StopBits);
  port.SetStopBits(sbOneStopBit);
  group.Button(1)->click();  // the same button: no new choice
  EXPECT_EQ(port.StopBits(), sbOneStopBit);
}

TEST(SetupDialog, LayoutAndPreselection) {
  TFakePort port;
  port.SetBaudRate(br115200);
  QStringList shown;
  bool cancelled = false;
  WhenDialogOpens([&](TComSetupFrm& dialog) {
    EXPECT_EQ(dialog.windowTitle(), "Setup");
    EXPECT_EQ(dialog.size(), QSize(231, 216));
    for (int i = 0; i < 6; ++i) shown << dialog.Combo(i)->Text();
    EXPECT_TRUE(dialog.Button1->isDefault());
    // Change everything, then cancel.
    for (int i = 1; i < 6; ++i) Pick(*dialog.Combo(i), 1);
    QTest::keyClick(&dialog, Qt::Key_Escape);
    cancelled = true;
  });
  EXPECT_FALSE(EditComPort(port));
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(shown, (QStringList{"/dev/fake0", "115200", "8", "1", "None", "None"}));
  EXPECT_EQ(port.BaudRate(), br115200);
  EXPECT_EQ(port.DataBits(), dbEight);
  EXPECT_EQ(port.Port(), "/dev/fake0");
  EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);
}

TEST(SetupDialog, OkOnAnOpenPortAppliesTheLineOnceWithoutReopening) {
  std::vector<std::string> events;  // before the port, whose handlers use it to the end
  TFakePort port;
  port.OnBeforeClose = [&](TCustomComPort*) { events.push_back("close"); };
  port.OnAfterOpen = [&](TCustomComPort*) { events.push_back("open"); };
  port.Open();
  events.clear();
  port.State->TakeCalls();
  WhenDialogOpens([&](TComSetupFrm& dialog) {
    Pick(*dialog.Combo2, 12);  // 57600
    dialog.Button1->click();
  });
  EXPECT_TRUE(EditComPort(port));
  EXPECT_EQ(port.BaudRate(), br57600);
  EXPECT_TRUE(events.empty());
  std::vector<std::string> calls;
  for (auto& c : port.State->TakeCalls())
    if (c.rfind("Set", 0) == 0) calls.push_back(c);
  EXPECT_EQ(calls, (std::vector<std::string>{"SetupComm 1024 1024", "SetCommState", "SetCommTimeouts"}));
  EXPECT_EQ(port.State->Dcb.BaudRate, 57600u);
  port.OnBeforeClose = port.OnAfterOpen = nullptr;
}

TEST(SetupDialog, ANewNameReopensAndErrorsReachTheCaller) {
  TFakePort port;
  port.Open();
  WhenDialogOpens([&](TComSetupFrm& dialog) {
    dialog.Combo1->addItem("/dev/fake1");
    Pick(*dialog.Combo1, dialog.Combo1->count() - 1);
    dialog.Button1->click();
  });
  EditComPort(port);
  EXPECT_EQ(port.Port(), "/dev/fake1");
  EXPECT_TRUE(port.Connected());
  EXPECT_TRUE(port.State->Called("Open /dev/fake1"));

  port.State->Failing["Open"] = ENOENT;
  WhenDialogOpens([&](TComSetupFrm& dialog) {
    dialog.Combo1->addItem("/dev/gone");
    Pick(*dialog.Combo1, dialog.Combo1->count() - 1);
    dialog.Button1->click();
  });
  EXPECT_THROW(EditComPort(port), EComPortExt);
  EXPECT_FALSE(port.Connected());
}

TEST(SetupDialog, ChangesTheSpeedOfAnOpenPseudoTerminal) {
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  TComPort port;
  port.SetPort(name);
  port.SetBaudRate(br115200);
  port.Open();
  WhenDialogOpens([&](TComSetupFrm& dialog) {
    EXPECT_EQ(dialog.Combo1->Text(), QString(name));  // offered although not in the machine's list
    Pick(*dialog.Combo2, 9);  // 19200
    dialog.Button1->click();
  });
  EditComPort(port);
  termios t{};
  tcgetattr(slave, &t);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B19200));
  EXPECT_EQ(port.Port(), name);
  EXPECT_TRUE(port.Connected());
  port.Close();
  close(master);
  close(slave);
}

// Adapters as people know them, from a sysfs and /dev tree of the test's
// own: the stable name beside the device, what the adapter is, plugging in
// while the dialog is open, and a list that cannot be read at all.
TEST(SetupDialog, NamesAdaptersFollowsThemAndOpensWithoutAList) {
  char name[] = "/tmp/adapters-XXXXXX";
  const fs::path root = mkdtemp(name);
  const fs::path usb = root / "sys/devices/pci0000:00/usb1/1-1";
  fs::create_directories(usb / "1-1:1.0/ttyUSB0");
  for (auto [file, text] : {std::pair{"idVendor", "0403"}, {"idProduct", "6001"}, {"manufacturer", "FTDI"},
                            {"product", "FT232R USB UART"}, {"serial", "A50285BI"}})
    std::ofstream(usb / file) << text << "\n";
  fs::create_directories(root / "sys/class/tty/ttyUSB0");
  fs::create_directory_symlink(usb / "1-1:1.0", root / "sys/class/tty/ttyUSB0/device");
  fs::create_directories(root / "dev/serial/by-id");
  const std::string stable = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  fs::create_symlink("../../ttyUSB0", root / "dev/serial/by-id" / stable);
  const std::string savedSys = ComPortsSysfsRoot, savedDev = ComPortsDevRoot;
  ComPortsSysfsRoot = (root / "sys").string();
  ComPortsDevRoot = (root / "dev").string();

  const QString adapter = " \u2014 FTDI FT232R USB UART, serial A50285BI, USB 0403:6001";
  TFakePort port;
  port.SetPort("/dev/serial/by-id/" + stable);
  WhenDialogOpens([&](TComSetupFrm& dialog) {
    EXPECT_EQ(Entries(*dialog.Combo1), (QStringList{"/dev/ttyUSB0" + adapter, "/dev/serial/by-id/" + QString::fromStdString(stable) + adapter}));
    EXPECT_EQ(dialog.Combo1->currentIndex(), 1);
    fs::create_directories(root / "sys/class/tty/ttyACM0/device");  // plugged in
    QElapsedTimer timer;
    timer.start();
    while (dialog.Combo1->count() < 3 && timer.elapsed() < 5000) QTest::qWait(20);
    EXPECT_EQ(dialog.Combo1->itemText(0), "/dev/ttyACM0");
    EXPECT_EQ(dialog.Combo1->currentIndex(), 2);  // the choice stays
    dialog.Button1->click();
  });
  EXPECT_TRUE(EditComPort(port));
  EXPECT_EQ(port.Port(), "/dev/serial/by-id/" + stable);  // the name, not the description

  fs::remove_all(root / "sys/class");  // no list at all: the dialog opens and says why
  WhenDialogOpens([&](TComSetupFrm& dialog) {
    EXPECT_FALSE(dialog.PortListNote->isHidden());
    EXPECT_TRUE(dialog.PortListNote->text().contains("could not be read")) << dialog.PortListNote->text().toStdString();
    dialog.Combo1->setEditText("/dev/ttyUSB3");
    dialog.Button1->click();
  });
  EXPECT_TRUE(EditComPort(port));
  EXPECT_EQ(port.Port(), "/dev/ttyUSB3");
  ComPortsSysfsRoot = savedSys;
  ComPortsDevRoot = savedDev;
  fs::remove_all(root);
}
