// Threads, events and the notification queue.
#include <poll.h>
#include "Classes.h"
#include "Messages.h"
#include "SyncObjs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

namespace garvel {
namespace {

using Clock = std::chrono::steady_clock;

class TFnThread : public TThread {
public:
  explicit TFnThread(std::function<void(TThread&)> F) : FFn(std::move(F)) {}
  ~TFnThread() override {
    Terminate();
    WaitFor();
  }

protected:
  void Execute() override { FFn(*this); }

private:
  std::function<void(TThread&)> FFn;
};

TEST(Thread, RunsTerminatesAndKeepsEscapedException) {
  std::atomic<int> spins{0};
  TFnThread t([&](TThread& self) {
    while (!self.Terminated())
      ++spins, std::this_thread::yield();
  });
  t.Start();
  while (spins.load() == 0)
    std::this_thread::yield();
  t.Terminate();
  t.WaitFor();
  t.WaitFor(); // twice is harmless
  EXPECT_TRUE(t.Finished());

  TFnThread bad([](TThread&) { throw std::runtime_error("boom"); });
  bad.Start();
  bad.WaitFor();
  EXPECT_EQ(bad.FatalException(), "boom");
}

TEST(Event, ManualResetReleasesEveryWaiterUntilReset) {
  TEvent e("test");
  std::atomic<int> waiting{0}, passed{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([&] {
      ++waiting;
      if (e.WaitFor(INFINITE) == wrSignaled)
        ++passed;
    });
  while (waiting.load() < 4)
    std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(passed.load(), 0);
  e.SetEvent();
  for (auto& t : ts)
    t.join();
  EXPECT_EQ(passed.load(), 4);
  EXPECT_EQ(e.WaitFor(0), wrSignaled) << "stays signalled";
  e.ResetEvent();
  auto t0 = Clock::now();
  EXPECT_EQ(e.WaitFor(60), wrTimeout);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(55));
  EXPECT_EQ(e.Name(), "test");
}

TEST(Queue, RunsOnOwnerInPerSenderOrder) {
  std::thread::id owner = std::this_thread::get_id();
  std::map<int, std::vector<int>> seen;
  bool wrongThread = false;
  HWND h = AllocateHWnd([&](TMessage& M) {
    if (std::this_thread::get_id() != owner)
      wrongThread = true;
    seen[static_cast<int>(M.WParam)].push_back(static_cast<int>(M.LParam));
  });
  constexpr int kSenders = 4, kEach = 2000;
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s)
    senders.emplace_back([=] {
      for (int i = 0; i < kEach; ++i)
        PostMessage(h, WM_USER, static_cast<uintptr_t>(s), i);
    });
  auto total = [&] {
    size_t n = 0;
    for (auto& [k, v] : seen)
      n += v.size();
    return n;
  };
  EXPECT_TRUE(Application()->ProcessUntil([&] { return total() == kSenders * kEach; }, 10000));
  for (auto& t : senders)
    t.join();
  Application()->ProcessMessages();
  EXPECT_FALSE(wrongThread);
  for (auto& [sender, values] : seen) {
    SCOPED_TRACE(sender);
    ASSERT_EQ(values.size(), static_cast<size_t>(kEach));
    for (int i = 0; i < kEach; ++i)
      ASSERT_EQ(values[static_cast<size_t>(i)], i);
  }
  DeallocateHWnd(h);
}

struct TCounted : TObject {
  static inline std::atomic<int> Live{0};
  TCounted() { ++Live; }
  ~TCounted() override { --Live; }
};

TEST(Queue, PayloadsToGoneHandlesAreDestroyed) {
  HWND h = AllocateHWnd([](TMessage&) {});
  ASSERT_TRUE(PostMessage(h, WM_USER, 0, 0, std::make_unique<TCounted>()));
  EXPECT_EQ(TCounted::Live.load(), 1);
  DeallocateHWnd(h); // queued but never dispatched
  EXPECT_FALSE(PostMessage(h, WM_USER, 0, 0, std::make_unique<TCounted>()));
  EXPECT_EQ(TCounted::Live.load(), 1);
  Application()->ProcessMessages();
  EXPECT_EQ(TCounted::Live.load(), 0);

  // A handle whose thread has ended: posts fail and nothing leaks.
  HWND other = 0;
  std::thread t([&] { other = AllocateHWnd([](TMessage&) {}); });
  t.join();
  EXPECT_FALSE(PostMessage(other, WM_USER, 0, 0, std::make_unique<TCounted>()));
  EXPECT_EQ(TCounted::Live.load(), 0);
  DeallocateHWnd(other);

  // A handler may take the payload; otherwise it dies after the handler.
  std::unique_ptr<TObject> kept;
  HWND k = AllocateHWnd([&](TMessage& M) {
    if (M.LParam == 1)
      kept = std::move(M.Payload);
  });
  PostMessage(k, WM_USER, 0, 1, std::make_unique<TCounted>());
  PostMessage(k, WM_USER, 0, 0, std::make_unique<TCounted>());
  Application()->ProcessMessages();
  EXPECT_EQ(TCounted::Live.load(), 1);
  kept.reset();
  DeallocateHWnd(k);
}

TEST(Queue, NotifyFdIsReadableWhileMessagesWait) {
  HWND h = AllocateHWnd([](TMessage&) {});
  int fd = Application()->NotifyFd();
  ASSERT_GE(fd, 0);
  auto readable = [fd] {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  };
  Application()->ProcessMessages();
  EXPECT_FALSE(readable());
  std::thread([h] { PostMessage(h, WM_USER, 0, 0); }).join();
  EXPECT_TRUE(readable());
  EXPECT_EQ(Application()->ProcessMessages(), 1);
  EXPECT_FALSE(readable());
  DeallocateHWnd(h);
}

TEST(Queue, RunEndsOnTerminateFromAnotherThread) {
  int handled = 0;
  HWND h = AllocateHWnd([&](TMessage&) { ++handled; });
  std::thread t([h] {
    PostMessage(h, WM_USER, 0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Application()->Terminate();
  });
  Application()->Run();
  t.join();
  EXPECT_EQ(handled, 1);
  EXPECT_FALSE(Application()->HandleMessage(10)) << "time-out without messages";
  DeallocateHWnd(h);
}

TEST(Component, OwnerFreesOwnedAndChildUnregisters) {
  auto owner = std::make_unique<TComponent>(nullptr);
  auto* a = new TComponent(owner.get());
  auto* b = new TComponent(owner.get());
  a->Name = "a";
  EXPECT_EQ(owner->ComponentCount(), 2);
  delete b;
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(owner->Components(0)->Name, "a");
  owner.reset(); // frees a; ASan reports a leak or double free otherwise
}

} // namespace
} // namespace garvel
