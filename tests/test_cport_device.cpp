// The POSIX device's pieces that need no line: the input queue with its
// error marks, and the translation of the line configuration block.
#include "ComInputQueue.h"
#include "PosixLine.h"
#include "ComDevice.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TPut {
  std::string Data;
  std::uint32_t Events = 0;
  std::uint32_t Errors = 0;
};

// Feeds raw bytes in the given pieces, then takes everything out.
TPut Feed(TComInputQueue& queue, std::initializer_list<std::string> pieces) {
  TPut out;
  for (const std::string& p : pieces)
    queue.Put(reinterpret_cast<const std::uint8_t*>(p.data()), p.size(), out.Events, out.Errors);
  out.Data.resize(queue.Size());
  queue.Take(reinterpret_cast<std::uint8_t*>(out.Data.data()), out.Data.size());
  return out;
}

using namespace std::string_literals;

}  // namespace

TEST(InputQueue, MarksAreDecodedAcrossChunksAndNeverBecomeData) {
  TComInputQueue queue(64);
  queue.Rules.Marks = true;
  // A break, a literal 0xFF split over two reads, a framing error.
  TPut put = Feed(queue, {"a\xFF"s, "\x00\x00"s "b\xFF"s, "\xFF" "c\xFF\x00"s, "X"s});
  EXPECT_EQ(put.Data, "ab\xFF" "cX"s);
  EXPECT_EQ(put.Events, std::uint32_t(EV_RXCHAR | EV_BREAK | EV_ERR));
  EXPECT_EQ(put.Errors, std::uint32_t(CE_BREAK | CE_FRAME));

  // Parity errors, replaced when asked; a 0 byte is dropped only by the rule.
  queue.Rules.ErrorIsParity = true;
  queue.Rules.Replace = true;
  queue.Rules.ReplaceChar = '?';
  put = Feed(queue, {"1\xFF\x00Z2\x00"s});
  EXPECT_EQ(put.Data, "1?2\x00"s);
  EXPECT_EQ(put.Errors, std::uint32_t(CE_RXPARITY));
  queue.Rules.DiscardNull = true;
  EXPECT_EQ(Feed(queue, {"\x00x\x00y"s}).Data, "xy");

  // A lone break is an event without data.
  put = Feed(queue, {"\xFF\x00\x00"s});
  EXPECT_EQ(put.Data, "");
  EXPECT_EQ(put.Events, std::uint32_t(EV_BREAK));
}

TEST(InputQueue, EventCharacterEightyPercentAndWrapAround) {
  TComInputQueue queue(10);
  queue.Rules.EventChar = '\n';
  queue.Rules.InputSize = 10;
  std::uint32_t events = 0, errors = 0;
  queue.Put(reinterpret_cast<const std::uint8_t*>("abcdef"), 6, events, errors);
  EXPECT_EQ(events, std::uint32_t(EV_RXCHAR));
  char got[16] = {};
  EXPECT_EQ(queue.Take(reinterpret_cast<std::uint8_t*>(got), 4), 4u);
  events = 0;
  queue.Put(reinterpret_cast<const std::uint8_t*>("gh\nijk!!"), 8, events, errors);  // 2 + 8 = 10: full
  EXPECT_EQ(events, std::uint32_t(EV_RXCHAR | EV_RXFLAG | EV_RX80FULL));
  EXPECT_EQ(queue.Room(), 0u);
  events = 0;
  queue.Put(reinterpret_cast<const std::uint8_t*>("lost"), 4, events, errors);  // no room: left in the kernel
  EXPECT_EQ(events, 0u);
  EXPECT_EQ(queue.Take(reinterpret_cast<std::uint8_t*>(got), 16), 10u);
  EXPECT_EQ(std::string(got, 10), "efgh\nijk!!");
  queue.Reserve(20);
  EXPECT_EQ(queue.Room(), 20u);
}

TEST(InputQueue, AMarkCutOffByAChunkNeverDecodesPastTheRoom) {
  // A 0xFF that ends one chunk and a byte that is no mark after it give two
  // bytes from one: the room offered for the next chunk counts that byte.
  TComInputQueue queue(8);
  queue.Rules.Marks = true;
  std::uint32_t events = 0, errors = 0;
  queue.Put(reinterpret_cast<const std::uint8_t*>("abcdef\xFF"), 7, events, errors);
  ASSERT_EQ(queue.Size(), 6u);
  const std::string next = "XYZ";
  queue.Put(reinterpret_cast<const std::uint8_t*>(next.data()), std::min(queue.Room(), next.size()), events, errors);
  EXPECT_LE(queue.Size(), queue.Capacity());
  std::string got(queue.Size(), '\0');
  queue.Take(reinterpret_cast<std::uint8_t*>(got.data()), got.size());
  EXPECT_EQ(got, "abcdef\xFF" "X"s);
}

TEST(PosixLine, TheBlockBecomesTermiosFlagsAndQueueRules) {
  TDCB dcb;
  dcb.BaudRate = 250000;
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  dcb.StopBits = 2;
  dcb.Flags = dcb_Binary | dcb_ParityCheck | dcb_ErrorChar | dcb_NullStrip | dcb_OutX |
              (3u << dcb_RTSControlShift) | (1u << dcb_DTRControlShift);
  dcb.ErrorChar = '#';
  dcb.EvtChar = '\r';
  const TPosixLine line = TranslateDCB(dcb, true);
  EXPECT_EQ(line.CFlags & CSIZE, tcflag_t(CS7));
  EXPECT_TRUE(line.CFlags & PARENB);
  EXPECT_FALSE(line.CFlags & PARODD);
  EXPECT_TRUE(line.CFlags & CSTOPB);
  EXPECT_FALSE(line.CFlags & CRTSCTS);  // toggle is not a handshake
  EXPECT_EQ(line.IFlags, tcflag_t(IXON | INPCK | PARMRK));
  EXPECT_TRUE(line.Custom);
  EXPECT_TRUE(line.Dtr);
  EXPECT_EQ(line.RtsControl, 3u);
  EXPECT_TRUE(line.Rules.Marks);
  EXPECT_TRUE(line.Rules.ErrorIsParity);
  EXPECT_TRUE(line.Rules.Replace);
  EXPECT_EQ(line.Rules.ReplaceChar, '#');
  EXPECT_TRUE(line.Rules.DiscardNull);
  EXPECT_EQ(line.Rules.EventChar, '\r');

  // A pseudo-terminal has no line errors: no marks, plain bytes.
  dcb.BaudRate = 115200;
  const TPosixLine virtualLine = TranslateDCB(dcb, false);
  EXPECT_EQ(virtualLine.IFlags, tcflag_t(IXON));
  EXPECT_FALSE(virtualLine.Rules.Marks);
  EXPECT_FALSE(virtualLine.Custom);
}

// The time-out table's corners: what waits for ever, what returns at once,
// and totals far past 32 bits.
TEST(ComTimeouts, TheTableAndItsCorners) {
  TComOverlapped ov;
  ov.StartMs = 1000;
  ov.Requested = 30'000'000;
  const auto read = [&](std::uint32_t i, std::uint32_t m, std::uint32_t c) {
    return ComReadDeadline(TCommTimeouts{i, m, c, 0, 0}, ov);
  };
  EXPECT_EQ(read(MAXDWORD, 0, 0), 0);
  EXPECT_EQ(read(MAXDWORD, MAXDWORD, 0), 0);  // never "for ever"
  EXPECT_EQ(read(MAXDWORD, MAXDWORD, 200), 1200);
  EXPECT_EQ(read(MAXDWORD, MAXDWORD, MAXDWORD), -1);
  EXPECT_EQ(read(0, 0, 0), -1);
  EXPECT_EQ(read(0, 100, 1000), 1000 + 3'000'001'000LL);  // past 32 bits
  EXPECT_EQ(read(0, MAXDWORD, MAXDWORD), -1);             // past any wait meant
  ov.Done = 1;
  ov.LastByteMs = 5000;
  EXPECT_EQ(read(MAXDWORD, MAXDWORD, 200), 0);  // the first bytes end it
  EXPECT_EQ(read(20, 0, 0), 5020);
  EXPECT_EQ(read(20, 0, 100), 1100);
  EXPECT_EQ(ComWriteDeadline(TCommTimeouts{0, 0, 0, 100, 1000}, ov), 1000 + 3'000'001'000LL);
  EXPECT_EQ(ComWriteDeadline(TCommTimeouts{}, ov), -1);
}
