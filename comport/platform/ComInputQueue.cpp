#include "ComInputQueue.h"

#include "ComDevice.h"

#include <algorithm>
#include <cstring>
#include <utility>

void TComInputQueue::Reserve(std::size_t capacity) {
  if (capacity <= FBuffer.size()) return;
  std::vector<std::uint8_t> bigger(capacity);
  const std::size_t size = FSize;
  Take(bigger.data(), size);
  FBuffer.swap(bigger);
  FHead = 0;
  FSize = size;
}

void TComInputQueue::Push(std::uint8_t byte) {
  std::size_t tail = FHead + FSize;
  if (tail >= FBuffer.size()) tail -= FBuffer.size();
  FBuffer[tail] = byte;
  ++FSize;
}

void TComInputQueue::Put(const std::uint8_t* raw, std::size_t count, std::uint32_t& events, std::uint32_t& errors) {
  count = std::min(count, Room());
  if (Plain()) {
    // The common case: plain bytes, copied in at most two pieces.
    for (std::size_t done = 0; done < count;) {
      std::size_t room = 0;
      std::uint8_t* tail = Tail(room);
      const std::size_t n = std::min(room, count - done);
      std::memcpy(tail, raw + done, n);
      Added(n, events);
      done += n;
    }
    return;
  }
  const std::size_t before = FSize;
  bool eventChar = false;
  const auto data = [&](std::uint8_t byte) {
    if (byte == 0 && Rules.DiscardNull) return;
    if (byte == Rules.EventChar) eventChar = true;
    Push(byte);
  };
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = raw[i];
    if (!Rules.Marks) {
      data(byte);
      continue;
    }
    switch (FMarkState) {
      case 0:
        if (byte == 0xFF) FMarkState = 1;
        else data(byte);
        break;
      case 1:
        if (byte == 0x00) {
          FMarkState = 2;
        } else {
          // 0xFF 0xFF is a 0xFF byte; anything else after 0xFF is no mark.
          FMarkState = 0;
          data(0xFF);
          if (byte != 0xFF) data(byte);
        }
        break;
      default:
        FMarkState = 0;
        if (byte == 0x00) {
          events |= EV_BREAK;
          errors |= CE_BREAK;
        } else if (Rules.ErrorIsParity) {
          events |= EV_ERR;
          errors |= CE_RXPARITY;
          data(Rules.Replace ? Rules.ReplaceChar : byte);
        } else {
          events |= EV_ERR;
          errors |= CE_FRAME;
          data(byte);
        }
        break;
    }
  }
  Arrived(before, eventChar, events);
}

std::uint8_t* TComInputQueue::Tail(std::size_t& room) {
  std::size_t tail = FHead + FSize;
  if (tail >= FBuffer.size()) tail -= FBuffer.size();
  room = std::min(FBuffer.size() - FSize, FBuffer.size() - tail);
  return FBuffer.data() + tail;
}

void TComInputQueue::Added(std::size_t count, std::uint32_t& events) {
  if (count == 0) return;
  std::size_t room = 0;
  const std::uint8_t* at = Tail(room);
  const std::size_t before = FSize;
  FSize += count;
  Arrived(before, std::memchr(at, Rules.EventChar, count) != nullptr, events);
}

void TComInputQueue::Arrived(std::size_t before, bool eventChar, std::uint32_t& events) const {
  if (FSize <= before) return;
  events |= EV_RXCHAR;
  if (eventChar) events |= EV_RXFLAG;
  if (Rules.InputSize > 0 && std::uint64_t(FSize) * 100 >= std::uint64_t(Rules.InputSize) * 80) events |= EV_RX80FULL;
}

std::size_t TComInputQueue::Take(std::uint8_t* target, std::size_t count) {
  count = std::min(count, FSize);
  if (count == 0) return 0;
  const std::size_t first = std::min(count, FBuffer.size() - FHead);
  std::memcpy(target, FBuffer.data() + FHead, first);
  std::memcpy(target + first, FBuffer.data(), count - first);
  FHead += count;
  if (FHead >= FBuffer.size()) FHead -= FBuffer.size();
  FSize -= count;
  if (FSize == 0) FHead = 0;
  return count;
}

void TComInputQueue::Clear() {
  FHead = FSize = 0;
  FMarkState = 0;
}

bool TComPendingReads::Serve(TComInputQueue& input, const TCommTimeouts& timeouts, int lostError) {
  bool took = false;
  const std::int64_t now = ComNowMs();
  while (!FReads.empty()) {
    TComOverlapped& ov = *FReads.front();
    // A read whose time ran out before these bytes came has ended with what
    // it had; they are the next read's.
    if (const std::int64_t deadline = ComReadDeadline(timeouts, ov); deadline > 0 && now >= deadline) {
      PopFront(0);
      continue;
    }
    const std::size_t n = input.Take(ov.Buffer + ov.Done, ov.Requested - ov.Done);
    if (n > 0) {
      ov.Done += std::uint32_t(n);
      ov.LastByteMs = now;
      took = true;
    }
    if (ov.Done < ov.Requested && lostError != 0) {
      // No more will come: what came before the loss, else the error.
      PopFront(ov.Done > 0 ? 0 : lostError);
      continue;
    }
    const std::int64_t deadline = ComReadDeadline(timeouts, ov);
    if (ov.Done < ov.Requested && deadline != 0 && (deadline < 0 || now < deadline)) break;  // waits for more
    PopFront(0);
  }
  return took;
}

void TComPendingReads::Expire(const TCommTimeouts& timeouts) {
  if (FReads.empty()) return;
  const std::int64_t deadline = ComReadDeadline(timeouts, *FReads.front());
  if (deadline >= 0 && ComNowMs() >= deadline) PopFront(0);  // timed out: success with what came
}

bool TComPendingReads::Remove(TComOverlapped& ov) {
  const auto it = std::find(FReads.begin(), FReads.end(), &ov);
  if (it == FReads.end()) return false;
  const bool front = it == FReads.begin();
  FReads.erase(it);
  if (front && !FReads.empty()) FReads.front()->StartMs = ComNowMs();
  return true;
}

void TComPendingReads::EndAll(int error, bool keepBytes) {
  for (TComOverlapped* ov : std::exchange(FReads, {})) FComplete(*ov, keepBytes && ov->Done > 0 ? 0 : error);
}

void TComPendingReads::PopFront(int error) {
  TComOverlapped& ov = *FReads.front();
  FReads.pop_front();
  FComplete(ov, error);
  if (!FReads.empty()) FReads.front()->StartMs = ComNowMs();  // its time runs from here
}
