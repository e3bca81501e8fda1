// The input queue of a device: received bytes as the line delivered them,
// with the kernel's error marks decoded, and what arrived recorded as line
// events (EV_ bits) and line errors (CE_ bits). Not thread-safe: the device
// guards it with its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

struct TComOverlapped;
struct TCommTimeouts;

// What the queue does with the bytes it is given.
struct TComInputRules {
  // The bytes carry the kernel's marks (PARMRK): 0xFF 0xFF is a 0xFF byte,
  // 0xFF 0x00 0x00 a break, 0xFF 0x00 X the byte X received with an error.
  bool Marks = false;
  // A marked error is a parity error (else a framing error).
  bool ErrorIsParity = false;
  // A byte with a parity error is replaced by ReplaceChar.
  bool Replace = false;
  std::uint8_t ReplaceChar = 0;
  bool DiscardNull = false;
  std::uint8_t EventChar = 0;
  // EV_RX80FULL when the queue holds 80 % of this many bytes (0: never).
  std::uint32_t InputSize = 0;
};

class TComInputQueue {
public:
  explicit TComInputQueue(std::size_t capacity = 0) { Reserve(capacity); }

  TComInputRules Rules;

  // Makes room for at least capacity bytes, keeping what is queued.
  void Reserve(std::size_t capacity);
  std::size_t Capacity() const { return FBuffer.size(); }
  std::size_t Size() const { return FSize; }
  // Raw bytes that fit. Decoding makes at most one byte of each raw byte,
  // but a 0xFF that ended the last chunk may still become a byte of its own.
  std::size_t Room() const {
    const std::size_t free = FBuffer.size() - FSize, held = FMarkState == 1 ? 1 : 0;
    return free > held ? free - held : 0;
  }

  // Decodes count raw bytes (at most Room()) into the queue and adds the
  // events and errors they raise to events and errors.
  void Put(const std::uint8_t* raw, std::size_t count, std::uint32_t& events, std::uint32_t& errors);
  // Whether raw bytes are the bytes themselves (no marks, no null
  // stripping), so that a read may go straight into the queue: Tail gives
  // the free space after the last byte, Added takes count bytes put there.
  bool Plain() const { return !Rules.Marks && !Rules.DiscardNull; }
  std::uint8_t* Tail(std::size_t& room);
  void Added(std::size_t count, std::uint32_t& events);
  // Moves up to count bytes out of the queue; returns how many.
  std::size_t Take(std::uint8_t* target, std::size_t count);
  // Empties the queue and forgets a mark cut off by the last raw chunk.
  void Clear();

private:
  void Push(std::uint8_t byte);
  // The events of bytes that came after before.
  void Arrived(std::size_t before, bool eventChar, std::uint32_t& events) const;
  std::vector<std::uint8_t> FBuffer;
  std::size_t FHead = 0;  // index of the oldest byte
  std::size_t FSize = 0;
  int FMarkState = 0;  // bytes of a mark seen so far: 0, 1 (0xFF) or 2 (0xFF 0x00)
};

// The reads a device has under way, oldest first: each is served from the
// input queue in turn and ends by the read time-outs, which run from when it
// reaches the front. Not thread-safe: the device's lock guards it.
class TComPendingReads {
public:
  using TComplete = std::function<void(TComOverlapped&, int error)>;
  explicit TComPendingReads(TComplete complete) : FComplete(std::move(complete)) {}

  bool Empty() const { return FReads.empty(); }
  TComOverlapped& Front() const { return *FReads.front(); }
  void Add(TComOverlapped& ov) { FReads.push_back(&ov); }
  // Hands queued bytes to the reads, oldest first, and completes those that
  // are done or whose time has run out; once the line has gone (lostError),
  // every read ends with what the queue still gave it, else with the error.
  // Returns whether bytes were taken.
  bool Serve(TComInputQueue& input, const TCommTimeouts& timeouts, int lostError);
  // Ends the front read when its time has run out.
  void Expire(const TCommTimeouts& timeouts);
  // Forgets a read (cancelled); whether it was here.
  bool Remove(TComOverlapped& ov);
  // Completes every read with error, or with success where it holds bytes
  // and keepBytes is set.
  void EndAll(int error, bool keepBytes);

private:
  void PopFront(int error);
  std::deque<TComOverlapped*> FReads;
  TComplete FComplete;
};
