// The garvel tool's SMPP client: TxcGarvelSMPP behind TProtocolClient.
#include "ProtocolClient.h"

#include "xcGarvelSMPP.h"

#include <cstdio>

namespace garvel::cli {
namespace {

struct TStatusName {
  uint32_t Status;
  const char* Name;
  const char* Meaning;
};

// The command_status values of SMPP 3.4.
constexpr TStatusName kStatusNames[] = {
    {0x00, "ESME_ROK", "no error"},
    {0x01, "ESME_RINVMSGLEN", "message length is invalid"},
    {0x02, "ESME_RINVCMDLEN", "command length is invalid"},
    {0x03, "ESME_RINVCMDID", "invalid command ID"},
    {0x04, "ESME_RINVBNDSTS", "incorrect bind status for given command"},
    {0x05, "ESME_RALYBND", "ESME already in bound state"},
    {0x06, "ESME_RINVPRTFLG", "invalid priority flag"},
    {0x07, "ESME_RINVREGDLVFLG", "invalid registered delivery flag"},
    {0x08, "ESME_RSYSERR", "system error"},
    {0x0A, "ESME_RINVSRCADR", "invalid source address"},
    {0x0B, "ESME_RINVDSTADR", "invalid destination address"},
    {0x0C, "ESME_RINVMSGID", "message ID is invalid"},
    {0x0D, "ESME_RBINDFAIL", "bind failed"},
    {0x0E, "ESME_RINVPASWD", "invalid password"},
    {0x0F, "ESME_RINVSYSID", "invalid system ID"},
    {0x11, "ESME_RCANCELFAIL", "cancel_sm failed"},
    {0x13, "ESME_RREPLACEFAIL", "replace_sm failed"},
    {0x14, "ESME_RMSGQFUL", "message queue full"},
    {0x15, "ESME_RINVSERTYP", "invalid service type"},
    {0x33, "ESME_RINVNUMDESTS", "invalid number of destinations"},
    {0x34, "ESME_RINVDLNAME", "invalid distribution list name"},
    {0x40, "ESME_RINVDESTFLAG", "destination flag is invalid"},
    {0x42, "ESME_RINVSUBREP", "invalid 'submit with replace' request"},
    {0x43, "ESME_RINVESMCLASS", "invalid esm_class field data"},
    {0x44, "ESME_RCNTSUBDL", "cannot submit to distribution list"},
    {0x45, "ESME_RSUBMITFAIL", "submit_sm or submit_multi failed"},
    {0x48, "ESME_RINVSRCTON", "invalid source address TON"},
    {0x49, "ESME_RINVSRCNPI", "invalid source address NPI"},
    {0x50, "ESME_RINVDSTTON", "invalid destination address TON"},
    {0x51, "ESME_RINVDSTNPI", "invalid destination address NPI"},
    {0x53, "ESME_RINVSYSTYP", "invalid system_type field"},
    {0x54, "ESME_RINVREPFLAG", "invalid replace_if_present flag"},
    {0x55, "ESME_RINVNUMMSGS", "invalid number of messages"},
    {0x58, "ESME_RTHROTTLED", "throttling error: the ESME exceeded its message limits"},
    {0x61, "ESME_RINVSCHED", "invalid scheduled delivery time"},
    {0x62, "ESME_RINVEXPIRY", "invalid message validity period"},
    {0x63, "ESME_RINVDFTMSGID", "predefined message invalid or not found"},
    {0x64, "ESME_RX_T_APPN", "ESME receiver temporary application error"},
    {0x65, "ESME_RX_P_APPN", "ESME receiver permanent application error"},
    {0x66, "ESME_RX_R_APPN", "ESME receiver reject message error"},
    {0x67, "ESME_RQUERYFAIL", "query_sm request failed"},
    {0xC0, "ESME_RINVOPTPARSTREAM", "error in the optional part of the PDU body"},
    {0xC1, "ESME_ROPTPARNOTALLWD", "optional parameter not allowed"},
    {0xC2, "ESME_RINVPARLEN", "invalid parameter length"},
    {0xC3, "ESME_RMISSINGOPTPARAM", "expected optional parameter missing"},
    {0xC4, "ESME_RINVOPTPARAMVAL", "invalid optional parameter value"},
    {0xFE, "ESME_RDELIVERYFAILURE", "delivery failure"},
    {0xFF, "ESME_RUNKNOWNERR", "unknown error"},
};

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

  int SubmitAsync(const TSubmitRequest& R, TSubmitTicket& Ticket) override {
    return FSmpp.SubmitMessageAsync(R.Destination, FDestTON, FDestNPI, Address(), FSourceTON,
                                    FSourceNPI, R.Text, R.Encoding, StrToHexStr(R.UserDataHeader),
                                    R.Options, 0, 0, Ticket);
  }

  TxcGarvel& Component() override { return FSmpp; }

  void Disconnect() override { FSmpp.Disconnect(); }

  std::string ErrorCodeText(int Code) const override {
    const auto status = static_cast<uint32_t>(Code);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", status);
    std::string s = std::string("command_status ") + hex;
    for (const TStatusName& n : kStatusNames)
      if (n.Status == status)
        return s + " " + n.Name + ": " + n.Meaning;
    if (status >= 0x400 && status <= 0x4FF)
      return s + ": an error of the SMSC's own";
    return s;
  }

  std::string WhyNothingArrives() const override {
    if (FBindMode == smpp::bmTransmitter)
      return "a transmitter bind (--bind tx) receives no messages or status reports;"
             " bind as trx or rx";
    return {};
  }

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
