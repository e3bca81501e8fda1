// The terminal program's settings between runs, in the registry store
// beside the port's.
#include "TermForm.h"

#include "CPortTexts.h"
#include "Registry.h"
#include "SysUtils.h"

namespace {

const char* const TerminalKey = "Software\\HRVX3300\\TerminalWindow";

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

bool TTermForm::LoadSettings() {
  {
    TRegistry probe;
    if (!probe.OpenKey("Software\\HRVX3300\\" + ComPort.Name(), false)) return false;
  }
  ComPort.LoadSettings(stRegistry, SettingsPath);
  TRegistry reg;
  if (!reg.OpenKey(TerminalKey, false)) return true;
  const auto flag = [&](const char* name, bool& value) {
    if (reg.ValueExists(name)) value = StrToYesNo(reg.ReadString(name));
  };
  const auto number = [&](const char* name, int fallback) {
    int value = fallback;
    return reg.ValueExists(name) && TryStrToInt(reg.ReadString(name), value) ? value : fallback;
  };
  TCustomComTerminal& t = *Terminal;
  flag("LocalEcho", t.LocalEcho);
  flag("SendLF", t.SendLF);
  flag("AppendLF", t.AppendLF);
  flag("Force7Bit", t.Force7Bit);
  flag("WrapLines", t.WrapLines);
  t.SetCaret(TTermCaret(std::clamp(number("Caret", t.Caret()), 0, int(tcNone))));
  t.SetEmulation(TTermEmulation(std::clamp(number("Emulation", t.Emulation()), 0, int(teVT52))));
  bool fit = FitToWindow;
  flag("FitToWindow", fit);
  SetFitToWindow(fit);
  if (!fit) {
    t.SetColumns(number("Columns", t.Columns()));
    t.SetRows(number("Rows", t.Rows()));
  }
  t.ArrowKeys = TArrowKeys(std::clamp(number("ArrowKeys", t.ArrowKeys), 0, int(akWindows)));
  if (reg.ValueExists("Font")) {
    QFont font;
    if (font.fromString(Q(reg.ReadString("Font")))) t.SetFont(font);
  }
  ChosenFont = t.Font();
  bool extended = true, utf8 = Utf8, controlH = false, altEscape = AltSendsEscape, timeStamps = true, raw = false, reconnect = AutoReconnect,
       zmodem = ZmodemAuto;
  flag("Extended", extended);
  flag("Utf8", utf8);
  flag("BackspaceControlH", controlH);
  flag("AltSendsEscape", altEscape);
  flag("LogTimeStamps", timeStamps);
  flag("LogRaw", raw);
  flag("AutoReconnect", reconnect);
  flag("ZmodemAuto", zmodem);
  LogTimeAction->setChecked(timeStamps);
  LogRawAction->setChecked(raw);
  AutoReconnect = reconnect;
  ReconnectAction->setChecked(reconnect);
  ZmodemAuto = zmodem;
  ZmodemAutoAction->setChecked(zmodem);
  BreakMs = std::clamp(number("BreakMs", BreakMs), 10, 5000);
  bool sendLine = false, hex = false;
  flag("SendLine", sendLine);
  flag("SendHex", hex);
  SendBox->SetHex(hex);
  SendBox->SetLineEnd(TLineEnd(std::clamp(number("SendLineEnd", SendBox->LineEnd()), 0, int(leCRLF))));
  QStringList history;
  const int kept = std::clamp(number("SendHistoryCount", 0), 0, TSendLine::MaxHistory);
  for (int i = 0; i < kept; ++i) {
    const std::string name = "SendHistory" + std::to_string(i);
    if (reg.ValueExists(name)) history << Q(reg.ReadString(name));
  }
  SendBox->SetHistory(history);
  ShowSendLine(sendLine);
  RawCharDelay = std::clamp(number("RawCharDelayMs", RawCharDelay), 0, 10000);
  RawLineDelay = std::clamp(number("RawLineDelayMs", RawLineDelay), 0, 10000);
  SetScrollbackLines(number("Scrollback", ScrollbackLines));
  SetBackspaceKey(controlH ? bkControlH : bkDelete);
  SetAltSendsEscape(altEscape);
  SetColorScheme(number("ColorScheme", csDark) == csLight ? csLight : csDark);
  SetUtf8(utf8);
  UseTerminal(extended);
  return true;
}

void TTermForm::StoreSettings() {
  ComPort.StoreSettings(stRegistry, SettingsPath);
  TRegistry reg;
  if (!reg.OpenKey(TerminalKey, true)) throw Exception("Cannot keep the terminal's settings");
  const TCustomComTerminal& t = *Terminal;
  reg.WriteString("LocalEcho", YesNoToStr(t.LocalEcho));
  reg.WriteString("SendLF", YesNoToStr(t.SendLF));
  reg.WriteString("AppendLF", YesNoToStr(t.AppendLF));
  reg.WriteString("Force7Bit", YesNoToStr(t.Force7Bit));
  reg.WriteString("WrapLines", YesNoToStr(t.WrapLines));
  reg.WriteString("Caret", std::to_string(t.Caret()));
  reg.WriteString("Emulation", std::to_string(t.Emulation()));
  reg.WriteString("FitToWindow", YesNoToStr(FitToWindow));
  reg.WriteString("Columns", std::to_string(t.Columns()));
  reg.WriteString("Rows", std::to_string(t.Rows()));
  reg.WriteString("ArrowKeys", std::to_string(t.ArrowKeys));
  reg.WriteString("Font", ChosenFont.toString().toStdString());
  reg.WriteString("Extended", YesNoToStr(Extended()));
  reg.WriteString("Utf8", YesNoToStr(Utf8));
  reg.WriteString("BackspaceControlH", YesNoToStr(Backspace == bkControlH));
  reg.WriteString("AltSendsEscape", YesNoToStr(AltSendsEscape));
  reg.WriteString("ColorScheme", std::to_string(Scheme));
  reg.WriteString("Scrollback", std::to_string(ScrollbackLines));
  reg.WriteString("BreakMs", std::to_string(BreakMs));
  reg.WriteString("SendLine", YesNoToStr(SendBox->isVisibleTo(this)));
  reg.WriteString("SendHex", YesNoToStr(SendBox->Hex()));
  reg.WriteString("SendLineEnd", std::to_string(SendBox->LineEnd()));
  const QStringList history = SendBox->History();
  reg.WriteString("SendHistoryCount", std::to_string(history.size()));
  for (int i = 0; i < history.size(); ++i) reg.WriteString("SendHistory" + std::to_string(i), history[i].toStdString());
  reg.WriteString("RawCharDelayMs", std::to_string(RawCharDelay));
  reg.WriteString("RawLineDelayMs", std::to_string(RawLineDelay));
  reg.WriteString("AutoReconnect", YesNoToStr(AutoReconnect));
  reg.WriteString("ZmodemAuto", YesNoToStr(ZmodemAuto));
  reg.WriteString("LogTimeStamps", YesNoToStr(LogTimeAction->isChecked()));
  reg.WriteString("LogRaw", YesNoToStr(LogRawAction->isChecked()));
}
