// The extended terminal's screen model: what each byte and sequence does.
#include "CPortTermVT102.h"

#include <algorithm>

namespace {

// The DEC special graphics set for the bytes 0x5F to 0x7E.
const char32_t LineDrawing[] = {
    0x00A0, 0x25C6, 0x2592, 0x2409, 0x240C, 0x240D, 0x240A, 0x00B0, 0x00B1, 0x2424, 0x240B, 0x2518,
    0x2510, 0x250C, 0x2514, 0x253C, 0x23BA, 0x23BB, 0x2500, 0x23BC, 0x23BD, 0x251C, 0x2524, 0x2534,
    0x252C, 0x2502, 0x2264, 0x2265, 0x03C0, 0x2260, 0x00A3, 0x00B7,
};

constexpr char32_t Replacement = 0xFFFD;

int Count(const TStrings& params) { return std::max(1, TEscapeCodes::GetParam(1, &params)); }

}  // namespace

TComTerminalVT102::TComTerminalVT102(QWidget* parent) : TCustomComTerminal(parent) {
  WrapLines = true;  // a VT102 wraps at the right margin unless told not to
  GridInitialized();
  CreateEscapeCodes();
  SetColorScheme(csDark);
}

void TComTerminalVT102::CreateEscapeCodes() {
  if (Emulation() == teVT100orANSI)
    FEscapeCodes = std::make_unique<TEscapeCodesVT102>();
  else
    TCustomComTerminal::CreateEscapeCodes();
}

std::size_t TComTerminalVT102::FeedParser(TEscapeCodes& codes, const std::string& Str, std::size_t index) {
  if (typeid(codes) == typeid(TEscapeCodesVT102)) return Feed(static_cast<TEscapeCodesVT102&>(codes), Str, index);
  return TCustomComTerminal::FeedParser(codes, Str, index);
}

void TComTerminalVT102::SetUtf8(bool value) {
  FUtf8 = value;
  FUtf8Left = 0;
}

// ------------------------------------------------------------------ cells

const TVtCell& TComTerminalVT102::Cell(int column, int row) const {
  static const TVtCell Empty;
  if (column < 1 || column > FGridColumns || row < 1 || row > FGridRows) return Empty;
  return At(column, row);
}

QString TComTerminalVT102::CellText(int column, int row) const {
  const char32_t ch = Cell(column, row).Ch;
  return ch ? QString::fromUcs4(&ch, 1) : QString(QChar(' '));
}

void TComTerminalVT102::GridInitialized() {
  FGridColumns = FBuffer.Columns();
  FGridRows = FBuffer.Rows();
  FCells.assign(std::size_t(FGridColumns) * std::size_t(FGridRows), TVtCell{});
  FRing = 0;
  FTop = 1;
  FBottom = FGridRows;
  FWrapPending = false;
  FAlternate = false;
  FMainGrid.clear();
  FMainCells.clear();
}

void TComTerminalVT102::GridScrolled(bool up) {
  TCustomComTerminal::GridScrolled(up);
  if (FGridRows == 0) return;
  // The cells turn with the grid's ring of rows.
  if (up) {
    FRing = FRing + 1 == FGridRows ? 0 : FRing + 1;
    std::fill_n(&At(1, FGridRows), FGridColumns, TVtCell{});
  } else {
    FRing = FRing == 0 ? FGridRows - 1 : FRing - 1;
    std::fill_n(&At(1, 1), FGridColumns, TVtCell{});
  }
}

void TComTerminalVT102::SetCell(int column, int row, const TVtCell& cell) {
  At(column, row) = cell;
  TComTermChar& plain = FBuffer.Row(row)[column - 1];
  plain.Ch = cell.Ch == 0 ? 0 : cell.Ch <= 0xFF ? char(cell.Ch) : '?';
  plain.Underline = cell.Flags & vfUnderline;
  InvalidateCells(column, row, column, row);
}

void TComTerminalVT102::CopyRow(int from, int to) {
  std::copy_n(FBuffer.Row(from), FGridColumns, FBuffer.Row(to));
  std::copy_n(&At(1, from), FGridColumns, &At(1, to));
}

void TComTerminalVT102::EmptyRow(int row) {
  std::fill_n(FBuffer.Row(row), FGridColumns, TComTermChar{});
  std::fill_n(&At(1, row), FGridColumns, TVtCell{});
}

void TComTerminalVT102::ScrollRegion(int top, int bottom, int n, bool up) {
  n = std::min(n, bottom - top + 1);
  if (n <= 0) return;
  TPaintBatch batch(this);
  if (top == 1 && bottom == FGridRows) {
    // The whole screen: the rings turn.
    for (int i = 0; i < n; ++i) up ? FBuffer.ScrollDown() : FBuffer.ScrollUp();
    return;
  }
  if (up) {
    for (int r = top; r <= bottom - n; ++r) CopyRow(r + n, r);
    for (int r = bottom - n + 1; r <= bottom; ++r) EmptyRow(r);
  } else {
    for (int r = bottom; r >= top + n; --r) CopyRow(r - n, r);
    for (int r = top; r < top + n; ++r) EmptyRow(r);
  }
  InvalidateCells(1, top, FGridColumns, bottom);
}

void TComTerminalVT102::InsertBlankChars(int column, int row, int n) {
  n = std::min(n, FGridColumns - column + 1);
  TComTermChar* plain = FBuffer.Row(row);
  TVtCell* cells = &At(1, row);
  std::copy_backward(plain + column - 1, plain + FGridColumns - n, plain + FGridColumns);
  std::copy_backward(cells + column - 1, cells + FGridColumns - n, cells + FGridColumns);
  std::fill_n(plain + column - 1, n, TComTermChar{});
  std::fill_n(cells + column - 1, n, TVtCell{});
  InvalidateCells(column, row, FGridColumns, row);
}

void TComTerminalVT102::DeleteChars(int column, int row, int n) {
  n = std::min(n, FGridColumns - column + 1);
  TComTermChar* plain = FBuffer.Row(row);
  TVtCell* cells = &At(1, row);
  std::copy(plain + column - 1 + n, plain + FGridColumns, plain + column - 1);
  std::copy(cells + column - 1 + n, cells + FGridColumns, cells + column - 1);
  std::fill_n(plain + FGridColumns - n, n, TComTermChar{});
  std::fill_n(cells + FGridColumns - n, n, TVtCell{});
  InvalidateCells(column, row, FGridColumns, row);
}

void TComTerminalVT102::EraseCells(int fromColumn, int fromRow, int toColumn, int toRow) {
  TPaintBatch batch(this);
  for (int r = fromRow; r <= toRow; ++r) {
    const int first = r == fromRow ? fromColumn : 1;
    const int last = r == toRow ? toColumn : FGridColumns;
    if (first > last) continue;
    std::fill(FBuffer.Row(r) + first - 1, FBuffer.Row(r) + last, TComTermChar{});
    std::fill(&At(1, r) + first - 1, &At(1, r) + last, TVtCell{});
    InvalidateCells(first, r, last, r);
  }
}

// ------------------------------------------------------------ the caret

void TComTerminalVT102::MoveTo(int column, int row) {
  FWrapPending = false;
  MoveCaret(column, row);
}

void TComTerminalVT102::MoveInRegion(int column, int row) {
  row = std::max(row, 1);
  if (FOrigin) row = std::min(FTop + row - 1, FBottom);
  MoveTo(std::max(column, 1), row);
}

void TComTerminalVT102::LineFeed() {
  FWrapPending = false;
  const int row = FCaretCell.y();
  if (row == FBottom)
    ScrollRegion(FTop, FBottom, 1, true);
  else if (row < FGridRows)
    MoveCaret(FCaretCell.x(), row + 1);
}

void TComTerminalVT102::ReverseLineFeed() {
  FWrapPending = false;
  const int row = FCaretCell.y();
  if (row == FTop)
    ScrollRegion(FTop, FBottom, 1, false);
  else if (row > 1)
    MoveCaret(FCaretCell.x(), row - 1);
}

void TComTerminalVT102::SaveCursor() {
  FSaved.Caret = FCaretCell;
  FSaved.Pen = FPen;
  FSaved.Origin = FOrigin;
  FSaved.Graphics[0] = FGraphics[0];
  FSaved.Graphics[1] = FGraphics[1];
  FSaved.Shift = FShift;
}

void TComTerminalVT102::RestoreCursor() {
  FPen = FSaved.Pen;
  FOrigin = FSaved.Origin;
  FGraphics[0] = FSaved.Graphics[0];
  FGraphics[1] = FSaved.Graphics[1];
  FShift = FSaved.Shift;
  MoveTo(FSaved.Caret.x(), FSaved.Caret.y());
}

// ------------------------------------------------------------ characters

char32_t TComTerminalVT102::Translate(std::uint8_t byte) const {
  if (FGraphics[FShift] && byte >= 0x5F && byte <= 0x7E) return LineDrawing[byte - 0x5F];
  return byte;
}

void TComTerminalVT102::Print(char32_t ch) {
  // The VT100's pending wrap: a character in the last column leaves the
  // caret there, and only the next printable one goes to the next line.
  if (FWrapPending) {
    FWrapPending = false;
    MoveCaret(1, FCaretCell.y());
    LineFeed();
  }
  const int column = FCaretCell.x(), row = FCaretCell.y();
  if (column > FGridColumns || row > FGridRows) return;  // a grid made smaller under the caret
  if (FInsert) InsertBlankChars(column, row, 1);
  TVtCell cell = FPen;
  cell.Ch = ch;
  SetCell(column, row, cell);
  if (column == FGridColumns) {
    if (WrapLines) FWrapPending = true;
  } else if (HasCaret()) {
    MoveCaret(column + 1, row);  // the window caret follows
  } else {
    FCaretCell.rx() = column + 1;
  }
}

void TComTerminalVT102::PutChar(char Ch) {
  const std::uint8_t byte = std::uint8_t(Ch);
  if (FUtf8 && (byte >= 0x80 || FUtf8Left > 0)) {
    if (FUtf8Left > 0 && (byte & 0xC0) == 0x80) {
      FUtf8Code = (FUtf8Code << 6) | (byte & 0x3F);
      if (--FUtf8Left == 0) {
        const bool valid = FUtf8Code <= 0x10FFFF && (FUtf8Code < 0xD800 || FUtf8Code > 0xDFFF);
        Print(valid ? char32_t(FUtf8Code) : Replacement);
      }
      DoChar(Ch);
      return;
    }
    if (FUtf8Left > 0) {  // a character cut short
      FUtf8Left = 0;
      Print(Replacement);
    }
    if (byte >= 0x80) {
      if ((byte & 0xE0) == 0xC0) FUtf8Code = byte & 0x1F, FUtf8Left = 1;
      else if ((byte & 0xF0) == 0xE0) FUtf8Code = byte & 0x0F, FUtf8Left = 2;
      else if ((byte & 0xF8) == 0xF0) FUtf8Code = byte & 0x07, FUtf8Left = 3;
      else Print(Replacement);
      DoChar(Ch);
      return;
    }
  }
  switch (byte) {
    case 8: MoveTo(FCaretCell.x() - 1, FCaretCell.y()); break;
    case 9: {
      const int tab = FBuffer.NextTab(FCaretCell.x() + 1);
      MoveTo(tab ? tab : FGridColumns, FCaretCell.y());
      break;
    }
    case 10:
    case 11:
    case 12: LineFeed(); break;
    case 13: MoveTo(1, FCaretCell.y()); break;
    case 14: FShift = 1; break;  // SO: G1
    case 15: FShift = 0; break;  // SI: G0
    default:
      if (byte >= 32 && byte != 127) Print(FGraphics[FShift] ? Translate(byte) : char32_t(byte));
      break;
  }
  DoChar(Ch);
}

// ------------------------------------------------------------- sequences

bool TComTerminalVT102::PutEscapeCode(TEscapeCode Code, const TStrings& Params) {
  const int column = FCaretCell.x(), row = FCaretCell.y();
  const int n = Count(Params);
  // Up and down stop at the margins of the region the caret is in.
  const int top = row >= FTop ? FTop : 1;
  const int bottom = row <= FBottom ? FBottom : FGridRows;
  switch (int(Code)) {
    case ecCursorUp:
    case ecAppCursorUp: MoveTo(column, std::max(row - n, top)); break;
    case ecCursorDown: MoveTo(column, std::min(row + n, bottom)); break;
    case ecCursorLeft: MoveTo(column - n, row); break;
    case ecCursorRight: MoveTo(column + n, row); break;
    case ecCursorHome:
    case ecCursorMove:
      MoveInRegion(TEscapeCodes::GetParam(2, &Params), TEscapeCodes::GetParam(1, &Params));
      break;
    case ecCursorColumn: MoveTo(n, row); break;
    case ecCursorRow: MoveInRegion(column, n); break;
    case ecCursorNextLine: MoveTo(1, std::min(row + n, bottom)); break;
    case ecCursorPrevLine: MoveTo(1, std::max(row - n, top)); break;
    case ecIndex: LineFeed(); break;
    case ecNextLine:
      MoveTo(1, row);
      LineFeed();
      break;
    case ecReverseIndex:
    case ecReverseLineFeed: ReverseLineFeed(); break;
    case ecScrollRegion: {
      const int t = std::max(1, TEscapeCodes::GetParam(1, &Params));
      const int b = Params.size() >= 2 ? std::max(1, TEscapeCodes::GetParam(2, &Params)) : FGridRows;
      if (t < b && b <= FGridRows) {
        FTop = t;
        FBottom = b;
        MoveInRegion(1, 1);
      }
      break;
    }
    case ecScrollUp: ScrollRegion(FTop, FBottom, n, true); break;
    case ecScrollDown: ScrollRegion(FTop, FBottom, n, false); break;
    case ecInsertLines:
    case ecDeleteLines:
      if (row >= FTop && row <= FBottom) {
        ScrollRegion(row, FBottom, n, Code == ecDeleteLines);
        MoveTo(1, row);
      }
      break;
    case ecInsertChars:
      FWrapPending = false;
      InsertBlankChars(column, row, n);
      break;
    case ecDeleteChars:
      FWrapPending = false;
      DeleteChars(column, row, n);
      break;
    case ecEraseChars: EraseCells(column, row, std::min(column + n - 1, FGridColumns), row); break;
    // Erasing keeps the caret where it is.
    case ecEraseLineFrom: EraseCells(column, row, FGridColumns, row); break;
    case ecEraseLineTo: EraseCells(1, row, column, row); break;
    case ecEraseLine: EraseCells(1, row, FGridColumns, row); break;
    case ecEraseScreenFrom: EraseCells(column, row, FGridColumns, FGridRows); break;
    case ecEraseScreenTo: EraseCells(1, 1, column, row); break;
    case ecEraseScreen: EraseCells(1, 1, FGridColumns, FGridRows); break;
    case ecCharsetG0:
    case ecCharsetG1: FGraphics[Code == ecCharsetG1] = !Params.empty() && Params[0] == "0"; break;
    case ecKeypadApplication:
    case ecKeypadNumeric: break;  // the keypad sends digits either way
    case ecIdentify: SendAnswer("\x1b[?6c"); break;  // a VT102
    case ecQueryCursorPos:
      SendAnswer("\x1b[" + std::to_string(FOrigin ? row - FTop + 1 : row) + ";" + std::to_string(column) + "R");
      break;
    case ecSaveCaretAndAttr:
    case ecSaveCaret: SaveCursor(); break;
    case ecRestoreCaretAndAttr:
    case ecRestoreCaret: RestoreCursor(); break;
    case ecReset: {  // a full reset
      FPen = TVtCell{};
      FTop = 1;
      FBottom = FGridRows;
      FOrigin = FInsert = FBracketedPaste = FScreenReverse = false;
      FCaretVisible = WrapLines = true;
      FGraphics[0] = FGraphics[1] = false;
      FShift = 0;
      SwitchScreen(false, false);
      EraseCells(1, 1, FGridColumns, FGridRows);
      MoveTo(1, 1);
      break;
    }
    case ecTest: {  // the screen alignment pattern
      TPaintBatch batch(this);
      TVtCell e;
      e.Ch = 'E';
      for (int r = 1; r <= FGridRows; ++r)
        for (int c = 1; c <= FGridColumns; ++c) SetCell(c, r, e);
      FTop = 1;
      FBottom = FGridRows;
      FOrigin = false;
      MoveTo(1, 1);
      break;
    }
    default: return TCustomComTerminal::PutEscapeCode(Code, Params);
  }
  return true;
}

void TComTerminalVT102::SetAttributes(const TStrings& Params) {
  if (Params.empty()) FPen = TVtCell{};
  for (std::size_t i = 0; i < Params.size(); ++i) {
    const int v = Params[i].empty() ? 0 : TEscapeCodes::GetParam(int(i + 1), &Params);  // empty: 0
    switch (v) {
      case 0: FPen = TVtCell{}; break;
      case 1: FPen.Flags |= vfBold; break;
      case 2: FPen.Flags |= vfFaint; break;
      case 4: FPen.Flags |= vfUnderline; break;
      case 7: FPen.Flags |= vfReverse; break;
      case 21:
      case 22: FPen.Flags &= ~(vfBold | vfFaint); break;
      case 24: FPen.Flags &= ~vfUnderline; break;
      case 27: FPen.Flags &= ~vfReverse; break;
      case 39: FPen.Fg = -1; break;
      case 49: FPen.Bg = -1; break;
      case 38:
      case 48: {
        // 38;5;n and 48;5;n pick from the 256 colours; 38;2;r;g;b is passed over.
        const int kind = TEscapeCodes::GetParam(int(i + 2), &Params);
        if (kind == 5 && i + 2 < Params.size()) {
          (v == 38 ? FPen.Fg : FPen.Bg) = std::int16_t(TEscapeCodes::GetParam(int(i + 3), &Params) & 0xFF);
          i += 2;
        } else if (kind == 2) {
          i += 4;
        }
        break;
      }
      default:
        if (v >= 30 && v <= 37) FPen.Fg = std::int16_t(v - 30);
        else if (v >= 40 && v <= 47) FPen.Bg = std::int16_t(v - 40);
        else if (v >= 90 && v <= 97) FPen.Fg = std::int16_t(v - 90 + 8);
        else if (v >= 100 && v <= 107) FPen.Bg = std::int16_t(v - 100 + 8);
        break;
    }
  }
}

void TComTerminalVT102::SetMode(const TStrings& Params, bool OnOff) {
  for (std::size_t i = 0; i < Params.size(); ++i) {
    const std::string_view mode = Params[i];
    if (mode == "?1") {
      TCustomComTerminal::SetMode(TStrings{"?1"}, OnOff);
    } else if (mode == "?3") {
      TCustomComTerminal::SetMode(TStrings{"?3"}, OnOff);
      MoveTo(1, 1);
    } else if (mode == "?5") {
      FScreenReverse = OnOff;
      InvalidateGrid();
    } else if (mode == "?6") {
      FOrigin = OnOff;
      MoveInRegion(1, 1);
    } else if (mode == "?7") {
      WrapLines = OnOff;
      FWrapPending = false;
    } else if (mode == "?25") {
      FCaretVisible = OnOff;
      InvalidateCells(FCaretCell.x(), FCaretCell.y(), FCaretCell.x(), FCaretCell.y());
    } else if (mode == "?47" || mode == "?1047") {
      SwitchScreen(OnOff, false);
    } else if (mode == "?1049") {
      SwitchScreen(OnOff, true);
    } else if (mode == "?2004") {
      FBracketedPaste = OnOff;
    } else if (mode == "4") {
      FInsert = OnOff;
    }
  }
}

void TComTerminalVT102::SwitchScreen(bool alternate, bool saveCaret) {
  if (alternate == FAlternate) return;
  TPaintBatch batch(this);
  const std::size_t cells = std::size_t(FGridColumns) * std::size_t(FGridRows);
  if (alternate) {
    if (saveCaret) SaveCursor();
    FMainGrid.resize(cells);
    FMainCells.resize(cells);
    for (int r = 1; r <= FGridRows; ++r) {
      std::copy_n(FBuffer.Row(r), FGridColumns, &FMainGrid[std::size_t(r - 1) * std::size_t(FGridColumns)]);
      std::copy_n(&At(1, r), FGridColumns, &FMainCells[std::size_t(r - 1) * std::size_t(FGridColumns)]);
    }
    FMainCaret = FCaretCell;
    FAlternate = true;
    EraseCells(1, 1, FGridColumns, FGridRows);
  } else {
    FAlternate = false;
    if (FMainGrid.size() == cells) {
      for (int r = 1; r <= FGridRows; ++r) {
        std::copy_n(&FMainGrid[std::size_t(r - 1) * std::size_t(FGridColumns)], FGridColumns, FBuffer.Row(r));
        std::copy_n(&FMainCells[std::size_t(r - 1) * std::size_t(FGridColumns)], FGridColumns, &At(1, r));
      }
    }
    FMainGrid.clear();
    FMainCells.clear();
    InvalidateGrid();
    if (saveCaret) RestoreCursor();
  }
}

// ---------------------------------------------------------------- sending

void TComTerminalVT102::SendAnswer(const std::string& bytes) {
  if (Connected()) ComPort()->WriteStr(bytes);
}

void TComTerminalVT102::SendText(const QString& text) {
  for (const QChar ch : text) {
    if (ch == '\n') {
      SendChar(13);  // a pasted line ends as a typed one does
    } else if (FUtf8) {
      for (const char byte : QString(ch).toUtf8()) SendChar(byte);
    } else if (ch.unicode() <= 0xFF) {
      SendChar(char(ch.unicode()));
    }
  }
}

void TComTerminalVT102::PasteText(const QString& text) {
  // With bracketed paste, the host learns where the pasted text begins and
  // ends (and does not run a pasted command line by itself).
  if (FBracketedPaste) SendAnswer("\x1b[200~");
  SendText(text);
  if (FBracketedPaste) SendAnswer("\x1b[201~");
}
