// Posted notifications: the per-thread queue that stands in for a hidden window.
#pragma once

#include "GarvelExport.h"
#include "Classes.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace garvel {

/// Handle of a registered notification target. 0 is never a valid handle.
using HWND = uintptr_t;

constexpr uint32_t WM_USER = 1024;

/// One posted notification. Payload, when set, is owned by the message: a
/// handler may take it (std::move); otherwise it is destroyed after the
/// handler returns, and also when the target is gone or the queue dies.
struct TMessage {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  intptr_t Result = 0;
  std::unique_ptr<TObject> Payload;
};

using TWndMethod = std::function<void(TMessage&)>;

/// Registers Handler on the calling thread's queue. Messages posted to the
/// handle run on this thread only, in posting order, when it pumps
/// (Application()). Thread-safe.
GARVEL_API HWND AllocateHWnd(TWndMethod Handler);
/// Unregisters a handle. Messages still queued for it are discarded (their
/// payloads destroyed) and later posts fail. Call it on the owning thread, so
/// that no handler of the handle can be running elsewhere.
GARVEL_API void DeallocateHWnd(HWND Wnd);
/// Queues a message for Wnd from any thread. Returns false (and destroys the
/// payload) when the handle is not registered.
GARVEL_API bool PostMessage(HWND Wnd, uint32_t Msg, uintptr_t WParam, intptr_t LParam,
                            std::unique_ptr<TObject> Payload = nullptr);
/// The default handling of a message nobody claims: Result 0.
GARVEL_API intptr_t DefWindowProc(HWND Wnd, TMessage& Message);

/// The message a timer posts; WParam is the timer's id.
constexpr uint32_t WM_TIMER = 0x0113;

/// Starts (or restarts, with a new interval) timer IDEvent of Wnd: every
/// ElapseMs milliseconds (at least 1) a WM_TIMER message is posted to Wnd,
/// until KillTimer or DeallocateHWnd. Ticks do not pile up: while one is
/// queued and not yet handled, the next is skipped. Any thread. False when
/// Wnd is not registered.
GARVEL_API bool SetTimer(HWND Wnd, uintptr_t IDEvent, uint32_t ElapseMs);
/// Stops the timer; a tick already queued is still delivered. False when
/// there was no such timer.
GARVEL_API bool KillTimer(HWND Wnd, uintptr_t IDEvent);

/// The message pump of the calling thread. Every member acts on the queue of
/// the thread that calls it.
class GARVEL_API TApplication {
public:
  /// Dispatches every queued message, including ones posted meanwhile.
  /// Returns the number dispatched. Terminate does not affect it.
  int ProcessMessages();
  /// Waits for one message (at most TimeoutMs, negative = no limit) and
  /// dispatches it. Returns false on time-out, or at once when Terminate was
  /// called while this thread is inside Run (a handler pumping nested).
  bool HandleMessage(int TimeoutMs = -1);
  /// Dispatches until Terminate is called (from a handler or another thread).
  /// On return the request is spent: later pumping on this thread works
  /// normally.
  void Run();
  /// Ends the Run in progress and wakes HandleMessage on the thread that
  /// called it; any thread. Does nothing when no Run is in progress.
  void Terminate();
  /// Waits up to TimeoutMs (negative: without limit) until Pred holds,
  /// dispatching messages as they come, and returns Pred(). The thread
  /// sleeps until a message arrives or the time is up: Pred is checked
  /// first, after every dispatch and at the deadline only. A Pred that
  /// depends on other threads must therefore be made true together with a
  /// post to this thread (or the caller uses short time-outs). Terminate
  /// does not affect it.
  bool ProcessUntil(const std::function<bool()>& Pred, int TimeoutMs);
  /// A file descriptor (eventfd) that is readable while the calling thread's
  /// queue holds messages, for driving the queue from another event loop.
  int NotifyFd();
};

/// The process's pump object.
GARVEL_API TApplication* Application();

} // namespace garvel
