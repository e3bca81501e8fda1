// Fuzzes the escape-code parsers and the terminal's receive path under the
// three emulations (VT100/ANSI, VT52 and the extended VT102), with the grid
// resized while a screen is up.
#include "CPortEscVT102.h"
#include "CPortTerm.h"
#include "CPortTermVT102.h"

#include <QApplication>

#include <cstdlib>

// The application is made once, and one terminal of each kind warms the font
// caches, so that what they fill is not taken for a leak of an input.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  new QApplication(*argc, *argv);
  static TComTerminal terminal;
  terminal.WriteStr("warm up\x1b[1mthe font\x1b[m\r\n");
  static TComTerminalVT102 extended;
  extended.WriteStr("warm up\x1b[1;31mthe font\x1b[m\x0e\x71\x0f\r\n");
  return 0;
}

// Input: a byte picking the emulation and wrapping, two picking the grid
// the terminal shrinks or grows to halfway, then what the host sends.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const int kind = data[0] % 3;
  const TTermEmulation emulation = kind == 1 ? teVT52 : teVT100orANSI;
  const std::string bytes(reinterpret_cast<const char*>(data + 3), size - 3);

  // The parser alone: no sequence outgrows its bound.
  TEscapeCodesVT100 vt100;
  TEscapeCodesVT52 vt52;
  TEscapeCodesVT102 vt102;
  TEscapeCodes& parser = kind == 1 ? static_cast<TEscapeCodes&>(vt52) : kind == 2 ? vt102 : vt100;
  for (char c : bytes) {
    if (parser.ProcessChar(c) == erCode) {
      (void)parser.EscCodeToStr(parser.LastCode, &parser.Parameters);
      parser.Parameters.clear();
    }
    if (parser.SequenceText.size() > TEscapeCodes::MaxSequence) std::abort();
  }

  // A fresh terminal, fed in two pieces so that sequences are cut, with the
  // grid resized between them; the caret stays on the grid throughout.
  TComTerminal basic;
  TComTerminalVT102 extended;
  TCustomComTerminal& terminal = kind == 2 ? static_cast<TCustomComTerminal&>(extended) : basic;
  if (kind != 2) basic.SetEmulation(emulation);
  terminal.WrapLines = data[0] & 4;
  const auto onGrid = [&terminal] {
    const QPoint caret = terminal.CaretCell();
    if (caret.x() < 1 || caret.x() > terminal.Columns() || caret.y() < 1 || caret.y() > terminal.Rows()) std::abort();
  };
  terminal.WriteStr(bytes.substr(0, bytes.size() / 2));
  terminal.SetColumns(2 + data[1] % 140);
  terminal.SetRows(2 + data[2] % 40);
  onGrid();
  terminal.WriteStr(bytes.substr(bytes.size() / 2));
  onGrid();
  return 0;
}
