#include "MessageRecorder.h"
#include "ConfigFile.h"
#include "TempDir.h"
#ifdef _WIN32
#include "WinSystem.h"
#endif
#include "Unit1.h"
#include "Version.h"
#include "Unit1Items.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QTimer>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

// What the system says of a file or a folder that is not there.
#ifdef _WIN32
const std::string NoSuchFile = WindowsErrorText(2 /* ERROR_FILE_NOT_FOUND */);
// Windows says ERROR_PATH_NOT_FOUND, wine ERROR_DIRECTORY.
const std::vector<std::string> NoSuchFolder{WindowsErrorText(3), WindowsErrorText(267)};
#else
const std::string NoSuchFile = "No such file or directory";
const std::vector<std::string> NoSuchFolder{NoSuchFile};
#endif

namespace {

// A file dialog answered with a fixed name (or cancelled with an empty one).
class TDialogAnswer {
public:
  explicit TDialogAnswer(const QString& fileName) {
    TFileDialog::Answer = [fileName](TFileDialog& dialog) {
      if (fileName.isEmpty()) return false;
      dialog.FileName = fileName;
      return true;
    };
  }
  ~TDialogAnswer() { TFileDialog::Answer = nullptr; }
};

class Form1Test : public testing::Test {
protected:
  void SetUp() override {
    Dir = MakeTempDir("form1");
  }
  void TearDown() override { fs::remove_all(Dir); }

  // The user picks an item: keyboard navigation from the item before it.
  static void Pick(TComboBox* list, int index) {
    list->setCurrentIndex(index - 1);
    QTest::keyClick(list, Qt::Key_Down);
    ASSERT_EQ(list->currentIndex(), index);
  }

  std::string Save(TForm1& form, const char* name = "c.dat") {
    const QString path = QString::fromStdString((Dir / name).string());
    TDialogAnswer answer(path);
    form.SpeedButton2->click();
    std::ifstream in(path.toStdString(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  void Open(TForm1& form, const std::string& content) {
    const fs::path path = Dir / "in.dat";
    { std::ofstream(path, std::ios::binary) << content; }
    TDialogAnswer answer(QString::fromStdString(path.string()));
    form.SpeedButton3->click();
  }

  static std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0, end;
    while ((end = text.find("\r\n", pos)) != std::string::npos) {
      lines.push_back(text.substr(pos, end - pos));
      pos = end + 2;
    }
    EXPECT_EQ(pos, text.size()) << "every line ends with CR LF";
    return lines;
  }

  static bool Locked(TEdit* edit) {
    return !edit->isEnabled() &&
           edit->palette().color(QPalette::Disabled, QPalette::Base) == QApplication::palette(edit).color(QPalette::Button);
  }

  fs::path Dir;
};

}  // namespace

TEST_F(Form1Test, StartsWithTheDefaultsOfAFreshWindow) {
  TForm1 form;
  EXPECT_EQ(form.windowTitle(), "HRVX3300 Configuration Program");
  EXPECT_EQ(form.size(), QSize(1001, 601));
  for (int n = 0; n < 4; ++n) {
    EXPECT_EQ(form.Edit_Name_Ch[n]->text(), QString("Test ch%1").arg(n + 1));
    EXPECT_EQ(form.ComboBox_Used_Ch[n]->currentText(), "Used");
    EXPECT_EQ(form.ComboBox_Relay_Ch[n]->currentText(), "NE");
    EXPECT_EQ(form.ComboBox_Atype_Ch[n]->currentText(), "NonLatch");
    EXPECT_EQ(form.ComboBox_Ttype_Ch[n]->currentText(), "NonLatch");
    EXPECT_EQ(form.ComboBox_VChk_Ch[n]->currentText(), "Check");
    for (TComboBox* list : {form.ComboBox_Used_Ch[n], form.ComboBox_Relay_Ch[n], form.ComboBox_Atype_Ch[n],
                            form.ComboBox_Ttype_Ch[n], form.ComboBox_VChk_Ch[n]})
      EXPECT_EQ(list->currentIndex(), 0) << list->objectName().toStdString();
    EXPECT_EQ(form.ComboBox_Unit_Ch[n]->currentText(), "mm/s R");
    EXPECT_EQ(form.ComboBox_Unit_Ch[n]->currentIndex(), -1);
    EXPECT_EQ(form.ComboBox_Unit_Ch[n]->count(), 28);
    EXPECT_EQ(form.ComboBox_Unit_Ch[n]->itemText(16), "C(PT100)");
    EXPECT_EQ(form.Edit_Damger_Ch[n]->text(), "8.0");
    EXPECT_EQ(form.Edit_Curr_Min_Ch[n]->text(), "4.0");
    EXPECT_EQ(Tag(form.ComboBox_Unit_Ch[n]), n);
    EXPECT_EQ(Tag(form.Button_Send[n]), n);
  }
  EXPECT_EQ(form.ComboBox_EvCnt->currentText(), "1");
  EXPECT_EQ(form.ComboBox_Cnt_Rpm->currentText(), "1");
  EXPECT_EQ(form.ComboBox_Cnt_Rpm->currentIndex(), -1);
  EXPECT_EQ(form.ComboBox_Com_Baud_S1->currentText(), "b9600");
  EXPECT_EQ(form.ComboBox_Com_Data_S1->currentText(), "d8");
  EXPECT_EQ(form.ComboBox_Com_Stop_S1->currentText(), "s1");
  EXPECT_EQ(form.ComboBox_Com_Parity_S1->currentText(), "NON");
  for (TComboBox* list : {form.ComboBox_Used_Temp, form.ComboBox_Used_Rpm, form.ComboBox_EvCnt,
                          form.ComboBox_Com_Baud_S1, form.ComboBox_Com_Data_S1, form.ComboBox_Com_Stop_S1,
                          form.ComboBox_Com_Parity_S1})
    EXPECT_EQ(list->currentIndex(), 0) << list->objectName().toStdString();
  EXPECT_FALSE(form.Edit_Serial_Nu_Ch1->isEnabled());
  EXPECT_TRUE(form.Button_DisCon->isChecked());
  EXPECT_FALSE(form.Button_Connect->isChecked());
  EXPECT_FALSE(form.Timer1->isActive());
  EXPECT_EQ(form.Timer1->interval(), 200);
  EXPECT_EQ(form.Timer2->interval(), 500);
  EXPECT_TRUE(form.RecvBuffer.empty());
  EXPECT_EQ(form.Edit_Mac6->text(), "EE");
  EXPECT_EQ(form.Edit_Src_Ip4->text(), "40");
  // The program's version, as --version and the package say it.
  EXPECT_EQ(FindComponent<QFrame>(&form, "Panel2")->findChild<QLabel*>()->text(),
            "Ver " + QString(HRVX3300_VERSION).section('.', 0, 1));
  EXPECT_TRUE(QString(HRVX3300_VERSION).count('.') == 2) << HRVX3300_VERSION;
  EXPECT_EQ(form.findChild<QGroupBox*>("GroupBox16")->title(), " MAC Address  (HEX) ");
}

TEST_F(Form1Test, TablesHoldTheNamedControlsOfEachChannel) {
  TForm1 form;
  for (int n = 0; n < 4; ++n) {
    const QString d = QString::number(n + 1);
    EXPECT_EQ(form.Edit_Name_Ch[n]->objectName(), "Edit_Name_Ch" + d);
    EXPECT_EQ(form.CheckBox_Inp_Type[n]->objectName(), "CheckBox_Inp_Type" + d);
    EXPECT_EQ(form.Edit_Damger_Ch[n]->objectName(), "Edit_Damger_Ch" + d);
    EXPECT_EQ(form.ComboBox_Ttype_Ch[n]->objectName(), "ComboBox_Ttype_Ch" + d);
    EXPECT_EQ(form.Edit_Curr_Min_Ch[n]->objectName(), "Edit_Curr_Min_Ch" + d);
    EXPECT_EQ(form.Edit_Name_Ch[n]->parentWidget()->objectName(), "GroupBox" + d);
  }
  for (int k = 0; k < 6; ++k) EXPECT_EQ(form.Button_Send[k]->objectName(), QString("Button_Send%1").arg(k + 1));
  EXPECT_EQ(form.Button_Send[5]->text(), "Send Set &Data");  // Alt+D
  EXPECT_EQ(form.Button_Send[6], nullptr);
  EXPECT_EQ(form.Edit_Name_Ch[4], nullptr);
}

TEST_F(Form1Test, UnitRulesLockAndUnlockOnlyThatChannel) {
  TForm1 form;
  Pick(form.ComboBox_Unit_Ch[1], 16);  // C(PT100) on channel 2
  const char* pt100[] = {"127", "-41", "120", "-20", "20.8", "1.5"};
  TEdit* const* ch2[] = {&form.Edit_Max_Ch[1],    &form.Edit_Min_Ch[1],      &form.Edit_Scale_Ch[1],
                         &form.Edit_Offset_Ch[1], &form.Edit_Curr_Max_Ch[1], &form.Edit_Curr_Min_Ch[1]};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ((*ch2[i])->text(), pt100[i]);
    EXPECT_TRUE(Locked(*ch2[i]));
  }
  for (int n : {0, 2, 3}) {
    EXPECT_TRUE(form.Edit_Max_Ch[n]->isEnabled());
    EXPECT_EQ(form.Edit_Max_Ch[n]->text(), "25.0");
  }

  Pick(form.ComboBox_Unit_Ch[1], 17);  // C(10mV): the 4~20 mA boxes stay as PT100 left them
  const char* mv[] = {"500", "0", "100", "0", "20.8", "1.5"};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ((*ch2[i])->text(), mv[i]);
    EXPECT_TRUE(Locked(*ch2[i]));
  }

  Pick(form.ComboBox_Unit_Ch[1], 1);  // any other unit unlocks and keeps the texts
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ((*ch2[i])->text(), mv[i]);
    EXPECT_TRUE((*ch2[i])->isEnabled());
    EXPECT_EQ((*ch2[i])->palette().color(QPalette::Base), QApplication::palette(*ch2[i]).color(QPalette::Base));
  }
}

TEST_F(Form1Test, TypingTheUnitTextActsAsPickingIt) {
  TForm1 form;
  TComboBox* unit = form.ComboBox_Unit_Ch[3];
  unit->lineEdit()->clear();
  QTest::keyClicks(unit->lineEdit(), "C(PT100");
  EXPECT_TRUE(form.Edit_Max_Ch[3]->isEnabled());
  QTest::keyClicks(unit->lineEdit(), ")");
  EXPECT_FALSE(form.Edit_Max_Ch[3]->isEnabled());
  EXPECT_EQ(form.Edit_Curr_Max_Ch[3]->text(), "20.8");
  EXPECT_EQ(unit->currentIndex(), 16);  // what is shown is what Send Set sends
  EXPECT_EQ(unit->lineEdit()->text(), "C(PT100)");
  QTest::keyClicks(unit->lineEdit(), "x");  // no unit of that name: the selection stays
  EXPECT_EQ(unit->currentIndex(), 16);
  EXPECT_TRUE(form.Edit_Max_Ch[3]->isEnabled());
  EXPECT_EQ(unit->count(), 28);  // typed text is never added to the list
}

TEST_F(Form1Test, UnitsSetByTheProgramDoNotRunTheRule) {
  TForm1 form;
  form.ComboBox_Unit_Ch[0]->setCurrentIndex(16);
  EXPECT_TRUE(form.Edit_Max_Ch[0]->isEnabled());
  EXPECT_EQ(form.Edit_Max_Ch[0]->text(), "25.0");

  // Nor does a unit opened from a file, locked or not.
  Pick(form.ComboBox_Unit_Ch[2], 16);
  std::string text = Save(form);
  std::vector<std::string> lines = SplitCrLf(text);
  lines[4] = "17";   // channel 1 C(10mV)
  lines[42] = "0";   // channel 3 mm/s R
  std::string edited;
  for (const auto& l : lines) edited += l + "\r\n";
  Open(form, edited);
  EXPECT_EQ(form.ComboBox_Unit_Ch[0]->currentText(), "C(10mV)");
  EXPECT_TRUE(form.Edit_Max_Ch[0]->isEnabled());
  EXPECT_EQ(form.ComboBox_Unit_Ch[2]->currentText(), "mm/s R");
  EXPECT_FALSE(form.Edit_Max_Ch[2]->isEnabled());
}

TEST_F(Form1Test, ConversionMessagesQuoteTheTextAsTyped) {
  TMessageRecorder recorder;
  TForm1 form;
  form.Edit_Damger_Ch[0]->setText(QString::fromUtf8("8,5 \u00b0C \u20ac"));
  form.Button_Send[0]->click();
  EXPECT_EQ(recorder.Messages, QStringList{QString::fromUtf8("'8,5 \u00b0C \u20ac' is not a valid floating point value")});
}

TEST_F(Form1Test, NamesTakeTenTypedCharactersButKeepLongerLoadedTexts) {
  TForm1 form;
  TEdit* name = form.Edit_Name_Ch[1];
  name->clear();
  QTest::keyClicks(name, "Twelve chars");
  EXPECT_EQ(name->text(), "Twelve cha");
  name->setText("A longer name from a file");
  EXPECT_EQ(name->text(), "A longer name from a file");
}

TEST_F(Form1Test, SerialNumberIsEditableOnceSnIsClicked) {
  TForm1 form;
  EXPECT_FALSE(form.Edit_Serial_Nu_Ch1->isEnabled());
  QTest::mouseClick(form.Label6, Qt::LeftButton);
  EXPECT_TRUE(form.Edit_Serial_Nu_Ch1->isEnabled());
}

TEST_F(Form1Test, EveryControlIsNamedForScreenReadersAndReachableByTab) {
  TForm1 form;
  form.show();
  EXPECT_EQ(form.Edit_Name_Ch[0]->accessibleName(), "CH1 Point Name");
  EXPECT_EQ(form.ComboBox_Unit_Ch[2]->accessibleName(), "CH3 Engineering Unit");
  EXPECT_EQ(form.Edit_Damger_Ch[1]->accessibleName(), "CH2 Alarm Setting Danger");
  EXPECT_EQ(form.Edit_Max_Ch[0]->accessibleName(), "CH1 Signal Full Scale Max");
  EXPECT_EQ(form.Edit_Speed_H1->accessibleName(), "AUX Speed H1");
  EXPECT_EQ(form.ComboBox_EvCnt->accessibleName(), "AUX Ev.Cnt");
  EXPECT_EQ(form.Edit_Node1->accessibleName(), "SYSTEM Slave No.");
  EXPECT_EQ(form.Edit_Serial_Nu_Ch1->accessibleName(), "SYSTEM SN:");
  EXPECT_EQ(form.Edit_Src_Ip1->accessibleName(), "IP 1");
  EXPECT_EQ(form.Edit_Mac6->accessibleName(), "MAC A6");
  EXPECT_EQ(form.Button_All_Send->accessibleName(), "All Send");
  EXPECT_EQ(form.Button_NLoadClick->accessibleName(), "Net Config Load");
  EXPECT_EQ(form.Button_M_SetClick->accessibleName(), "MAC Set");

  // Walk the Tab chain from the first point name and see every control once.
  QList<QWidget*> chain;
  QWidget* w = form.Edit_Name_Ch[0];
  do {
    if (w->focusPolicy() & Qt::TabFocus) chain << w;
    w = w->nextInFocusChain();
  } while (w != form.Edit_Name_Ch[0]);
  int focusable = 0;
  for (QWidget* control : form.findChildren<QWidget*>()) {
    if (!(control->focusPolicy() & Qt::TabFocus) || control->objectName().isEmpty()) continue;
    ++focusable;
    EXPECT_TRUE(chain.contains(control)) << control->objectName().toStdString();
    EXPECT_FALSE(control->accessibleName().isEmpty()) << control->objectName().toStdString();
  }
  EXPECT_GE(focusable, 4 * 20 + 30);
  // Down a column first, then across: channel 1's rows come before channel 2.
  EXPECT_LT(chain.indexOf(form.Edit_Curr_Min_Ch[0]), chain.indexOf(form.Edit_Name_Ch[1]));
  EXPECT_LT(chain.indexOf(form.Edit_Name_Ch[0]), chain.indexOf(form.ComboBox_Used_Ch[0]));
  EXPECT_LT(chain.indexOf(form.Button_Send[3]), chain.indexOf(form.ComboBox_Used_Temp));
  EXPECT_LT(chain.indexOf(form.Button_Send[5]), chain.indexOf(form.Edit_Src_Ip1));
  EXPECT_LT(chain.indexOf(form.Button_SetCon), chain.indexOf(form.SpeedButton2));
}

TEST_F(Form1Test, SavingAFreshWindowWritesTheDefaultLines) {
  TForm1 form;
  const std::vector<std::string> lines = SplitCrLf(Save(form));
  ASSERT_EQ(lines.size(), 98u);
  const std::vector<std::string> channel1 = {"Test ch1", "0",    "0",   "0",    "-1",  "0",   "8.0",
                                             "5.0",      "0",    "0",   "0.0",  "0",   "0.0", "25.0",
                                             "0.0",      "15.0", "0.0", "20.0", "4.0"};
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 19), channel1);
  EXPECT_EQ(lines[19], "Test ch2");
  EXPECT_EQ(lines[76], "0");
  EXPECT_EQ(lines[78], "-1");
  EXPECT_EQ(lines[82], "1");
  EXPECT_EQ(lines[87], "20220405");
  const std::vector<std::string> addresses = {"192", "168", "0", "40", "00", "00", "00", "00", "00", "EE"};
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 88, lines.end()), addresses);
}

TEST_F(Form1Test, SavedConfigurationOpensToTheSameWindow) {
  TForm1 source;
  source.Edit_Name_Ch[2]->setText("");  // an empty name is an empty line
  source.Edit_Name_Ch[3]->setText("Pump 10 NE");
  source.CheckBox_SS_Ch[1]->setChecked(true);
  source.CheckBox_Inp_Type[3]->setChecked(true);
  source.ComboBox_Unit_Ch[0]->setCurrentIndex(27);
  source.ComboBox_Atype_Ch[2]->setCurrentIndex(2);
  source.ComboBox_Cnt_Rpm->setCurrentIndex(7);
  source.ComboBox_Com_Stop_S1->setCurrentIndex(3);
  source.Edit_Speed_L1->setText("-3.5");
  source.Edit_Serial_Nu_Ch1->setText("X");
  source.Edit_Mac1->setText("a0");
  const std::string text = Save(source);

  TForm1 target;
  target.Edit_Src_Ip1->setText("10");
  Open(target, text);
  for (QObject* control : source.findChildren<QObject*>()) {
    const QString name = control->objectName();
    if (name.isEmpty() || name == "CheckBox1") continue;
    QObject* other = FindComponent(&target, name);
    ASSERT_NE(other, nullptr) << name.toStdString();
    if (auto* edit = qobject_cast<TEdit*>(control)) {
      if (edit->parent()->objectName().startsWith("ComboBox")) continue;
      EXPECT_EQ(edit->text(), qobject_cast<TEdit*>(other)->text()) << name.toStdString();
    } else if (auto* list = qobject_cast<TComboBox*>(control)) {
      EXPECT_EQ(list->currentIndex(), qobject_cast<TComboBox*>(other)->currentIndex()) << name.toStdString();
    } else if (auto* check = qobject_cast<TCheckBox*>(control)) {
      EXPECT_EQ(check->isChecked(), qobject_cast<TCheckBox*>(other)->isChecked()) << name.toStdString();
    }
  }
  EXPECT_EQ(target.Edit_Name_Ch[2]->text(), "");
  EXPECT_EQ(target.Edit_Src_Ip1->text(), "192");
}

TEST_F(Form1Test, OpeningStopsWhereTheFileFails) {
  TMessageRecorder recorder;
  TForm1 form;
  Open(form, "First\r\n12345\r\n1\r\n");  // an over-long number line: silent stop after line 1
  EXPECT_EQ(form.Edit_Name_Ch[0]->text(), "First");
  EXPECT_FALSE(form.CheckBox_Inp_Type[0]->isChecked());
  EXPECT_TRUE(recorder.Messages.isEmpty());

  Open(form, "Second\r\n1\r\n1\r\n0\r\nC\r\n");  // not an integer: the message, lines before applied
  EXPECT_EQ(recorder.Messages, QStringList{"'C' is not a valid integer value"});
  EXPECT_EQ(form.Edit_Name_Ch[0]->text(), "Second");
  EXPECT_EQ(form.ComboBox_Used_Ch[0]->currentText(), "Not Used");
  EXPECT_TRUE(form.CheckBox_Inp_Type[0]->isChecked());

  Open(form, "Third\r\n99\r\n");  // an index outside the list: no selection
  EXPECT_EQ(form.ComboBox_Used_Ch[0]->currentIndex(), -1);
  EXPECT_EQ(recorder.Messages.size(), 1);
}

TEST_F(Form1Test, AFileOf88LinesLeavesTheAddressesAlone) {
  TForm1 source;
  source.Edit_Node1->setText("7");
  std::vector<std::string> lines = SplitCrLf(Save(source));
  std::string first88;
  for (int i = 0; i < 88; ++i) first88 += lines[i] + "\r\n";

  TForm1 target;
  target.Edit_Src_Ip2->setText("1");
  target.Edit_Mac3->setText("FF");
  Open(target, first88);
  EXPECT_EQ(target.Edit_Node1->text(), "7");
  EXPECT_EQ(target.Edit_Src_Ip2->text(), "1");
  EXPECT_EQ(target.Edit_Mac3->text(), "FF");
}

TEST_F(Form1Test, CancelledOrUnusableFilesChangeNothing) {
  TMessageRecorder recorder;
  TForm1 form;
  form.Edit_Name_Ch[0]->setText("Kept");
  {
    TDialogAnswer cancel{QString()};
    form.SpeedButton3->click();
    form.SpeedButton2->click();
  }
  EXPECT_TRUE(recorder.Messages.isEmpty());

  const QString missing = QString::fromStdString((Dir / "missing.dat").string());
  {
    TDialogAnswer answer(missing);
    form.SpeedButton3->click();
  }
  ASSERT_EQ(recorder.Messages.size(), 1);
  EXPECT_EQ(recorder.Messages[0], "Cannot open \"" + missing + "\": " + QString::fromStdString(NoSuchFile));
  EXPECT_EQ(form.Edit_Name_Ch[0]->text(), "Kept");

  const QString folder = QString::fromStdString((Dir / "none" / "x.dat").string());
  {
    TDialogAnswer answer(folder);
    form.SpeedButton2->click();
  }
  ASSERT_EQ(recorder.Messages.size(), 2);
  const QString saying = "Cannot save \"" + folder + "\": ";
  EXPECT_TRUE(std::any_of(NoSuchFolder.begin(), NoSuchFolder.end(), [&](const std::string& reason) {
    return recorder.Messages[1].startsWith(saying + QString::fromStdString(reason));
  })) << recorder.Messages[1].toStdString();
}

// The judging tick speaks of what it judges: a send that took the place of
// a load asked again is " Not Ready " when nothing came; the load's own
// silence after a garbled answer is the line's fault.
TEST_F(Form1Test, ASilentTickSpeaksOfTheTransactionItJudges) {
  TMessageRecorder recorder;
  TForm1 form;
  form.LoadAnswers = {std::string(LoadImageUsedSize, 'x')};
  form.TransCode = TForm1::tcChannel;
  form.Timer1Timer(form.Timer1);
  form.TransCode = TForm1::tcLoad;
  form.Timer1Timer(form.Timer1);
  EXPECT_EQ(recorder.Messages,
            (QStringList{" Not Ready ", " Load Error: the line garbles the module's answers: 1 load image, not confirmed; then the module did not answer "}));
  EXPECT_TRUE(form.LoadAnswers.empty());
  EXPECT_EQ(form.NotReady, 1);
}

TEST(Form1Texts, TheCommandLineNamesFieldsAndItemsAsTheWindowShowsThem) {
  // The command line describes fields by the captions and list items the
  // window has: both come from one place, and this keeps them together.
  TForm1 form;
  for (const TConfigLine& line : ConfigLayout()) {
    QWidget* control = form.findChild<QWidget*>(QString::fromStdString(line.Control));
    ASSERT_NE(control, nullptr) << line.Control;
    EXPECT_EQ(control->accessibleName().toStdString(), ControlCaption(line.Control)) << line.Control;
    if (auto* list = qobject_cast<QComboBox*>(control)) {
      EXPECT_EQ(std::size_t(list->count()), ListItems(line.Control).size()) << line.Control;
    }
  }
}
