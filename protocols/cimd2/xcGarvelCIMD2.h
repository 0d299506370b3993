// The CIMD2 protocol: the packet codec TxcSMSCMessageCIMD2 and the component
// TxcGarvelCIMD2 through which an application talks CIMD2 to an SMSC.
#pragma once

#include "GarvelExport.h"
#include "xcGarvel.h"
#include "xuSMSCConcat.h"
#include "xuSMSCExtractSM.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace garvel::cimd2 {

/// Packet delimiters and the separator behind every parameter.
constexpr uint8_t kSTX = 0x02;
constexpr uint8_t kETX = 0x03;
constexpr uint8_t kTAB = 0x09;
/// STX, "OO:NNN" and TAB.
constexpr int kHeaderSize = 8;
/// Longest packet the reader waits for; an STX without an ETX within this
/// many bytes is skipped.
constexpr int kMaxPacketSize = 65536;

/// Operation codes.
enum : int {
  opLogin = 1,
  opLogout = 2,
  opSubmit = 3,
  opDeliver = 20,
  opStatusReport = 23,
  opAlive = 40,
  opResponse = 50, ///< added to a request's code for its response
  opLoginRsp = 51,
  opLogoutRsp = 52,
  opSubmitRsp = 53,
  opDeliveryRequestRsp = 55,
  opAliveRsp = 90,
  opGeneralError = 98,
  opNack = 99
};

/// Parameter codes.
enum : int {
  pmUserIdentity = 10,
  pmPassword = 11,
  pmDestination = 21,
  pmOriginator = 23,
  pmAlphaOriginator = 27,
  pmDataCoding = 30,
  pmUserDataHeader = 32,
  pmUserData = 33,
  pmUserDataBinary = 34,
  pmStatusReportRequest = 56,
  pmTimeStamp = 60,
  pmStatusCode = 61,
  pmStatusErrorCode = 62,
  pmDischargeTime = 63,
  pmErrorCode = 900
};

/// The user data text (parameter 033) in CIMD2's own form: the GSM 03.38
/// default alphabet written in 7-bit characters, with the characters that
/// have no such character as special combinations ("_Oa" for "@", "_--" for
/// "_", "_XX(" for "{"...). False when Text holds a character the GSM
/// alphabet (with its extension table) lacks.
GARVEL_API bool TextToCIMD2(const std::u16string& Text, std::string& UserData);
/// The reverse. Unknown combinations and 8-bit characters read as the
/// Windows-1252 characters they are; a plain "@", "$", "]" and "}" read as
/// the GSM characters CIMD2 gives them ("@", "$", "Å", "å").
GARVEL_API std::u16string CIMD2ToText(const std::string& UserData);

/// One CIMD2 packet: STX, "OO:NNN" TAB, parameters "PPP:value" TAB, two
/// checksum digits, ETX.
///
/// Request encoders refuse, returning false with FBuffer and the packet
/// numbering untouched, a request the packet cannot carry: a TAB, STX or
/// ETX inside a value, text the chosen form cannot carry, or 8-bit text or
/// a header that is not hexadecimal. The component turns that into
/// rcCannotCarry and sends nothing.
///
/// Decoders read FBuffer from its start and never read past its end. The
/// only exception they raise is EConvertError from a time stamp that is not
/// a valid date and time (TimeStrToDateTime); the submit response decoder
/// catches it (the submit was accepted all the same).
///
/// Not thread-safe; the relay hands message objects between threads.
class GARVEL_API TxcSMSCMessageCIMD2 : public TxcSMSCMessage {
public:
  TxcSMSCMessageCIMD2();
  ~TxcSMSCMessageCIMD2() override;

  // The parameterless slots of the base stay reachable (and abstract).
  using TxcSMSCMessage::DecodeReceiveMsg;
  using TxcSMSCMessage::DecodeStatusReportMsg;
  using TxcSMSCMessage::EncodeLoginMsg;
  using TxcSMSCMessage::EncodeSubmitMsg;

  // --- Building a packet (each appends to FBuffer) ------------------------

  /// "OO:NNN" and TAB: both numbers zero-padded (their last two or three
  /// decimal digits).
  void AddHeader(int OperationCode, int PacketNumber);
  /// "PPP:" Value TAB. Value is written as it is.
  void AddParam(int Code, const std::string& Value);
  void AddStringParam(int Code, const std::string& Value);
  void AddIntegerParam(int Code, int Value);
  /// FPacketNumber, which then advances by 2 modulo 256 (1, 3, ... 255, 1).
  int GetPacketNumber();
  /// Sum of every byte of FBuffer, modulo 256.
  int CalculateCheckSum() const;
  /// True when Value can travel as a parameter value: no TAB, STX or ETX.
  static bool CanCarry(const std::string& Value);

  // --- Reading a packet ------------------------------------------------------

  /// Takes one packet off Client's stream. Bytes before an STX are dropped;
  /// a packet that a new STX cuts short is dropped; an STX with no ETX
  /// within kMaxPacketSize bytes is skipped. While a packet is incomplete the
  /// reader waits for new bytes (no spin).
  bool ReadMessage(TxcTcpClient& Client) override;
  /// Parses the header from the start of FBuffer: Pos ends at offset 8.
  /// Numbers that do not parse (or are cut off) give -1.
  void GetHeader(int& Pos, int& OperationCode, int& PacketNumber) const;
  /// Reads the parameter at Pos: false (Value untouched) when no three-digit
  /// code stands there (the checksum ends the list).
  bool GetParam(int& Pos, int& Code, std::string& Value) const;
  /// 20 mtDeliver, 23 mtStatusReport, 40 mtAlive, 51 mtLoginRsp, 52
  /// mtLogoutRsp, 53 mtSubmitRsp, 55 mtRequestDeliveryRsp, 90 mtAliveRsp,
  /// 98 mtGeneralError, 99 mtNack; anything else mtUnknown.
  TReceiveMessageType GetMessageType() const override;
  /// The SMSC's alive (40) is answered at once with 90.
  TControlAction GetControlAction() const override;
  /// On a request just encoded: its packet number and the code of its
  /// response (code + 50).
  bool GetRequestKey(TMessageKey& Key) const override;
  /// On a response (50..99): its packet number and code; 98 and 99 answer
  /// whatever request holds their packet number.
  bool GetResponseKey(TMessageKey& Key) const override;
  /// "53:003 900:300".
  std::string Describe() const override;
  int GetMaxMessageSize() const override;
  /// FPacketNumber := 1; called on the output message when a session starts.
  void Reset() override;
  std::unique_ptr<TxcSMSCMessage> NewInstance() const override;

  // --- Encoders --------------------------------------------------------------

  /// Login (01): 010 = User, 011 = Password.
  bool EncodeLoginMsg(const std::string& User, const std::string& Password);
  /// Logout (02), no parameters.
  void EncodeLogoutMsg();
  /// Submit (03): 021 = Destination; 027 (alphanumeric) or 023 = Originator,
  /// none when empty; 030 = data coding when not 0 (4 8-bit, 8 UCS-2, plus
  /// 16 with soDirectDisplay); 032 = UserDataHeader when given
  /// (hexadecimal); the text: et7BitText 033 in CIMD2's form (TextToCIMD2)
  /// or, with FSpecialCombinations off, its Windows-1252 octets;
  /// et8BitHexadecimal 034 = the caller's hexadecimal digits; etUCS2Text 034
  /// = UCS-2 in hexadecimal; 056 = "63" with soRequestStatusReport.
  bool EncodeSubmitMsg(const std::string& Destination, const std::string& Originator,
                       const std::u16string& SMText, TxcEncodingType Encoding,
                       const std::string& UserDataHeader, TxcSubmitOptionSet Options);
  /// Alive (40), no parameters.
  void EncodeAliveMsg() override;
  /// The positive response (code + 50) to the request Message, under its
  /// packet number, no parameters. Throws EInvalidCast when Message is not
  /// a TxcSMSCMessageCIMD2.
  void EncodeResponseMsg(TxcSMSCMessage& Message) override;

  // --- Decoders --------------------------------------------------------------

  /// A delivered message (20): 021 Destination, 023 (or 027 without it)
  /// Originator, 030 data coding, 032 header, 033 text (in CIMD2's form,
  /// see FSpecialCombinations) or 034 binary (hexadecimal; UCS-2 when the
  /// coding says so), 060 TimeStamp. Outputs start empty, et7BitText and 0.
  /// Throws EConvertError when 060 is not a valid date and time.
  void DecodeReceiveMsg(std::string& Destination, std::string& Originator, std::u16string& SMText,
                        TxcEncodingType& Encoding, std::string& UserDataHeader,
                        TDateTime& TimeStamp) const;
  /// A status report (23): 060 MessageTimeStamp (0 without), 021
  /// Destination, 061 SMStatus (255 without or outside 0..255), 062
  /// FailureReason (-1 without), 063 TimeStamp (0 without). Throws
  /// EConvertError when 060 or 063 is not a valid date and time.
  void DecodeStatusReportMsg(TDateTime& MessageTimeStamp, std::string& Destination,
                             uint8_t& SMStatus, int& FailureReason, TDateTime& TimeStamp) const;
  /// FResultCode := 0, or the 900 error code (rcGeneralError when it is not
  /// a positive number).
  void DecodeLoginRspMsg() override;
  /// As DecodeLoginRspMsg; FTimeStamp := 060 (0 when missing or not a valid
  /// date and time).
  void DecodeSubmitRspMsg() override;
  /// FResultCode, and FTimeStamp when it is 0.
  void GetSubmitResult(TxcPartResult& Part) const override;
  /// As DecodeLoginRspMsg.
  void DecodeAliveRspMsg() override;

  /// The SMSC time stamp of the last submit response decoded here.
  TDateTime FTimeStamp = 0;
  /// The packet number the next request takes: 0 new, 1 after Reset.
  int32_t FPacketNumber = 0;
  /// Text (033) in CIMD2's special combinations (true, the component's
  /// default) or as raw octets.
  bool FSpecialCombinations = true;

private:
  // FResultCode from the 900 parameters of a response.
  void DecodeErrorCode();
  // Empties FBuffer and starts a packet.
  void Begin(int OperationCode, int PacketNumber);
  // Appends the checksum and ETX.
  void End();
};

/// A CIMD2 time stamp, YYMMDDhhmmss (years 2000..2099), as a TDateTime.
/// Missing or unparsable pairs count as 0. Throws EConvertError when the
/// numbers do not form a valid date and time.
GARVEL_API TDateTime TimeStrToDateTime(const std::string& S);

/// OnMessageReceived(Sender, Destination, Originator, SMText, Encoding,
/// UserDataHeader, TimeStamp). UserDataHeader is hexadecimal text.
using TMessageReceivedEvent = std::function<void(
    TObject* Sender, const std::string& Destination, const std::string& Originator,
    const std::u16string& SMText, TxcEncodingType Encoding, const std::string& UserDataHeader,
    TDateTime TimeStamp)>;

/// OnStatusReportReceived(Sender, MessageTimeStamp, Destination, SMStatus,
/// FailureReason, TimeStamp).
using TStatusReportReceivedEvent =
    std::function<void(TObject* Sender, TDateTime MessageTimeStamp, const std::string& Destination,
                       uint8_t SMStatus, int FailureReason, TDateTime TimeStamp)>;

/// The CIMD2 component: a session with an SMSC over CIMD2.
///
/// Threads. Create it, call every operation and pump the notification queue
/// on one thread (the "main" thread); OnMessageReceived,
/// OnStatusReportReceived, OnDisconnected and OnError run there. Alive also
/// runs on the keep-alive thread. Requests block the caller until the
/// SMSC's response or ResponseTimeOut.
///
/// Requests carry the packet numbers 1, 3, 5, ... 255, 1 (from 1 in every
/// session); a number is taken only by a packet that is sent. Responses are
/// matched by packet number and operation: a late or stray one is dropped
/// and reported through OnError; a 98 or 99 answers the request holding its
/// packet number with -3. The SMSC's alive (40) is answered at once by the
/// receive thread.
///
/// Results of the requests: rcOk (0), rcTimeOut (-1: no response in time,
/// or the link broke), rcWrongState (-2: nothing sent), rcGeneralError (-3:
/// 98, 99, or an error code that is not a positive number), rcCannotCarry
/// (-4: a value the packet cannot carry, nothing sent), or the SMSC's error
/// code (900).
///
/// Teardown. The destructor stops and joins the worker threads before
/// anything of this object goes away; it raises no event.
class GARVEL_API TxcGarvelCIMD2 : public TxcGarvel {
public:
  explicit TxcGarvelCIMD2(TComponent* AOwner);
  ~TxcGarvelCIMD2() override;

  using TxcGarvel::InitializeSession;
  using TxcGarvel::Login;
  using TxcGarvel::SubmitMessage;

  /// Starts the session on a connection opened with Connect and logs in.
  /// Returns 0 and state rsLoggedIn, or the login's result leaving
  /// rsInitialized; called again in rsInitialized it logs in again. -2 in
  /// any other state; -4 when User or Password cannot be carried (nothing
  /// changes). Blocks up to ResponseTimeOut.
  int InitializeSession(const std::string& User, const std::string& Password);
  /// Sends a login (01) and waits for its response (51); changes no state.
  /// -2 before the session has started.
  int Login(const std::string& User, const std::string& Password);
  /// Sends an alive (40) and waits for 90 (any thread): 0, the error code
  /// of a 90 that carries one, -1, -2 before the session has started.
  int Alive() override;
  /// Sends a logout (02) and waits at most LogoutTimeOut for 52; called by
  /// Disconnect while logged in.
  int Logout() override;
  /// Sends a submit (03) and waits for 53. Returns 0, -1, -2 (not
  /// rsLoggedIn), -3, -4, or the error code. TimeStamp always receives
  /// SubmitTimeStamp() afterwards: the 060 of this submit's response when it
  /// came (0 when it carried none or an unreadable one), else the one
  /// before.
  int SubmitMessage(const std::string& Destination, const std::string& Originator,
                    const std::u16string& SMText, TxcEncodingType Encoding,
                    const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                    TDateTime& TimeStamp);

  /// SubmitMessage without waiting for the response: 0 and a ticket whose
  /// outcome OnSubmitCompleted brings (the 060 in each part's TimeStamp),
  /// or -1, -2 or -4 with Ticket 0 when nothing was sent. A text too long
  /// for one message goes, with SplitLongMessages, as concatenated parts
  /// (153 GSM characters, 134 octets or 67 UCS-2 characters each, less the
  /// caller's header), each a submit of its own under one ticket; without
  /// it, -4. Waits only for the window, the rate and the back-off.
  int SubmitMessageAsync(const std::string& Destination, const std::string& Originator,
                         const std::u16string& SMText, TxcEncodingType Encoding,
                         const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                         TSubmitTicket& Ticket);
  /// Packet numbers are the 128 odd numbers 1-255: at most 128 in flight.
  int MaxWindowSize() const override;

  /// Main thread, for a delivered message (20): decodes it and raises
  /// OnMessageReceived; true (answered with 70) when a handler is assigned.
  /// With ReassembleMessages the parts of a concatenated message are
  /// answered and held, and raised as one message (its header without the
  /// concatenation element) when the last comes.
  bool MessageReceived(TxcSMSCMessage& Message) override;
  /// Main thread, for a status report (23): raises OnStatusReportReceived;
  /// true (answered with 73) when a handler is assigned.
  bool StatusReportReceived(TxcSMSCMessage& Message) override;

  TxcSMSCMessageCIMD2& GetInputMessage() const;
  TxcSMSCMessageCIMD2& GetOutputMessage() const;

  /// See SubmitMessage.
  TDateTime SubmitTimeStamp() const { return FSubmitTimeStamp; }
  /// Whether 7-bit text travels in CIMD2's special combinations (true, the
  /// default) or as the raw Windows-1252 octets some SMSCs want. Both ways.
  bool SpecialCombinations() const { return FSpecialCombinations.load(); }
  void SetSpecialCombinations(bool Value) { FSpecialCombinations.store(Value); }

  TMessageReceivedEvent OnMessageReceived;
  TStatusReportReceivedEvent OnStatusReportReceived;

protected:
  bool ReleaseHeldParts(bool All) override;

private:
  TxcSMSCMessageCIMD2& Out() const { return GetOutputMessage(); }
  // Moves the output message's packet number past numbers a request for
  // Operation still waits under; under the output lock.
  void SkipPendingNumbers(int Operation);

  // A received message held for reassembly.
  struct TReceived {
    std::string Destination, Originator;
    std::u16string SMText;
    TxcEncodingType Encoding = et7BitText;
    std::string UserDataHeader;
    TDateTime TimeStamp = 0;
  };
  void Raise(const TReceived& Message, bool Joined);
  TxcReassembler<TReceived> FReassembler;

  TDateTime FSubmitTimeStamp = 0;
  std::atomic<bool> FSpecialCombinations{true};
};

} // namespace garvel::cimd2
