// The signal LED, headless: its timing rules on a scripted port, the state
// guard, the glyph rules and the built-in images.
#include "CPortCtl.h"
#include "FakeComDevice.h"

#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// An LED on a port, with every state it was set to.
struct TWatchedLed {
  TWatchedLed() {
    Led.OnChange = [this](TComLed*, TLedState s) { States.push_back(s); };
    Led.SetComPort(&Port);
  }
  ~TWatchedLed() { Port.Close(); }
  TFakePort Port;
  TComLed Led;
  std::vector<TLedState> States;
};

bool WaitForState(TComLed& led, TLedState state, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (led.State() != state && timer.elapsed() < timeoutMs) QTest::qWait(5);
  return led.State() == state;
}

// The pixels of what the LED draws, on a plain background.
QImage Shot(TComLed& led) {
  led.setAutoFillBackground(true);
  return led.grab().toImage();
}

}  // namespace

TEST(ComLed, FollowsTheConnectionWithAShortDelayOff) {
  TWatchedLed w;
  EXPECT_EQ(w.Led.size(), QSize(25, 25));
  EXPECT_EQ(w.Led.State(), lsOff);  // bound to a closed port: stays off
  w.Port.Open();
  EXPECT_EQ(w.Led.State(), lsOn);
  QElapsedTimer sinceClose;
  w.Port.Close();
  sinceClose.start();
  EXPECT_EQ(w.Led.State(), lsOn);  // still lit for a moment
  ASSERT_TRUE(WaitForState(w.Led, lsOff, 2000));
  EXPECT_GE(sinceClose.elapsed(), 90);

  // An "on" within the off delay keeps the lamp lit without a dark flash
  // (at once: a busy machine may stall a fixed wait past the delay).
  w.Port.Open();
  w.States.clear();
  w.Port.Close();
  QCoreApplication::processEvents();
  w.Port.Open();
  QTest::qWait(150);
  EXPECT_EQ(w.States, std::vector<TLedState>{});  // it never changed
  EXPECT_EQ(w.Led.State(), lsOn);

  // A short burst of sending lights the Tx lamp for at least 100 ms (the
  // lamp is lit still: a new signal waits for its next notification).
  w.Led.SetLedSignal(lsTx);
  w.Port.Write("x", 1);
  EXPECT_EQ(w.Led.State(), lsOn);
  w.Port.State->Push(EV_TXEMPTY);
  QElapsedTimer sinceEmpty;
  sinceEmpty.start();
  ASSERT_TRUE(WaitForState(w.Led, lsOff, 2000));
  EXPECT_GE(sinceEmpty.elapsed(), 90);
}

TEST(ComLed, RingsLightTheLampForTheirDurationAndRestartIt) {
  TWatchedLed w;
  w.Led.SetLedSignal(lsRing);
  w.Led.SetRingDuration(300);
  w.Port.Open();
  w.Port.State->Push(EV_RING);
  ASSERT_TRUE(WaitForState(w.Led, lsOn, 2000));
  QElapsedTimer sinceFirst;
  sinceFirst.start();
  QTest::qWait(150);
  w.Port.State->Push(EV_RING);  // restarts the 300 ms
  QTest::qWait(50);
  ASSERT_TRUE(WaitForState(w.Led, lsOff, 3000));
  EXPECT_GE(sinceFirst.elapsed(), 150 + 290);
}

TEST(ComLed, TheProgramSwitchesOnlyAnUnboundLamp) {
  TFakePort port;
  TComLed led;
  led.SetState(lsOn);
  EXPECT_EQ(led.State(), lsOn);
  led.SetComPort(&port);  // bound to a closed port: the state stays
  try {
    led.SetState(lsOff);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.PortErrorCode, 19);
    EXPECT_STREQ(e.what(), "ComLed  Error: Cannot change led state if ComPort is selected");
  }
  EXPECT_EQ(led.State(), lsOn);
  led.SetComPort(nullptr);  // unbound: off
  EXPECT_EQ(led.State(), lsOff);

  // A port destroyed while bound unbinds the lamp.
  auto gone = std::make_unique<TFakePort>();
  led.SetComPort(gone.get());
  gone.reset();
  EXPECT_EQ(led.ComPort(), nullptr);
}

TEST(ComLed, GlyphsCustomOnlyAndDarkWhenDisabled) {
  TComLed led;
  led.SetKind(lkGreenLight);
  QPixmap square(9, 9);
  square.fill(Qt::magenta);
  led.SetGlyphOn(square);  // ignored: not a custom LED
  EXPECT_NE(led.GlyphOn().size(), QSize(9, 9));
  led.SetKind(lkCustom);
  led.SetGlyphOn(square);
  EXPECT_EQ(led.GlyphOn().size(), QSize(9, 9));
  EXPECT_TRUE(led.GlyphOn().hasAlpha());  // the corner colour is transparent: all of it here

  led.SetKind(lkRedLight);
  led.SetState(lsOn);
  const QImage lit = Shot(led);
  led.setEnabled(false);
  const QImage disabled = Shot(led);
  led.SetState(lsOff);
  led.setEnabled(true);
  EXPECT_EQ(disabled, Shot(led));
  EXPECT_NE(lit, disabled);
}

TEST(ComLed, EveryBuiltInImageHasADistinctLitAndDarkLamp) {
  for (TLedKind kind : {lkRedLight, lkGreenLight, lkBlueLight, lkYellowLight, lkPurpleLight, lkBulb}) {
    const QImage on = TComLed::BuiltInGlyph(kind, lsOn).toImage();
    const QImage off = TComLed::BuiltInGlyph(kind, lsOff).toImage();
    ASSERT_EQ(on.size(), QSize(15, 15)) << kind;
    ASSERT_EQ(off.size(), QSize(15, 15)) << kind;
    EXPECT_NE(on, off) << kind;
    for (const QImage& image : {on, off}) {
      int opaque = 0, colours = 0;
      QSet<QRgb> seen;
      for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 15; ++x)
          if (qAlpha(image.pixel(x, y)) > 0) ++opaque, seen.insert(image.pixel(x, y));
      colours = int(seen.size());
      EXPECT_GT(opaque, 80) << kind;  // a lamp, not a blank
      EXPECT_GE(colours, 3) << kind;
      EXPECT_EQ(qAlpha(image.pixel(0, 14)), 0) << kind;  // the corner is transparent
    }
  }
}
