// The module's configuration protocol on the line, in one place for the
// window, the command line and the simulator: the command bytes, what
// follows each, what the module answers, and the address frames.
#pragma once

#include "DeviceRecords.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>

// A command byte. The module acknowledges a send command with one byte
// (ModuleAck), then takes its record: the channel's number (1 to 4) and
// the channel record, or the system, AUX or clock record. Load is answered
// with the whole load image.
enum TModuleCommand : std::uint8_t {
  mcLoad = 0x23,
  mcChannel = 0x24,
  mcSystem = 0x25,
  mcAux = 0x26,
  mcClock = 0x40,
};
constexpr std::uint8_t ModuleAck = 0x06;

inline std::string CommandBytes(TModuleCommand command) { return std::string(1, char(command)); }

// What follows a send command once it is acknowledged.
constexpr std::size_t CommandRecordSize(TModuleCommand command) {
  switch (command) {
    case mcChannel: return 1 + std::tuple_size_v<TChannelRecord>;
    case mcSystem: return std::tuple_size_v<TSystemRecord>;
    case mcAux: return std::tuple_size_v<TAuxRecord>;
    case mcClock: return std::tuple_size_v<TClockRecord>;
    case mcLoad: break;
  }
  return 0;
}

// The address frames. One is sent as FrameStart, its length, its kind,
// the record and the low 8 bits of the record's sum (AddressFrame); one is
// asked for with FrameReply and its kind, and the module answers three
// bytes of its own (they are not read: FrameReply, the kind and the length,
// or the set frame's header, or anything else), then the record's first
// AddressAnswerRecord(kind) bytes.
constexpr std::uint8_t FrameStart = 0x02;
constexpr std::uint8_t FrameReply = 0x06;
constexpr std::uint8_t FrameNetAddress = 0x81;
constexpr std::uint8_t FrameMacAddress = 0x91;
constexpr std::size_t AddressAnswerHeader = 3;
constexpr std::size_t AddressAnswerRecord(std::uint8_t kind) { return kind == FrameNetAddress ? 22 : 7; }
constexpr std::size_t AddressAnswerSize(std::uint8_t kind) { return AddressAnswerHeader + AddressAnswerRecord(kind); }

inline std::string AddressRequest(std::uint8_t kind) { return {char(FrameReply), char(kind)}; }
