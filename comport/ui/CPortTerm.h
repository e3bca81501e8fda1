// The terminal: a control that shows what a port receives on a character
// grid, acts on VT52 and VT100/ANSI control sequences, sends what the user
// types and answers the host's queries.
#pragma once

#include "CPort.h"
#include "CPortEsc.h"
#include "CPortTermScrollback.h"

#include <QAbstractScrollArea>
#include <QFont>
#include <QPoint>
#include <QRgb>
#include <QTimer>

#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <type_traits>
#include <vector>

// One cell of the grid; Ch 0 marks an empty cell.
struct TComTermChar {
  char Ch = 0;
  QRgb FrontColor = 0;
  QRgb BackColor = 0;
  bool Underline = false;
};

// Where a cell's character is, for the scrollback.
struct TComTermCharChars {
  static char32_t Get(const TComTermChar& cell) { return std::uint8_t(cell.Ch); }
  static void Set(TComTermChar& cell, char32_t ch) { cell.Ch = char(ch); }
  static bool Alike(const TComTermChar& a, const TComTermChar& b) {
    return a.FrontColor == b.FrontColor && a.BackColor == b.BackColor && a.Underline == b.Underline;
  }
};

class TCustomComTerminal;
class QAccessibleEvent;

// The character grid of a terminal, Columns x Rows cells, with one tab stop
// per column. Cells and rows count from 1. Rows are kept in a ring, so that
// scrolling moves one row, not the whole grid.
class TComTermBuffer {
public:
  explicit TComTermBuffer(TCustomComTerminal* terminal) : Terminal(terminal) {}

  TCustomComTerminal* const Terminal;

  void Init();
  void SetChar(int column, int row, const TComTermChar& cell);
  TComTermChar GetChar(int column, int row) const;
  // Rows move up by one; the last row is emptied.
  void ScrollDown();
  // Rows move down by one; the first row is emptied.
  void ScrollUp();
  // Empties the cells from column to the end of the row.
  void EraseLine(int column, int row);
  // Empties the cells from (column, row) to the end of the grid.
  void EraseScreen(int column, int row);
  bool GetTab(int column) const;
  void SetTab(int column, bool on);
  // The first column at or after column with a tab stop; 0 when none.
  int NextTab(int column) const;
  void ClearAllTabs();
  // A new size keeping the cells: rows from drop + 1 on become rows 1 on,
  // columns are cut or widened; tab stops stay, new columns get the default.
  void Relay(int columns, int rows, int drop);
  // The column of the last non-empty cell of the row; 0 for an empty row.
  int GetLineLength(int row) const;
  // The last row with something in it; 0 for an empty grid.
  int GetLastLine() const;

  int Columns() const { return FColumns; }
  int Rows() const { return FRows; }
  // The cells of one row, columns 1 to Columns.
  TComTermChar* Row(int row) { return &FCells[Index(1, row)]; }
  const TComTermChar* Row(int row) const { return &FCells[Index(1, row)]; }

private:
  std::size_t Index(int column, int row) const {
    int physical = FTop + row - 1;
    if (physical >= FRows) physical -= FRows;
    return std::size_t(physical) * std::size_t(FColumns) + std::size_t(column - 1);
  }
  void EmptyRow(int row);
  int FColumns = 0;
  int FRows = 0;
  int FTop = 0;  // the ring index of row 1
  std::vector<TComTermChar> FCells;
  std::vector<bool> FTabStops;
};

enum TAdvanceCaret { acChar, acReturn, acLineFeed, acReverseLineFeed, acTab, acBackspace };
enum TTermEmulation { teVT100orANSI, teVT52, teNone };
enum TTermCaret { tcBlock, tcUnderline, tcNone };
enum TArrowKeys { akTerminal, akWindows };
enum TTermBorderStyle { bsNone, bsSingle };
enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

struct TTermAttr {
  QRgb FrontColor = 0;
  QRgb BackColor = 0;
  bool Reverse = false;
  bool Bold = false;
  bool Underline = false;
};

using TChScreenEvent = std::function<void(TCustomComTerminal* Sender, char Ch)>;
using TEscapeEvent = std::function<void(TCustomComTerminal* Sender, TEscapeCodes*& EscapeCodes)>;
using TStrRecvEvent = std::function<void(TCustomComTerminal* Sender, std::string& Str)>;
using TUnhandledEvent = std::function<void(TCustomComTerminal* Sender, TEscapeCode Code, const std::string& Data)>;

class TCustomComTerminal : public QAbstractScrollArea, private TComFreeNotify {
public:
  explicit TCustomComTerminal(QWidget* parent = nullptr);
  ~TCustomComTerminal() override;

  // The port: data arrives through a link.
  TCustomComPort* ComPort() const { return FComPort; }
  void SetComPort(TCustomComPort* port);
  // A port is bound and open; setting it opens or closes the bound port.
  bool Connected() const;
  void SetConnected(bool value);
  int Columns() const { return FColumns; }
  void SetColumns(int value);  // kept within 2 to 256
  int Rows() const { return FRows; }
  void SetRows(int value);  // kept within 2 to 100
  TTermEmulation Emulation() const { return FEmulation; }
  void SetEmulation(TTermEmulation value);
  bool LocalEcho = false;
  bool SendLF = false;
  bool AppendLF = false;
  bool Force7Bit = false;
  // Whether what the port receives is shown. Off while a program on the
  // port sorts its own bytes from the far end's text (the end of a file
  // transfer) and hands the text to RxBuf; the keys still go to the port.
  bool ShowReceived = true;
  bool WrapLines = false;
  TArrowKeys ArrowKeys = akTerminal;
  QRgb AltColor = qRgb(166, 166, 166);

  TChScreenEvent OnChar;
  TEscapeEvent OnGetEscapeCodes;
  TStrRecvEvent OnStrRecieved;
  TUnhandledEvent OnUnhandledCode;
  // A paste about to go: true when the owner has taken it (asked first,
  // sends it paced), false to let it go at once.
  std::function<bool(const QString& text)> OnPaste;

  // The window side.
  TTermCaret Caret() const { return FCaret; }
  void SetCaret(TTermCaret value);
  TTermBorderStyle BorderStyle() const { return FBorderStyle; }
  void SetBorderStyle(TTermBorderStyle value);
  TScrollStyle ScrollBars() const { return FScrollBars; }
  void SetScrollBars(TScrollStyle value);
  bool SmoothScroll = false;
  bool WantTab = false;
  QRgb Color() const { return FColor; }
  void SetColor(QRgb value);
  const QFont& Font() const { return FFont; }
  QRgb FontColor() const { return FFontColor; }
  // A font that is not of fixed pitch falls back to the default face at
  // the size chosen; an underline is taken off.
  void SetFont(const QFont& font, QRgb color);
  void SetFont(const QFont& font) { SetFont(font, FFontColor); }
  bool AutoSize() const { return FAutoSize; }
  void SetAutoSize(bool value);
  // The size that shows the whole grid.
  QSize sizeHint() const override;

  void ClearScreen();
  void MoveCaret(int column, int row);
  void Write(const void* Buffer, int Count);
  void WriteStr(const std::string& Str);
  void WriteEscCode(TEscapeCode Code, const TStrings& Params);
  void SaveToStream(std::ostream& Stream) const;
  void LoadFromStream(std::istream& Stream);
  void SelectFont();
  void ShowSetupDialog();
  // Sends text as if typed, character by character (OnPaste may take it),
  // between the bracketed paste's marks where the host asked for them.
  void PasteText(const QString& text);
  // The characters typing text gives SendChar: a line end is Return.
  virtual std::string TextChars(const QString& text) const;
  // Sends a character as typed: shown when echoing locally, LF after CR
  // when SendLF asks for it.
  void SendChar(char Ch);
  // The marks a paste goes between; none unless the host asked for them.
  virtual std::string PasteStart() const { return {}; }
  virtual std::string PasteEnd() const { return {}; }
  // The text the mouse selected: from one cell boundary to another, in
  // cells (column from 1, line as below), as a stream of lines. It moves
  // with its lines as they scroll and goes when they do.
  bool HasSelection() const { return FSelStart != FSelEnd; }
  QString SelectedText() const;
  void Select(QPoint from, QPoint to);
  void ClearSelection();
  QPoint SelectionStart() const { return FSelStart; }
  QPoint SelectionEnd() const { return FSelEnd; }
  // Puts the selected text on the clipboard and, where the system has one,
  // the primary selection; false when nothing is selected.
  bool CopySelection();
  // The next (previous) place the text shows, after (before) the selection
  // or else from the last line (first line): selected and shown. False
  // when it shows nowhere.
  bool Find(const QString& text, bool backward, bool caseSensitive);

  // Scrollback: rows that leave the top of the screen are kept, the newest
  // as line 0, older ones as lines -1, -2 ..., above the screen's rows 1 to
  // Rows; the oldest go beyond the limit (0, the default: none are kept).
  int ScrollbackLimit() const { return FScrollbackLimit; }
  void SetScrollbackLimit(int lines);  // kept within 0 to 1,000,000
  int HistoryLines() const { return int(FHistory.Size()); }
  void ClearScrollback();
  int FirstLine() const { return 1 - HistoryLines(); }
  // The column of a line's last non-empty cell (0: an empty line), and its
  // text up to there.
  int LineLength(int line) const;
  virtual QString LineText(int line) const;
  // The view over scrollback and screen: back (negative) or forward by so
  // many lines; whether it shows lines above the caret's without it.
  void ScrollView(int lines);
  bool ReadingBack() const;
  // A grid that follows the window: resizing the window changes the rows
  // and columns and keeps what the screen shows (the rows above the caret
  // go into the scrollback when it gets too short).
  bool FitToWindow() const { return FFitToWindow; }
  void SetFitToWindow(bool value);
  void ResizeGrid(int columns, int rows);
  // The text one grid cell shows (column, row from 1).
  virtual QString CellText(int column, int row) const;

  // The state the screen model keeps.
  QPoint CaretCell() const { return FCaretCell; }
  QPoint TopLeftCell() const { return FTopLeftCell; }
  const TTermAttr& CurrentAttr() const { return FCurrentAttr; }
  bool AppCursorKeys() const { return FAppCursorKeys; }
  const TComTermBuffer& Buffer() const { return FBuffer; }
  TEscapeCodes* EscapeCodes() const { return FEscapeCodes.get(); }
  int CellWidth() const { return FCellWidth; }
  int CellHeight() const { return FCellHeight; }
  int CaretPixelHeight() const { return FCaretPixelHeight; }
  bool HasCaret() const { return FHasCaret; }
  // Where the window caret is drawn, in pixels of the viewport.
  QRect CaretRect() const;

  // Form loading: the grid and the parser come when it ends.
  void BeginLoading() { FLoading = true; }
  void Loaded();

  // The default font: the system's fixed-pitch font at the size nearest
  // to the classic 9 points, white.
  static QFont DefaultFont();

  // The receive path: the link's receive handler.
  void RxBuf(TCustomComPort* Sender, const std::uint8_t* Buffer, int Count);

  // Pixel rectangle of window cells (column, row from 1).
  QRect CellRect(int left, int top, int right, int bottom) const;
  // Scrolls the least that shows the caret's cell in the window.
  void ShowCaretCell();
  // Back from the scrollback to the whole screen, then the caret's cell.
  void ReturnToCaret();

  // What a screen reader hears of new output: the text received since the
  // last announcement, gathered while accessibility is active and
  // announced at most every ReaderInterval milliseconds.
  static constexpr int ReaderInterval = 250;
  QString UnannouncedText() const { return ReaderText(FHeard); }
  // Whether a screen reader listens, and where announcements go: Qt's
  // accessibility, unless a test listens instead.
  static bool (*ReaderListens)();
  static void (*DeliverAnnouncement)(QAccessibleEvent* event);

protected:
  // The screen model; descendants may call or override these.
  virtual void PutChar(char Ch);
  // Printable ASCII (0x20 to 0x7E) received outside any sequence, as PutChar
  // of each byte would show it; descendants may do it faster.
  virtual void PutText(const char* Text, std::size_t Count);
  virtual bool PutEscapeCode(TEscapeCode Code, const TStrings& Params);
  void AdvanceCaret(TAdvanceCaret Kind);
  virtual void SetAttributes(const TStrings& Params);
  virtual void SetMode(const TStrings& Params, bool OnOff);
  virtual void StringReceived(std::string Str);
  void SendCode(TEscapeCode Code, const TStrings* Params);
  void SendCodeNoEcho(TEscapeCode Code, const TStrings* Params);
  void PerformTest(char Ch);
  void SaveCaretPos();
  void RestoreCaretPos();
  void SaveAttr();
  void RestoreAttr();
  TComTermChar GetCharAttr() const;
  void SetTermAttrColors(QRgb FrontColor, QRgb BackColor, bool Bold, bool Reverse);
  virtual void CreateEscapeCodes();
  virtual void DoChar(char Ch);
  virtual void DoGetEscapeCodes(TEscapeCodes*& EscapeCodes);
  virtual void DoStrRecieved(std::string& Str);
  virtual void DoUnhandledCode(TEscapeCode Code, const std::string& Data);
  // Whether received bytes are UTF-8 text (else 8-bit characters).
  virtual bool TextIsUtf8() const { return false; }
  // Scrollback of descendants that keep more per cell: row of the screen
  // goes into the scrollback (called before it leaves), the oldest count
  // lines go, and whether rows leaving now are kept at all.
  virtual void KeepRow(int row);
  // Keeps a line of cells as the scrollback's newest (none: a terminal that
  // keeps its lines' cells itself).
  void KeepCells(const TComTermChar* cells, std::size_t count) { FHistory.Push(cells, count); }
  // How many cells the scrollback's line holds (0 is the oldest).
  virtual int HistoryLineLength(std::size_t index) const { return int(FHistory.Length(index)); }
  virtual void ForgetHistory(int count);
  virtual bool HistoryWanted() const { return true; }
  // The grid takes a new size keeping its cells: rows from drop + 1 on
  // become rows 1 on, the columns are cut or widened.
  virtual void RelayGrid(int columns, int rows, int drop);

  // The grid and the caret, open to descendants.
  TComTermBuffer FBuffer{this};
  QPoint FCaretCell{1, 1};
  TTermAttr FCurrentAttr;
  std::unique_ptr<TEscapeCodes> FEscapeCodes;

  // Marks grid cells for repainting. Repaints are gathered while a batch
  // runs (a received chunk, say) and done once at its end.
  void InvalidateCells(int left, int top, int right, int bottom);
  void InvalidateGrid();
  // Hooks for descendants that keep more per cell than the grid does: the
  // grid scrolled by one row (up: ScrollDown, its first row left), and the
  // grid was made anew (all cells empty).
  virtual void GridScrolled(bool up);
  virtual void GridInitialized() {}
  // Whether the window caret shows at all (a host may hide it).
  virtual bool CaretWanted() const { return true; }
  class TPaintBatch {
  public:
    explicit TPaintBatch(TCustomComTerminal* terminal);
    ~TPaintBatch();

  private:
    TCustomComTerminal* Terminal;
  };
  // Hides the caret while the screen changes, also when a handler raises.
  class TCaretHidden {
  public:
    explicit TCaretHidden(TCustomComTerminal* terminal) : Terminal(terminal) { Terminal->HideCaret(); }
    ~TCaretHidden() { Terminal->ShowCaret(); }

  private:
    TCustomComTerminal* Terminal;
  };

  // The window side (events of the control).
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  void scrollContentsBy(int dx, int dy) override;
  bool viewportEvent(QEvent* event) override;

  // Painting, the caret and the scroll bars.
  virtual void PaintTerminal(QPainter& painter, QRect cells);
  virtual void DrawChar(QPainter& painter, int column, int row, const TComTermChar& cell);
  void InvalidatePortion(QRect cells);
  void CreateTerminalCaret();
  void InitCaret();
  void DestroyCaret();
  void HideCaret();
  void ShowCaret();
  void UpdateScrollRange();
  void UpdateScrollPos();
  bool CalculateMetrics();
  void AdjustSize();

  // Keys that move the view instead of going to the host (Shift+PgUp ...).
  bool ViewKey(QKeyEvent* event);

  // Feeds Str from index on through codes until the end, or until a handler
  // replaced the parser; returns where it stopped. Parser is the exact type
  // of codes when the terminal knows it, so that no byte costs a virtual call.
  template <class Parser>
  std::size_t Feed(Parser& codes, const std::string& Str, std::size_t index);
  // Feeds Str through the parser; a descendant with a parser of its own
  // type runs it without a virtual call per byte.
  virtual std::size_t FeedParser(TEscapeCodes& codes, const std::string& Str, std::size_t index);

private:
  friend class TComTermBuffer;
  void PortDestroyed(TCustomComPort* port) override;
  void FlushPaint();
  void PlaceCaret();
  void ApplyGridSize();
  // The cell boundary nearest to a point of the viewport (column, line),
  // and the cell under it.
  QPoint BoundaryAt(QPoint pixel) const;
  QPoint CellAt(QPoint pixel) const;
  void PaintSelection(QPainter& painter);
  void SelectWord(QPoint cell);
  void SelectLine(int line);
  // Shows a line in the view, scrolling the least.
  void ShowLine(int line);
  void FitGrid();
  // Lines moved into the scrollback during a batch, settled at its end.
  void SettleHistory();
  // The screen's row leaves the top: into the scrollback when one is kept.
  void KeepTopRow(int row);
  // Text received outside sequences, kept for the screen reader.
  void Heard(const char* text, std::size_t count) {
    if (FListening) FHeard.append(text, count);
  }
  void AnnounceHeard();
  // Received bytes as a screen reader should hear them: controls left out.
  QString ReaderText(const std::string& bytes) const;

  TCustomComPort* FComPort = nullptr;
  TComLink FLink;
  int FColumns = 80;
  int FRows = 24;
  TTermEmulation FEmulation = teVT100orANSI;
  bool FLoading = false;
  QPoint FTopLeftCell{1, 1};
  QPoint FSavedCaretCell{1, 1};
  TTermAttr FSavedAttr;
  bool FAppCursorKeys = false;

  TTermCaret FCaret = tcBlock;
  TTermBorderStyle FBorderStyle = bsSingle;
  TScrollStyle FScrollBars = ssBoth;
  QRgb FColor = qRgb(0, 0, 0);
  QFont FFont;
  QRgb FFontColor = qRgb(255, 255, 255);
  bool FAutoSize = false;
  int FCellWidth = 8;
  int FCellHeight = 16;
  int FCellAscent = 12;
  int FCaretPixelHeight = 0;
  bool FHasCaret = false;
  bool FCaretShown = false;   // HideCaret/ShowCaret
  bool FCaretBlinkOn = true;  // the blink phase
  QTimer FCaretBlink;

  // Repaints gathered in a batch: a rectangle of grid cells (empty while
  // FDirtyLeft > FDirtyRight), or the whole grid once it scrolled.
  int FBatchDepth = 0;
  int FDirtyLeft = 1, FDirtyTop = 1, FDirtyRight = 0, FDirtyBottom = 0;
  bool FDirtyAll = false;

  QPoint FSelStart{1, 1}, FSelEnd{1, 1};  // the selection, start before end
  QPoint FSelAnchor{1, 1};                // where the mouse went down
  QPoint FLastDoubleClick{0, 0};          // a third click there selects the line
  qint64 FDoubleClickTime = 0;

  int FScrollbackLimit = 0;
  TScrollback<TComTermChar, TComTermCharChars> FHistory;
  int FKeptInBatch = 0;  // lines kept since the view last settled
  bool FFitToWindow = false;

  bool FListening = false;  // accessibility was active when the chunk came
  std::string FHeard;
  static constexpr std::size_t MaxHeard = 4096;
  QTimer FReaderTimer;
};

class TComTerminal : public TCustomComTerminal {
public:
  using TCustomComTerminal::TCustomComTerminal;
};

template <class Parser>
inline std::size_t TCustomComTerminal::Feed(Parser& codes, const std::string& Str, std::size_t index) {
  const auto process = [&codes](char ch) {
    if constexpr (std::is_same_v<Parser, TEscapeCodes>)
      return codes.ProcessChar(ch);
    else
      return codes.Parser::ProcessChar(ch);
  };
  while (index < Str.size()) {
    TEscapeResult result = process(Str[index++]);
    if constexpr (requires(std::size_t taken) { codes.ContinueSequence(Str.data(), Str.size(), taken); }) {
      // The rest of a sequence in one go.
      if (result == erNothing) {
        std::size_t taken = 0;
        result = codes.ContinueSequence(Str.data() + index, Str.size() - index, taken);
        index += taken;
      }
    }
    switch (result) {
      case erChar: {
        // Printable ASCII outside a sequence stays text whatever follows, up
        // to the next control or escape: a run of it goes on in one call.
        std::size_t end = index;
        while (end < Str.size() && std::uint8_t(Str[end] - 0x20) < 0x5F) ++end;
        if (end > index && std::uint8_t(codes.LastChar - 0x20) < 0x5F) {
          Heard(Str.data() + index - 1, end - index + 1);
          PutText(Str.data() + index - 1, end - index + 1);
          codes.LastChar = Str[end - 1];
          index = end;
        } else {
          Heard(&codes.LastChar, 1);
          PutChar(codes.LastChar);
        }
        break;
      }
      case erNothing: continue;
      case erCode:
        if (!PutEscapeCode(codes.LastCode, codes.Parameters)) DoUnhandledCode(codes.LastCode, codes.SequenceText);
        codes.Parameters.clear();
        break;
    }
    // A handler may have changed the emulation, and with it the parser.
    if (FEscapeCodes.get() != &codes) break;
  }
  return index;
}
