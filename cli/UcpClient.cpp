// The garvel tool's UCP client: TxcGarvelUCP behind TProtocolClient.
#include "ProtocolClient.h"

#include "xcGarvelUCP.h"

#include <cerrno>
#include <cstring>

namespace garvel::cli {
namespace {

// The error codes (EC) of UCP negative results.
const char* ErrorMeaning(int EC) {
  switch (EC) {
  case 1:
    return "checksum error";
  case 2:
    return "syntax error";
  case 3:
    return "operation not supported by system";
  case 4:
    return "operation not allowed";
  case 5:
    return "call barring active";
  case 6:
    return "AdC invalid";
  case 7:
    return "authentication failure";
  case 8:
    return "legitimisation code for all calls, failure";
  case 9:
    return "GA not valid";
  case 10:
    return "repetition not allowed";
  case 11:
    return "legitimisation code for repetition, failure";
  case 12:
    return "priority call not allowed";
  case 13:
    return "legitimisation code for priority call, failure";
  case 14:
    return "urgent message not allowed";
  case 15:
    return "legitimisation code for urgent message, failure";
  case 16:
    return "reverse charging not allowed";
  case 17:
    return "legitimisation code for reverse charging, failure";
  case 18:
    return "deferred delivery not allowed";
  case 19:
    return "new AC not valid";
  case 20:
    return "new legitimisation code not valid";
  case 21:
    return "standard text not valid";
  case 22:
    return "time period not valid";
  case 23:
    return "message type not supported by system";
  case 24:
    return "message too long";
  case 25:
    return "requested standard text not valid";
  case 26:
    return "message type not valid for the pager type";
  case 27:
    return "message not found in SMSC";
  case 30:
    return "subscriber hang-up";
  case 31:
    return "fax group not supported";
  case 32:
    return "fax message type not supported";
  case 33:
    return "address already in list";
  case 34:
    return "address not in list";
  case 35:
    return "list full, cannot add address to list";
  case 36:
    return "RPID already in use";
  case 37:
    return "delivery in progress";
  case 38:
    return "message forwarded";
  default:
    return nullptr;
  }
}

class TUcpClient : public TProtocolClient {
public:
  TUcpClient() : FUcp(nullptr) {
    FUcp.OnMessageReceived = [this](TObject*, const std::string& Destination,
                                    const std::string& Originator, const std::u16string& SMText,
                                    TxcEncodingType Encoding, const std::string& UserDataHeader,
                                    TDateTime TimeStamp) {
      if (OnMessage)
        OnMessage({Destination, Originator, SMText, Encoding, UserDataHeader, TimeStamp});
    };
    FUcp.OnStatusReportReceived = [this](TObject*, TDateTime MessageTimeStamp,
                                         const std::string& Destination,
                                         const std::string& Originator, uint8_t SMStatus,
                                         int FailureReason, TDateTime TimeStamp) {
      if (OnReport)
        OnReport(
            {"", MessageTimeStamp, Destination, Originator, SMStatus, FailureReason, TimeStamp});
    };
    ForwardRelayEvents(FUcp);
  }

  std::string Name() const override { return "ucp"; }

  std::vector<TOptionSpec> SessionOptions() const override {
    return {
        {"oadc", "ADDRESS", "OAdC: the application's address; logs in with it and sends from it"},
        {"oton", "TON", "OTON: type of number of the OAdC (default 6, abbreviated)"},
        {"onpi", "NPI", "ONPI: numbering plan of the OAdC (default 5, private)"},
        {"pwd", "PASSWORD", "PWD: the password of the OT 60 login"},
        {"no-login", "", "open no session with OT 60; submit at once"},
        {"keep-alive-op", "OP",
         "keep-alive operation: alert (OT 31, default) or call-input (OT 01)"},
    };
  }

  bool SetOption(const std::string& Name, const std::string& Value, std::string& Error) override {
    if (Name == "oadc") {
      FOAdC = Value;
    } else if (Name == "oton") {
      if (!ParseByte(Value, FOTON))
        return Fail(Error, "--oton takes a number from 0 to 255, not '" + Value + "'");
    } else if (Name == "onpi") {
      if (!ParseByte(Value, FONPI))
        return Fail(Error, "--onpi takes a number from 0 to 255, not '" + Value + "'");
    } else if (Name == "pwd") {
      FPWD = Value;
    } else if (Name == "no-login") {
      FLogin = false;
    } else if (Name == "keep-alive-op") {
      if (Value == "alert")
        FUcp.SetKeepAliveOperation(ucp::uoSMTAlert);
      else if (Value == "call-input")
        FUcp.SetKeepAliveOperation(ucp::uoFantomCallInput);
      else
        return Fail(Error, "--keep-alive-op takes alert or call-input, not '" + Value + "'");
    } else {
      return Fail(Error, "unknown option --" + Name);
    }
    return true;
  }

  void SetAccount(const std::string& Account, const std::string& Password) override {
    FOAdC = Account;
    FPWD = Password;
  }

  std::string Address() const override { return FOAdC; }

  void SetTimes(int ResponseTimeOutMs, int KeepAliveIntervalMs) override {
    FUcp.SetResponseTimeOut(ResponseTimeOutMs);
    FUcp.SetKeepAlive(KeepAliveIntervalMs > 0);
    if (KeepAliveIntervalMs > 0)
      FUcp.SetKeepAliveInterval(KeepAliveIntervalMs);
  }

  int Connect(const std::string& Host, int Port) override { return FUcp.Connect(Host, Port); }

  int InitializeSession() override {
    return FUcp.InitializeSession(FOAdC, FOTON, FONPI, FPWD, FLogin);
  }

  int Submit(const TSubmitRequest& R, TSubmitResult& Result) override {
    std::string udh;
    if (!XSerHeader(R, udh))
      return rcCannotCarry;
    TDateTime ts = 0;
    int r = FUcp.SubmitMessage(R.Destination, FOAdC, R.Text, R.Encoding, udh, R.Options, ts);
    Result.MessageId.clear();
    Result.TimeStamp = r == 0 ? ts : 0;
    return r;
  }

  int SubmitAsync(const TSubmitRequest& R, TSubmitTicket& Ticket) override {
    Ticket = 0;
    std::string udh;
    if (!XSerHeader(R, udh))
      return rcCannotCarry;
    return FUcp.SubmitMessageAsync(R.Destination, FOAdC, R.Text, R.Encoding, udh, R.Options,
                                   Ticket);
  }

  TxcGarvel& Component() override { return FUcp; }

  void Disconnect() override { FUcp.Disconnect(); }

  std::string ErrorCodeText(int Code) const override {
    std::string ec = "EC " + ZeroPad(Code, 2);
    const char* meaning = ErrorMeaning(Code);
    return meaning ? ec + ": " + meaning : ec;
  }

private:
  static bool Fail(std::string& Error, const std::string& Text) {
    Error = Text;
    return false;
  }

  // The component takes the header as XSer service data: its length first,
  // then the octets, in hexadecimal. False when it is too long for that.
  static bool XSerHeader(const TSubmitRequest& R, std::string& Udh) {
    Udh.clear();
    if (R.UserDataHeader.empty())
      return true;
    if (R.UserDataHeader.size() > 255)
      return false;
    Udh = StrToHexStr(std::string(1, static_cast<char>(R.UserDataHeader.size()))) +
          StrToHexStr(R.UserDataHeader);
    return true;
  }

  ucp::TxcGarvelUCP FUcp;
  std::string FOAdC;
  uint8_t FOTON = 6;
  uint8_t FONPI = 5;
  std::string FPWD;
  bool FLogin = true;
};

} // namespace

std::unique_ptr<TProtocolClient> NewUcpClient() {
  return std::make_unique<TUcpClient>();
}

} // namespace garvel::cli
