// The SEMA message codec and the SEMA component.
#include "xcGarvelSEMA.h"

#include "CodePage.h"

#include <algorithm>

namespace garvel::sema {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr size_t kMaxBody = 65535;
constexpr size_t kTimeText = 14;

// The value of a hexadecimal digit, 0 when it is not one.
int HexValue(uint8_t C) {
  if (C >= '0' && C <= '9')
    return C - '0';
  if (C >= 'A' && C <= 'F')
    return C - 'A' + 10;
  if (C >= 'a' && C <= 'f')
    return C - 'a' + 10;
  return 0;
}

bool AddressFits(const std::string& Address, uint8_t TON, uint8_t NPI) {
  return TON <= 7 && NPI <= 15 && Address.size() + 2 <= 255;
}

// The time text at Index (14 characters), or 0 when fewer remain or they do
// not form a valid date and time.
TDateTime OptionalTime(const TByteDynArray& B, size_t Index) {
  if (Index + kTimeText > B.size())
    return 0;
  std::string s(B.begin() + static_cast<long>(Index), B.begin() + static_cast<long>(Index + 12));
  for (char c : s)
    if (c < '0' || c > '9')
      return 0;
  try {
    return TimeStrToDateTime(s);
  } catch (const EConvertError&) {
    return 0;
  }
}

} // namespace

TDateTime TimeStrToDateTime(const std::string& S) {
  return TimeDigitsToDateTime(S, false);
}

// ---------------------------------------------------------------------------
// TxcSMSCMessageSEMA

TxcSMSCMessageSEMA::TxcSMSCMessageSEMA() = default;
TxcSMSCMessageSEMA::~TxcSMSCMessageSEMA() = default;

std::unique_ptr<TxcSMSCMessage> TxcSMSCMessageSEMA::NewInstance() const {
  return std::make_unique<TxcSMSCMessageSEMA>();
}

int TxcSMSCMessageSEMA::GetHeaderSize() const {
  return kHeaderSize;
}

int TxcSMSCMessageSEMA::GetMessageSize() const {
  if (Size() < kHeaderSize)
    return 0;
  int i = 8;
  return kHeaderSize + GetWord(i);
}

int TxcSMSCMessageSEMA::GetMaxMessageSize() const {
  return kMaxMessageSize;
}

TReceiveMessageClass TxcSMSCMessageSEMA::GetMessageClass() const {
  return Size() >= kHeaderSize && FBuffer[4] == 1 ? mtResponse : mtMessage;
}

TReceiveMessageType TxcSMSCMessageSEMA::GetMessageType() const {
  if (Size() < kHeaderSize)
    return mtUnknown;
  uint8_t cls = FBuffer[4], op = FBuffer[5];
  if (cls == 0) {
    if (op == opStatusReport)
      return mtStatusReport;
    if (op == opDeliver)
      return mtDeliver;
  } else if (cls == 1) {
    if (op == opSubmit)
      return mtSubmitRsp;
    if (op == opRequestDelivery)
      return mtRequestDeliveryRsp;
    if (op == opLogin)
      return mtLoginRsp;
  }
  return mtUnknown;
}

bool TxcSMSCMessageSEMA::GetRequestKey(TMessageKey& Key) const {
  if (Size() < kHeaderSize || FBuffer[4] != 0)
    return false;
  int i = 0;
  Key = TMessageKey{GetLongWord(i), FBuffer[5], false};
  return true;
}

bool TxcSMSCMessageSEMA::GetResponseKey(TMessageKey& Key) const {
  if (Size() < kHeaderSize || FBuffer[4] != 1)
    return false;
  int i = 0;
  Key = TMessageKey{GetLongWord(i), FBuffer[5], false};
  return true;
}

std::string TxcSMSCMessageSEMA::Describe() const {
  if (Size() < kHeaderSize)
    return "SEMA message cut off at " + IntToStr(Size()) + " octets";
  int i = 0;
  uint32_t ref = GetLongWord(i);
  std::string s = "class " + IntToStr(FBuffer[4]) + " operation " + IntToStr(FBuffer[5]) +
                  " reference " + std::to_string(ref);
  if (FBuffer[4] == 1 && Size() > kHeaderSize)
    s += " result " + IntToStr(FBuffer[kHeaderSize]);
  return s;
}

void TxcSMSCMessageSEMA::Reset() {
  FReference = 1;
}

uint32_t TxcSMSCMessageSEMA::GetReference() {
  uint32_t r = FReference;
  if (++FReference == 0)
    FReference = 1;
  return r;
}

void TxcSMSCMessageSEMA::Begin(uint8_t Operation) {
  FBuffer.clear();
  AddLongWord(GetReference());
  AddByte(0); // class: a request
  AddByte(Operation);
  AddWord(0);
  AddWord(0); // body length, written by End
}

void TxcSMSCMessageSEMA::End() {
  auto body = static_cast<uint16_t>(FBuffer.size() - kHeaderSize);
  FBuffer[8] = static_cast<uint8_t>(body);
  FBuffer[9] = static_cast<uint8_t>(body >> 8);
}

bool TxcSMSCMessageSEMA::EncodeLoginMsg(const std::string& User, const std::string& Password) {
  if (User.size() > 255 || 1 + User.size() + Password.size() > kMaxBody)
    return false;
  Begin(opLogin);
  AddByte(static_cast<uint8_t>(User.size()));
  AddString(User);
  AddString(Password);
  End();
  return true;
}

bool TxcSMSCMessageSEMA::EncodeRequestDeliveryMsg(const std::string& Address, uint8_t TON,
                                                  uint8_t NPI) {
  if (!AddressFits(Address, TON, NPI))
    return false;
  Begin(opRequestDelivery);
  AddByte(static_cast<uint8_t>(Address.size() + 2));
  AddChar(kHexDigits[TON + 8]);
  AddChar(kHexDigits[NPI]);
  AddString(Address);
  AddByte(0x01);
  AddByte(0x00);
  End();
  return true;
}

bool TxcSMSCMessageSEMA::EncodeSubmitMsg(const std::string& Destination,
                                         const std::string& Originator, uint8_t TON, uint8_t NPI,
                                         const std::u16string& SMText, TxcEncodingType Encoding,
                                         const std::string& UserDataHeader,
                                         TxcSubmitOptionSet Options) {
  if (Destination.size() > 255 || !AddressFits(Originator, TON, NPI) || !IsHexStr(UserDataHeader))
    return false;
  TByteDynArray header = HexStrToBin(UserDataHeader);
  TByteDynArray userData;
  int len = 0;
  uint8_t dcs = 0;
  switch (Encoding) {
  case et8BitHexadecimal: {
    std::string hex = WideToAnsi(SMText);
    if (AnsiToWide(hex) != SMText || !IsHexStr(hex))
      return false;
    userData = BinCompose(header, HexStrToBin(hex), false, len);
    dcs = 0x04;
    break;
  }
  case etUCS2Text:
    userData = BinCompose(header, WideStringToBin(SMText), false, len);
    dcs = 0x08;
    break;
  case et7BitText:
  default: {
    std::string gsm;
    if (!WideToOctetText(SMText, true, gsm))
      return false; // a character the GSM alphabet lacks
    userData = BinCompose(header, StrToBin(WideToAnsi(SMText)), true, len);
    break;
  }
  }
  if (userData.size() > 255 || len > 255)
    return false; // one octet counts each
  if (Options.Contains(soDirectDisplay))
    dcs |= 0x10;

  Begin(opSubmit);
  AddByte(static_cast<uint8_t>(Destination.size()));
  AddString(Destination);
  AddByte(0x02);
  AddLongWord(0);
  AddByte(0x01);
  AddByte(static_cast<uint8_t>(Originator.size() + 2));
  AddChar(kHexDigits[TON + 8]);
  AddChar(kHexDigits[NPI]);
  AddString(Originator);
  AddByte(0x00);
  AddByte(dcs);
  AddByte(Options.Contains(soRequestStatusReport) ? 0x3F : 0x00);
  AddByte(0x00);
  AddByte(header.empty() ? 0x00 : 0x02);
  AddByte(static_cast<uint8_t>(len));
  AddByte(static_cast<uint8_t>(userData.size()));
  AddByteDynArray(userData);
  AddWord(0);
  End();
  return true;
}

void TxcSMSCMessageSEMA::EncodeResponseMsg(TxcSMSCMessage& Message) {
  int i = 0;
  TByteDynArray head = Message.GetByteDynArray(i, kHeaderSize);
  FBuffer.clear();
  AddChunk(head.data(), 4); // the reference, as it came
  AddByte(1);               // class: a response
  AddByte(head[5]);
  AddWord(0);
  AddWord(1);
  AddByte(0x00);
}

int TxcSMSCMessageSEMA::ResultOctet() const {
  return Size() > kHeaderSize ? static_cast<int>(FBuffer[kHeaderSize])
                              : static_cast<int>(rcGeneralError);
}

void TxcSMSCMessageSEMA::GetSubmitResult(TxcPartResult& Part) const {
  Part.Result = FResultCode;
  if (FResultCode == rcOk) {
    Part.MessageID = FMessageID;
    Part.TimeStamp = FTimeStamp;
  }
}

void TxcSMSCMessageSEMA::DecodeSubmitRspMsg() {
  FResultCode = ResultOctet();
  FMessageID.clear();
  FTimeStamp = 0;
  if (FResultCode != 0)
    return;
  if (Size() >= kHeaderSize + 5) {
    int i = kHeaderSize + 1;
    FMessageID = std::to_string(GetLongWord(i));
    FTimeStamp = OptionalTime(FBuffer, static_cast<size_t>(i));
  }
}

void TxcSMSCMessageSEMA::DecodeRequestDeliveryRspMsg() {
  FResultCode = ResultOctet();
}

void TxcSMSCMessageSEMA::DecodeLoginRspMsg() {
  FResultCode = ResultOctet();
}

namespace {

// Reads an address with numbering information: length (counting the two
// digits), TON digit (value - 8), NPI digit, the address.
void ReadAddress(const TxcSMSCMessage& M, int& I, std::string& Address, uint8_t& TON,
                 uint8_t& NPI) {
  int len = M.GetByte(I);
  if (len < 2)
    throw EConvertError("SEMA address length " + IntToStr(len) + " is below 2");
  TON = static_cast<uint8_t>(HexValue(M.GetByte(I)) - 8);
  NPI = static_cast<uint8_t>(HexValue(M.GetByte(I)));
  Address = M.GetString(I, len - 2);
}

} // namespace

void TxcSMSCMessageSEMA::DecodeReceiveMsg(std::string& Destination, uint8_t& DestTON,
                                          uint8_t& DestNPI, std::string& Originator,
                                          uint8_t& OrigTON, uint8_t& OrigNPI,
                                          std::u16string& SMText, TxcEncodingType& Encoding,
                                          std::string& UserDataHeader, TDateTime& TimeStamp) const {
  int i = kHeaderSize;
  ReadAddress(*this, i, Destination, DestTON, DestNPI);
  GetString(i, 4);
  ReadAddress(*this, i, Originator, OrigTON, OrigNPI);
  switch ((GetByte(i) >> 2) & 3) {
  case 1:
    Encoding = et8BitHexadecimal;
    break;
  case 2:
    Encoding = etUCS2Text;
    break;
  default:
    Encoding = et7BitText;
    break;
  }
  GetByte(i);
  bool hasHeader = (GetByte(i) & 0x02) != 0;
  int udl = GetByte(i);
  int octets = GetByte(i);
  TByteDynArray userData = GetByteDynArray(i, octets);
  // No more septets than the octets hold.
  if (Encoding == et7BitText)
    udl = std::min(udl, octets * 8 / 7);
  TByteDynArray header, text;
  BinSplit(userData, Encoding == et7BitText, hasHeader, udl, header, text);
  UserDataHeader = BinToHexStr(header);
  switch (Encoding) {
  case et7BitText:
    SMText = AnsiToWide(BinToStr(text));
    break;
  case et8BitHexadecimal:
    SMText = AnsiToWide(BinToHexStr(text));
    break;
  case etUCS2Text:
    SMText = BinToWideString(text);
    break;
  }
  TimeStamp = OptionalTime(FBuffer, static_cast<size_t>(i));
}

void TxcSMSCMessageSEMA::DecodeStatusReportMsg(std::string& MessageID, TDateTime& MessageTimeStamp,
                                               std::string& Destination, std::string& Originator,
                                               uint8_t& OrigTON, uint8_t& OrigNPI,
                                               uint8_t& SMStatus, int& FailureReason,
                                               TDateTime& TimeStamp) const {
  int i = kHeaderSize;
  int len = GetByte(i);
  Destination = GetString(i, len);
  GetString(i, 5);
  MessageID = std::to_string(GetLongWord(i));
  MessageTimeStamp = TimeStrToDateTime(GetString(i, static_cast<int>(kTimeText)));
  SMStatus = GetByte(i);
  TimeStamp = TimeStrToDateTime(GetString(i, static_cast<int>(kTimeText)));
  FailureReason = SMStatus == 1 || SMStatus == 6 ? GetByte(i) : -1;
  ReadAddress(*this, i, Originator, OrigTON, OrigNPI);
}

// ---------------------------------------------------------------------------
// TxcGarvelSEMA

TxcGarvelSEMA::TxcGarvelSEMA(TComponent* AOwner)
    : TxcGarvel(AOwner, &MessageClass<TxcSMSCMessageSEMA>, "sema") {}

TxcGarvelSEMA::~TxcGarvelSEMA() {
  StopThreads(); // the keep-alive thread polls through this object
}

TxcSMSCMessageSEMA& TxcGarvelSEMA::GetInputMessage() const {
  return MessageAs<TxcSMSCMessageSEMA>(*FInputMessage, "the input message is not a SEMA message");
}

TxcSMSCMessageSEMA& TxcGarvelSEMA::GetOutputMessage() const {
  return MessageAs<TxcSMSCMessageSEMA>(*FOutputMessage, "the output message is not a SEMA message");
}

std::string TxcGarvelSEMA::Originator() const {
  std::lock_guard<std::mutex> g(FOriginatorLock);
  return FOriginator;
}

int TxcGarvelSEMA::InitializeSession(const std::string& Originator, uint8_t TON, uint8_t NPI) {
  // Checked before anything starts: every poll carries this address.
  if (TON > 7 || NPI > 15 || Originator.size() + 2 > 255)
    return rcCannotCarry;
  {
    std::lock_guard<std::mutex> g(FOriginatorLock);
    FOriginator = Originator;
  }
  FOriginatorTON.store(TON);
  FOriginatorNPI.store(NPI);
  int r = InternalInitializeSession();
  if (State() == rsInitialized) {
    // Also after a refused poll: InitializeSession again polls again.
    r = Alive();
    if (r == rcOk) {
      TRelayState expected = rsInitialized;
      FState.compare_exchange_strong(expected, rsLoggedIn);
    }
  }
  return r;
}

int TxcGarvelSEMA::RequestDelivery() {
  if (!SessionStarted())
    return rcWrongState;
  std::string address = Originator();
  TOutputLock lock(*this);
  if (!lock)
    return rcTimeOut;
  if (!Out().EncodeRequestDeliveryMsg(address, FOriginatorTON.load(), FOriginatorNPI.load()))
    return rcCannotCarry;
  return InternalRequestDelivery();
}

int TxcGarvelSEMA::Alive() {
  return RequestDelivery();
}

int TxcGarvelSEMA::Login(const std::string& User, const std::string& Password) {
  if (!SessionStarted())
    return rcWrongState;
  TOutputLock lock(*this);
  if (!lock)
    return rcTimeOut;
  if (!Out().EncodeLoginMsg(User, Password))
    return rcCannotCarry;
  return InternalLogin();
}

int TxcGarvelSEMA::SubmitMessage(const std::string& Destination, const std::string& Originator,
                                 uint8_t TON, uint8_t NPI, const std::u16string& SMText,
                                 TxcEncodingType Encoding, const std::string& UserDataHeader,
                                 TxcSubmitOptionSet Options, std::string& MessageID,
                                 TDateTime& TimeStamp) {
  int r;
  TResponse response;
  if (State() != rsLoggedIn) {
    r = rcWrongState; // nothing sent, no reference taken
  } else if (TSubmitSlot slot(*this); !slot) {
    r = slot.Result();
  } else {
    TOutputLock lock(*this);
    if (!lock)
      r = rcTimeOut;
    else if (Out().EncodeSubmitMsg(Destination, Originator, TON, NPI, SMText, Encoding,
                                   UserDataHeader, Options))
      r = InternalSubmitMessage(&response);
    else
      r = rcCannotCarry;
  }
  auto* answer = dynamic_cast<TxcSMSCMessageSEMA*>(response.get());
  if (answer && answer->GetMessageType() == mtSubmitRsp) {
    FSubmitMessageID = AnsiToWide(answer->FMessageID);
    FSubmitTimeStamp = answer->FTimeStamp;
  }
  MessageID = WideToAnsi(FSubmitMessageID);
  TimeStamp = FSubmitTimeStamp;
  return r;
}

int TxcGarvelSEMA::SubmitMessageAsync(const std::string& Destination, const std::string& Originator,
                                      uint8_t TON, uint8_t NPI, const std::u16string& SMText,
                                      TxcEncodingType Encoding, const std::string& UserDataHeader,
                                      TxcSubmitOptionSet Options, TSubmitTicket& Ticket) {
  Ticket = 0;
  if (State() != rsLoggedIn)
    return rcWrongState;
  std::vector<TxcTextPart> parts;
  if (!PartsToSubmit(
          SMText, Encoding, UserDataHeader, SplitLongMessages(),
          [this] { return NextConcatReference(); }, parts))
    return rcCannotCarry;
  return SubmitParts(
      static_cast<int>(parts.size()),
      [&](int Part) {
        const TxcTextPart& p = parts[static_cast<size_t>(Part)];
        return Out().EncodeSubmitMsg(Destination, Originator, TON, NPI, p.Text, Encoding,
                                     p.UserDataHeader, Options)
                   ? rcOk
                   : rcCannotCarry;
      },
      Ticket);
}

int TxcGarvelSEMA::MaxWindowSize() const {
  return 1000;
}

void TxcGarvelSEMA::Raise(const TReceived& M, bool) {
  OnMessageReceived(this, M.Destination, M.DestTON, M.DestNPI, M.Originator, M.OrigTON, M.OrigNPI,
                    M.SMText, M.Encoding, M.UserDataHeader, M.TimeStamp);
}

bool TxcGarvelSEMA::ReleaseHeldParts(bool All) {
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

bool TxcGarvelSEMA::MessageReceived(TxcSMSCMessage& Message) {
  if (!OnMessageReceived)
    return false;
  auto* m = &MessageAs<TxcSMSCMessageSEMA>(
      Message, "a SEMA component received a message of another protocol");
  std::string destination, originator, header;
  uint8_t destTON = 0, destNPI = 0, origTON = 0, origNPI = 0;
  std::u16string text;
  TxcEncodingType encoding = et7BitText;
  TDateTime timeStamp = 0;
  m->DecodeReceiveMsg(destination, destTON, destNPI, originator, origTON, origNPI, text, encoding,
                      header, timeStamp);
  TReceived r{destination, originator, destTON,  destNPI, origTON,
              origNPI,     text,       encoding, header,  timeStamp};
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

bool TxcGarvelSEMA::StatusReportReceived(TxcSMSCMessage& Message) {
  if (!OnStatusReportReceived)
    return false;
  auto* m = &MessageAs<TxcSMSCMessageSEMA>(
      Message, "a SEMA component received a message of another protocol");
  std::string messageID, destination, originator;
  TDateTime messageTimeStamp = 0, timeStamp = 0;
  uint8_t origTON = 0, origNPI = 0, status = 0;
  int reason = -1;
  m->DecodeStatusReportMsg(messageID, messageTimeStamp, destination, originator, origTON, origNPI,
                           status, reason, timeStamp);
  OnStatusReportReceived(this, messageID, messageTimeStamp, destination, originator, origTON,
                         origNPI, status, reason, timeStamp);
  return true;
}

} // namespace garvel::sema
