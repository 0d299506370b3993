// Posted notifications: the per-thread queue that stands in for a hidden window.
#include "Messages.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>

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
      Signal();
    }
    FCond.notify_one();
  }

  // Pops one message; waits up to Timeout (-1 forever). False on time-out or quit.
  bool Pop(Posted& Out, int TimeoutMs) {
    std::unique_lock<std::mutex> g(FLock);
    auto ready = [this] { return !FItems.empty() || FQuit; };
    if (TimeoutMs < 0)
      FCond.wait(g, ready);
    else
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
  while (q->Pop(p, 0)) {
    Dispatch(p);
    p = Posted{};
    ++n;
  }
  return n;
}

bool TApplication::HandleMessage(int TimeoutMs) {
  std::shared_ptr<Queue> q = ThisQueue();
  Posted p;
  if (!q->Pop(p, TimeoutMs))
    return false;
  Dispatch(p);
  return true;
}

void TApplication::Run() {
  std::shared_ptr<Queue> q = ThisQueue();
  {
    std::lock_guard<std::mutex> g(RunnerLock());
    Runner() = q;
  }
  q->Quit(false);
  while (!q->QuitRequested()) {
    Posted p;
    if (q->Pop(p, -1))
      Dispatch(p);
  }
}

void TApplication::Terminate() {
  std::shared_ptr<Queue> q;
  {
    std::lock_guard<std::mutex> g(RunnerLock());
    q = Runner().lock();
  }
  if (q)
    q->Quit(true);
}

bool TApplication::ProcessUntil(const std::function<bool()>& Pred, int TimeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  std::shared_ptr<Queue> q = ThisQueue();
  while (!Pred()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return Pred();
    // Short slices: Pred may depend on other threads, not only on messages.
    Posted p;
    if (q->Pop(p, static_cast<int>(std::min<long long>(left.count(), 10))))
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
