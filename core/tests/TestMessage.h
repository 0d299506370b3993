// A minimal protocol for exercising the relay: [type][length hi][length lo][body],
// where length counts the whole frame.
#pragma once

#include "xcGarvel.h"

#include <atomic>
#include <string>

namespace garvel::test {

inline std::string Frame(char Type, const std::string& Body) {
  size_t n = Body.size() + 3;
  std::string f;
  f += Type;
  f += static_cast<char>((n >> 8) & 0xFF);
  f += static_cast<char>(n & 0xFF);
  return f + Body;
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
  std::string Body() const { return std::string(FBuffer.begin() + 3, FBuffer.end()); }
  void Put(char Type, const std::string& B) {
    FBuffer.clear();
    AddString(Frame(Type, B));
  }
  void DecodeResult() {
    std::string b = Body();
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
  /// Starts the threads without the login exchange.
  int InternalInitializeSessionForTest() { return InternalInitializeSession(); }

  bool MessageReceived(TxcSMSCMessage& M) override {
    ++Delivered;
    LastBody = static_cast<TTestMessage&>(M).Body();
    if (ThrowInHandler)
      throw std::runtime_error("handler failed");
    return Answer;
  }
  bool StatusReportReceived(TxcSMSCMessage& M) override {
    ++Reports;
    LastBody = static_cast<TTestMessage&>(M).Body();
    return Answer;
  }

  int Delivered = 0;
  int Reports = 0;
  bool Answer = true;
  bool ThrowInHandler = false;
  std::string LastBody;
};

} // namespace garvel::test
