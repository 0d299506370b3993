// The simulator's CIMD2 personality: the SMSC side of CIMD2.
#include "Cimd2Personality.h"

#include "CodePage.h"
#include "SysUtils.h"
#include "xcGarvel.h"
#include "xuSMSCExtractSM.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace garvel::sim {
namespace cimd2 {
namespace {

// Parameter codes.
constexpr int pUser = 10, pPassword = 11, pDestination = 21, pOriginator = 23,
              pAlphaOriginator = 27, pDataCoding = 30, pHeader = 32, pText = 33, pBinary = 34,
              pReportRequest = 56, pTimeStamp = 60, pStatus = 61, pStatusError = 62,
              pDischarge = 63, pError = 900;

// The special combinations: the two characters after "_" and the character
// they stand for. "XX" is the escape to the extension table.
struct TCombination {
  char First, Second;
  char16_t Char;
};
constexpr char16_t kEscape = u'\x1B';
constexpr TCombination kCombinations[] = {
    {'O', 'a', u'@'},       {'L', '-', u'\u00A3'}, {'Y', '-', u'\u00A5'}, {'e', '`', u'\u00E8'},
    {'e', '\'', u'\u00E9'}, {'u', '`', u'\u00F9'}, {'i', '`', u'\u00EC'}, {'o', '`', u'\u00F2'},
    {'C', ',', u'\u00C7'},  {'O', '/', u'\u00D8'}, {'o', '/', u'\u00F8'}, {'A', '*', u'\u00C5'},
    {'a', '*', u'\u00E5'},  {'g', 'd', u'\u0394'}, {'-', '-', u'_'},      {'g', 'f', u'\u03A6'},
    {'g', 'g', u'\u0393'},  {'g', 'l', u'\u039B'}, {'g', 'o', u'\u03A9'}, {'g', 'p', u'\u03A0'},
    {'g', 'i', u'\u03A8'},  {'g', 's', u'\u03A3'}, {'g', 't', u'\u0398'}, {'g', 'x', u'\u039E'},
    {'X', 'X', kEscape},    {'A', 'E', u'\u00C6'}, {'a', 'e', u'\u00E6'}, {'s', 's', u'\u00DF'},
    {'E', '\'', u'\u00C9'}, {'q', 'q', u'"'},      {'o', 'x', u'\u00A4'}, {'!', '!', u'\u00A1'},
    {'A', '"', u'\u00C4'},  {'O', '"', u'\u00D6'}, {'N', '~', u'\u00D1'}, {'U', '"', u'\u00DC'},
    {'s', 'o', u'\u00A7'},  {'?', '?', u'\u00BF'}, {'a', '"', u'\u00E4'}, {'o', '"', u'\u00F6'},
    {'n', '~', u'\u00F1'},  {'u', '"', u'\u00FC'}, {'a', '`', u'\u00E0'}};

// The extension table: the character written after the escape, and the
// character the pair stands for.
struct TExtension {
  char16_t Base, Char;
};
constexpr TExtension kExtensions[] = {
    {u'\n', u'\f'}, {u'\u039B', u'^'}, {u'(', u'{'}, {u')', u'}'},      {u'/', u'\\'},
    {u'<', u'['},   {u'=', u'~'},      {u'>', u']'}, {u'\u00A1', u'|'}, {u'e', u'\u20AC'}};

// Characters written as they are: those the GSM alphabet has at their
// ASCII code.
bool IsPlain(char16_t C) {
  if (C == u'\n' || C == u'\r')
    return true;
  if (C < u' ' || C > u'z')
    return false;
  return std::u16string_view(u"\"@[\\]^_`").find(C) == std::u16string_view::npos;
}

bool IsDigits(const std::string& S, bool Plus = false) {
  size_t from = Plus && !S.empty() && S[0] == '+' ? 1 : 0;
  return S.size() > from && S.find_first_not_of("0123456789", from) == std::string::npos;
}

// A whole number of exactly Width digits at Pos of S, or -1.
int Digits(const std::string& S, size_t Pos, size_t Width) {
  if (Pos + Width > S.size())
    return -1;
  int v = 0;
  for (size_t i = Pos; i < Pos + Width; ++i) {
    if (S[i] < '0' || S[i] > '9')
      return -1;
    v = v * 10 + (S[i] - '0');
  }
  return v;
}

std::string Hex2(unsigned V) {
  char b[3];
  std::snprintf(b, sizeof b, "%02X", V & 0xFFu);
  return b;
}

bool CanCarry(const std::string& V) {
  return V.find_first_of(std::string{kSTX, kETX, kTAB}) == std::string::npos;
}

// A number from a parameter value, or -1.
int NumberOf(const std::string* V) {
  if (!V || !IsDigits(*V) || V->size() > 6)
    return -1;
  return std::stoi(*V);
}

// Text (033) as the settings want it; false when it cannot be carried.
bool EncodeText(const std::u16string& Text, bool Special, std::string& Out) {
  if (Special)
    return TextToSpecialCombinations(Text, Out);
  Out = WideToAnsi(Text);
  return AnsiToWide(Out) == Text;
}

std::u16string DecodeText(const std::string& Value, bool Special) {
  return Special ? SpecialCombinationsToText(Value) : AnsiToWide(Value);
}

class TCimd2Session : public TProtocolSession {
public:
  explicit TCimd2Session(const TCimd2Personality& Owner) : FOwner(Owner) {}

  std::vector<std::string> Handle(const std::string& Frame, TSessionLink& Link) override {
    TCimd2Packet p = ParsePacket(Frame);
    if (p.Operation < 0 || p.Number < 0) {
      Link.Log("packet without a usable header; not answered");
      return {};
    }
    if (p.Operation >= 50) // a response to one of ours: recorded, nothing to answer
      return {};
    if (!p.CheckSumOk) {
      Link.Log("wrong checksum");
      return {BuildPacket(99, p.Number)};
    }
    if (!p.Ok)
      return {BuildPacket(99, p.Number)};
    const TSimConfig& cfg = Link.Config();
    switch (p.Operation) {
    case 1:
      return {Login(p, cfg, Link)};
    case 2:
      FLoggedIn = false;
      Link.Log("logged out");
      return {BuildPacket(52, p.Number)};
    case 3:
      return {Submit(p, cfg, Link)};
    case 40:
      return {BuildPacket(90, p.Number)};
    default:
      return {BuildPacket(98, p.Number, {{pError, std::to_string(ecUnexpectedOperation)}})};
    }
  }

  TPushResult BuildDeliver(const TSimMessage& M, std::string& Frame) override {
    if (!CanCarry(M.Destination) || !CanCarry(M.Originator))
      return prCannotCarry;
    TParams params = {{pDestination, M.Destination}};
    if (!M.Originator.empty())
      params.push_back(
          {IsAlphaNumeric(M.Originator) ? pAlphaOriginator : pOriginator, M.Originator});
    std::string data;
    int dcs = 0;
    switch (M.Encoding) {
    case et7BitText:
      if (!EncodeText(M.Text, FOwner.Settings().SpecialCombinations.load(), data) ||
          !CanCarry(data))
        return prCannotCarry;
      break;
    case et8BitHexadecimal:
      data = WideToAnsi(M.Text);
      if (AnsiToWide(data) != M.Text || !IsHexStr(data))
        return prCannotCarry;
      std::transform(data.begin(), data.end(), data.begin(),
                     [](char c) { return static_cast<char>(std::toupper(c)); });
      dcs = 4;
      break;
    case etUCS2Text:
      data = WideStringToHexStr(M.Text);
      dcs = 8;
      break;
    }
    if (dcs != 0)
      params.push_back({pDataCoding, std::to_string(dcs)});
    if (!M.UserDataHeader.empty())
      params.push_back({pHeader, StrToHexStr(M.UserDataHeader)});
    params.push_back({M.Encoding == et7BitText ? pText : pBinary, data});
    params.push_back({pTimeStamp, FormatTimeStamp(M.TimeStamp != 0 ? M.TimeStamp : Now())});
    Frame = BuildPacket(20, NextNumber(), params);
    return prSent;
  }

  TPushResult BuildStatusReport(const TSimStatusReport& R, std::string& Frame) override {
    int status;
    switch (R.Status) {
    case 0:
      status = 4; // delivery successful
      break;
    case 1:
      status = 1; // in process
      break;
    case 2:
      status = 3; // delivery failed
      break;
    default:
      return prCannotCarry;
    }
    if (!CanCarry(R.Destination) || R.Reason < 0 || R.Reason > 999)
      return prCannotCarry;
    std::string stamp;
    if (R.MessageTimeStamp != 0)
      stamp = FormatTimeStamp(R.MessageTimeStamp);
    else if (size_t c = R.MessageId.rfind(':'); c != std::string::npos)
      stamp = R.MessageId.substr(c + 1);
    if (stamp.size() != 12 || !IsDigits(stamp))
      return prCannotCarry; // nothing names the reported message
    TParams params = {
        {pDestination, R.Destination}, {pTimeStamp, stamp}, {pStatus, std::to_string(status)}};
    if (R.Status == 2)
      params.push_back({pStatusError, std::to_string(R.Reason)});
    params.push_back({pDischarge, FormatTimeStamp(R.TimeStamp != 0 ? R.TimeStamp : Now())});
    Frame = BuildPacket(23, NextNumber(), params);
    return prSent;
  }

  TPushResult BuildAlert(std::string& Frame) override {
    Frame = BuildPacket(40, NextNumber());
    return prSent;
  }

private:
  // Even numbers from 0, as the SMSC side numbers its packets.
  int NextNumber() {
    int n = FNextNumber;
    FNextNumber = (FNextNumber + 2) % 256;
    return n;
  }

  // The response with error code Code; a negative code answers with 99
  // (nack) when -99, else with 98 (general error) carrying its magnitude.
  static std::string Refuse(const TCimd2Packet& P, int Code) {
    if (Code == -99)
      return BuildPacket(99, P.Number);
    if (Code < 0)
      return BuildPacket(98, P.Number, {{pError, std::to_string(-static_cast<long long>(Code))}});
    return BuildPacket(P.Operation + 50, P.Number, {{pError, std::to_string(Code)}});
  }

  std::string Login(const TCimd2Packet& P, const TSimConfig& Cfg, TSessionLink& Link) {
    const std::string* user = P.Param(pUser);
    const std::string* password = P.Param(pPassword);
    std::string u = user ? *user : std::string();
    bool open = Cfg.Login.empty() && Cfg.Password.empty();
    if (!open && (u != Cfg.Login || !password || *password != Cfg.Password)) {
      Link.Log("login of " + u + " refused");
      return Refuse(P, Cfg.LoginErrorCode != 0 ? Cfg.LoginErrorCode : ecInvalidLogin);
    }
    FLoggedIn = true;
    Link.Log("login of " + u + " accepted");
    return BuildPacket(51, P.Number);
  }

  std::string Submit(const TCimd2Packet& P, const TSimConfig& Cfg, TSessionLink& Link) {
    if (Cfg.RequireLogin && !FLoggedIn)
      return Refuse(P, ecUnexpectedOperation);
    if (P.Count(pDestination) != 1)
      return Refuse(P, ecDestinationCount);
    const std::string& destination = *P.Param(pDestination);
    if (!IsDigits(destination, true))
      return Refuse(P, ecDestination);

    TSubmitRecord rec;
    rec.Session = Link.SessionId();
    rec.Destination = destination;
    if (const std::string* o = P.Param(pOriginator))
      rec.Originator = *o;
    else if (const std::string* a = P.Param(pAlphaOriginator))
      rec.Originator = *a;
    int dcs = -1;
    if (const std::string* d = P.Param(pDataCoding)) {
      dcs = NumberOf(d);
      if (dcs < 0 || dcs > 255)
        return Refuse(P, ecDataCoding);
    }
    if (const std::string* h = P.Param(pHeader)) {
      if (!IsHexStr(*h))
        return Refuse(P, ecUserDataSyntax);
      rec.UserDataHeader = HexStrToStr(*h);
    }
    const std::string* text = P.Param(pText);
    const std::string* binary = P.Param(pBinary);
    if (text && binary)
      return Refuse(P, ecUserDataCombination);
    // The alphabet: bits 3-2 in the general coding groups, bit 2 in the
    // group 0xF0; 8-bit data without a coding scheme when 034 carries it.
    int alphabet = binary ? 1 : 0;
    if (dcs >= 0) {
      if ((dcs & 0xC0) == 0)
        alphabet = (dcs >> 2) & 3;
      else if ((dcs & 0xF0) == 0xF0)
        alphabet = (dcs & 0x04) != 0 ? 1 : 0;
      else
        return Refuse(P, ecDataCoding);
      rec.DirectDisplay = (dcs & 0xF3) == 0x10 || (dcs & 0xF3) == 0xF0;
    }
    if (alphabet == 3)
      return Refuse(P, ecDataCoding);
    if ((text && alphabet != 0) || (binary && alphabet == 0))
      return Refuse(P, ecUserDataCombination);
    switch (alphabet) {
    case 0:
      rec.Encoding = et7BitText;
      if (text)
        rec.Text = DecodeText(*text, FOwner.Settings().SpecialCombinations.load());
      break;
    case 1:
      if (binary && !IsHexStr(*binary))
        return Refuse(P, ecUserDataSyntax);
      rec.Encoding = et8BitHexadecimal;
      rec.Text = binary ? AnsiToWide(*binary) : std::u16string();
      break;
    default:
      if (binary && (!IsHexStr(*binary) || binary->size() % 4 != 0))
        return Refuse(P, ecUserDataSyntax);
      rec.Encoding = etUCS2Text;
      rec.Text = binary ? HexStrToWideString(*binary) : std::u16string();
      break;
    }
    if (const std::string* r = P.Param(pReportRequest))
      rec.StatusReportRequested = NumberOf(r) > 0;
    if (Throttled(Link))
      return Refuse(P, ThrottleCode(Cfg, ecCongestion));
    if (Cfg.SubmitErrorCode != 0)
      return Refuse(P, Cfg.SubmitErrorCode);

    TDateTime stamp = FOwner.NextTimeStamp();
    rec.TimeStamp = stamp;
    rec.MessageId = destination + ":" + FormatTimeStamp(stamp);
    AcceptSubmit(rec, Link);
    return BuildPacket(53, P.Number,
                       {{pDestination, destination}, {pTimeStamp, FormatTimeStamp(stamp)}});
  }

  const TCimd2Personality& FOwner;
  bool FLoggedIn = false;
  int FNextNumber = 0;
};

} // namespace

std::string BuildPacket(int Operation, int Number, const TParams& Params) {
  std::string s(1, kSTX);
  s += ZeroPad(((Operation % 100) + 100) % 100, 2) + ":" +
       ZeroPad(((Number % 1000) + 1000) % 1000, 3);
  s += kTAB;
  for (const auto& [code, value] : Params) {
    s += ZeroPad(((code % 1000) + 1000) % 1000, 3) + ":" + value;
    s += kTAB;
  }
  unsigned sum = 0;
  for (char c : s)
    sum += static_cast<uint8_t>(c);
  return s + Hex2(sum) + kETX;
}

const std::string* TCimd2Packet::Param(int Code) const {
  for (const auto& [code, value] : Params)
    if (code == Code)
      return &value;
  return nullptr;
}

int TCimd2Packet::Count(int Code) const {
  return static_cast<int>(std::count_if(Params.begin(), Params.end(),
                                        [Code](const auto& P) { return P.first == Code; }));
}

TCimd2Packet ParsePacket(const std::string& Packet) {
  TCimd2Packet p;
  if (Packet.size() < 2 || Packet.front() != kSTX || Packet.back() != kETX)
    return p;
  const std::string in = Packet.substr(1, Packet.size() - 2);
  p.Operation = Digits(in, 0, 2);
  p.Number = Digits(in, 3, 3);
  if (p.Operation < 0 || p.Number < 0 || in.size() < 7 || in[2] != ':' || in[6] != kTAB)
    return p;
  size_t pos = 7;
  while (pos < in.size()) {
    size_t rest = in.size() - pos;
    if (rest == 2) { // the checksum: a parameter takes at least five characters
      if (!std::isxdigit(static_cast<unsigned char>(in[pos])) ||
          !std::isxdigit(static_cast<unsigned char>(in[pos + 1])))
        return p;
      unsigned sum = static_cast<uint8_t>(kSTX);
      for (size_t i = 0; i < pos; ++i)
        sum += static_cast<uint8_t>(in[i]);
      p.HasCheckSum = true;
      p.CheckSumOk = std::stoi(in.substr(pos, 2), nullptr, 16) == static_cast<int>(sum & 0xFF);
      break;
    }
    int code = Digits(in, pos, 3);
    size_t tab = in.find(kTAB, pos);
    if (code < 0 || rest < 5 || in[pos + 3] != ':' || tab == std::string::npos)
      return p;
    p.Params.push_back({code, in.substr(pos + 4, tab - pos - 4)});
    pos = tab + 1;
  }
  p.Ok = true;
  return p;
}

std::string FormatTimeStamp(TDateTime Value) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(Value, y, mo, d);
  DecodeTime(Value, h, mi, s, ms);
  return ZeroPad(y % 100, 2) + ZeroPad(mo, 2) + ZeroPad(d, 2) + ZeroPad(h, 2) + ZeroPad(mi, 2) +
         ZeroPad(s, 2);
}

namespace {

bool AppendCharacter(char16_t C, std::string& Out) {
  if (C != kEscape)
    for (const TCombination& c : kCombinations)
      if (c.Char == C) {
        Out += '_';
        Out += c.First;
        Out += c.Second;
        return true;
      }
  if (IsPlain(C)) {
    Out += static_cast<char>(C);
    return true;
  }
  return false;
}

// One character at Pos: a combination or a character as it is.
char16_t ReadCharacter(const std::string& S, size_t& Pos) {
  if (S[Pos] == '_' && Pos + 2 < S.size())
    for (const TCombination& c : kCombinations)
      if (S[Pos + 1] == c.First && S[Pos + 2] == c.Second) {
        Pos += 3;
        return c.Char;
      }
  char ch = S[Pos++];
  if (ch == ']')
    return u'\u00C5';
  if (ch == '}')
    return u'\u00E5';
  std::u16string w = AnsiToWide(std::string(1, ch));
  return w.empty() ? u'?' : w[0];
}

} // namespace

bool TextToSpecialCombinations(const std::u16string& Text, std::string& Out) {
  Out.clear();
  for (char16_t ch : Text) {
    if (AppendCharacter(ch, Out))
      continue;
    auto e = std::find_if(std::begin(kExtensions), std::end(kExtensions),
                          [ch](const TExtension& X) { return X.Char == ch; });
    if (e == std::end(kExtensions))
      return false;
    Out += "_XX";
    AppendCharacter(e->Base, Out);
  }
  return true;
}

std::u16string SpecialCombinationsToText(const std::string& Text) {
  std::u16string out;
  size_t pos = 0;
  while (pos < Text.size()) {
    char16_t ch = ReadCharacter(Text, pos);
    if (ch != kEscape) {
      out += ch;
      continue;
    }
    if (pos >= Text.size())
      break; // an escape with nothing behind it
    char16_t base = ReadCharacter(Text, pos);
    auto e = std::find_if(std::begin(kExtensions), std::end(kExtensions),
                          [base](const TExtension& X) { return X.Base == base; });
    out += e != std::end(kExtensions) ? e->Char : base;
  }
  return out;
}

} // namespace cimd2

TCimd2Personality::TCimd2Personality(std::shared_ptr<TCimd2Settings> Settings)
    : FSettings(Settings ? std::move(Settings) : std::make_shared<TCimd2Settings>()) {}

TCimd2Personality::~TCimd2Personality() = default;

std::string TCimd2Personality::Name() const {
  return "cimd2";
}

TFrameCut TCimd2Personality::Cut(std::string_view B) const {
  if (B.empty())
    return {};
  if (B[0] != cimd2::kSTX) {
    size_t stx = B.find(cimd2::kSTX);
    return {TFrameCut::fcSkip, stx == std::string_view::npos ? B.size() : stx};
  }
  size_t etx = B.find(cimd2::kETX, 1);
  size_t stx = B.find(cimd2::kSTX, 1);
  if (stx != std::string_view::npos && (etx == std::string_view::npos || stx < etx))
    return {TFrameCut::fcSkip, stx}; // a packet cut short by the start of the next
  if (etx == std::string_view::npos) {
    if (B.size() >= cimd2::kMaxPacket)
      return {TFrameCut::fcSkip, 1}; // no ETX where one must have come: resynchronise
    return {};
  }
  if (etx + 1 > cimd2::kMaxPacket)
    return {TFrameCut::fcSkip, 1};
  return {TFrameCut::fcFrame, etx + 1};
}

std::string TCimd2Personality::Describe(const std::string& Frame, bool& Valid) const {
  cimd2::TCimd2Packet p = cimd2::ParsePacket(Frame);
  Valid = p.Ok && p.CheckSumOk;
  if (p.Operation < 0)
    return "?";
  return ZeroPad(p.Operation, 2);
}

std::string TCimd2Personality::Printable(const std::string& Frame) const {
  std::string r;
  for (char c : Frame) {
    if (c == cimd2::kSTX)
      r += "<STX>";
    else if (c == cimd2::kETX)
      r += "<ETX>";
    else if (c == cimd2::kTAB)
      r += "<TAB>";
    else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      r += "<" + cimd2::Hex2(static_cast<uint8_t>(c)) + ">";
    else
      r += c;
  }
  return r;
}

std::string TCimd2Personality::Garbage() const {
  // A line of text, then the start of a packet that the next packet's STX
  // cuts short: a client must drop both.
  return std::string("garbage\r\n") + cimd2::kSTX + "03:0";
}

std::unique_ptr<TProtocolSession> TCimd2Personality::NewSession() const {
  return std::make_unique<cimd2::TCimd2Session>(*this);
}

} // namespace garvel::sim
