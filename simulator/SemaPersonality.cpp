// The simulator's SEMA personality: the SMSC side of SEMA.
#include "SemaPersonality.h"

#include "CodePage.h"
#include "SysUtils.h"
#include "TimeStamps.h"
#include "xcGarvel.h"
#include "xuSMSCExtractSM.h"

#include <string>

namespace garvel::sim {
namespace sema {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr uint8_t kHeaderIndicator = 0x02;
constexpr uint8_t kGarbageClass = 0x7E; // no message has it

std::string U32(uint32_t V) {
  std::string s(4, '\0');
  for (size_t i = 0; i < 4; ++i)
    s[i] = static_cast<char>(V >> (8 * i));
  return s;
}

std::string Octet(unsigned V) {
  return std::string(1, static_cast<char>(V & 0xFF));
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9')
    return C - '0';
  if (C >= 'A' && C <= 'F')
    return C - 'A' + 10;
  if (C >= 'a' && C <= 'f')
    return C - 'a' + 10;
  return -1;
}

// Reads a body field by field; Ok turns false at the first field that runs
// past the end, or at an address that does not keep the rules.
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
  // An address with numbering information.
  std::string Address(uint8_t& TON, uint8_t& NPI) {
    size_t len = Octet();
    std::string s = Octets(len);
    int ton = s.size() >= 2 ? HexDigit(s[0]) : -1;
    int npi = s.size() >= 2 ? HexDigit(s[1]) : -1;
    if (!Ok || ton < 8 || npi < 0) {
      Ok = false;
      return {};
    }
    TON = static_cast<uint8_t>(ton - 8);
    NPI = static_cast<uint8_t>(npi);
    return s.substr(2);
  }
};

// TON and NPI of an address the simulator makes up.
uint8_t TonOf(const std::string& A) {
  return IsAlphaNumeric(A) ? 5 : 1;
}
uint8_t NpiOf(const std::string& A) {
  return IsAlphaNumeric(A) ? 0 : 1;
}

class TSemaSession : public TProtocolSession {
public:
  explicit TSemaSession(const TSemaPersonality& Owner) : FOwner(Owner) {}

  std::vector<std::string> Handle(const std::string& Frame, TSessionLink& Link) override {
    const uint8_t cls = ClassOf(Frame), op = OperationOf(Frame);
    if (cls == 1) // an acknowledgement of ours: recorded, nothing to answer
      return {};
    if (cls != 0) {
      Link.Log("message of class " + std::to_string(cls) + "; not answered");
      return {};
    }
    const TSimConfig& cfg = Link.Config();
    switch (op) {
    case opLogin:
      return {Login(Frame, cfg, Link)};
    case opRequestDelivery:
      return {RequestDelivery(Frame, cfg, Link)};
    case opSubmit:
      return {Submit(Frame, cfg, Link)};
    default:
      return {Result(Frame, rsUnsupported)};
    }
  }

  TPushResult BuildDeliver(const TSimMessage& M, std::string& Frame) override {
    if (M.Destination.size() + 2 > 255 || M.Originator.size() + 2 > 255)
      return prCannotCarry;
    TByteDynArray header = StrToBin(M.UserDataHeader);
    TByteDynArray userData;
    int length = 0;
    unsigned dcs = 0x00;
    switch (M.Encoding) {
    case et7BitText: {
      std::string ansi = WideToAnsi(M.Text), gsm;
      if (AnsiToWide(ansi) != M.Text || !WideToOctetText(M.Text, true, gsm))
        return prCannotCarry;
      userData = BinCompose(header, StrToBin(ansi), true, length);
      break;
    }
    case et8BitHexadecimal: {
      std::string hex = WideToAnsi(M.Text);
      if (AnsiToWide(hex) != M.Text || !IsHexStr(hex))
        return prCannotCarry;
      userData = BinCompose(header, HexStrToBin(hex), false, length);
      dcs = 0x04;
      break;
    }
    case etUCS2Text:
      userData = BinCompose(header, WideStringToBin(M.Text), false, length);
      dcs = 0x08;
      break;
    }
    if (userData.size() > 255 || length > 255)
      return prCannotCarry;
    std::string body = AddressFor(M.Destination) + std::string(4, '\0') + AddressFor(M.Originator) +
                       Octet(dcs) + Octet(0) + Octet(header.empty() ? 0 : kHeaderIndicator) +
                       Octet(static_cast<unsigned>(length)) +
                       Octet(static_cast<unsigned>(userData.size())) + BinToStr(userData) +
                       FormatTimeText(M.TimeStamp != 0 ? M.TimeStamp : Now());
    Frame = BuildMessage(NextReference(), 0, opDeliver, body);
    return prSent;
  }

  TPushResult BuildStatusReport(const TSimStatusReport& R, std::string& Frame) override {
    unsigned status;
    switch (R.Status) {
    case 0:
      status = 0; // delivered
      break;
    case 1:
      status = 2; // buffered
      break;
    case 2:
      status = 1; // failed, with a reason
      break;
    default:
      return prCannotCarry;
    }
    const std::string& id = R.MessageId;
    if (id.empty() || id.size() > 10 || id.find_first_not_of("0123456789") != std::string::npos ||
        std::stoull(id) > 0xFFFFFFFFull)
      return prCannotCarry; // the reference of a submit, in decimal
    if (R.Destination.size() > 255 || R.Originator.size() + 2 > 255 || R.Reason < 0 ||
        R.Reason > 255)
      return prCannotCarry;
    TDateTime now = Now();
    std::string body = Octet(static_cast<unsigned>(R.Destination.size())) + R.Destination +
                       std::string(5, '\0') + U32(static_cast<uint32_t>(std::stoull(id))) +
                       FormatTimeText(R.MessageTimeStamp != 0 ? R.MessageTimeStamp : now) +
                       Octet(status) + FormatTimeText(R.TimeStamp != 0 ? R.TimeStamp : now);
    if (status == 1)
      body += Octet(static_cast<unsigned>(R.Reason));
    body += AddressFor(R.Originator);
    Frame = BuildMessage(NextReference(), 0, opStatusReport, body);
    return prSent;
  }

  TPushResult BuildAlert(std::string&) override { return prUnsupported; }

private:
  uint32_t NextReference() {
    uint32_t r = FNextReference;
    if (++FNextReference == 0)
      FNextReference = 1;
    return r;
  }

  // The registered address keeps the numbering the client gave it.
  std::string AddressFor(const std::string& A) const {
    if (FRegistered && A == FAddress)
      return AddressField(A, FTON, FNPI);
    return AddressField(A, TonOf(A), NpiOf(A));
  }

  static std::string Result(const std::string& Request, uint8_t Code,
                            const std::string& More = std::string()) {
    return BuildMessage(ReferenceOf(Request), 1, OperationOf(Request), Octet(Code) + More);
  }

  static uint8_t Code(int Configured, uint8_t Default) {
    return static_cast<uint8_t>(Configured != 0 ? Configured : Default);
  }

  std::string Login(const std::string& Frame, const TSimConfig& Cfg, TSessionLink& Link) {
    TBodyReader r{Frame};
    size_t len = r.Octet();
    std::string user = r.Octets(len);
    std::string password = r.Ok ? std::string(Frame.substr(r.P)) : std::string();
    if (!r.Ok)
      return Result(Frame, rsSyntax);
    bool open = Cfg.Login.empty() && Cfg.Password.empty();
    if (!open && (user != Cfg.Login || password != Cfg.Password)) {
      Link.Log("login of " + user + " refused");
      return Result(Frame, Code(Cfg.LoginErrorCode, rsRefused));
    }
    FLoggedIn = true;
    Link.Log("login of " + user + " accepted");
    return Result(Frame, rsOk);
  }

  std::string RequestDelivery(const std::string& Frame, const TSimConfig& Cfg, TSessionLink& Link) {
    TBodyReader r{Frame};
    uint8_t ton = 0, npi = 0;
    std::string address = r.Address(ton, npi);
    if (!r.Ok)
      return Result(Frame, rsSyntax);
    if (Cfg.RequireLogin && !FLoggedIn)
      return Result(Frame, rsNotLoggedIn);
    if (!FRegistered || address != FAddress || ton != FTON || npi != FNPI)
      Link.Log("delivering to " + address);
    FRegistered = true;
    FAddress = address;
    FTON = ton;
    FNPI = npi;
    return Result(Frame, rsOk);
  }

  std::string Submit(const std::string& Frame, const TSimConfig& Cfg, TSessionLink& Link) {
    TBodyReader r{Frame};
    size_t destinationLength = r.Octet();
    std::string destination = r.Octets(destinationLength);
    r.Octets(6); // 0x02, four zero octets, 0x01
    uint8_t ton = 0, npi = 0;
    std::string originator = r.Address(ton, npi);
    r.Octet();
    uint8_t dcs = r.Octet();
    uint8_t reportRequest = r.Octet();
    r.Octet();
    bool hasHeader = (r.Octet() & kHeaderIndicator) != 0;
    int length = r.Octet();
    size_t octets = r.Octet();
    std::string userData = r.Octets(octets);
    if (!r.Ok || destination.empty())
      return Result(Frame, rsSyntax);
    if (Cfg.RequireLogin && !FLoggedIn)
      return Result(Frame, rsNotLoggedIn);

    TSubmitRecord rec;
    rec.Session = Link.SessionId();
    rec.Destination = destination;
    rec.Originator = originator;
    rec.StatusReportRequested = reportRequest != 0;
    rec.DirectDisplay = (dcs & 0xF3) == 0x10;
    switch ((dcs >> 2) & 3) {
    case 1:
      rec.Encoding = et8BitHexadecimal;
      break;
    case 2:
      rec.Encoding = etUCS2Text;
      break;
    default:
      rec.Encoding = et7BitText;
      break;
    }
    const bool sevenBit = rec.Encoding == et7BitText;
    // A length that the octets cannot hold, or a header longer than the data.
    if ((sevenBit ? static_cast<size_t>(length) * 7 > octets * 8
                  : static_cast<size_t>(length) != octets) ||
        (hasHeader && (userData.empty() || static_cast<uint8_t>(userData[0]) + 1u > octets)))
      return Result(Frame, rsSyntax);
    TByteDynArray header, text;
    if (!userData.empty())
      BinSplit(StrToBin(userData), sevenBit, hasHeader, length, header, text);
    rec.UserDataHeader = BinToStr(header);
    switch (rec.Encoding) {
    case et7BitText:
      rec.Text = AnsiToWide(BinToStr(text));
      break;
    case et8BitHexadecimal:
      rec.Text = AnsiToWide(BinToHexStr(text));
      break;
    case etUCS2Text:
      if (text.size() % 2 != 0)
        return Result(Frame, rsSyntax);
      rec.Text = BinToWideString(text);
      break;
    }
    if (Throttled(Link))
      return Result(Frame, static_cast<uint8_t>(ThrottleCode(Cfg, rsRefused)));
    if (Cfg.SubmitErrorCode != 0)
      return Result(Frame, Code(Cfg.SubmitErrorCode, rsRefused));

    uint32_t reference = FOwner.NextReference();
    rec.TimeStamp = WholeSeconds(Now());
    rec.MessageId = std::to_string(reference);
    AcceptSubmit(rec, Link);
    return Result(Frame, rsOk, U32(reference) + FormatTimeText(rec.TimeStamp));
  }

  const TSemaPersonality& FOwner;
  bool FLoggedIn = false;
  bool FRegistered = false;
  std::string FAddress; // the address of the last request delivery
  uint8_t FTON = 0, FNPI = 0;
  uint32_t FNextReference = 1;
};

} // namespace

std::string BuildMessage(uint32_t Reference, uint8_t Class, uint8_t Operation,
                         const std::string& Body) {
  return U32(Reference) + Octet(Class) + Octet(Operation) + std::string(2, '\0') +
         Octet(static_cast<unsigned>(Body.size())) +
         Octet(static_cast<unsigned>(Body.size() >> 8)) + Body;
}

uint32_t ReferenceOf(std::string_view M) {
  uint32_t v = 0;
  for (size_t i = 4; i-- > 0;)
    v = v << 8 | static_cast<uint8_t>(M[i]);
  return v;
}

uint8_t ClassOf(std::string_view M) {
  return static_cast<uint8_t>(M[4]);
}

uint8_t OperationOf(std::string_view M) {
  return static_cast<uint8_t>(M[5]);
}

std::string OperationName(uint8_t Class, uint8_t Operation) {
  const char* name = nullptr;
  switch (Operation) {
  case opSubmit:
    name = "submit";
    break;
  case opStatusReport:
    name = "status_report";
    break;
  case opDeliver:
    name = "deliver";
    break;
  case opRequestDelivery:
    name = "request_delivery";
    break;
  case opLogin:
    name = "login";
    break;
  default:
    break;
  }
  if (!name || Class > 1)
    return "class " + std::to_string(Class) + " operation " + std::to_string(Operation);
  return Class == 0 ? std::string(name) : std::string(name) + "_rsp";
}

std::string AddressField(const std::string& Address, uint8_t TON, uint8_t NPI) {
  return Octet(static_cast<unsigned>(Address.size() + 2)) + kHexDigits[(TON + 8) & 15] +
         kHexDigits[NPI & 15] + Address;
}

std::string FormatTimeText(TDateTime Value) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(Value, y, mo, d);
  DecodeTime(Value, h, mi, s, ms);
  return ZeroPad(y % 100, 2) + ZeroPad(mo, 2) + ZeroPad(d, 2) + ZeroPad(h, 2) + ZeroPad(mi, 2) +
         ZeroPad(s, 2) + "00";
}

} // namespace sema

TSemaPersonality::TSemaPersonality() = default;
TSemaPersonality::~TSemaPersonality() = default;

std::string TSemaPersonality::Name() const {
  return "sema";
}

TFrameCut TSemaPersonality::Cut(std::string_view Bytes) const {
  if (Bytes.size() < sema::kHeader)
    return {};
  size_t length = sema::kHeader + (static_cast<uint8_t>(Bytes[8]) |
                                   static_cast<size_t>(static_cast<uint8_t>(Bytes[9])) << 8);
  if (Bytes.size() < length)
    return {};
  return {TFrameCut::fcFrame, length};
}

std::string TSemaPersonality::Describe(const std::string& Frame, bool& Valid) const {
  if (Frame.size() < sema::kHeader) {
    Valid = false;
    return "?";
  }
  std::string name = sema::OperationName(sema::ClassOf(Frame), sema::OperationOf(Frame));
  Valid = name.rfind("class ", 0) != 0 && Frame[6] == '\0' && Frame[7] == '\0';
  return name;
}

std::string TSemaPersonality::Printable(const std::string& Frame) const {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string r;
  if (Frame.size() >= sema::kHeader)
    r = sema::OperationName(sema::ClassOf(Frame), sema::OperationOf(Frame)) + " #" +
        std::to_string(sema::ReferenceOf(Frame)) + ":";
  for (char c : Frame) {
    auto b = static_cast<uint8_t>(c);
    r += ' ';
    r += kDigits[b >> 4];
    r += kDigits[b & 15];
  }
  return r;
}

std::string TSemaPersonality::Garbage() const {
  return sema::BuildMessage(0, sema::kGarbageClass, 0xEE, "junk");
}

std::unique_ptr<TProtocolSession> TSemaPersonality::NewSession() const {
  return std::make_unique<sema::TSemaSession>(*this);
}

uint32_t TSemaPersonality::NextReference() const {
  uint32_t r = FNextReference.fetch_add(1);
  if (r == 0) // after 4294967295
    r = FNextReference.fetch_add(1);
  return r;
}

} // namespace garvel::sim
