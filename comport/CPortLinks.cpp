// Events and links: what the port raises for each line event and at each
// open and close, and how it tells the components linked to it. Every
// delivery stops as soon as a handler closes, reopens or destroys the port,
// and a link that leaves during a delivery is not called again.
#include "CPortThread.h"

#include <algorithm>

namespace {

bool HasRxBuf(const std::vector<TComLink*>& links) {
  return std::any_of(links.begin(), links.end(), [](TComLink* l) { return bool(l->OnRxBuf); });
}

}  // namespace

void TCustomComPort::RegisterLink(TComLink* link) {
  if (IsLinked(link)) Raise(CError_RegFailed);
  FLinks.push_back(link);
  FHasLink = HasRxBuf(FLinks);
}

void TCustomComPort::UnRegisterLink(TComLink* link) {
  const auto it = std::find(FLinks.begin(), FLinks.end(), link);
  if (it == FLinks.end()) Raise(CError_RegFailed);
  FLinks.erase(it);
  FHasLink = HasRxBuf(FLinks);
}

bool BindComPort(TCustomComPort*& bound, TCustomComPort* port, TComFreeNotify* watcher, TComLink* link) {
  if (port == bound) return false;
  if (bound) {
    if (link) bound->UnRegisterLink(link);
    bound->RemoveFreeNotification(watcher);
  }
  bound = port;
  if (port) {
    port->FreeNotification(watcher);
    if (link) port->RegisterLink(link);
  }
  return true;
}

bool TCustomComPort::IsLinked(TComLink* link) const {
  return std::find(FLinks.begin(), FLinks.end(), link) != FLinks.end();
}

void TCustomComPort::SendSignalToLink(TComLinkEvent kind, bool onOff) {
  const TComDelivery delivery(this);
  for (TComLink* link : std::vector<TComLink*>(FLinks)) {
    if (delivery.Ended()) return;
    if (!IsLinked(link)) continue;  // it left during this delivery
    TComSignalEvent* slot = nullptr;
    switch (kind) {
      case leConn: slot = &link->OnConn; break;
      case leCTS: slot = &link->OnCTSChange; break;
      case leDSR: slot = &link->OnDSRChange; break;
      case leRLSD: slot = &link->OnRLSDChange; break;
      case leRx: slot = &link->OnRx; break;
      case leTx: slot = &link->OnTx; break;
      default: return;
    }
    if (*slot) (*slot)(this, onOff);
  }
}

void TCustomComPort::NotifyLink(TComLinkEvent kind) {
  const TComDelivery delivery(this);
  for (TComLink* link : std::vector<TComLink*>(FLinks)) {
    if (delivery.Ended()) return;
    if (!IsLinked(link)) continue;
    TNotifyEvent* slot = nullptr;
    switch (kind) {
      case leRing: slot = &link->OnRing; break;
      case leTxEmpty: slot = &link->OnTxEmpty; break;
      case leRxFlag: slot = &link->OnRxFlag; break;
      default: return;
    }
    if (*slot) (*slot)(this);
  }
}

void TCustomComPort::TxNotifyLink(const std::uint8_t* buffer, int count) {
  const TComDelivery delivery(this);
  for (TComLink* link : std::vector<TComLink*>(FLinks)) {
    if (delivery.Ended()) return;
    if (IsLinked(link) && link->OnTxData) link->OnTxData(this, buffer, count);
  }
}

void TCustomComPort::CallBeforeOpen() { DoBeforeOpen(); }

void TCustomComPort::CallAfterOpen() {
  const TComDelivery delivery(this);
  SendSignalToLink(leConn, true);
  if (delivery.Ended()) return;
  DoAfterOpen();
  if (delivery.Ended()) return;
  CheckSignals(true);
}

void TCustomComPort::CallBeforeClose() {
  const TComDelivery delivery(this);
  CheckSignals(false);
  if (delivery.Ended()) return;
  DoBeforeClose();
}

void TCustomComPort::CallAfterClose() {
  const TComDelivery delivery(this);
  SendSignalToLink(leConn, false);
  if (delivery.Ended()) return;
  DoAfterClose();
}

void TCustomComPort::CheckSignals(bool open) {
  const TComDelivery delivery(this);
  if (open) {
    CallCTSChange();
    if (!delivery.Ended()) CallDSRChange();
    if (!delivery.Ended()) CallRLSDChange();
    return;
  }
  SendSignalToLink(leCTS, false);
  SendSignalToLink(leDSR, false);
  SendSignalToLink(leRLSD, false);
  if (!delivery.Ended()) DoCTSChange(false);
  if (!delivery.Ended()) DoDSRChange(false);
  if (!delivery.Ended()) DoRLSDChange(false);
}

void TCustomComPort::CallError() {
  const TComErrors errors = LastErrors();
  if (!errors.Empty()) DoError(errors);
}

void TCustomComPort::CallRxChar() {
  const TComDelivery delivery(this);
  const int count = InputCount();
  if (count <= 0) return;
  SendSignalToLink(leRx, true);
  if (delivery.Ended()) return;
  if (!TriggersOnRxChar()) {
    // The port reads, at most once, and its own OnRxBuf sees the bytes
    // before any link does; every link sees the same buffer.
    std::unique_ptr<std::uint8_t[]> buffer;
    const auto readData = [&] {
      buffer = std::make_unique<std::uint8_t[]>(std::size_t(count));
      Read(buffer.get(), count);
      DoRxBuf(buffer.get(), count);
    };
    for (TComLink* link : std::vector<TComLink*>(FLinks)) {
      if (!IsLinked(link) || !link->OnRxBuf) continue;
      if (!buffer) {
        readData();
        if (delivery.Ended()) return;
      }
      link->OnRxBuf(this, buffer.get(), count);
      if (delivery.Ended()) return;
    }
    if (!buffer && !FTriggersOnRxChar) readData();
    if (buffer) return;
  }
  DoRxChar(count);  // the application reads the bytes itself
}

void TCustomComPort::CallTxEmpty() {
  const TComDelivery delivery(this);
  SendSignalToLink(leTx, false);
  if (delivery.Ended()) return;
  NotifyLink(leTxEmpty);
  if (delivery.Ended()) return;
  DoTxEmpty();
}

void TCustomComPort::CallBreak() { DoBreak(); }

void TCustomComPort::CallRing() {
  const TComDelivery delivery(this);
  NotifyLink(leRing);
  if (!delivery.Ended()) DoRing();
}

void TCustomComPort::CallCTSChange() {
  const TComDelivery delivery(this);
  const bool onOff = Signals().Contains(csCTS);
  SendSignalToLink(leCTS, onOff);
  if (!delivery.Ended()) DoCTSChange(onOff);
}

void TCustomComPort::CallDSRChange() {
  const TComDelivery delivery(this);
  const bool onOff = Signals().Contains(csDSR);
  SendSignalToLink(leDSR, onOff);
  if (!delivery.Ended()) DoDSRChange(onOff);
}

void TCustomComPort::CallRLSDChange() {
  const TComDelivery delivery(this);
  const bool onOff = Signals().Contains(csRLSD);
  SendSignalToLink(leRLSD, onOff);
  if (!delivery.Ended()) DoRLSDChange(onOff);
}

void TCustomComPort::CallRxFlag() {
  const TComDelivery delivery(this);
  NotifyLink(leRxFlag);
  if (!delivery.Ended()) DoRxFlag();
}

void TCustomComPort::CallRx80Full() { DoRx80Full(); }

void TCustomComPort::DoAfterClose() { if (OnAfterClose) OnAfterClose(this); }
void TCustomComPort::DoAfterOpen() { if (OnAfterOpen) OnAfterOpen(this); }
void TCustomComPort::DoBeforeClose() { if (OnBeforeClose) OnBeforeClose(this); }
void TCustomComPort::DoBeforeOpen() { if (OnBeforeOpen) OnBeforeOpen(this); }
void TCustomComPort::DoRxChar(int count) { if (OnRxChar) OnRxChar(this, count); }
void TCustomComPort::DoRxBuf(const std::uint8_t* buffer, int count) { if (OnRxBuf) OnRxBuf(this, buffer, count); }
void TCustomComPort::DoTxEmpty() { if (OnTxEmpty) OnTxEmpty(this); }
void TCustomComPort::DoBreak() { if (OnBreak) OnBreak(this); }
void TCustomComPort::DoRing() { if (OnRing) OnRing(this); }
void TCustomComPort::DoRxFlag() { if (OnRxFlag) OnRxFlag(this); }
void TCustomComPort::DoCTSChange(bool onOff) { if (OnCTSChange) OnCTSChange(this, onOff); }
void TCustomComPort::DoDSRChange(bool onOff) { if (OnDSRChange) OnDSRChange(this, onOff); }
void TCustomComPort::DoError(TComErrors errors) { if (OnError) OnError(this, errors); }
void TCustomComPort::DoRLSDChange(bool onOff) { if (OnRLSDChange) OnRLSDChange(this, onOff); }
void TCustomComPort::DoRx80Full() { if (OnRx80Full) OnRx80Full(this); }
