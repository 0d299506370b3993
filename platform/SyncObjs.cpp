// Manual-reset event.
#include "SyncObjs.h"

#include <chrono>

namespace garvel {

TEvent::TEvent(std::string Name, bool InitialState)
    : FName(std::move(Name)), FSignaled(InitialState) {}

TEvent::~TEvent() = default;

void TEvent::SetEvent() {
  {
    std::lock_guard<std::mutex> g(FLock);
    FSignaled = true;
  }
  FCond.notify_all();
}

void TEvent::ResetEvent() {
  std::lock_guard<std::mutex> g(FLock);
  FSignaled = false;
}

bool TEvent::IsSet() const {
  std::lock_guard<std::mutex> g(FLock);
  return FSignaled;
}

TWaitResult TEvent::WaitFor(uint32_t Timeout) {
  std::unique_lock<std::mutex> g(FLock);
  if (Timeout == INFINITE) {
    FCond.wait(g, [this] { return FSignaled; });
    return wrSignaled;
  }
  bool ok = FCond.wait_for(g, std::chrono::milliseconds(Timeout), [this] { return FSignaled; });
  return ok ? wrSignaled : wrTimeout;
}

} // namespace garvel
