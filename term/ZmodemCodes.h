// The bytes of ZMODEM's frames, for both ends (Zmodem.cpp, ZmodemSender.cpp).
#pragma once

#include "ModemTransfer.h"

#include <array>
#include <cstdint>
#include <string>

namespace zmodem {

// The protocol's bytes.
constexpr std::uint8_t ZPAD = '*', ZDLE = 0x18, ZBIN = 'A', ZHEX = 'B', ZBIN32 = 'C';
constexpr std::uint8_t XON = 0x11, XOFF = 0x13, DLE = 0x10;
// What a ZDLE before them means: the end of a subpacket, and how (the
// frame goes on or ends; an answer is wanted or not), or DEL with bit 7
// clear or set.
constexpr std::uint8_t ZCRCE = 'h', ZCRCG = 'i', ZCRCQ = 'j', ZCRCW = 'k', ZRUB0 = 'l', ZRUB1 = 'm';
// Header types.
enum : int {
  ZRQINIT, ZRINIT, ZSINIT, ZACK, ZFILE, ZSKIP, ZNAK, ZABORT, ZFIN, ZRPOS,
  ZDATA, ZEOF, ZFERR, ZCRC, ZCHALLENGE, ZCOMPL, ZCAN, ZFREECNT, ZCOMMAND, ZSTDERR,
};
// ZRINIT's flags (ZF0): full duplex, receiving while writing, CRC-32,
// every control escaped.
constexpr std::uint32_t CANFDX = 0x01, CANOVIO = 0x02, CANFC32 = 0x20, ESCCTL = 0x40;
// ZFILE's ZF0: a binary file; resume it where the receiver's copy ends.
constexpr std::uint32_t ZCBIN = 1, ZCRESUM = 3;
constexpr int CancelCans = 5;

constexpr std::uint32_t Flags(std::uint32_t zf0) { return zf0 << 24; }
constexpr std::uint32_t Zf0(std::uint32_t value) { return value >> 24; }

inline std::uint16_t Crc16(std::uint16_t crc, std::uint8_t c) {
  static const auto table = [] {
    std::array<std::uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
      std::uint16_t crc = std::uint16_t(i << 8);
      for (int bit = 0; bit < 8; ++bit) crc = std::uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
      t[std::size_t(i)] = crc;
    }
    return t;
  }();
  return std::uint16_t((crc << 8) ^ table[((crc >> 8) ^ c) & 0xFF]);
}

inline std::string Quoted(const std::string& path) { return "\"" + LastPart(path) + "\""; }

}  // namespace zmodem
