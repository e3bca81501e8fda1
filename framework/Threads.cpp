#include "Threads.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

struct TCall {
  std::function<void()> Body;
  bool ReleaseOnStart = false;  // the sender waits only until it starts
  bool Waited = false;          // somebody waits for it at all
  bool Started = false;
  bool Done = false;
  std::exception_ptr Error;
};

struct TDispatch {
  std::mutex Mutex;
  std::condition_variable Changed;
  std::deque<std::shared_ptr<TCall>> Calls;
  std::atomic<std::thread::id> Main{std::this_thread::get_id()};
  std::function<void()> Wake;
  std::function<void(std::exception_ptr)> HandleException;
  TFdWatchMaker WatchMaker;
  TSlowWaitHooks SlowWait;
};

// Never destroyed: a released thread may still post to it while the
// process exits.
TDispatch& Dispatch() {
  static TDispatch* const dispatch = new TDispatch;
  return *dispatch;
}

// Threads let go of (TThread::Detach) are still joined: each once it has
// finished, when the next is let go, and the rest when the process exits,
// each given a moment to end.
struct TReleased {
  std::mutex Mutex;
  std::vector<std::pair<std::shared_ptr<std::atomic<bool>>, std::thread>> Threads;

  void Add(std::shared_ptr<std::atomic<bool>> finished, std::thread thread) {
    std::lock_guard lock(Mutex);
    JoinFinished();
    Threads.emplace_back(std::move(finished), std::move(thread));
  }
  void JoinFinished() {
    for (auto it = Threads.begin(); it != Threads.end();) {
      if (!*it->first) {
        ++it;
        continue;
      }
      it->second.join();
      it = Threads.erase(it);
    }
  }
  void JoinAtExit() {
    std::lock_guard lock(Mutex);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (auto& [finished, thread] : Threads) {
      while (!*finished && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (*finished)
        thread.join();
      else
        thread.detach();  // blocked for good: joining would hang the exit
    }
    Threads.clear();
  }
};

TReleased& Released() {
  static TReleased* const released = [] {
    auto* r = new TReleased;
    std::atexit([] { Released().JoinAtExit(); });
    return r;
  }();
  return *released;
}

std::shared_ptr<TCall> Post(std::function<void()> body, bool waited, bool releaseOnStart) {
  auto call = std::make_shared<TCall>();
  call->Body = std::move(body);
  call->Waited = waited;
  call->ReleaseOnStart = releaseOnStart;
  TDispatch& d = Dispatch();
  std::function<void()> wake;
  {
    std::lock_guard lock(d.Mutex);
    d.Calls.push_back(call);
    wake = d.Wake;
  }
  d.Changed.notify_all();
  if (wake) wake();
  return call;
}

void Report(std::exception_ptr error) { HandleException(error); }

bool HasEventLoop() {
  std::lock_guard lock(Dispatch().Mutex);
  return bool(Dispatch().Wake);
}

}  // namespace

void HandleException(std::exception_ptr error) {
  if (!IsMainThread() && HasEventLoop()) {
    Queue([error] { HandleException(error); });
    return;
  }
  if (Dispatch().HandleException) {
    Dispatch().HandleException(error);
    return;
  }
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
  }
}

void SetMainThread() { Dispatch().Main = std::this_thread::get_id(); }

bool IsMainThread() { return std::this_thread::get_id() == Dispatch().Main.load(); }

void Synchronize(const std::function<void()>& call) {
  if (IsMainThread()) {
    call();
    return;
  }
  auto item = Post(call, true, false);
  TDispatch& d = Dispatch();
  std::unique_lock lock(d.Mutex);
  d.Changed.wait(lock, [&] { return item->Done; });
  if (item->Error) std::rethrow_exception(item->Error);
}

void SendAndRelease(std::function<void()> call) {
  if (IsMainThread()) {
    try {
      call();
    } catch (...) {
      Report(std::current_exception());
    }
    return;
  }
  auto item = Post(std::move(call), true, true);
  TDispatch& d = Dispatch();
  std::unique_lock lock(d.Mutex);
  d.Changed.wait(lock, [&] { return item->Started; });
}

void Queue(std::function<void()> call) { Post(std::move(call), false, false); }

bool CheckSynchronize(int timeoutMs) {
  TDispatch& d = Dispatch();
  std::deque<std::shared_ptr<TCall>> calls;
  {
    std::unique_lock lock(d.Mutex);
    if (timeoutMs > 0)
      d.Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !d.Calls.empty(); });
    calls.swap(d.Calls);
  }
  for (auto& call : calls) {
    if (call->ReleaseOnStart) {
      {
        std::lock_guard lock(d.Mutex);
        call->Started = true;
      }
      d.Changed.notify_all();
    }
    try {
      call->Body();
    } catch (...) {
      if (call->Waited && !call->ReleaseOnStart)
        call->Error = std::current_exception();
      else
        Report(std::current_exception());
    }
    {
      std::lock_guard lock(d.Mutex);
      call->Done = true;
    }
    d.Changed.notify_all();
  }
  return !calls.empty();
}

void SetWakeMainThread(std::function<void()> wake) {
  std::lock_guard lock(Dispatch().Mutex);
  Dispatch().Wake = std::move(wake);
}

void SetFdWatchMaker(TFdWatchMaker maker) {
  std::lock_guard lock(Dispatch().Mutex);
  Dispatch().WatchMaker = std::move(maker);
}

std::unique_ptr<TFdWatch> WatchFd(int fd, std::function<void()> ready) {
  TFdWatchMaker maker;
  {
    std::lock_guard lock(Dispatch().Mutex);
    maker = Dispatch().WatchMaker;
  }
  if (!maker || !IsMainThread()) return nullptr;
  return maker(fd, std::move(ready));
}

void SetSlowWaitHooks(TSlowWaitHooks hooks) {
  std::lock_guard lock(Dispatch().Mutex);
  Dispatch().SlowWait = std::move(hooks);
}

void TSlowWait::Slice() {
  if (!IsMainThread()) return;
  TSlowWaitHooks hooks;
  {
    std::lock_guard lock(Dispatch().Mutex);
    hooks = Dispatch().SlowWait;
  }
  if (!hooks.Slice) return;
  if (!std::exchange(FBusy, true) && hooks.Begin) hooks.Begin();
  hooks.Slice();
}

TSlowWait::~TSlowWait() {
  if (!FBusy) return;
  std::function<void()> end;
  {
    std::lock_guard lock(Dispatch().Mutex);
    end = Dispatch().SlowWait.End;
  }
  if (end) end();
}

void SetThreadExceptionHandler(std::function<void(std::exception_ptr)> handler) {
  Dispatch().HandleException = std::move(handler);
}

TThread::TThread(std::function<void()> execute, const char* name) {
  FThread = std::thread([state = FState, execute = std::move(execute), name] {
    if (name) SetCurrentThreadName(name);
    try {
      execute();
    } catch (...) {
      state->Fatal = std::current_exception();
    }
    TDispatch& d = Dispatch();
    {
      std::lock_guard lock(d.Mutex);
      state->Finished = true;
    }
    d.Changed.notify_all();
    *state->Exited = true;  // nothing of the thread's is touched after this
  });
}

TThread::~TThread() { WaitFor(); }

void TThread::Detach() {
  if (FThread.joinable()) Released().Add(FState->Exited, std::move(FThread));
}

void TThread::WaitFor() {
  if (!FThread.joinable()) return;
  if (IsMainThread()) {
    TDispatch& d = Dispatch();
    for (;;) {
      {
        std::unique_lock lock(d.Mutex);
        d.Changed.wait(lock, [&] { return FState->Finished || !d.Calls.empty(); });
        if (FState->Finished && d.Calls.empty()) break;
      }
      CheckSynchronize();
    }
  }
  FThread.join();
}

#ifdef _WIN32

void SetCurrentThreadName(const char* name) {
  // Windows 10 1607 and later; the headers we build with do not declare it.
  using TSetThreadDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto describe = reinterpret_cast<TSetThreadDescription>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
  wchar_t wide[64];
  if (describe && MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 64) > 0) describe(GetCurrentThread(), wide);
}

bool SetCurrentThreadPriority(int step) {
  static const int Priority[] = {THREAD_PRIORITY_IDLE,   THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL,
                                 THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                 THREAD_PRIORITY_TIME_CRITICAL};
  return SetThreadPriority(GetCurrentThread(), Priority[std::clamp(step, -3, 3) + 3]) != 0;
}

#else

void SetCurrentThreadName(const char* name) { pthread_setname_np(pthread_self(), name); }

bool SetCurrentThreadPriority(int step) {
  // Nice values for the steps idle, lowest, lower, normal, higher, highest,
  // time-critical.
  static const int Nice[] = {19, 10, 5, 0, -5, -10, -20};
  const int nice = Nice[std::clamp(step, -3, 3) + 3];
  return ::setpriority(PRIO_PROCESS, pid_t(::gettid()), nice) == 0;
}

#endif
