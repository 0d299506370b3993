// The simulator's UCP (EMI) personality: the SMSC side of UCP.
#include "UcpPersonality.h"

#include "CodePage.h"
#include "SysUtils.h"
#include "xuSMSCExtractSM.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace garvel::sim {
namespace ucp {
namespace {

constexpr int kSubmitFields = 33;   // OT 51, 52 and 53 share this layout
constexpr int kLoginFields = 12;    // OT 60
constexpr int kAlertFields = 2;     // OT 31
constexpr int kCallInputFields = 5; // OT 01
// Positions (from 0) in the 33-field layout.
constexpr int fAdC = 0, fOAdC = 1, fNRq = 3, fSCTS = 14, fDst = 15, fRsn = 16, fDSCTS = 17,
              fMT = 18, fNB = 19, fMsg = 20, fOTOA = 28, fXSer = 30;

// A whole number of exactly Width digits, or -1.
int Digits(const std::string& S, size_t Width) {
  if (S.size() != Width || S.empty())
    return -1;
  int v = 0;
  for (char c : S) {
    if (c < '0' || c > '9')
      return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

// The value of a numeric field, which may come with leading zeros (some
// clients write NB as "0144"), or -1 when it is empty, holds anything but
// digits or exceeds nine significant digits.
long long Number(const std::string& S) {
  if (S.empty() || S.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  size_t first = std::min(S.find_first_not_of('0'), S.size());
  if (S.size() - first > 9)
    return -1;
  long long v = 0;
  for (size_t i = first; i < S.size(); ++i)
    v = v * 10 + (S[i] - '0');
  return v;
}

bool IsHex(const std::string& S) {
  return std::all_of(S.begin(), S.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

std::string Hex2(unsigned V) {
  char b[3];
  std::snprintf(b, sizeof b, "%02X", V & 0xFFu);
  return b;
}

int Sum(const std::string& S, size_t From, size_t To) {
  unsigned sum = 0;
  for (size_t i = From; i < To; ++i)
    sum += static_cast<uint8_t>(S[i]);
  return static_cast<int>(sum % 256);
}

bool CanCarry(const std::string& V) {
  return V.find_first_of(std::string("/\x02\x03", 3)) == std::string::npos;
}

// An alphanumeric OAdC (OTOA 5039): the count of semi-octets in use, then
// the GSM 7-bit packed text, all in hexadecimal.
std::string DecodeAlphanumeric(const std::string& OAdC) {
  if (OAdC.size() < 2 || !IsHex(OAdC))
    return OAdC;
  int nibbles = std::stoi(OAdC.substr(0, 2), nullptr, 16);
  TByteDynArray packed = HexStrToBin(OAdC.substr(2));
  TByteDynArray udh, text;
  BinSplit(packed, true, false, nibbles * 4 / 7, udh, text);
  return BinToStr(text);
}

// XSer services: type, length, data, all in hexadecimal.
struct TXSer {
  std::string UDH; // octets
  int DCS = -1;
  bool Ok = true;
};

TXSer ParseXSer(const std::string& X) {
  TXSer r;
  size_t p = 0;
  while (p < X.size()) {
    if (p + 4 > X.size() || !IsHex(X.substr(p, 4))) {
      r.Ok = false;
      return r;
    }
    int type = std::stoi(X.substr(p, 2), nullptr, 16);
    size_t len = static_cast<size_t>(std::stoi(X.substr(p + 2, 2), nullptr, 16));
    p += 4;
    if (p + 2 * len > X.size() || !IsHex(X.substr(p, 2 * len))) {
      r.Ok = false;
      return r;
    }
    std::string data = HexStrToStr(X.substr(p, 2 * len));
    p += 2 * len;
    if (type == 1)
      r.UDH = data;
    else if (type == 2 && !data.empty())
      r.DCS = static_cast<uint8_t>(data[0]);
  }
  return r;
}

// XSer for a frame the simulator sends.
std::string BuildXSer(const std::string& UDH, int DCS) {
  std::string x;
  if (!UDH.empty())
    x += "01" + Hex2(static_cast<unsigned>(UDH.size())) + StrToHexStr(UDH);
  if (DCS > 0)
    x += "0201" + Hex2(static_cast<unsigned>(DCS));
  return x;
}

std::string StatusText(const std::string& Destination, const std::string& Scts, int Status,
                       TDateTime When) {
  std::string what = Status == 0   ? "has been delivered"
                     : Status == 1 ? "is buffered"
                                   : "could not be delivered";
  return "Message for " + Destination + ", with identification " + Scts + " " + what + " on " +
         DateTimeToStr(When) + ".";
}

class TUcpSession : public TProtocolSession {
public:
  explicit TUcpSession(const TUcpPersonality& Owner) : FOwner(Owner) {}

  std::vector<std::string> Handle(const std::string& Frame, TSessionLink& Link) override {
    TUcpFrame f = ParseFrame(Frame);
    if (f.TRN < 0 || f.OT < 0 || (f.OR != 'O' && f.OR != 'R')) {
      Link.Log("frame without a usable header; not answered");
      return {};
    }
    if (f.OR == 'R') // a result of ours: recorded, nothing to answer
      return {};
    if (!f.Ok || !f.LenOk)
      return {Nack(f, ecSyntax)};
    if (!f.CheckSumOk)
      return {Nack(f, ecChecksum)};
    const TSimConfig& cfg = Link.Config();
    switch (f.OT) {
    case 60:
      return {Login(f, cfg, Link)};
    case 51:
      return {Submit(f, cfg, Link)};
    case 31:
      return {f.Fields.size() == kAlertFields ? Ack(f, {}) : Nack(f, ecSyntax)};
    case 1:
      return {f.Fields.size() == kCallInputFields ? Ack(f, {}) : Nack(f, ecSyntax)};
    default:
      return {Nack(f, ecNotSupported)};
    }
  }

  TPushResult BuildDeliver(const TSimMessage& M, std::string& Frame) override {
    if (!CanCarry(M.Destination) || !CanCarry(M.Originator) || M.UserDataHeader.size() > 255)
      return prCannotCarry;
    std::vector<std::string> fl(kSubmitFields);
    fl[fAdC] = M.Destination;
    fl[fOAdC] = M.Originator;
    fl[fSCTS] = FormatTimeStamp(M.TimeStamp != 0 ? M.TimeStamp : Now());
    int dcs = 0;
    switch (M.Encoding) {
    case et7BitText:
      fl[fMT] = "3";
      fl[fMsg] = StrToHexStr(WideToAnsi(M.Text));
      break;
    case et8BitHexadecimal: {
      std::string hex = WideToAnsi(M.Text);
      if (hex.size() % 2 != 0 || !IsHex(hex))
        return prCannotCarry;
      std::transform(hex.begin(), hex.end(), hex.begin(),
                     [](char c) { return static_cast<char>(std::toupper(c)); });
      fl[fMT] = "4";
      fl[fNB] = std::to_string(hex.size() * 4);
      fl[fMsg] = hex;
      dcs = 0x04;
      break;
    }
    case etUCS2Text:
      fl[fMT] = "4";
      fl[fMsg] = WideStringToHexStr(M.Text);
      fl[fNB] = std::to_string(fl[fMsg].size() * 4);
      dcs = 0x08;
      break;
    }
    fl[fXSer] = BuildXSer(M.UserDataHeader, dcs);
    Frame = BuildFrame(NextTRN(), 'O', 52, fl);
    return Frame.empty() ? prCannotCarry : prSent;
  }

  TPushResult BuildStatusReport(const TSimStatusReport& R, std::string& Frame) override {
    if (!CanCarry(R.Destination) || !CanCarry(R.Originator) || R.Status < 0 || R.Status > 9 ||
        R.Reason < 0 || R.Reason > 999)
      return prCannotCarry;
    std::string scts;
    if (R.MessageTimeStamp != 0)
      scts = FormatTimeStamp(R.MessageTimeStamp);
    else if (size_t c = R.MessageId.find(':'); c != std::string::npos)
      scts = R.MessageId.substr(c + 1);
    else
      return prCannotCarry; // nothing names the reported message
    if (!CanCarry(scts))
      return prCannotCarry;
    TDateTime when = R.TimeStamp != 0 ? R.TimeStamp : Now();
    std::vector<std::string> fl(kSubmitFields);
    fl[fAdC] = R.Originator;
    fl[fOAdC] = R.Destination;
    fl[fSCTS] = scts;
    fl[fDst] = std::to_string(R.Status);
    fl[fRsn] = ZeroPad(R.Reason, 3);
    fl[fDSCTS] = FormatTimeStamp(when);
    fl[fMT] = "3";
    fl[fMsg] = StrToHexStr(StatusText(R.Destination, scts, R.Status, when));
    Frame = BuildFrame(NextTRN(), 'O', 53, fl);
    return Frame.empty() ? prCannotCarry : prSent;
  }

  TPushResult BuildAlert(std::string& Frame) override {
    Frame = BuildFrame(NextTRN(), 'O', 31, {FAddress, "0539"});
    return Frame.empty() ? prCannotCarry : prSent;
  }

private:
  static std::string Ack(const TUcpFrame& F, std::vector<std::string> Fields) {
    Fields.insert(Fields.begin(), "A");
    if (Fields.size() < 2)
      Fields.push_back(""); // SM
    return BuildFrame(F.TRN, 'R', F.OT, Fields);
  }

  static std::string Nack(const TUcpFrame& F, int EC) {
    return BuildFrame(F.TRN, 'R', F.OT, {"N", ZeroPad(EC, 2), ""});
  }

  std::string Login(const TUcpFrame& F, const TSimConfig& Cfg, TSessionLink& Link) {
    if (F.Fields.size() != kLoginFields)
      return Nack(F, ecSyntax);
    const std::string& oadc = F.Fields[0];
    const std::string& styp = F.Fields[3];
    const std::string& pwd = F.Fields[4];
    if (Number(styp) != 1)
      return Nack(F, ecNotAllowed);
    if (!IsHex(pwd) || pwd.size() % 2 != 0)
      return Nack(F, ecSyntax);
    bool open = Cfg.Login.empty() && Cfg.Password.empty();
    if (!open && (oadc != Cfg.Login || HexStrToStr(pwd) != Cfg.Password)) {
      Link.Log("login of " + oadc + " refused");
      return Nack(F, Cfg.LoginErrorCode != 0 ? Cfg.LoginErrorCode : ecAuthentication);
    }
    FLoggedIn = true;
    FAddress = oadc;
    Link.Log("login of " + oadc + " accepted");
    return Ack(F, {});
  }

  std::string Submit(const TUcpFrame& F, const TSimConfig& Cfg, TSessionLink& Link) {
    if (F.Fields.size() != kSubmitFields)
      return Nack(F, ecSyntax);
    if (Cfg.RequireLogin && !FLoggedIn)
      return Nack(F, ecNotAllowed);
    const auto& fl = F.Fields;
    const std::string& adc = fl[fAdC];
    if (adc.empty() ||
        adc.find_first_not_of("0123456789", adc[0] == '+' ? 1 : 0) != std::string::npos ||
        adc == "+")
      return Nack(F, ecAdCInvalid);

    TSubmitRecord rec;
    rec.Session = Link.SessionId();
    rec.Destination = adc;
    rec.Originator = Number(fl[fOTOA]) == 5039 ? DecodeAlphanumeric(fl[fOAdC]) : fl[fOAdC];
    rec.StatusReportRequested = Number(fl[fNRq]) == 1;
    TXSer x = ParseXSer(fl[fXSer]);
    if (!x.Ok)
      return Nack(F, ecSyntax);
    rec.UserDataHeader = x.UDH;
    rec.DirectDisplay = x.DCS >= 0 && (x.DCS & 0x10) != 0;
    const long long mt = Number(fl[fMT]);
    const std::string& msg = fl[fMsg];
    if (mt == 2) {
      if (msg.find_first_not_of("0123456789") != std::string::npos)
        return Nack(F, ecSyntax);
      rec.Text = AnsiToWide(msg);
    } else if (mt == 3 || mt == 4) {
      if (!IsHex(msg) || msg.size() % 2 != 0)
        return Nack(F, ecSyntax);
      if (mt == 3) {
        rec.Text = AnsiToWide(HexStrToStr(msg));
      } else {
        if (Number(fl[fNB]) != static_cast<long long>(msg.size() * 4))
          return Nack(F, ecSyntax);
        int coding = x.DCS >= 0 ? (x.DCS >> 2) & 3 : 1;
        if (coding == 2) {
          rec.Encoding = etUCS2Text;
          rec.Text = HexStrToWideString(msg);
        } else {
          rec.Encoding = et8BitHexadecimal;
          rec.Text = AnsiToWide(msg);
        }
      }
    } else {
      return Nack(F, ecSyntax);
    }
    if (Throttled(Link))
      return Nack(F, ThrottleCode(Cfg, ecNotAllowed));
    if (Cfg.SubmitErrorCode != 0)
      return Nack(F, Cfg.SubmitErrorCode);

    TDateTime scts = FOwner.NextTimeStamp();
    rec.TimeStamp = scts;
    rec.MessageId = adc + ":" + FormatTimeStamp(scts);
    AcceptSubmit(rec, Link);
    return Ack(F, {"", rec.MessageId});
  }

  int NextTRN() {
    int t = FNextTRN;
    FNextTRN = (FNextTRN + 1) % 100;
    return t;
  }

  const TUcpPersonality& FOwner;
  bool FLoggedIn = false;
  std::string FAddress; // the address of the last accepted login
  int FNextTRN = 1;
};

} // namespace

std::string BuildFrame(int TRN, char OR, int OT, const std::vector<std::string>& Fields) {
  std::string s = ZeroPad(((TRN % 100) + 100) % 100, 2) + "/00000/" + OR + "/" +
                  ZeroPad(((OT % 100) + 100) % 100, 2) + "/";
  for (const std::string& f : Fields)
    s += f + "/";
  size_t len = s.size() + 2; // with the checksum
  if (len > kMaxLen)
    return {};
  s.replace(3, 5, ZeroPad(static_cast<long long>(len), 5));
  s += Hex2(static_cast<unsigned>(Sum(s, 0, s.size())));
  return kSTX + s + kETX;
}

TUcpFrame ParseFrame(const std::string& Frame) {
  TUcpFrame f;
  if (Frame.size() < 2 || Frame.front() != kSTX || Frame.back() != kETX)
    return f;
  std::string in = Frame.substr(1, Frame.size() - 2);
  std::vector<std::string> items;
  size_t p = 0;
  for (;;) {
    size_t q = in.find('/', p);
    items.push_back(in.substr(p, q == std::string::npos ? std::string::npos : q - p));
    if (q == std::string::npos)
      break;
    p = q + 1;
  }
  if (items.size() >= 1)
    f.TRN = Digits(items[0], 2);
  if (items.size() >= 2)
    f.Len = Digits(items[1], 5);
  if (items.size() >= 3 && items[2].size() == 1)
    f.OR = items[2][0];
  if (items.size() >= 4)
    f.OT = Digits(items[3], 2);
  if (items.size() < 5)
    return f;
  f.Fields.assign(items.begin() + 4, items.end() - 1);
  f.CheckSum = items.back();
  f.Ok = f.TRN >= 0 && f.Len >= 0 && (f.OR == 'O' || f.OR == 'R') && f.OT >= 0;
  f.LenOk = f.Len == static_cast<int>(in.size());
  f.CheckSumOk = f.CheckSum.size() == 2 && in.size() >= 2 &&
                 f.CheckSum == Hex2(static_cast<unsigned>(Sum(in, 0, in.size() - 2)));
  return f;
}

std::string FormatTimeStamp(TDateTime Value) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(Value, y, mo, d);
  DecodeTime(Value, h, mi, s, ms);
  return ZeroPad(d, 2) + ZeroPad(mo, 2) + ZeroPad(y % 100, 2) + ZeroPad(h, 2) + ZeroPad(mi, 2) +
         ZeroPad(s, 2);
}

} // namespace ucp

TUcpPersonality::TUcpPersonality() = default;
TUcpPersonality::~TUcpPersonality() = default;

std::string TUcpPersonality::Name() const {
  return "ucp";
}

TFrameCut TUcpPersonality::Cut(std::string_view B) const {
  if (B.empty())
    return {};
  if (B[0] != ucp::kSTX) {
    size_t stx = B.find(ucp::kSTX);
    return {TFrameCut::fcSkip, stx == std::string_view::npos ? B.size() : stx};
  }
  size_t etx = B.find(ucp::kETX, 1);
  size_t stx = B.find(ucp::kSTX, 1);
  if (stx != std::string_view::npos && (etx == std::string_view::npos || stx < etx))
    return {TFrameCut::fcSkip, stx}; // a frame cut short by the start of the next
  if (etx == std::string_view::npos) {
    if (B.size() > ucp::kMaxLen + 1)
      return {TFrameCut::fcSkip, 1}; // no ETX where one must have come: resynchronise
    return {};
  }
  return {TFrameCut::fcFrame, etx + 1};
}

std::string TUcpPersonality::Describe(const std::string& Frame, bool& Valid) const {
  ucp::TUcpFrame f = ucp::ParseFrame(Frame);
  Valid = f.Ok && f.LenOk && f.CheckSumOk;
  if (f.OT < 0 || (f.OR != 'O' && f.OR != 'R'))
    return "?";
  return std::string(1, f.OR) + "/" + ZeroPad(f.OT, 2);
}

std::string TUcpPersonality::Printable(const std::string& Frame) const {
  std::string r;
  for (char c : Frame) {
    if (c == ucp::kSTX)
      r += "<STX>";
    else if (c == ucp::kETX)
      r += "<ETX>";
    else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      r += "<" + ucp::Hex2(static_cast<uint8_t>(c)) + ">";
    else
      r += c;
  }
  return r;
}

std::string TUcpPersonality::Garbage() const {
  // No STX opens it, and the STX inside carries no usable LEN: a client
  // must drop these bytes one by one and find the frame behind them.
  return std::string("garbage") + ucp::kSTX + "xx/xxxxx/" + ucp::kETX;
}

std::unique_ptr<TProtocolSession> TUcpPersonality::NewSession() const {
  return std::make_unique<ucp::TUcpSession>(*this);
}

TDateTime TUcpPersonality::NextTimeStamp() const {
  return FStamps.Next();
}

} // namespace garvel::sim
