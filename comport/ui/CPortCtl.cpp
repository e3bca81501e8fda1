#include "CPortCtl.h"

#include "CPortList.h"
#include "CPortTexts.h"
#include "Forms.h"

#include <QBitmap>
#include <QEvent>
#include <QPainter>
#include <QRadioButton>
#include <QVBoxLayout>

#include <strings.h>

namespace {

template <class E, class F>
void AddAll(TComItems* items, E last, F toStr) {
  for (int v = 0; v <= int(last); ++v) items->Add(QString::fromStdString(toStr(E(v))));
}

}  // namespace

int TComItems::IndexOf(const QString& text) const {
  for (int i = 0; i < Count(); ++i)
    if (Text(i).compare(text, Qt::CaseInsensitive) == 0) return i;
  return -1;
}

void TComSelect::SetComProperty(TComProperty value) {
  ComProperty = value;
  Items->Clear();
  switch (value) {
    case cpPort: {
      // A list that cannot be read leaves the box empty, not the dialog
      // unopened: the name can still be typed, and PortListError says why.
      std::vector<TComPortInfo> ports;
      PortListError.clear();
      try {
        EnumComPortInfo(ports);
      } catch (const std::exception& e) {
        PortListError = e.what();
      }
      for (const auto& p : ports) Items->Add(QString::fromStdString(PortEntry(p)));
      break;
    }
    case cpBaudRate: AddAll(Items, br256000, BaudRateToStr); break;
    case cpDataBits: AddAll(Items, dbEight, DataBitsToStr); break;
    case cpStopBits: AddAll(Items, sbTwoStopBits, StopBitsToStr); break;
    case cpParity: AddAll(Items, prSpace, ParityToStr); break;
    case cpFlowControl: AddAll(Items, fcCustom, FlowControlToStr); break;
    case cpNone: break;
  }
}

void TComSelect::Take(const QString& text) {
  const std::string t = text.toStdString();
  switch (ComProperty) {
    case cpPort: PendingPort = PortOfEntry(t); break;
    case cpBaudRate: PendingBaudRate = StrToBaudRate(t); break;
    case cpDataBits: PendingDataBits = StrToDataBits(t); break;
    case cpStopBits: PendingStopBits = StrToStopBits(t); break;
    case cpParity: PendingParity = StrToParity(t); break;
    case cpFlowControl: PendingFlowControl = StrToFlowControl(t); break;
    case cpNone: break;
  }
}

void TComSelect::Change(const QString& text) {
  Take(text);
  if (AutoApply) ApplySettings();
}

void TComSelect::ApplySettings() {
  if (!ComPort) return;
  switch (ComProperty) {
    case cpPort: ComPort->SetPort(PendingPort); break;
    case cpBaudRate: ComPort->SetBaudRate(PendingBaudRate); break;
    case cpDataBits: ComPort->SetDataBits(PendingDataBits); break;
    case cpStopBits: ComPort->SetStopBits(PendingStopBits); break;
    case cpParity: ComPort->Parity().SetBits(PendingParity); break;
    case cpFlowControl: ComPort->FlowControl().SetFlowControl(PendingFlowControl); break;
    case cpNone: break;
  }
}

void TComSelect::UpdateSettings(int& itemIndex) {
  if (!ComPort || ComProperty == cpNone) return;
  std::string text;
  switch (ComProperty) {
    case cpPort: text = ComPort->Port(); break;
    case cpBaudRate: text = BaudRateToStr(ComPort->BaudRate()); break;
    case cpDataBits: text = DataBitsToStr(ComPort->DataBits()); break;
    case cpStopBits: text = StopBitsToStr(ComPort->StopBits()); break;
    case cpParity: text = ParityToStr(ComPort->Parity().Bits()); break;
    case cpFlowControl: text = FlowControlToStr(ComPort->FlowControl().FlowControl()); break;
    case cpNone: break;
  }
  itemIndex = Items->IndexOf(QString::fromStdString(text));
  for (int i = 0; ComProperty == cpPort && itemIndex < 0 && i < Items->Count(); ++i)
    if (::strcasecmp(PortOfEntry(Items->Text(i).toStdString()).c_str(), text.c_str()) == 0) itemIndex = i;
  if (itemIndex >= 0) Take(Items->Text(itemIndex));
}

TComComboBox::TComComboBox(QWidget* parent) : QComboBox(parent) {
  FSelect.Items = this;
  setEditable(false);  // a drop-down list
  connect(this, &QComboBox::activated, this, Guarded([this](int) { FSelect.Change(Text()); }));
}

TComComboBox::~TComComboBox() { BindComPort(FSelect.ComPort, nullptr, this); }

void TComComboBox::SetComPort(TCustomComPort* port) {
  if (BindComPort(FSelect.ComPort, port, this) && port) UpdateSettings();
}

void TComComboBox::SetComProperty(TComProperty value) {
  FSelect.SetComProperty(value);
  if (count() == 0) return;
  if (FSelect.ComPort)
    UpdateSettings();
  else
    setCurrentIndex(0);
}

void TComComboBox::SetText(const QString& text) {
  const int index = findText(text);
  if (index >= 0) setCurrentIndex(index);
}

void TComComboBox::ApplySettings() {
  // A port box that takes typing applies the name typed.
  const std::string typed = PortOfEntry(currentText().trimmed().toStdString());
  if (isEditable() && FSelect.ComProperty == cpPort && !typed.empty()) FSelect.PendingPort = typed;
  FSelect.ApplySettings();
}

void TComComboBox::RefreshPorts() {
  if (FSelect.ComProperty != cpPort) return;
  std::vector<TComPortInfo> ports;
  std::string error;
  try {
    EnumComPortInfo(ports);
  } catch (const std::exception& e) {
    error = e.what();
  }
  // Unchanged (the list, and at most one name of the user's own after it):
  // an open list is left alone.
  const int own = count() - int(ports.size());
  bool same = error == FSelect.PortListError && (own == 0 || own == 1);
  for (std::size_t i = 0; same && i < ports.size(); ++i) same = itemText(int(i)).toStdString() == PortEntry(ports[i]);
  if (same) return;
  const QString current = currentText();
  const QSignalBlocker quiet(this);
  FSelect.SetComProperty(cpPort);
  // The same port stays chosen, also when its entry moved or went; a name
  // of the user's own (typed, or outside the list) stays as it was.
  const std::string port = PortOfEntry(current.toStdString());
  int index = -1;
  for (int i = 0; i < count() && index < 0; ++i)
    if (PortOfEntry(itemText(i).toStdString()) == port) index = i;
  if (index < 0 && !current.isEmpty()) {
    addItem(current);
    index = count() - 1;
  }
  setCurrentIndex(index);
}

void TComComboBox::UpdateSettings() {
  if (!FSelect.ComPort || FSelect.ComProperty == cpNone) return;
  int index = currentIndex();
  FSelect.UpdateSettings(index);
  setCurrentIndex(index);
}

void TComComboBox::PortDestroyed(TCustomComPort* port) {
  if (port != FSelect.ComPort) return;
  FSelect.ComPort = nullptr;
  if (count() > 0) setCurrentIndex(0);
}

TComRadioGroup::TComRadioGroup(const QString& caption, QWidget* parent) : QGroupBox(caption, parent) {
  FSelect.Items = this;
  setLayout(new QVBoxLayout);
  FButtons.setExclusive(true);
  connect(&FButtons, &QButtonGroup::idClicked, this, Guarded([this](int) { Clicked(); }));
}

TComRadioGroup::~TComRadioGroup() { BindComPort(FSelect.ComPort, nullptr, this); }

void TComRadioGroup::Clear() {
  for (QAbstractButton* b : FButtons.buttons()) {
    FButtons.removeButton(b);
    delete b;
  }
  FTexts.clear();
}

void TComRadioGroup::Add(const QString& text) {
  auto* button = new QRadioButton(text, this);
  layout()->addWidget(button);
  FButtons.addButton(button, int(FTexts.size()));
  FTexts << text;
}

int TComRadioGroup::ItemIndex() const { return FButtons.checkedId(); }

void TComRadioGroup::SetItemIndex(int index) {
  if (QAbstractButton* b = FButtons.button(index)) {
    b->setChecked(true);
  } else if (QAbstractButton* checked = FButtons.checkedButton()) {
    FButtons.setExclusive(false);  // an exclusive group cannot uncheck its last button
    checked->setChecked(false);
    FButtons.setExclusive(true);
  }
}

void TComRadioGroup::SetComPort(TCustomComPort* port) {
  if (BindComPort(FSelect.ComPort, port, this) && port) UpdateSettings();
}

void TComRadioGroup::SetComProperty(TComProperty value) {
  FSelect.SetComProperty(value);
  if (Count() == 0) return;
  if (FSelect.ComPort) {
    UpdateSettings();
  } else {
    SetItemIndex(0);
    LastTakenIndex = 0;
  }
}

void TComRadioGroup::UpdateSettings() {
  if (!FSelect.ComPort || FSelect.ComProperty == cpNone) return;
  int index = ItemIndex();
  FSelect.UpdateSettings(index);
  SetItemIndex(index);
  LastTakenIndex = index;
}

void TComRadioGroup::Clicked() {
  const int index = ItemIndex();
  if (index != LastTakenIndex) {
    if (index >= 0) FSelect.Change(FTexts.value(index));
    LastTakenIndex = index;
  }
}

void TComRadioGroup::PortDestroyed(TCustomComPort* port) {
  if (port != FSelect.ComPort) return;
  FSelect.ComPort = nullptr;
  if (Count() > 0) {
    SetItemIndex(0);
    LastTakenIndex = 0;
  }
}

// ------------------------------------------------------------ signal LED

// The images live in a resource compiled into this library.
static void InitLedResources() { Q_INIT_RESOURCE(leds); }

namespace {

// The bottom-left pixel's colour becomes transparent.
QPixmap Transparent(const QPixmap& pixmap) {
  if (pixmap.isNull()) return pixmap;
  const QImage image = pixmap.toImage();
  QPixmap result = QPixmap::fromImage(image);
  result.setMask(QBitmap::fromImage(image.createMaskFromColor(image.pixel(0, image.height() - 1), Qt::MaskInColor)));
  return result;
}

}  // namespace

QPixmap TComLed::BuiltInGlyph(TLedKind kind, TLedState state) {
  static const char* const Names[] = {"RED", "GREEN", "BLUE", "YELLOW", "PURPLE", "BULB"};
  if (kind == lkCustom) return {};
  InitLedResources();
  const QString name = QString(":/leds/LED%1%2").arg(Names[kind], state == lsOn ? "ON" : "OFF");
  return Transparent(QPixmap(name, "BMP"));
}

TComLed::TComLed(QWidget* parent) : QWidget(parent) {
  resize(25, 25);
  FLink.OnConn = [this](TCustomComPort* s, bool on) { SignalChange(s, on); };
  FTimer.setSingleShot(false);
  QObject::connect(&FTimer, &QTimer::timeout, this, Guarded([this] { TimerExpired(); }));
  setAccessibleDescription("off");
}

TComLed::~TComLed() {
  FTimer.stop();
  FDestroying = true;  // unbinding tells nobody any more
  SetComPort(nullptr);
}

void TComLed::SetComPort(TCustomComPort* port) {
  if (!BindComPort(FComPort, port, this, &FLink)) return;
  if (!port) {
    ApplyState(lsOff);
    return;
  }
  if (!port->Connected() || FLoading) return;
  switch (FLedSignal) {
    case lsConn: ApplyState(lsOn); break;
    case lsCTS: ApplyState(port->Signals().Contains(csCTS) ? lsOn : lsOff); break;
    case lsDSR: ApplyState(port->Signals().Contains(csDSR) ? lsOn : lsOff); break;
    case lsRLSD: ApplyState(port->Signals().Contains(csRLSD) ? lsOn : lsOff); break;
    default: ApplyState(lsOff); break;
  }
}

void TComLed::PortDestroyed(TCustomComPort* port) {
  if (port == FComPort) SetComPort(nullptr);
}

void TComLed::SetLedSignal(TComLedSignal value) {
  if (value == FLedSignal) return;
  FLedSignal = value;
  FLink.OnConn = FLink.OnCTSChange = FLink.OnDSRChange = FLink.OnRLSDChange = FLink.OnTx = FLink.OnRx = nullptr;
  FLink.OnRing = nullptr;
  const auto change = [this](TCustomComPort* s, bool on) { SignalChange(s, on); };
  switch (value) {
    case lsConn: FLink.OnConn = change; break;
    case lsCTS: FLink.OnCTSChange = change; break;
    case lsDSR: FLink.OnDSRChange = change; break;
    case lsRLSD: FLink.OnRLSDChange = change; break;
    case lsRing: FLink.OnRing = [this](TCustomComPort* s) { RingDetect(s); }; break;
    case lsRx: FLink.OnRx = change; break;
    case lsTx: FLink.OnTx = change; break;
  }
}

void TComLed::SetKind(TLedKind value) {
  if (value == FKind) return;
  FKind = value;
  if (value != lkCustom) {
    FGlyphOn = BuiltInGlyph(value, lsOn);
    FGlyphOff = BuiltInGlyph(value, lsOff);
  }
  update();
}

void TComLed::SetGlyphOn(const QPixmap& value) {
  if (FKind != lkCustom) return;
  FGlyphOn = Transparent(value);
  update();
}

void TComLed::SetGlyphOff(const QPixmap& value) {
  if (FKind != lkCustom) return;
  FGlyphOff = Transparent(value);
  update();
}

void TComLed::SetState(TLedState value) {
  if (FComPort) throw EComPort("ComLed ", CError_LedStateFailed);
  ApplyState(value);
}

void TComLed::ApplyState(TLedState value) {
  FState = value;
  setAccessibleDescription(value == lsOn ? "on" : "off");
  if (!FLoading && !FDestroying) DoChange(value);
  update();
}

void TComLed::DoChange(TLedState AState) {
  if (OnChange) OnChange(this, AState);
}

void TComLed::SignalChange(TCustomComPort*, bool OnOff) {
  if (OnOff) {
    FTimer.stop();  // cancels a pending switch-off
    if (FState == lsOn) return;
    ApplyState(lsOn);
    // Drawn at once, so the lamp shows while a long transfer keeps the UI
    // thread busy; nothing else is processed here.
    repaint();
  } else if (FState == lsOn && !FTimer.isActive()) {
    // A short burst still lights the lamp for 100 ms.
    FDelayedState = lsOff;
    FTimer.start(100);
  }
}

void TComLed::RingDetect(TCustomComPort*) {
  FTimer.start(FRingDuration);
  ApplyState(lsOn);
  FDelayedState = lsOff;
}

void TComLed::TimerExpired() {
  FTimer.stop();
  ApplyState(FDelayedState);
}

void TComLed::LoadGlyphs() {
  if (FKind == lkCustom || (!FGlyphOn.isNull() && !FGlyphOff.isNull())) return;
  FGlyphOn = BuiltInGlyph(FKind, lsOn);
  FGlyphOff = BuiltInGlyph(FKind, lsOff);
}

void TComLed::paintEvent(QPaintEvent*) {
  LoadGlyphs();
  const TLedBitmap& glyph = FState == lsOn && isEnabled() ? FGlyphOn : FGlyphOff;
  if (glyph.isNull()) return;
  const QRect client = rect();
  const int left = client.left() + std::max(0, (client.width() - glyph.width()) / 2);
  const int top = client.top() + std::max(0, (client.height() - glyph.height()) / 2);
  QPainter(this).drawPixmap(left, top, glyph);
}

void TComLed::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) update();
  QWidget::changeEvent(event);
}
