// The garvel tool's SMPP client: TxcGarvelSMPP behind TProtocolClient.
#include "ProtocolClient.h"

#include "xcGarvelSMPP.h"

namespace garvel::cli {
namespace {

class TSmppClient : public TProtocolClient {
public:
  TSmppClient() : FSmpp(nullptr) {
    FSmpp.OnMessageReceived = [this](TObject*, const std::string& Destination, uint8_t, uint8_t,
                                     const std::string& Originator, uint8_t, uint8_t,
                                     const std::u16string& SMText, TxcEncodingType Encoding,
                                     const std::string& UserDataHeader) {
      if (OnMessage)
        OnMessage({Destination, Originator, SMText, Encoding, HexStrToStr(UserDataHeader), 0});
    };
    FSmpp.OnStatusReportReceived = [this](TObject*, const std::string& MessageID,
                                          const std::string& Destination, uint8_t, uint8_t,
                                          const std::string& Originator, uint8_t, uint8_t,
                                          uint8_t SMStatus, int FailureReason) {
      if (OnReport)
        OnReport({MessageID, 0, Destination, Originator, SMStatus, FailureReason, 0});
    };
    ForwardRelayEvents(FSmpp);
  }

  std::string Name() const override { return "smpp"; }

  std::vector<TOptionSpec> SessionOptions() const override {
    return {
        {"system-id", "ID", "system_id of the bind"},
        {"password", "PASSWORD", "password of the bind"},
        {"system-type", "TYPE", "system_type of the bind (default empty)"},
        {"bind", "MODE", "bind as trx (transceiver, default), tx (transmitter) or rx (receiver)"},
        {"addr-ton", "TON", "addr_ton of the bind (default 0)"},
        {"addr-npi", "NPI", "addr_npi of the bind (default 0)"},
        {"source", "ADDRESS", "source_addr of submitted messages (default: the system_id)"},
        {"source-ton", "TON", "source_addr_ton (default 0)"},
        {"source-npi", "NPI", "source_addr_npi (default 0)"},
        {"dest-ton", "TON", "dest_addr_ton (default 1, international)"},
        {"dest-npi", "NPI", "dest_addr_npi (default 1, ISDN)"},
    };
  }

  bool SetOption(const std::string& Name, const std::string& Value, std::string& Error) override {
    uint8_t* byte = Name == "addr-ton"     ? &FAddrTON
                    : Name == "addr-npi"   ? &FAddrNPI
                    : Name == "source-ton" ? &FSourceTON
                    : Name == "source-npi" ? &FSourceNPI
                    : Name == "dest-ton"   ? &FDestTON
                    : Name == "dest-npi"   ? &FDestNPI
                                           : nullptr;
    if (byte) {
      if (!ParseByte(Value, *byte))
        return Fail(Error, "--" + Name + " takes a number from 0 to 255, not '" + Value + "'");
    } else if (Name == "system-id") {
      FSystemID = Value;
    } else if (Name == "password") {
      FPassword = Value;
    } else if (Name == "system-type") {
      FSystemType = Value;
    } else if (Name == "source") {
      FSource = Value;
    } else if (Name == "bind") {
      if (Value == "trx")
        FBindMode = smpp::bmTransceiver;
      else if (Value == "tx")
        FBindMode = smpp::bmTransmitter;
      else if (Value == "rx")
        FBindMode = smpp::bmReceiver;
      else
        return Fail(Error, "--bind takes trx, tx or rx, not '" + Value + "'");
    } else {
      return Fail(Error, "unknown option --" + Name);
    }
    return true;
  }

  void SetAccount(const std::string& Account, const std::string& Password) override {
    FSystemID = Account;
    FPassword = Password;
  }

  std::string Address() const override { return FSource.empty() ? FSystemID : FSource; }

  void SetTimes(int ResponseTimeOutMs, int KeepAliveIntervalMs) override {
    FSmpp.SetResponseTimeOut(ResponseTimeOutMs);
    FSmpp.SetKeepAlive(KeepAliveIntervalMs > 0);
    if (KeepAliveIntervalMs > 0)
      FSmpp.SetKeepAliveInterval(KeepAliveIntervalMs);
  }

  int Connect(const std::string& Host, int Port) override { return FSmpp.Connect(Host, Port); }

  int InitializeSession() override {
    return FSmpp.InitializeSession(FSystemID, FPassword, FAddrTON, FAddrNPI, FSystemType,
                                   FBindMode);
  }

  int Submit(const TSubmitRequest& R, TSubmitResult& Result) override {
    // The component takes the header in hexadecimal, its length octet first.
    std::string id;
    int r =
        FSmpp.SubmitMessage(R.Destination, FDestTON, FDestNPI, Address(), FSourceTON, FSourceNPI,
                            R.Text, R.Encoding, StrToHexStr(R.UserDataHeader), R.Options, id);
    Result.MessageId = r == 0 ? id : std::string();
    Result.TimeStamp = 0;
    return r;
  }

  void Disconnect() override { FSmpp.Disconnect(); }

private:
  static bool Fail(std::string& Error, const std::string& Text) {
    Error = Text;
    return false;
  }

  smpp::TxcGarvelSMPP FSmpp;
  std::string FSystemID, FPassword, FSystemType, FSource;
  smpp::TxcBindModeSMPP FBindMode = smpp::bmTransceiver;
  uint8_t FAddrTON = 0, FAddrNPI = 0;
  uint8_t FSourceTON = 0, FSourceNPI = 0;
  uint8_t FDestTON = 1, FDestNPI = 1;
};

} // namespace

std::unique_ptr<TProtocolClient> NewSmppClient() {
  return std::make_unique<TSmppClient>();
}

} // namespace garvel::cli
