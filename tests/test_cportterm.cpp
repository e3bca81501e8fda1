// The escape-code parsers and the terminal's screen and data path, headless.
#include "CPortEscVT102.h"
#include "CPortTerm.h"
#include "CPortTrmSet.h"
#include "FakeComDevice.h"

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QTimer>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <set>
#include <sstream>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>
#endif

TEST(TerminalWindow, AScreenReaderHasTheWholeGridFollowsTheCaretAndHearsNewOutput) {
  // The test listens in place of a screen reader.
  static std::vector<QString> heard;
  heard.clear();
  struct TListening {
    decltype(TCustomComTerminal::ReaderListens) Listens = TCustomComTerminal::ReaderListens;
    decltype(TCustomComTerminal::DeliverAnnouncement) Deliver = TCustomComTerminal::DeliverAnnouncement;
    ~TListening() {
      TCustomComTerminal::ReaderListens = Listens;
      TCustomComTerminal::DeliverAnnouncement = Deliver;
    }
  } listening;
  TCustomComTerminal::ReaderListens = [] { return true; };
  TCustomComTerminal::DeliverAnnouncement = [](QAccessibleEvent* event) {
    if (event->type() == QAccessible::TextInserted)
      heard.push_back(static_cast<QAccessibleTextInsertEvent*>(event)->textInserted());
  };
  {
    // A window that shows the 24 rows and 80 columns exactly, switched to
    // 132 columns: the scroll bar that comes takes room from the rows.
    TComTerminal t;
    t.SetScrollBars(ssBoth);
    t.show();
    t.resize(t.sizeHint());
    QCoreApplication::processEvents();
    t.WriteStr("\x1b[?3h");
    QCoreApplication::processEvents();
    for (int i = 1; i <= 2000; ++i) t.WriteStr("line " + std::to_string(i) + "\r\n");
    const QPoint visible(t.viewport()->width() / t.CellWidth(), t.viewport()->height() / t.CellHeight());
    ASSERT_LT(visible.y(), 24);
    EXPECT_EQ(t.TopLeftCell().y() + visible.y() - 1, 24);  // the caret's row shows, at the bottom
    QAccessibleTextInterface* text = QAccessible::queryAccessibleInterface(&t)->textInterface();
    const QString all = text->text(0, text->characterCount());
    EXPECT_TRUE(all.startsWith("line 1978\n")) << all.left(20).toStdString();
    EXPECT_TRUE(all.endsWith("line 2000\n")) << all.right(20).toStdString();
    EXPECT_EQ(text->cursorPosition(), all.size());

    // 2,000 lines make one announcement once the interval is over, of the
    // latest output, bounded.
    EXPECT_TRUE(heard.empty());
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (heard.empty() && std::chrono::steady_clock::now() < end) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_TRUE(heard[0].endsWith("line 1999\nline 2000\n"));
    EXPECT_LE(heard[0].size(), 8192);
  }
}

namespace {

using namespace std::string_literals;

struct TParsed {
  TEscapeCode Code = ecNotCompleted;
  TStrings Params;
  std::string Text;  // plain characters
};

// Runs bytes through a parser; the last code with its parameters.
TParsed Parse(TEscapeCodes& parser, const std::string& bytes) {
  TParsed out;
  for (char c : bytes) {
    switch (parser.ProcessChar(c)) {
      case erChar: out.Text += parser.LastChar; break;
      case erCode:
        out.Code = parser.LastCode;
        out.Params = parser.Parameters;
        parser.Parameters.clear();
        break;
      case erNothing: break;
    }
  }
  return out;
}

// The text of one grid row, empty cells as blanks, trailing ones cut.
std::string RowText(const TCustomComTerminal& t, int row) {
  std::string s;
  for (int c = 1; c <= t.Buffer().GetLineLength(row); ++c) {
    const char ch = t.Buffer().GetChar(c, row).Ch;
    s += ch ? ch : ' ';
  }
  return s;
}

// A terminal that lets tests type.
struct TTypingTerminal : TComTerminal {
  using TComTerminal::SendChar;
};

}  // namespace

TEST(EscapeParsers, EveryEncodedKindIsDetectedAgain) {
  TEscapeCodesVT100 vt100;
  TEscapeCodesVT52 vt52;
  const TStrings params{"5", "10"};
  for (int k = ecCursorUp; k < EscapeCodeCount; ++k) {
    const TEscapeCode code = TEscapeCode(k);
    for (TEscapeCodes* parser : {static_cast<TEscapeCodes*>(&vt100), static_cast<TEscapeCodes*>(&vt52)}) {
      const std::string bytes = parser->EscCodeToStr(code, &params);
      if (bytes.empty()) continue;
      const TParsed parsed = Parse(*parser, bytes);
      EXPECT_EQ(parsed.Code, code) << EscapeCodeName(code) << (parser == &vt52 ? " VT52" : " VT100");
      EXPECT_EQ(parsed.Text, "");
    }
  }
  // Parameters come back where the encoding carries them.
  EXPECT_EQ(Parse(vt100, vt100.EscCodeToStr(ecCursorMove, &params)).Params, params);
  EXPECT_EQ(Parse(vt52, vt52.EscCodeToStr(ecCursorMove, &params)).Params, params);
  EXPECT_EQ(Parse(vt100, vt100.EscCodeToStr(ecAttributes, &params)).Params, TStrings{});  // sent without them
}

// The list of kinds, the extended parser's decisions and its encoder agree:
// what it sends for a kind it reads back as that kind, each name is its own,
// and no final byte means two kinds.
TEST(EscapeParsers, TheExtendedParserReadsBackEveryKindItSends) {
  TEscapeCodesVT102 vt102;
  // Answers a terminal sends and never reads: only the VT100 parser knows them.
  const std::set<TEscapeCode> answers = {ecIdentResponse, ecReportDeviceOK, ecReportDeviceFailure};
  std::set<std::string> names;
  for (int k = ecCursorUp; k < ExtendedEscapeCodeCount; ++k) {
    const TEscapeCode code = TEscapeCode(k);
    EXPECT_TRUE(names.insert(EscapeCodeName(code)).second) << EscapeCodeName(code);
    for (const TStrings& params : {TStrings{}, TStrings{"5", "10"}}) {
      const std::string bytes = vt102.EscCodeToStr(code, &params);
      if (bytes.empty() || answers.count(code)) continue;
      const TParsed parsed = Parse(vt102, bytes);
      EXPECT_EQ(parsed.Code, code) << EscapeCodeName(code) << " from " << bytes.substr(1);
      EXPECT_EQ(parsed.Text, "");
    }
  }
  EXPECT_EQ(names.size(), std::size_t(ExtendedEscapeCodeCount - ecCursorUp));
  // Where the bytes carry parameters, they come back.
  const TStrings region{"3", "20"};
  EXPECT_EQ(Parse(vt102, vt102.EscCodeToStr(ecScrollRegion, &region)).Params, region);
  EXPECT_EQ(Parse(vt102, vt102.EscCodeToStr(ecCharsetG0, nullptr)).Params, TStrings{"B"});
  EXPECT_EQ(Parse(vt102, "\x1b[7e").Code, ecCursorDown);  // a second final byte of the list
  TEscapeCodesVT100 vt100;
  EXPECT_EQ(Parse(vt100, "\x1b[7e").Code, ecUnknown);  // which the VT100 parser does not take
}

TEST(EscapeParsers, TheDetectionRulesAndTheirQuirks) {
  TEscapeCodesVT100 p;
  std::vector<TEscapeResult> results;
  for (char c : "\x1b[10A"s) results.push_back(p.ProcessChar(c));
  EXPECT_EQ(results, (std::vector<TEscapeResult>{erNothing, erNothing, erNothing, erNothing, erCode}));
  EXPECT_EQ(p.Parameters, TStrings{"10"});
  p.Parameters.clear();

  TParsed r = Parse(p, "\x1b(x");  // unknown at once; what follows is text
  EXPECT_EQ(r.Code, ecUnknown);
  EXPECT_EQ(r.Text, "x");
  EXPECT_EQ(Parse(p, "\x1b[?1;2c").Code, ecIdentResponse);
  EXPECT_EQ(Parse(p, "\x1b[c").Code, ecIdentify);
  EXPECT_EQ(Parse(p, "\x1b[0c").Code, ecIdentify);
  r = Parse(p, "\x1b[;5H");  // a ";" that starts a parameter stays in it
  EXPECT_EQ(r.Params, TStrings{";5"});
  EXPECT_EQ(TEscapeCodes::GetParam(1, &r.Params), 1);
  EXPECT_EQ(Parse(p, "\x1b[1J").Code, ecUnknown);
  r = Parse(p, "\x1b[2K");
  EXPECT_EQ(r.Code, ecEraseLine);
  EXPECT_TRUE(r.Params.empty());  // used up by the decision
  r = Parse(p, "\x1b[1;7m");
  EXPECT_EQ(r.Params, (TStrings{"1", "7"}));

  TEscapeCodesVT52 v;
  r = Parse(v, "\x1bY\x25\x2a");
  EXPECT_EQ(r.Code, ecCursorMove);
  EXPECT_EQ(r.Params, (TStrings{"6", "11"}));
  EXPECT_EQ(v.EscCodeToStr(ecCursorMove, &r.Params), "\x1bY\x25\x2a");
  EXPECT_EQ(Parse(v, "\x1b/X").Code, ecUnknown);

  // A run of digits too long for a number (found by fuzzing: it overflowed)
  // counts as more than any grid holds, not as the default.
  r = Parse(p, "\x1b[99999999999999999999;7H");
  EXPECT_EQ(TEscapeCodes::GetParam(1, &r.Params), 999999999);
  EXPECT_EQ(TEscapeCodes::GetParam(2, &r.Params), 7);

  const TStrings two{"x", "0"};
  EXPECT_EQ(TEscapeCodes::GetParam(3, &two), 1);
  EXPECT_EQ(TEscapeCodes::GetParam(1, &two), 1);
  EXPECT_EQ(TEscapeCodes::GetParam(2, &two), 0);
  EXPECT_EQ(TEscapeCodes::GetParam(1, nullptr), 1);

  // A sequence whose final letter never comes ends at the bound as unknown.
  r = Parse(p, "\x1b[" + std::string(300, '1') + "A");
  EXPECT_EQ(r.Code, ecUnknown);
  EXPECT_EQ(p.SequenceText.size(), TEscapeCodes::MaxSequence);
  EXPECT_EQ(r.Text, std::string(300 - 255, '1') + "A");
}

TEST(EscapeParsers, RandomBytesNeverCrashOrGrowASequence) {
  std::mt19937 random(20261208);
  TEscapeCodesVT100 vt100;
  TEscapeCodesVT52 vt52;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::size_t longest = 0;
  while (std::chrono::steady_clock::now() < end) {
    for (int i = 0; i < 100000; ++i) {
      // Mostly sequence bytes, so that sequences get long.
      const int r = int(random() % 100);
      const char c = r < 3 ? '\x1b' : r < 10 ? '[' : r < 80 ? char('0' + r % 10) : char(random());
      for (TEscapeCodes* p : {static_cast<TEscapeCodes*>(&vt100), static_cast<TEscapeCodes*>(&vt52)}) {
        if (p->ProcessChar(c) == erCode) p->Parameters.clear();
        longest = std::max(longest, p->SequenceText.size());
      }
    }
  }
  EXPECT_LE(longest, TEscapeCodes::MaxSequence);
}

TEST(Terminal, TheFastPathShowsWhatByteByByteShows) {
  // The terminal runs its own parsers without a call per byte; a parser of
  // a derived class goes byte by byte. Random bytes in random chunks must
  // give both the same screen, caret and unhandled codes.
  struct TByteByByte : TEscapeCodesVT100 {};
  TComTerminal fast, slow;
  slow.OnGetEscapeCodes = [](TCustomComTerminal*, TEscapeCodes*& codes) { codes = new TByteByByte; };
  slow.SetEmulation(teNone);
  std::string fastLog, slowLog;
  fast.OnUnhandledCode = [&](TCustomComTerminal*, TEscapeCode c, const std::string& d) { fastLog += d + char(c); };
  slow.OnUnhandledCode = [&](TCustomComTerminal*, TEscapeCode c, const std::string& d) { slowLog += d + char(c); };
  std::mt19937 random(8);
  const char alphabet[] = "\x1b\x1b[[[;;;0123456789?ABCDHJKfhlmnsuRc#78Oq \r\n\t\b" "abcXYZ";
  std::string stream;
  for (int i = 0; i < 200000; ++i) stream += alphabet[random() % (sizeof alphabet - 1)];
  for (std::size_t i = 0; i < stream.size();) {
    const std::size_t n = 1 + random() % 300;
    fast.WriteStr(stream.substr(i, n));
    slow.WriteStr(stream.substr(i, n));
    i += n;
  }
  std::ostringstream a, b;
  fast.SaveToStream(a);
  slow.SaveToStream(b);
  EXPECT_EQ(a.str(), b.str());
  EXPECT_EQ(fast.CaretCell(), slow.CaretCell());
  EXPECT_EQ(fast.Columns(), slow.Columns());
  EXPECT_TRUE(fastLog == slowLog);
  EXPECT_GT(fastLog.size(), 1000u);
}

TEST(Terminal, GridAndCaretRules) {
  TComTerminal t;
  t.WriteStr("AB\r\n");
  EXPECT_EQ(RowText(t, 1), "AB");
  EXPECT_EQ(t.CaretCell(), QPoint(1, 2));

  t.ClearScreen();
  t.WriteStr(std::string(80, 'a') + "Z");
  EXPECT_EQ(t.Buffer().GetChar(80, 1).Ch, 'Z');  // without wrapping: the last column is overwritten
  t.ClearScreen();
  t.WrapLines = true;
  t.WriteStr(std::string(80, 'a') + "Z");
  EXPECT_EQ(t.Buffer().GetChar(1, 2).Ch, 'Z');
  t.WrapLines = false;

  // A line feed on the last row scrolls and keeps the caret there.
  t.ClearScreen();
  t.WriteStr("top\x1b[24;1Hbottom\n");
  EXPECT_EQ(RowText(t, 23), "bottom");
  EXPECT_EQ(RowText(t, 1), "");
  EXPECT_EQ(t.CaretCell(), QPoint(7, 24));
  t.WriteStr("\x1bM");  // not a VT100 code here: unknown, nothing moves
  EXPECT_EQ(t.CaretCell(), QPoint(7, 24));

  // Tabs: column 1 to 9; at the last column nothing.
  t.WriteStr("\r\t");
  EXPECT_EQ(t.CaretCell().x(), 9);
  t.WriteStr("\x1b[80G\x1b[1;80H\t");
  EXPECT_EQ(t.CaretCell(), QPoint(80, 1));

  t.WriteStr("\x1b[5;10H");
  EXPECT_EQ(t.CaretCell(), QPoint(10, 5));
  t.WriteStr("\x1b[99;99H");
  EXPECT_EQ(t.CaretCell(), QPoint(80, 24));

  // Bold shows in AltColor, reverse swaps, [m resets.
  t.ClearScreen();
  t.WriteStr("\x1b[1mx\x1b[mn\x1b[7mr");
  EXPECT_EQ(t.Buffer().GetChar(1, 1).FrontColor, t.AltColor);
  EXPECT_EQ(t.Buffer().GetChar(2, 1).FrontColor, t.FontColor());
  EXPECT_EQ(t.Buffer().GetChar(3, 1).FrontColor, t.Color());
  EXPECT_EQ(t.Buffer().GetChar(3, 1).BackColor, t.FontColor());

  t.WriteStr("\x1b[?3h");
  EXPECT_EQ(t.Columns(), 132);
  EXPECT_EQ(t.Buffer().GetLastLine(), 0);

  // Erasing: to the end of the line and of the screen.
  t.WriteStr("\x1b[1;1Habcdef\x1b[1;3H\x1b[K\x1b[2;1Hxyz\x1b[2;2H\x1b[J");
  EXPECT_EQ(RowText(t, 1), "ab");
  EXPECT_EQ(RowText(t, 2), "x");

  TComTerminal vt52;
  vt52.SetEmulation(teVT52);
  vt52.WriteStr("\x1bY\x25\x2a");
  EXPECT_EQ(vt52.CaretCell(), QPoint(11, 6));
}

TEST(Terminal, ReceivedChunksSavedScreensAndUnhandledCodes) {
  TComTerminal t;
  std::vector<std::string> unhandled;
  t.OnUnhandledCode = [&](TCustomComTerminal*, TEscapeCode code, const std::string& data) {
    unhandled.push_back(std::string(EscapeCodeName(code)) + " " + data);
  };
  // A chunk of any size is shown (a device hands over kilobytes at once).
  const std::string chunk(1025, 'k');
  t.RxBuf(nullptr, reinterpret_cast<const std::uint8_t*>(chunk.data()), int(chunk.size()));
  EXPECT_EQ(t.Buffer().GetChar(1, 1).Ch, 'k');

  t.ClearScreen();
  t.AppendLF = true;
  t.Force7Bit = true;
  const std::string in = "a\r\xC2";  // bit 7 cleared: B
  t.RxBuf(nullptr, reinterpret_cast<const std::uint8_t*>(in.data()), int(in.size()));
  EXPECT_EQ(RowText(t, 1), "a");
  EXPECT_EQ(RowText(t, 2), "B");

  t.WriteStr("\x1b[1;1Hab\x1b[3;1Hc\x1b[q\x1bOB");
  std::ostringstream saved;
  t.SaveToStream(saved);
  EXPECT_EQ(saved.str(), "ab\r\nB\r\nc");
  EXPECT_EQ(unhandled, (std::vector<std::string>{"ecUnknown [q", "ecAppCursorDown OB"}));

  std::istringstream loaded("\x1b[2J!");  // shown without the parser
  t.LoadFromStream(loaded);
  EXPECT_EQ(t.Buffer().GetChar(2, 3).Ch, '[');
}

TEST(Terminal, TypingAndAnswersGoToThePort) {
  TFakePort port;
  TTypingTerminal t;
  t.SetComPort(&port);
  port.Open();
  t.LocalEcho = true;
  t.SendLF = true;
  std::string echoed;
  t.OnChar = [&](TCustomComTerminal*, char c) { echoed += c; };
  t.SendChar('\r');
  EXPECT_EQ(echoed, "\r\n");  // once each
  EXPECT_EQ(port.State->Output, "\r\n");
  EXPECT_EQ(t.CaretCell(), QPoint(1, 2));

  port.State->Output.clear();
  t.WriteStr("\x1b[c\x1b[5n");  // identify and status: answered without echo
  EXPECT_EQ(port.State->Output, "\x1b[?1;2c\x1b[0n");
  port.Close();
  t.SetComPort(nullptr);
}

#ifndef _WIN32
TEST(Terminal, AnswersACursorPositionQueryOnAPseudoTerminal) {
  SetMainThread();
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  TComPort port;
  port.SetPort(name);
  TComTerminal t;
  t.SetComPort(&port);
  port.Open();
  ASSERT_EQ(write(master, "\x1b[5;7H\x1b[6n", 10), 10);
  std::string answer;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (answer.find('R') == std::string::npos && std::chrono::steady_clock::now() < end) {
    QTest::qWait(5);
    char buf[64];
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 0) == 1) {
      const ssize_t n = read(master, buf, sizeof buf);
      if (n > 0) answer.append(buf, std::size_t(n));
    }
  }
  EXPECT_EQ(answer, "\x1b[5;7R");
  port.Close();
  t.SetComPort(nullptr);
  close(master);
  close(slave);
}
#endif

namespace {

// A terminal that shows its window side to the tests.
struct TWindowTerminal : TComTerminal {
  using TCustomComTerminal::InitCaret;
  using TCustomComTerminal::keyPressEvent;
  std::vector<QPoint> Drawn;  // window cells DrawChar was asked for
  void DrawChar(QPainter& painter, int column, int row, const TComTermChar& cell) override {
    Drawn.push_back(QPoint(column, row));
    TComTerminal::DrawChar(painter, column, row, cell);
  }
  void Key(int key, const QString& text = {}) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, text);
    keyPressEvent(&event);
  }
};

}  // namespace

TEST(TerminalWindow, PaintsOnlyTheCellsOfTheClipAndPlacesTheCaret) {
  TWindowTerminal t;
  t.WriteStr("abcdef\r\nghijkl\r\nmnopqr");
  // The clip covers columns 2 to 3 of rows 2 to 3, cut mid-cell.
  const QRect clip = t.CellRect(2, 2, 3, 3).adjusted(2, 2, -2, -2);
  QImage image(t.viewport()->size(), QImage::Format_ARGB32);
  t.Drawn.clear();
  t.viewport()->render(&image, clip.topLeft(), QRegion(clip));
  std::sort(t.Drawn.begin(), t.Drawn.end(), [](QPoint a, QPoint b) { return std::pair(a.y(), a.x()) < std::pair(b.y(), b.x()); });
  EXPECT_EQ(t.Drawn, (std::vector<QPoint>{{2, 2}, {3, 2}, {2, 3}, {3, 3}}));
  EXPECT_EQ(t.CellRect(2, 3, 2, 3), QRect(t.CellWidth(), 2 * t.CellHeight(), t.CellWidth(), t.CellHeight()));

  // The caret: an underline is an eighth of a cell high at the cell's bottom.
  t.SetCaret(tcUnderline);
  t.InitCaret();
  t.MoveCaret(4, 2);
  EXPECT_EQ(t.CaretPixelHeight(), t.CellHeight() / 8);
  EXPECT_EQ(t.CaretRect(), QRect(3 * t.CellWidth(), 2 * t.CellHeight() - t.CellHeight() / 8, t.CellWidth(),
                                 t.CellHeight() / 8));
  t.SetCaret(tcBlock);
  t.InitCaret();
  EXPECT_EQ(t.CaretRect().height(), t.CellHeight());
  t.SetCaret(tcNone);
  t.InitCaret();
  EXPECT_FALSE(t.HasCaret());
}

TEST(TerminalWindow, SizeScrollBarsAndFonts) {
  TComTerminal t;
  t.SetAutoSize(true);
  const int border = 2 * t.frameWidth();
  EXPECT_EQ(t.size(), QSize(80 * t.CellWidth() + border, 24 * t.CellHeight() + border));

  // 132 columns in a window 80 wide: the bar runs 0 to 52 and pages by 80.
  t.SetAutoSize(false);
  t.SetScrollBars(ssHorizontal);
  t.SetColumns(132);
  t.show();  // a hidden window gets its new size only when shown
  t.resize(80 * t.CellWidth() + border, 30 * t.CellHeight());
  QCoreApplication::processEvents();
  EXPECT_EQ(t.horizontalScrollBar()->maximum(), 52);
  EXPECT_EQ(t.horizontalScrollBar()->pageStep(), 80);
  t.horizontalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
  EXPECT_EQ(t.TopLeftCell().x(), 53);

  // A proportional font falls back to the default face at the chosen size,
  // without an underline.
  QFont proportional("DejaVu Sans", 14);
  proportional.setUnderline(true);
  t.SetFont(proportional);
  EXPECT_EQ(t.Font().family(), TCustomComTerminal::DefaultFont().family());
  EXPECT_EQ(t.Font().pointSize(), 14);
  EXPECT_FALSE(t.Font().underline());
  // Every cell is as wide as every other: the default face, and what is
  // shown in it, is fixed-pitch on every system (Windows names a
  // proportional face its fixed font where few are installed).
  EXPECT_TRUE(QFontInfo(TCustomComTerminal::DefaultFont()).fixedPitch()) << TCustomComTerminal::DefaultFont().family().toStdString();
  EXPECT_TRUE(QFontInfo(t.Font()).fixedPitch()) << t.Font().family().toStdString();
  const QFontMetrics metrics(t.Font());
  EXPECT_EQ(metrics.horizontalAdvance("iiii"), metrics.horizontalAdvance("WWWW"));
}

TEST(TerminalWindow, ArrowKeysFollowTheModes) {
  TFakePort port;
  TWindowTerminal t;
  t.SetComPort(&port);
  port.Open();
  t.Key(Qt::Key_Up);
  EXPECT_EQ(port.State->Output, "\x1b[A");  // akTerminal: sent
  port.State->Output.clear();
  t.ArrowKeys = akWindows;
  t.MoveCaret(5, 5);
  t.Key(Qt::Key_Up);
  EXPECT_EQ(port.State->Output, "");  // moved locally, nothing sent
  EXPECT_EQ(t.CaretCell(), QPoint(5, 4));
  t.WriteStr("\x1b[?1h");  // the host's application cursor mode
  t.Key(Qt::Key_Up);
  t.Key(Qt::Key_Home);
  EXPECT_EQ(port.State->Output, "\x1bOA");
  port.State->Output.clear();
  t.Key(Qt::Key_A, "a");
  t.Key(Qt::Key_Return, "\r");
  EXPECT_EQ(port.State->Output, "a\r");
  port.Close();
  t.SetComPort(nullptr);
}

TEST(TerminalWindow, AScreenReaderReadsTheScreenLineByLine) {
  TComTerminal t;
  t.resize(400, 250);
  t.WriteStr("first line\r\nsecond\r\n  third");
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(&t);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->role(), QAccessible::Terminal);
  QAccessibleTextInterface* text = a->textInterface();
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(text->text(0, text->characterCount()).startsWith("first line\nsecond\n  third"));
  int start = 0, end = 0;
  EXPECT_EQ(text->textAtOffset(12, QAccessible::LineBoundary, &start, &end), "second\n");
  EXPECT_EQ(text->cursorPosition(), int(std::string("first line\nsecond\n  third").size()));
}

namespace {

// Answers the next terminal setup dialog with answer(dialog), then OK or
// Cancel.
void WhenSetupOpens(std::function<void(TComTrmSetForm&)> answer, bool ok) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, answer, ok] {
    if (auto* dialog = dynamic_cast<TComTrmSetForm*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      answer(*dialog);
      (ok ? dialog->Button1 : dialog->Button2)->click();
    }
  });
  timer->start(5);
}

}  // namespace

TEST(TerminalSetupDialog, ShowsTheTerminalAndWritesBackOnOK) {
  TComTerminal t;
  t.LocalEcho = true;
  t.SetEmulation(teVT52);
  t.WriteStr("keep me");
  WhenSetupOpens(
      [](TComTrmSetForm& d) {
        EXPECT_TRUE(d.CheckBox1->isChecked());
        EXPECT_FALSE(d.CheckBox2->isChecked());
        EXPECT_EQ(d.ComboBox1->currentText(), "Block");
        EXPECT_EQ(d.ComboBox2->currentText(), "VT52");
        EXPECT_EQ(d.Edit1->text(), "80");
        EXPECT_EQ(d.Edit2->text(), "24");
        EXPECT_EQ(d.CheckBox1->text(), "Echo typed characters locally");
        // Every caption fits in its control.
        for (QCheckBox* box : {d.CheckBox1, d.CheckBox2, d.CheckBox3, d.CheckBox4, d.CheckBox5})
          EXPECT_LE(box->sizeHint().width(), box->width()) << box->text().toStdString();
      },
      true);
  t.ShowSetupDialog();
  EXPECT_EQ(t.Buffer().GetLineLength(1), 7);  // OK without changes keeps the screen

  WhenSetupOpens(
      [](TComTrmSetForm& d) {
        d.CheckBox3->setChecked(true);
        d.ComboBox1->setCurrentIndex(1);
        d.ComboBox2->setCurrentIndex(0);
        d.Edit1->setText("100");
        d.Edit2->setText("30");
        d.ComboBox3->setCurrentIndex(1);
      },
      true);
  t.ShowSetupDialog();
  EXPECT_EQ(t.Columns(), 100);
  EXPECT_EQ(t.Rows(), 30);
  EXPECT_EQ(t.Buffer().GetLastLine(), 0);
  EXPECT_TRUE(t.WrapLines);
  EXPECT_EQ(t.Caret(), tcUnderline);
  EXPECT_EQ(t.Emulation(), teVT100orANSI);
  EXPECT_EQ(t.ArrowKeys, akWindows);

  for (auto [typed, columns] : {std::pair{"abc", 80}, {"1000", 256}, {"1", 2}}) {
    WhenSetupOpens([typed = QString(typed)](TComTrmSetForm& d) { d.Edit1->setText(typed); }, true);
    t.ShowSetupDialog();
    EXPECT_EQ(t.Columns(), columns) << typed;
  }

  WhenSetupOpens(
      [](TComTrmSetForm& d) {
        d.CheckBox1->setChecked(false);
        d.Edit2->setText("50");
      },
      false);
  t.ShowSetupDialog();
  EXPECT_TRUE(t.LocalEcho);
  EXPECT_EQ(t.Rows(), 30);
}
