// Catches the program's message boxes for the widget tests.
#pragma once

#include "Forms.h"

#include <QStringList>

class TMessageRecorder : public TMessageSink {
public:
  TMessageRecorder() { Application()->SetMessageSink(this); }
  ~TMessageRecorder() override { Application()->SetMessageSink(nullptr); }
  void Show(const QString& text) override { Messages << text; }
  QStringList Messages;
};
