// The simulator's SMPP 3.4 personality: the SMSC side of SMPP.
#include "SmppPersonality.h"

#include "CodePage.h"
#include "SysUtils.h"
#include "xcGarvel.h"
#include "xuSMSCExtractSM.h"

#include <algorithm>
#include <cstdio>

namespace garvel::sim {
namespace smpp {
namespace {

constexpr size_t kHeader = 16;
constexpr size_t kMaxShortMessage = 254;
constexpr uint8_t kEsmReceipt = 0x04;
constexpr uint8_t kEsmIntermediate = 0x20;
constexpr uint8_t kEsmUDHI = 0x40;
constexpr uint16_t kTagReceiptedMessageId = 0x001E;
constexpr uint16_t kTagNetworkErrorCode = 0x0423;
constexpr uint16_t kTagMessageState = 0x0427;
constexpr uint16_t kTagSarMsgRefNum = 0x020C;
constexpr uint16_t kTagSarTotalSegments = 0x020E;
constexpr uint16_t kTagSarSegmentSeqnum = 0x020F;
constexpr uint32_t kGarbageCommand = 0x800001FF; // reserved: no PDU has it

std::string U32(uint32_t V) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i)
    s[static_cast<size_t>(i)] = static_cast<char>(V >> (24 - 8 * i));
  return s;
}

std::string U16(uint16_t V) {
  return std::string{static_cast<char>(V >> 8), static_cast<char>(V & 0xFF)};
}

std::string Octet(unsigned V) {
  return std::string(1, static_cast<char>(V & 0xFF));
}

std::string CStr(const std::string& S) {
  return S + std::string(1, '\0');
}

std::string Tlv(uint16_t Tag, const std::string& Value) {
  return U16(Tag) + U16(static_cast<uint16_t>(Value.size())) + Value;
}

uint32_t Read32(std::string_view B, size_t At) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i)
    v = v << 8 | static_cast<uint8_t>(B[At + i]);
  return v;
}

// Reads a PDU body field by field; Ok turns false at the first field that
// runs past the end.
struct TBodyReader {
  std::string_view B;
  size_t P = kHeader;
  bool Ok = true;

  uint8_t Octet() {
    if (P >= B.size()) {
      Ok = false;
      return 0;
    }
    return static_cast<uint8_t>(B[P++]);
  }
  std::string CString() {
    size_t zero = P < B.size() ? B.find('\0', P) : std::string_view::npos;
    if (zero == std::string_view::npos) {
      Ok = false;
      P = B.size();
      return {};
    }
    std::string s(B.substr(P, zero - P));
    P = zero + 1;
    return s;
  }
  std::string Octets(size_t N) {
    if (P + N > B.size()) {
      Ok = false;
      P = B.size();
      return {};
    }
    std::string s(B.substr(P, N));
    P += N;
    return s;
  }
};

bool HasZero(const std::string& S) {
  return S.find('\0') != std::string::npos;
}

// TON and NPI of an address the simulator makes up.
unsigned TonOf(const std::string& A) {
  return IsAlphaNumeric(A) ? 5 : 1;
}
unsigned NpiOf(const std::string& A) {
  return IsAlphaNumeric(A) ? 0 : 1;
}

std::string ReceiptDate(TDateTime T) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(T, y, mo, d);
  DecodeTime(T, h, mi, s, ms);
  return ZeroPad(y % 100, 2) + ZeroPad(mo, 2) + ZeroPad(d, 2) + ZeroPad(h, 2) + ZeroPad(mi, 2);
}

// Encoding and flash of a received data_coding.
void ReadDataCoding(uint8_t DCS, TxcEncodingType& Encoding, bool& Flash) {
  Flash = false;
  Encoding = et7BitText;
  if ((DCS & 0xF0) == 0x10 || (DCS & 0xF0) == 0x00) {
    // General data coding: bits 3-2 the alphabet, bit 4 a message class.
    switch ((DCS >> 2) & 3) {
    case 1:
      Encoding = et8BitHexadecimal;
      break;
    case 2:
      Encoding = etUCS2Text;
      break;
    default:
      break;
    }
    if (DCS == 0x02)
      Encoding = et8BitHexadecimal; // SMPP's "octet unspecified (8-bit binary)"
    Flash = (DCS & 0x10) != 0 && (DCS & 0x03) == 0;
  } else if ((DCS & 0xF0) == 0xF0) {
    Encoding = (DCS & 0x04) != 0 ? et8BitHexadecimal : et7BitText;
    Flash = (DCS & 0x03) == 0;
  }
}

class TSmppSession : public TProtocolSession {
public:
  explicit TSmppSession(std::shared_ptr<TSmppSettings> Settings) : FSettings(std::move(Settings)) {}

  std::vector<std::string> Handle(const std::string& Frame, TSessionLink& Link) override {
    uint32_t command = CommandId(Frame);
    uint32_t seq = SequenceNumber(Frame);
    const TSimConfig& cfg = Link.Config();
    switch (command) {
    case kBindReceiver:
    case kBindTransmitter:
    case kBindTransceiver:
      return {Bind(Frame, cfg, Link)};
    case kSubmitSm:
      return {Submit(Frame, cfg, Link)};
    case kEnquireLink:
      return {BuildPdu(kEnquireLink | kResponse, 0, seq)};
    case kUnbind:
      FBound = 0;
      Link.Log("unbound by the client");
      return {BuildPdu(kUnbind | kResponse, 0, seq)};
    default:
      if ((command & kResponse) != 0)
        return {}; // the client's answer to one of ours: recorded only
      return {BuildPdu(kGenericNack, kESME_RINVCMDID, seq)};
    }
  }

  TPushResult BuildDeliver(const TSimMessage& M, std::string& Frame) override {
    if (HasZero(M.Destination) || HasZero(M.Originator))
      return prCannotCarry;
    std::string text;
    unsigned dataCoding = 0x00;
    switch (M.Encoding) {
    case et7BitText:
      text = WideToAnsi(M.Text);
      break;
    case et8BitHexadecimal: {
      std::string hex = WideToAnsi(M.Text);
      if (hex.size() % 2 != 0 ||
          hex.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
        return prCannotCarry;
      text = HexStrToStr(hex);
      dataCoding = 0x04;
      break;
    }
    case etUCS2Text:
      text = BinToStr(WideStringToBin(M.Text));
      dataCoding = 0x08;
      break;
    }
    std::string userData = M.UserDataHeader + text;
    if (userData.size() > kMaxShortMessage)
      return prCannotCarry;
    unsigned esm = M.UserDataHeader.empty() ? 0x00 : kEsmUDHI;
    std::string sar;
    if (M.SarReference >= 0) {
      if (M.SarReference > 0xFFFF || M.SarTotal < 1 || M.SarTotal > 255 || M.SarSequence < 1 ||
          M.SarSequence > 255)
        return prCannotCarry;
      sar = Tlv(kTagSarMsgRefNum, U16(static_cast<uint16_t>(M.SarReference))) +
            Tlv(kTagSarTotalSegments, Octet(static_cast<unsigned>(M.SarTotal))) +
            Tlv(kTagSarSegmentSeqnum, Octet(static_cast<unsigned>(M.SarSequence)));
    }
    std::string body = CStr("") + Octet(TonOf(M.Originator)) + Octet(NpiOf(M.Originator)) +
                       CStr(M.Originator) + Octet(TonOf(M.Destination)) +
                       Octet(NpiOf(M.Destination)) + CStr(M.Destination) + Octet(esm) + Octet(0) +
                       Octet(0) + CStr("") + CStr("") + Octet(0) + Octet(0) + Octet(dataCoding) +
                       Octet(0) + Octet(static_cast<unsigned>(userData.size())) + userData + sar;
    Frame = BuildPdu(kDeliverSm, 0, NextSequence(), body);
    return prSent;
  }

  TPushResult BuildStatusReport(const TSimStatusReport& R, std::string& Frame) override {
    if (HasZero(R.Destination) || HasZero(R.Originator) || HasZero(R.MessageId) ||
        R.MessageId.size() > 64 || R.Reason < 0 || R.Reason > 0xFFFF)
      return prCannotCarry;
    const char* word;
    unsigned state;
    unsigned esm = kEsmReceipt;
    switch (R.Status) {
    case 0:
      word = "DELIVRD";
      state = 2;
      break;
    case 1:
      word = "ENROUTE";
      state = 1;
      esm = kEsmIntermediate;
      break;
    case 2:
      word = "UNDELIV";
      state = 5;
      break;
    default:
      return prCannotCarry;
    }
    TDateTime now = Now();
    TDateTime submitted = R.MessageTimeStamp != 0 ? R.MessageTimeStamp : now;
    TDateTime done = R.TimeStamp != 0 ? R.TimeStamp : now;
    std::string text = "id:" + R.MessageId + " sub:001 dlvrd:" + (R.Status == 0 ? "001" : "000") +
                       " submit date:" + ReceiptDate(submitted) +
                       " done date:" + ReceiptDate(done) + " stat:" + word +
                       " err:" + ZeroPad(R.Reason % 1000, 3) + " text:";
    std::string tlvs;
    if (FSettings->ReceiptTLVs.load()) {
      // network_error_code: type 3 (GSM), then the error code.
      tlvs = Tlv(kTagReceiptedMessageId, CStr(R.MessageId)) + Tlv(kTagMessageState, Octet(state)) +
             Tlv(kTagNetworkErrorCode, Octet(3) + U16(static_cast<uint16_t>(R.Reason)));
    }
    // The receipt goes from the handset (source) to the application.
    std::string body = CStr("") + Octet(TonOf(R.Destination)) + Octet(NpiOf(R.Destination)) +
                       CStr(R.Destination) + Octet(TonOf(R.Originator)) +
                       Octet(NpiOf(R.Originator)) + CStr(R.Originator) + Octet(esm) + Octet(0) +
                       Octet(0) + CStr("") + CStr("") + Octet(0) + Octet(0) + Octet(0) + Octet(0) +
                       Octet(static_cast<unsigned>(text.size())) + text + tlvs;
    Frame = BuildPdu(kDeliverSm, 0, NextSequence(), body);
    return prSent;
  }

  TPushResult BuildAlert(std::string& Frame) override {
    Frame = BuildPdu(kEnquireLink, 0, NextSequence());
    return prSent;
  }

private:
  uint32_t NextSequence() {
    uint32_t s = FNextSequence;
    FNextSequence = FNextSequence >= 0x7FFFFFFF ? 1 : FNextSequence + 1;
    return s;
  }

  static std::string Refusal(uint32_t Command, uint32_t Sequence, int Code) {
    if (Code < 0)
      return BuildPdu(kGenericNack, static_cast<uint32_t>(-static_cast<long long>(Code)), Sequence);
    return BuildPdu(Command | kResponse, static_cast<uint32_t>(Code), Sequence);
  }

  std::string Bind(const std::string& Frame, const TSimConfig& Cfg, TSessionLink& Link) {
    uint32_t command = CommandId(Frame);
    uint32_t seq = SequenceNumber(Frame);
    TBodyReader r{Frame};
    std::string systemId = r.CString();
    std::string password = r.CString();
    r.CString(); // system_type
    r.Octet();   // interface_version
    r.Octet();   // addr_ton
    r.Octet();   // addr_npi
    r.CString(); // address_range
    if (!r.Ok)
      return BuildPdu(kGenericNack, kESME_RINVCMDLEN, seq);
    if (FBound != 0)
      return BuildPdu(command | kResponse, kESME_RALYBND, seq);
    bool open = Cfg.Login.empty() && Cfg.Password.empty();
    if (!open && (systemId != Cfg.Login || password != Cfg.Password)) {
      Link.Log("bind of " + systemId + " refused");
      return Refusal(command, seq,
                     Cfg.LoginErrorCode != 0 ? Cfg.LoginErrorCode
                                             : static_cast<int>(kESME_RINVPASWD));
    }
    FBound = command;
    Link.Log(CommandName(command) + " of " + systemId + " accepted");
    return BuildPdu(command | kResponse, 0, seq, CStr("garvelsim"));
  }

  std::string Submit(const std::string& Frame, const TSimConfig& Cfg, TSessionLink& Link) {
    uint32_t seq = SequenceNumber(Frame);
    TBodyReader r{Frame};
    r.CString(); // service_type
    r.Octet();
    r.Octet();
    std::string source = r.CString();
    r.Octet();
    r.Octet();
    std::string destination = r.CString();
    uint8_t esm = r.Octet();
    r.Octet();   // protocol_id
    r.Octet();   // priority_flag
    r.CString(); // schedule_delivery_time
    r.CString(); // validity_period
    uint8_t registered = r.Octet();
    r.Octet(); // replace_if_present_flag
    uint8_t dcs = r.Octet();
    r.Octet(); // sm_default_msg_id
    size_t smLength = r.Octet();
    std::string userData = r.Octets(smLength);
    if (!r.Ok)
      return BuildPdu(kGenericNack, kESME_RINVCMDLEN, seq);
    if (FBound != kBindTransmitter && FBound != kBindTransceiver)
      return BuildPdu(kSubmitSm | kResponse, kESME_RINVBNDSTS, seq);
    if (Throttled(Link))
      return Refusal(kSubmitSm, seq, ThrottleCode(Cfg, static_cast<int>(kESME_RTHROTTLED)));
    if (Cfg.SubmitErrorCode != 0)
      return Refusal(kSubmitSm, seq, Cfg.SubmitErrorCode);

    TSubmitRecord rec;
    rec.Session = Link.SessionId();
    rec.Destination = destination;
    rec.Originator = source;
    rec.StatusReportRequested = (registered & 0x03) != 0;
    ReadDataCoding(dcs, rec.Encoding, rec.DirectDisplay);
    TByteDynArray header, text;
    BinSplit(StrToBin(userData), false, (esm & kEsmUDHI) != 0, static_cast<int>(smLength), header,
             text);
    rec.UserDataHeader = BinToStr(header);
    switch (rec.Encoding) {
    case et7BitText:
      rec.Text = AnsiToWide(BinToStr(text));
      break;
    case et8BitHexadecimal:
      rec.Text = AnsiToWide(BinToHexStr(text));
      break;
    case etUCS2Text:
      rec.Text = BinToWideString(text);
      break;
    }
    rec.TimeStamp = Now();
    rec.MessageId = NextMessageId(Link.SessionId());
    AcceptSubmit(rec, Link);
    return BuildPdu(kSubmitSm | kResponse, 0, seq, CStr(rec.MessageId));
  }

  // Unique in the server's life: the connection's number, then a count.
  std::string NextMessageId(int Session) {
    char b[32];
    std::snprintf(b, sizeof b, "%04X%08X", static_cast<unsigned>(Session) & 0xFFFFu, ++FSubmits);
    return b;
  }

  std::shared_ptr<TSmppSettings> FSettings;
  uint32_t FBound = 0; // the bind command_id in force, 0 unbound
  uint32_t FNextSequence = 1;
  unsigned FSubmits = 0;
};

} // namespace

std::string BuildPdu(uint32_t Command, uint32_t Status, uint32_t Sequence,
                     const std::string& Body) {
  return U32(static_cast<uint32_t>(kHeader + Body.size())) + U32(Command) + U32(Status) +
         U32(Sequence) + Body;
}

std::string CommandName(uint32_t Command) {
  switch (Command) {
  case kGenericNack:
    return "generic_nack";
  case kBindReceiver:
    return "bind_receiver";
  case kBindReceiver | kResponse:
    return "bind_receiver_resp";
  case kBindTransmitter:
    return "bind_transmitter";
  case kBindTransmitter | kResponse:
    return "bind_transmitter_resp";
  case 0x00000003:
    return "query_sm";
  case kSubmitSm:
    return "submit_sm";
  case kSubmitSm | kResponse:
    return "submit_sm_resp";
  case kDeliverSm:
    return "deliver_sm";
  case kDeliverSm | kResponse:
    return "deliver_sm_resp";
  case kUnbind:
    return "unbind";
  case kUnbind | kResponse:
    return "unbind_resp";
  case kBindTransceiver:
    return "bind_transceiver";
  case kBindTransceiver | kResponse:
    return "bind_transceiver_resp";
  case 0x0000000B:
    return "outbind";
  case kEnquireLink:
    return "enquire_link";
  case kEnquireLink | kResponse:
    return "enquire_link_resp";
  case 0x00000103:
    return "data_sm";
  default: {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", Command);
    return b;
  }
  }
}

uint32_t CommandLength(std::string_view Pdu) {
  return Read32(Pdu, 0);
}
uint32_t CommandId(std::string_view Pdu) {
  return Read32(Pdu, 4);
}
uint32_t CommandStatus(std::string_view Pdu) {
  return Read32(Pdu, 8);
}
uint32_t SequenceNumber(std::string_view Pdu) {
  return Read32(Pdu, 12);
}

} // namespace smpp

TSmppPersonality::TSmppPersonality(std::shared_ptr<TSmppSettings> Settings)
    : FSettings(Settings ? std::move(Settings) : std::make_shared<TSmppSettings>()) {}

TSmppPersonality::~TSmppPersonality() = default;

std::string TSmppPersonality::Name() const {
  return "smpp";
}

TFrameCut TSmppPersonality::Cut(std::string_view Bytes) const {
  if (Bytes.size() < 4)
    return {};
  uint32_t length = smpp::CommandLength(Bytes);
  if (length < smpp::kHeader || length > smpp::kMaxPdu)
    return {TFrameCut::fcBroken, 0};
  if (Bytes.size() < length)
    return {};
  return {TFrameCut::fcFrame, length};
}

std::string TSmppPersonality::Describe(const std::string& Frame, bool& Valid) const {
  Valid = Frame.size() >= smpp::kHeader && smpp::CommandLength(Frame) == Frame.size();
  if (Frame.size() < smpp::kHeader)
    return "?";
  return smpp::CommandName(smpp::CommandId(Frame));
}

std::string TSmppPersonality::Printable(const std::string& Frame) const {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string r;
  if (Frame.size() >= smpp::kHeader)
    r = smpp::CommandName(smpp::CommandId(Frame)) + " #" +
        std::to_string(smpp::SequenceNumber(Frame)) + ":";
  for (char c : Frame) {
    auto b = static_cast<uint8_t>(c);
    r += ' ';
    r += kDigits[b >> 4];
    r += kDigits[b & 15];
  }
  return r;
}

std::string TSmppPersonality::Garbage() const {
  return smpp::BuildPdu(smpp::kGarbageCommand, 0, 0, "junk");
}

std::unique_ptr<TProtocolSession> TSmppPersonality::NewSession() const {
  return std::make_unique<smpp::TSmppSession>(FSettings);
}

} // namespace garvel::sim
