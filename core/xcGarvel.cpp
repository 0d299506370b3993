// The message buffer and the relay component.
#include "xcGarvel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <typeinfo>

namespace garvel {

TxcTcpClient::~TxcTcpClient() = default;
EFramingError::~EFramingError() = default;

// ---------------------------------------------------------------------------
// TxcSMSCMessage

TxcSMSCMessage::TxcSMSCMessage() = default;
TxcSMSCMessage::~TxcSMSCMessage() = default;

std::unique_ptr<TxcSMSCMessage> TxcSMSCMessage::Create(const TxcSMSCMessage& Source) {
  std::unique_ptr<TxcSMSCMessage> copy = Source.NewInstance();
  const TxcSMSCMessage* made = copy.get();
  if (!made || typeid(*made) != typeid(Source))
    throw EInvalidCast(std::string("message class ") + typeid(Source).name() +
                       " does not override NewInstance");
  copy->FBuffer = Source.FBuffer;
  return copy;
}

bool TxcSMSCMessage::IsThrottled() const {
  return false;
}

void TxcSMSCMessage::GetSubmitResult(TxcPartResult& Part) const {
  Part.Result = FResultCode;
}

std::unique_ptr<TxcSMSCMessage> TxcSMSCMessage::NewInstance() const {
  return std::make_unique<TxcSMSCMessage>();
}

void TxcSMSCMessage::Abstract(const char* Slot) const {
  throw EAbstractError(std::string("abstract call: ") + Slot + " has no body in " +
                       typeid(*this).name());
}

void TxcSMSCMessage::CheckRead(int Index, int Count) const {
  if (Index < 0 || Count < 0 || static_cast<long long>(Index) + Count > Size())
    throw ERangeError("read of " + IntToStr(Count) + " bytes at index " + IntToStr(Index) +
                      " exceeds buffer length " + IntToStr(Size()));
}

void TxcSMSCMessage::AddChunk(const void* Source, int Count) {
  if (Count <= 0)
    return;
  size_t old = FBuffer.size();
  FBuffer.resize(old + static_cast<size_t>(Count));
  std::memcpy(FBuffer.data() + old, Source, static_cast<size_t>(Count));
}

void TxcSMSCMessage::AddChar(char Value) {
  AddChunk(&Value, 1);
}
void TxcSMSCMessage::AddByte(uint8_t Value) {
  FBuffer.push_back(Value);
}

void TxcSMSCMessage::AddString(const std::string& Value) {
  AddChunk(Value.data(), static_cast<int>(Value.size()));
}

void TxcSMSCMessage::AddByteDynArray(const TByteDynArray& Value) {
  FBuffer.insert(FBuffer.end(), Value.begin(), Value.end());
}

void TxcSMSCMessage::AddWord(uint16_t Value) {
  AddByte(static_cast<uint8_t>(Value));
  AddByte(static_cast<uint8_t>(Value >> 8));
}

void TxcSMSCMessage::AddLongWord(uint32_t Value) {
  for (int i = 0; i < 4; ++i)
    AddByte(static_cast<uint8_t>(Value >> (8 * i)));
}

void TxcSMSCMessage::GetChunk(int& Index, void* Dest, int Count) const {
  CheckRead(Index, Count);
  if (Count > 0)
    std::memcpy(Dest, FBuffer.data() + Index, static_cast<size_t>(Count));
  Index += Count;
}

char TxcSMSCMessage::GetChar(int& Index) const {
  CheckRead(Index, 1);
  return static_cast<char>(FBuffer[static_cast<size_t>(Index++)]);
}

uint8_t TxcSMSCMessage::GetByte(int& Index) const {
  CheckRead(Index, 1);
  return FBuffer[static_cast<size_t>(Index++)];
}

std::string TxcSMSCMessage::GetString(int& Index, int Count) const {
  CheckRead(Index, Count);
  std::string s(reinterpret_cast<const char*>(FBuffer.data()) + Index, static_cast<size_t>(Count));
  Index += Count;
  return s;
}

TByteDynArray TxcSMSCMessage::GetByteDynArray(int& Index, int Count) const {
  CheckRead(Index, Count);
  auto first = FBuffer.begin() + Index;
  TByteDynArray a(first, first + Count);
  Index += Count;
  return a;
}

uint16_t TxcSMSCMessage::GetWord(int& Index) const {
  CheckRead(Index, 2);
  auto i = static_cast<size_t>(Index);
  Index += 2;
  return static_cast<uint16_t>(FBuffer[i] | (FBuffer[i + 1] << 8));
}

uint32_t TxcSMSCMessage::GetLongWord(int& Index) const {
  CheckRead(Index, 4);
  auto i = static_cast<size_t>(Index);
  Index += 4;
  return static_cast<uint32_t>(FBuffer[i]) | (static_cast<uint32_t>(FBuffer[i + 1]) << 8) |
         (static_cast<uint32_t>(FBuffer[i + 2]) << 16) |
         (static_cast<uint32_t>(FBuffer[i + 3]) << 24);
}

bool TxcSMSCMessage::ReadMessage(TxcTcpClient& Client) {
  // Skip what cannot start a message in one pass, before framing.
  const uint8_t* data = nullptr;
  int buffered = Client.PeekData(data);
  if (buffered > 0) {
    int junk = FindMessageStart(data, buffered);
    if (junk > 0)
      Client.Skip(junk < buffered ? junk : buffered);
  }
  int header = GetHeaderSize();
  if (header < 0 || header > GetMaxMessageSize())
    throw EFramingError("header size " + IntToStr(header) + " is out of range");
  FBuffer.resize(static_cast<size_t>(header));
  if (Client.PeekBuf(FBuffer.data(), header) != header)
    return false;
  int size = GetMessageSize();
  if (size <= 0 || size > GetMaxMessageSize())
    throw EFramingError("message size " + IntToStr(size) + " outside 1.." +
                        IntToStr(GetMaxMessageSize()));
  FBuffer.resize(static_cast<size_t>(size));
  if (Client.PeekBuf(FBuffer.data(), size) != size)
    return false;
  Client.ReceiveBuf(FBuffer.data(), size);
  return true;
}

int TxcSMSCMessage::GetHeaderSize() const {
  return 0;
}
int TxcSMSCMessage::GetMessageSize() const {
  return 0;
}
TReceiveMessageClass TxcSMSCMessage::GetMessageClass() const {
  return mtMessage;
}
TReceiveMessageType TxcSMSCMessage::GetMessageType() const {
  return mtUnknown;
}
void TxcSMSCMessage::Reset() {}
void TxcSMSCMessage::EncodeLoginMsg() {
  Abstract("EncodeLoginMsg");
}
void TxcSMSCMessage::EncodeSubmitMsg() {
  Abstract("EncodeSubmitMsg");
}
void TxcSMSCMessage::EncodeRequestDeliveryMsg() {
  Abstract("EncodeRequestDeliveryMsg");
}
void TxcSMSCMessage::EncodeAliveMsg() {
  Abstract("EncodeAliveMsg");
}
void TxcSMSCMessage::EncodeResponseMsg(TxcSMSCMessage&) {
  Abstract("EncodeResponseMsg");
}
void TxcSMSCMessage::DecodeReceiveMsg() {
  Abstract("DecodeReceiveMsg");
}
void TxcSMSCMessage::DecodeStatusReportMsg() {
  Abstract("DecodeStatusReportMsg");
}
void TxcSMSCMessage::DecodeRequestDeliveryRspMsg() {
  FResultCode = 0;
}
void TxcSMSCMessage::DecodeAliveRspMsg() {
  FResultCode = 0;
}
void TxcSMSCMessage::DecodeSubmitRspMsg() {
  FResultCode = 0;
}
void TxcSMSCMessage::DecodeLoginRspMsg() {
  FResultCode = 0;
}
int TxcSMSCMessage::GetMaxMessageSize() const {
  return kDefaultMaxMessageSize;
}

bool TxcSMSCMessage::GetRequestKey(TMessageKey&) const {
  return false;
}
bool TxcSMSCMessage::GetResponseKey(TMessageKey&) const {
  return false;
}
TControlAction TxcSMSCMessage::GetControlAction() const {
  return GetMessageType() == mtAlive ? caAnswer : caNone;
}
int TxcSMSCMessage::FindMessageStart(const uint8_t*, int) const {
  return 0;
}
std::string TxcSMSCMessage::Describe() const {
  return "message of type " + IntToStr(static_cast<int>(GetMessageType())) + ", " +
         IntToStr(Size()) + " bytes";
}

bool IsAlphaNumeric(const std::string& S) {
  for (char c : S)
    if (c != '+' && (c < '0' || c > '9'))
      return true;
  return false;
}

// ---------------------------------------------------------------------------
// Worker threads

class TReceiveThread : public TThread {
public:
  explicit TReceiveThread(TxcGarvel& Relay) : FRelay(Relay) {}
  ~TReceiveThread() override {
    Terminate();
    WaitFor();
  }

protected:
  void Execute() override { FRelay.ReceiveLoop(*this); }

private:
  TxcGarvel& FRelay;
};

class TKeepAliveThread : public TThread {
public:
  explicit TKeepAliveThread(TxcGarvel& Relay) : FRelay(Relay) {}
  ~TKeepAliveThread() override {
    Terminate();
    WaitFor();
  }

protected:
  void Execute() override { FRelay.KeepAliveLoop(*this); }

private:
  TxcGarvel& FRelay;
};

/// A request waiting for its answer. It lives on the waiting thread's stack
/// and is listed in FPending while it waits; the receive thread completes it
/// under FPendingLock.
struct TxcGarvel::TPendingRequest {
  TMessageKey Key;
  std::condition_variable Cond;
  bool Done = false;
  int Result = rcTimeOut;
  TResponse Response;
  // A part of an asynchronous submit (Ticket not 0) is owned by FPending,
  // and whoever takes it out resolves it into its ticket.
  TSubmitTicket Ticket = 0;
  int Part = 0;
  std::chrono::steady_clock::time_point Deadline{};
};

namespace {

// Carries a text to the main thread.
struct TErrorNotice : TObject {
  explicit TErrorNotice(std::string T) : Text(std::move(T)) {}
  std::string Text;
};

constexpr int kMaxErrorsQueued = 32;

// Carries a finished asynchronous submit to the main thread.
struct TCompletionNotice : TObject {
  explicit TCompletionNotice(TxcSubmitCompletion C) : Completion(std::move(C)) {}
  TxcSubmitCompletion Completion;
};

// The housekeeping timer's id and period.
constexpr uintptr_t kHousekeepingTimer = 1;
constexpr uint32_t kHousekeepingMs = 50;

using Clock = std::chrono::steady_clock;

// Operation values of the keys the relay makes for protocols that number
// nothing: answers then go by their kind.
constexpr int64_t kSubmitKind = -100; // login and submit answers
constexpr int64_t kAliveKind = -101;  // keep-alive and poll answers

bool KindKey(TReceiveMessageType Type, TMessageKey& Key) {
  Key = TMessageKey();
  switch (Type) {
  case mtSubmitRsp:
  case mtLoginRsp:
  case mtLogoutRsp:
    Key.Operation = kSubmitKind;
    return true;
  case mtAliveRsp:
  case mtRequestDeliveryRsp:
    Key.Operation = kAliveKind;
    return true;
  case mtGeneralError:
  case mtNack:
    Key.AnyOperation = true;
    return true;
  default:
    return false;
  }
}

const char* KindName(TReceiveMessageType Type) {
  switch (Type) {
  case mtSubmitRsp:
    return "submit response";
  case mtLoginRsp:
    return "login response";
  case mtAliveRsp:
    return "keep-alive response";
  case mtLogoutRsp:
    return "logout response";
  case mtRequestDeliveryRsp:
    return "request-delivery response";
  case mtGeneralError:
    return "general error";
  case mtNack:
    return "negative acknowledgement";
  default:
    return "answer";
  }
}

} // namespace

// ---------------------------------------------------------------------------
// TxcGarvel

TxcGarvel::TOutputLock::TOutputLock(TxcGarvel& Relay) : FRelay(Relay), FOwned(false) {
  FOwned = FRelay.AcquireOutput();
}

TxcGarvel::TOutputLock::~TOutputLock() {
  if (FOwned)
    FRelay.ReleaseOutput();
}

void TxcGarvel::ReleaseOutput() {
  if (FOutputOwner.load() == std::this_thread::get_id()) {
    FOutputOwner.store(std::thread::id());
    {
      std::lock_guard<std::mutex> g(FOutputGate);
      FOutputBusy = false;
    }
    FOutputFree.notify_one();
  }
}

bool TxcGarvel::AcquireOutput() {
  // A flag behind a mutex rather than a timed mutex: the wait is bounded
  // either way, and this one the thread sanitizer follows.
  std::unique_lock<std::mutex> g(FOutputGate);
  if (!FOutputFree.wait_for(g, std::chrono::milliseconds(SendBound()),
                            [this] { return !FOutputBusy; }))
    return false;
  FOutputBusy = true;
  FOutputOwner.store(std::this_thread::get_id());
  return true;
}

int TxcGarvel::SendBound() const {
  int t = FResponseTimeOut.load();
  return t > 0 ? t : 0;
}

TxcGarvel::TxcGarvel(TComponent* AOwner, TMessageClass AMessageClass,
                     const std::string& AProtocolName)
    : TComponent(AOwner), FMessageClass(AMessageClass), FProtocolName(AProtocolName) {
  FWindowHandle = AllocateHWnd([this](TMessage& M) { WndProc(M); });
  std::string n = IntToStr(static_cast<long long>(FWindowHandle));
  FClient = std::make_unique<TxcTcpClient>();
  FAliveEvent = std::make_unique<TEvent>("AliveEvent-" + n);
  FSubmitEvent = std::make_unique<TEvent>("SubmitEvent-" + n);
  FAliveIntervalEvent = std::make_unique<TEvent>("AliveIntervalEvent-" + n);
  FInputMessage = FMessageClass();
  FOutputMessage = FMessageClass();
  FControlMessage = FMessageClass();
}

TxcGarvel::~TxcGarvel() {
  StopThreads();
  KillTimer(FWindowHandle, kHousekeepingTimer);
  FClient->Close();
  DeallocateHWnd(FWindowHandle); // discards notifications still queued
}

void TxcGarvel::WakeWorkers() {
  // The descriptor is shut down, not closed, while a thread may still use it.
  FClient->Disconnect();
  FAliveIntervalEvent->SetEvent();
  {
    std::lock_guard<std::mutex> g(FQueueLock);
    FStopReceiving = true;
  }
  FQueueCond.notify_all();
  FailPending();
}

void TxcGarvel::StopThreads() {
  // Wake and join the workers before anything they use goes away.
  TerminateReceiveThread();
  TerminateKeepAliveThread();
  WakeWorkers();
  ReapThreads(true);
}

void TxcGarvel::TerminateReceiveThread() {
  std::lock_guard<std::mutex> g(FThreadLock);
  if (FReceiveThread) {
    FReceiveThread->Terminate();
    FRetired.push_back(std::move(FReceiveThread));
  }
}

void TxcGarvel::TerminateKeepAliveThread() {
  std::lock_guard<std::mutex> g(FThreadLock);
  if (FKeepAliveThread) {
    FKeepAliveThread->Terminate();
    FRetired.push_back(std::move(FKeepAliveThread));
  }
}

void TxcGarvel::ReapThreads(bool WaitAll) {
  std::vector<std::unique_ptr<TThread>> done;
  {
    std::lock_guard<std::mutex> g(FThreadLock);
    for (auto it = FRetired.begin(); it != FRetired.end();) {
      if (WaitAll || (*it)->Finished()) {
        done.push_back(std::move(*it));
        it = FRetired.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& t : done)
    t->WaitFor(); // outside the lock: a finishing worker may still want it
}

void TxcGarvel::FailPending() {
  std::vector<std::unique_ptr<TxcSubmitCompletion>> done;
  {
    std::lock_guard<std::mutex> g(FPendingLock);
    std::vector<TPendingRequest*> pending;
    pending.swap(FPending);
    for (TPendingRequest* p : pending) {
      if (p->Ticket != 0) {
        ResolveAsyncLocked(p, rcTimeOut, nullptr, done);
        continue;
      }
      p->Done = true;
      p->Result = rcTimeOut;
      p->Cond.notify_one();
    }
  }
  FWindowCond.notify_all(); // submits waiting for a place see the end
  PostCompletions(done);
}

// ---------------------------------------------------------------------------
// Windowed submission

TxcGarvel::TSubmitSlot::TSubmitSlot(TxcGarvel& Relay) : FRelay(Relay) {
  FResult = FRelay.AcquireSubmitSlot();
  FHeld = FResult == rcOk;
}

TxcGarvel::TSubmitSlot::~TSubmitSlot() {
  if (FHeld)
    FRelay.ReleaseSubmitSlot();
}

int TxcGarvel::AcquireSubmitSlot() {
  if (FState.load() != rsLoggedIn)
    return rcWrongState;
  Clock::time_point now = Clock::now();
  const Clock::time_point deadline = now + std::chrono::milliseconds(SendBound());
  std::vector<std::unique_ptr<TxcSubmitCompletion>> done;
  int r = rcTimeOut;
  std::unique_lock<std::mutex> g(FPendingLock);
  for (;;) {
    if (SessionBroken())
      break;
    now = Clock::now();
    ExpireLocked(now, done); // a full window may hold parts past their time
    if (FInFlight < FWindowSize.load()) {
      ++FInFlight;
      r = rcOk;
      break;
    }
    if (now >= deadline)
      break;
    if (!done.empty() || FBatchWaiting.load()) {
      // Nobody waits for a place on parts not yet sent.
      g.unlock();
      PostCompletions(done);
      FlushBatch();
      g.lock();
      continue;
    }
    FWindowCond.wait_until(g, std::min(deadline, FEarliestDeadline));
  }
  if (r == rcOk) {
    // The rate's next turn and the back-off, both bounded by the same wait.
    double rate = FMaxSubmitRate.load();
    Clock::time_point at = std::max(now, FPausedUntil);
    if (rate > 0)
      at = std::max(at, FNextSubmitAt);
    if (at > deadline) {
      r = rcTimeOut;
    } else {
      if (rate > 0)
        FNextSubmitAt = at + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(1 / rate));
      while (!SessionBroken() && Clock::now() < at)
        FWindowCond.wait_until(g, at);
      if (SessionBroken())
        r = rcTimeOut;
    }
    if (r != rcOk) {
      --FInFlight;
      FWindowCond.notify_all();
    }
  }
  g.unlock();
  PostCompletions(done);
  return r;
}

void TxcGarvel::ReleaseSubmitSlot() {
  {
    std::lock_guard<std::mutex> g(FPendingLock);
    --FInFlight;
  }
  FWindowCond.notify_all();
}

void TxcGarvel::SetWindowSize(int Value) {
  FWindowSize.store(std::clamp(Value, 1, std::max(1, MaxWindowSize())));
  FWindowCond.notify_all();
}

int TxcGarvel::MaxWindowSize() const {
  return 1000;
}

int TxcGarvel::InFlight() const {
  std::lock_guard<std::mutex> g(FPendingLock);
  return FInFlight;
}

int TxcGarvel::OutstandingTickets() const {
  std::lock_guard<std::mutex> g(FPendingLock);
  return static_cast<int>(FTickets.size());
}

bool TxcGarvel::RequestPending(const TMessageKey& Key) const {
  std::lock_guard<std::mutex> g(FPendingLock);
  return std::any_of(FPending.begin(), FPending.end(), [&](const TPendingRequest* p) {
    return p->Key.Id == Key.Id && p->Key.Operation == Key.Operation;
  });
}

void TxcGarvel::CompletePartLocked(TSubmitTicket Ticket, int Part, int Result,
                                   const TxcSMSCMessage* Answer,
                                   std::vector<std::unique_ptr<TxcSubmitCompletion>>& Done) {
  auto it = FTickets.find(Ticket);
  if (it == FTickets.end() || Part < 0 || Part >= static_cast<int>(it->second.Parts.size()))
    return;
  TxcPartResult& part = it->second.Parts[static_cast<size_t>(Part)];
  part = TxcPartResult();
  if (Answer)
    Answer->GetSubmitResult(part);
  part.Result = Result;
  if (--it->second.Remaining > 0)
    return;
  auto c = std::make_unique<TxcSubmitCompletion>();
  c->Ticket = Ticket;
  c->Parts = std::move(it->second.Parts);
  c->Sent = it->second.Sent;
  c->Answered = Clock::now();
  c->Result = rcOk;
  for (const TxcPartResult& r : c->Parts)
    if (r.Result != rcOk) {
      c->Result = r.Result;
      break;
    }
  FTickets.erase(it);
  Done.push_back(std::move(c));
}

void TxcGarvel::ResolveAsyncLocked(TPendingRequest* P, int Result, const TxcSMSCMessage* Answer,
                                   std::vector<std::unique_ptr<TxcSubmitCompletion>>& Done) {
  // P is out of FPending; its window place is free from here on.
  CompletePartLocked(P->Ticket, P->Part, Result, Answer, Done);
  --FAsyncPending;
  --FInFlight;
  delete P;
}

void TxcGarvel::ExpireLocked(Clock::time_point Now,
                             std::vector<std::unique_ptr<TxcSubmitCompletion>>& Done) {
  if (Now < FEarliestDeadline)
    return;
  Clock::time_point earliest = Clock::time_point::max();
  bool freed = false;
  for (auto it = FPending.begin(); it != FPending.end();) {
    TPendingRequest* p = *it;
    if (p->Ticket == 0) {
      ++it;
    } else if (p->Deadline <= Now) {
      it = FPending.erase(it);
      ResolveAsyncLocked(p, rcTimeOut, nullptr, Done);
      freed = true;
    } else {
      earliest = std::min(earliest, p->Deadline);
      ++it;
    }
  }
  FEarliestDeadline = earliest;
  if (freed)
    FWindowCond.notify_all();
}

void TxcGarvel::PostCompletions(std::vector<std::unique_ptr<TxcSubmitCompletion>>& Done) {
  for (auto& c : Done)
    PostMessage(FWindowHandle, CM_SUBMITTED, 0, static_cast<intptr_t>(FSession.load()),
                std::make_unique<TCompletionNotice>(std::move(*c)));
  Done.clear();
}

void TxcGarvel::SendPart(TSubmitTicket Ticket, int Part) {
  // Output lock held, the part encoded, its window place taken (and passed
  // to the request from here on).
  bool defer = false;
  auto* p = new TPendingRequest;
  p->Ticket = Ticket;
  p->Part = Part;
  if (!FOutputMessage->GetRequestKey(p->Key)) {
    p->Key = TMessageKey();
    p->Key.Operation = kSubmitKind;
  }
  std::vector<std::unique_ptr<TxcSubmitCompletion>> done;
  {
    std::lock_guard<std::mutex> g(FPendingLock);
    if (SessionBroken()) {
      ++FAsyncPending; // counted as listed, so that resolving it balances
      ResolveAsyncLocked(p, rcTimeOut, nullptr, done);
      p = nullptr;
    } else {
      int timeout = FResponseTimeOut.load();
      p->Deadline = Clock::now() + std::chrono::milliseconds(timeout > 0 ? timeout : 0);
      FEarliestDeadline = std::min(FEarliestDeadline, p->Deadline);
      FPending.push_back(p); // before sending: the answer may be quick
      ++FAsyncPending;
      // While answers stream in and other requests are on the wire (every
      // listed one has gone out: this thread holds the output lock), the
      // part waits in the batch for the next answer, a moment away; the
      // receive thread then writes the batch in one go. Not under a rate
      // limit, which wants every submit on the wire at its turn.
      int64_t sinceAnswer = Clock::now().time_since_epoch().count() - FLastAsyncAnswer;
      defer = FPending.size() > 1 && FMaxSubmitRate.load() <= 0 &&
              sinceAnswer < std::chrono::duration_cast<Clock::duration>(kAnswersFlowing).count() &&
              FBatch.size() + FOutputMessage->FBuffer.size() <= kMaxBatch;
    }
  }
  if (!p) {
    ReleaseOutput();
    FWindowCond.notify_all();
    PostCompletions(done);
    return;
  }
  NeedHousekeeping();
  if (defer) {
    FBatch.insert(FBatch.end(), FOutputMessage->FBuffer.begin(), FOutputMessage->FBuffer.end());
    FBatchWaiting.store(true);
    ReleaseOutput();
    return;
  }
  if (MessageOut())
    return;
  // Not sent. A broken link has failed it already; otherwise do it here.
  {
    std::lock_guard<std::mutex> g(FPendingLock);
    auto it = std::find(FPending.begin(), FPending.end(), p);
    if (it != FPending.end()) {
      FPending.erase(it);
      ResolveAsyncLocked(p, rcTimeOut, nullptr, done);
    }
  }
  FWindowCond.notify_all();
  PostCompletions(done);
}

int TxcGarvel::SubmitParts(int PartCount, const std::function<int(int Part)>& Encode,
                           TSubmitTicket& Ticket) {
  Ticket = 0;
  if (PartCount < 1)
    return rcCannotCarry;
  TSubmitTicket ticket = 0;
  for (int i = 0; i < PartCount; ++i) {
    int r;
    {
      TSubmitSlot slot(*this);
      r = slot.Result();
      if (r == rcOk) {
        TOutputLock lock(*this);
        r = lock ? Encode(i) : rcTimeOut;
        if (r == rcOk) {
          if (ticket == 0) {
            std::lock_guard<std::mutex> g(FPendingLock);
            ticket = ++FLastTicket;
            TTicketRecord& rec = FTickets[ticket];
            rec.Parts.resize(static_cast<size_t>(PartCount));
            rec.Remaining = PartCount;
            rec.Sent = Clock::now();
          }
          slot.FHeld = false; // the place goes with the request
          SendPart(ticket, i);
          continue;
        }
      }
    }
    if (ticket == 0)
      return r; // nothing went out
    // This part and the ones after it fail; the ticket reports them.
    std::vector<std::unique_ptr<TxcSubmitCompletion>> done;
    {
      std::lock_guard<std::mutex> g(FPendingLock);
      for (int j = i; j < PartCount; ++j)
        CompletePartLocked(ticket, j, r, nullptr, done);
    }
    PostCompletions(done);
    break;
  }
  Ticket = ticket;
  return rcOk;
}

bool TxcGarvel::ReleaseHeldParts(bool) {
  return false;
}

void TxcGarvel::NeedHousekeeping() {
  std::lock_guard<std::mutex> g(FHousekeepingLock);
  if (!FHousekeeping)
    FHousekeeping = SetTimer(FWindowHandle, kHousekeepingTimer, kHousekeepingMs);
}

void TxcGarvel::Housekeeping() {
  // Main thread, on the timer: parts nobody else looked at in time, and a
  // batch whose requests on the wire ended without an answer.
  std::vector<std::unique_ptr<TxcSubmitCompletion>> done;
  {
    std::lock_guard<std::mutex> g(FPendingLock);
    ExpireLocked(Clock::now(), done);
  }
  PostCompletions(done);
  FlushBatch();
  bool held = false;
  if (!SessionBroken()) {
    std::weak_ptr<int> life = FLifeToken;
    try {
      held = ReleaseHeldParts(false);
    } catch (const std::exception& e) {
      if (life.expired())
        return;
      ReportError(std::string("held message parts not handled: ") + e.what());
    }
    if (life.expired())
      return; // a handler destroyed the component
  }
  std::lock_guard<std::mutex> h(FHousekeepingLock);
  int async;
  {
    std::lock_guard<std::mutex> g(FPendingLock);
    async = FAsyncPending;
  }
  if (FHousekeeping && async == 0 && !held) {
    KillTimer(FWindowHandle, kHousekeepingTimer);
    FHousekeeping = false;
  }
}

void TxcGarvel::Submitted(TMessage& Message) {
  std::unique_ptr<TObject> payload = std::move(Message.Payload);
  auto* n = dynamic_cast<TCompletionNotice*>(payload.get());
  if (!n || !OnSubmitCompleted)
    return;
  std::weak_ptr<int> life = FLifeToken;
  TSubmitCompletedEvent handler = OnSubmitCompleted;
  try {
    handler(this, n->Completion);
  } catch (const std::exception& e) {
    if (!life.expired())
      ReportError(std::string("OnSubmitCompleted failed: ") + e.what());
  }
}

bool TxcGarvel::BreakSession(int Reason) {
  if (FClosing.load())
    Reason = drLocal;
  int expected = kNotBroken;
  if (!FBreakReason.compare_exchange_strong(expected, Reason))
    return false;
  {
    std::lock_guard<std::mutex> g(FThreadLock);
    if (FReceiveThread)
      FReceiveThread->Terminate();
    if (FKeepAliveThread)
      FKeepAliveThread->Terminate();
  }
  WakeWorkers();
  PostMessage(FWindowHandle, CM_DISCONNECTED, static_cast<uintptr_t>(static_cast<intptr_t>(Reason)),
              static_cast<intptr_t>(FSession.load()));
  return true;
}

int TxcGarvel::Connect(const std::string& Host, int Port) {
  if (FState.load() != rsNotConnected)
    return rcWrongState;
  if (Port < 0 || Port > 65535)
    return EINVAL;
  ReapThreads(true);
  FClient->RemoteHost = Host;
  FClient->RemotePort = IntToStr(Port);
  FClient->BlockMode = true;
  int timeout = FConnectTimeOut.load();
  if (!FClient->Connect(timeout > 0 ? timeout : -1))
    return FClient->LastError();
  {
    std::lock_guard<std::mutex> g(FQueueLock);
    FQueued = 0;
    FStopReceiving = false;
  }
  FErrorsQueued.store(0);
  FErrorsSuppressed.store(0);
  FSession.fetch_add(1);
  {
    std::lock_guard<std::mutex> g(FPendingLock);
    FPausedUntil = Clock::time_point();
  }
  FClosing.store(false);
  FBreakReason.store(kNotBroken);
  FState.store(rsConnected);
  // A Disconnect from another thread as the connect completed.
  if (FClient->LocalShutdown())
    BreakSession(drLocal);
  return rcOk;
}

void TxcGarvel::Disconnect() {
  if (FState.load() == rsNotConnected) {
    FClient->Disconnect(); // cancels a Connect in progress on another thread
    return;
  }
  if (FState.load() == rsLoggedIn && !SessionBroken() && FLogoutTimeOut.load() > 0 &&
      !FClosing.exchange(true)) {
    try {
      Logout();
    } catch (const std::exception&) {
      // The session ends all the same.
    }
  }
  // The reason is settled before the socket goes down, so that a send
  // failing meanwhile on another thread cannot claim the disconnect.
  BreakSession(drLocal);
}

int TxcGarvel::InternalInitializeSession() {
  if (FState.load() != rsConnected || SessionBroken())
    return rcWrongState;
  FSubmitEvent->ResetEvent();
  FAliveEvent->ResetEvent();
  {
    std::lock_guard<std::mutex> g(FThreadLock);
    FReceiveThread = std::make_unique<TReceiveThread>(*this);
    FReceiveThread->Start();
    if (FKeepAlive) {
      FKeepAliveThread = std::make_unique<TKeepAliveThread>(*this);
      FKeepAliveThread->Start();
    }
    // A Disconnect from another thread before the threads existed could not
    // tell them to end (one after this point can: it takes this lock).
    if (SessionBroken()) {
      FReceiveThread->Terminate();
      if (FKeepAliveThread)
        FKeepAliveThread->Terminate();
    }
  }
  FState.store(rsInitialized);
  TOutputLock lock(*this);
  if (lock) {
    FOutputMessage->Reset();
    FBatch.clear();
    FBatchWaiting.store(false);
  }
  return rcOk;
}

int TxcGarvel::InitializeSession() {
  return InternalInitializeSession();
}

bool TxcGarvel::SessionStarted() const {
  TRelayState s = FState.load();
  return s == rsInitialized || s == rsLoggedIn;
}

// Before InitializeSession nothing reads the answers: waiting for one would
// only run out the time-out.
int TxcGarvel::InternalLogin(TResponse* Response) {
  if (!SessionStarted()) {
    ReleaseOutput();
    return rcWrongState;
  }
  return MessageOutAndWait(*FSubmitEvent, Response);
}
int TxcGarvel::InternalAlive(TResponse* Response) {
  if (!SessionStarted()) {
    ReleaseOutput();
    return rcWrongState;
  }
  return MessageOutAndWait(*FAliveEvent, Response);
}
int TxcGarvel::InternalRequestDelivery(TResponse* Response) {
  if (!SessionStarted()) {
    ReleaseOutput();
    return rcWrongState;
  }
  return MessageOutAndWait(*FAliveEvent, Response);
}

int TxcGarvel::InternalLogout(TResponse* Response) {
  return MessageOutAndWait(*FSubmitEvent, Response, FLogoutTimeOut.load());
}

int TxcGarvel::Logout() {
  return rcWrongState;
}

int TxcGarvel::InternalSubmitMessage(TResponse* Response) {
  if (FState.load() != rsLoggedIn) {
    ReleaseOutput();
    return rcWrongState;
  }
  return MessageOutAndWait(*FSubmitEvent, Response);
}

int TxcGarvel::Login() {
  TOutputLock lock(*this);
  if (!lock)
    return rcTimeOut;
  FOutputMessage->EncodeLoginMsg();
  return InternalLogin();
}

int TxcGarvel::SubmitMessage() {
  TOutputLock lock(*this);
  if (!lock)
    return rcTimeOut;
  FOutputMessage->EncodeSubmitMsg();
  return InternalSubmitMessage();
}

int TxcGarvel::RequestDelivery() {
  TOutputLock lock(*this);
  if (!lock)
    return rcTimeOut;
  FOutputMessage->EncodeRequestDeliveryMsg();
  return InternalRequestDelivery();
}

int TxcGarvel::Alive() {
  TOutputLock lock(*this);
  if (!lock)
    return rcTimeOut;
  FOutputMessage->EncodeAliveMsg();
  return InternalAlive();
}

void TxcGarvel::Response(TxcSMSCMessage& Message) {
  TOutputLock lock(*this);
  if (!lock)
    return; // unanswered: the SMSC delivers it again
  FOutputMessage->EncodeResponseMsg(Message);
  MessageOut();
}

bool TxcGarvel::MessageReceived(TxcSMSCMessage&) {
  return false;
}
bool TxcGarvel::StatusReportReceived(TxcSMSCMessage&) {
  return false;
}

bool TxcGarvel::SendMessage(const TxcSMSCMessage& Message) {
  // Called with the output lock held.
  if (SessionBroken()) {
    FBatch.clear();
    FBatchWaiting.store(false);
    return false;
  }
  // Submits queued behind requests on the wire go first, in one write.
  const uint8_t* data = Message.FBuffer.data();
  size_t size = Message.FBuffer.size();
  if (!FBatch.empty()) {
    FBatch.insert(FBatch.end(), Message.FBuffer.begin(), Message.FBuffer.end());
    data = FBatch.data();
    size = FBatch.size();
  }
  int n = FClient->SendBuf(data, static_cast<int>(size), SendBound());
  FBatch.clear();
  FBatchWaiting.store(false);
  // Every send restarts the keep-alive interval.
  FLastSend.store(Clock::now().time_since_epoch().count());
  if (n >= 0)
    return true;
  int err = FClient->LastError();
  if (err == ETIMEDOUT)
    BreakSession(drSendTimeOut); // part of a message may be out: the stream is lost
  else
    BreakSession(FClient->LocalShutdown() ? drLocal : (err != 0 ? err : drPeerClosed));
  return false;
}

void TxcGarvel::FlushBatch() {
  if (!FBatchWaiting.load())
    return;
  TOutputLock lock(*this);
  if (!lock || FBatch.empty())
    return;
  std::vector<uint8_t> batch;
  batch.swap(FBatch);
  FBatchWaiting.store(false);
  bool broken = SessionBroken();
  if (!broken) {
    int n = FClient->SendBuf(batch.data(), static_cast<int>(batch.size()), SendBound());
    FLastSend.store(Clock::now().time_since_epoch().count());
    if (n < 0) {
      int err = FClient->LastError();
      if (err == ETIMEDOUT)
        BreakSession(drSendTimeOut);
      else
        BreakSession(FClient->LocalShutdown() ? drLocal : (err != 0 ? err : drPeerClosed));
    }
  }
  ReleaseOutput();
}

bool TxcGarvel::MessageOut() {
  if (FOutputOwner.load() != std::this_thread::get_id() && !AcquireOutput())
    return false;
  bool sent = SendMessage(*FOutputMessage);
  ReleaseOutput();
  return sent;
}

int TxcGarvel::MessageOutAndWait(TEvent& Event, TResponse* Response, int TimeOutMs) {
  // Called with the output lock held and the request encoded.
  TPendingRequest p;
  if (!FOutputMessage->GetRequestKey(p.Key)) {
    p.Key = TMessageKey();
    p.Key.Operation = &Event == FSubmitEvent.get() ? kSubmitKind : kAliveKind;
  }
  {
    std::lock_guard<std::mutex> g(FPendingLock);
    if (SessionBroken()) {
      ReleaseOutput();
      return rcTimeOut;
    }
    FPending.push_back(&p); // before sending: the answer may be quick
  }
  bool sent = MessageOut();
  // A negative time-out waits for nothing.
  int timeout = TimeOutMs >= 0 ? TimeOutMs : FResponseTimeOut.load();
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout > 0 ? timeout : 0);
  std::unique_lock<std::mutex> g(FPendingLock);
  if (sent)
    p.Cond.wait_until(g, deadline, [&] { return p.Done; });
  if (!p.Done) {
    auto it = std::find(FPending.begin(), FPending.end(), &p);
    if (it != FPending.end())
      FPending.erase(it);
    return rcTimeOut;
  }
  if (Response)
    *Response = std::move(p.Response);
  return p.Result;
}

void TxcGarvel::DeliverAnswer(TReceiveMessageType Type) {
  // Receive thread, FInputLock held. Decode into a copy of its own, which
  // travels to the waiting request.
  TMessageKey key;
  if (!FInputMessage->GetResponseKey(key))
    KindKey(Type, key);
  TResponse answer = TxcSMSCMessage::Create(*FInputMessage);
  switch (Type) {
  case mtSubmitRsp:
    answer->DecodeSubmitRspMsg();
    break;
  case mtLoginRsp:
    answer->DecodeLoginRspMsg();
    break;
  case mtAliveRsp:
    answer->DecodeAliveRspMsg();
    break;
  case mtRequestDeliveryRsp:
    answer->DecodeRequestDeliveryRspMsg();
    break;
  case mtLogoutRsp:
    answer->FResultCode = rcOk;
    break;
  default: // mtGeneralError, mtNack
    answer->FResultCode = rcGeneralError;
    break;
  }
  bool taken = false;
  bool late = false;
  bool freed = false; // an asynchronous part left the window
  std::vector<std::unique_ptr<TxcSubmitCompletion>> done;
  {
    std::lock_guard<std::mutex> g(FPendingLock);
    Clock::time_point now = Clock::now();
    if (Type == mtSubmitRsp && answer->IsThrottled()) {
      int backOff = FThrottleBackOff.load();
      FPausedUntil = std::max(FPausedUntil, now + std::chrono::milliseconds(backOff));
    }
    int result = answer->FResultCode;
    for (auto it = FPending.begin(); it != FPending.end();) {
      TPendingRequest* p = *it;
      if (!key.Answers(p->Key)) {
        ++it;
        continue;
      }
      it = FPending.erase(it);
      if (p->Ticket != 0) {
        // An asynchronous part: its time may have run out before anyone
        // looked, and then the answer is too late.
        bool expired = p->Deadline <= now;
        late = late || expired;
        freed = true;
        FLastAsyncAnswer = now.time_since_epoch().count();
        ResolveAsyncLocked(p, expired ? rcTimeOut : result,
                           expired || taken ? nullptr : answer.get(), done);
        taken = taken || !expired;
      } else {
        p->Done = true;
        p->Result = result;
        if (!taken)
          p->Response = std::move(answer);
        taken = true;
        p->Cond.notify_one();
      }
      if (!key.AnyOperation || key.Id >= 0)
        break; // a numbered answer has one owner
    }
    ExpireLocked(now, done);
  }
  if (freed)
    FWindowCond.notify_all();
  PostCompletions(done);
  if (late)
    PostError(std::string(KindName(Type)) +
              " dropped, it came after its request timed out: " + FInputMessage->Describe());
  else if (!taken)
    PostError(std::string(KindName(Type)) +
              " dropped, no request waits for it: " + FInputMessage->Describe());
  FlushBatch(); // what waited for an answer goes now
}

void TxcGarvel::AnswerAtOnce(bool ThenClose) {
  // Receive thread. The answer is built in a message of its own, so the
  // output message stays with whichever request holds it.
  FControlMessage->EncodeResponseMsg(*FInputMessage);
  TOutputLock lock(*this);
  if (lock) {
    SendMessage(*FControlMessage);
    ReleaseOutput();
  }
  if (ThenClose)
    BreakSession(drPeerClosed);
}

void TxcGarvel::MessageIn() {
  // Called on the receive thread with FInputLock held.
  switch (FInputMessage->GetControlAction()) {
  case caAnswer:
    AnswerAtOnce(false);
    return;
  case caAnswerAndClose:
    AnswerAtOnce(true);
    return;
  case caDrop:
    return;
  case caNone:
    break;
  }
  TReceiveMessageType type = FInputMessage->GetMessageType();
  switch (type) {
  case mtDeliver:
  case mtStatusReport:
    DoReceivedEvent();
    break;
  case mtSubmitRsp:
  case mtRequestDeliveryRsp:
  case mtLoginRsp:
  case mtLogoutRsp:
  case mtAliveRsp:
  case mtGeneralError:
  case mtNack:
    DeliverAnswer(type);
    break;
  case mtUnknown:
  case mtAlive:
    break;
  }
}

void TxcGarvel::DoReceivedEvent() {
  // Back-pressure: wait while the main thread has enough to do. The socket
  // is not read meanwhile, so TCP holds the SMSC back.
  {
    std::unique_lock<std::mutex> g(FQueueLock);
    FQueueCond.wait(
        g, [this] { return FStopReceiving || FQueued < std::max(1, FReceiveQueueSize.load()); });
    if (FStopReceiving)
      return; // the session is over: dropped unacknowledged
    ++FQueued;
  }
  std::unique_ptr<TxcSMSCMessage> copy = TxcSMSCMessage::Create(*FInputMessage);
  PostMessage(FWindowHandle, CM_RECEIVED, 0, static_cast<intptr_t>(FSession.load()),
              std::move(copy));
}

void TxcGarvel::DoDisconnectedEvent(int Reason) {
  BreakSession(Reason == EINTR ? drLocal : Reason);
}

void TxcGarvel::PostError(const std::string& Text) {
  if (FErrorsQueued.fetch_add(1) >= kMaxErrorsQueued) {
    FErrorsQueued.fetch_sub(1);
    FErrorsSuppressed.fetch_add(1);
    return;
  }
  int suppressed = FErrorsSuppressed.exchange(0);
  std::string text = Text;
  if (suppressed > 0)
    text += " (" + IntToStr(suppressed) + " more errors were not reported)";
  PostMessage(FWindowHandle, CM_ERROR, 0, static_cast<intptr_t>(FSession.load()),
              std::make_unique<TErrorNotice>(std::move(text)));
}

void TxcGarvel::ReportError(const std::string& Text) {
  if (!OnError)
    return;
  try {
    OnError(this, Text);
  } catch (...) {
    // An error handler that fails has nowhere left to report to.
  }
}

void TxcGarvel::WndProc(TMessage& Message) {
  switch (Message.Msg) {
  case CM_RECEIVED:
    Received(Message);
    break;
  case CM_DISCONNECTED:
    Disconnected(Message);
    break;
  case CM_SUBMITTED:
    Submitted(Message);
    break;
  case WM_TIMER:
    if (Message.WParam == kHousekeepingTimer)
      Housekeeping();
    break;
  case CM_ERROR:
    if (static_cast<uint64_t>(Message.LParam) == FSession.load())
      FErrorsQueued.fetch_sub(1);
    if (auto* n = dynamic_cast<TErrorNotice*>(Message.Payload.get()))
      ReportError(n->Text);
    break;
  default:
    Message.Result = DefWindowProc(FWindowHandle, Message);
  }
}

void TxcGarvel::Received(TMessage& Message) {
  std::unique_ptr<TObject> payload = std::move(Message.Payload);
  bool current = static_cast<uint64_t>(Message.LParam) == FSession.load();
  if (current) {
    {
      std::lock_guard<std::mutex> g(FQueueLock);
      if (FQueued > 0)
        --FQueued;
    }
    FQueueCond.notify_one();
  }
  // Nothing is handed to the application once its session has ended: the
  // message goes unacknowledged and the SMSC delivers it again.
  if (!current || SessionBroken())
    return;
  auto* m = dynamic_cast<TxcSMSCMessage*>(payload.get());
  if (!m)
    return;
  std::weak_ptr<int> life = FLifeToken;
  try {
    bool answer = false;
    switch (m->GetMessageType()) {
    case mtDeliver:
      answer = MessageReceived(*m);
      break;
    case mtStatusReport:
      answer = StatusReportReceived(*m);
      break;
    default:
      break;
    }
    if (life.expired())
      return; // a handler destroyed the component
    if (answer && !SessionBroken())
      Response(*m);
  } catch (const std::exception& e) {
    if (!life.expired())
      ReportError(std::string("received message not handled: ") + e.what());
  }
  // The copy is freed here either way.
}

void TxcGarvel::Disconnected(TMessage& Message) {
  if (static_cast<uint64_t>(Message.LParam) != FSession.load())
    return; // a session that has been replaced
  int reason = static_cast<int>(static_cast<intptr_t>(Message.WParam));
  // Every worker has been told to end and every wait released; join them,
  // then release the descriptor.
  TerminateReceiveThread();
  TerminateKeepAliveThread();
  WakeWorkers();
  ReapThreads(true);
  FClient->Close();
  FState.store(rsNotConnected);
  std::weak_ptr<int> life = FLifeToken;
  // Parts of long messages held for reassembly were acknowledged when they
  // came, so the SMSC will not deliver them again: they are raised now, as
  // they came, rather than lost.
  try {
    ReleaseHeldParts(true);
  } catch (const std::exception& e) {
    if (life.expired())
      return;
    ReportError(std::string("held message parts not handled: ") + e.what());
  }
  if (life.expired())
    return;
  // From here on the handler owns the component: it may destroy it or
  // connect again, so nothing below touches this object.
  if (!OnDisconnected)
    return;
  TDisconnectedEvent handler = OnDisconnected;
  try {
    handler(this, reason);
  } catch (const std::exception& e) {
    if (!life.expired())
      ReportError(std::string("OnDisconnected failed: ") + e.what());
  }
}

void TxcGarvel::SetKeepAlive(bool Value) {
  if (Value == FKeepAlive)
    return;
  // Takes effect at once while the session's threads run: in rsLoggedIn as
  // well as in rsInitialized, since a logged-in session is where it matters.
  TRelayState s = FState.load();
  if ((s == rsInitialized || s == rsLoggedIn) && !SessionBroken()) {
    if (FKeepAlive) {
      TerminateKeepAliveThread();
      FAliveIntervalEvent->SetEvent();
    } else {
      std::lock_guard<std::mutex> g(FThreadLock);
      FKeepAliveThread = std::make_unique<TKeepAliveThread>(*this);
      FKeepAliveThread->Start();
    }
  }
  FKeepAlive = Value;
  ReapThreads(false);
}

void TxcGarvel::SetKeepAliveInterval(int Value) {
  FKeepAliveInterval.store(Value);
}
void TxcGarvel::SetResponseTimeOut(int Value) {
  FResponseTimeOut.store(Value);
}

void TxcGarvel::SetReceiveQueueSize(int Value) {
  FReceiveQueueSize.store(Value < 1 ? 1 : Value);
  FQueueCond.notify_all();
}

void TxcGarvel::ReceiveLoop(TThread& Self) {
  // Nothing may escape the thread: a failure here ends the session visibly.
  try {
    ReceiveLoopBody(Self);
  } catch (const std::exception& e) {
    try {
      PostError(std::string("receive thread failed: ") + e.what());
    } catch (...) {
    }
    BreakSession(drInternalError);
  } catch (...) {
    BreakSession(drInternalError);
  }
}

void TxcGarvel::ReceiveLoopBody(TThread& Self) {
  while (!Self.Terminated()) {
    TWaitForDataResult w = FClient->WaitForData(-1);
    if (w == wdReadable) {
      if (Self.Terminated())
        continue;
      std::unique_lock<std::mutex> g(FInputLock);
      bool framed = false;
      try {
        framed = FInputMessage->ReadMessage(*FClient);
      } catch (const std::bad_alloc&) {
        throw;
      } catch (const std::exception& e) {
        // Nothing was consumed and nothing ever will be: the stream is lost.
        g.unlock();
        PostError(std::string("cannot frame received data: ") + e.what());
        BreakSession(drUnframeable);
        continue;
      }
      if (!framed)
        continue;
      try {
        MessageIn();
      } catch (const std::bad_alloc&) {
        throw;
      } catch (const std::exception& e) {
        // The frame was consumed; drop it and go on with the next.
        PostError(std::string("received message dropped: ") + e.what() + " (" +
                  FInputMessage->Describe() + ")");
      }
      continue;
    }
    if (w == wdTimeout)
      continue;
    if (Self.Terminated())
      break;
    int reason;
    if (FClient->LocalShutdown())
      reason = drLocal;
    else if (w == wdClosed && FClient->LastError() == 0)
      reason = drPeerClosed;
    else
      reason = FClient->LastError() != 0 ? FClient->LastError() : drPeerClosed;
    BreakSession(reason);
    Self.Terminate(); // the connection is over, whoever reported it first
  }
}

void TxcGarvel::KeepAliveLoop(TThread& Self) {
  // The first keep-alive comes an interval after the thread starts at the
  // earliest.
  const int64_t started = Clock::now().time_since_epoch().count();
  while (!Self.Terminated()) {
    FAliveIntervalEvent->ResetEvent();
    if (Self.Terminated())
      break;
    // A non-positive interval sends no keep-alive rather than a stream of them.
    int interval = FKeepAliveInterval.load();
    if (interval <= 0) {
      FAliveIntervalEvent->WaitFor(INFINITE);
      continue;
    }
    // Every send restarts the interval: wait until it has passed since the
    // last one (the event only wakes the thread to end or to look again).
    auto due = Clock::time_point(Clock::duration(std::max(FLastSend.load(), started))) +
               std::chrono::milliseconds(interval);
    auto now = Clock::now();
    if (now < due) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1;
      FAliveIntervalEvent->WaitFor(static_cast<uint32_t>(std::min<long long>(ms, interval)));
      continue;
    }
    int r;
    try {
      r = Alive();
    } catch (const std::exception& e) {
      PostError(std::string("keep-alive request failed: ") + e.what());
      r = rcGeneralError;
    }
    if (r == rcTimeOut && !Self.Terminated())
      BreakSession(drKeepAliveFailed);
  }
}

} // namespace garvel
