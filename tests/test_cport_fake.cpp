// The port's logic on the scripted device: settings model, update bracket,
// events, delivery routes, links and failures.
#include "FakeComDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

class FakePortTest : public testing::Test {
protected:
  void SetUp() override {
    SetMainThread();
    Port.SetPort("/dev/fake0");
    Port.SetDeviceFactory([this] { return std::make_unique<TFakeComDevice>(State); });
  }
  void TearDown() override {
    // The handlers of a test capture its locals, which are gone by now.
    Port.OnAfterOpen = Port.OnAfterClose = Port.OnBeforeOpen = Port.OnBeforeClose = nullptr;
    Port.OnTxEmpty = Port.OnBreak = Port.OnRing = Port.OnRxFlag = Port.OnRx80Full = nullptr;
    Port.OnCTSChange = Port.OnDSRChange = Port.OnRLSDChange = nullptr;
    Port.OnRxChar = nullptr;
    Port.OnRxBuf = nullptr;
    Port.OnError = nullptr;
    Port.Close();
    while (CheckSynchronize()) {
    }
  }

  // The calls made by fn, leaving out queries the port makes on its own.
  std::vector<std::string> CallsOf(const std::function<void()>& fn) {
    State->TakeCalls();
    fn();
    std::vector<std::string> calls;
    for (auto& c : State->TakeCalls())
      if (c != "GetCommModemStatus" && c != "ClearCommError") calls.push_back(c);
    return calls;
  }

  template <class E>
  int CodeOf(const std::function<void()>& fn) {
    try {
      fn();
    } catch (const E& e) {
      return e.PortErrorCode;
    }
    return -1;
  }

  std::shared_ptr<TFakeState> State = std::make_shared<TFakeState>();
  TComPort Port;
  std::vector<std::string> Log;
};

using Strings = std::vector<std::string>;

}  // namespace

TEST(ComErrors, MessagesAndExceptionTexts) {
  EXPECT_EQ(ComErrorMessage(1), "Unable to open com port");
  EXPECT_EQ(ComErrorMessage(22), "A component is linked to OnRxBuf event");
  EXPECT_EQ(ComErrorMessage(23), "Registry error");
  EXPECT_EQ(ComErrorMessage(24), "Unknown Error #24");
  EXPECT_EQ(ComErrorMessage(0), "Unknown Error #0");
  EComPort e("COM1", 4);
  EXPECT_STREQ(e.what(), "COM1 Error: Invalid Async parameter");
  EXPECT_EQ(e.PortErrorCode, 4);
  EComPort plain("just a message");
  EXPECT_STREQ(plain.what(), "just a message");
  EXPECT_EQ(plain.PortErrorCode, 0);
  EComPortExt x("COM3", 1, ENOENT);
  EXPECT_STREQ(x.what(), "COM Port Error: Unable to open com port on COM3");
  EXPECT_EQ(x.PortErrorCode, 1);
  EXPECT_EQ(x.OsErrorCode, ENOENT);
}

TEST(ComErrors, ErrorSetTexts) {
  EXPECT_EQ(ComErrorsToStr({}), "<Ok>");
  EXPECT_EQ(ComErrorsToStr({ceOverrun, ceFrame}), "<ComError:Frame,Overrun>");
  EXPECT_EQ(ComErrorsToStr(TComErrors::FromBits(0xFF)), "<ComError:Frame,Parity,Overrun,Break,IO,Mode,RxOver,TxFull>");
}

TEST(ComDevicePath, MapsPortNames) {
  EXPECT_EQ(ComDevicePath("rfc2217://server:4001"), "rfc2217://server:4001");
#ifdef _WIN32
  EXPECT_EQ(ComDevicePath("COM1"), "\\\\.\\COM1");
  EXPECT_EQ(ComDevicePath("com12"), "\\\\.\\com12");
  EXPECT_EQ(ComDevicePath("\\\\.\\COM3"), "\\\\.\\COM3");
  EXPECT_EQ(ComDevicePath("CNCA0"), "\\\\.\\CNCA0");  // a virtual port's own name
  EXPECT_EQ(ComDevicePath("/dev/fake0"), "/dev/fake0");  // a path, as given
#else
  EXPECT_EQ(ComDevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(ComDevicePath("COM12"), "/dev/ttyS11");
  EXPECT_EQ(ComDevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(ComDevicePath("/dev/pts/3"), "/dev/pts/3");
  EXPECT_EQ(ComDevicePath("COMX"), "/dev/COMX");
  EXPECT_EQ(ComDevicePath("COM0"), "/dev/COM0");
#endif
}

TEST_F(FakePortTest, DefaultsAndTheDefaultBlock) {
  EXPECT_EQ(Port.BaudRate(), br9600);
  EXPECT_EQ(Port.Events(), AllComEvents);
  EXPECT_EQ(Port.SyncMethod(), smThreadSync);
  EXPECT_EQ(Port.FlowControl().FlowControl(), fcNone);
  EXPECT_EQ(Port.StoreGroups(), TStoredProps({spBasic}));
  const TDCB dcb = Port.BuildDCB();
  EXPECT_EQ(dcb.DCBlength, 28u);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.Flags, 0x0001u);  // binary only
  EXPECT_EQ(dcb.XonLim, 256);
  EXPECT_EQ(dcb.XoffLim, 256);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  EXPECT_EQ(dcb.XonChar, 17);
  EXPECT_EQ(dcb.XoffChar, 19);
  EXPECT_EQ(dcb.ErrorChar, 0);
  EXPECT_EQ(dcb.EvtChar, 0);
}

TEST_F(FakePortTest, BlockBitsFollowEverySetting) {
  const auto flags = [&] { return Port.BuildDCB().Flags; };
  Port.SetDiscardNull(true);
  EXPECT_EQ(flags(), 0x0801u);
  Port.SetDiscardNull(false);
  auto& fc = Port.FlowControl();
  fc.SetOutCTSFlow(true);
  EXPECT_EQ(flags(), 0x0005u);
  fc.SetOutCTSFlow(false);
  fc.SetOutDSRFlow(true);
  EXPECT_EQ(flags(), 0x0009u);
  fc.SetOutDSRFlow(false);
  for (int dtr = 0; dtr < 3; ++dtr) {
    fc.SetControlDTR(TDTRFlowControl(dtr));
    EXPECT_EQ(flags(), 0x0001u | std::uint32_t(dtr) << 4);
  }
  fc.SetControlDTR(dtrDisable);
  for (int rts = 0; rts < 4; ++rts) {
    fc.SetControlRTS(TRTSFlowControl(rts));
    EXPECT_EQ(flags(), 0x0001u | std::uint32_t(rts) << 12);
  }
  fc.SetControlRTS(rtsDisable);
  fc.SetXonXoffOut(true);
  EXPECT_EQ(flags(), 0x0101u);
  fc.SetXonXoffIn(true);
  EXPECT_EQ(flags(), 0x0301u);
  fc.SetXonXoffOut(false);
  fc.SetXonXoffIn(false);
  fc.SetDSRSensitivity(true);
  EXPECT_EQ(flags(), 0x0041u);
  fc.SetDSRSensitivity(false);
  fc.SetTxContinueOnXoff(true);
  EXPECT_EQ(flags(), 0x0081u);
  fc.SetTxContinueOnXoff(false);

  // Replace counts only together with Check; then the error char is sent.
  Port.Parity().SetReplace(true);
  Port.Parity().SetReplaceChar('?');
  EXPECT_EQ(flags(), 0x0001u);
  EXPECT_EQ(Port.BuildDCB().ErrorChar, 0);
  Port.Parity().SetCheck(true);
  EXPECT_EQ(flags(), 0x0403u);
  EXPECT_EQ(Port.BuildDCB().ErrorChar, '?');
  Port.Parity().SetReplace(false);
  EXPECT_EQ(flags(), 0x0003u);
  EXPECT_EQ(flags() & 0x4000u, 0u);  // never abort on error

  Port.SetDataBits(dbSeven);
  Port.Parity().SetBits(prMark);
  Port.SetStopBits(sbOne5StopBits);
  Port.SetEventChar('\n');
  Port.Buffer().SetInputSize(4096);
  TDCB dcb = Port.BuildDCB();
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.Parity, 3);
  EXPECT_EQ(dcb.StopBits, 1);
  EXPECT_EQ(dcb.EvtChar, '\n');
  EXPECT_EQ(dcb.XonLim, 1024);
  EXPECT_EQ(dcb.XoffLim, 1024);
  Port.Buffer().SetInputSize(400000);  // limits keep the low 16 bits
  EXPECT_EQ(Port.BuildDCB().XonLim, std::uint16_t(100000));

  Port.SetBaudRate(brCustom);
  Port.SetCustomBaudRate(250000);
  EXPECT_EQ(Port.BuildDCB().BaudRate, 250000u);
  Port.SetBaudRate(br115200);
  EXPECT_EQ(Port.BuildDCB().BaudRate, 115200u);
  Port.SetBaudRate(br256000);
  EXPECT_EQ(Port.BuildDCB().BaudRate, 256000u);
  Port.SetBaudRate(br110);
  EXPECT_EQ(Port.BuildDCB().BaudRate, 110u);
}

TEST_F(FakePortTest, FlowControlPresets) {
  auto& fc = Port.FlowControl();
  fc.SetFlowControl(fcHardware);
  EXPECT_EQ(fc.ControlRTS(), rtsHandshake);
  EXPECT_TRUE(fc.OutCTSFlow());
  fc.SetOutDSRFlow(true);  // not part of the presets
  EXPECT_EQ(fc.FlowControl(), fcHardware);
  fc.SetFlowControl(fcSoftware);
  EXPECT_TRUE(fc.XonXoffIn() && fc.XonXoffOut());
  EXPECT_EQ(fc.ControlRTS(), rtsDisable);
  EXPECT_FALSE(fc.OutCTSFlow());
  EXPECT_TRUE(fc.OutDSRFlow());  // other fields are left alone
  fc.SetXonXoffIn(false);
  EXPECT_EQ(fc.FlowControl(), fcCustom);
  fc.SetFlowControl(fcCustom);
  EXPECT_EQ(fc.FlowControl(), fcCustom);
  fc.SetFlowControl(fcNone);
  EXPECT_EQ(fc.FlowControl(), fcNone);
  fc.SetControlRTS(rtsEnable);
  EXPECT_EQ(fc.FlowControl(), fcCustom);
}

TEST_F(FakePortTest, BufferSizesDropOddBytes) {
  Port.Buffer().SetInputSize(1025);
  EXPECT_EQ(Port.Buffer().InputSize(), 1024);
  Port.Buffer().SetOutputSize(7);
  EXPECT_EQ(Port.Buffer().OutputSize(), 6);
  Port.Buffer().SetInputSize(0);
  EXPECT_EQ(Port.Buffer().InputSize(), 0);
  Port.Buffer().SetOutputSize(-3);
  EXPECT_EQ(Port.Buffer().OutputSize(), -3);
  TComBuffer odd;  // a copy goes in as it is
  odd.SetInputSize(2048);
  TCustomComPort other;
  other.Buffer().SetInputSize(1);
  EXPECT_EQ(other.Buffer().InputSize(), 0);
}

TEST_F(FakePortTest, OpenConfiguresOnceInOrderAndChangesApplyOnlyWhileOpen) {
  // Closed: settings only store.
  EXPECT_TRUE(CallsOf([&] { Port.SetBaudRate(br115200); }).empty());
  EXPECT_EQ(CallsOf([&] { Port.Open(); }),
            (Strings{"Open /dev/fake0", "SetupComm 1024 1024", "SetCommState", "SetCommTimeouts", "SetCommMask 1535"}));
  EXPECT_EQ(State->Dcb.BaudRate, 115200u);
  EXPECT_EQ(State->Timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(State->Timeouts.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(State->Timeouts.WriteTotalTimeoutConstant, 1000u);

  EXPECT_EQ(CallsOf([&] { Port.SetStopBits(sbTwoStopBits); }), Strings{"SetCommState"});
  EXPECT_TRUE(CallsOf([&] { Port.SetStopBits(sbTwoStopBits); }).empty());  // same value: nothing
  EXPECT_EQ(CallsOf([&] { Port.Timeouts().SetReadTotalConstant(50); }), Strings{"SetCommTimeouts"});
  EXPECT_EQ(CallsOf([&] { Port.Buffer().SetOutputSize(4096); }), Strings{"SetupComm 1024 4096"});
  EXPECT_EQ(CallsOf([&] { Port.FlowControl().SetFlowControl(fcNone); }), Strings{"SetCommState"});  // always
  EXPECT_EQ(CallsOf([&] { Port.Parity().SetBits(prEven); }), Strings{"SetCommState"});
  EXPECT_TRUE(CallsOf([&] { Port.SetEvents({evRxChar}); }).empty());  // waits for the next Open

  // The custom rate counts only while the rate is brCustom.
  EXPECT_EQ(CallsOf([&] { Port.SetCustomBaudRate(19200); }), Strings{"SetCommState"});
  EXPECT_EQ(State->Dcb.BaudRate, 115200u);
  Port.SetBaudRate(brCustom);
  EXPECT_EQ(State->Dcb.BaudRate, 19200u);
}

TEST_F(FakePortTest, UpdateBracketReconfiguresOnceAtTheOutermostEnd) {
  Port.Open();
  const Strings calls = CallsOf([&] {
    Port.BeginUpdate();
    Port.BeginUpdate();
    Port.SetBaudRate(br57600);
    Port.SetDataBits(dbSeven);
    Port.Parity().SetBits(prOdd);
    Port.Buffer().SetInputSize(2048);
    Port.Timeouts().SetWriteTotalConstant(10);
    Port.EndUpdate();
    EXPECT_TRUE(State->TakeCalls().empty()) << "inner EndUpdate applies nothing";
    Port.EndUpdate();
    Port.EndUpdate();  // at depth 0: nothing
  });
  EXPECT_EQ(calls, (Strings{"SetupComm 2048 1024", "SetCommState", "SetCommTimeouts"}));
  EXPECT_EQ(State->Dcb.BaudRate, 57600u);
  EXPECT_EQ(State->Dcb.ByteSize, 7);
  EXPECT_EQ(State->Timeouts.WriteTotalTimeoutConstant, 10u);
}

TEST_F(FakePortTest, GuardsOfTheSettings) {
  Port.Open();
  EXPECT_EQ(CodeOf<EComPort>([&] { Port.SetSyncMethod(smNone); }), 14);
  EXPECT_EQ(Port.SyncMethod(), smThreadSync);
  Port.SetSyncMethod(smThreadSync);  // the same value is no change
  EXPECT_EQ(CodeOf<EComPort>([&] { Port.SetEventThreadPriority(tpHighest); }), 14);
  Port.SetOverlapped(false);  // ignored while connected
  EXPECT_TRUE(Port.Overlapped());
  Port.Close();
  Port.SetSyncMethod(smNone);
  EXPECT_EQ(Port.SyncMethod(), smNone);

  TComLink link;
  link.OnRxBuf = [](TCustomComPort*, const std::uint8_t*, int) {};
  Port.RegisterLink(&link);
  EXPECT_FALSE(Port.TriggersOnRxChar());
  EXPECT_EQ(CodeOf<EComPort>([&] { Port.SetTriggersOnRxChar(true); }), 22);
  EXPECT_EQ(CodeOf<EComPort>([&] { Port.RegisterLink(&link); }), 18);
  Port.UnRegisterLink(&link);
  EXPECT_TRUE(Port.TriggersOnRxChar());
  EXPECT_EQ(CodeOf<EComPort>([&] { Port.UnRegisterLink(&link); }), 18);
}

TEST_F(FakePortTest, FailedConfigurationLeavesThePortClosed) {
  Port.OnAfterOpen = [&](TCustomComPort*) { Log.push_back("AfterOpen"); };
  State->Failing["SetCommState"] = EINVAL;
  try {
    Port.Open();
    FAIL();
  } catch (const EComPortExt& e) {
    EXPECT_EQ(e.PortErrorCode, 7);
    EXPECT_EQ(e.OsErrorCode, EINVAL);
    EXPECT_STREQ(e.what(), "COM Port Error: SetCommState function failed on /dev/fake0");
  }
  EXPECT_FALSE(Port.Connected());
  EXPECT_TRUE(State->Called("Close"));
  EXPECT_TRUE(Log.empty());

  // On an open port a failing setter keeps the new value stored.
  State->Failing.clear();
  Port.Open();
  State->Failing["SetCommTimeouts"] = EIO;
  EXPECT_EQ(CodeOf<EComPortExt>([&] { Port.Timeouts().SetReadInterval(5); }), 8);
  EXPECT_EQ(Port.Timeouts().ReadInterval(), 5);
  State->Failing["SetupComm"] = EIO;
  EXPECT_EQ(CodeOf<EComPortExt>([&] { Port.Buffer().SetInputSize(64); }), 9);
}

TEST_F(FakePortTest, OpenAndCloseNotifyInOrder) {
  State->Modem = MS_CTS_ON | MS_RLSD_ON;
  TComLink link;
  link.OnConn = [&](TCustomComPort*, bool on) { Log.push_back(std::string("link Conn ") + (on ? "on" : "off")); };
  link.OnCTSChange = [&](TCustomComPort*, bool on) { Log.push_back(std::string("link CTS ") + (on ? "on" : "off")); };
  link.OnDSRChange = [&](TCustomComPort*, bool on) { Log.push_back(std::string("link DSR ") + (on ? "on" : "off")); };
  link.OnRLSDChange = [&](TCustomComPort*, bool on) { Log.push_back(std::string("link RLSD ") + (on ? "on" : "off")); };
  Port.RegisterLink(&link);
  Port.OnBeforeOpen = [&](TCustomComPort*) { Log.push_back("BeforeOpen"); };
  Port.OnAfterOpen = [&](TCustomComPort* s) {
    EXPECT_EQ(s, &Port);
    Log.push_back("AfterOpen");
  };
  Port.OnBeforeClose = [&](TCustomComPort*) { Log.push_back("BeforeClose"); };
  Port.OnAfterClose = [&](TCustomComPort*) { Log.push_back(Port.Connected() ? "AfterClose connected" : "AfterClose"); };
  Port.OnCTSChange = [&](TCustomComPort*, bool on) { Log.push_back(std::string("CTS ") + (on ? "on" : "off")); };
  Port.OnDSRChange = [&](TCustomComPort*, bool on) { Log.push_back(std::string("DSR ") + (on ? "on" : "off")); };
  Port.OnRLSDChange = [&](TCustomComPort*, bool on) { Log.push_back(std::string("RLSD ") + (on ? "on" : "off")); };
  Port.Open();
  Port.Open();  // nothing
  EXPECT_EQ(Log, (Strings{"BeforeOpen", "link Conn on", "AfterOpen", "link CTS on", "CTS on", "link DSR off", "DSR off",
                          "link RLSD on", "RLSD on"}));
  Log.clear();
  Port.Close();
  Port.Close();  // nothing
  EXPECT_EQ(Log, (Strings{"link CTS off", "link DSR off", "link RLSD off", "CTS off", "DSR off", "RLSD off",
                          "BeforeClose", "link Conn off", "AfterClose"}));
  Port.UnRegisterLink(&link);
}

TEST_F(FakePortTest, ConnectedWhileLoadingOpensAfterLoading) {
  Port.BeginLoading();
  Port.SetConnected(true);
  EXPECT_FALSE(State->Called("Open"));
  Port.Loaded();
  EXPECT_TRUE(Port.Connected());
  EXPECT_TRUE(State->Called("Open"));
}

TEST_F(FakePortTest, NoEventsMeansNoThreadButTheOpenReport) {
  Port.SetEvents({});
  int signals = 0;
  Port.OnCTSChange = [&](TCustomComPort*, bool) { ++signals; };
  Port.Open();
  EXPECT_EQ(signals, 1);
  State->Push(EV_CTS);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  CheckSynchronize();
  EXPECT_EQ(State->Waits, 0);
  EXPECT_FALSE(State->Called("SetCommMask"));
  EXPECT_EQ(signals, 1);
}

TEST_F(FakePortTest, EventsRunTheirHandlersInTheFixedOrder) {
  State->Modem = MS_DSR_ON;
  Port.Parity().SetCheck(false);
  Port.OnError = [&](TCustomComPort*, TComErrors e) { Log.push_back("Error " + ComErrorsToStr(e)); };
  Port.OnRxChar = [&](TCustomComPort*, int count) {
    std::string s;
    Port.ReadStr(s, count);
    Log.push_back("RxChar " + s);
  };
  Port.OnTxEmpty = [&](TCustomComPort*) { Log.push_back("TxEmpty"); };
  Port.OnBreak = [&](TCustomComPort*) { Log.push_back("Break"); };
  Port.OnRing = [&](TCustomComPort*) { Log.push_back("Ring"); };
  Port.OnDSRChange = [&](TCustomComPort*, bool on) { Log.push_back(std::string("DSR ") + (on ? "on" : "off")); };
  Port.OnRxFlag = [&](TCustomComPort*) { Log.push_back("RxFlag"); };
  Port.OnRx80Full = [&](TCustomComPort*) { Log.push_back("Rx80Full"); };
  Port.Open();
  Log.clear();
  State->Errors = CE_FRAME | CE_RXPARITY;  // parity is dropped without Check
  State->Push(EV_RX80FULL | EV_RXFLAG | EV_DSR | EV_RING | EV_BREAK | EV_TXEMPTY | EV_RXCHAR | EV_ERR, "ab");
  ASSERT_TRUE(PumpUntil([&] { return Log.size() == 8; }));
  EXPECT_EQ(Log, (Strings{"Error <ComError:Frame>", "RxChar ab", "TxEmpty", "Break", "Ring", "DSR on", "RxFlag",
                          "Rx80Full"}));

  // Errors that map to nothing, and a receive event on an empty queue, raise nothing.
  Log.clear();
  State->Errors = 0x0020;
  State->Push(EV_ERR | EV_RXCHAR);
  State->Push(EV_RING);
  ASSERT_TRUE(PumpUntil([&] { return !Log.empty(); }));
  EXPECT_EQ(Log, Strings{"Ring"});
}

TEST_F(FakePortTest, WhoReadsReceivedBytes) {
  int rxChar = 0;
  Strings rxBuf;
  Port.OnRxChar = [&](TCustomComPort*, int count) { rxChar += count; };
  Port.OnRxBuf = [&](TCustomComPort*, const std::uint8_t* b, int n) { rxBuf.push_back("port " + std::string((const char*)b, n)); };
  Port.SetTriggersOnRxChar(false);
  Port.Open();
  State->Push(EV_RXCHAR, "xyz");
  ASSERT_TRUE(PumpUntil([&] { return rxBuf.size() == 1; }));
  EXPECT_EQ(rxBuf, Strings{"port xyz"});
  EXPECT_EQ(rxChar, 0);

  // A link's receive handler makes the port read whatever the setting says;
  // the port's own handler sees the bytes first.
  Port.Close();
  Port.SetTriggersOnRxChar(true);
  TComLink link;
  bool rxOn = false;
  link.OnRx = [&](TCustomComPort*, bool on) { rxOn = on; };
  link.OnRxBuf = [&](TCustomComPort*, const std::uint8_t* b, int n) { rxBuf.push_back("link " + std::string((const char*)b, n)); };
  Port.RegisterLink(&link);
  Port.Open();
  rxBuf.clear();
  State->Push(EV_RXCHAR, "12");
  ASSERT_TRUE(PumpUntil([&] { return rxBuf.size() == 2; }));
  EXPECT_EQ(rxBuf, (Strings{"port 12", "link 12"}));
  EXPECT_EQ(rxChar, 0);
  EXPECT_FALSE(rxOn);  // on while bytes wait, off once a read emptied the queue
  Port.Close();
  Port.UnRegisterLink(&link);

  // Defaults: the application reads in OnRxChar.
  Port.OnRxBuf = nullptr;
  Port.Open();
  rxBuf.clear();
  State->Push(EV_RXCHAR, "1234");
  ASSERT_TRUE(PumpUntil([&] { return rxChar == 4; }));
  EXPECT_TRUE(rxBuf.empty());
}

TEST_F(FakePortTest, LinksHearSignalsTransmitsAndRings) {
  TComLink link;
  link.OnTx = [&](TCustomComPort*, bool on) { Log.push_back(std::string("Tx ") + (on ? "on" : "off")); };
  link.OnTxData = [&](TCustomComPort*, const std::uint8_t* b, int n) { Log.push_back("TxData " + std::string((const char*)b, n)); };
  link.OnTxEmpty = [&](TCustomComPort*) { Log.push_back("link TxEmpty"); };
  link.OnRing = [&](TCustomComPort*) { Log.push_back("link Ring"); };
  link.OnRxFlag = [&](TCustomComPort*) { Log.push_back("link RxFlag"); };
  Port.OnTxEmpty = [&](TCustomComPort*) { Log.push_back("TxEmpty"); };
  Port.OnRing = [&](TCustomComPort*) { Log.push_back("Ring"); };
  Port.RegisterLink(&link);
  Port.Open();
  EXPECT_EQ(Port.WriteStr("hi"), 2);
  EXPECT_EQ(State->Output, "hi");
  State->Push(EV_TXEMPTY | EV_RING | EV_RXFLAG);
  ASSERT_TRUE(PumpUntil([&] { return Log.size() == 8; }));
  EXPECT_EQ(Log, (Strings{"Tx on", "TxData hi", "Tx off", "link TxEmpty", "TxEmpty", "link Ring", "Ring", "link RxFlag"}));
  Port.Close();
  Port.UnRegisterLink(&link);
}

TEST_F(FakePortTest, DeliveryRoutes) {
  // With smNone the handler runs on the event thread: it locks for itself.
  std::mutex mutex;
  std::thread::id handlerThread;
  std::atomic<int> calls = 0;
  Port.OnRing = [&](TCustomComPort*) {
    std::lock_guard lock(mutex);
    handlerThread = std::this_thread::get_id();
    ++calls;
  };
  const auto eventsTaken = [&] {
    std::lock_guard lock(State->Mutex);
    return State->Events.empty();
  };
  for (TSyncMethod method : {smWindowSync, smNone, smDisableEvents}) {
    Port.SetSyncMethod(method);
    Port.Open();
    calls = 0;
    State->Push(EV_RING);
    if (method == smDisableEvents) {
      PumpUntil(eventsTaken);
      CheckSynchronize(20);
      EXPECT_EQ(calls, 0);
    } else {
      ASSERT_TRUE(PumpUntil([&] { return calls == 1; })) << int(method);
      std::lock_guard lock(mutex);
      EXPECT_EQ(handlerThread == std::this_thread::get_id(), method == smWindowSync) << int(method);
    }
    Port.Close();
  }
}

TEST_F(FakePortTest, WindowSyncDeliversEachLineToItsHandler) {
  Port.SetSyncMethod(smWindowSync);
  Port.OnRLSDChange = [&](TCustomComPort*, bool) { Log.push_back("RLSD"); };
  Port.OnRing = [&](TCustomComPort*) { Log.push_back("Ring"); };
  Port.OnCTSChange = [&](TCustomComPort*, bool) { Log.push_back("CTS"); };
  Port.Open();
  Log.clear();
  State->Push(EV_RLSD);
  ASSERT_TRUE(PumpUntil([&] { return Log.size() == 1; }));
  State->Push(EV_RING);
  ASSERT_TRUE(PumpUntil([&] { return Log.size() == 2; }));
  EXPECT_EQ(Log, (Strings{"RLSD", "Ring"}));
}

TEST_F(FakePortTest, CloseFinishesAPendingDispatchWithoutDeadlock) {
  bool connectedInHandler = false;
  Port.OnRing = [&](TCustomComPort*) { connectedInHandler = Port.Connected(); };
  Port.Open();
  State->Push(EV_RING);
  // Give the thread time to wait for the UI thread, which does not pump.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  State->TakeCalls();
  Port.Close();
  EXPECT_TRUE(connectedInHandler);
  const Strings calls = State->TakeCalls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "PurgeComm 12"), calls.end());  // queues cleared on stop
  EXPECT_NE(std::find(calls.begin(), calls.end(), "SetCommMask 0"), calls.end());
}

TEST_F(FakePortTest, CloseFromItsOwnHandlerIsCarriedOutAtOnce) {
  bool stillConnected = true;
  Port.OnRing = [&](TCustomComPort*) {
    Port.Close();
    stillConnected = Port.Connected();
  };
  Port.Open();
  State->Push(EV_RING);
  ASSERT_TRUE(PumpUntil([&] { return !Port.Connected(); }));
  EXPECT_FALSE(stillConnected);
}

TEST_F(FakePortTest, IoFailuresRaiseTheirCodes) {
  EXPECT_EQ(CodeOf<EComPortExt>([&] { Port.Write("x", 1); }), 2);  // closed
  EXPECT_EQ(CodeOf<EComPortExt>([&] {
              std::string text;
              Port.ReadStr(text, 1);
            }),
            3);
  EXPECT_EQ(CodeOf<EComPortExt>([&] { Port.TransmitChar('x'); }), 13);
  Port.Open();
  EXPECT_EQ(CodeOf<EComPort>([&] { Port.WriteAsync("x", 1, nullptr); }), 4);
  EXPECT_EQ(CodeOf<EComPort>([&] {
              PCPortAsync none = nullptr;
              Port.WaitForAsync(none);
            }),
            4);
  EXPECT_EQ(CodeOf<EComPort>([&] { Port.IsAsyncCompleted(nullptr); }), 4);
  State->Failing["WriteComplete"] = EIO;
  EXPECT_EQ(CodeOf<EComPortExt>([&] { Port.Write("abc", 3); }), 2);
  EXPECT_TRUE(Port.Connected());
  State->Failing.clear();
  State->Failing["ReadFile"] = EIO;  // a read that cannot be issued says so, as a write does
  char buffer[4] = {};
  EXPECT_EQ(CodeOf<EComPortExt>([&] { Port.Read(buffer, 4); }), 3);
  std::string text;
  EXPECT_EQ(CodeOf<EComPortExt>([&] { Port.ReadStr(text, 4); }), 3);
  State->Failing.clear();
  State->Failing["ClearCommError"] = EIO;
  EXPECT_EQ(CodeOf<EComPortExt>([&] { Port.InputCount(); }), 10);
  State->Failing["GetCommModemStatus"] = EIO;
  EXPECT_EQ(CodeOf<EComPortExt>([&] { Port.Signals(); }), 11);
  State->Failing["Escape"] = EIO;
  EXPECT_EQ(CodeOf<EComPortExt>([&] { Port.SetDTR(true); }), 12);
  State->Failing["PurgeComm"] = EIO;
  EXPECT_EQ(CodeOf<EComPortExt>([&] { Port.ClearBuffer(true, true); }), 5);
  // A failing abort leaves Close at that point: still connected.
  EXPECT_EQ(CodeOf<EComPortExt>([&] { Port.Close(); }), 5);
  EXPECT_TRUE(Port.Connected());
  State->Failing.clear();
  EXPECT_EQ(CodeOf<EComPort>([&] {
              TComEvents e{evRxChar};
              Port.WaitForEvent(e, nullptr, 10);
            }),
            20);
}

TEST_F(FakePortTest, LineControlsAndQueries) {
  Port.Open();
  EXPECT_EQ(CallsOf([&] {
              Port.SetBreak(true);
              Port.SetBreak(false);
              Port.SetDTR(true);
              Port.SetDTR(false);
              Port.SetRTS(true);
              Port.SetRTS(false);
              Port.SetXonXoff(true);
              Port.SetXonXoff(false);
              Port.ClearBuffer(true, false);
              Port.ClearBuffer(false, true);
              Port.ClearBuffer(false, false);
              Port.TransmitChar('Z');
            }),
            (Strings{"Escape 8", "Escape 9", "Escape 5", "Escape 6", "Escape 3", "Escape 4", "Escape 2", "Escape 1",
                     "PurgeComm 8", "PurgeComm 4", "PurgeComm 0", "TransmitCommChar Z"}));
  State->Modem = MS_CTS_ON | MS_RING_ON;
  EXPECT_EQ(Port.Signals(), TComSignals({csCTS, csRing}));
  State->Errors = CE_RXPARITY | CE_OVERRUN | CE_BREAK | CE_IOE | CE_MODE | CE_RXOVER | CE_TXFULL;
  EXPECT_EQ(Port.LastErrors(), TComErrors({ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull}));
  EXPECT_TRUE(Port.LastErrors().Empty());  // reading cleared them
  Port.Parity().SetCheck(true);
  State->Errors = CE_RXPARITY;
  EXPECT_EQ(Port.LastErrors(), TComErrors({ceRxParity}));

  // Without overlapped I/O the signals are not asked for.
  Port.Close();
  Port.SetOverlapped(false);
  Port.Open();
  State->TakeCalls();
  EXPECT_TRUE(Port.Signals().Empty());
  EXPECT_FALSE(State->Called("GetCommModemStatus"));
}

TEST_F(FakePortTest, WaitForEventWithoutTheThread) {
  Port.SetEvents({});
  Port.Open();
  State->Push(EV_CTS);
  TComEvents events{evCTS, evRxChar};
  Port.WaitForEvent(events, nullptr, 1000);
  EXPECT_EQ(events, TComEvents({evCTS}));
  TComStopEvent stop;
  stop.Set();
  events = {evRxChar};
  Port.WaitForEvent(events, &stop, -1);
  EXPECT_TRUE(events.Empty());
  State->Failing["WaitCommEvent"] = EIO;
  EXPECT_EQ(CodeOf<EComPortExt>([&] { Port.WaitForEvent(events, nullptr, 10); }), 21);
}

TEST_F(FakePortTest, EveryRouteShowsAHandlersExceptionAndDeliveryGoesOn) {
  // The exception reaches the application's handler, as from any other
  // event; later events, a lost line among them, are still delivered.
  std::mutex mutex;
  Strings shown;
  SetThreadExceptionHandler([&](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      std::lock_guard lock(mutex);
      shown.push_back(x.what());
    }
  });
  for (TSyncMethod method : {smThreadSync, smWindowSync, smNone}) {
    shown.clear();
    State->LostError = 0;
    std::atomic<int> rings{0};
    std::atomic<bool> lost{false};
    Port.SetSyncMethod(method);
    Port.OnRing = [&](TCustomComPort*) {
      if (++rings == 1) throw EComPort("ring failed");
    };
    Port.OnError = [&](TCustomComPort*, TComErrors errors) { lost = errors.Contains(ceIO); };
    Port.Open();
    State->Push(EV_RING);
    State->Push(EV_RING);
    EXPECT_TRUE(PumpUntil([&] { return rings == 2; })) << int(method);
    State->Lose(EIO);
    EXPECT_TRUE(PumpUntil([&] { return !Port.Connected(); })) << int(method);
    EXPECT_TRUE(lost) << int(method);
    std::lock_guard lock(mutex);
    EXPECT_EQ(shown, Strings{"ring failed"}) << int(method);
  }
  SetThreadExceptionHandler(nullptr);
}
