// Reading and writing: blocking and asynchronous transfers, waiting for one
// event without the thread, queue counts, modem lines and line controls.
#include "CPort.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The component's error for a system error; a closed port has no device.
constexpr int NoDevice = EBADF;

}  // namespace

void CportInitAsync(PCPortAsync& async) { async = new TCPortAsync(); }


void CportDoneAsync(PCPortAsync& async) {
  delete async;
  async = nullptr;
}

void TCustomComPort::CheckAsync(PCPortAsync async) {
  if (!async) Raise(CError_InvalidAsync);
}

int TCustomComPort::WriteAsync(const void* buffer, int count, PCPortAsync async) {
  CheckAsync(async);
  async->Cancel();  // a record reused before its last operation completed
  async->Kind = okWrite;
  async->Size = std::max(count, 0);
  // Not zero-filled first: a large write's bytes are copied once.
  async->Data = std::make_unique_for_overwrite<std::uint8_t[]>(std::size_t(async->Size));
  if (async->Size > 0) std::memcpy(async->Data.get(), buffer, std::size_t(async->Size));
  // The device writes from the record's copy, so the caller's buffer may go.
  const auto device = LiveDevice();
  const int result = device ? device->WriteFile(async->Data.get(), std::uint32_t(async->Size), async->Overlapped) : NoDevice;
  if (result != 0 && result != ERROR_IO_PENDING) RaiseExt(CError_WriteFailed, result);
  if (result == ERROR_IO_PENDING) async->Device = device;
  SendSignalToLink(leTx, true);
  return result == 0 ? int(async->Overlapped.Done) : 0;
}

int TCustomComPort::WriteStrAsync(const std::string& str, PCPortAsync async) {
  if (str.empty()) return 0;
  return WriteAsync(str.data(), int(str.size()), async);
}

int TCustomComPort::Write(const void* buffer, int count) {
  if (!FOverlapped) {
    // The bytes that went out, within the time-outs; an error raises.
    const auto device = LiveDevice();
    if (!FConnected || !device) return 0;
    TComOverlapped ov;
    int result = device->WriteFile(buffer, std::uint32_t(std::max(count, 0)), ov);
    if (result == ERROR_IO_PENDING) result = device->GetOverlappedResult(ov, true);
    if (result != 0) RaiseExt(CError_WriteFailed, result);
    return int(ov.Done);
  }
  TCPortAsync async;
  WriteAsync(buffer, count, &async);
  PCPortAsync record = &async;
  return WaitForAsync(record);
}

int TCustomComPort::WriteStr(const std::string& str) {
  if (!FOverlapped) return Write(str.data(), int(str.size()));
  OutputDebugString("TCustomComPort.WriteStr");
  TCPortAsync async;
  WriteStrAsync(str, &async);
  PCPortAsync record = &async;
  return WaitForAsync(record);
}

int TCustomComPort::ReadAsync(void* buffer, int count, PCPortAsync async) {
  CheckAsync(async);
  async->Cancel();
  async->Kind = okRead;
  if (count > 0) *static_cast<std::uint8_t*>(buffer) = 0xFF;
  const auto device = LiveDevice();
  const int result = device ? device->ReadFile(buffer, std::uint32_t(std::max(count, 0)), async->Overlapped) : NoDevice;
  if (result == 0) return int(async->Overlapped.Done);
  if (result == ERROR_IO_PENDING) {
    async->Device = device;  // it may fill the record until it completes
    return 0;
  }
  // A closed port or a line that has gone: said, as a failed write is.
  async->Overlapped.Completed = true;
  async->Overlapped.Done = 0;
  async->Overlapped.Error = result;
  RaiseExt(CError_ReadFailed, result);
}

int TCustomComPort::ReadStrAsync(std::string& str, int count, PCPortAsync async) {
  if (count < 1) return 0;
  CheckAsync(async);
  async->Cancel();
  async->ReadBuffer = std::make_unique<std::uint8_t[]>(std::size_t(count));
  async->ReadTarget = nullptr;
  const int n = ReadAsync(async->ReadBuffer.get(), count, async);
  if (!async->Device) {
    str.assign(reinterpret_cast<const char*>(async->ReadBuffer.get()), async->Overlapped.Done);
    async->ReadBuffer.reset();
  } else {
    str.clear();
    async->ReadTarget = &str;  // filled when the read completes
  }
  return n;
}

int TCustomComPort::Read(void* buffer, int count) {
  TCPortAsync async;
  ReadAsync(buffer, count, &async);
  PCPortAsync record = &async;
  return WaitForAsync(record);
}

int TCustomComPort::ReadStr(std::string& str, int count) {
  str.clear();
  if (count < 1) return 0;
  std::string buffer(std::size_t(count), '\0');
  const int n = Read(buffer.data(), count);
  buffer.resize(std::size_t(n));
  str = std::move(buffer);
  return n;
}

int TCustomComPort::WaitForAsync(PCPortAsync& async) {
  CheckAsync(async);
  TComOverlapped& ov = async->Overlapped;
  // While the device has the operation, only the device reads the record.
  const int result = async->Device ? async->Device->GetOverlappedResult(ov, true) : ov.Error;
  async->Device.reset();
  if (result != 0) RaiseExt(async->Kind == okWrite ? CError_WriteFailed : CError_ReadFailed, result);
  const int done = int(ov.Done);
  if (async->ReadTarget) {
    async->ReadTarget->assign(reinterpret_cast<const char*>(async->ReadBuffer.get()), std::size_t(done));
    async->ReadTarget = nullptr;
    async->ReadBuffer.reset();
  }
  if (async->Kind == okRead) {
    // Only links hear that reception stopped; without them, no need to ask.
    if (!FLinks.empty() && InputCount() == 0) SendSignalToLink(leRx, false);
  } else if (async->Data) {
    TxNotifyLink(async->Data.get(), async->Size);
  }
  return done;
}

bool TCustomComPort::IsAsyncCompleted(PCPortAsync async) {
  CheckAsync(async);
  const int result = async->Device ? async->Device->GetOverlappedResult(async->Overlapped, false) : async->Overlapped.Error;
  if (result == 0) return true;
  if (result == ERROR_IO_PENDING || result == ERROR_IO_INCOMPLETE) return false;
  RaiseExt(CError_AsyncCheck, result);
}

void TCustomComPort::AbortAllAsync() {
  if (!FOverlapped) return;
  const auto device = LiveDevice();
  const int result = device ? device->PurgeComm(PURGE_TXABORT | PURGE_RXABORT) : NoDevice;
  if (result != 0) RaiseExt(CError_PurgeFailed, result);
}

void TCustomComPort::WaitForEvent(TComEvents& events, const TComStopEvent* stopEvent, int timeout) {
  if (FThreadCreated) Raise(CError_ThreadCreated);
  const auto device = LiveDevice();
  if (!device) RaiseExt(CError_WaitFailed, NoDevice);
  std::uint32_t mask = 0;
  device->SetCommMask(EventsToMask(events));
  const int result = device->WaitCommEvent(mask, stopEvent, timeout);
  device->SetCommMask(0);
  if (result == ERROR_WAIT_STOPPED) mask = 0;
  else if (result != 0) RaiseExt(CError_WaitFailed, result);
  events = MaskToEvents(mask);
}

void TCustomComPort::TransmitChar(char ch) {
  const auto device = LiveDevice();
  const int result = device ? device->TransmitCommChar(ch) : NoDevice;
  if (result != 0) RaiseExt(CError_TransmitFailed, result);
}

TComStat TCustomComPort::ComStat(std::uint32_t* errors) {
  TComStat stat;
  std::uint32_t e = 0;
  const auto device = LiveDevice();
  const int result = device ? device->ClearCommError(e, stat) : NoDevice;
  if (result != 0) RaiseExt(CError_ClearComFailed, result);
  if (errors) *errors = e;
  return stat;
}

int TCustomComPort::InputCount() { return int(ComStat().InQue); }

int TCustomComPort::OutputCount() { return int(ComStat().OutQue); }

std::uint8_t TCustomComPort::StateFlags() { return std::uint8_t(ComStat().Flags & 0xFF); }

TComErrors TCustomComPort::LastErrors() {
  std::uint32_t e = 0;
  ComStat(&e);
  TComErrors errors;
  if (e & CE_FRAME) errors.Include(ceFrame);
  if ((e & CE_RXPARITY) && FParity.Check()) errors.Include(ceRxParity);
  if (e & CE_OVERRUN) errors.Include(ceOverrun);
  if (e & CE_RXOVER) errors.Include(ceRxOver);
  if (e & CE_TXFULL) errors.Include(ceTxFull);
  if (e & CE_BREAK) errors.Include(ceBreak);
  if (e & CE_IOE) errors.Include(ceIO);
  if (e & CE_MODE) errors.Include(ceMode);
  return errors;
}

TComSignals TCustomComPort::Signals() {
  if (!FOverlapped) return {};
  std::uint32_t status = 0;
  const auto device = LiveDevice();
  const int result = device ? device->GetCommModemStatus(status) : NoDevice;
  if (result != 0) RaiseExt(CError_ModemStatFailed, result);
  TComSignals signals;
  if (status & MS_CTS_ON) signals.Include(csCTS);
  if (status & MS_DSR_ON) signals.Include(csDSR);
  if (status & MS_RING_ON) signals.Include(csRing);
  if (status & MS_RLSD_ON) signals.Include(csRLSD);
  return signals;
}

void TCustomComPort::Escape(std::uint32_t function) {
  const auto device = LiveDevice();
  const int result = device ? device->EscapeCommFunction(function) : NoDevice;
  if (result != 0) RaiseExt(CError_EscapeComFailed, result);
}

void TCustomComPort::SetBreak(bool onOff) { Escape(onOff ? SETBREAK : CLRBREAK); }
void TCustomComPort::SetDTR(bool onOff) { Escape(onOff ? SETDTR : CLRDTR); }
void TCustomComPort::SetRTS(bool onOff) { Escape(onOff ? SETRTS : CLRRTS); }
void TCustomComPort::SetXonXoff(bool onOff) { Escape(onOff ? SETXON : SETXOFF); }

void TCustomComPort::ClearBuffer(bool input, bool output) {
  std::uint32_t flags = 0;
  if (input) flags |= PURGE_RXCLEAR;
  if (output) flags |= PURGE_TXCLEAR;
  const auto device = LiveDevice();
  const int result = device ? device->PurgeComm(flags) : NoDevice;
  if (result != 0) RaiseExt(CError_PurgeFailed, result);
}
