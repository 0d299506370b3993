// The SMPP 3.4 PDU codec and the SMPP component.
#include "xcGarvelSMPP.h"

#include "CodePage.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <typeinfo>

namespace garvel::smpp {

namespace {

constexpr uint8_t kInterfaceVersion = 0x34;
constexpr uint8_t kEsmUDHI = 0x40;            // user data header indicator
constexpr uint8_t kEsmDeliveryReceipt = 0x04; // SMSC delivery receipt
constexpr uint8_t kEsmIntermediate = 0x20;    // intermediate delivery notification
constexpr uint8_t kRegisteredDelivery = 0x11;
constexpr uint8_t kDataCodingFlash = 0x10;
constexpr int32_t kThrottled = 0x58; // ESME_RTHROTTLED

// The response command_id a request PDU awaits.
uint32_t ResponseOf(uint32_t CommandId) {
  return CommandId | kResponseBit;
}

std::string Hex32(uint32_t V) {
  char b[11];
  std::snprintf(b, sizeof b, "0x%08X", static_cast<unsigned>(V));
  return b;
}

bool HasZeroOctet(const std::string& S) {
  return S.find('\0') != std::string::npos;
}

// One octet at Index, 0 once the end is reached (Index then stays there).
uint8_t OctetAt(const TByteDynArray& B, int& Index) {
  if (Index >= 0 && static_cast<size_t>(Index) < B.size())
    return B[static_cast<size_t>(Index++)];
  Index = static_cast<int>(B.size());
  return 0;
}

std::string Trim(const std::string& S) {
  size_t first = 0, last = S.size();
  while (first < last && static_cast<unsigned char>(S[first]) <= ' ')
    ++first;
  while (last > first && static_cast<unsigned char>(S[last - 1]) <= ' ')
    --last;
  return S.substr(first, last - first);
}

std::string TwoDigits(int Value) {
  return ZeroPad(Value, 2);
}

// The user data of a submit: the header octets, then the text octets.
// The user data of a submit; false when the text or header cannot be carried.
bool ComposeUserData(const std::u16string& SMText, TxcEncodingType Encoding,
                     const std::string& UserDataHeader, TxcTextCoding Coding,
                     TByteDynArray& UserData) {
  if (!IsHexStr(UserDataHeader))
    return false;
  TByteDynArray header = HexStrToBin(UserDataHeader);
  TByteDynArray text;
  switch (Encoding) {
  case et7BitText: {
    std::string octets;
    if (!WideToOctetText(SMText, Coding == tcGSM, octets))
      return false;
    text = StrToBin(octets);
    break;
  }
  case et8BitHexadecimal: {
    std::string hex = WideToAnsi(SMText);
    if (AnsiToWide(hex) != SMText || !IsHexStr(hex))
      return false;
    text = HexStrToBin(hex);
    break;
  }
  case etUCS2Text:
    text = WideStringToBin(SMText);
    break;
  }
  int len = 0;
  UserData = BinCompose(header, text, false, len);
  return true;
}

// Header (hexadecimal, length octet included; may be empty) with one more
// information element (hexadecimal, no length octet). Empty when the
// result would not be a header.
std::string WithElement(const std::string& Header, const std::string& Element) {
  TByteDynArray h = HexStrToBin(Header);
  TByteDynArray e = HexStrToBin(Element);
  if (!h.empty() && static_cast<size_t>(h[0]) + 1 != h.size())
    return {};
  if (h.empty())
    h.push_back(0);
  h.insert(h.end(), e.begin(), e.end());
  if (h.size() - 1 > 0xFF)
    return {};
  h[0] = static_cast<uint8_t>(h.size() - 1);
  return BinToHexStr(h);
}

// The encoding a received data_coding announces.
TxcEncodingType EncodingOf(uint8_t DataCoding) {
  if (DataCoding <= 0x0F) {
    switch (DataCoding) {
    case 0x02:
    case 0x04:
      return et8BitHexadecimal;
    case 0x08:
      return etUCS2Text;
    default:
      return et7BitText;
    }
  }
  if (DataCoding <= 0x7F) { // general and automatic-deletion groups
    if (DataCoding & 0x20)
      return et8BitHexadecimal; // compressed: only the octets can be given
    switch ((DataCoding >> 2) & 3) {
    case 0:
      return et7BitText;
    case 2:
      return etUCS2Text;
    default:
      return et8BitHexadecimal;
    }
  }
  if (DataCoding >= 0xF0)
    return (DataCoding & 0x04) ? et8BitHexadecimal : et7BitText;
  if (DataCoding >= 0xE0)
    return etUCS2Text; // message waiting, UCS-2
  if (DataCoding >= 0xC0)
    return et7BitText;      // message waiting, default alphabet
  return et8BitHexadecimal; // reserved groups: keep the octets
}

uint8_t DataCoding(TxcEncodingType Encoding) {
  switch (Encoding) {
  case et7BitText:
    return 0x00;
  case et8BitHexadecimal:
    return 0x04;
  case etUCS2Text:
    return 0x08;
  }
  return 0x00;
}

// Whether a time option with its absolute and relative forms wants Value,
// and in which form ("" when neither).
std::string TimeField(TxcSubmitOptionSet Options, TxcSubmitOption Absolute,
                      TxcSubmitOption Relative, TDateTime Value) {
  if (Options.Contains(Absolute))
    return AbsoluteTimeStr(Value);
  if (Options.Contains(Relative))
    return RelativeTimeStr(Value);
  return std::string();
}

bool TimeCarried(TxcSubmitOptionSet Options, TxcSubmitOption Absolute, TxcSubmitOption Relative,
                 TDateTime Value) {
  return !(Options.Contains(Absolute) || Options.Contains(Relative)) || std::isfinite(Value);
}

// Writes Length over the first four octets of Buffer, most significant first.
void PatchLength(TByteDynArray& Buffer) {
  auto n = static_cast<uint32_t>(Buffer.size());
  for (int i = 0; i < 4; ++i)
    Buffer[static_cast<size_t>(i)] = static_cast<uint8_t>(n >> (24 - 8 * i));
}

} // namespace

// ---------------------------------------------------------------------------
// Time forms and receipt words

std::string AbsoluteTimeStr(TDateTime DateTime) {
  int year, month, day, hour, minute, second, msec;
  DecodeDate(DateTime, year, month, day);
  DecodeTime(DateTime, hour, minute, second, msec);
  TTimeZoneInformation info;
  int bias = 0;
  switch (GetTimeZoneInformation(info)) {
  case tzDaylight:
    bias = info.Bias + info.DaylightBias;
    break;
  case tzStandard:
    bias = info.Bias;
    break;
  case tzUnknown:
    bias = 0;
    break;
  }
  int quarters = bias / 15; // UTC = local + bias: negative when ahead of UTC
  std::string s = TwoDigits(year % 100) + TwoDigits(month) + TwoDigits(day) + TwoDigits(hour) +
                  TwoDigits(minute) + TwoDigits(second) + IntToStr(msec / 100);
  if (quarters < 0)
    s += TwoDigits(-quarters) + "+";
  else
    s += TwoDigits(quarters) + "-";
  return s;
}

std::string RelativeTimeStr(TDateTime Duration) {
  if (!(Duration > 0))
    Duration = 0; // negative (and NaN) durations: none
  double whole = std::floor(Duration);
  int days = whole >= 31 ? 31 : static_cast<int>(whole);
  int hour, minute, second, msec;
  DecodeTime(Duration - whole, hour, minute, second, msec);
  return "0000" + TwoDigits(days) + TwoDigits(hour) + TwoDigits(minute) + TwoDigits(second) +
         "000R";
}

uint8_t StatusWordToState(const std::string& Word) {
  static const struct {
    const char* Word;
    uint8_t State;
  } kStates[] = {{"DELIVRD", 2}, {"EXPIRED", 3}, {"DELETED", 4}, {"UNDELIV", 5},
                 {"ACCEPTD", 6}, {"UNKNOWN", 7}, {"REJECTD", 8}};
  for (const auto& s : kStates)
    if (Word == s.Word)
      return s.State;
  return 7;
}

// ---------------------------------------------------------------------------
// TxcSMSCMessageSMPP: primitives

TxcSMSCMessageSMPP::TxcSMSCMessageSMPP() = default;
TxcSMSCMessageSMPP::~TxcSMSCMessageSMPP() = default;

std::unique_ptr<TxcSMSCMessage> TxcSMSCMessageSMPP::NewInstance() const {
  return std::make_unique<TxcSMSCMessageSMPP>();
}

uint16_t TxcSMSCMessageSMPP::ChangeByteOrderWord(uint16_t Value) {
  return static_cast<uint16_t>((Value >> 8) | (Value << 8));
}

uint32_t TxcSMSCMessageSMPP::ChangeByteOrderLongWord(uint32_t Value) {
  return (Value >> 24) | ((Value >> 8) & 0x0000FF00u) | ((Value << 8) & 0x00FF0000u) |
         (Value << 24);
}

// The base appends and reads least significant octet first; reordering the
// value first gives network order on the wire.
void TxcSMSCMessageSMPP::AddWord(uint16_t Value) {
  TxcSMSCMessage::AddWord(ChangeByteOrderWord(Value));
}

void TxcSMSCMessageSMPP::AddLongWord(uint32_t Value) {
  TxcSMSCMessage::AddLongWord(ChangeByteOrderLongWord(Value));
}

uint16_t TxcSMSCMessageSMPP::GetWord(int& Index) const {
  return ChangeByteOrderWord(TxcSMSCMessage::GetWord(Index));
}

uint32_t TxcSMSCMessageSMPP::GetLongWord(int& Index) const {
  return ChangeByteOrderLongWord(TxcSMSCMessage::GetLongWord(Index));
}

void TxcSMSCMessageSMPP::AddCString(const std::string& S) {
  if (HasZeroOctet(S))
    throw EConvertError("C-octet string of " + IntToStr(static_cast<long long>(S.size())) +
                        " octets holds a zero octet at " +
                        IntToStr(static_cast<long long>(S.find('\0'))));
  AddString(S);
  AddByte(0);
}

void TxcSMSCMessageSMPP::AddHeader(const TMsgHeaderSMPP& Header) {
  AddLongWord(Header.command_length);
  AddLongWord(Header.command_id);
  AddLongWord(Header.command_status);
  AddLongWord(Header.sequence_number);
}

std::string TxcSMSCMessageSMPP::GetCString(int& Index) const {
  if (Index < 0 || Index >= Size()) {
    Index = Size();
    return std::string();
  }
  auto first = FBuffer.begin() + Index;
  auto zero = std::find(first, FBuffer.end(), uint8_t{0});
  std::string s(first, zero);
  Index = static_cast<int>(zero - FBuffer.begin()) + (zero != FBuffer.end() ? 1 : 0);
  return s;
}

TMsgHeaderSMPP TxcSMSCMessageSMPP::GetHeader(int& Index) const {
  CheckRead(0, kHeaderSize);
  Index = 0;
  TMsgHeaderSMPP h;
  h.command_length = GetLongWord(Index);
  h.command_id = GetLongWord(Index);
  h.command_status = GetLongWord(Index);
  h.sequence_number = GetLongWord(Index);
  return h;
}

int TxcSMSCMessageSMPP::GetSequenceNumber() {
  int n = FSequenceNumber;
  if (FSequenceNumber == INT32_MAX)
    FSequenceNumber = 0;
  ++FSequenceNumber;
  return n;
}

bool TxcSMSCMessageSMPP::GetTLV(const TByteDynArray& Data, int& Index, int& Tag,
                                TByteDynArray& Value) {
  if (Index < 0)
    return false;
  auto at = static_cast<size_t>(Index);
  if (at + 4 > Data.size())
    return false; // at the end, or a tag/length cut off
  size_t len = static_cast<size_t>(Data[at + 2] << 8 | Data[at + 3]);
  if (at + 4 + len > Data.size())
    return false; // a value cut off
  Tag = Data[at] << 8 | Data[at + 1];
  Value.assign(Data.begin() + static_cast<long>(at + 4),
               Data.begin() + static_cast<long>(at + 4 + len));
  Index = static_cast<int>(at + 4 + len);
  return true;
}

bool TxcSMSCMessageSMPP::GetFieldValue(const std::string& Text, int& Position, std::string& Key,
                                       std::string& Value) {
  auto length = static_cast<int>(Text.size());
  if (Position >= length)
    return false;
  if (Position < 1)
    Position = 1;
  std::string rest = Text.substr(static_cast<size_t>(Position - 1));
  size_t space = rest.find(' ');
  if (space != std::string::npos) {
    rest.resize(space + 1); // the word and its blank
    Position += static_cast<int>(space + 1);
  } else {
    Position = length; // the last word
  }
  size_t colon = rest.find(':');
  if (colon != std::string::npos) {
    Key = rest.substr(0, colon);
    Value = Trim(rest.substr(colon + 1));
  }
  return true;
}

// ---------------------------------------------------------------------------
// Framing and classification

int TxcSMSCMessageSMPP::GetHeaderSize() const {
  return kHeaderSize;
}

int TxcSMSCMessageSMPP::GetMessageSize() const {
  if (Size() < kHeaderSize)
    return 0;
  int i = 0;
  uint32_t length = GetHeader(i).command_length;
  if (length < static_cast<uint32_t>(kHeaderSize))
    return 0; // no PDU is that short: the stream cannot be cut any more
  return length > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

TReceiveMessageType TxcSMSCMessageSMPP::GetMessageType() const {
  if (Size() < kHeaderSize)
    return mtUnknown;
  int i = 0;
  switch (GetHeader(i).command_id) {
  case kDeliverSm:
    return mtDeliver;
  case kEnquireLink:
    return mtAlive;
  case kGenericNack:
    return mtNack;
  case kBindReceiver | kResponseBit:
  case kBindTransmitter | kResponseBit:
  case kBindTransceiver | kResponseBit:
    return mtLoginRsp;
  case kSubmitSm | kResponseBit:
    return mtSubmitRsp;
  case kEnquireLink | kResponseBit:
    return mtAliveRsp;
  case kUnbind | kResponseBit:
    return mtLogoutRsp;
  default:
    return mtUnknown;
  }
}

TControlAction TxcSMSCMessageSMPP::GetControlAction() const {
  if (Size() < kHeaderSize)
    return caNone;
  int i = 0;
  uint32_t id = GetHeader(i).command_id;
  switch (id) {
  case kDeliverSm:
    return caNone;
  case kEnquireLink:
    return caAnswer;
  case kUnbind:
    return caAnswerAndClose;
  case kOutbind:
  case kAlertNotification:
    return caDrop; // requests that SMPP does not answer
  default:
    // Any other request gets generic_nack (EncodeResponseMsg).
    return (id & kResponseBit) == 0 ? caAnswer : caNone;
  }
}

bool TxcSMSCMessageSMPP::GetRequestKey(TMessageKey& Key) const {
  if (Size() < kHeaderSize)
    return false;
  int i = 0;
  TMsgHeaderSMPP h = GetHeader(i);
  if (h.command_id & kResponseBit)
    return false;
  Key = TMessageKey{h.sequence_number, ResponseOf(h.command_id), false};
  return true;
}

bool TxcSMSCMessageSMPP::GetResponseKey(TMessageKey& Key) const {
  if (Size() < kHeaderSize)
    return false;
  int i = 0;
  TMsgHeaderSMPP h = GetHeader(i);
  if ((h.command_id & kResponseBit) == 0)
    return false;
  Key = TMessageKey{h.sequence_number, h.command_id, h.command_id == kGenericNack};
  return true;
}

std::string TxcSMSCMessageSMPP::Describe() const {
  if (Size() < kHeaderSize)
    return "SMPP PDU cut off at " + std::to_string(Size()) + " octets";
  int i = 0;
  TMsgHeaderSMPP h = GetHeader(i);
  const char* name = nullptr;
  switch (h.command_id) {
  case kGenericNack:
    name = "generic_nack";
    break;
  case kBindReceiver | kResponseBit:
    name = "bind_receiver_resp";
    break;
  case kBindTransmitter | kResponseBit:
    name = "bind_transmitter_resp";
    break;
  case kBindTransceiver | kResponseBit:
    name = "bind_transceiver_resp";
    break;
  case kSubmitSm | kResponseBit:
    name = "submit_sm_resp";
    break;
  case kEnquireLink | kResponseBit:
    name = "enquire_link_resp";
    break;
  case kUnbind | kResponseBit:
    name = "unbind_resp";
    break;
  case kDeliverSm:
    name = "deliver_sm";
    break;
  case kEnquireLink:
    name = "enquire_link";
    break;
  case kUnbind:
    name = "unbind";
    break;
  default:
    break;
  }
  std::string s = name ? std::string(name) : "command_id " + Hex32(h.command_id);
  s += " sequence " + std::to_string(h.sequence_number);
  if (h.command_id & kResponseBit)
    s += " status " + Hex32(h.command_status);
  return s;
}

void TxcSMSCMessageSMPP::Reset() {
  FSequenceNumber = 1;
}

// ---------------------------------------------------------------------------
// Encoders

bool TxcSMSCMessageSMPP::EncodeLoginMsg(const std::string& SystemID, const std::string& Password,
                                        uint8_t TON, uint8_t NPI, const std::string& SystemType,
                                        TxcBindModeSMPP BindMode) {
  if (HasZeroOctet(SystemID) || HasZeroOctet(Password) || HasZeroOctet(SystemType) ||
      SystemID.size() > kMaxSystemId || Password.size() > kMaxPassword ||
      SystemType.size() > kMaxSystemType)
    return false;
  TMsgHeaderSMPP h;
  switch (BindMode) {
  case bmTransmitter:
    h.command_id = kBindTransmitter;
    break;
  case bmReceiver:
    h.command_id = kBindReceiver;
    break;
  case bmTransceiver:
  default:
    h.command_id = kBindTransceiver;
    break;
  }
  h.sequence_number = static_cast<uint32_t>(GetSequenceNumber());
  FBuffer.clear();
  AddHeader(h);
  AddCString(SystemID);
  AddCString(Password);
  AddCString(SystemType);
  AddByte(kInterfaceVersion);
  AddByte(TON);
  AddByte(NPI);
  AddCString(std::string()); // address_range
  PatchLength(FBuffer);
  return true;
}

bool TxcSMSCMessageSMPP::EncodeSubmitMsg(const std::string& Destination, uint8_t DestTON,
                                         uint8_t DestNPI, const std::string& Originator,
                                         uint8_t OrigTON, uint8_t OrigNPI,
                                         const std::u16string& SMText, TxcEncodingType Encoding,
                                         const std::string& UserDataHeader,
                                         TxcSubmitOptionSet Options, TDateTime DeliveryTime,
                                         TDateTime ValidityPeriod) {
  if (HasZeroOctet(Destination) || HasZeroOctet(Originator) || Destination.size() > kMaxAddress ||
      Originator.size() > kMaxAddress)
    return false;
  if (!TimeCarried(Options, soDeliveryTimeAbsolute, soDeliveryTimeRelative, DeliveryTime) ||
      !TimeCarried(Options, soValidityPeriodAbsolute, soValidityPeriodRelative, ValidityPeriod))
    return false;
  TByteDynArray userData;
  if (!ComposeUserData(SMText, Encoding, UserDataHeader, FTextCoding, userData) ||
      userData.size() > static_cast<size_t>(kMaxShortMessage))
    return false;

  TMsgHeaderSMPP h;
  h.command_id = kSubmitSm;
  h.sequence_number = static_cast<uint32_t>(GetSequenceNumber());
  FBuffer.clear();
  AddHeader(h);
  AddCString(std::string()); // service_type
  AddByte(OrigTON);
  AddByte(OrigNPI);
  AddCString(Originator);
  AddByte(DestTON);
  AddByte(DestNPI);
  AddCString(Destination);
  AddByte(UserDataHeader.empty() ? 0x00 : kEsmUDHI);
  AddByte(0x00); // protocol_id
  AddByte(0x00); // priority_flag
  AddCString(TimeField(Options, soDeliveryTimeAbsolute, soDeliveryTimeRelative, DeliveryTime));
  AddCString(
      TimeField(Options, soValidityPeriodAbsolute, soValidityPeriodRelative, ValidityPeriod));
  AddByte(Options.Contains(soRequestStatusReport) ? kRegisteredDelivery : 0x00);
  AddByte(0x00); // replace_if_present_flag
  AddByte(static_cast<uint8_t>(DataCoding(Encoding) |
                               (Options.Contains(soDirectDisplay) ? kDataCodingFlash : 0x00)));
  AddByte(0x00); // sm_default_msg_id
  AddByte(static_cast<uint8_t>(userData.size()));
  AddByteDynArray(userData);
  PatchLength(FBuffer);
  return true;
}

void TxcSMSCMessageSMPP::EncodeAliveMsg() {
  TMsgHeaderSMPP h;
  h.command_length = kHeaderSize;
  h.command_id = kEnquireLink;
  h.sequence_number = static_cast<uint32_t>(GetSequenceNumber());
  FBuffer.clear();
  AddHeader(h);
}

void TxcSMSCMessageSMPP::EncodeLogoutMsg() {
  TMsgHeaderSMPP h;
  h.command_length = kHeaderSize;
  h.command_id = kUnbind;
  h.sequence_number = static_cast<uint32_t>(GetSequenceNumber());
  FBuffer.clear();
  AddHeader(h);
}

void TxcSMSCMessageSMPP::EncodeResponseMsg(TxcSMSCMessage& Message) {
  auto* m = dynamic_cast<TxcSMSCMessageSMPP*>(&Message);
  if (!m)
    throw EInvalidCast(std::string("EncodeResponseMsg needs a TxcSMSCMessageSMPP, not ") +
                       typeid(Message).name());
  int i = 0;
  TMsgHeaderSMPP request = m->GetHeader(i);
  TMsgHeaderSMPP h;
  h.sequence_number = request.sequence_number;
  bool messageId = false;
  switch (request.command_id) {
  case kEnquireLink:
  case kUnbind:
    h.command_id = ResponseOf(request.command_id);
    break;
  default:
    if ((request.command_id & kResponseBit) == 0 && request.command_id != kDeliverSm) {
      h.command_id = kGenericNack;
      h.command_status = kESME_RINVCMDID;
    } else {
      h.command_id = ResponseOf(request.command_id);
      messageId = true;
    }
    break;
  }
  FBuffer.clear();
  AddHeader(h);
  if (messageId)
    AddCString(std::string());
  PatchLength(FBuffer);
}

// ---------------------------------------------------------------------------
// Decoders

void TxcSMSCMessageSMPP::DecodeLoginRspMsg() {
  int i = 0;
  TMsgHeaderSMPP h = GetHeader(i);
  if (h.command_id == kGenericNack) {
    FResultCode = rcGeneralError;
    return;
  }
  FResultCode = static_cast<int32_t>(h.command_status);
  GetCString(i); // system_id, not kept
}

void TxcSMSCMessageSMPP::DecodeSubmitRspMsg() {
  int i = 0;
  TMsgHeaderSMPP h = GetHeader(i);
  if (h.command_id == kGenericNack) {
    FResultCode = rcGeneralError;
    return;
  }
  FResultCode = static_cast<int32_t>(h.command_status);
  FMessageID = GetCString(i); // empty when the response has no body
}

bool TxcSMSCMessageSMPP::IsThrottled() const {
  return FResultCode == kThrottled;
}

void TxcSMSCMessageSMPP::GetSubmitResult(TxcPartResult& Part) const {
  Part.Result = FResultCode;
  if (FResultCode == rcOk)
    Part.MessageID = FMessageID;
}

std::string TxcSMSCMessageSMPP::SarConcatElement() const {
  // The optional parameters behind short_message: walk the mandatory part
  // as the decoder does.
  int i = 0;
  GetHeader(i);
  for (int n = 0; n < 3; ++n) {
    if (n > 0) {
      OctetAt(FBuffer, i); // TON
      OctetAt(FBuffer, i); // NPI
    }
    GetCString(i); // service_type, source_addr, destination_addr
  }
  for (int n = 0; n < 3; ++n)
    OctetAt(FBuffer, i); // esm_class, protocol_id, priority_flag
  GetCString(i);         // schedule_delivery_time
  GetCString(i);         // validity_period
  for (int n = 0; n < 4; ++n)
    OctetAt(FBuffer, i); // registered_delivery ... sm_default_msg_id
  int smLength = OctetAt(FBuffer, i);
  i = std::min(Size(), i + smLength);
  TByteDynArray tlvs(FBuffer.begin() + i, FBuffer.end());
  int t = 0, tag = 0, ref = -1, total = -1, seq = -1;
  TByteDynArray v;
  while (GetTLV(tlvs, t, tag, v)) {
    if (tag == kTagSarMsgRefNum && v.size() == 2)
      ref = v[0] << 8 | v[1];
    else if (tag == kTagSarTotalSegments && v.size() == 1)
      total = v[0];
    else if (tag == kTagSarSegmentSeqnum && v.size() == 1)
      seq = v[0];
  }
  if (ref < 0 || total < 2 || seq < 1 || seq > total)
    return {};
  TByteDynArray ie = {0x08,
                      0x04,
                      static_cast<uint8_t>(ref >> 8),
                      static_cast<uint8_t>(ref),
                      static_cast<uint8_t>(total),
                      static_cast<uint8_t>(seq)};
  return BinToHexStr(ie);
}

void TxcSMSCMessageSMPP::DecodeAliveRspMsg() {
  int i = 0;
  FResultCode = GetHeader(i).command_id == kGenericNack ? rcGeneralError : 0;
}

void TxcSMSCMessageSMPP::DecodeReceiveMsg(TReceiveMessageType& MsgType, std::string& MessageID,
                                          std::string& Destination, uint8_t& DestTON,
                                          uint8_t& DestNPI, std::string& Originator,
                                          uint8_t& OrigTON, uint8_t& OrigNPI,
                                          std::u16string& SMText, TxcEncodingType& Encoding,
                                          std::string& UserDataHeader, uint8_t& SMStatus,
                                          int& FailureReason) const {
  int i = 0;
  GetHeader(i);
  GetCString(i); // service_type
  OrigTON = OctetAt(FBuffer, i);
  OrigNPI = OctetAt(FBuffer, i);
  Originator = GetCString(i);
  DestTON = OctetAt(FBuffer, i);
  DestNPI = OctetAt(FBuffer, i);
  Destination = GetCString(i);

  uint8_t esmClass = OctetAt(FBuffer, i);
  MsgType = (esmClass & (kEsmDeliveryReceipt | kEsmIntermediate)) != 0 ? mtStatusReport : mtDeliver;
  bool hasHeader = (esmClass & kEsmUDHI) != 0;

  OctetAt(FBuffer, i); // protocol_id
  OctetAt(FBuffer, i); // priority_flag
  GetCString(i);       // schedule_delivery_time
  GetCString(i);       // validity_period
  OctetAt(FBuffer, i); // registered_delivery
  OctetAt(FBuffer, i); // replace_if_present_flag
  uint8_t dataCoding = OctetAt(FBuffer, i);
  Encoding = EncodingOf(dataCoding);
  OctetAt(FBuffer, i); // sm_default_msg_id
  int smLength = OctetAt(FBuffer, i);
  int available = Size() - i;
  if (smLength > available)
    smLength = available; // sm_length past the end: what is there
  int at = i;
  TByteDynArray shortMessage = GetByteDynArray(at, smLength);
  i = at;

  // Optional parameters: every octet behind short_message.
  TByteDynArray tlvs(FBuffer.begin() + i, FBuffer.end());
  if (shortMessage.empty()) {
    // The text may travel in message_payload instead (longer than 254).
    int t = 0, tag = 0;
    TByteDynArray v;
    while (GetTLV(tlvs, t, tag, v))
      if (tag == kTagMessagePayload) {
        shortMessage = std::move(v);
        break;
      }
    smLength = static_cast<int>(shortMessage.size());
  }

  TByteDynArray header, text;
  BinSplit(shortMessage, false, hasHeader, smLength, header, text);
  UserDataHeader = BinToHexStr(header);
  switch (Encoding) {
  case et7BitText:
    // IA5 (0x01) and Latin-1 (0x03) are octets of their own; the SMSC's
    // default alphabet (0x00) and the GSM groups read by FTextCoding.
    SMText = OctetTextToWide(BinToStr(text),
                             FTextCoding == tcGSM && dataCoding != 0x01 && dataCoding != 0x03);
    break;
  case et8BitHexadecimal:
    SMText = AnsiToWide(BinToHexStr(text));
    break;
  case etUCS2Text:
    SMText = BinToWideString(text);
    break;
  }

  // The receipt text. A word without ":" leaves the previous pair in place
  // (GetFieldValue), so the pair is cleared before each word: a repeated
  // pair is never counted twice, and each of the three keys counts once.
  MessageID.clear();
  SMStatus = 0;
  FailureReason = -1;
  std::string receipt = WideToAnsi(SMText);
  unsigned seen = 0; // bit 0 id, bit 1 stat, bit 2 err
  int position = 1;
  std::string key, value;
  for (;;) {
    key.clear();
    value.clear();
    if (!GetFieldValue(receipt, position, key, value))
      break;
    if (key == "text" || key == "Text")
      break; // the quoted start of the message: anything may follow
    if (key == "id") {
      MessageID = value;
      seen |= 1u;
    } else if (key == "stat") {
      SMStatus = StatusWordToState(value);
      seen |= 2u;
    } else if (key == "err") {
      FailureReason = StrToIntDef(value, -1);
      seen |= 4u;
    }
  }
  if (seen == 7u)
    MsgType = mtStatusReport;

  // The optional parameters replace what the text said.
  int t = 0, tag = 0;
  TByteDynArray v;
  while (GetTLV(tlvs, t, tag, v)) {
    switch (tag) {
    case kTagReceiptedMessageId: {
      // A C-octet string: up to its zero octet (all of it without one).
      auto zero = std::find(v.begin(), v.end(), uint8_t{0});
      MessageID.assign(v.begin(), zero);
      break;
    }
    case kTagNetworkErrorCode:
      if (v.size() >= 3)
        FailureReason = v[0] << 16 | v[1] << 8 | v[2];
      break;
    case kTagMessageState:
      if (!v.empty())
        SMStatus = v[0];
      break;
    default:
      break;
    }
  }

  if (MsgType == mtStatusReport) {
    std::swap(Destination, Originator);
    std::swap(DestTON, OrigTON);
    std::swap(DestNPI, OrigNPI);
  }
}

// ---------------------------------------------------------------------------
// TxcGarvelSMPP

TxcGarvelSMPP::TxcGarvelSMPP(TComponent* AOwner)
    : TxcGarvel(AOwner, &MessageClass<TxcSMSCMessageSMPP>, "smpp") {}

TxcGarvelSMPP::~TxcGarvelSMPP() {
  StopThreads();
}

TxcSMSCMessageSMPP& TxcGarvelSMPP::GetInputMessage() const {
  return MessageAs<TxcSMSCMessageSMPP>(*FInputMessage,
                                       "the input message is not a TxcSMSCMessageSMPP");
}

TxcSMSCMessageSMPP& TxcGarvelSMPP::GetOutputMessage() const {
  return MessageAs<TxcSMSCMessageSMPP>(*FOutputMessage,
                                       "the output message is not a TxcSMSCMessageSMPP");
}

int TxcGarvelSMPP::InitializeSession(const std::string& SystemID, const std::string& Password,
                                     uint8_t TON, uint8_t NPI, const std::string& SystemType,
                                     TxcBindModeSMPP BindMode) {
  int r = InternalInitializeSession();
  if (State() == rsInitialized) {
    r = Login(SystemID, Password, TON, NPI, SystemType, BindMode);
    if (r == rcOk) {
      FBindMode.store(BindMode);
      TRelayState expected = rsInitialized;
      // Not when the link broke meanwhile (the disconnect is on its way).
      FState.compare_exchange_strong(expected, rsLoggedIn);
    }
  }
  return r;
}

int TxcGarvelSMPP::Login(const std::string& SystemID, const std::string& Password, uint8_t TON,
                         uint8_t NPI, const std::string& SystemType, TxcBindModeSMPP BindMode) {
  TOutputLock lock(*this);
  if (!lock)
    return rcTimeOut;
  if (!Out().EncodeLoginMsg(SystemID, Password, TON, NPI, SystemType, BindMode))
    return rcCannotCarry;
  return InternalLogin();
}

int TxcGarvelSMPP::Alive() {
  TOutputLock lock(*this);
  if (!lock)
    return rcTimeOut;
  Out().EncodeAliveMsg();
  return InternalAlive();
}

int TxcGarvelSMPP::Logout() {
  TOutputLock lock(*this);
  if (!lock)
    return rcTimeOut;
  Out().EncodeLogoutMsg();
  return InternalLogout();
}

int TxcGarvelSMPP::SubmitMessage(const std::string& Destination, uint8_t DestTON, uint8_t DestNPI,
                                 const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI,
                                 const std::u16string& SMText, TxcEncodingType Encoding,
                                 const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                                 std::string& MessageID) {
  return SubmitMessageEx(Destination, DestTON, DestNPI, Originator, OrigTON, OrigNPI, SMText,
                         Encoding, UserDataHeader, Options, 0, 0, MessageID);
}

int TxcGarvelSMPP::SubmitMessageEx(const std::string& Destination, uint8_t DestTON, uint8_t DestNPI,
                                   const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI,
                                   const std::u16string& SMText, TxcEncodingType Encoding,
                                   const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                                   TDateTime DeliveryTime, TDateTime ValidityPeriod,
                                   std::string& MessageID) {
  int r;
  TResponse response;
  if (State() == rsLoggedIn && FBindMode.load() == bmReceiver) {
    r = rcWrongState; // a receiver may not submit: nothing is sent
  } else if (TSubmitSlot slot(*this); !slot) {
    r = slot.Result();
  } else {
    TOutputLock lock(*this);
    if (lock)
      Out().FTextCoding = TextCoding();
    if (!lock)
      r = rcTimeOut;
    else if (Out().EncodeSubmitMsg(Destination, DestTON, DestNPI, Originator, OrigTON, OrigNPI,
                                   SMText, Encoding, UserDataHeader, Options, DeliveryTime,
                                   ValidityPeriod))
      r = InternalSubmitMessage(&response);
    else
      r = rcCannotCarry;
  }
  auto* answer = dynamic_cast<TxcSMSCMessageSMPP*>(response.get());
  if (answer && answer->GetMessageType() == mtSubmitRsp) {
    FSubmitMessageID8 = answer->FMessageID;
    FSubmitMessageID = AnsiToWide(FSubmitMessageID8);
  }
  MessageID = FSubmitMessageID8;
  return r;
}

int TxcGarvelSMPP::SubmitMessageAsync(const std::string& Destination, uint8_t DestTON,
                                      uint8_t DestNPI, const std::string& Originator,
                                      uint8_t OrigTON, uint8_t OrigNPI,
                                      const std::u16string& SMText, TxcEncodingType Encoding,
                                      const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                                      TDateTime DeliveryTime, TDateTime ValidityPeriod,
                                      TSubmitTicket& Ticket) {
  Ticket = 0;
  if (State() == rsLoggedIn && FBindMode.load() == bmReceiver)
    return rcWrongState;
  std::vector<TxcTextPart> parts;
  if (!PartsToSubmit(
          SMText, Encoding, UserDataHeader, SplitLongMessages(),
          [this] { return NextConcatReference(); }, parts))
    return rcCannotCarry;
  TxcTextCoding coding = TextCoding();
  return SubmitParts(
      static_cast<int>(parts.size()),
      [&](int Part) {
        const TxcTextPart& p = parts[static_cast<size_t>(Part)];
        Out().FTextCoding = coding;
        return Out().EncodeSubmitMsg(Destination, DestTON, DestNPI, Originator, OrigTON, OrigNPI,
                                     p.Text, Encoding, p.UserDataHeader, Options, DeliveryTime,
                                     ValidityPeriod)
                   ? rcOk
                   : rcCannotCarry;
      },
      Ticket);
}

int TxcGarvelSMPP::MaxWindowSize() const {
  return 1000;
}

void TxcGarvelSMPP::Raise(const TReceived& M, bool Joined) {
  OnMessageReceived(this, M.Destination, M.DestTON, M.DestNPI, M.Originator, M.OrigTON, M.OrigNPI,
                    M.SMText, M.Encoding, Joined ? M.UserDataHeader : M.RawHeader);
}

bool TxcGarvelSMPP::ReleaseHeldParts(bool All) {
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

bool TxcGarvelSMPP::MessageReceived(TxcSMSCMessage& Message) {
  auto* m = dynamic_cast<TxcSMSCMessageSMPP*>(&Message);
  if (!m)
    throw EInvalidCast(std::string("MessageReceived needs a TxcSMSCMessageSMPP, not ") +
                       typeid(Message).name());
  int i = 0;
  TMsgHeaderSMPP h = m->GetHeader(i);
  if (h.command_id != kDeliverSm)
    return false; // the receive side answers every other request itself
  TReceiveMessageType type = mtDeliver;
  std::string messageID, destination, originator, udh;
  uint8_t destTON = 0, destNPI = 0, origTON = 0, origNPI = 0, smStatus = 0;
  std::u16string text;
  TxcEncodingType encoding = et7BitText;
  int failureReason = -1;
  m->FTextCoding = TextCoding();
  m->DecodeReceiveMsg(type, messageID, destination, destTON, destNPI, originator, origTON, origNPI,
                      text, encoding, udh, smStatus, failureReason);
  if (type == mtDeliver) {
    if (!OnMessageReceived)
      return false;
    TReceived r{destination, originator, destTON,  destNPI, origTON,
                origNPI,     text,       encoding, udh,     udh};
    if (!ReassembleMessages()) {
      Raise(r, false);
      return true;
    }
    TxcConcatInfo info;
    std::string rest;
    if (!FindConcatInfo(udh, info, rest)) {
      // SMPP's own way: the sar_ parameters, read as a 16-bit reference
      // element so that both kinds join the same way.
      std::string sar = m->SarConcatElement();
      if (!sar.empty()) {
        std::string joined = WithElement(udh, sar);
        if (!joined.empty())
          r.UserDataHeader = joined;
      }
    }
    FReassembler.SetTimeOut(std::chrono::milliseconds(ReassemblyTimeOut()));
    if (ReassembleOrRaise(FReassembler, originator + '\n' + destination, r,
                          std::chrono::steady_clock::now(),
                          [this](const TReceived& M, bool Joined) { Raise(M, Joined); }))
      NeedHousekeeping();
    return true;
  }
  if (!OnStatusReportReceived)
    return false;
  OnStatusReportReceived(this, messageID, destination, destTON, destNPI, originator, origTON,
                         origNPI, smStatus, failureReason);
  return true;
}

} // namespace garvel::smpp
