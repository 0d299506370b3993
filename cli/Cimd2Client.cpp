// The garvel tool's CIMD2 client: TxcGarvelCIMD2 behind TProtocolClient.
#include "ProtocolClient.h"

#include "xcGarvelCIMD2.h"

namespace garvel::cli {
namespace {

struct TErrorName {
  int Code;
  const char* Meaning;
};

// The error codes (parameter 900) of CIMD2 responses.
constexpr TErrorName kErrors[] = {
    {1, "unexpected operation"},
    {2, "syntax error"},
    {3, "unsupported parameter error"},
    {4, "connection to message center lost"},
    {5, "no response from message center"},
    {6, "general system error"},
    {7, "cannot find information"},
    {8, "parameter formatting error"},
    {9, "requested operation failed"},
    {10, "temporary congestion error"},
    {100, "invalid login"},
    {101, "incorrect access type"},
    {102, "too many users with this login id"},
    {103, "login refused by message center"},
    {104, "invalid window size"},
    {105, "windowing disabled"},
    {106, "virtual SMS center-based barring"},
    {107, "invalid subaddress"},
    {108, "alias account, login refused"},
    {300, "incorrect destination address"},
    {301, "incorrect number of destination addresses"},
    {302, "syntax error in user data parameter"},
    {303, "incorrect bin/head/normal user data parameter combination"},
    {304, "incorrect data coding scheme parameter usage"},
    {305, "incorrect validity period parameters usage"},
    {306, "incorrect originator address usage"},
    {307, "incorrect PID parameter usage"},
    {308, "incorrect first delivery parameter usage"},
    {309, "incorrect reply path usage"},
    {310, "incorrect status report request parameter usage"},
    {311, "incorrect cancel enabled parameter usage"},
    {312, "incorrect priority parameter usage"},
    {313, "incorrect tariff class parameter usage"},
    {314, "incorrect service description parameter usage"},
    {315, "incorrect transport type parameter usage"},
    {316, "incorrect message type parameter usage"},
    {318, "incorrect MMS parameter usage"},
    {319, "incorrect operation timer parameter usage"},
    {320, "incorrect dialogue ID parameter usage"},
    {321, "incorrect alpha originator address usage"},
    {322, "invalid data for alpha numeric originator"},
    {400, "incorrect address parameter usage"},
    {401, "incorrect scts parameter usage"},
    {500, "incorrect scts parameter usage"},
    {501, "incorrect mode parameter usage"},
    {502, "incorrect parameter combination"},
    {600, "incorrect scts parameter usage"},
    {601, "incorrect address parameter usage"},
    {602, "incorrect mode parameter usage"},
    {603, "incorrect parameter combination"},
    {800, "changing password failed"},
    {801, "changing password not allowed"},
    {900, "unsupported item requested"},
};

class TCimd2Client : public TProtocolClient {
public:
  TCimd2Client() : FCimd2(nullptr) {
    FCimd2.OnMessageReceived = [this](TObject*, const std::string& Destination,
                                      const std::string& Originator, const std::u16string& SMText,
                                      TxcEncodingType Encoding, const std::string& UserDataHeader,
                                      TDateTime TimeStamp) {
      if (OnMessage)
        OnMessage(
            {Destination, Originator, SMText, Encoding, HexStrToStr(UserDataHeader), TimeStamp});
    };
    FCimd2.OnStatusReportReceived = [this](TObject*, TDateTime MessageTimeStamp,
                                           const std::string& Destination, uint8_t SMStatus,
                                           int FailureReason, TDateTime TimeStamp) {
      if (OnReport)
        OnReport({"", MessageTimeStamp, Destination, "", SMStatus, FailureReason, TimeStamp});
    };
    ForwardRelayEvents(FCimd2);
  }

  std::string Name() const override { return "cimd2"; }

  std::vector<TOptionSpec> SessionOptions() const override {
    return {
        {"user", "ID", "user identity (010) of the login"},
        {"password", "PASSWORD", "password (011) of the login"},
        {"originator", "ADDRESS",
         "originating address (023, or 027 when alphanumeric) of submits (default: none)"},
        {"raw-text", "", "send and read text (033) as raw octets, not in special combinations"},
    };
  }

  bool SetOption(const std::string& Name, const std::string& Value, std::string& Error) override {
    if (Name == "user") {
      FUser = Value;
    } else if (Name == "password") {
      FPassword = Value;
    } else if (Name == "originator") {
      FOriginator = Value;
    } else if (Name == "raw-text") {
      FCimd2.SetSpecialCombinations(false);
    } else {
      Error = "unknown option --" + Name;
      return false;
    }
    return true;
  }

  void SetAccount(const std::string& Account, const std::string& Password) override {
    FUser = Account;
    FPassword = Password;
    FOriginator = Account;
  }

  std::string Address() const override { return FOriginator; }

  void SetTimes(int ResponseTimeOutMs, int KeepAliveIntervalMs) override {
    FCimd2.SetResponseTimeOut(ResponseTimeOutMs);
    FCimd2.SetKeepAlive(KeepAliveIntervalMs > 0);
    if (KeepAliveIntervalMs > 0)
      FCimd2.SetKeepAliveInterval(KeepAliveIntervalMs);
  }

  int Connect(const std::string& Host, int Port) override { return FCimd2.Connect(Host, Port); }

  int InitializeSession() override { return FCimd2.InitializeSession(FUser, FPassword); }

  int Submit(const TSubmitRequest& R, TSubmitResult& Result) override {
    // The component takes the header in hexadecimal, its length octet first.
    TDateTime ts = 0;
    int r = FCimd2.SubmitMessage(R.Destination, FOriginator, R.Text, R.Encoding,
                                 StrToHexStr(R.UserDataHeader), R.Options, ts);
    Result.MessageId.clear();
    Result.TimeStamp = r == 0 ? ts : 0;
    return r;
  }

  int SubmitAsync(const TSubmitRequest& R, TSubmitTicket& Ticket) override {
    return FCimd2.SubmitMessageAsync(R.Destination, FOriginator, R.Text, R.Encoding,
                                     StrToHexStr(R.UserDataHeader), R.Options, Ticket);
  }

  TxcGarvel& Component() override { return FCimd2; }

  void Disconnect() override { FCimd2.Disconnect(); }

  std::string ErrorCodeText(int Code) const override {
    std::string s = "error code " + std::to_string(Code);
    for (const TErrorName& e : kErrors)
      if (e.Code == Code)
        return s + ": " + e.Meaning;
    return s;
  }

private:
  cimd2::TxcGarvelCIMD2 FCimd2;
  std::string FUser, FPassword, FOriginator;
};

} // namespace

std::unique_ptr<TProtocolClient> NewCimd2Client() {
  return std::make_unique<TCimd2Client>();
}

} // namespace garvel::cli
