// The data packet: cuts the bytes a port receives into packets, described
// by a start string, a stop string, a fixed size or handlers that find the
// start and the end. Any number of them can follow one port through links.
#pragma once

#include "CPort.h"

#include <string>
#include <string_view>

class TComDataPacket;

using TComStrEvent = std::function<void(TComDataPacket* Sender, const std::string& Str)>;
// Pos counts from 1; the handler sets it to where the start (or the end) is.
using TCustPacketEvent = std::function<void(TComDataPacket* Sender, std::string_view Str, int& Pos)>;

class TComDataPacket : private TComFreeNotify {
public:
  TComDataPacket();
  ~TComDataPacket() override;
  TComDataPacket(const TComDataPacket&) = delete;
  TComDataPacket& operator=(const TComDataPacket&) = delete;

  TCustomComPort* ComPort() const { return FComPort; }
  void SetComPort(TCustomComPort* port);
  bool CaseInsensitive() const { return FCaseInsensitive; }
  void SetCaseInsensitive(bool value);
  bool IncludeStrings() const { return FIncludeStrings; }
  void SetIncludeStrings(bool value) { FIncludeStrings = value; }
  // The collected data is discarded once it reaches this many bytes; 0 or
  // less: no limit.
  int MaxBufferSize() const { return FMaxBufferSize; }
  void SetMaxBufferSize(int value) { FMaxBufferSize = value; }
  const std::string& StartString() const { return FStartString; }
  void SetStartString(const std::string& value);
  const std::string& StopString() const { return FStopString; }
  void SetStopString(const std::string& value);
  // Packet length in bytes; 0 or less: no fixed length.
  int Size() const { return FSize; }
  void SetSize(int value);

  TComStrEvent OnDiscard;
  TComStrEvent OnPacket;
  TCustPacketEvent OnCustomStart;
  TCustPacketEvent OnCustomStop;

  // Feeds data as if the port had received it.
  void AddData(const std::string& str);
  // The link's receive handler.
  void RxBuf(TCustomComPort* Sender, const std::uint8_t* Buffer, int Count);
  // Reports every complete packet in the collected data.
  virtual void HandleBuffer();
  // Discards everything collected (reported through OnDiscard).
  void EmptyBuffer();

  // The data received and not yet reported.
  std::string_view AccumulatedData() const { return std::string_view(FData).substr(FHead); }
  bool InsidePacket() const { return FInsidePacket; }

  // While loading, a changed setting does not empty the buffer.
  void BeginLoading() { FLoading = true; }
  void Loaded() { FLoading = false; }

protected:
  virtual void DoDiscard(const std::string& str);
  virtual void DoPacket(const std::string& str);
  virtual void DoCustomStart(std::string_view str, int& pos);
  virtual void DoCustomStop(std::string_view str, int& pos);

private:
  void PortDestroyed(TCustomComPort* port) override;
  bool HasStopCondition() const;
  // Removes the first count bytes of the collected data and returns them.
  std::string Cut(std::size_t count);
  void CheckMaxBufferSize();
  void Changed();
  std::string Strip(std::string packet) const;

  TCustomComPort* FComPort = nullptr;
  TComLink FLink;
  bool FCaseInsensitive = false;
  bool FIncludeStrings = false;
  int FMaxBufferSize = 1024;
  std::string FStartString;
  std::string FStopString;
  int FSize = 0;
  bool FLoading = false;

  // The collected data is FData from FHead on: cutting a packet from the
  // front moves FHead, and the space before it is reused now and then.
  std::string FData;
  std::size_t FHead = 0;
  bool FInsidePacket = false;
  // How far (from FHead) the start and stop strings have been looked for
  // without success: new data is searched from there, not from the first
  // byte again. Every cut or emptying starts over.
  std::size_t FStartScanned = 0;
  std::size_t FStopScanned = 0;
};
