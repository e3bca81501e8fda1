// Port-bound controls: selectors that offer the values of one port setting,
// show the bound port's value and apply the user's pick; and the signal LED.
#pragma once

#include "CPort.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QPixmap>
#include <QStringList>
#include <QTimer>

enum TComProperty { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };

// The entries of the control that hosts a selector engine.
class TComItems {
public:
  virtual ~TComItems() = default;
  virtual void Clear() = 0;
  virtual void Add(const QString& text) = 0;
  virtual int Count() const = 0;
  virtual QString Text(int index) const = 0;
  // The first entry equal to text without regard to case, or -1.
  int IndexOf(const QString& text) const;
};

// The engine the selectors share; it works on its host's entries.
class TComSelect {
public:
  std::string PendingPort;
  TBaudRate PendingBaudRate = brCustom;
  TDataBits PendingDataBits = dbFive;
  TStopBits PendingStopBits = sbOneStopBit;
  TParityBits PendingParity = prNone;
  TFlowControl PendingFlowControl = fcHardware;
  TComItems* Items = nullptr;
  TComProperty ComProperty = cpNone;
  TCustomComPort* ComPort = nullptr;
  bool AutoApply = false;
  // Why the port list is short: the system's list could not be read.
  std::string PortListError;

  void SetComProperty(TComProperty value);
  void Change(const QString& text);
  void ApplySettings();
  void UpdateSettings(int& itemIndex);

private:
  void Take(const QString& text);
};

// A drop-down list bound to one setting of a port.
class TComComboBox : public QComboBox, private TComItems, private TComFreeNotify {
public:
  explicit TComComboBox(QWidget* parent = nullptr);
  ~TComComboBox() override;

  TCustomComPort* ComPort() const { return FSelect.ComPort; }
  void SetComPort(TCustomComPort* port);
  TComProperty ComProperty() const { return FSelect.ComProperty; }
  void SetComProperty(TComProperty value);
  bool AutoApply() const { return FSelect.AutoApply; }
  void SetAutoApply(bool value) { FSelect.AutoApply = value; }
  // The selected entry's text, or empty; setting it selects the first equal entry.
  QString Text() const { return currentIndex() < 0 ? QString() : currentText(); }
  void SetText(const QString& text);

  void ApplySettings();
  void UpdateSettings();
  // Reads the port list again (adapters come and go), keeping the choice.
  void RefreshPorts();
  const TComSelect& Select() const { return FSelect; }

private:
  void Clear() override { clear(); }
  void Add(const QString& text) override { addItem(text); }
  int Count() const override { return count(); }
  QString Text(int index) const override { return itemText(index); }
  void PortDestroyed(TCustomComPort* port) override;

  TComSelect FSelect;
};

// A group of radio buttons bound to one setting of a port.
class TComRadioGroup : public QGroupBox, private TComItems, private TComFreeNotify {
public:
  explicit TComRadioGroup(const QString& caption = QString(), QWidget* parent = nullptr);
  ~TComRadioGroup() override;

  TCustomComPort* ComPort() const { return FSelect.ComPort; }
  void SetComPort(TCustomComPort* port);
  TComProperty ComProperty() const { return FSelect.ComProperty; }
  void SetComProperty(TComProperty value);
  bool AutoApply() const { return FSelect.AutoApply; }
  void SetAutoApply(bool value) { FSelect.AutoApply = value; }
  int ItemIndex() const;
  void SetItemIndex(int index);
  int LastTakenIndex = -1;

  void ApplySettings();
  void UpdateSettings();
  // Reads the port list again (adapters come and go), keeping the choice.
  void RefreshPorts();
  const TComSelect& Select() const { return FSelect; }
  QAbstractButton* Button(int index) const { return FButtons.button(index); }

private:
  void Clear() override;
  void Add(const QString& text) override;
  int Count() const override { return int(FTexts.size()); }
  QString Text(int index) const override { return FTexts.value(index); }
  void PortDestroyed(TCustomComPort* port) override;
  void Clicked();

  TComSelect FSelect;
  QStringList FTexts;
  QButtonGroup FButtons;
};

// The signal LED: a lamp that shows one signal of a port, or, unbound, a
// lamp the program switches.
enum TLedKind { lkRedLight, lkGreenLight, lkBlueLight, lkYellowLight, lkPurpleLight, lkBulb, lkCustom };
enum TComLedSignal { lsConn, lsCTS, lsDSR, lsRLSD, lsRing, lsRx, lsTx };
enum TLedState { lsOff, lsOn };

class TLedBitmap : public QPixmap {
public:
  using QPixmap::QPixmap;
  TLedBitmap(const QPixmap& pixmap) : QPixmap(pixmap) {}
};

class TComLed;
using TLedStateEvent = std::function<void(TComLed* Sender, TLedState AState)>;

class TComLed : public QWidget, private TComFreeNotify {
public:
  explicit TComLed(QWidget* parent = nullptr);
  ~TComLed() override;

  TCustomComPort* ComPort() const { return FComPort; }
  void SetComPort(TCustomComPort* port);
  TComLedSignal LedSignal() const { return FLedSignal; }
  // Sets the one link slot the signal needs; the lamp follows the next
  // notification.
  void SetLedSignal(TComLedSignal value);
  TLedKind Kind() const { return FKind; }
  void SetKind(TLedKind value);
  const TLedBitmap& GlyphOn() const { return FGlyphOn; }
  const TLedBitmap& GlyphOff() const { return FGlyphOff; }
  // Taken only while Kind is lkCustom; the bottom-left pixel's colour
  // becomes transparent.
  void SetGlyphOn(const QPixmap& value);
  void SetGlyphOff(const QPixmap& value);
  TLedState State() const { return FState; }
  // The program's switch: refused (EComPort code 19) while a port is bound.
  void SetState(TLedState value);
  int RingDuration() const { return FRingDuration; }
  void SetRingDuration(int value) { FRingDuration = value; }

  TLedStateEvent OnChange;

  void BeginLoading() { FLoading = true; }
  void Loaded() { FLoading = false; }
  QSize sizeHint() const override { return QSize(25, 25); }

  // The built-in image of a kind ("LEDREDON" ...); null for lkCustom.
  static QPixmap BuiltInGlyph(TLedKind kind, TLedState state);

protected:
  virtual void DoChange(TLedState AState);
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  void SignalChange(TCustomComPort* Sender, bool OnOff);
  void RingDetect(TCustomComPort* Sender);
  void TimerExpired();
  void ApplyState(TLedState value);
  void LoadGlyphs();
  void PortDestroyed(TCustomComPort* port) override;

  TCustomComPort* FComPort = nullptr;
  TComLink FLink;
  TComLedSignal FLedSignal = lsConn;
  TLedKind FKind = lkRedLight;
  TLedBitmap FGlyphOn;
  TLedBitmap FGlyphOff;
  TLedState FState = lsOff;
  TLedState FDelayedState = lsOff;
  int FRingDuration = 1000;
  bool FLoading = false;
  bool FDestroying = false;
  QTimer FTimer;
};
