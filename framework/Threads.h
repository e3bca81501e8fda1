// Calls from worker threads onto the UI thread, and a thread that the UI
// thread can wait for while it keeps running those calls. No Qt here: the
// application object installs the hook that wakes its event loop, and tests
// without an event loop pump the calls with CheckSynchronize.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

// Marks the calling thread as the UI thread.
void SetMainThread();
bool IsMainThread();

// Runs call on the UI thread and waits until it has returned; an exception it
// raises is raised again in the caller. On the UI thread it runs at once.
void Synchronize(const std::function<void()>& call);

// Runs call on the UI thread, waiting only until the UI thread has started
// it. An exception it raises goes to the application's handler.
void SendAndRelease(std::function<void()> call);

// Runs call on the UI thread later, without waiting.
void Queue(std::function<void()> call);

// UI thread: runs the calls queued for it. With timeoutMs > 0, waits up to
// that long for a first one. Returns whether any ran.
bool CheckSynchronize(int timeoutMs = 0);

// Gives an exception to the application's handler (the installed one below).
// From another thread it goes to the UI thread when an event loop runs there.
void HandleException(std::exception_ptr error);

// Watches a descriptor from the UI thread's event loop: ready runs there
// whenever fd can be read, while the watch is enabled. Destroying the watch
// (also from inside ready) ends it.
class TFdWatch {
public:
  virtual ~TFdWatch() = default;
  virtual void SetEnabled(bool enabled) = 0;
};
using TFdWatchMaker = std::function<std::unique_ptr<TFdWatch>(int fd, std::function<void()> ready)>;
// Installed by the event loop.
void SetFdWatchMaker(TFdWatchMaker maker);
// A watch on the UI thread's event loop, made on the UI thread; none where
// no event loop is installed.
std::unique_ptr<TFdWatch> WatchFd(int fd, std::function<void()> ready);

// A wait on something beyond this machine that can take seconds (a network
// port connecting, a device server's answer) goes in short slices. Between
// them the UI thread keeps its windows alive: the installed event loop
// paints, runs timers and the calls queued for it, and shows the busy
// cursor; the user's input waits until the wait is over. On other threads,
// and without an event loop, a slice does nothing.
class TSlowWait {
public:
  static constexpr int SliceMs = 5;
  TSlowWait() = default;
  ~TSlowWait();  // the busy cursor goes
  TSlowWait(const TSlowWait&) = delete;
  TSlowWait& operator=(const TSlowWait&) = delete;
  void Slice();

private:
  bool FBusy = false;
};
struct TSlowWaitHooks {
  std::function<void()> Begin, Slice, End;
};
// Installed by the event loop.
void SetSlowWaitHooks(TSlowWaitHooks hooks);

// Installed by the event loop: asks the UI thread to call CheckSynchronize.
void SetWakeMainThread(std::function<void()> wake);
// Installed by the application: shows exceptions of released calls.
void SetThreadExceptionHandler(std::function<void(std::exception_ptr)> handler);

// A thread running execute. Whoever waits for it on the UI thread keeps
// running the calls the thread queues meanwhile, so a thread in the middle
// of a Synchronize can finish it and end.
class TThread {
public:
  // name (up to 15 characters) is what ps and top show for the thread.
  explicit TThread(std::function<void()> execute, const char* name = nullptr);
  // Waits for the thread, unless it was detached.
  ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void WaitFor();
  // Lets the thread end on its own; nothing waits for it any more. What
  // execute uses must then outlive it by other means.
  void Detach();
  bool Finished() const { return FState->Finished; }
  // What ended the thread, if it ended by an exception (read once finished).
  std::exception_ptr FatalException() const { return FState->Fatal; }

private:
  struct TState {
    std::atomic<bool> Finished{false};
    std::exception_ptr Fatal;
    std::shared_ptr<std::atomic<bool>> Exited = std::make_shared<std::atomic<bool>>(false);
  };
  std::shared_ptr<TState> FState = std::make_shared<TState>();
  std::thread FThread;
};

// Moves the calling thread a priority step away from normal: -3 (idle) to
// 3 (time-critical). Steps below normal always work; above normal needs a
// privilege, and without it the thread stays at normal. Returns whether the
// step was taken.
bool SetCurrentThreadPriority(int step);
// The calling thread's name as ps, top and debuggers show it (up to 15 characters).
void SetCurrentThreadName(const char* name);
