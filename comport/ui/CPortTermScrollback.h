// The lines that left a terminal's screen, kept compactly: a line is its
// characters as UTF-8 and its attributes as runs of equal cells, written
// one after another into chunks that go once their last line has gone. A
// line is read back whole into a small cache, so that the cells of one
// line are at hand while it is drawn or searched.
//
// TCell is a terminal's cell (trivially copyable); TChars says where its
// character is, Get(cell) and Set(cell, ch), and whether two cells look
// alike but for it, Alike(a, b). A cell that does not look like the one
// before it begins a run of its own.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <type_traits>
#include <vector>

template <class TCell, class TChars>
class TScrollback {
  static_assert(std::is_trivially_copyable_v<TCell>);

public:
  std::size_t Size() const { return FLines.size(); }
  bool Empty() const { return FLines.empty(); }

  void Push(const TCell* cells, std::size_t count) {
    count = std::min<std::size_t>(count, 0xFFFF);
    // The runs of equal attributes, then the characters.
    std::vector<char>& out = FEncoding;
    out.assign(4, 0);
    std::uint16_t runs = 0;
    for (std::size_t i = 0; i < count;) {
      const TCell attributes = Bare(cells[i]);
      std::size_t length = 1;
      while (i + length < count && length < 0xFFFF && TChars::Alike(cells[i + length], cells[i])) ++length;
      Put(out, std::uint16_t(length));
      const char* raw = reinterpret_cast<const char*>(&attributes);
      out.insert(out.end(), raw, raw + sizeof(TCell));
      ++runs;
      i += length;
    }
    for (std::size_t i = 0; i < count; ++i) PutChar(out, TChars::Get(cells[i]));
    const std::uint16_t cellCount = std::uint16_t(count);
    std::memcpy(out.data(), &cellCount, 2);
    std::memcpy(out.data() + 2, &runs, 2);
    FLines.push_back(Store(out));
  }

  // Forgets the oldest count lines.
  void PopFront(std::size_t count) {
    count = std::min(count, FLines.size());
    FLines.erase(FLines.begin(), FLines.begin() + std::ptrdiff_t(count));
    FFirstNumber += count;
    // Chunks before the oldest line's go.
    const std::uint64_t keep = FLines.empty() ? FChunkNumber + FChunks.size() : FLines.front().Chunk;
    while (!FChunks.empty() && FChunkNumber < keep) {
      FChunks.pop_front();
      ++FChunkNumber;
    }
    if (FChunks.empty()) FUsed = ChunkSize;  // the next line opens a chunk
  }

  void Clear() { PopFront(FLines.size()); }

  // How many cells line i has (0 is the oldest).
  std::size_t Length(std::size_t i) const {
    std::uint16_t count = 0;
    std::memcpy(&count, At(FLines[i]), 2);
    return count;
  }

  // The cells of line i, valid until another line is read or the store
  // changes.
  const std::vector<TCell>& Line(std::size_t i) const {
    if (FCachedNumber == FFirstNumber + i) return FCache;
    const char* in = At(FLines[i]);
    std::uint16_t count = 0, runs = 0;
    std::memcpy(&count, in, 2);
    std::memcpy(&runs, in + 2, 2);
    in += 4;
    FCache.resize(count);
    std::size_t at = 0;
    for (std::uint16_t r = 0; r < runs; ++r) {
      std::uint16_t length = 0;
      std::memcpy(&length, in, 2);
      TCell attributes;
      std::memcpy(&attributes, in + 2, sizeof(TCell));
      in += 2 + sizeof(TCell);
      for (std::uint16_t k = 0; k < length && at < count; ++k) FCache[at++] = attributes;
    }
    for (std::size_t c = 0; c < count; ++c) TChars::Set(FCache[c], GetChar(in));
    FCachedNumber = FFirstNumber + i;
    return FCache;
  }

  // Bytes held, for the curious.
  std::size_t Bytes() const { return FChunks.size() * ChunkSize + FLines.size() * sizeof(TPlace); }

private:
  static constexpr std::size_t ChunkSize = 1 << 20;
  struct TPlace {
    std::uint64_t Chunk : 40;  // the chunk's number since the first ever
    std::uint64_t Offset : 24;
  };

  static TCell Bare(TCell cell) {
    TChars::Set(cell, 0);
    return cell;
  }
  static void Put(std::vector<char>& out, std::uint16_t value) {
    const char* raw = reinterpret_cast<const char*>(&value);
    out.insert(out.end(), raw, raw + 2);
  }
  static void PutChar(std::vector<char>& out, char32_t ch) {
    if (ch < 0x80) {
      out.push_back(char(ch));
    } else if (ch < 0x800) {
      out.push_back(char(0xC0 | (ch >> 6)));
      out.push_back(char(0x80 | (ch & 0x3F)));
    } else if (ch < 0x10000) {
      out.push_back(char(0xE0 | (ch >> 12)));
      out.push_back(char(0x80 | ((ch >> 6) & 0x3F)));
      out.push_back(char(0x80 | (ch & 0x3F)));
    } else {
      out.push_back(char(0xF0 | ((ch >> 18) & 0x07)));
      out.push_back(char(0x80 | ((ch >> 12) & 0x3F)));
      out.push_back(char(0x80 | ((ch >> 6) & 0x3F)));
      out.push_back(char(0x80 | (ch & 0x3F)));
    }
  }
  static char32_t GetChar(const char*& in) {
    const auto byte = [&in] { return std::uint8_t(*in++); };
    const std::uint8_t first = byte();
    if (first < 0x80) return first;
    if (first < 0xE0) return char32_t(first & 0x1F) << 6 | (byte() & 0x3F);
    if (first < 0xF0) {
      const char32_t high = char32_t(first & 0x0F) << 12;
      const char32_t middle = char32_t(byte() & 0x3F) << 6;
      return high | middle | (byte() & 0x3F);
    }
    const char32_t top = char32_t(first & 0x07) << 18;
    const char32_t high = char32_t(byte() & 0x3F) << 12;
    const char32_t middle = char32_t(byte() & 0x3F) << 6;
    return top | high | middle | (byte() & 0x3F);
  }

  TPlace Store(const std::vector<char>& bytes) {
    if (FChunks.empty() || FUsed + bytes.size() > ChunkSize) {
      FChunks.push_back(std::make_unique<char[]>(ChunkSize));
      FUsed = 0;
    }
    TPlace place{FChunkNumber + FChunks.size() - 1, FUsed};
    std::memcpy(FChunks.back().get() + FUsed, bytes.data(), bytes.size());
    FUsed += bytes.size();
    return place;
  }
  const char* At(const TPlace& place) const { return FChunks[std::size_t(place.Chunk - FChunkNumber)].get() + place.Offset; }

  std::deque<std::unique_ptr<char[]>> FChunks;
  std::uint64_t FChunkNumber = 0;  // the first chunk's number
  std::size_t FUsed = ChunkSize;   // bytes used of the last chunk
  std::deque<TPlace> FLines;
  std::uint64_t FFirstNumber = 0;  // the oldest line's number since the first ever
  std::vector<char> FEncoding;     // a line being written
  mutable std::vector<TCell> FCache;
  mutable std::uint64_t FCachedNumber = ~std::uint64_t(0);
};
