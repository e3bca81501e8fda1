#include "Controls.h"
#include "Dialogs.h"
#include "Forms.h"
#include "MessageRecorder.h"
#include "SysUtils.h"

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

TEST(Application, TitleIsTheMessageCaptionButNoWindowCaptionSuffix) {
  EXPECT_EQ(Application()->Title(), "HRVX3300");
  // Qt appends a display name, once set, to every window caption.
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
}

TEST(Application, AThrowingHandlerIsStoppedShownAndTheLoopCarriesOn) {
  TMessageRecorder recorder;
  int reached = 0;
  QTimer::singleShot(0, Guarded([&] {
                       ++reached;
                       throw EConvertError("'x' is not a valid integer value");
                       ++reached;  // never runs
                     }));
  QTimer::singleShot(0, Guarded([] { throw 42; }));  // not an exception class: empty message
  bool later = false;
  QTimer::singleShot(20, [&] { later = true; });
  QElapsedTimer clock;
  clock.start();
  while (!later && clock.elapsed() < 2000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_EQ(reached, 1);
  EXPECT_TRUE(later);
  EXPECT_EQ(recorder.Messages, (QStringList{"'x' is not a valid integer value", ""}));
}

TEST(Application, AnExceptionThatEscapesAnUnguardedHandlerIsCaughtAtTheLoop) {
  TMessageRecorder recorder;
  QPushButton button;
  QObject::connect(&button, &QPushButton::clicked, [] { throw Exception("unguarded"); });
  QTimer::singleShot(0, &button, [&] { button.click(); });
  QElapsedTimer clock;
  clock.start();
  while (recorder.Messages.isEmpty() && clock.elapsed() < 2000) QCoreApplication::processEvents();
  EXPECT_EQ(recorder.Messages, QStringList{"unguarded"});
}

TEST(Controls, FindByNameAndTag) {
  QWidget owner;
  auto* inner = new QWidget(&owner);
  auto* button = new QPushButton(inner);
  button->setObjectName("Button_Send3");
  SetTag(button, 2);
  EXPECT_EQ(FindComponent<QPushButton>(&owner, "Button_Send3"), button);
  EXPECT_EQ(FindComponent<QPushButton>(&owner, "Button_Send4"), nullptr);
  EXPECT_EQ(Tag(button), 2);
  EXPECT_EQ(Tag(inner), 0);
}

TEST(Controls, ClickLabelAnswersMouseAndKeyboard) {
  TClickLabel label("SN:");
  int clicks = 0;
  QObject::connect(&label, &TClickLabel::clicked, [&] { ++clicks; });
  label.Click();
  QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
  QCoreApplication::sendEvent(&label, &space);
  QKeyEvent letter(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
  QCoreApplication::sendEvent(&label, &letter);
  EXPECT_EQ(clicks, 2);
  EXPECT_EQ(label.focusPolicy(), Qt::StrongFocus);
}

TEST(Dialogs, FilterTextsBecomeQtFilters) {
  EXPECT_EQ(QtFileFilter("*.dat|*.dat"), "*.dat (*.dat)");
  EXPECT_EQ(QtFileFilter("Text|*.txt;*.log|All|*"), "Text (*.txt *.log);;All (*)");
}

TEST(Application, MessageBoxHasTitleAndOkAndTimersTickWhileItIsOpen) {
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);
  QString caption, text;
  int buttons = 0;
  // Closes the box once the timer has ticked a few times under it.
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || ticks < 5) return;
    caption = box->windowTitle();
    text = box->text();
    buttons = int(box->buttons().size());
    box->button(QMessageBox::Ok)->click();
  });
  closer.start(5);
  ShowMessage(" Send OK ");
  EXPECT_GE(ticks, 5);
  EXPECT_EQ(caption, "HRVX3300");
  EXPECT_EQ(text, " Send OK ");
  EXPECT_EQ(buttons, 1);
}
