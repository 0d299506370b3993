// The garvel tool's SEMA client: TxcGarvelSEMA behind TProtocolClient.
#include "ProtocolClient.h"

#include "xcGarvelSEMA.h"

namespace garvel::cli {
namespace {

class TSemaClient : public TProtocolClient {
public:
  TSemaClient() : FSema(nullptr) {
    FSema.OnMessageReceived = [this](TObject*, const std::string& Destination, uint8_t, uint8_t,
                                     const std::string& Originator, uint8_t, uint8_t,
                                     const std::u16string& SMText, TxcEncodingType Encoding,
                                     const std::string& UserDataHeader, TDateTime TimeStamp) {
      if (OnMessage)
        OnMessage(
            {Destination, Originator, SMText, Encoding, HexStrToStr(UserDataHeader), TimeStamp});
    };
    FSema.OnStatusReportReceived =
        [this](TObject*, const std::string& MessageID, TDateTime MessageTimeStamp,
               const std::string& Destination, const std::string& Originator, uint8_t, uint8_t,
               uint8_t SMStatus, int FailureReason, TDateTime TimeStamp) {
          if (OnReport)
            OnReport({MessageID, MessageTimeStamp, Destination, Originator, SMStatus, FailureReason,
                      TimeStamp});
        };
    ForwardRelayEvents(FSema);
  }

  std::string Name() const override { return "sema"; }

  std::vector<TOptionSpec> SessionOptions() const override {
    return {
        {"address", "ADDRESS",
         "the application's own address: polled for delivery, and the originator of submits"},
        {"ton", "TON", "type of number of the address, 0 to 7 (default 1, international)"},
        {"npi", "NPI", "numbering plan of the address, 0 to 15 (default 1, ISDN)"},
        {"user", "NAME", "user name of a login before the first poll (default: no login)"},
        {"password", "PASSWORD", "password of that login"},
    };
  }

  bool SetOption(const std::string& Name, const std::string& Value, std::string& Error) override {
    if (Name == "address") {
      FAddress = Value;
    } else if (Name == "ton") {
      if (!ParseByte(Value, FTON) || FTON > 7)
        return Fail(Error, "--ton takes a number from 0 to 7, not '" + Value + "'");
    } else if (Name == "npi") {
      if (!ParseByte(Value, FNPI) || FNPI > 15)
        return Fail(Error, "--npi takes a number from 0 to 15, not '" + Value + "'");
    } else if (Name == "user") {
      FUser = Value;
    } else if (Name == "password") {
      FPassword = Value;
    } else {
      return Fail(Error, "unknown option --" + Name);
    }
    return true;
  }

  void SetAccount(const std::string& Account, const std::string& Password) override {
    FAddress = Account;
    FUser = Account;
    FPassword = Password;
  }

  std::string Address() const override { return FAddress; }

  void SetTimes(int ResponseTimeOutMs, int KeepAliveIntervalMs) override {
    FSema.SetResponseTimeOut(ResponseTimeOutMs);
    FSema.SetKeepAlive(KeepAliveIntervalMs > 0);
    if (KeepAliveIntervalMs > 0)
      FSema.SetKeepAliveInterval(KeepAliveIntervalMs);
  }

  int Connect(const std::string& Host, int Port) override { return FSema.Connect(Host, Port); }

  // The poll opens the session. With a login, the login follows the first
  // poll (which starts the session and may be refused until the login), and
  // a refused poll is repeated after it.
  int InitializeSession() override {
    int r = FSema.InitializeSession(FAddress, FTON, FNPI);
    if (FUser.empty() && FPassword.empty())
      return r;
    if (FSema.State() != rsInitialized && FSema.State() != rsLoggedIn)
      return r;
    if (int l = FSema.Login(FUser, FPassword); l != 0)
      return l;
    return r == 0 ? r : FSema.InitializeSession(FAddress, FTON, FNPI);
  }

  int Submit(const TSubmitRequest& R, TSubmitResult& Result) override {
    // The component takes the header in hexadecimal, its length octet first.
    std::string id;
    TDateTime ts = 0;
    int r = FSema.SubmitMessage(R.Destination, FAddress, FTON, FNPI, R.Text, R.Encoding,
                                StrToHexStr(R.UserDataHeader), R.Options, id, ts);
    Result.MessageId = r == 0 ? id : std::string();
    Result.TimeStamp = r == 0 ? ts : 0;
    return r;
  }

  int SubmitAsync(const TSubmitRequest& R, TSubmitTicket& Ticket) override {
    return FSema.SubmitMessageAsync(R.Destination, FAddress, FTON, FNPI, R.Text, R.Encoding,
                                    StrToHexStr(R.UserDataHeader), R.Options, Ticket);
  }

  TxcGarvel& Component() override { return FSema; }

  void Disconnect() override { FSema.Disconnect(); }

  std::string ErrorCodeText(int Code) const override { return "result " + std::to_string(Code); }

private:
  static bool Fail(std::string& Error, const std::string& Text) {
    Error = Text;
    return false;
  }

  sema::TxcGarvelSEMA FSema;
  std::string FAddress, FUser, FPassword;
  uint8_t FTON = 1, FNPI = 1;
};

} // namespace

std::unique_ptr<TProtocolClient> NewSemaClient() {
  return std::make_unique<TSemaClient>();
}

} // namespace garvel::cli
