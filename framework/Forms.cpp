#include "Forms.h"

#include "Threads.h"

#include <QIcon>
#include <QMessageBox>
#include <QSocketNotifier>

#include <cstdlib>
#include <sstream>
#include <sys/stat.h>

namespace {
TApplication* TheApplication = nullptr;
}

namespace {

// A descriptor watched by the event loop. The notifier goes later, so that
// a watch may end from inside its own handler.
class TNotifierWatch : public TFdWatch {
public:
  TNotifierWatch(int fd, std::function<void()> ready) : Notifier(new QSocketNotifier(fd, QSocketNotifier::Read, qApp)) {
    QObject::connect(Notifier, &QSocketNotifier::activated, Notifier, Guarded(std::move(ready)));
  }
  ~TNotifierWatch() override {
    Notifier->setEnabled(false);
    Notifier->deleteLater();
  }
  void SetEnabled(bool enabled) override { Notifier->setEnabled(enabled); }

private:
  QSocketNotifier* Notifier;
};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// An X display on this machine (":0", "unix:1.0") needs its socket; one on
// another host is trusted.
[[maybe_unused]] bool XDisplayReachable(const std::string& display) {
  if (display.empty()) return false;
  const auto colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = display.substr(0, colon);
  if (!host.empty() && host != "unix" && host != "localhost") return true;
  const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
  struct stat info {};
  return stat(("/tmp/.X11-unix/X" + number).c_str(), &info) == 0;
}

[[maybe_unused]] bool WaylandReachable() { return !Env("WAYLAND_DISPLAY").empty(); }

}  // namespace

std::string MissingDisplay(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  return {};  // a Windows session always has its desktop
#endif
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "-platform") return {};  // the user chose one
  const std::string chosen = Env("QT_QPA_PLATFORM");
  if (chosen.empty()) {
    if (XDisplayReachable(Env("DISPLAY")) || WaylandReachable()) return {};
    return Env("DISPLAY").empty() ? "a display is needed, and neither DISPLAY nor WAYLAND_DISPLAY is set"
                                  : "a display is needed, and the X display " + Env("DISPLAY") + " is not there";
  }
  // A list of platforms to try in turn, each with optional arguments.
  std::istringstream platforms(chosen);
  for (std::string entry; std::getline(platforms, entry, ';');) {
    const std::string name = entry.substr(0, entry.find(':'));
    if (name == "xcb" ? XDisplayReachable(Env("DISPLAY"))
                      : name.rfind("wayland", 0) == 0 ? WaylandReachable() : !name.empty())
      return {};
  }
  return "a display is needed, and the platform QT_QPA_PLATFORM=" + chosen + " finds none";
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  TheApplication = this;
  // Calls that worker threads queue for the UI thread run from the event loop.
  SetMainThread();
  SetWakeMainThread([this] { QMetaObject::invokeMethod(this, [] { CheckSynchronize(); }, Qt::QueuedConnection); });
  SetThreadExceptionHandler([this](std::exception_ptr error) { HandleException(error); });
  SetFdWatchMaker([](int fd, std::function<void()> ready) -> std::unique_ptr<TFdWatch> {
    return std::make_unique<TNotifierWatch>(fd, std::move(ready));
  });
  SetSlowWaitHooks({[] { setOverrideCursor(Qt::BusyCursor); },
                    [] { processEvents(QEventLoop::ExcludeUserInputEvents); },
                    [] { restoreOverrideCursor(); }});
}

TApplication::~TApplication() {
  SetSlowWaitHooks({});
  SetFdWatchMaker(nullptr);
  SetWakeMainThread(nullptr);
  SetThreadExceptionHandler(nullptr);
  if (TheApplication == this) TheApplication = nullptr;
}

void TApplication::SetDesktopIdentity(const QString& desktopId) {
  setDesktopFileName(desktopId);
  QIcon icon;
  for (int size : {16, 32, 48, 256}) icon.addFile(QString(":/icons/%1x%1/%2.png").arg(size).arg(desktopId));
  setWindowIcon(QIcon::fromTheme(desktopId, icon));
}

void TApplication::MessageBox(const QString& text) {
  if (Sink) {
    Sink->Show(text);
    return;
  }
  // A modal box runs a nested event loop: timers and port events go on.
  QMessageBox box(QMessageBox::NoIcon, Title(), text, QMessageBox::Ok, activeWindow());
  box.setTextFormat(Qt::PlainText);  // messages quote module and file texts: "<b>" is no markup
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

std::function<TSaveAnswer(const QString&)> AskToSaveAnswer;
std::function<bool(const QString&)> AskYesNoAnswer;

TSaveAnswer AskToSave(QWidget* owner, const QString& text) {
  if (AskToSaveAnswer) return AskToSaveAnswer(text);
  QMessageBox box(QMessageBox::Question, Application()->Title(), text,
                  QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, owner);
  box.setDefaultButton(QMessageBox::Save);
  box.setEscapeButton(QMessageBox::Cancel);
  switch (box.exec()) {
    case QMessageBox::Save: return saSave;
    case QMessageBox::Discard: return saDiscard;
    default: return saCancel;
  }
}

bool AskYesNo(QWidget* owner, const QString& text) {
  if (AskYesNoAnswer) return AskYesNoAnswer(text);
  QMessageBox box(QMessageBox::Question, Application()->Title(), text, QMessageBox::Yes | QMessageBox::No, owner);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}
