// The UCP (EMI) frame codec and the UCP component.
#include "xcGarvelUCP.h"

#include "CodePage.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace garvel::ucp {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string HexByte(int Value) {
  std::string s(2, '0');
  s[0] = kHexDigits[(Value >> 4) & 0xF];
  s[1] = kHexDigits[Value & 0xF];
  return s;
}

// Two characters read as one hexadecimal octet; 0 when they are not one.
int HexOctet(const std::string& S, size_t Pos) {
  if (Pos + 2 > S.size())
    return 0;
  TByteDynArray b = HexStrToBin(S.substr(Pos, 2));
  return b.empty() ? 0 : b[0];
}

// The user data header (hexadecimal, length octet included) inside a
// submit's UserDataHeader, which carries XSer service 01 as it goes on the
// wire: its length octet, then the header. False when it is not that.
bool XSerHeader(const std::string& UserDataHeader, std::string& Header) {
  Header.clear();
  if (UserDataHeader.empty())
    return true;
  if (!IsHexStr(UserDataHeader) || UserDataHeader.size() < 2)
    return false;
  if (static_cast<size_t>(HexOctet(UserDataHeader, 0)) * 2 != UserDataHeader.size() - 2)
    return false;
  Header = UserDataHeader.substr(2);
  return true;
}

// The reverse: a user data header as a submit's UserDataHeader.
std::string XSerOf(const std::string& Header) {
  return Header.empty() ? Header : HexByte(static_cast<int>(Header.size() / 2)) + Header;
}

// The last two decimal digits of a header number.
std::string TwoDigits(int Value) {
  int v = Value % 100;
  if (v < 0)
    v += 100;
  return ZeroPad(v, 2);
}

// GSM 7-bit packing of S for an alphanumeric address. Semi receives the
// number of semi-octets the packed septets use.
TByteDynArray PackAddress(const std::string& S, int& Semi) {
  int septets = 0;
  TByteDynArray packed = BinCompose(TByteDynArray(), StrToBin(S), true, septets);
  Semi = (7 * septets + 3) / 4;
  return packed;
}

const char kKeepAliveText[] = "4B6565702D416C697665"; // "Keep-Alive"

} // namespace

// ---------------------------------------------------------------------------
// Unit functions

TDateTime TimeStrToDateTime(const std::string& S) {
  return TimeDigitsToDateTime(S, true);
}

std::string EncodeAlphaNumericOriginator(const std::string& S) {
  int semi = 0;
  TByteDynArray packed = PackAddress(S, semi);
  if (semi > 0xFF)
    return std::string(); // the length prefix cannot announce it
  return HexByte(semi) + BinToHexStr(packed);
}

// ---------------------------------------------------------------------------
// TxcSMSCMessageUCP

TxcSMSCMessageUCP::TxcSMSCMessageUCP() = default;
TxcSMSCMessageUCP::~TxcSMSCMessageUCP() = default;

std::unique_ptr<TxcSMSCMessage> TxcSMSCMessageUCP::NewInstance() const {
  return std::make_unique<TxcSMSCMessageUCP>();
}

bool TxcSMSCMessageUCP::CanCarry(const std::string& Value) {
  for (char c : Value)
    if (c == '/' || c == static_cast<char>(kSTX) || c == static_cast<char>(kETX))
      return false;
  return true;
}

void TxcSMSCMessageUCP::BeginFrame(int TRN, char OR, int OT) {
  FBuffer.clear();
  AddByte(kSTX);
  AddHeader(TRN, OR, OT);
}

void TxcSMSCMessageUCP::AddHeader(int TRN, char OR, int OT) {
  AddString(TwoDigits(TRN));
  AddString("/00000/");
  AddChar(OR);
  AddChar('/');
  AddString(TwoDigits(OT));
  AddChar('/');
}

void TxcSMSCMessageUCP::UpdateLength(int Length) {
  std::string s = ZeroPad(Length, 5);
  for (size_t i = 0; i < 5 && 4 + i < FBuffer.size(); ++i)
    FBuffer[4 + i] = static_cast<uint8_t>(s[i]);
}

void TxcSMSCMessageUCP::AddParam(const std::string& Value) {
  AddString(Value);
  AddChar('/');
}

void TxcSMSCMessageUCP::AddStringParam(const std::string& Value) {
  AddParam(Value);
}

void TxcSMSCMessageUCP::AddIntegerParam(int Value) {
  AddParam(IntToStr(Value));
}

int TxcSMSCMessageUCP::CalculateCheckSum() const {
  unsigned sum = 0;
  for (size_t i = 1; i < FBuffer.size(); ++i)
    sum += FBuffer[i];
  return static_cast<int>(sum & 0xFF);
}

bool TxcSMSCMessageUCP::EndFrame() {
  // FBuffer holds STX through the last "/": LEN counts all but STX, plus the
  // two checksum digits still to come.
  long long len = static_cast<long long>(FBuffer.size()) + 1;
  if (len > kMaxLen) {
    FBuffer.clear();
    return false;
  }
  UpdateLength(static_cast<int>(len));
  AddString(HexByte(CalculateCheckSum()));
  AddByte(kETX);
  return true;
}

void TxcSMSCMessageUCP::GetHeader(int& Pos, int& TRN, int& Len, char& OR, int& OT) const {
  auto number = [&](int Width) {
    int v = -1;
    if (Pos + Width <= Size())
      v = StrToIntDef(std::string_view(reinterpret_cast<const char*>(FBuffer.data()) + Pos,
                                       static_cast<size_t>(Width)),
                      -1);
    Pos += Width;
    return v;
  };
  Pos = 1; // STX
  TRN = number(2);
  ++Pos;
  Len = number(5);
  ++Pos;
  OR = Pos < Size() ? static_cast<char>(FBuffer[static_cast<size_t>(Pos)]) : '\0';
  Pos += 2;
  OT = number(2);
  ++Pos;
}

void TxcSMSCMessageUCP::GetParam(int& Pos, std::string& Value) const {
  Value.clear();
  if (Pos < 0)
    Pos = 0;
  int end = Pos;
  while (end < Size() && FBuffer[static_cast<size_t>(end)] != '/')
    ++end;
  if (end > Pos)
    Value.assign(reinterpret_cast<const char*>(FBuffer.data()) + Pos,
                 static_cast<size_t>(end - Pos));
  Pos = end + 1;
}

std::string TxcSMSCMessageUCP::Field(int N) const {
  int pos, trn, len, ot;
  char orc;
  GetHeader(pos, trn, len, orc, ot);
  std::string v;
  for (int i = 0; i < N; ++i)
    GetParam(pos, v);
  return v;
}

bool TxcSMSCMessageUCP::ReadMessage(TxcTcpClient& Client) {
  const uint8_t* data = nullptr;
  int n = Client.PeekData(data);
  int junk = FindMessageStart(data, n);
  if (junk > 0) {
    Client.Skip(junk);
    n = Client.PeekData(data);
  }
  if (n <= 0)
    return false;
  if (n < kHeaderSize) {
    FBuffer.resize(kHeaderSize);
    Client.PeekBuf(FBuffer.data(), kHeaderSize); // too few: wait for more
    return false;
  }
  FBuffer.assign(data, data + kHeaderSize);
  int size = GetMessageSize();
  if (size < kMinLen + 2 || size > kMaxFrameSize) {
    Client.Skip(1); // not a frame's STX
    return false;
  }
  // No STX or ETX may stand inside a frame: one there means this frame was
  // cut short (or never was one), and waiting for the rest would swallow
  // whatever comes next.
  int scan = n < size ? n : size - 1;
  for (int i = 1; i < scan; ++i)
    if (data[i] == kSTX || data[i] == kETX) {
      Client.Skip(1);
      return false;
    }
  if (n < size) {
    FBuffer.resize(static_cast<size_t>(size));
    Client.PeekBuf(FBuffer.data(), size); // too few: wait for more
    return false;
  }
  if (data[size - 1] != kETX) {
    Client.Skip(1);
    return false;
  }
  FBuffer.assign(data, data + size);
  Client.Skip(size);
  return true;
}

int TxcSMSCMessageUCP::GetHeaderSize() const {
  return kHeaderSize;
}

int TxcSMSCMessageUCP::GetMessageSize() const {
  // Anything that does not start a frame is skipped one byte at a time, so
  // that the reader finds the next STX.
  if (FBuffer.empty() || FBuffer[0] != kSTX)
    return 1;
  int pos, trn, len, ot;
  char orc;
  GetHeader(pos, trn, len, orc, ot);
  return len < 0 ? 1 : len + 2;
}

TReceiveMessageClass TxcSMSCMessageUCP::GetMessageClass() const {
  int pos, trn, len, ot;
  char orc;
  GetHeader(pos, trn, len, orc, ot);
  return orc == 'R' ? mtResponse : mtMessage;
}

TReceiveMessageType TxcSMSCMessageUCP::GetMessageType() const {
  int pos, trn, len, ot;
  char orc;
  GetHeader(pos, trn, len, orc, ot);
  if (GetMessageClass() == mtResponse) {
    switch (ot) {
    case 1:
    case 31:
      return mtAliveRsp;
    case 51:
      return mtSubmitRsp;
    case 60:
      return mtLoginRsp;
    default:
      return mtUnknown;
    }
  }
  switch (ot) {
  case 1:
  case 52:
    return mtDeliver;
  case 53:
    return mtStatusReport;
  case 31:
    // SMSCs that check the line from their side send alerts and drop a
    // session that leaves them unanswered.
    return mtAlive;
  default:
    return mtUnknown;
  }
}

int TxcSMSCMessageUCP::GetMaxMessageSize() const {
  return kMaxFrameSize;
}

bool TxcSMSCMessageUCP::KeyOf(char OR, TMessageKey& Key) const {
  int pos, trn, len, ot;
  char orc;
  GetHeader(pos, trn, len, orc, ot);
  if (orc != OR || trn < 0 || ot < 0)
    return false;
  Key = TMessageKey{trn, ot, false};
  return true;
}

bool TxcSMSCMessageUCP::GetRequestKey(TMessageKey& Key) const {
  return KeyOf('O', Key);
}

bool TxcSMSCMessageUCP::GetResponseKey(TMessageKey& Key) const {
  return KeyOf('R', Key);
}

TControlAction TxcSMSCMessageUCP::GetControlAction() const {
  int pos, trn, len, ot;
  char orc;
  GetHeader(pos, trn, len, orc, ot);
  if (orc != 'O' || trn < 0 || ot < 0)
    return caNone; // results, and what cannot be answered under a TRN
  switch (ot) {
  case 1:
  case 52:
  case 53:
    return caNone; // for the component
  default:
    return caAnswer; // the alert (31) positively, anything else with EC 03
  }
}

int TxcSMSCMessageUCP::FindMessageStart(const uint8_t* Data, int Count) const {
  if (Count <= 0)
    return 0;
  const void* stx = std::memchr(Data, kSTX, static_cast<size_t>(Count));
  return stx ? static_cast<int>(static_cast<const uint8_t*>(stx) - Data) : Count;
}

std::string TxcSMSCMessageUCP::Describe() const {
  int pos, trn, len, ot;
  char orc;
  GetHeader(pos, trn, len, orc, ot);
  if (trn < 0 || ot < 0 || (orc != 'O' && orc != 'R'))
    return "unreadable UCP frame of " + IntToStr(Size()) + " bytes";
  std::string s = std::string(1, orc) + "/" + ZeroPad(ot, 2) + " TRN " + ZeroPad(trn, 2);
  if (orc == 'R') {
    std::string ack = Field(1);
    s += " " + ack;
    if (ack == "N")
      s += " EC " + Field(2);
  }
  return s;
}

bool TxcSMSCMessageUCP::EncodeLoginMsg(const std::string& Originator, uint8_t OrigTON,
                                       uint8_t OrigNPI, const std::string& Password) {
  FBuffer.clear();
  if (!CanCarry(Originator))
    return false;
  BeginFrame(FTransactionNumber, 'O', 60);
  AddStringParam(Originator);            // OAdC
  AddIntegerParam(OrigTON);              // OTON
  AddIntegerParam(OrigNPI);              // ONPI
  AddStringParam("1");                   // STYP: open session
  AddStringParam(StrToHexStr(Password)); // PWD
  AddStringParam("");                    // NPWD
  AddStringParam("0100");                // VERS
  for (int i = 0; i < 5; ++i)            // LAdC, LTON, LNPI, OPID, RES1
    AddStringParam("");
  return EndFrame();
}

bool TxcSMSCMessageUCP::EncodeSubmitMsg(const std::string& Destination,
                                        const std::string& Originator, const std::u16string& SMText,
                                        TxcEncodingType Encoding, const std::string& UserDataHeader,
                                        TxcSubmitOptionSet Options) {
  FBuffer.clear();
  std::string mt, nb, msg;
  int dcs = 0;
  switch (Encoding) {
  case et8BitHexadecimal:
    mt = "4";
    msg = WideToAnsi(SMText); // the caller's hexadecimal digits, as they are
    nb = IntToStr(static_cast<long long>(msg.size() / 2) * 8);
    dcs = 0x04;
    break;
  case etUCS2Text:
    mt = "4";
    msg = WideStringToHexStr(SMText);
    nb = IntToStr(static_cast<long long>(msg.size() / 2) * 8);
    dcs = 0x08;
    break;
  case et7BitText:
  default: {
    mt = "3";
    std::string octets;
    if (!WideToOctetText(SMText, FTextCoding == tcGSM, octets))
      return false; // a character the coding lacks
    msg = StrToHexStr(octets);
    break;
  }
  }
  if (Encoding == et8BitHexadecimal && (AnsiToWide(msg) != SMText || !IsHexStr(msg)))
    return false;
  if (!CanCarry(Destination) || !IsHexStr(UserDataHeader))
    return false;

  bool alpha = IsAlphaNumeric(Originator);
  if (alpha && Originator.size() > kMaxAlphaNumeric)
    return false;
  std::string oadc = alpha ? EncodeAlphaNumericOriginator(Originator) : Originator;
  if (alpha && oadc.empty())
    return false;

  std::string xser;
  if (!UserDataHeader.empty())
    xser = "01" + UserDataHeader;
  if (Options.Contains(soDirectDisplay))
    dcs |= 0x10;
  if (dcs != 0)
    xser += "0201" + HexByte(dcs);

  BeginFrame(FTransactionNumber, 'O', 51);
  AddStringParam(Destination);                                        // 1 AdC
  AddStringParam(oadc);                                               // 2 OAdC
  AddStringParam("");                                                 // 3 AC
  AddStringParam(Options.Contains(soRequestStatusReport) ? "1" : ""); // 4 NRq
  AddStringParam("");                                                 // 5 NAdC
  AddStringParam("7");          // 6 NT: delivery, non-delivery and buffered
  for (int i = 7; i <= 18; ++i) // NPID .. DSCTS
    AddStringParam("");
  AddStringParam(mt);            // 19 MT
  AddStringParam(nb);            // 20 NB
  AddStringParam(msg);           // 21 Msg
  for (int i = 22; i <= 28; ++i) // MMS .. RPLy
    AddStringParam("");
  AddStringParam(alpha ? "5039" : ""); // 29 OTOA
  AddStringParam("");                  // 30 HPLMN
  AddStringParam(xser);                // 31 XSer
  AddStringParam("");                  // 32 RES4
  AddStringParam("");                  // 33 RES5
  return EndFrame();
}

bool TxcSMSCMessageUCP::EncodeAliveMsg(const std::string& Address,
                                       TxcKeepAliveOperationUCP Operation) {
  FBuffer.clear();
  if (!CanCarry(Address))
    return false;
  if (Operation == uoFantomCallInput) {
    BeginFrame(FTransactionNumber, 'O', 1);
    AddStringParam("");      // AdC
    AddStringParam(Address); // OAdC
    AddStringParam("");      // AC
    AddStringParam("3");     // MT: alphanumeric
    AddStringParam(kKeepAliveText);
  } else {
    BeginFrame(FTransactionNumber, 'O', 31);
    AddStringParam(Address); // AdC
    AddStringParam("0100");  // PID
  }
  return EndFrame();
}

void TxcSMSCMessageUCP::EncodeNegativeResponseMsg(TxcSMSCMessage& Message, int EC) {
  auto* m = &MessageAs<TxcSMSCMessageUCP>(Message, "a UCP response needs a UCP message to answer");
  int pos, trn, len, ot;
  char orc;
  m->GetHeader(pos, trn, len, orc, ot);
  BeginFrame(trn < 0 ? 0 : trn, 'R', ot < 0 ? 0 : ot);
  AddStringParam("N");
  AddStringParam(ZeroPad(EC < 0 ? 0 : EC % 100, 2));
  AddStringParam(""); // SM
  EndFrame();
}

void TxcSMSCMessageUCP::EncodeResponseMsg(TxcSMSCMessage& Message) {
  auto* m = &MessageAs<TxcSMSCMessageUCP>(Message, "a UCP response needs a UCP message to answer");
  int pos, trn, len, ot;
  char orc;
  m->GetHeader(pos, trn, len, orc, ot);
  if (ot != 1 && ot != 31 && ot != 52 && ot != 53) {
    EncodeNegativeResponseMsg(Message, 3); // operation not supported
    return;
  }
  BeginFrame(trn < 0 ? 0 : trn, 'R', ot);
  AddStringParam("A");
  if (ot != 1 && ot != 31) // the results of 01 and 31 have no MVP
    AddStringParam("");
  AddStringParam(""); // SM
  EndFrame();
}

void TxcSMSCMessageUCP::DecodeReceiveMsg(std::string& Destination, std::string& Originator,
                                         std::u16string& SMText, TxcEncodingType& Encoding,
                                         std::string& UserDataHeader, TDateTime& TimeStamp) const {
  Encoding = et7BitText;
  UserDataHeader.clear();
  int pos, trn, len, ot;
  char orc;
  GetHeader(pos, trn, len, orc, ot);
  std::vector<std::string> f(1); // f[n] = field n, counting from 1
  while (pos <= Size()) {
    std::string v;
    GetParam(pos, v);
    f.push_back(std::move(v));
  }
  auto field = [&](size_t N) { return N < f.size() ? f[N] : std::string(); };

  if (ot == 1) {
    Destination = field(1);          // AdC
    Originator = field(2);           // OAdC
    const std::string mt = field(4); // MT
    if (mt == "2")
      SMText = AnsiToWide(field(5)); // NMsg
    else if (mt == "3")
      SMText = OctetTextToWide(HexStrToStr(field(5)), FTextCoding == tcGSM); // AMsg
    TimeStamp = Now(); // a call input carries no time stamp
    return;
  }

  Destination = field(1);
  Originator = field(2);
  TimeStamp = TimeStrToDateTime(field(15)); // SCTS
  const std::string mt = field(19);
  std::string text;
  if (mt == "2") {
    SMText = AnsiToWide(field(21));
  } else if (mt == "3") {
    text = field(21);
  } else if (mt == "4") {
    text = field(21);
    Encoding = et8BitHexadecimal;
  }

  // XSer: services of type (2 hex digits), length (2) and data (2 × length).
  const std::string xser = field(31);
  size_t p = 0;
  while (p + 2 <= xser.size()) {
    int type = HexOctet(xser, p);
    int n = HexOctet(xser, p + 2);
    size_t at = std::min(p + 4, xser.size());
    TByteDynArray data = HexStrToBin(xser.substr(at, 2 * static_cast<size_t>(n)));
    p += 4 + 2 * static_cast<size_t>(n);
    if (type == 1) {
      UserDataHeader = BinToStr(data);
    } else if (type == 2 && !data.empty()) {
      switch ((data[0] >> 2) & 3) {
      case 0:
        Encoding = et7BitText;
        break;
      case 1:
        Encoding = et8BitHexadecimal;
        break;
      case 2:
        Encoding = etUCS2Text;
        break;
      default:
        break;
      }
    }
  }

  switch (Encoding) {
  case et7BitText:
    if (!text.empty())
      SMText = OctetTextToWide(HexStrToStr(text), FTextCoding == tcGSM);
    break;
  case et8BitHexadecimal:
    SMText = AnsiToWide(text);
    break;
  case etUCS2Text:
    SMText = HexStrToWideString(text);
    break;
  }
}

void TxcSMSCMessageUCP::DecodeStatusReportMsg(TDateTime& MessageTimeStamp, std::string& Destination,
                                              std::string& Originator, uint8_t& SMStatus,
                                              int& FailureReason, TDateTime& TimeStamp) const {
  Originator = Field(1);                           // AdC: the sender of the reported message
  Destination = Field(2);                          // OAdC: its recipient
  MessageTimeStamp = TimeStrToDateTime(Field(15)); // SCTS
  SMStatus = static_cast<uint8_t>(StrToIntDef(Field(16), -1)); // Dst
  FailureReason = StrToIntDef(Field(17), -1);                  // Rsn
  TimeStamp = TimeStrToDateTime(Field(18));                    // DSCTS
}

void TxcSMSCMessageUCP::StoreErrorCode(const std::string& EC) {
  // A refusal must never read as success: an EC that is missing, not a
  // number or not positive becomes the general error.
  int ec = StrToIntDef(EC, 0);
  FResultCode = ec > 0 ? ec : rcGeneralError;
}

void TxcSMSCMessageUCP::DecodeLoginRspMsg() {
  FResultCode = 0;
  if (Field(1) == "N")
    StoreErrorCode(Field(2));
}

void TxcSMSCMessageUCP::DecodeAliveRspMsg() {
  DecodeLoginRspMsg();
}

void TxcSMSCMessageUCP::GetSubmitResult(TxcPartResult& Part) const {
  Part.Result = FResultCode;
  if (FResultCode == rcOk)
    Part.TimeStamp = FTimeStamp;
}

void TxcSMSCMessageUCP::DecodeSubmitRspMsg() {
  if (Field(1) == "A") {
    const std::string sm = Field(3); // "address:DDMMYYhhmmss"
    size_t colon = sm.find(':');
    std::string time = colon == std::string::npos ? std::string() : sm.substr(colon + 1);
    // The SMSC accepted the message: an unreadable time must not turn that
    // into a time-out (the application would submit it again). The time
    // stamp is then unknown (0).
    FResultCode = 0;
    if (!time.empty()) {
      try {
        FTimeStamp = TimeStrToDateTime(time);
      } catch (const EConvertError&) {
        FTimeStamp = 0;
      }
    }
  } else {
    StoreErrorCode(Field(2));
  }
}

// ---------------------------------------------------------------------------
// TxcGarvelUCP

TxcGarvelUCP::TxcGarvelUCP(TComponent* AOwner)
    : TxcGarvel(AOwner, &MessageClass<TxcSMSCMessageUCP>, "ucp") {}

TxcGarvelUCP::~TxcGarvelUCP() {
  // The keep-alive thread calls Alive, which reads this object.
  StopThreads();
}

TxcSMSCMessageUCP& TxcGarvelUCP::GetInputMessage() const {
  return MessageAs<TxcSMSCMessageUCP>(*FInputMessage, "the input message is not a UCP message");
}

TxcSMSCMessageUCP& TxcGarvelUCP::GetOutputMessage() const {
  return MessageAs<TxcSMSCMessageUCP>(*FOutputMessage, "the output message is not a UCP message");
}

std::string TxcGarvelUCP::Originator() const {
  std::lock_guard<std::mutex> g(FOriginatorLock);
  return FOriginator;
}

void TxcGarvelUCP::NumberRequest(int OT) {
  // With many submits in flight the numbers wrap while some still wait.
  for (int tries = 0; tries < 100 && RequestPending(TMessageKey{FNextTRN, OT, false}); ++tries)
    FNextTRN = (FNextTRN + 1) % 100;
  Out().FTransactionNumber = FNextTRN;
  FNextTRN = (FNextTRN + 1) % 100;
}

int TxcGarvelUCP::InitializeSession(const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI,
                                    const std::string& Password, bool DoLogin) {
  // The keep-alives carry the originator as it is: refuse it here rather
  // than start a session whose keep-alives cannot go out.
  if (!TxcSMSCMessageUCP::CanCarry(Originator))
    return rcCannotCarry;
  if (DoLogin) {
    // A login that cannot go out would leave a session that never opens.
    TxcSMSCMessageUCP probe;
    if (!probe.EncodeLoginMsg(Originator, OrigTON, OrigNPI, Password))
      return rcCannotCarry;
  }
  {
    std::lock_guard<std::mutex> g(FOriginatorLock);
    FOriginator = Originator;
  }
  if (State() == rsConnected) {
    TOutputLock lock(*this);
    if (lock)
      FNextTRN = 1; // every session numbers from 01
  }
  int r = InternalInitializeSession();
  if (State() != rsInitialized)
    return r;
  if (DoLogin) {
    r = Login(Originator, OrigTON, OrigNPI, Password);
    if (r == rcOk)
      FState.store(rsLoggedIn);
    return r;
  }
  FState.store(rsLoggedIn);
  return r;
}

int TxcGarvelUCP::Login(const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI,
                        const std::string& Password) {
  TOutputLock lock(*this);
  if (!lock)
    return rcTimeOut;
  NumberRequest(60);
  if (!Out().EncodeLoginMsg(Originator, OrigTON, OrigNPI, Password))
    return rcCannotCarry;
  return InternalLogin();
}

int TxcGarvelUCP::Alive() {
  std::string address = Originator();
  TOutputLock lock(*this);
  if (!lock)
    return rcTimeOut;
  TxcKeepAliveOperationUCP operation = FKeepAliveOperation.load();
  NumberRequest(operation == uoFantomCallInput ? 1 : 31);
  if (!Out().EncodeAliveMsg(address, operation))
    return rcCannotCarry;
  return InternalAlive();
}

int TxcGarvelUCP::SubmitMessage(const std::string& Destination, const std::string& Originator,
                                const std::u16string& SMText, TxcEncodingType Encoding,
                                const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                                TDateTime& TimeStamp) {
  int r;
  TResponse response;
  if (TSubmitSlot slot(*this); !slot) {
    r = slot.Result();
  } else {
    TOutputLock lock(*this);
    if (!lock) {
      r = rcTimeOut;
    } else {
      NumberRequest(51);
      if (Out().EncodeSubmitMsg(Destination, Originator, SMText, Encoding, UserDataHeader, Options))
        r = InternalSubmitMessage(&response);
      else
        r = rcCannotCarry;
    }
  }
  if (r == rcOk)
    if (auto* m = dynamic_cast<TxcSMSCMessageUCP*>(response.get()))
      FSubmitTimeStamp = m->FTimeStamp;
  TimeStamp = FSubmitTimeStamp;
  return r;
}

void TxcGarvelUCP::Refuse(TxcSMSCMessage& Message, int EC) {
  TOutputLock lock(*this);
  if (!lock)
    return;
  Out().EncodeNegativeResponseMsg(Message, EC);
  MessageOut();
}

int TxcGarvelUCP::SubmitMessageAsync(const std::string& Destination, const std::string& Originator,
                                     const std::u16string& SMText, TxcEncodingType Encoding,
                                     const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                                     TSubmitTicket& Ticket) {
  Ticket = 0;
  // Parts are cut by the user data header; each goes with its own XSer.
  std::vector<TxcTextPart> parts;
  std::string header;
  if (!XSerHeader(UserDataHeader, header)) {
    parts.push_back({SMText, UserDataHeader}); // the encoder judges what it cannot tell
  } else if (!PartsToSubmit(
                 SMText, Encoding, header, SplitLongMessages(),
                 [this] { return NextConcatReference(); }, parts)) {
    return rcCannotCarry;
  } else {
    for (TxcTextPart& p : parts)
      p.UserDataHeader = XSerOf(p.UserDataHeader);
  }
  TxcTextCoding coding = TextCoding();
  return SubmitParts(
      static_cast<int>(parts.size()),
      [&](int Part) {
        const TxcTextPart& p = parts[static_cast<size_t>(Part)];
        NumberRequest(51);
        Out().FTextCoding = coding;
        return Out().EncodeSubmitMsg(Destination, Originator, p.Text, Encoding, p.UserDataHeader,
                                     Options)
                   ? rcOk
                   : rcCannotCarry;
      },
      Ticket);
}

int TxcGarvelUCP::MaxWindowSize() const {
  return 100;
}

void TxcGarvelUCP::Raise(const TReceived& M, bool) {
  // The event gives the header's octets, one character each.
  OnMessageReceived(this, M.Destination, M.Originator, M.SMText, M.Encoding,
                    HexStrToStr(M.UserDataHeader), M.TimeStamp);
}

bool TxcGarvelUCP::ReleaseHeldParts(bool All) {
  if (!OnMessageReceived)
    return false; // kept until there is a handler again, or the session ends
  std::weak_ptr<int> life = LifeToken();
  return RaiseHeldParts(
      FReassembler, All, std::chrono::steady_clock::now(),
      [this](const TReceived& M, bool Joined) { Raise(M, Joined); },
      [&life] { return !life.expired(); },
      [this](const char* What) {
        ReportError(std::string("received message not handled: ") + What);
      });
}

bool TxcGarvelUCP::MessageReceived(TxcSMSCMessage& Message) {
  auto* m = &MessageAs<TxcSMSCMessageUCP>(Message,
                                          "a UCP component received a message of another protocol");
  int pos, trn, len, ot;
  char orc;
  m->GetHeader(pos, trn, len, orc, ot);
  if (orc != 'R' && ot == 31)
    return true; // an alert from the SMSC: answer it, nothing for the application
  if (!OnMessageReceived)
    return false;
  std::string destination, originator, header;
  std::u16string text;
  TxcEncodingType encoding = et7BitText;
  TDateTime timeStamp = 0;
  m->FTextCoding = TextCoding();
  try {
    m->DecodeReceiveMsg(destination, originator, text, encoding, header, timeStamp);
  } catch (const EConvertError&) {
    // Unanswered, the SMSC would deliver it again for ever.
    Refuse(Message, 2); // syntax error
    throw;
  }
  TReceived r{destination, originator, text, encoding, StrToHexStr(header), timeStamp};
  if (!ReassembleMessages()) {
    Raise(r, false);
    return true;
  }
  FReassembler.SetTimeOut(std::chrono::milliseconds(ReassemblyTimeOut()));
  if (ReassembleOrRaise(FReassembler, originator + '\n' + destination, r,
                        std::chrono::steady_clock::now(),
                        [this](const TReceived& M, bool Joined) { Raise(M, Joined); }))
    NeedHousekeeping();
  return true;
}

bool TxcGarvelUCP::StatusReportReceived(TxcSMSCMessage& Message) {
  if (!OnStatusReportReceived)
    return false;
  auto* m = &MessageAs<TxcSMSCMessageUCP>(Message,
                                          "a UCP component received a message of another protocol");
  TDateTime messageTimeStamp = 0, timeStamp = 0;
  std::string destination, originator;
  uint8_t status = 0;
  int reason = 0;
  try {
    m->DecodeStatusReportMsg(messageTimeStamp, destination, originator, status, reason, timeStamp);
  } catch (const EConvertError&) {
    Refuse(Message, 2); // syntax error
    throw;
  }
  OnStatusReportReceived(this, messageTimeStamp, destination, originator, status, reason,
                         timeStamp);
  return true;
}

} // namespace garvel::ucp
