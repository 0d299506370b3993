// A minimal protocol for exercising the relay: [type][length hi][length lo][body],
// where length counts the whole frame.
#pragma once

#include "xcGarvel.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <new>
#include <stdexcept>

#include <sys/socket.h>
#include <string>
#include <vector>

namespace garvel::test {

inline std::string Frame(char Type, const std::string& Body) {
  size_t n = Body.size() + 3;
  std::string f;
  f += Type;
  f += static_cast<char>((n >> 8) & 0xFF);
  f += static_cast<char>(n & 0xFF);
  return f + Body;
}

/// Size of the whole frame at the front of Bytes; 0 until all of it is there.
inline size_t FrameSize(const std::string& Bytes) {
  if (Bytes.size() < 3)
    return 0;
  size_t n = (static_cast<uint8_t>(Bytes[1]) << 8) | static_cast<uint8_t>(Bytes[2]);
  return Bytes.size() >= n ? n : 0;
}
/// True when Bytes holds at least one whole frame.
inline bool HasFrame(const std::string& Bytes) {
  return FrameSize(Bytes) > 0;
}

inline long long MsSince(std::chrono::steady_clock::time_point T) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - T)
      .count();
}

class TTestMessage : public TxcSMSCMessage {
public:
  static inline std::atomic<int> Live{0};
  TTestMessage() { ++Live; }
  ~TTestMessage() override { --Live; }

  std::unique_ptr<TxcSMSCMessage> NewInstance() const override {
    return std::make_unique<TTestMessage>();
  }
  int GetHeaderSize() const override { return 3; }
  int GetMessageSize() const override { return (FBuffer[1] << 8) | FBuffer[2]; }
  TReceiveMessageType GetMessageType() const override {
    switch (FBuffer.empty() ? 0 : FBuffer[0]) {
    case 'D':
      return mtDeliver;
    case 'S':
      return mtStatusReport;
    case 'R':
      return mtSubmitRsp;
    case 'L':
      return mtLoginRsp;
    case 'A':
      return mtAliveRsp;
    case 'Q':
      return mtRequestDeliveryRsp;
    case 'E':
      return mtGeneralError;
    case 'N':
      return mtNack;
    case 'K':
      return mtAlive;
    default:
      return mtUnknown;
    }
  }
  TControlAction GetControlAction() const override {
    if (!FBuffer.empty() && FBuffer[0] == 'X')
      throw std::bad_alloc(); // a receive side that runs out of memory
    return TxcSMSCMessage::GetControlAction();
  }
  std::string Body() const { return std::string(FBuffer.begin() + 3, FBuffer.end()); }

  // A body "#<n>:..." numbers the exchange: a request's key is n and the
  // type of its answer ('s' waits for 'R', 'a' for 'A', 'l' for 'L'); an
  // answer's key is n and its own type, a nack ('N') answering any
  // operation. Without "#" nothing is numbered.
  static bool NumberOf(const std::string& Body, int64_t& Id, size_t& Rest) {
    if (Body.size() < 3 || Body[0] != '#')
      return false;
    size_t colon = Body.find(':');
    if (colon == std::string::npos)
      return false;
    Id = StrToIntDef(Body.substr(1, colon - 1), -1);
    Rest = colon + 1;
    return Id >= 0;
  }
  bool GetRequestKey(TMessageKey& Key) const override {
    int64_t id;
    size_t rest;
    if (FBuffer.empty() || !NumberOf(Body(), id, rest))
      return false;
    char answer = FBuffer[0] == 's' ? 'R' : FBuffer[0] == 'a' ? 'A' : 'L';
    Key = TMessageKey{id, answer, false};
    return true;
  }
  bool GetResponseKey(TMessageKey& Key) const override {
    int64_t id;
    size_t rest;
    if (FBuffer.empty() || !NumberOf(Body(), id, rest))
      return false;
    Key = TMessageKey{id, FBuffer[0], FBuffer[0] == 'N' || FBuffer[0] == 'E'};
    return true;
  }
  void Put(char Type, const std::string& B) {
    FBuffer.clear();
    AddString(Frame(Type, B));
  }
  void DecodeResult() {
    std::string b = Body();
    int64_t id;
    size_t rest;
    if (NumberOf(b, id, rest))
      b = b.substr(rest);
    if (b == "throw")
      throw EConvertError("undecodable result");
    FResultCode = StrToIntDef(b, -99);
  }
  void EncodeLoginMsg() override { Put('l', "login"); }
  void EncodeSubmitMsg() override { Put('s', Payload); }
  void EncodeAliveMsg() override { Put('a', ""); }
  void EncodeResponseMsg(TxcSMSCMessage& M) override {
    Put('r', static_cast<TTestMessage&>(M).Body());
  }
  void DecodeSubmitRspMsg() override { DecodeResult(); }
  /// 88 stands for "throttled".
  bool IsThrottled() const override { return FResultCode == 88; }
  /// The answer's number as its message id.
  void GetSubmitResult(TxcPartResult& Part) const override {
    Part.Result = FResultCode;
    int64_t id;
    size_t rest;
    if (NumberOf(Body(), id, rest))
      Part.MessageID = "id" + std::to_string(id);
  }
  void DecodeLoginRspMsg() override { DecodeResult(); }
  void DecodeAliveRspMsg() override { DecodeResult(); }

  std::string Payload;
};

/// A relay speaking the test protocol; InitializeSession logs in.
class TTestRelay : public TxcGarvel {
public:
  explicit TTestRelay(TComponent* Owner = nullptr)
      : TxcGarvel(Owner, &MessageClass<TTestMessage>, "test") {}
  ~TTestRelay() override { StopThreads(); }

  int InitializeSession() override {
    int r = InternalInitializeSession();
    if (r != 0)
      return r;
    r = Login();
    if (r == 0)
      FState.store(rsLoggedIn);
    return r;
  }
  int Submit(const std::string& Body) {
    TOutputLock lock(*this);
    if (!lock)
      return rcTimeOut;
    static_cast<TTestMessage&>(*FOutputMessage).Payload = Body;
    FOutputMessage->EncodeSubmitMsg();
    return InternalSubmitMessage();
  }
  /// A blocking submit that takes its place in the window first.
  int SubmitInWindow(const std::string& Body) {
    TSubmitSlot slot(*this);
    if (!slot)
      return slot.Result();
    return Submit(Body);
  }
  /// Submits Bodies as the parts of one message without waiting; a body
  /// "!" cannot be carried.
  int SubmitAsync(const std::vector<std::string>& Bodies, TSubmitTicket& Ticket) {
    return SubmitParts(
        static_cast<int>(Bodies.size()),
        [&](int Part) {
          const std::string& b = Bodies[static_cast<size_t>(Part)];
          if (b == "!")
            return static_cast<int>(rcCannotCarry);
          static_cast<TTestMessage&>(*FOutputMessage).Payload = b;
          FOutputMessage->EncodeSubmitMsg();
          return static_cast<int>(rcOk);
        },
        Ticket);
  }
  using TxcGarvel::NeedHousekeeping;
  /// With KeyedAlive, keep-alives are numbered "#<n>:" from AliveNumber.
  int Alive() override {
    TOutputLock lock(*this);
    if (!lock)
      return rcTimeOut;
    auto& m = static_cast<TTestMessage&>(*FOutputMessage);
    m.Put('a', KeyedAlive ? "#" + std::to_string(AliveNumber++) + ":" : "");
    ++AlivesSent;
    return InternalAlive();
  }
  /// Shrinks the connection's send buffer, so that a peer that stops
  /// reading backs the relay up quickly.
  void SetSendBuffer(int Bytes) {
    if (FClient->Handle() >= 0)
      setsockopt(FClient->Handle(), SOL_SOCKET, SO_SNDBUF, &Bytes, sizeof Bytes);
  }
  /// Starts the threads without the login exchange.
  int InternalInitializeSessionForTest() { return InternalInitializeSession(); }

  bool MessageReceived(TxcSMSCMessage& M) override {
    ++Delivered;
    LastBody = static_cast<TTestMessage&>(M).Body();
    if (ThrowInHandler)
      throw std::runtime_error("handler failed");
    bool answer = Answer;
    if (OnDelivered) {
      auto hook = OnDelivered; // may destroy this object
      hook();
    }
    return answer;
  }
  bool StatusReportReceived(TxcSMSCMessage& M) override {
    ++Reports;
    LastBody = static_cast<TTestMessage&>(M).Body();
    return Answer;
  }

  std::function<void()> OnDelivered;
  std::atomic<bool> KeyedAlive{false};
  std::atomic<int> AliveNumber{1000};
  std::atomic<int> AlivesSent{0};
  int Delivered = 0;
  int Reports = 0;
  bool Answer = true;
  bool ThrowInHandler = false;
  std::string LastBody;
};

} // namespace garvel::test
