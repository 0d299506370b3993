// Posted notifications: the per-thread queue that stands in for a hidden window.
#include "Messages.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include <sys/eventfd.h>
#include <unistd.h>

namespace garvel {
namespace {

struct Posted {
  HWND Wnd;
  TMessage Message;
};

class Queue {
public:
  Queue() : FFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~Queue() {
    if (FFd >= 0)
      close(FFd);
  }

  void Push(Posted P) {
    {
      std::lock_guard<std::mutex> g(FLock);
      FItems.push_back(std::move(P));
      // The descriptor is readable while anything is queued: it changes
      // only when the queue stops being empty, and when it empties.
      if (FItems.size() == 1)
        Signal();
    }
    FCond.notify_one();
  }

  // Pops one message; waits up to TimeoutMs (negative: without limit).
  // False on time-out, or at once when HonourQuit and Terminate was called.
  bool Pop(Posted& Out, int TimeoutMs, bool HonourQuit) {
    std::unique_lock<std::mutex> g(FLock);
    auto ready = [this, HonourQuit] { return !FItems.empty() || (HonourQuit && FQuit); };
    // A zero time-out looks without waiting: no system call on an empty
    // queue (ProcessMessages ends with such a look).
    if (TimeoutMs < 0)
      FCond.wait(g, ready);
    else if (TimeoutMs > 0)
      FCond.wait_for(g, std::chrono::milliseconds(TimeoutMs), ready);
    if (FItems.empty())
      return false;
    Out = std::move(FItems.front());
    FItems.pop_front();
    if (FItems.empty())
      Drain();
    return true;
  }

  void Quit(bool On) {
    {
      std::lock_guard<std::mutex> g(FLock);
      FQuit = On;
    }
    FCond.notify_all();
  }

  bool QuitRequested() {
    std::lock_guard<std::mutex> g(FLock);
    return FQuit;
  }

  int Fd() const { return FFd; }

private:
  void Signal() {
    uint64_t one = 1;
    if (FFd >= 0)
      (void)!write(FFd, &one, sizeof one);
  }
  void Drain() {
    uint64_t v;
    if (FFd >= 0)
      (void)!read(FFd, &v, sizeof v);
  }

  std::mutex FLock;
  std::condition_variable FCond;
  std::deque<Posted> FItems;
  bool FQuit = false;
  int FFd;
};

struct Target {
  std::shared_ptr<TWndMethod> Handler;
  std::weak_ptr<Queue> Owner;
};

struct Registry {
  std::mutex Lock;
  std::unordered_map<HWND, Target> Targets;
  HWND Next = 0x10000;
};

Registry& Reg() {
  static Registry* r = new Registry; // never destroyed: threads may post at exit
  return *r;
}

// The queue whose thread is inside Run(), for Terminate from any thread.
// Setting and clearing it, and the quit flag it leads to, happen under
// RunnerLock so that a Terminate racing the end of Run cannot leave the flag
// set behind it.
std::mutex& RunnerLock() {
  static std::mutex m;
  return m;
}
std::weak_ptr<Queue>& Runner() {
  static std::weak_ptr<Queue> w;
  return w;
}

std::shared_ptr<Queue>& ThisQueue() {
  thread_local std::shared_ptr<Queue> q = std::make_shared<Queue>();
  return q;
}

// Runs one popped message if its target still exists.
void Dispatch(Posted& P) {
  std::shared_ptr<TWndMethod> handler;
  {
    Registry& r = Reg();
    std::lock_guard<std::mutex> g(r.Lock);
    auto it = r.Targets.find(P.Wnd);
    if (it != r.Targets.end())
      handler = it->second.Handler;
  }
  if (handler)
    (*handler)(P.Message);
  // P.Message.Payload, if not taken, dies with P.
}

// Timers: one thread for the process sleeps until the next tick is due and
// posts it. A tick carries a payload whose destruction (after the handler,
// or when the message is discarded) marks the timer free to tick again.
struct TimerTick : TObject {
  explicit TimerTick(std::shared_ptr<std::atomic<bool>> Q) : Queued(std::move(Q)) {}
  ~TimerTick() override { Queued->store(false); }
  std::shared_ptr<std::atomic<bool>> Queued;
};

class Timers {
public:
  bool Set(HWND Wnd, uintptr_t Id, uint32_t ElapseMs) {
    {
      Registry& r = Reg();
      std::lock_guard<std::mutex> g(r.Lock);
      if (r.Targets.find(Wnd) == r.Targets.end())
        return false;
    }
    auto period = std::chrono::milliseconds(std::max<uint32_t>(ElapseMs, 1));
    {
      std::lock_guard<std::mutex> g(FLock);
      Entry& e = FEntries[{Wnd, Id}];
      e.Period = period;
      e.Due = std::chrono::steady_clock::now() + period;
      if (!e.Queued)
        e.Queued = std::make_shared<std::atomic<bool>>(false);
      if (!FThread.joinable())
        FThread = std::thread([this] { Loop(); });
    }
    FCond.notify_one();
    return true;
  }

  bool Kill(HWND Wnd, uintptr_t Id) {
    std::lock_guard<std::mutex> g(FLock);
    return FEntries.erase({Wnd, Id}) > 0;
  }

private:
  struct Entry {
    std::chrono::steady_clock::duration Period{};
    std::chrono::steady_clock::time_point Due{};
    std::shared_ptr<std::atomic<bool>> Queued;
  };

  [[noreturn]] void Loop() {
    std::unique_lock<std::mutex> g(FLock);
    for (;;) {
      auto now = std::chrono::steady_clock::now();
      auto next = std::chrono::steady_clock::time_point::max();
      std::vector<std::pair<std::pair<HWND, uintptr_t>, std::shared_ptr<std::atomic<bool>>>> due;
      for (auto& [key, e] : FEntries) {
        if (e.Due <= now) {
          due.emplace_back(key, e.Queued);
          e.Due = now + e.Period;
        }
        next = std::min(next, e.Due);
      }
      if (!due.empty()) {
        g.unlock();
        std::vector<std::pair<HWND, uintptr_t>> gone;
        for (auto& [key, queued] : due) {
          if (queued->exchange(true))
            continue; // the last tick is still waiting to be handled
          if (!PostMessage(key.first, WM_TIMER, key.second, 0, std::make_unique<TimerTick>(queued)))
            gone.push_back(key); // the target is gone (the payload reset the flag)
        }
        g.lock();
        for (auto& key : gone)
          FEntries.erase(key);
        continue;
      }
      if (next == std::chrono::steady_clock::time_point::max())
        FCond.wait(g);
      else
        FCond.wait_until(g, next);
    }
  }

  std::mutex FLock;
  std::condition_variable FCond;
  std::map<std::pair<HWND, uintptr_t>, Entry> FEntries;
  std::thread FThread; // runs until the process ends
};

Timers& TheTimers() {
  static Timers* t = new Timers; // never destroyed: its thread lives to the end
  return *t;
}

} // namespace

HWND AllocateHWnd(TWndMethod Handler) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.Lock);
  HWND h = r.Next++;
  r.Targets[h] = Target{std::make_shared<TWndMethod>(std::move(Handler)), ThisQueue()};
  return h;
}

void DeallocateHWnd(HWND Wnd) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.Lock);
  r.Targets.erase(Wnd);
}

bool SetTimer(HWND Wnd, uintptr_t IDEvent, uint32_t ElapseMs) {
  return TheTimers().Set(Wnd, IDEvent, ElapseMs);
}

bool KillTimer(HWND Wnd, uintptr_t IDEvent) {
  return TheTimers().Kill(Wnd, IDEvent);
}

bool PostMessage(HWND Wnd, uint32_t Msg, uintptr_t WParam, intptr_t LParam,
                 std::unique_ptr<TObject> Payload) {
  std::shared_ptr<Queue> q;
  {
    Registry& r = Reg();
    std::lock_guard<std::mutex> g(r.Lock);
    auto it = r.Targets.find(Wnd);
    if (it == r.Targets.end())
      return false; // Payload is destroyed on return
    q = it->second.Owner.lock();
  }
  if (!q)
    return false;
  Posted p{Wnd, TMessage{Msg, WParam, LParam, 0, std::move(Payload)}};
  q->Push(std::move(p));
  return true;
}

intptr_t DefWindowProc(HWND, TMessage&) {
  return 0;
}

int TApplication::ProcessMessages() {
  std::shared_ptr<Queue> q = ThisQueue();
  int n = 0;
  Posted p;
  while (q->Pop(p, 0, false)) {
    Dispatch(p);
    p = Posted{};
    ++n;
  }
  return n;
}

bool TApplication::HandleMessage(int TimeoutMs) {
  std::shared_ptr<Queue> q = ThisQueue();
  Posted p;
  // The quit flag is only ever set while this thread is inside Run.
  if (!q->Pop(p, TimeoutMs, true))
    return false;
  Dispatch(p);
  return true;
}

void TApplication::Run() {
  std::shared_ptr<Queue> q = ThisQueue();
  std::weak_ptr<Queue> outer;
  {
    std::lock_guard<std::mutex> g(RunnerLock());
    outer = Runner();
    Runner() = q;
    q->Quit(false);
  }
  while (!q->QuitRequested()) {
    Posted p;
    if (q->Pop(p, -1, true))
      Dispatch(p);
  }
  // Later pumping on this thread works normally, and a Terminate from now
  // on concerns an enclosing Run only, if any.
  std::lock_guard<std::mutex> g(RunnerLock());
  if (Runner().lock() == q)
    Runner() = outer;
  q->Quit(false);
}

void TApplication::Terminate() {
  std::lock_guard<std::mutex> g(RunnerLock());
  if (std::shared_ptr<Queue> q = Runner().lock())
    q->Quit(true);
}

bool TApplication::ProcessUntil(const std::function<bool()>& Pred, int TimeoutMs) {
  using Clock = std::chrono::steady_clock;
  const bool bounded = TimeoutMs >= 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(bounded ? TimeoutMs : 0);
  std::shared_ptr<Queue> q = ThisQueue();
  while (!Pred()) {
    int wait = -1;
    if (bounded) {
      auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero())
        return Pred();
      wait = static_cast<int>(
          std::min<long long>(std::chrono::ceil<std::chrono::milliseconds>(left).count(), INT_MAX));
    }
    Posted p;
    if (q->Pop(p, wait, false))
      Dispatch(p);
  }
  return true;
}

int TApplication::NotifyFd() {
  return ThisQueue()->Fd();
}

TApplication* Application() {
  static TApplication app;
  return &app;
}

} // namespace garvel
