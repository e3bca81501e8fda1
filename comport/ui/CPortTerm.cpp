// The terminal's screen model and its data path: received bytes through the
// parser onto the grid, typed characters and answers to the port.
#include "CPortTerm.h"

#include <algorithm>
#include <istream>
#include <iterator>
#include <ostream>
#include <typeinfo>

TCustomComTerminal::TPaintBatch::TPaintBatch(TCustomComTerminal* terminal) : Terminal(terminal) {
  ++Terminal->FBatchDepth;
}

TCustomComTerminal::TPaintBatch::~TPaintBatch() {
  if (--Terminal->FBatchDepth == 0) Terminal->FlushPaint();
}

void TCustomComTerminal::SetComPort(TCustomComPort* port) { BindComPort(FComPort, port, this, &FLink); }

void TCustomComTerminal::PortDestroyed(TCustomComPort* port) {
  if (port == FComPort) SetComPort(nullptr);
}

bool TCustomComTerminal::Connected() const { return FComPort && FComPort->Connected(); }

void TCustomComTerminal::SetConnected(bool value) {
  if (FComPort) FComPort->SetConnected(value);
}

void TCustomComTerminal::Loaded() {
  FLoading = false;
  ApplyGridSize();
  CreateEscapeCodes();
}

void TCustomComTerminal::SetColumns(int value) {
  value = std::clamp(value, 2, 256);
  if (value == FColumns) return;
  FColumns = value;
  if (!FLoading) ApplyGridSize();
}

void TCustomComTerminal::SetRows(int value) {
  value = std::clamp(value, 2, 100);
  if (value == FRows) return;
  FRows = value;
  if (!FLoading) ApplyGridSize();
}

// A new size clears the screen; the caret and the saved caret stay on it.
void TCustomComTerminal::ApplyGridSize() {
  FBuffer.Init();
  const auto onGrid = [this](QPoint p) { return QPoint(std::clamp(p.x(), 1, FColumns), std::clamp(p.y(), 1, FRows)); };
  FCaretCell = onGrid(FCaretCell);
  FSavedCaretCell = onGrid(FSavedCaretCell);
  ClearSelection();
  GridInitialized();
  AdjustSize();
  UpdateScrollRange();
  InvalidateGrid();
  FlushPaint();
}

void TCustomComTerminal::SetEmulation(TTermEmulation value) {
  if (value == FEmulation) return;
  FEmulation = value;
  if (!FLoading) CreateEscapeCodes();
}

void TCustomComTerminal::CreateEscapeCodes() {
  FEscapeCodes.reset();
  switch (FEmulation) {
    case teVT100orANSI: FEscapeCodes = std::make_unique<TEscapeCodesVT100>(); break;
    case teVT52: FEscapeCodes = std::make_unique<TEscapeCodesVT52>(); break;
    case teNone: {
      TEscapeCodes* supplied = nullptr;
      DoGetEscapeCodes(supplied);
      FEscapeCodes.reset(supplied);  // the terminal owns what it is given
      break;
    }
  }
}

// ------------------------------------------------------------ the screen

void TCustomComTerminal::ClearScreen() {
  TPaintBatch batch(this);
  FBuffer.Init();
  ClearSelection();
  GridInitialized();
  InvalidateGrid();
  MoveCaret(1, 1);
}

void TCustomComTerminal::MoveCaret(int column, int row) {
  const QPoint old = FCaretCell;
  FCaretCell = QPoint(std::clamp(column, 1, FColumns), std::clamp(row, 1, FRows));
  if (FHasCaret && old != FCaretCell) {
    // The window caret goes with it: both cells are drawn again.
    TPaintBatch batch(this);
    InvalidateCells(old.x(), old.y(), old.x(), old.y());
    InvalidateCells(FCaretCell.x(), FCaretCell.y(), FCaretCell.x(), FCaretCell.y());
  }
}

void TCustomComTerminal::AdvanceCaret(TAdvanceCaret Kind) {
  const int column = FCaretCell.x(), row = FCaretCell.y();
  switch (Kind) {
    case acChar:
      if (column < FColumns) {
        MoveCaret(column + 1, row);
      } else if (WrapLines) {
        if (row == FRows) {
          FBuffer.ScrollDown();
          MoveCaret(1, row);
        } else {
          MoveCaret(1, row + 1);
        }
      }
      // Without WrapLines the next character overwrites the last column.
      break;
    case acReturn: MoveCaret(1, row); break;
    case acLineFeed:
      if (row == FRows)
        FBuffer.ScrollDown();
      else
        MoveCaret(column, row + 1);
      break;
    case acReverseLineFeed:
      if (row == 1)
        FBuffer.ScrollUp();
      else
        MoveCaret(column, row - 1);
      break;
    case acTab:
      if (const int tab = FBuffer.NextTab(column + 1)) MoveCaret(tab, row);
      break;
    case acBackspace: MoveCaret(column - 1, row); break;
  }
}

void TCustomComTerminal::PutChar(char Ch) {
  const std::uint8_t byte = std::uint8_t(Ch);
  switch (byte) {
    case 8: AdvanceCaret(acBackspace); break;
    case 9: AdvanceCaret(acTab); break;
    case 10:
    case 12: AdvanceCaret(acLineFeed); break;
    case 13: AdvanceCaret(acReturn); break;
    default:
      if (byte >= 32) {
        const int column = FCaretCell.x(), row = FCaretCell.y();
        TComTermChar cell = GetCharAttr();
        cell.Ch = Ch;
        if (column <= FBuffer.Columns() && row <= FBuffer.Rows())
          FBuffer.Row(row)[column - 1] = cell;  // the caret is on the grid but after a resize
        InvalidateCells(column, row, column, row);
        AdvanceCaret(acChar);
      }
      break;
  }
  DoChar(Ch);
}

void TCustomComTerminal::PutText(const char* Text, std::size_t Count) {
  for (std::size_t i = 0; i < Count; ++i) PutChar(Text[i]);
}

TComTermChar TCustomComTerminal::GetCharAttr() const {
  TComTermChar cell;
  const TTermAttr& a = FCurrentAttr;
  // Bold shows as a colour, not as a heavier font.
  cell.FrontColor = a.Bold ? AltColor : a.Reverse ? a.BackColor : a.FrontColor;
  cell.BackColor = a.Reverse ? a.FrontColor : a.BackColor;
  cell.Underline = a.Underline;
  return cell;
}

void TCustomComTerminal::SetTermAttrColors(QRgb FrontColor, QRgb BackColor, bool Bold, bool Reverse) {
  FCurrentAttr.FrontColor = FrontColor;
  FCurrentAttr.BackColor = BackColor;
  FCurrentAttr.Bold = Bold;
  FCurrentAttr.Reverse = Reverse;
}

void TCustomComTerminal::SetAttributes(const TStrings& Params) {
  const auto reset = [this] {
    SetTermAttrColors(FFontColor, FColor, false, false);
    FCurrentAttr.Underline = false;
  };
  if (Params.empty()) reset();
  for (std::size_t i = 0; i < Params.size(); ++i) {
    switch (TEscapeCodes::GetParam(int(i + 1), &Params)) {
      case 0: reset(); break;
      case 1: FCurrentAttr.Bold = true; break;
      case 4: FCurrentAttr.Underline = true; break;
      case 7: FCurrentAttr.Reverse = true; break;
      case 21: FCurrentAttr.Bold = false; break;
      case 24: FCurrentAttr.Underline = false; break;
      case 27: FCurrentAttr.Reverse = false; break;
      default: break;
    }
  }
}

void TCustomComTerminal::SetMode(const TStrings& Params, bool OnOff) {
  if (Params.empty()) return;
  const std::string_view mode = Params[0];
  if (mode == "?1")
    FAppCursorKeys = OnOff;
  else if (mode == "?7")
    WrapLines = OnOff;
  else if (mode == "?3")
    SetColumns(OnOff ? 132 : 80);
}

void TCustomComTerminal::PerformTest(char Ch) {
  TPaintBatch batch(this);
  TComTermChar cell;
  cell.Ch = Ch;
  cell.FrontColor = FFontColor;
  cell.BackColor = FColor;
  for (int r = 1; r <= FBuffer.Rows(); ++r)
    for (int c = 1; c <= FBuffer.Columns(); ++c) FBuffer.SetChar(c, r, cell);
  InvalidateGrid();
}

void TCustomComTerminal::SaveCaretPos() { FSavedCaretCell = FCaretCell; }

void TCustomComTerminal::RestoreCaretPos() { MoveCaret(FSavedCaretCell.x(), FSavedCaretCell.y()); }

void TCustomComTerminal::SaveAttr() { FSavedAttr = FCurrentAttr; }

void TCustomComTerminal::RestoreAttr() { FCurrentAttr = FSavedAttr; }

bool TCustomComTerminal::PutEscapeCode(TEscapeCode Code, const TStrings& Params) {
  const auto p1 = [&Params] { return TEscapeCodes::GetParam(1, &Params); };
  const auto p2 = [&Params] { return TEscapeCodes::GetParam(2, &Params); };
  const int column = FCaretCell.x(), row = FCaretCell.y();
  switch (Code) {
    case ecCursorUp:
    case ecAppCursorUp: MoveCaret(column, row - p1()); break;
    case ecCursorDown: MoveCaret(column, row + p1()); break;
    case ecCursorLeft: MoveCaret(column - p1(), row); break;
    case ecCursorRight: MoveCaret(column + p1(), row); break;
    case ecCursorHome:
    case ecCursorMove: MoveCaret(p2(), p1()); break;
    case ecReverseLineFeed: AdvanceCaret(acReverseLineFeed); break;
    case ecEraseLineFrom: FBuffer.EraseLine(column, row); break;
    case ecEraseScreenFrom: FBuffer.EraseScreen(column, row); break;
    case ecEraseLine:
      FBuffer.EraseLine(1, row);
      MoveCaret(1, row);
      break;
    case ecEraseScreen:
      FBuffer.EraseScreen(1, 1);
      MoveCaret(1, 1);
      break;
    case ecSetTab: FBuffer.SetTab(column, true); break;
    case ecClearTab: FBuffer.SetTab(column, false); break;
    case ecClearAllTabs: FBuffer.ClearAllTabs(); break;
    case ecIdentify: {
      const TStrings answer{"2"};
      SendCodeNoEcho(ecIdentResponse, &answer);
      break;
    }
    case ecQueryDevice: SendCodeNoEcho(ecReportDeviceOK, nullptr); break;
    case ecQueryCursorPos: {
      const TStrings answer{std::to_string(row), std::to_string(column)};
      SendCodeNoEcho(ecReportCursorPos, &answer);
      break;
    }
    case ecAttributes: SetAttributes(Params); break;
    case ecSetMode: SetMode(Params, true); break;
    case ecResetMode: SetMode(Params, false); break;
    case ecReset: SetAttributes(TStrings{"0"}); break;
    case ecSaveCaretAndAttr:
      SaveCaretPos();
      SaveAttr();
      break;
    case ecRestoreCaretAndAttr:
      RestoreCaretPos();
      RestoreAttr();
      break;
    case ecSaveCaret: SaveCaretPos(); break;
    case ecRestoreCaret: RestoreCaretPos(); break;
    case ecTest: PerformTest('E'); break;
    default: return false;  // not performed
  }
  return true;
}

void TCustomComTerminal::WriteEscCode(TEscapeCode Code, const TStrings& Params) {
  if (!FEscapeCodes) return;
  TPaintBatch batch(this);
  PutEscapeCode(Code, Params);
}

// ------------------------------------------------------------- receiving

void TCustomComTerminal::Write(const void* Buffer, int Count) {
  WriteStr(std::string(static_cast<const char*>(Buffer), std::size_t(std::max(Count, 0))));
}

void TCustomComTerminal::WriteStr(const std::string& Str) {
  FListening = ReaderListens();
  // The view follows the caret unless the user reads lines above it.
  const bool follow = !ReadingBack();
  {
    TPaintBatch batch(this);
    TCaretHidden hidden(this);
    std::size_t i = 0;
    while (i < Str.size()) {
      TEscapeCodes* codes = FEscapeCodes.get();
      if (!codes) {
        Heard(&Str[i], 1);
        PutChar(Str[i++]);
      } else {
        i = FeedParser(*codes, Str, i);
      }
    }
  }
  if (follow) ShowCaretCell();
  if (FHeard.empty()) return;
  // A reader announces the latest output, not all of a flood.
  if (FHeard.size() > 2 * MaxHeard) FHeard.erase(0, FHeard.size() - MaxHeard);
  if (!FReaderTimer.isActive()) FReaderTimer.start();
}

std::size_t TCustomComTerminal::FeedParser(TEscapeCodes& codes, const std::string& Str, std::size_t index) {
  if (typeid(codes) == typeid(TEscapeCodesVT100)) return Feed(static_cast<TEscapeCodesVT100&>(codes), Str, index);
  if (typeid(codes) == typeid(TEscapeCodesVT52)) return Feed(static_cast<TEscapeCodesVT52&>(codes), Str, index);
  return Feed(codes, Str, index);
}

void TCustomComTerminal::RxBuf(TCustomComPort*, const std::uint8_t* Buffer, int Count) {
  if (Count <= 0) return;
  // Every chunk is shown whatever its size: the device hands over what it
  // has, several kilobytes at a time on a fast line.
  if (Buffer[0] == 0) OutputDebugString("nul");
  std::string str;
  str.reserve(std::size_t(Count));
  for (int i = 0; i < Count; ++i) {
    str += char(Buffer[i]);
    if (AppendLF && Buffer[i] == 13) str += char(10);
  }
  if (Force7Bit)
    for (char& c : str) c = char(std::uint8_t(c) & 0x7F);
  StringReceived(std::move(str));
}

void TCustomComTerminal::StringReceived(std::string Str) {
  DoStrRecieved(Str);
  WriteStr(Str);
}

// --------------------------------------------------------------- sending

void TCustomComTerminal::PasteText(const QString& text) {
  if (OnPaste && OnPaste(text)) return;
  if (Connected() && !PasteStart().empty()) FComPort->WriteStr(PasteStart());
  for (const char c : TextChars(text)) SendChar(c);
  if (Connected() && !PasteEnd().empty()) FComPort->WriteStr(PasteEnd());
}

std::string TCustomComTerminal::TextChars(const QString& text) const {
  std::string chars;
  for (const QChar ch : text) {
    if (ch == '\n') chars += char(13);  // a pasted line ends as a typed one does
    else if (ch.unicode() <= 255) chars += char(ch.unicode());
  }
  return chars;
}

void TCustomComTerminal::SendChar(char Ch) {
  TPaintBatch batch(this);
  if (LocalEcho) {
    PutChar(Ch);
    if (Ch == 13 && SendLF && !FComPort) PutChar(10);
  }
  if (Connected()) {
    FComPort->Write(&Ch, 1);
    if (Ch == 13 && SendLF) SendChar(10);
  }
}

void TCustomComTerminal::SendCode(TEscapeCode Code, const TStrings* Params) {
  if (!Connected() || !FEscapeCodes) return;
  FComPort->WriteStr(FEscapeCodes->EscCodeToStr(Code, Params));
  if (LocalEcho) {
    TPaintBatch batch(this);
    PutEscapeCode(Code, Params ? *Params : TStrings{});
  }
}

void TCustomComTerminal::SendCodeNoEcho(TEscapeCode Code, const TStrings* Params) {
  if (!Connected() || !FEscapeCodes) return;
  FComPort->WriteStr(FEscapeCodes->EscCodeToStr(Code, Params));
}

// ------------------------------------------------------ saving, loading

void TCustomComTerminal::SaveToStream(std::ostream& Stream) const {
  const int last = FBuffer.GetLastLine();
  for (int r = 1; r <= last; ++r) {
    const int length = FBuffer.GetLineLength(r);
    const TComTermChar* cells = FBuffer.Row(r);
    for (int c = 0; c < length; ++c) Stream.put(cells[c].Ch == 0 ? ' ' : cells[c].Ch);
    if (r < last) Stream.write("\r\n", 2);
  }
}

void TCustomComTerminal::LoadFromStream(std::istream& Stream) {
  TPaintBatch batch(this);
  TCaretHidden hidden(this);
  for (std::istreambuf_iterator<char> it(Stream), end; it != end; ++it) PutChar(*it);
}

// --------------------------------------------------------- notifications

void TCustomComTerminal::DoChar(char Ch) {
  if (OnChar) OnChar(this, Ch);
}

void TCustomComTerminal::DoGetEscapeCodes(TEscapeCodes*& EscapeCodes) {
  if (OnGetEscapeCodes) OnGetEscapeCodes(this, EscapeCodes);
}

void TCustomComTerminal::DoStrRecieved(std::string& Str) {
  if (OnStrRecieved) OnStrRecieved(this, Str);
}

void TCustomComTerminal::DoUnhandledCode(TEscapeCode Code, const std::string& Data) {
  if (OnUnhandledCode) OnUnhandledCode(this, Code, Data);
}
