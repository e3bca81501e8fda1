// Handlers that change the port under its own delivery: links that leave,
// ports closed, reopened and destroyed from inside their handlers.
#include "FakeComDevice.h"

#include <gtest/gtest.h>

namespace {

using Strings = std::vector<std::string>;

class HandlerTest : public testing::Test {
protected:
  void SetUp() override {
    SetMainThread();
    Port->SetPort("/dev/fake0");
    Port->SetDeviceFactory([this] { return std::make_unique<TFakeComDevice>(State); });
  }
  void TearDown() override {
    if (Port) {
      Port->OnRing = nullptr;
      Port->OnBeforeClose = Port->OnAfterClose = nullptr;
      Port->Close();
    }
    while (CheckSynchronize()) {
    }
  }

  std::shared_ptr<TFakeState> State = std::make_shared<TFakeState>();
  std::unique_ptr<TComPort> Port = std::make_unique<TComPort>();
};

}  // namespace

TEST_F(HandlerTest, ALinkThatLeavesDuringDeliveryIsNotCalledAgain) {
  int secondCalls = 0;
  auto first = std::make_unique<TComLink>();
  auto second = std::make_unique<TComLink>();
  first->OnRxBuf = [&](TCustomComPort*, const std::uint8_t*, int) {
    if (!second) return;
    Port->UnRegisterLink(second.get());
    second.reset();  // its owner lets it go at once
  };
  second->OnRxBuf = [&](TCustomComPort*, const std::uint8_t*, int) { ++secondCalls; };
  first->OnConn = [&](TCustomComPort*, bool on) {
    if (on && second) Port->UnRegisterLink(second.get()), second.reset();
  };
  second->OnConn = [&](TCustomComPort*, bool) { ++secondCalls; };
  Port->RegisterLink(first.get());
  Port->RegisterLink(second.get());
  Port->Open();  // the connection signal: the first link removes the second
  EXPECT_EQ(secondCalls, 0);

  second = std::make_unique<TComLink>();
  second->OnRxBuf = [&](TCustomComPort*, const std::uint8_t*, int) { ++secondCalls; };
  Port->RegisterLink(second.get());
  State->Push(EV_RXCHAR, "abc");
  ASSERT_TRUE(PumpUntil([&] { return !second; }));
  CheckSynchronize(20);
  EXPECT_EQ(secondCalls, 0);
  Port->Close();
  Port->UnRegisterLink(first.get());
}

TEST_F(HandlerTest, CloseFromAHandlerRunsOneCloseSequenceWithoutSpinning) {
  int beforeClose = 0, afterClose = 0, rings = 0, posted = 0;
  bool modal = true;
  Port->OnBeforeClose = [&](TCustomComPort*) { ++beforeClose; };
  Port->OnAfterClose = [&](TCustomComPort*) { ++afterClose; };
  Port->OnRing = [&](TCustomComPort* p) {
    ++rings;
    p->Close();
    if (!modal) return;
    // A modal loop inside the handler: whatever it runs meanwhile is counted.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < end) posted += CheckSynchronize(1);
  };
  for (bool withModalLoop : {true, false}) {
    modal = withModalLoop;
    beforeClose = afterClose = rings = posted = 0;
    Port->Open();
    State->Push(EV_RING);
    ASSERT_TRUE(PumpUntil([&] { return rings > 0; }));
    Port->Close();  // a direct close right after must not repeat the sequence
    while (CheckSynchronize(10)) {
    }
    EXPECT_FALSE(Port->Connected());
    EXPECT_EQ(beforeClose, 1) << withModalLoop;
    EXPECT_EQ(afterClose, 1) << withModalLoop;
    EXPECT_LT(posted, 10);
  }
}

TEST_F(HandlerTest, ReopeningFromAHandlerEndsOpenOnTheNewDevice) {
  Port->OnRing = [&](TCustomComPort* p) { p->SetPort("/dev/fake1"); };
  Port->Open();
  State->Push(EV_RING);
  ASSERT_TRUE(PumpUntil([&] { return State->Called("Open /dev/fake1"); }));
  while (CheckSynchronize(10)) {
  }
  EXPECT_TRUE(Port->Connected());
  EXPECT_EQ(Port->Port(), "/dev/fake1");
  // The new session delivers events.
  bool rang = false;
  Port->OnRing = [&](TCustomComPort*) { rang = true; };
  State->Push(EV_RING);
  EXPECT_TRUE(PumpUntil([&] { return rang; }));
}

TEST_F(HandlerTest, APortDestroyedByItsOwnHandlerGoesCleanly) {
  Strings log;
  TComLink link;
  link.OnConn = [&](TCustomComPort*, bool on) { log.push_back(on ? "conn on" : "conn off"); };
  Port->RegisterLink(&link);
  Port->OnAfterClose = [&](TCustomComPort*) { log.push_back("after close"); };
  Port->OnRing = [&](TCustomComPort*) { Port.reset(); };
  Port->OnRLSDChange = [&](TCustomComPort*, bool on) { log.push_back(on ? "RLSD on" : "RLSD off"); };
  Port->Open();
  log.clear();
  State->Push(EV_RING | EV_RLSD);  // the RLSD event comes after the ring: it must not run
  ASSERT_TRUE(PumpUntil([&] { return !Port; }));
  while (CheckSynchronize(10)) {
  }
  EXPECT_EQ(log, (Strings{"RLSD off", "conn off", "after close"}));  // the close reports the lines off
  EXPECT_TRUE(State->Called("Close"));
}
