#include "Forms.h"

#include "Threads.h"

#include <QMessageBox>

namespace {
TApplication* TheApplication = nullptr;
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  TheApplication = this;
  // Calls that worker threads queue for the UI thread run from the event loop.
  SetMainThread();
  SetWakeMainThread([this] { QMetaObject::invokeMethod(this, [] { CheckSynchronize(); }, Qt::QueuedConnection); });
  SetThreadExceptionHandler([this](std::exception_ptr error) { HandleException(error); });
}

TApplication::~TApplication() {
  SetWakeMainThread(nullptr);
  SetThreadExceptionHandler(nullptr);
  if (TheApplication == this) TheApplication = nullptr;
}

void TApplication::MessageBox(const QString& text) {
  if (Sink) {
    Sink->Show(text);
    return;
  }
  // A modal box runs a nested event loop: timers and port events go on.
  QMessageBox box(QMessageBox::NoIcon, Title(), text, QMessageBox::Ok, activeWindow());
  box.exec();
}

void TApplication::HandleException(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    MessageBox(QString::fromUtf8(e.what()));
  } catch (...) {
    MessageBox(QString());
  }
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleException(std::current_exception());
    return true;
  }
}

TApplication* Application() { return TheApplication; }

void ShowMessage(const QString& text) { Application()->MessageBox(text); }
