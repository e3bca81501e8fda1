// Fuzzes the escape-code parsers and the terminal's receive path: the first
// byte picks the emulation (VT100/ANSI, VT52 or the extended VT102), the
// rest is what a host sends.
#include "CPortEscVT102.h"
#include "CPortTerm.h"
#include "CPortTermVT102.h"

#include <QApplication>

#include <cstdlib>

namespace {

TComTerminal* Terminal = nullptr;
TComTerminalVT102* Extended = nullptr;

}  // namespace

// The application and the terminal are made once, before the first input,
// so that the font caches they fill are not taken for leaks of an input.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  new QApplication(*argc, *argv);
  Terminal = new TComTerminal;
  Terminal->WriteStr("warm up\x1b[1mthe font\x1b[m\r\n");
  Extended = new TComTerminalVT102;
  Extended->WriteStr("warm up\x1b[1;31mthe font\x1b[m\x0e\x71\x0f\r\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int kind = data[0] % 3;
  const TTermEmulation emulation = kind == 1 ? teVT52 : teVT100orANSI;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

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

  // The terminal, fed in two pieces so that sequences are cut.
  TCustomComTerminal& terminal = kind == 2 ? static_cast<TCustomComTerminal&>(*Extended) : *Terminal;
  if (kind != 2) Terminal->SetEmulation(emulation);
  terminal.WrapLines = data[0] & 4;
  terminal.WriteStr(bytes.substr(0, bytes.size() / 2));
  terminal.WriteStr(bytes.substr(bytes.size() / 2));
  // A smaller grid leaves the caret where it was until it next moves, but
  // never beyond the largest grid.
  const QPoint caret = terminal.CaretCell();
  if (caret.x() < 1 || caret.x() > 256 || caret.y() < 1 || caret.y() > 100) std::abort();
  return 0;
}
