// Object model stand-ins: TObject, TComponent (ownership) and TThread.
#pragma once

#include "GarvelExport.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace garvel {

/// Root of the class hierarchy: polymorphic, not copyable.
class GARVEL_API TObject {
public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject();
};

/// An object that may own other components: an owner destroys the
/// components it owns (last inserted first) when it is destroyed, and a
/// component destroyed first removes itself from its owner.
/// Not thread-safe: create, own and destroy components on one thread.
class GARVEL_API TComponent : public TObject {
public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  TComponent* Owner() const { return FOwner; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const { return FComponents.at(static_cast<size_t>(Index)); }

  std::string Name;
  long long Tag = 0;

private:
  void Insert(TComponent* C);
  void Remove(TComponent* C);

  TComponent* FOwner;
  std::vector<TComponent*> FComponents;
};

/// A worker thread. Derive, override Execute, then call Start (a thread
/// cannot start in the base constructor: Execute would run before the
/// derived object exists). Execute polls Terminated() to learn that it
/// should end. No exception escapes Execute: one that does is caught and
/// its text kept in FatalException(). The destructor terminates and joins;
/// a thread is never detached.
class GARVEL_API TThread : public TObject {
public:
  TThread();
  ~TThread() override;

  /// Starts Execute on a new thread. Once only; later calls do nothing.
  void Start();
  /// Asks Execute to end; does not wait. Any thread may call it.
  void Terminate() { FTerminated.store(true, std::memory_order_release); }
  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
  /// True once Execute has returned.
  bool Finished() const { return FFinished.load(std::memory_order_acquire); }
  /// Blocks until Execute has returned and the thread is joined. Safe to call
  /// more than once and from several threads, but never from the thread itself.
  void WaitFor();
  /// Text of an exception that escaped Execute, or empty.
  std::string FatalException() const;
  /// True when called on this thread.
  bool IsCurrentThread() const { return std::this_thread::get_id() == FThreadId.load(); }

protected:
  virtual void Execute() = 0;

private:
  void Run();

  std::thread FThread;
  std::atomic<std::thread::id> FThreadId{};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::mutex FJoinLock;
  mutable std::mutex FFatalLock;
  std::string FFatal;
};

} // namespace garvel
