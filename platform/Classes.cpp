// Object model stand-ins: TObject, TComponent (ownership) and TThread.
#include "Classes.h"

#include <algorithm>
#include <cassert>
#include <exception>

namespace garvel {

TObject::~TObject() = default;

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (FOwner)
    FOwner->Insert(this);
}

TComponent::~TComponent() {
  while (!FComponents.empty()) {
    TComponent* c = FComponents.back();
    FComponents.pop_back();
    c->FOwner = nullptr;
    delete c;
  }
  if (FOwner)
    FOwner->Remove(this);
}

void TComponent::Insert(TComponent* C) {
  FComponents.push_back(C);
}

void TComponent::Remove(TComponent* C) {
  auto it = std::find(FComponents.begin(), FComponents.end(), C);
  if (it != FComponents.end())
    FComponents.erase(it);
}

TThread::TThread() = default;

TThread::~TThread() {
  Terminate();
  WaitFor();
}

void TThread::Start() {
  std::lock_guard<std::mutex> g(FJoinLock);
  if (FThread.joinable() || FFinished.load())
    return;
  FThread = std::thread([this] { Run(); });
}

void TThread::Run() {
  FThreadId.store(std::this_thread::get_id());
  try {
    Execute();
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> g(FFatalLock);
    FFatal = e.what();
  } catch (...) {
    std::lock_guard<std::mutex> g(FFatalLock);
    FFatal = "unknown exception";
  }
  FFinished.store(true, std::memory_order_release);
}

void TThread::WaitFor() {
  std::lock_guard<std::mutex> g(FJoinLock);
  if (!FThread.joinable())
    return;
  assert(!IsCurrentThread() && "a thread cannot wait for itself");
  FThread.join();
}

std::string TThread::FatalException() const {
  std::lock_guard<std::mutex> g(FFatalLock);
  return FFatal;
}

} // namespace garvel
