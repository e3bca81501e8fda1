// The extended (VT102 with colours) terminal, headless.
#include "CPortTermVT102.h"
#include "FakeComDevice.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <deque>
#include <random>

namespace {

// The rows of a terminal as text, trailing blanks cut.
std::vector<std::string> Rows(const TCustomComTerminal& t, int count) {
  std::vector<std::string> rows;
  for (int r = 1; r <= count; ++r) {
    std::string row;
    for (int c = 1; c <= t.Columns(); ++c) row += t.CellText(c, r).toStdString();
    row.erase(row.find_last_not_of(' ') + 1);
    rows.push_back(row);
  }
  return rows;
}

using Lines = std::vector<std::string>;

// A terminal on the screen whose grid fits a window of about columns x
// rows cells, keeping 100 lines of scrollback.
void ShowFitting(TComTerminalVT102& t, int columns, int rows) {
  t.SetScrollbackLimit(100);
  t.SetFitToWindow(true);
  t.show();
  t.resize(columns * t.CellWidth() + 40, rows * t.CellHeight() + 20);
  QCoreApplication::processEvents();
}

struct TSmall : TComTerminalVT102 {
  TSmall() {
    SetColumns(10);
    SetRows(6);
  }
};

}  // namespace

TEST(ExtendedTerminal, EditingSequences) {
  struct TCase {
    const char* Name;
    std::string Input;
    Lines Screen;  // the first four rows
    QPoint Caret;
  } cases[] = {
      {"index and reverse index", "a\x1b" "Db\x1bMc", {"a c", " b", "", ""}, {4, 1}},
      {"next line", "ab\x1b" "Ec", {"ab", "c", "", ""}, {2, 2}},
      {"insert and delete characters", "abcdef\r\x1b[2C\x1b[2@XY\x1b[3P", {"abXYf", "", "", ""}, {5, 1}},
      {"insert mode", "abc\r\x1b[4hXY\x1b[4lZ", {"XYZbc", "", "", ""}, {4, 1}},
      {"erase characters", "abcdef\r\x1b[C\x1b[3X", {"a   ef", "", "", ""}, {2, 1}},
      {"erase to the start of line and screen", "abcd\r\nefgh\x1b[2D\x1b[1K\x1b[A\x1b[1J",
       {"   d", "   h", "", ""}, {3, 1}},
      {"erase the whole line and screen keeping the caret", "abc\r\ndef\x1b[2K", {"abc", "", "", ""}, {4, 2}},
      {"absolute columns and rows", "\x1b[3dx\x1b[7Gy\x1b[2`z", {"", "", "xz    y", ""}, {3, 3}},
      {"next and previous line", "\x1b[5Ga\x1b[2Eb\x1b[Fc", {"    a", "c", "b", ""}, {2, 2}},
      {"insert and delete lines", "1\r\n2\r\n3\r\n4\x1b[2;1H\x1b[L\x1b[3;1H\x1b[2M", {"1", "", "4", ""}, {1, 3}},
      {"line drawing", "\x1b(0lqk\x0ex\x0fx\x1b(Bq", {"\u250c\u2500\u2510x\u2502q", "", "", ""}, {7, 1}},
  };
  for (const TCase& c : cases) {
    TSmall t;
    t.WriteStr(c.Input);
    Lines screen = Rows(t, 4);
    EXPECT_EQ(screen, c.Screen) << c.Name;
    EXPECT_EQ(t.CaretCell(), c.Caret) << c.Name;
  }
}

TEST(ExtendedTerminal, ScrollRegionsAndOriginMode) {
  TSmall t;
  t.WriteStr("1\r\n2\r\n3\r\n4\r\n5\r\n6");
  t.WriteStr("\x1b[2;4r");  // rows 2 to 4; the caret goes home
  EXPECT_EQ(t.CaretCell(), QPoint(1, 1));
  t.WriteStr("\x1b[4;1H\nX");  // a line feed at the bottom margin scrolls the region only
  EXPECT_EQ(Rows(t, 6), (Lines{"1", "3", "4", "X", "5", "6"}));
  t.WriteStr("\x1b[2;1H\x1bMY");  // reverse index at the top margin
  EXPECT_EQ(Rows(t, 6), (Lines{"1", "Y", "3", "4", "5", "6"}));
  t.WriteStr("\x1b[5;1H\x1b[L");  // insert lines outside the region: nothing
  EXPECT_EQ(Rows(t, 6), (Lines{"1", "Y", "3", "4", "5", "6"}));
  t.WriteStr("\x1b[3;1H\x1b[L");  // inside: the region's last row falls out
  EXPECT_EQ(Rows(t, 6), (Lines{"1", "Y", "", "3", "5", "6"}));
  t.WriteStr("\x1b[6;1H\n");  // a line feed below the region on the last row: nothing moves
  EXPECT_EQ(Rows(t, 6), (Lines{"1", "Y", "", "3", "5", "6"}));

  // Origin mode counts rows from the region's top and keeps the caret in it;
  // the position report says so too.
  t.WriteStr("\x1b[?6h\x1b[2;3HO\x1b[9;1HP");
  EXPECT_EQ(t.Cell(3, 3).Ch, U'O');
  EXPECT_EQ(t.Cell(1, 4).Ch, U'P');
  TFakePort port;
  t.SetComPort(&port);
  port.Open();
  t.WriteStr("\x1b[6n\x1b[c");
  EXPECT_EQ(port.State->Output, "\x1b[3;2R\x1b[?6c");
  port.Close();
  t.SetComPort(nullptr);
}

TEST(ExtendedTerminal, PendingWrapAlternateScreenAndColours) {
  TSmall t;
  t.WriteStr("0123456789");
  EXPECT_EQ(t.CaretCell(), QPoint(10, 1));  // stays in the last column...
  EXPECT_TRUE(t.WrapPending());
  t.WriteStr("A");  // ...until the next character
  EXPECT_EQ(Rows(t, 2), (Lines{"0123456789", "A"}));
  EXPECT_EQ(t.CaretCell(), QPoint(2, 2));
  t.WriteStr("B");
  t.WriteStr("\x1b[?7l\r\n0123456789XY");  // no wrap: the last column is overwritten
  EXPECT_EQ(Rows(t, 3)[2], "012345678Y");

  t.WriteStr("\x1b[?1049h");
  EXPECT_TRUE(t.AlternateScreen());
  EXPECT_EQ(Rows(t, 3), (Lines{"", "", ""}));
  t.WriteStr("\x1b[Halt");
  t.WriteStr("\x1b[?1049l");
  EXPECT_EQ(Rows(t, 3), (Lines{"0123456789", "AB", "012345678Y"}));
  EXPECT_EQ(t.CaretCell(), QPoint(10, 3));  // back where it was

  t.ClearScreen();
  t.WriteStr("\x1b[31;44ma\x1b[1;38;5;200mb\x1b[2;7mc\x1b[22;27;39;49md\x1b[97;101me\x1b[48;5;255mf\x1b[0mg");
  EXPECT_EQ(t.Cell(1, 1).Fg, 1);
  EXPECT_EQ(t.Cell(1, 1).Bg, 4);
  EXPECT_EQ(t.Cell(2, 1).Fg, 200);
  EXPECT_EQ(t.Cell(2, 1).Flags, vfBold);
  EXPECT_EQ(t.Cell(3, 1).Flags, vfBold | vfFaint | vfReverse);
  EXPECT_EQ(t.Cell(4, 1).Fg, -1);
  EXPECT_EQ(t.Cell(4, 1).Bg, -1);
  EXPECT_EQ(t.Cell(4, 1).Flags, 0);
  EXPECT_EQ(t.Cell(5, 1).Fg, 15);
  EXPECT_EQ(t.Cell(5, 1).Bg, 9);
  EXPECT_EQ(t.Cell(6, 1).Bg, 255);
  EXPECT_EQ(t.Cell(7, 1).Bg, -1);
  EXPECT_EQ(t.PaletteColor(255), qRgb(238, 238, 238));
  EXPECT_EQ(t.PaletteColor(16 + 36 * 5), qRgb(255, 0, 0));

  // UTF-8 when asked; a cut character shows as the replacement.
  t.SetUtf8(true);
  t.WriteStr("\r\x1b[2B\xc3\xa9\xe2\x82\xac\xe2\x82z");
  EXPECT_EQ(t.CellText(1, 3), QString::fromUtf8("\xc3\xa9"));
  EXPECT_EQ(t.CellText(2, 3), QString::fromUtf8("\xe2\x82\xac"));
  EXPECT_EQ(t.Cell(3, 3).Ch, char32_t(0xFFFD));
  EXPECT_EQ(t.CellText(4, 3), "z");
}

TEST(ExtendedTerminal, TheSpecifiedTerminalStillIgnoresWhatItIgnored) {
  // The same bytes to the specified terminal: the new sequences remain
  // unhandled codes, and its screen is what it always was.
  TComTerminal t;
  std::vector<std::string> unhandled;
  t.OnUnhandledCode = [&](TCustomComTerminal*, TEscapeCode, const std::string& text) { unhandled.push_back(text); };
  t.WriteStr("ab\x1b[2;4r\x1b[L\x1b[P\x1b[1K\x1b[31mc\x1b" "D\x1b(0q");
  EXPECT_EQ(unhandled, (std::vector<std::string>{"[2;4r", "[L", "[P", "[1K", "D", "("}));
  EXPECT_EQ(t.Buffer().GetChar(3, 1).Ch, 'c');
  EXPECT_EQ(t.Buffer().GetChar(4, 1).Ch, '0');
  EXPECT_EQ(t.Buffer().GetChar(5, 1).Ch, 'q');
  EXPECT_EQ(t.Buffer().GetChar(3, 1).FrontColor, t.FontColor());  // no colour
}

TEST(ExtendedTerminal, AShrunkenGridKeepsTheCaretAndEveryEditInside) {
  TComTerminalVT102 t;
  t.SetColumns(80);
  t.SetRows(24);
  t.WriteStr("\x1b[24;80Hz\x1b" "7");  // caret and saved caret on the last row
  t.SetRows(20);
  EXPECT_EQ(t.CaretCell(), QPoint(80, 20));
  for (const char* edit : {"\x1b[K", "\x1b[2K", "\x1b[1K", "\x1b[1J", "\x1b[5@", "\x1b[3P", "\x1b[L", "\x1b[2X"})
    t.WriteStr(edit);
  t.WriteStr("\x1b" "8");
  EXPECT_EQ(t.CaretCell(), QPoint(80, 20));
  t.WriteStr("\r\nab\r\ncd");  // typed echo shows and line feeds scroll
  EXPECT_EQ(t.CellText(1, 19) + t.CellText(2, 19) + t.CellText(1, 20) + t.CellText(2, 20), "abcd");
  t.SetColumns(10);
  t.WriteStr("\x1b[20;1H0123456789\x1b[4@");
  EXPECT_EQ(t.CaretCell(), QPoint(10, 20));
}

TEST(ExtendedTerminal, StringsIntermediatesAndOverlongSequencesNeverPrint) {
  const std::string overlong = "\x1b[" + std::string(500, '1') + ";2m";
  const std::string cases[] = {
      "\x1b]0;user@host: ~\x07",  "\x1b]2;title\x1b\\", "\x1bPq#0;2;0;0;0\x1b\\", "\x1b_app\x07",
      "\x1b^privacy\x1b\\",        "\x1bXstart\x1b\\",   "\x1b( A",                "\x1b*0",
      "\x1b%G",                    "\x1b F",             "\x1b[2~",                "\x1b[>0;1;2c",
      "\x1b[=5u",                  "\x1b[<1;2M",         "\x1b[1 q",               "\x1b[?2004$p",
      overlong,
  };
  for (const std::string& sequence : cases) {
    TSmall t;
    t.WriteStr("a" + sequence + "b");
    EXPECT_EQ(Rows(t, 2), (Lines{"ab", ""})) << sequence.substr(1, 20);
  }

  // OSC 0 and 2 name the window, also split across chunks; colour queries get an answer.
  TSmall t;
  std::vector<QString> titles;
  t.OnTitle = [&](TComTerminalVT102*, const QString& title) { titles.push_back(title); };
  TFakePort port;
  t.SetComPort(&port);
  port.Open();
  t.WriteStr("\x1b]0;one\x07\x1b]2;t");
  t.WriteStr("wo\x1b\\\x1b]11;?\x07\x1b]10;?\x1b\\");
  EXPECT_EQ(titles, (std::vector<QString>{"one", "two"}));
  EXPECT_EQ(port.State->Output.substr(0, 8), "\x1b]11;rgb");
  EXPECT_NE(port.State->Output.find("\x1b]10;rgb"), std::string::npos);
  EXPECT_EQ(Rows(t, 1), (Lines{""}));
  port.Close();
  t.SetComPort(nullptr);
}

TEST(ExtendedTerminal, GraphicRenditionOddities) {
  TSmall t;
  t.WriteStr("\x1b[>4;2ma\x1b[38:5:196mb\x1b[0;38:2::255:0:0mc\x1b[0;48;2;0;0;255md");
  EXPECT_EQ(t.Cell(1, 1).Flags, 0);  // xterm's key modifier setting, not bold or faint
  EXPECT_EQ(t.Cell(2, 1).Fg, 196);
  EXPECT_EQ(t.Cell(3, 1).Fg, 196);  // true red, nearest in the palette
  EXPECT_EQ(t.Cell(4, 1).Bg, 21);
}

TEST(ExtendedTerminal, WhatVT102AddsToTheParser) {
  struct TCase {
    const char* Name;
    std::string Input;
    Lines Screen;  // the first three rows
  } cases[] = {
      {"newline mode returns", "\x1b[20hab\ncd\x1b[20l\nef", {"ab", "cd", "  ef"}},
      {"the UK set in G0 and G1", "#\x1b(A#\x1b)0\x0eq\x0f\x1b(B#", {"#\u00a3\u2500#", "", ""}},
      {"counts beyond nine digits clamp", "\x1b[99999999999Cx\x1b[3;99999999999999Hy", {"         x", "", "         y"}},
      {"an empty region is the whole screen", "\x1b[2;3r\x1b[;r\x1b[6;1H\nz", {"", "", ""}},
      {"a zero region too", "\x1b[2;3r\x1b[0;0r\x1b[6;1H\nz\x1b[H\x1b[2M", {"", "", ""}},
  };
  for (const TCase& c : cases) {
    TSmall t;
    t.WriteStr(c.Input);
    EXPECT_EQ(Rows(t, 3), c.Screen) << c.Name;
  }
  TSmall t;
  t.WriteStr("\x1b[?25;7l");
  EXPECT_FALSE(t.CaretVisible());
  t.WriteStr("0123456789AB");
  EXPECT_EQ(Rows(t, 2), (Lines{"012345678B", ""}));  // auto-wrap went off too
  TFakePort port;
  t.SetComPort(&port);
  port.Open();
  t.WriteStr("\x1b[x\x1b[1x\x1b[2x");
  EXPECT_EQ(port.State->Output, "\x1b[2;1;1;112;112;1;0x\x1b[3;1;1;112;112;1;0x");
  port.Close();
  t.SetComPort(nullptr);
}

TEST(ExtendedTerminal, WhatTheXtermTypeAdds) {
  TSmall t;
  t.SetUtf8(true);
  t.WriteStr("\x1b[44m\xe2\x94\x80\x1b[4b\x1b[0m|");  // repeat; dialog draws its boxes so
  EXPECT_EQ(Rows(t, 1), (Lines{"\u2500\u2500\u2500\u2500\u2500|"}));
  t.WriteStr("\x1b[42m\x1b[K");  // erasing and scrolling take the background
  EXPECT_EQ(t.Cell(1, 1).Bg, 4);
  EXPECT_EQ(t.Cell(10, 1).Bg, 2);
  t.WriteStr("\x1b[6;1H\n");
  EXPECT_EQ(t.Cell(5, 6).Bg, 2);
  EXPECT_EQ(t.Cell(5, 5).Bg, -1);

  t.WriteStr("\x1b[0m\x1b[2J\x1b[H\xe4\xb8\xad\xe6\x96\x87!e\xcc\x81");  // two wide, one combined
  EXPECT_EQ(t.CellText(1, 1), QString::fromUtf8("\xe4\xb8\xad"));
  EXPECT_TRUE(t.Cell(2, 1).Flags & vfWideTail);
  EXPECT_EQ(t.CellText(3, 1), QString::fromUtf8("\xe6\x96\x87"));
  EXPECT_EQ(t.CellText(5, 1), "!");
  EXPECT_EQ(t.CellText(6, 1), QString::fromUtf8("e\xcc\x81"));
  EXPECT_EQ(t.CaretCell(), QPoint(7, 1));
  t.WriteStr("\x1b[1;2Hx");  // writing over a wide character's tail takes the whole character
  EXPECT_EQ(Rows(t, 1), (Lines{" x\u6587!e\u0301"}));
  t.WriteStr("\x1b[2;10H\xe4\xb8\xad");  // no room in the last column: it wraps
  EXPECT_EQ(t.CellText(1, 3), QString::fromUtf8("\xe4\xb8\xad"));

  // Overlong forms, surrogates and C1 controls in UTF-8 show the replacement.
  t.WriteStr("\x1b[4;1H\xc0\xaf|\xed\xa0\x80|\xc2\x9b|\xf4\x90\x80\x80|");
  EXPECT_EQ(Rows(t, 4)[3], "\ufffd|\ufffd|\ufffd|\ufffd|");
}

namespace {

struct TKeyedVT102 : TComTerminalVT102 {
  void Key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {}) {
    QKeyEvent event(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(this, &event);  // as the window delivers it, Tab handling included
  }
};

}  // namespace

TEST(ExtendedTerminalWindow, KeysReachTheHostAndCtrlTabLeaves) {
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* t = new TKeyedVT102;
  auto* next = new QPushButton("next");
  layout->addWidget(t);
  layout->addWidget(next);
  window.show();
  QApplication::setActiveWindow(&window);
  t->setFocus();
  TFakePort port;
  t->SetComPort(&port);
  port.Open();

  t->Key(Qt::Key_Tab, Qt::NoModifier, "\t");
  t->Key(Qt::Key_Backspace, Qt::NoModifier, "\b");
  t->Key(Qt::Key_F1);
  t->Key(Qt::Key_F5);
  t->Key(Qt::Key_F12);
  t->Key(Qt::Key_Home);
  t->Key(Qt::Key_End);
  EXPECT_EQ(port.State->Output, "\t\x7f\x1bOP\x1b[15~\x1b[24~\x1b[H\x1b[F");
  EXPECT_TRUE(t->hasFocus());
  port.State->Output.clear();
  t->BackspaceKey = bkControlH;
  t->WriteStr("\x1b[?1h\x1b[20h");  // application cursor keys, newline mode
  t->Key(Qt::Key_Backspace, Qt::NoModifier, "\b");
  t->Key(Qt::Key_Home);
  t->Key(Qt::Key_End);
  t->Key(Qt::Key_Return, Qt::NoModifier, "\r");
  t->PasteText("one\r\ntwo\n");
  EXPECT_EQ(port.State->Output, "\b\x1bOH\x1bOF\r\none\r\ntwo\r\n");

  // Copy and paste as in Linux terminals: the selection to the clipboard,
  // the clipboard to the host with one CR a line.
  port.State->Output.clear();
  t->WriteStr("\x1b[20l\x1b[2J\x1b[Hfirst line\r\nsecond");
  t->Select(QPoint(7, 1), QPoint(4, 2));
  t->Key(Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), "line\nsec");
  EXPECT_EQ(port.State->Output, "");
  QApplication::clipboard()->setText("a\r\nb");
  t->Key(Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(port.State->Output, "a\rb");

  t->Key(Qt::Key_Tab, Qt::ControlModifier);
  EXPECT_TRUE(next->hasFocus());
  port.Close();
  t->SetComPort(nullptr);
}

TEST(Scrollback, KeepsLinesTheSelectionFollowsAndFindSearches) {
  TSmall t;  // 10 x 6
  t.SetScrollbackLimit(4);
  for (int i = 1; i <= 8; ++i) t.WriteStr("line " + std::to_string(i) + (i < 8 ? "\r\n" : ""));
  // Rows 1-6 show lines 3-8; lines 1 and 2 went up, with their colours.
  EXPECT_EQ(t.HistoryLines(), 2);
  EXPECT_EQ(t.LineText(-1), "line 1");
  EXPECT_EQ(t.LineText(0), "line 2");
  EXPECT_EQ(t.LineText(1), "line 3");

  t.Select(QPoint(1, 0), QPoint(7, 1));
  EXPECT_EQ(t.SelectedText(), "line 2\nline 3");
  t.WriteStr("\x1b[41m\r\nline 9\r\nline 10");  // two more lines go up; the limit drops the oldest
  EXPECT_EQ(t.HistoryLines(), 4);
  EXPECT_EQ(t.LineText(t.FirstLine()), "line 1");
  EXPECT_EQ(t.SelectedText(), "line 2\nline 3");  // it went with its lines
  t.WriteStr("\r\nline 11");
  EXPECT_EQ(t.LineText(t.FirstLine()), "line 2");
  EXPECT_EQ(t.SelectedText(), "line 2\nline 3");
  t.WriteStr("\r\nline 12");  // line 2 is gone, and the selection with it
  EXPECT_FALSE(t.HasSelection());

  // Finding goes back from the end, on from the selection, round the ends.
  ASSERT_TRUE(t.Find("LINE 1", true, false));
  EXPECT_EQ(t.SelectedText(), "line 1");
  EXPECT_EQ(t.SelectionStart().y(), 6);  // "line 12" on the last row
  ASSERT_TRUE(t.Find("LINE 1", true, false));
  EXPECT_EQ(t.SelectionStart().y(), 5);  // "line 11"
  ASSERT_TRUE(t.Find("line 1", false, true));
  EXPECT_EQ(t.SelectionStart().y(), 6);
  EXPECT_FALSE(t.Find("LINE 1", false, true));
  EXPECT_TRUE(t.Find("line 3", false, false));
  EXPECT_EQ(t.SelectionStart(), QPoint(1, t.FirstLine()));
  EXPECT_LT(t.TopLeftCell().y(), 1);  // shown: the view went back to it

  // The alternate screen keeps no scrollback.
  const int kept = t.HistoryLines();
  const int first = t.FirstLine();
  t.WriteStr("\x1b[?1049h\x1b[6;1H\n\n\n\x1b[?1049l");
  EXPECT_EQ(t.HistoryLines(), kept);
  EXPECT_EQ(t.FirstLine(), first);
}

TEST(Scrollback, TheViewStaysWhileReadingBackAndAFittingGridKeepsItsText) {
  TComTerminalVT102 t;
  ShowFitting(t, 40, 10);
  ASSERT_GE(t.Columns(), 40);
  const int rows = t.Rows();
  for (int i = 1; i <= 30; ++i) t.WriteStr("\r\nline " + std::to_string(i));
  t.WriteStr("\r\n0123456789012345678901234567890123456789");
  EXPECT_EQ(t.TopLeftCell().y(), 1);  // at the bottom, following
  t.ScrollView(-5);
  const int top = t.TopLeftCell().y();
  const QString shown = t.LineText(top);
  t.WriteStr("\r\nline 31\r\nline 32");
  EXPECT_EQ(t.TopLeftCell().y(), top - 2);  // the same lines stay in view
  EXPECT_EQ(t.LineText(t.TopLeftCell().y()), shown);
  t.ScrollView(1000);
  t.WriteStr("\r\nline 33");
  EXPECT_EQ(t.TopLeftCell().y(), 1);

  // A shorter window: the rows above the caret go into the scrollback, the
  // screen keeps its last lines; narrower, the lines are cut, not wrapped.
  const int kept = t.HistoryLines();
  t.resize(20 * t.CellWidth() + 40, 5 * t.CellHeight() + 20);
  QCoreApplication::processEvents();
  EXPECT_LT(t.Rows(), rows);
  EXPECT_EQ(t.HistoryLines(), kept + rows - t.Rows());
  EXPECT_EQ(t.LineText(t.Rows()), "line 33");
  EXPECT_EQ(t.CaretCell(), QPoint(8, t.Rows()));
  EXPECT_EQ(t.LineText(t.Rows() - 3), QString("0123456789012345678901234567890123456789").left(t.Columns()));
}

// Find in the scrollback, the find bar closes (the window grows), then
// typing: the selection is still there to copy, and the view is back at
// the bottom of the screen.
TEST(Scrollback, AResizeKeepsTheSelectionAndTypingReturnsToTheBottom) {
  TComTerminalVT102 t;
  ShowFitting(t, 40, 10);
  for (int i = 1; i <= 30; ++i) t.WriteStr("\r\nline " + std::to_string(i));
  ASSERT_TRUE(t.Find("line 3", true, true));  // "line 30" on the screen
  ASSERT_TRUE(t.Find("line 3", true, true));  // "line 3", in the scrollback
  ASSERT_LT(t.TopLeftCell().y(), 1);
  t.resize(40 * t.CellWidth() + 40, 12 * t.CellHeight() + 20);  // taller
  QCoreApplication::processEvents();
  EXPECT_EQ(t.SelectedText(), "line 3");
  QTest::keyClick(&t, Qt::Key_A);
  EXPECT_EQ(t.TopLeftCell().y(), 1);
  EXPECT_EQ(t.verticalScrollBar()->value(), t.verticalScrollBar()->maximum());
  t.resize(30 * t.CellWidth() + 40, 8 * t.CellHeight() + 20);  // shorter and narrower
  QCoreApplication::processEvents();
  EXPECT_EQ(t.SelectedText(), "line 3");
}

// Kept compactly, every cell comes back as it went: characters of every
// size, combining marks, colours and flags, across many chunks, also once
// the oldest lines have gone.
TEST(Scrollback, CompactLinesComeBackAsTheyWereKept) {
  std::mt19937 random(7);
  const auto cell = [&] {
    TVtCell c;
    const char32_t kinds[] = {0, char32_t('a' + random() % 26), 0xE9, 0x4E2D, 0x1F600, char32_t(random() % 0x110000)};
    c.Ch = kinds[random() % 6];
    if (random() % 50 == 0) c.Mark = 0x301;
    if (random() % 4 == 0) {  // runs of colour now and then
      c.Fg = std::int16_t(random() % 257) - 1;
      c.Bg = std::int16_t(random() % 257) - 1;
      c.Flags = std::uint8_t(random() % 64);
    }
    return c;
  };
  TScrollback<TVtCell, TVtCellChars> kept;
  std::deque<std::vector<TVtCell>> want;
  for (int i = 0; i < 6000; ++i) {
    std::vector<TVtCell> line(random() % 257);
    for (TVtCell& c : line) c = cell();
    kept.Push(line.data(), line.size());
    want.push_back(line);
    if (i % 1000 == 999) {  // the oldest go, whole chunks with them
      kept.PopFront(700);
      want.erase(want.begin(), want.begin() + 700);
    }
  }
  ASSERT_EQ(kept.Size(), want.size());
  int wrong = 0;
  for (std::size_t i = 0; i < want.size(); ++i) {
    const std::vector<TVtCell>& got = kept.Line(i);
    bool same = got.size() == want[i].size() && kept.Length(i) == want[i].size();
    for (std::size_t c = 0; same && c < got.size(); ++c)
      same = got[c].Ch == want[i][c].Ch && TVtCellChars::Alike(got[c], want[i][c]);
    wrong += !same;
  }
  EXPECT_EQ(wrong, 0);
  kept.Clear();
  EXPECT_TRUE(kept.Empty());
  EXPECT_EQ(kept.Bytes(), 0u);
}

TEST(Scrollback, DoubleClickTakesAWordAndATripleClickTheLine) {
  TComTerminalVT102 t;
  t.show();
  t.WriteStr("ls -l /dev/ttyUSB0 done");
  const auto at = [&](int column) { return QPoint((column - 1) * t.CellWidth() + 2, t.CellHeight() / 2); };
  QTest::mouseDClick(t.viewport(), Qt::LeftButton, {}, at(10));
  EXPECT_EQ(t.SelectedText(), "/dev/ttyUSB0");  // a path is one word
  QTest::mousePress(t.viewport(), Qt::LeftButton, {}, at(3));
  QTest::mouseRelease(t.viewport(), Qt::LeftButton, {}, at(3));
  EXPECT_EQ(t.SelectedText(), "ls -l /dev/ttyUSB0 done");
  QTest::mouseDClick(t.viewport(), Qt::LeftButton, {}, at(19));
  EXPECT_EQ(t.SelectedText(), " ");  // a blank is itself
}

// Modified keys as xterm sends them, for readline, emacs and tmux: Alt as
// ESC before the key (on by default), cursor and function keys with the
// modifier number, Ctrl+Backspace the other of DEL and Ctrl+H, Shift+Tab.
TEST(ExtendedTerminalWindow, ModifiedKeysAsXtermSendsThem) {
  TKeyedVT102 t;
  TFakePort port;
  t.SetComPort(&port);
  port.Open();
  struct TCase {
    int key;
    Qt::KeyboardModifiers modifiers;
    QString text;
    std::string sent;
  };
  const Qt::KeyboardModifiers none = Qt::NoModifier, shift = Qt::ShiftModifier, alt = Qt::AltModifier,
                              ctrl = Qt::ControlModifier;
  for (const TCase& c : std::vector<TCase>{
           {Qt::Key_B, alt, "b", "\x1b" "b"},
           {Qt::Key_Period, alt, ".", "\x1b."},
           {Qt::Key_B, alt | shift, "B", "\x1b" "B"},
           {Qt::Key_Backspace, alt, "\b", "\x1b\x7f"},
           {Qt::Key_Backspace, ctrl, "", "\b"},
           {Qt::Key_Backspace, ctrl | alt, "", "\x1b\b"},
           {Qt::Key_Return, alt, "\r", "\x1b\r"},
           {Qt::Key_Left, ctrl, "", "\x1b[1;5D"},
           {Qt::Key_Right, ctrl, "", "\x1b[1;5C"},
           {Qt::Key_Up, shift, "", "\x1b[1;2A"},
           {Qt::Key_Down, ctrl | shift, "", "\x1b[1;6B"},
           {Qt::Key_Left, alt, "", "\x1b[1;3D"},
           {Qt::Key_Home, shift, "", "\x1b[1;2H"},
           {Qt::Key_End, ctrl, "", "\x1b[1;5F"},
           {Qt::Key_F1, shift, "", "\x1b[1;2P"},
           {Qt::Key_F4, ctrl, "", "\x1b[1;5S"},
           {Qt::Key_F5, shift, "", "\x1b[15;2~"},
           {Qt::Key_F12, ctrl | alt, "", "\x1b[24;7~"},
           {Qt::Key_Delete, ctrl, "", "\x1b[3;5~"},
           {Qt::Key_PageUp, ctrl, "", "\x1b[5;5~"},
           {Qt::Key_Insert, alt, "", "\x1b[2;3~"},
           {Qt::Key_Backtab, shift, "", "\x1b[Z"},
           {Qt::Key_Up, none, "", "\x1b[A"},
       }) {
    port.State->Output.clear();
    t.Key(c.key, c.modifiers, c.text);
    EXPECT_EQ(port.State->Output, c.sent) << "key " << std::hex << c.key << " modifiers " << int(c.modifiers);
  }
  // Alt as the system's: the key alone.
  t.MetaSendsEscape = false;
  port.State->Output.clear();
  t.Key(Qt::Key_B, alt, "b");
  EXPECT_EQ(port.State->Output, "b");
  // Alt shortcuts are the host's while Alt sends Escape.
  t.MetaSendsEscape = true;
  QKeyEvent shortcut(QEvent::ShortcutOverride, Qt::Key_T, Qt::AltModifier, "t");
  QApplication::sendEvent(&t, &shortcut);
  EXPECT_TRUE(shortcut.isAccepted());
  QKeyEvent close(QEvent::ShortcutOverride, Qt::Key_F4, Qt::AltModifier);
  close.ignore();
  QApplication::sendEvent(&t, &close);
  EXPECT_FALSE(close.isAccepted());
  port.Close();
  t.SetComPort(nullptr);
}
