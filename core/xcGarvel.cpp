// The message buffer and the relay component.
#include "xcGarvel.h"

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

namespace {

// Carries a text to the main thread.
struct TErrorNotice : TObject {
  explicit TErrorNotice(std::string T) : Text(std::move(T)) {}
  std::string Text;
};

} // namespace

// ---------------------------------------------------------------------------
// TxcGarvel

TxcGarvel::TOutputLock::TOutputLock(TxcGarvel& Relay) : FRelay(Relay) {
  FRelay.FOutputMutex.lock();
  FRelay.FOutputOwner.store(std::this_thread::get_id());
}

TxcGarvel::TOutputLock::~TOutputLock() {
  FRelay.ReleaseOutput();
}

void TxcGarvel::ReleaseOutput() {
  if (FOutputOwner.load() == std::this_thread::get_id()) {
    FOutputOwner.store(std::thread::id());
    FOutputMutex.unlock();
  }
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
}

TxcGarvel::~TxcGarvel() {
  StopThreads();
  FClient->Close();
  DeallocateHWnd(FWindowHandle); // discards notifications still queued
}

void TxcGarvel::StopThreads() {
  // Wake and join the workers before anything they use goes away. The
  // descriptor is shut down, not closed, while a thread may still poll it.
  TerminateReceiveThread();
  TerminateKeepAliveThread();
  FClient->Disconnect();
  FAliveIntervalEvent->SetEvent();
  FAliveEvent->SetEvent();
  FSubmitEvent->SetEvent();
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

int TxcGarvel::Connect(const std::string& Host, int Port) {
  if (FState.load() != rsNotConnected)
    return rcWrongState;
  ReapThreads(true);
  FClient->RemoteHost = Host;
  FClient->RemotePort = IntToStr(Port);
  FClient->BlockMode = true;
  if (!FClient->Connect())
    return FClient->LastError();
  FDisconnectPosted.store(false);
  FState.store(rsConnected);
  return rcOk;
}

void TxcGarvel::Disconnect() {
  FClient->Disconnect();
  if (FState.load() == rsConnected)
    DoDisconnectedEvent(drLocal);
  // From rsInitialized on, the receive thread sees the shut-down socket and
  // posts the notification itself.
}

int TxcGarvel::InternalInitializeSession() {
  if (FState.load() != rsConnected)
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
  }
  FState.store(rsInitialized);
  TOutputLock lock(*this);
  FOutputMessage->Reset();
  return rcOk;
}

int TxcGarvel::InitializeSession() {
  return InternalInitializeSession();
}

int TxcGarvel::InternalLogin() {
  return MessageOutAndWait(*FSubmitEvent);
}
int TxcGarvel::InternalAlive() {
  return MessageOutAndWait(*FAliveEvent);
}
int TxcGarvel::InternalRequestDelivery() {
  return MessageOutAndWait(*FAliveEvent);
}

int TxcGarvel::InternalSubmitMessage() {
  if (FState.load() != rsLoggedIn) {
    ReleaseOutput();
    return rcWrongState;
  }
  return MessageOutAndWait(*FSubmitEvent);
}

int TxcGarvel::Login() {
  TOutputLock lock(*this);
  FOutputMessage->EncodeLoginMsg();
  return InternalLogin();
}

int TxcGarvel::SubmitMessage() {
  TOutputLock lock(*this);
  FOutputMessage->EncodeSubmitMsg();
  return InternalSubmitMessage();
}

int TxcGarvel::RequestDelivery() {
  TOutputLock lock(*this);
  FOutputMessage->EncodeRequestDeliveryMsg();
  return InternalRequestDelivery();
}

int TxcGarvel::Alive() {
  TOutputLock lock(*this);
  FOutputMessage->EncodeAliveMsg();
  return InternalAlive();
}

void TxcGarvel::Response(TxcSMSCMessage& Message) {
  TOutputLock lock(*this);
  FOutputMessage->EncodeResponseMsg(Message);
  MessageOut();
}

bool TxcGarvel::MessageReceived(TxcSMSCMessage&) {
  return false;
}
bool TxcGarvel::StatusReportReceived(TxcSMSCMessage&) {
  return false;
}

bool TxcGarvel::MessageOut() {
  bool owned = FOutputOwner.load() == std::this_thread::get_id();
  if (!owned) {
    FOutputMutex.lock();
    FOutputOwner.store(std::this_thread::get_id());
  }
  int n = FClient->SendBuf(FOutputMessage->FBuffer.data(), FOutputMessage->Size());
  FAliveIntervalEvent->SetEvent();
  ReleaseOutput();
  return n >= 0;
}

int TxcGarvel::MessageOutAndWait(TEvent& Event) {
  std::atomic<int>& slot = &Event == FSubmitEvent.get() ? FSubmitResult : FAliveResult;
  Event.ResetEvent();
  slot.store(rcTimeOut);
  if (!MessageOut())
    return rcTimeOut; // nothing went out, so no response can come
  int timeout = FResponseTimeOut.load(); // a negative time-out waits for nothing
  if (Event.WaitFor(static_cast<uint32_t>(timeout < 0 ? 0 : timeout)) != wrSignaled)
    return rcTimeOut;
  return slot.load();
}

void TxcGarvel::SignalResponse(TEvent& Event, std::atomic<int>& Slot, int Result) {
  Slot.store(Result);
  Event.SetEvent();
}

void TxcGarvel::MessageIn() {
  // Called on the receive thread with FInputLock held.
  switch (FInputMessage->GetMessageType()) {
  case mtDeliver:
  case mtStatusReport:
    DoReceivedEvent();
    break;
  case mtSubmitRsp:
    FInputMessage->DecodeSubmitRspMsg();
    SignalResponse(*FSubmitEvent, FSubmitResult, FInputMessage->FResultCode);
    break;
  case mtRequestDeliveryRsp:
    FInputMessage->DecodeRequestDeliveryRspMsg();
    SignalResponse(*FAliveEvent, FAliveResult, FInputMessage->FResultCode);
    break;
  case mtLoginRsp:
    FInputMessage->DecodeLoginRspMsg();
    SignalResponse(*FSubmitEvent, FSubmitResult, FInputMessage->FResultCode);
    break;
  case mtAliveRsp:
    FInputMessage->DecodeAliveRspMsg();
    SignalResponse(*FAliveEvent, FAliveResult, FInputMessage->FResultCode);
    break;
  case mtGeneralError:
  case mtNack:
    FInputMessage->FResultCode = rcGeneralError;
    SignalResponse(*FSubmitEvent, FSubmitResult, rcGeneralError);
    SignalResponse(*FAliveEvent, FAliveResult, rcGeneralError);
    break;
  case mtUnknown:
  case mtAlive:
  case mtLogoutRsp:
    break;
  }
}

void TxcGarvel::DoReceivedEvent() {
  std::unique_ptr<TxcSMSCMessage> copy = TxcSMSCMessage::Create(*FInputMessage);
  PostMessage(FWindowHandle, CM_RECEIVED, 0, 0, std::move(copy));
}

void TxcGarvel::DoDisconnectedEvent(int Reason) {
  if (Reason == EINTR)
    Reason = drLocal;
  if (FDisconnectPosted.exchange(true))
    return; // one notification per session
  PostMessage(FWindowHandle, CM_DISCONNECTED, static_cast<uintptr_t>(static_cast<intptr_t>(Reason)),
              0);
}

void TxcGarvel::PostError(const std::string& Text) {
  PostMessage(FWindowHandle, CM_ERROR, 0, 0, std::make_unique<TErrorNotice>(Text));
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
  case CM_ERROR:
    if (auto* n = dynamic_cast<TErrorNotice*>(Message.Payload.get()))
      ReportError(n->Text);
    break;
  default:
    Message.Result = DefWindowProc(FWindowHandle, Message);
  }
}

void TxcGarvel::Received(TMessage& Message) {
  std::unique_ptr<TObject> payload = std::move(Message.Payload);
  auto* m = dynamic_cast<TxcSMSCMessage*>(payload.get());
  if (!m)
    return;
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
    if (answer)
      Response(*m);
  } catch (const std::exception& e) {
    ReportError(std::string("received message not handled: ") + e.what());
  }
  // The copy is freed here either way.
}

void TxcGarvel::Disconnected(TMessage& Message) {
  int reason = static_cast<int>(static_cast<intptr_t>(Message.WParam));
  // Both workers have been told to end; wake whichever still waits (after a
  // keep-alive failure the receive thread still polls the open socket),
  // join them, then release the descriptor.
  TerminateReceiveThread();
  TerminateKeepAliveThread();
  FClient->Disconnect();
  FAliveIntervalEvent->SetEvent();
  ReapThreads(true);
  FClient->Close();
  if (OnDisconnected) {
    try {
      OnDisconnected(this, reason);
    } catch (const std::exception& e) {
      ReportError(std::string("OnDisconnected failed: ") + e.what());
    }
  }
  FState.store(rsNotConnected);
}

void TxcGarvel::SetKeepAlive(bool Value) {
  if (Value == FKeepAlive)
    return;
  // Takes effect at once while the session's threads run: in rsLoggedIn as
  // well as in rsInitialized, since a logged-in session is where it matters.
  TRelayState s = FState.load();
  if (s == rsInitialized || s == rsLoggedIn) {
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

void TxcGarvel::BreakConnection(TThread& Self, int Reason) {
  FClient->Disconnect();
  {
    std::lock_guard<std::mutex> g(FThreadLock);
    if (FKeepAliveThread)
      FKeepAliveThread->Terminate();
  }
  Self.Terminate();
  // Release every waiter with "no response", then report.
  FAliveIntervalEvent->SetEvent();
  SignalResponse(*FAliveEvent, FAliveResult, rcTimeOut);
  SignalResponse(*FSubmitEvent, FSubmitResult, rcTimeOut);
  DoDisconnectedEvent(Reason);
}

void TxcGarvel::ReceiveLoop(TThread& Self) {
  while (!Self.Terminated()) {
    TWaitForDataResult w = FClient->WaitForData(-1);
    if (w == wdReadable) {
      if (Self.Terminated())
        continue;
      std::unique_lock<std::mutex> g(FInputLock);
      bool framed = false;
      try {
        framed = FInputMessage->ReadMessage(*FClient);
      } catch (const std::exception& e) {
        // Nothing was consumed and nothing ever will be: the stream is lost.
        g.unlock();
        PostError(std::string("cannot frame received data: ") + e.what());
        BreakConnection(Self, drUnframeable);
        continue;
      }
      if (!framed)
        continue;
      try {
        MessageIn();
      } catch (const std::exception& e) {
        // The frame was consumed; drop it and go on with the next.
        PostError(std::string("received message dropped: ") + e.what());
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
    BreakConnection(Self, reason);
  }
}

void TxcGarvel::KeepAliveLoop(TThread& Self) {
  while (!Self.Terminated()) {
    FAliveIntervalEvent->ResetEvent();
    // A non-positive interval sends no keep-alive rather than a stream of them.
    int interval = FKeepAliveInterval.load();
    TWaitResult w =
        FAliveIntervalEvent->WaitFor(interval > 0 ? static_cast<uint32_t>(interval) : INFINITE);
    if (w == wrSignaled || Self.Terminated())
      continue;
    int r;
    try {
      r = Alive();
    } catch (const std::exception& e) {
      PostError(std::string("keep-alive request failed: ") + e.what());
      r = rcGeneralError;
    }
    if (r == rcTimeOut && !Self.Terminated()) {
      {
        std::lock_guard<std::mutex> g(FThreadLock);
        if (FReceiveThread)
          FReceiveThread->Terminate();
      }
      Self.Terminate();
      DoDisconnectedEvent(drKeepAliveFailed);
    }
  }
}

} // namespace garvel
