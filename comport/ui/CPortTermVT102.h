// The extended terminal: a VT102 with ANSI colours, built on the terminal
// of the component set without changing it. It adds scroll regions and
// origin mode, index and reverse index, inserting and deleting lines and
// characters, erasing parts of lines and screens, absolute columns and rows,
// 16 and 256 colours, faint and reverse, auto-wrap with the VT100's pending
// wrap, newline mode, the alternate screen, bracketed paste, the DEC
// line-drawing and UK sets, and UTF-8 text when asked; and what the xterm
// terminal type adds that serial consoles use: repeating a character, erasing
// with the current background, wide and combining characters, window titles.
#pragma once

#include "CPortEscVT102.h"
#include "CPortTerm.h"

#include <algorithm>
#include <array>
#include <deque>
#include <vector>

// What a cell of the extended terminal holds beyond the grid's byte.
struct TVtCell {
  char32_t Ch = 0;        // 0: empty
  char32_t Mark = 0;      // a combining character joined to Ch
  std::int16_t Fg = -1;   // colour index 0-255, -1: the default
  std::int16_t Bg = -1;
  std::uint8_t Flags = 0;  // TVtFlag bits
};

enum TVtFlag : std::uint8_t {
  vfBold = 1, vfFaint = 2, vfUnderline = 4, vfReverse = 8,
  vfWide = 16,      // a character two cells wide; the next cell is its tail
  vfWideTail = 32,  // the right half of the wide character before it
};

// Where a cell's character is, for the scrollback; a combining mark goes
// with the cell's looks.
struct TVtCellChars {
  static char32_t Get(const TVtCell& cell) { return cell.Ch; }
  static void Set(TVtCell& cell, char32_t ch) { cell.Ch = ch; }
  static bool Alike(const TVtCell& a, const TVtCell& b) {
    return a.Mark == b.Mark && a.Fg == b.Fg && a.Bg == b.Bg && a.Flags == b.Flags;
  }
};

// How many cells a character takes: 0 for a combining one, 2 for a wide
// (East Asian, emoji) one, else 1.
int CharCells(char32_t ch);

// What the key Backspace sends.
enum TBackspaceKey { bkDelete, bkControlH };

class TComTerminalVT102;
using TTitleEvent = std::function<void(TComTerminalVT102* Sender, const QString& Title)>;

// The eight basic colours and their bright forms, in a dark and a light
// scheme; the 256-colour forms add the colour cube and the grey ramp.
enum TVtColorScheme { csDark, csLight };

class TComTerminalVT102 : public TCustomComTerminal {
public:
  explicit TComTerminalVT102(QWidget* parent = nullptr);

  // Bytes arriving are UTF-8 text (off: each byte is an 8-bit character).
  bool Utf8() const { return FUtf8; }
  void SetUtf8(bool value);
  TVtColorScheme ColorScheme() const { return FScheme; }
  void SetColorScheme(TVtColorScheme value);
  // Backspace sends DEL, as terminals on Linux do, or Ctrl-H.
  TBackspaceKey BackspaceKey = bkDelete;
  // Alt+key sends ESC and the key, as xterm's Meta sends Escape: readline's
  // and emacs's Meta bindings (Alt+b, Alt+.) need it.
  bool MetaSendsEscape = true;
  // What a cursor or function key sends with Shift, Alt or Ctrl ("" when
  // unmodified, or a key that has no such form).
  static std::string ModifiedKey(int key, Qt::KeyboardModifiers modifiers);
  // The host names the window (OSC 0 and 2).
  TTitleEvent OnTitle;
  // A colour of the palette (0-255) in the current scheme.
  QRgb PaletteColor(int index) const;

  // The state the tests look at.
  const TVtCell& Cell(int column, int row) const;
  int ScrollTop() const { return FTop; }
  int ScrollBottom() const { return FBottom; }
  bool OriginMode() const { return FOrigin; }
  bool InsertMode() const { return FInsert; }
  bool WrapPending() const { return FWrapPending; }
  bool CaretVisible() const { return FCaretVisible; }
  bool AlternateScreen() const { return FAlternate; }
  bool BracketedPaste() const { return FBracketedPaste; }
  bool NewLineMode() const { return FNewLine; }
  QPoint SavedCaret() const { return FSaved.Caret; }

  std::string TextChars(const QString& text) const override;
  // With bracketed paste, the host learns where the pasted text begins and
  // ends (and does not run a pasted command line by itself).
  std::string PasteStart() const override { return FBracketedPaste ? "\x1b[200~" : ""; }
  std::string PasteEnd() const override { return FBracketedPaste ? "\x1b[201~" : ""; }
  QString CellText(int column, int row) const override;
  QString LineText(int line) const override;

protected:
  void PutChar(char Ch) override;
  void PutText(const char* Text, std::size_t Count) override;
  bool PutEscapeCode(TEscapeCode Code, const TStrings& Params) override;
  void SetAttributes(const TStrings& Params) override;
  void SetMode(const TStrings& Params, bool OnOff) override;
  void CreateEscapeCodes() override;
  std::size_t FeedParser(TEscapeCodes& codes, const std::string& Str, std::size_t index) override;
  void GridScrolled(bool up) override;
  void GridInitialized() override;
  bool CaretWanted() const override { return FCaretVisible; }
  bool TextIsUtf8() const override { return FUtf8; }
  void KeepRow(int row) override;
  int HistoryLineLength(std::size_t index) const override { return int(FHistoryCells.Length(index)); }
  void ForgetHistory(int count) override;
  bool HistoryWanted() const override { return !FAlternate; }  // as xterm: the alternate screen keeps none
  void RelayGrid(int columns, int rows, int drop) override;
  void PaintTerminal(QPainter& painter, QRect cells) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool event(QEvent* event) override;

private:
  [[gnu::noinline]] bool PutOtherCode(TEscapeCode Code, const TStrings& Params);
  bool PutCursorCode(TEscapeCode Code, const TStrings& Params);
  bool PutEditCode(TEscapeCode Code, const TStrings& Params);
  bool PutReportCode(TEscapeCode Code, const TStrings& Params);
  // The screen model.
  void Print(char32_t ch);
  void LineFeed();
  void ReverseLineFeed();
  void MoveTo(int column, int row) {  // clears a pending wrap
    FWrapPending = false;
    MoveCaret(column, row);
  }
  void MoveInRegion(int column, int row) {  // a row counted from the region's top in origin mode
    row = std::max(row, 1);
    if (FOrigin) row = std::min(FTop + row - 1, FBottom);
    MoveTo(std::max(column, 1), row);
  }
  // Rows top to bottom move up (down) by n; rows coming in are empty.
  void ScrollRegion(int top, int bottom, int n, bool up);
  void InsertBlankChars(int column, int row, int n);
  void DeleteChars(int column, int row, int n);
  void EraseCells(int fromColumn, int fromRow, int toColumn, int toRow);
  void SetCell(int column, int row, const TVtCell& cell);
  // An erased cell: empty, in the current background (as xterm erases).
  TVtCell Blank() const;
  void FillRow(int row, int from, int to, const TVtCell& cell);
  // Before a cell is written: a wide character it cuts in half goes.
  void SplitWide(int column, int row);
  void Join(char32_t mark);
  void Tab(int n);
  void CopyRow(int from, int to);
  void EmptyRow(int row);
  void SwitchScreen(bool alternate, bool saveCaret);
  void SaveCursor();
  void RestoreCursor();
  void SendAnswer(const std::string& bytes);
  static bool AltPrefixes(int key, const QString& text);
  void SendText(const QString& text);
  char32_t Translate(std::uint8_t byte) const;
  void Osc(const TStrings& params);
  void SoftReset();

  std::vector<TVtCell> FCells;  // in the grid's row ring, so that full scrolls rotate alike
  TScrollback<TVtCell, TVtCellChars> FHistoryCells;  // the scrollback's cells, beside the grid's
  int FRing = 0;                // the ring index of row 1
  int FGridColumns = 0, FGridRows = 0;
  TVtCell& At(int column, int row) {
    int physical = FRing + row - 1;
    if (physical >= FGridRows) physical -= FGridRows;
    return FCells[std::size_t(physical) * std::size_t(FGridColumns) + std::size_t(column - 1)];
  }
  const TVtCell& At(int column, int row) const { return const_cast<TComTerminalVT102*>(this)->At(column, row); }

  TVtCell FPen;  // the attributes new characters get
  int FTop = 1, FBottom = 1;
  bool FOrigin = false;
  bool FInsert = false;
  bool FWrapPending = false;
  bool FCaretVisible = true;
  bool FBracketedPaste = false;
  bool FScreenReverse = false;  // the whole screen in reverse video (?5)
  bool FAlternate = false;
  bool FUtf8 = false;
  std::uint32_t FUtf8Code = 0;  // a UTF-8 character under way
  int FUtf8Left = 0;
  std::uint32_t FUtf8Min = 0;   // the least code its length may carry
  enum TCharset : std::uint8_t { csAscii, csGraphics, csUk };
  TCharset FCharsets[2] = {csAscii, csAscii};  // G0 and G1
  int FShift = 0;                              // 0: G0 in use (SI), 1: G1 (SO)
  bool FNewLine = false;                       // LNM: a line feed also returns
  char32_t FLastPrinted = 0;                   // for REP; 0 after anything else
  TVtColorScheme FScheme = csDark;

  struct TSaved {
    QPoint Caret{1, 1};
    TVtCell Pen;
    bool Origin = false;
    TCharset Charsets[2] = {csAscii, csAscii};
    int Shift = 0;
  } FSaved;
  // The main screen while the alternate one shows.
  std::vector<TComTermChar> FMainGrid;
  std::vector<TVtCell> FMainCells;
  QPoint FMainCaret{1, 1};
};
