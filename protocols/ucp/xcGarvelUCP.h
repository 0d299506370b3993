// The UCP (EMI) protocol: the frame codec TxcSMSCMessageUCP and the component
// TxcGarvelUCP through which an application talks UCP to an SMSC.
#pragma once

#include "GarvelExport.h"
#include "xcGarvel.h"
#include "xuSMSCConcat.h"
#include "xuSMSCExtractSM.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace garvel::ucp {

/// How TxcGarvelUCP keeps an idle line alive.
enum TxcKeepAliveOperationUCP : uint8_t {
  uoSMTAlert,       ///< an OT 31 alert to the session's own address
  uoFantomCallInput ///< an OT 01 call input to an empty address carrying "Keep-Alive"
};

/// Frame layout constants.
constexpr uint8_t kSTX = 0x02;
constexpr uint8_t kETX = 0x03;
/// Bytes from STX through the "/" behind LEN: enough to size a frame.
constexpr int kHeaderSize = 10;
/// Largest value LEN can hold: the characters between STX and ETX.
constexpr int kMaxLen = 99999;
/// Largest frame on the wire (STX + kMaxLen + ETX).
constexpr int kMaxFrameSize = kMaxLen + 2;
/// Smallest LEN of a frame: "TT/LLLLL/O/OT/" and two checksum digits.
constexpr int kMinLen = 16;
/// Longest alphanumeric originator an OAdC carries.
constexpr size_t kMaxAlphaNumeric = 11;

/// One UCP frame: STX, "TRN/LEN/O|R/OT/", fields each closed by "/", two
/// checksum digits, ETX.
///
/// Encoders (Encode...Msg) empty FBuffer and leave exactly one frame in it.
/// They refuse, returning false with FBuffer empty, a request the frame
/// cannot carry: a field value holding "/" (the field separator) or the
/// frame delimiters STX/ETX, or a frame longer than LEN can announce. The
/// component turns that into rcCannotCarry and sends nothing.
///
/// Decoders read FBuffer from its start and never read past its end: missing
/// fields read as empty, numbers that do not parse take the documented
/// defaults. The only exception they raise is EConvertError from a time
/// stamp that is not a valid date and time (TimeStrToDateTime).
///
/// Not thread-safe; the relay hands message objects between threads.
class GARVEL_API TxcSMSCMessageUCP : public TxcSMSCMessage {
public:
  TxcSMSCMessageUCP();
  ~TxcSMSCMessageUCP() override;

  // The parameterless slots of the base stay reachable (and abstract): the
  // operations below with parameters are new operations beside them.
  using TxcSMSCMessage::DecodeReceiveMsg;
  using TxcSMSCMessage::DecodeStatusReportMsg;
  using TxcSMSCMessage::EncodeAliveMsg;
  using TxcSMSCMessage::EncodeLoginMsg;
  using TxcSMSCMessage::EncodeSubmitMsg;

  // --- Building a frame (each appends to FBuffer) -------------------------

  /// Empties FBuffer, appends STX and the header (see AddHeader).
  void BeginFrame(int TRN, char OR, int OT);
  /// Appends "TRN/00000/OR/OT/": TRN and OT as two zero-padded digits (their
  /// last two decimal digits), LEN as a placeholder for UpdateLength.
  void AddHeader(int TRN, char OR, int OT);
  /// Writes Length as five zero-padded digits over bytes 4..8 (the LEN
  /// placeholder). Length must be 0..99999 and FBuffer at least 9 bytes long.
  void UpdateLength(int Length);
  /// Appends Value and "/". Value is written as it is.
  void AddParam(const std::string& Value);
  void AddStringParam(const std::string& Value);
  /// Appends the decimal text of Value and "/".
  void AddIntegerParam(int Value);
  /// Sum of the bytes of FBuffer from offset 1 to its end, modulo 256.
  int CalculateCheckSum() const;
  /// Ends a frame begun with BeginFrame and filled with Add...Param: writes
  /// LEN, appends the checksum and ETX. Returns false, emptying FBuffer, when
  /// the frame would exceed kMaxLen characters between STX and ETX.
  bool EndFrame();

  /// True when Value can travel as the text of one field: it holds no "/",
  /// STX or ETX.
  static bool CanCarry(const std::string& Value);

  // --- Reading a frame ----------------------------------------------------

  /// Parses the header from the start of FBuffer and leaves Pos at the first
  /// field (offset 15). Numbers that do not parse (or are cut off) give -1, a
  /// missing OR gives '\0'. The separators are skipped untested.
  void GetHeader(int& Pos, int& TRN, int& Len, char& OR, int& OT) const;
  /// Reads the field starting at Pos (up to the next "/" or the end of
  /// FBuffer) and moves Pos behind its "/". Past the end: empty values.
  void GetParam(int& Pos, std::string& Value) const;

  /// Takes one frame off Client's stream. Bytes before an STX are skipped;
  /// a frame counts only with its ETX where LEN puts it: a LEN that is not
  /// a number (or too small to hold a header), or an STX or ETX inside the
  /// announced frame, or another byte at its end, makes the reader skip that
  /// STX and resynchronise at the next one, without waiting for the rest of
  /// a frame that cannot be whole.
  bool ReadMessage(TxcTcpClient& Client) override;
  /// Always kHeaderSize (10).
  int GetHeaderSize() const override;
  /// LEN + 2. A LEN that is not a non-negative number, or a buffer that does
  /// not start with STX, gives 1: the reader then takes that one byte as a
  /// message (classified mtUnknown, dropped) and resynchronises on the next.
  int GetMessageSize() const override;
  /// mtResponse for "R", else mtMessage.
  TReceiveMessageClass GetMessageClass() const override;
  /// R/01 and R/31: mtAliveRsp; R/51: mtSubmitRsp; R/60: mtLoginRsp.
  /// O/01 and O/52: mtDeliver; O/53: mtStatusReport; O/31, the SMSC's alert:
  /// mtAlive (answered by the receive side at once). Everything else:
  /// mtUnknown (dropped unanswered).
  TReceiveMessageType GetMessageType() const override;
  /// kMaxFrameSize: LEN cannot announce more.
  int GetMaxMessageSize() const override;
  /// On an operation ("O") just encoded: its TRN and OT, which its result
  /// carries back.
  bool GetRequestKey(TMessageKey& Key) const override;
  /// On a result ("R"): the TRN and OT it answers. False for anything else.
  bool GetResponseKey(TMessageKey& Key) const override;
  /// The SMSC's alert (O/31, mtAlive) is answered at once, and so is any
  /// other operation the component does not serve (with EC 03, see
  /// EncodeResponseMsg); 01, 52 and 53 go to the component.
  TControlAction GetControlAction() const override;
  /// The bytes before the first STX.
  int FindMessageStart(const uint8_t* Data, int Count) const override;
  /// "O/52 TRN 05", "R/51 TRN 07 N EC 04".
  std::string Describe() const override;
  std::unique_ptr<TxcSMSCMessage> NewInstance() const override;

  // --- Encoders -------------------------------------------------------------

  /// OT 60 open session (STYP 1, VERS 0100), the password as hexadecimal
  /// text. False when Originator cannot be carried.
  bool EncodeLoginMsg(const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI,
                      const std::string& Password);
  /// OT 51 submit. An originator with a character other than digits and "+"
  /// goes out packed as an alphanumeric address (OTOA 5039), at most 11
  /// characters. SMText travels by Encoding: et7BitText as hexadecimal text
  /// of one octet per character by FTextCoding (Windows-1252 bytes or GSM
  /// codes; MT 3), et8BitHexadecimal as the caller's hexadecimal digits (MT 4),
  /// etUCS2Text as UCS-2 hexadecimal (MT 4). UserDataHeader is hexadecimal
  /// text placed in XSer behind service type 01: the caller gives the
  /// service length and the header octets. Options: soRequestStatusReport
  /// (NRq 1) and soDirectDisplay (flash, DCS bit 0x10); the others are
  /// ignored. False when Destination cannot be carried, the text has a
  /// character the coding lacks, the 8-bit text or UserDataHeader is not
  /// hexadecimal, the alphanumeric originator is too long, or the frame is
  /// too long.
  bool EncodeSubmitMsg(const std::string& Destination, const std::string& Originator,
                       const std::u16string& SMText, TxcEncodingType Encoding,
                       const std::string& UserDataHeader, TxcSubmitOptionSet Options);
  /// The keep-alive: OT 31 alert to Address (PID 0100), or OT 01 call input
  /// from Address to an empty address with the text "Keep-Alive". False when
  /// Address cannot be carried.
  bool EncodeAliveMsg(const std::string& Address, TxcKeepAliveOperationUCP Operation);
  /// The result of the received operation Message, under its TRN and OT.
  /// For an operation the component serves (01, 31, 52, 53) the positive
  /// result: "A//" for OT 01 and 31 (ACK, SM), "A///" otherwise (ACK, MVP,
  /// SM); for any other, the negative result "N/03/" (operation not
  /// supported). Throws EInvalidCast when Message is not a TxcSMSCMessageUCP.
  void EncodeResponseMsg(TxcSMSCMessage& Message) override;
  /// The negative result "N/EC/" of the received operation Message, under
  /// its TRN and OT (EC as two digits). Throws EInvalidCast as above.
  void EncodeNegativeResponseMsg(TxcSMSCMessage& Message, int EC);

  // --- Decoders -----------------------------------------------------------

  /// A received OT 01 or OT 52. Encoding starts at et7BitText and
  /// UserDataHeader empty; the other outputs are set as the frame gives them
  /// (SMText only for the message types it knows). UserDataHeader holds the
  /// header octets themselves, one character per octet. TimeStamp is SCTS
  /// for OT 52 and the local time now for OT 01. Throws EConvertError when
  /// SCTS is not a valid date and time.
  void DecodeReceiveMsg(std::string& Destination, std::string& Originator, std::u16string& SMText,
                        TxcEncodingType& Encoding, std::string& UserDataHeader,
                        TDateTime& TimeStamp) const;
  /// A received OT 53 delivery notification: Originator from AdC,
  /// Destination from OAdC, MessageTimeStamp from SCTS, SMStatus from Dst
  /// (255 when not a number), FailureReason from Rsn (-1 when not a number),
  /// TimeStamp from DSCTS. Throws EConvertError when SCTS or DSCTS is not a
  /// valid date and time.
  void DecodeStatusReportMsg(TDateTime& MessageTimeStamp, std::string& Destination,
                             std::string& Originator, uint8_t& SMStatus, int& FailureReason,
                             TDateTime& TimeStamp) const;
  /// Result of OT 60: FResultCode 0, or for "N" the EC (rcGeneralError when
  /// the EC is not a positive number).
  void DecodeLoginRspMsg() override;
  /// Result of OT 31 or OT 01: as DecodeLoginRspMsg.
  void DecodeAliveRspMsg() override;
  /// Result of OT 51: for "A" FResultCode 0 and, when SM carries a time part
  /// ("address:DDMMYYhhmmss"), FTimeStamp from it (EConvertError when it is
  /// not a valid date and time). Otherwise the EC (rcGeneralError when the
  /// EC is not a positive number).
  void DecodeSubmitRspMsg() override;
  /// FResultCode, and FTimeStamp when it is 0.
  void GetSubmitResult(TxcPartResult& Part) const override;

  /// The SMSC time stamp of the last positive submit result that carried
  /// one; 0 until then.
  TDateTime FTimeStamp = 0;
  /// How et7BitText travels (set by the component from its TextCoding).
  TxcTextCoding FTextCoding = tcWindows1252;
  /// The TRN the request encoders (login, submit, keep-alive) write: 1
  /// unless the caller sets it. The component numbers its requests through
  /// it, 00 to 99 and round again.
  int FTransactionNumber = 1;

private:
  // TRN and OT of a frame whose OR is OR.
  bool KeyOf(char OR, TMessageKey& Key) const;
  // Field N (from 1) of the frame, empty when missing.
  std::string Field(int N) const;
  // FResultCode from the EC of a negative result.
  void StoreErrorCode(const std::string& EC);
};

/// A UCP time stamp, DDMMYYhhmm or DDMMYYhhmmss (years 2000..2099), as a
/// TDateTime. Missing or unparsable pairs count as 0. Throws EConvertError
/// when the numbers do not form a valid date and time (so for "" too).
GARVEL_API TDateTime TimeStrToDateTime(const std::string& S);

/// An alphanumeric address for OAdC: two hexadecimal digits giving the
/// number of semi-octets the packed text uses, then the GSM 7-bit packed
/// text in hexadecimal. "ABC" gives "0641E110". Empty when the count does
/// not fit two digits (more than 145 septets).
GARVEL_API std::string EncodeAlphaNumericOriginator(const std::string& S);

/// OnMessageReceived(Sender, Destination, Originator, SMText, Encoding,
/// UserDataHeader, TimeStamp).
using TMessageReceivedEvent = std::function<void(
    TObject* Sender, const std::string& Destination, const std::string& Originator,
    const std::u16string& SMText, TxcEncodingType Encoding, const std::string& UserDataHeader,
    TDateTime TimeStamp)>;

/// OnStatusReportReceived(Sender, MessageTimeStamp, Destination, Originator,
/// SMStatus, FailureReason, TimeStamp).
using TStatusReportReceivedEvent = std::function<void(
    TObject* Sender, TDateTime MessageTimeStamp, const std::string& Destination,
    const std::string& Originator, uint8_t SMStatus, int FailureReason, TDateTime TimeStamp)>;

/// The UCP component: a session with an SMSC over UCP (EMI).
///
/// Threads. Create it, call every operation and pump the notification queue
/// on one thread (the "main" thread); OnMessageReceived,
/// OnStatusReportReceived, OnDisconnected and OnError run there. Alive also
/// runs on the keep-alive thread. Requests block the caller until the SMSC's
/// result or ResponseTimeOut. Each request takes the next transaction
/// number (01 first in a session, then 02... 99, 00, 01...) and only the
/// result with its TRN and OT completes it; a late or stray result is
/// dropped and reported through OnError. The SMSC's alerts (OT 31) are
/// answered by the receive thread as they arrive.
///
/// Results of the requests: rcOk (0), rcTimeOut (-1: no result in time, or
/// the link broke), rcWrongState (-2: nothing sent), rcCannotCarry (-4: a
/// value the frame cannot carry, nothing sent), rcGeneralError (-3: a
/// negative result without a usable error code), or the SMSC's error code
/// (EC) from a negative result.
///
/// Teardown. The destructor stops and joins the worker threads before
/// anything of this object goes away; it raises no event.
class GARVEL_API TxcGarvelUCP : public TxcGarvel {
public:
  explicit TxcGarvelUCP(TComponent* AOwner);
  ~TxcGarvelUCP() override;

  // The relay's parameterless requests stay reachable; Login and
  // SubmitMessage without parameters end in EAbstractError.
  using TxcGarvel::InitializeSession;
  using TxcGarvel::Login;
  using TxcGarvel::SubmitMessage;

  /// Starts the session on a connection opened with Connect: the receive
  /// thread (and keep-alive thread) start, then with DoLogin an OT 60 login
  /// is sent and its result awaited. Blocks up to ResponseTimeOut.
  /// Returns 0 and state rsLoggedIn (at once without DoLogin); -2 outside
  /// rsConnected (the originator is still stored for the keep-alives);
  /// -4 when Originator (or with DoLogin the login frame) cannot be carried
  /// (nothing changes); with DoLogin
  /// the login's result, leaving rsInitialized when it is not 0 (a new
  /// session then needs Disconnect and Connect).
  int InitializeSession(const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI,
                        const std::string& Password, bool DoLogin);
  /// Sends an OT 60 login and waits for its result, in any state; changes
  /// no state. The password travels as hexadecimal text, so any byte goes. Blocks up to
  /// ResponseTimeOut. 0, the EC, -1 or -4.
  int Login(const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI,
            const std::string& Password);
  /// Sends the keep-alive chosen by KeepAliveOperation from the session's
  /// originator and waits for its result (any thread). 0 or the EC (a
  /// negative result still shows a live line), -1 without result, -4 when
  /// the frame cannot be carried.
  int Alive() override;
  /// Sends an OT 51 submit and waits for its result. Blocks up to
  /// ResponseTimeOut. Returns 0, -1, -2 (not rsLoggedIn), -4, or the EC.
  /// TimeStamp always receives SubmitTimeStamp() afterwards: after a
  /// positive result the time stamp it carried (0 without one); after a
  /// failure the value before (0 if there has been none).
  int SubmitMessage(const std::string& Destination, const std::string& Originator,
                    const std::u16string& SMText, TxcEncodingType Encoding,
                    const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                    TDateTime& TimeStamp);

  /// SubmitMessage without waiting for the result: 0 and a ticket whose
  /// outcome OnSubmitCompleted brings (the SCTS in each part's TimeStamp),
  /// or -1, -2 or -4 with Ticket 0 when nothing was sent. A text too long
  /// for one message goes, with SplitLongMessages, as concatenated parts
  /// (153 GSM characters, 134 octets or 67 UCS-2 characters each, less the
  /// caller's header), each an OT 51 of its own under one ticket; without
  /// it, -4. Waits only for the window, the rate and the back-off.
  int SubmitMessageAsync(const std::string& Destination, const std::string& Originator,
                         const std::u16string& SMText, TxcEncodingType Encoding,
                         const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                         TSubmitTicket& Ticket);
  /// Transaction numbers run 00-99: at most 100 submits in flight.
  int MaxWindowSize() const override;

  /// Main thread, called by the relay for a received OT 01/52: decodes it
  /// and raises OnMessageReceived; true (acknowledge) when a handler is
  /// assigned. A message that cannot be decoded (an invalid SCTS) gets the
  /// negative result EC 02 at once, and the EConvertError goes on to the
  /// relay (OnError) before the handler runs.
  /// With ReassembleMessages the parts of a concatenated message are
  /// acknowledged and held, and raised as one message (its header without
  /// the concatenation element) when the last comes.
  bool MessageReceived(TxcSMSCMessage& Message) override;
  /// Main thread, for a received OT 53: decodes it and raises
  /// OnStatusReportReceived; true when a handler is assigned. Undecodable:
  /// as MessageReceived.
  bool StatusReportReceived(TxcSMSCMessage& Message) override;

  /// The relay's messages as UCP messages (EInvalidCast otherwise), for
  /// inspection: while a session runs the receive thread rewrites the input
  /// message and the keep-alive thread the output message.
  TxcSMSCMessageUCP& GetInputMessage() const;
  TxcSMSCMessageUCP& GetOutputMessage() const;

  TxcKeepAliveOperationUCP KeepAliveOperation() const { return FKeepAliveOperation.load(); }
  /// Any time; the keep-alive thread reads it each time it sends.
  void SetKeepAliveOperation(TxcKeepAliveOperationUCP Value) { FKeepAliveOperation.store(Value); }
  /// See SubmitMessage.
  TDateTime SubmitTimeStamp() const { return FSubmitTimeStamp; }
  /// The originator given to the last InitializeSession.
  std::string Originator() const;

  TMessageReceivedEvent OnMessageReceived;
  TStatusReportReceivedEvent OnStatusReportReceived;

protected:
  bool ReleaseHeldParts(bool All) override;

private:
  TxcSMSCMessageUCP& Out() const { return GetOutputMessage(); }

  // Numbers the next request of operation type OT, skipping numbers that a
  // request of that type still waits under; under the output lock.
  void NumberRequest(int OT);

  // A received message held for reassembly; UserDataHeader in hexadecimal.
  struct TReceived {
    std::string Destination, Originator;
    std::u16string SMText;
    TxcEncodingType Encoding = et7BitText;
    std::string UserDataHeader;
    TDateTime TimeStamp = 0;
  };
  void Raise(const TReceived& Message, bool Joined);
  TxcReassembler<TReceived> FReassembler;
  // Answers Message with the negative result EC.
  void Refuse(TxcSMSCMessage& Message, int EC);

  TDateTime FSubmitTimeStamp = 0;
  int FNextTRN = 1;
  mutable std::mutex FOriginatorLock; // the keep-alive thread reads FOriginator
  std::string FOriginator;
  std::atomic<TxcKeepAliveOperationUCP> FKeepAliveOperation{uoSMTAlert};
};

} // namespace garvel::ucp
