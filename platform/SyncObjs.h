// Manual-reset event.
#pragma once

#include "GarvelExport.h"
#include "Classes.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace garvel {

constexpr uint32_t INFINITE = 0xFFFFFFFFu;

enum TWaitResult : uint8_t { wrSignaled, wrTimeout, wrAbandoned, wrError };

/// A manual-reset event: once SetEvent is called every waiter passes until
/// ResetEvent. Any thread may set, reset or wait. The name is a label only.
/// Destroying an event while a thread waits on it is undefined: its owner
/// must first make sure no thread can still wait.
class GARVEL_API TEvent : public TObject {
public:
  explicit TEvent(std::string Name = {}, bool InitialState = false);
  ~TEvent() override;

  void SetEvent();
  void ResetEvent();
  /// Blocks until the event is signalled or Timeout ms have passed
  /// (INFINITE: no limit). Returns wrSignaled or wrTimeout.
  TWaitResult WaitFor(uint32_t Timeout);
  bool IsSet() const;
  const std::string& Name() const { return FName; }

private:
  std::string FName;
  mutable std::mutex FLock;
  std::condition_variable FCond;
  bool FSignaled;
};

} // namespace garvel
