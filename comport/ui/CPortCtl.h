// Port-bound selectors: list controls that offer the values of one port
// setting, show the bound port's value and apply the user's pick.
#pragma once

#include "CPort.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QStringList>

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

  void SetComProperty(TComProperty value);
  void Change(const QString& text);
  void ApplySettings();
  void UpdateSettings(int& itemIndex);
  // Binds port, moving watcher's free notification along; false when it
  // was already the bound one.
  bool Bind(TCustomComPort* port, TComFreeNotify* watcher);

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

  void ApplySettings() { FSelect.ApplySettings(); }
  void UpdateSettings();
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

  void ApplySettings() { FSelect.ApplySettings(); }
  void UpdateSettings();
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
