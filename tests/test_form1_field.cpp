// The configuration window as a field engineer uses it: files that come
// back, edits that are not lost on closing, the port kept between runs,
// keys for every button, and the commissioning report.
#include "CPortSetup.h"
#include "MessageRecorder.h"
#include "Registry.h"
#include "Report.h"
#include "TempDir.h"
#include "Unit1.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QToolButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class FieldTest : public testing::Test {
protected:
  void SetUp() override {
    Dir = MakeTempDir("field");
#ifndef _WIN32
    TRegistry::SetRootFile(HKEY_CURRENT_USER, (Dir / "registry").string());
#endif  // on Windows the system's, in a wine prefix of the tests' own
  }
  void TearDown() override {
    TFileDialog::Answer = nullptr;
    AskToSaveAnswer = nullptr;
    AskYesNoAnswer = nullptr;
#ifndef _WIN32
    TRegistry::SetRootFile(HKEY_CURRENT_USER, "");
#endif
    fs::remove_all(Dir);
  }
  // Every file dialog is answered with path; the folder it started in is kept.
  void AnswerFiles(const fs::path& path) {
    TFileDialog::Answer = [this, path](TFileDialog& dialog) {
      StartedIn = dialog.Directory;
      dialog.FileName = QString::fromStdString(path.string());
      return true;
    };
  }
  static std::string PdfText(const fs::path& pdf) {
    const std::string command = "pdftotext -layout '" + pdf.string() + "' -";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    std::string text;
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    EXPECT_EQ(pipe ? ::pclose(pipe) : -1, 0) << "pdftotext (poppler-utils) could not read " << pdf;
    return text;
  }

  fs::path Dir;
  QString StartedIn;
  TMessageRecorder Recorder;
};

}  // namespace

TEST_F(FieldTest, SavedFilesGetTheirExtensionAndClosingKeepsEdits) {
  fs::create_directory(Dir / "site");
  TForm1 form;
  form.show();
  AnswerFiles(Dir / "site/pump");
  form.SpeedButton2->click();
  EXPECT_TRUE(fs::exists(Dir / "site/pump.dat"));  // Open's *.dat shows it
  AnswerFiles(Dir / "site/pump.dat");
  form.SpeedButton3->click();
  // where the last file went
  EXPECT_EQ(QDir::fromNativeSeparators(StartedIn), QDir::fromNativeSeparators(QString::fromStdString((Dir / "site").string())));

  int asked = 0;
  TSaveAnswer answer = saCancel;
  AskToSaveAnswer = [&](const QString&) {
    ++asked;
    return answer;
  };
  EXPECT_TRUE(form.close());  // nothing changed since the open: no question
  EXPECT_EQ(asked, 0);

  TForm1 edited;
  edited.show();
  QTest::keyClicks(edited.Edit_Name_Ch[2], "X");
  EXPECT_FALSE(edited.close());  // Cancel keeps the window
  EXPECT_TRUE(edited.isVisible());
  TFileDialog::Answer = [](TFileDialog&) { return false; };
  answer = saSave;
  EXPECT_FALSE(edited.close());  // Save, then the save dialog cancelled: still open
  AnswerFiles(Dir / "site/edited.dat");
  EXPECT_TRUE(edited.close());
  EXPECT_EQ(asked, 3);
  std::ifstream saved(Dir / "site/edited.dat", std::ios::binary);  // the file's own line ends
  std::string line;
  for (int i = 0; i < 39; ++i) std::getline(saved, line);
  EXPECT_EQ(line, "Test ch3X\r");
}

TEST_F(FieldTest, ThePortChosenInSetupIsThereNextTimeAndEveryButtonHasAKey) {
  {
    TForm1 form;
    form.SettingsPath = "HKEY_CURRENT_USER\\Software\\HRVX3300";
    TCustomComPort::SetupDialog = [](TCustomComPort& port) {
      port.SetPort("/dev/serial/by-id/usb-FTDI_X-if00-port0");
      port.Parity().SetBits(prEven);
    };
    form.Button_SetCon->click();
    RegisterComSetupDialog();
  }
  TForm1 next;
  next.SettingsPath = "HKEY_CURRENT_USER\\Software\\HRVX3300";
  next.LoadSettings();
  EXPECT_EQ(next.ComPort1->Port(), "/dev/serial/by-id/usb-FTDI_X-if00-port0");
  EXPECT_EQ(next.ComPort1->Parity().Bits(), prEven);

  // Alt and a letter (or a channel's digit) for every button, none twice.
  std::set<QString> keys;
  int buttons = 0;
  for (QAbstractButton* button : next.findChildren<QAbstractButton*>()) {
    if (qobject_cast<QCheckBox*>(button)) continue;
    ++buttons;
    const QKeySequence key = QKeySequence::mnemonic(button->text());
    EXPECT_FALSE(key.isEmpty()) << button->objectName().toStdString();
    EXPECT_TRUE(keys.insert(key.toString()).second) << key.toString().toStdString() << " twice";
  }
  EXPECT_EQ(buttons, 20);
  next.show();
  QApplication::setActiveWindow(&next);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&next));
  int asked = 0;
  TFileDialog::Answer = [&](TFileDialog&) { return ++asked, false; };
  int setups = 0;
  TCustomComPort::SetupDialog = [&](TCustomComPort&) { ++setups; };
  // A key clicks its button as the mouse would, shown pressed for a moment.
  QTest::keyClick(&next, Qt::Key_P, Qt::AltModifier);
  EXPECT_TRUE(QTest::qWaitFor([&] { return setups == 1; }));
  RegisterComSetupDialog();
  for (Qt::Key key : {Qt::Key_V, Qt::Key_N, Qt::Key_R}) {
    const int before = asked;
    QTest::keyClick(&next, key, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return asked == before + 1; })) << "Alt+" << char(key);  // Save, Open, Report
  }
}

TEST_F(FieldTest, TheReportHoldsWhatTheWindowShowsAndTheCommandLineMakesItToo) {
  TForm1 form;
  form.Edit_Serial_Nu_Ch1->setText("SN-REP-9");
  form.Edit_Name_Ch[2]->setText("Fan DE");
  AnswerFiles(Dir / "report");
  int offered = 0;
  AskYesNoAnswer = [&](const QString&) { return ++offered, false; };  // no printing
  form.Button_Report->click();
  ASSERT_TRUE(fs::exists(Dir / "report.pdf"));
  EXPECT_EQ(offered, 1);
#ifdef _WIN32
  GTEST_SKIP() << "pdftotext is not a Windows program: scripts/wine-tests reads the Windows program's report";
#endif
  std::string text = PdfText(Dir / "report.pdf");
  for (const char* shown : {"SN-REP-9", "Fan DE", "Test ch4", "mm/s R", "192.168.0.40", "00:00:00:00:00:EE", "SYSTEM"})
    EXPECT_NE(text.find(shown), std::string::npos) << shown << " is missing from:\n" << text;

  // The command line, from a .dat file without a module.
  AnswerFiles(Dir / "saved.dat");
  form.SpeedButton2->click();
  TBatchOptions options = ParseBatchOptions({"--report", (Dir / "cli.pdf").string(), "--from", (Dir / "saved.dat").string()});
  std::ostringstream out, err;
  EXPECT_EQ(RunReport(options, out, err), 0) << err.str();
  text = PdfText(Dir / "cli.pdf");
  EXPECT_NE(text.find("Fan DE"), std::string::npos) << text;
  EXPECT_NE(text.find("saved.dat"), std::string::npos) << text;
  EXPECT_THROW(ParseBatchOptions({"--from", "x.dat"}), ECommandLineExit);
  EXPECT_THROW(ParseBatchOptions({"--report", "r.pdf", "--write", "x.dat", "--port", "p"}), ECommandLineExit);
  options.File = (Dir / "none.dat").string();
  EXPECT_NE(RunReport(options, out, err), 0);  // a missing file says so
}
