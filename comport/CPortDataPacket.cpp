#include "CPortDataPacket.h"

#include <algorithm>

namespace {

constexpr std::size_t NotFound = std::string_view::npos;

char Fold(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// The first occurrence of needle in hay at or after from; an empty needle
// is never found. fold compares ASCII letters without regard to case.
std::size_t Find(std::string_view hay, std::string_view needle, std::size_t from, bool fold) {
  if (needle.empty() || from > hay.size() || hay.size() - from < needle.size()) return NotFound;
  if (!fold) return hay.find(needle, from);
  const std::size_t last = hay.size() - needle.size();
  for (std::size_t i = from; i <= last; ++i) {
    std::size_t k = 0;
    while (k < needle.size() && Fold(hay[i + k]) == Fold(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return NotFound;
}

// Where a search for a string of length n, which failed over size bytes,
// can go on once more bytes have come: a match has to reach a new byte.
std::size_t Resume(std::size_t size, std::size_t n) { return size + 1 > n ? size + 1 - n : 0; }

}  // namespace

TComDataPacket::TComDataPacket() {
  FLink.OnRxBuf = [this](TCustomComPort* Sender, const std::uint8_t* Buffer, int Count) { RxBuf(Sender, Buffer, Count); };
}

TComDataPacket::~TComDataPacket() { SetComPort(nullptr); }

void TComDataPacket::SetComPort(TCustomComPort* port) { BindComPort(FComPort, port, this, &FLink); }

void TComDataPacket::PortDestroyed(TCustomComPort* port) {
  if (port == FComPort) SetComPort(nullptr);
}

void TComDataPacket::Changed() {
  if (!FLoading) EmptyBuffer();
}

void TComDataPacket::SetCaseInsensitive(bool value) {
  if (value == FCaseInsensitive) return;
  FCaseInsensitive = value;
  Changed();
}

void TComDataPacket::SetStartString(const std::string& value) {
  if (value == FStartString) return;
  FStartString = value;
  Changed();
}

void TComDataPacket::SetStopString(const std::string& value) {
  if (value == FStopString) return;
  FStopString = value;
  Changed();
}

void TComDataPacket::SetSize(int value) {
  if (value == FSize) return;
  FSize = value;
  Changed();
}

bool TComDataPacket::HasStopCondition() const { return FSize > 0 || !FStopString.empty() || bool(OnCustomStop); }

void TComDataPacket::RxBuf(TCustomComPort*, const std::uint8_t* Buffer, int Count) {
  AddData(std::string(reinterpret_cast<const char*>(Buffer), std::size_t(std::max(Count, 0))));
}

void TComDataPacket::AddData(const std::string& str) {
  if (!HasStopCondition()) {
    DoPacket(str);
    return;
  }
  // Reuse the space of what was cut, once it is half the buffer.
  if (FHead > 0 && FHead >= FData.size() / 2) {
    FData.erase(0, FHead);
    FHead = 0;
  }
  FData += str;
  HandleBuffer();
}

std::string TComDataPacket::Cut(std::size_t count) {
  const std::string_view data = AccumulatedData();
  count = std::min(count, data.size());
  std::string front(data.substr(0, count));
  FHead += count;
  if (FHead == FData.size()) {
    FData.clear();
    FHead = 0;
  }
  FStartScanned = FStopScanned = 0;
  return front;
}

void TComDataPacket::HandleBuffer() {
  try {
    for (;;) {
      if (!FInsidePacket) {
        int pos = -1;
        DoCustomStart(AccumulatedData(), pos);
        std::size_t start = 0;  // from 1; 0: not found
        if (pos > 0) {
          start = std::size_t(pos);
        } else if (pos == -1 && FStartString.empty()) {
          FInsidePacket = true;
        } else if (pos == -1) {
          const std::string_view data = AccumulatedData();
          const std::size_t at = Find(data, FStartString, FStartScanned, FCaseInsensitive);
          if (at != NotFound)
            start = at + 1;
          else
            FStartScanned = Resume(data.size(), FStartString.size());
        }
        if (start > 0) {
          FInsidePacket = true;
          if (start > 1) DoDiscard(Cut(start - 1));
        }
        if (!FInsidePacket) break;
      }

      int pos = -1;
      DoCustomStop(AccumulatedData(), pos);
      const std::string_view data = AccumulatedData();
      std::size_t length = 0;  // of the complete packet; 0: not complete yet
      if (pos > 0) {
        length = std::min(std::size_t(pos), data.size());
      } else if (pos == -1 && FSize > 0) {
        // The size rule wins over the stop string, also while fewer bytes
        // than a packet have come: otherwise the packets would depend on
        // how the bytes arrive.
        if (data.size() >= std::size_t(FSize)) length = std::size_t(FSize);
      } else if (pos == -1) {
        // The stop string is looked for after the first length-of-start bytes.
        const std::size_t skip = FStartString.size();
        const std::size_t at = Find(data, FStopString, std::max(skip, FStopScanned), FCaseInsensitive);
        if (at != NotFound)
          length = at + FStopString.size();
        else if (!FStopString.empty())
          FStopScanned = std::max(skip, Resume(data.size(), FStopString.size()));
      }
      // A packet has at least one byte: with nothing collected the search
      // ends, whatever a handler says.
      if (length == 0) break;
      FInsidePacket = false;
      std::string packet = Cut(length);
      if (!FIncludeStrings) packet = Strip(std::move(packet));
      DoPacket(packet);
    }
  } catch (...) {
    CheckMaxBufferSize();
    throw;
  }
  CheckMaxBufferSize();
}

std::string TComDataPacket::Strip(std::string packet) const {
  if (!FStartString.empty() && Find(packet, FStartString, 0, FCaseInsensitive) == 0) packet.erase(0, FStartString.size());
  if (!FStopString.empty()) {
    const std::size_t at = Find(packet, FStopString, 0, FCaseInsensitive);
    if (at != NotFound && at + FStopString.size() == packet.size()) packet.erase(at);
  }
  return packet;
}

void TComDataPacket::CheckMaxBufferSize() {
  if (FMaxBufferSize > 0 && AccumulatedData().size() >= std::size_t(FMaxBufferSize)) EmptyBuffer();
}

void TComDataPacket::EmptyBuffer() {
  if (AccumulatedData().empty()) return;
  const std::string data(AccumulatedData());
  const auto clear = [this] {
    FData.clear();
    FHead = 0;
    FInsidePacket = false;
    FStartScanned = FStopScanned = 0;
  };
  try {
    DoDiscard(data);
  } catch (...) {
    clear();
    throw;
  }
  clear();
}

void TComDataPacket::DoDiscard(const std::string& str) {
  if (OnDiscard) OnDiscard(this, str);
}

void TComDataPacket::DoPacket(const std::string& str) {
  if (OnPacket) OnPacket(this, str);
}

void TComDataPacket::DoCustomStart(std::string_view str, int& pos) {
  if (OnCustomStart) OnCustomStart(this, str, pos);
}

void TComDataPacket::DoCustomStop(std::string_view str, int& pos) {
  if (OnCustomStop) OnCustomStop(this, str, pos);
}
