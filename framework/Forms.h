// The application object, modal message boxes and the application-level
// exception handler.
#pragma once

#include <QApplication>
#include <QString>

#include <exception>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

// Where the program's message boxes go. The default shows a modal box with the
// application title as caption and one OK button; tests put a recorder here.
class TMessageSink {
public:
  virtual ~TMessageSink() = default;
  virtual void Show(const QString& text) = 0;
};

// Why no window can be shown here (no display to draw on), or an empty text
// when one can. Checked before the application object exists: Qt aborts with
// a core dump when its platform finds no display.
std::string MissingDisplay(int argc, char** argv);

class TApplication : public QApplication {
public:
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  // The caption of message boxes. Kept apart from Qt's display name, which
  // the window system would append to every window's caption.
  QString Title() const { return TitleText; }
  void SetTitle(const QString& title) { TitleText = title; }

  // Names the desktop entry the windows belong to, and takes its icon from
  // the desktop's theme or else from the program's resources.
  void SetDesktopIdentity(const QString& desktopId);

  // Shows text in a modal message box (one OK button, the title as caption).
  void MessageBox(const QString& text);
  // Replaces the sink behind MessageBox; nullptr restores the default.
  void SetMessageSink(TMessageSink* sink) { Sink = sink; }

  // Shows the message of an exception that left a handler. An exception not
  // derived from std::exception is shown with an empty message.
  void HandleException(std::exception_ptr error);

  // A last guard: anything that still escapes an event handler is shown here
  // instead of unwinding through the event loop.
  bool notify(QObject* receiver, QEvent* event) override;

private:
  TMessageSink* Sink = nullptr;
  QString TitleText;
};

// The one application object, as created by the program entry or a test.
TApplication* Application();

// Shows text through the application's message box.
void ShowMessage(const QString& text);

// Asks whether to save changes first: Save, Discard or Cancel (Escape).
enum TSaveAnswer { saSave, saDiscard, saCancel };
TSaveAnswer AskToSave(QWidget* owner, const QString& text);
// Asks a yes-or-no question; No is the default.
bool AskYesNo(QWidget* owner, const QString& text);
// When set, the questions ask these instead of showing a box (tests).
extern std::function<TSaveAnswer(const QString&)> AskToSaveAnswer;
extern std::function<bool(const QString&)> AskYesNoAnswer;

// Runs handler with args, or without them when it takes none; an exception
// stops it there and reaches the application-level handler.
template <class F, class... A>
void CallGuarded(const F& handler, A&&... args) {
  try {
    if constexpr (std::is_invocable_v<const F&, A...>)
      handler(std::forward<A>(args)...);
    else
      handler();
  } catch (...) {
    Application()->HandleException(std::current_exception());
  }
}

// Wraps a handler so that an exception stops it at that point and reaches the
// application-level handler; the event loop then carries on. A handler that
// takes no arguments ignores those of the signal.
template <class F>
auto Guarded(F handler) {
  return [handler = std::move(handler)](auto&&... args) { CallGuarded(handler, std::forward<decltype(args)>(args)...); };
}
