// The SEMA protocol: the message codec TxcSMSCMessageSEMA and the component
// TxcGarvelSEMA through which an application talks SEMA to an SMSC.
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

namespace garvel::sema {

/// Header: reference (4), class (1), operation (1), zero (2), body length (2).
constexpr int kHeaderSize = 10;
/// The largest message the body length can announce.
constexpr int kMaxMessageSize = kHeaderSize + 65535;

/// Operations (the class octet tells a request from its response).
enum : uint8_t {
  opSubmit = 0,
  opStatusReport = 4,
  opDeliver = 9,
  opRequestDelivery = 11,
  opLogin = 13
};

/// One SEMA message: the 10-octet header and the body, numbers least
/// significant octet first.
///
/// Request encoders refuse, returning false with FBuffer and the reference
/// numbering untouched, what the message cannot carry: a TON above 7 or an
/// NPI above 15, an address, user name or user data longer than its one
/// length octet counts, a body above 65535 octets, text the GSM alphabet
/// (through the translation table) or Windows-1252 lacks, or 8-bit text or
/// a header that is not hexadecimal. The component turns that into
/// rcCannotCarry and sends nothing.
///
/// The decoders of received messages stay inside the message: a length
/// that runs past the body, or an address length below 2, raises
/// ERangeError or EConvertError (the component then leaves the message
/// unacknowledged and reports it). Response decoders never raise.
///
/// Not thread-safe; the relay hands message objects between threads.
class GARVEL_API TxcSMSCMessageSEMA : public TxcSMSCMessage {
public:
  TxcSMSCMessageSEMA();
  ~TxcSMSCMessageSEMA() override;

  // The parameterless slots of the base stay reachable (and abstract).
  using TxcSMSCMessage::DecodeReceiveMsg;
  using TxcSMSCMessage::DecodeStatusReportMsg;
  using TxcSMSCMessage::EncodeLoginMsg;
  using TxcSMSCMessage::EncodeRequestDeliveryMsg;
  using TxcSMSCMessage::EncodeSubmitMsg;

  /// 10.
  int GetHeaderSize() const override;
  /// 10 + the body length at offset 8.
  int GetMessageSize() const override;
  /// kMaxMessageSize: every length the header can announce is framed.
  int GetMaxMessageSize() const override;
  /// mtResponse for class 1, else mtMessage.
  TReceiveMessageClass GetMessageClass() const override;
  /// Class 0: operation 4 mtStatusReport, 9 mtDeliver. Class 1: operation 0
  /// mtSubmitRsp, 11 mtRequestDeliveryRsp, 13 mtLoginRsp. Else mtUnknown.
  TReceiveMessageType GetMessageType() const override;
  /// On a request just encoded: its reference and operation.
  bool GetRequestKey(TMessageKey& Key) const override;
  /// On a response (class 1): its reference and operation.
  bool GetResponseKey(TMessageKey& Key) const override;
  /// "class 1 operation 0 reference 513".
  std::string Describe() const override;
  /// FReference := 1; called on the output message when a session starts.
  void Reset() override;
  std::unique_ptr<TxcSMSCMessage> NewInstance() const override;

  /// The reference the next request takes, which then advances by one
  /// (after 4294967295 comes 1: 0 is never used).
  uint32_t GetReference();

  // --- Encoders --------------------------------------------------------------

  /// Login (13): user name with its length octet, then the password.
  bool EncodeLoginMsg(const std::string& User, const std::string& Password);
  /// Submit (0): see the class comment for what is refused.
  bool EncodeSubmitMsg(const std::string& Destination, const std::string& Originator, uint8_t TON,
                       uint8_t NPI, const std::u16string& SMText, TxcEncodingType Encoding,
                       const std::string& UserDataHeader, TxcSubmitOptionSet Options);
  /// Request delivery (11) for Address with its numbering.
  bool EncodeRequestDeliveryMsg(const std::string& Address, uint8_t TON, uint8_t NPI);
  /// The acknowledgement of Message: its reference, class 1, its operation,
  /// body 0x00 (11 octets). Throws ERangeError when Message holds no header.
  void EncodeResponseMsg(TxcSMSCMessage& Message) override;

  // --- Decoders --------------------------------------------------------------

  /// A delivered message (class 0, operation 9). TimeStamp is read from 14
  /// octets after the user data when they form a valid YYMMDDhhmmss, else 0.
  /// The user data is capped at the septets (or octets) present.
  void DecodeReceiveMsg(std::string& Destination, uint8_t& DestTON, uint8_t& DestNPI,
                        std::string& Originator, uint8_t& OrigTON, uint8_t& OrigNPI,
                        std::u16string& SMText, TxcEncodingType& Encoding,
                        std::string& UserDataHeader, TDateTime& TimeStamp) const;
  /// A status report (class 0, operation 4). FailureReason is the failure
  /// octet for status 1 or 6, else -1. Throws EConvertError when a time text
  /// is not a valid date and time.
  void DecodeStatusReportMsg(std::string& MessageID, TDateTime& MessageTimeStamp,
                             std::string& Destination, std::string& Originator, uint8_t& OrigTON,
                             uint8_t& OrigNPI, uint8_t& SMStatus, int& FailureReason,
                             TDateTime& TimeStamp) const;
  /// FResultCode := the result octet (rcGeneralError for an empty body).
  /// For 0: FMessageID := the reference's decimal text and FTimeStamp := the
  /// time (0 when it is missing or not a valid date and time); a positive
  /// result cut short gives an empty FMessageID. Otherwise both are cleared.
  void DecodeSubmitRspMsg() override;
  /// FResultCode, and FMessageID and FTimeStamp when it is 0.
  void GetSubmitResult(TxcPartResult& Part) const override;
  /// FResultCode := the result octet (rcGeneralError for an empty body).
  void DecodeRequestDeliveryRspMsg() override;
  /// As DecodeRequestDeliveryRspMsg.
  void DecodeLoginRspMsg() override;

  std::string FMessageID;
  TDateTime FTimeStamp = 0;
  /// The reference the next request takes: 1 in a new object and after Reset.
  uint32_t FReference = 1;

private:
  // Header with the next reference, class 0, Operation; body written after.
  void Begin(uint8_t Operation);
  // Writes the body length.
  void End();
  // The result octet of a response, rcGeneralError without one.
  int ResultOctet() const;
};

/// A SEMA time text (YYMMDDhhmmss, two more characters not read) as a
/// TDateTime. Groups that are not numbers count as 0. Throws EConvertError
/// when the numbers do not form a valid date and time.
GARVEL_API TDateTime TimeStrToDateTime(const std::string& S);

/// OnMessageReceived(Sender, Destination, DestTON, DestNPI, Originator,
/// OrigTON, OrigNPI, SMText, Encoding, UserDataHeader, TimeStamp).
using TMessageReceivedEvent = std::function<void(
    TObject* Sender, const std::string& Destination, uint8_t DestTON, uint8_t DestNPI,
    const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI, const std::u16string& SMText,
    TxcEncodingType Encoding, const std::string& UserDataHeader, TDateTime TimeStamp)>;

/// OnStatusReportReceived(Sender, MessageID, MessageTimeStamp, Destination,
/// Originator, OrigTON, OrigNPI, SMStatus, FailureReason, TimeStamp).
using TStatusReportReceivedEvent = std::function<void(
    TObject* Sender, const std::string& MessageID, TDateTime MessageTimeStamp,
    const std::string& Destination, const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI,
    uint8_t SMStatus, int FailureReason, TDateTime TimeStamp)>;

/// The SEMA component: a session with an SMSC over SEMA.
///
/// A session starts by registering the application's own address:
/// InitializeSession sends a request-delivery poll, which the keep-alive
/// repeats. Where the SMSC wants a login first, call InitializeSession (its
/// poll is refused and the state stays rsInitialized), then Login, then
/// InitializeSession again, which polls again.
///
/// Threads. Create it, call every operation and pump the notification queue
/// on one thread; the events run there. Alive (the poll) also runs on the
/// keep-alive thread. Requests block until the SMSC's response or
/// ResponseTimeOut. Each request carries its own reference (1, 2, 3... in a
/// session) and only the response with that reference and operation
/// completes it; a late or stray response is dropped and reported through
/// OnError.
///
/// Results: rcOk (0), rcTimeOut (-1: no response in time, or the link
/// broke), rcWrongState (-2: nothing sent), rcGeneralError (-3: a response
/// without a result octet), rcCannotCarry (-4: nothing sent), or the SMSC's
/// result octet.
///
/// Teardown. The destructor stops and joins the worker threads before
/// anything of this object goes away; it raises no event.
class GARVEL_API TxcGarvelSEMA : public TxcGarvel {
public:
  explicit TxcGarvelSEMA(TComponent* AOwner);
  ~TxcGarvelSEMA() override;

  using TxcGarvel::InitializeSession;
  using TxcGarvel::Login;
  using TxcGarvel::SubmitMessage;

  /// Stores the address (TON 0..7, NPI 0..15, else -4 with nothing
  /// changed), starts the session on a connection opened with Connect and
  /// polls: 0 and rsLoggedIn, or the poll's result leaving rsInitialized;
  /// called again in rsInitialized it polls again. -2 in any other state
  /// (the address is still stored).
  int InitializeSession(const std::string& Originator, uint8_t TON, uint8_t NPI);
  /// A request-delivery poll for the stored address: its result octet, -1,
  /// or -2 before the session has started.
  int RequestDelivery() override;
  /// The keep-alive: RequestDelivery.
  int Alive() override;
  /// Sends a login (13) and waits for its response: its result octet, -1,
  /// -2 before the session has started, -4. Changes no state.
  int Login(const std::string& User, const std::string& Password);
  /// Sends a submit (0) and waits for its response. Returns 0, -1, -2 (not
  /// rsLoggedIn), -3, -4 or the result octet. MessageID and TimeStamp are
  /// this submit's after a response (empty and 0 after a refusal); after -1,
  /// -2 or -4 they repeat the previous submit's: read them on 0 only.
  int SubmitMessage(const std::string& Destination, const std::string& Originator, uint8_t TON,
                    uint8_t NPI, const std::u16string& SMText, TxcEncodingType Encoding,
                    const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                    std::string& MessageID, TDateTime& TimeStamp);

  /// SubmitMessage without waiting for the response: 0 and a ticket whose
  /// outcome OnSubmitCompleted brings (each part's MessageID and
  /// TimeStamp), or -1, -2 or -4 with Ticket 0 when nothing was sent. A text
  /// too long for one message goes, with SplitLongMessages, as concatenated
  /// parts (153 GSM characters, 134 octets or 67 UCS-2 characters each, less
  /// the caller's header), each a submit of its own under one ticket;
  /// without it, -4. Waits only for the window, the rate and the back-off.
  int SubmitMessageAsync(const std::string& Destination, const std::string& Originator, uint8_t TON,
                         uint8_t NPI, const std::u16string& SMText, TxcEncodingType Encoding,
                         const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                         TSubmitTicket& Ticket);
  /// References are 32-bit: 1000, the relay's own bound.
  int MaxWindowSize() const override;

  /// Main thread, for a delivered message: raises OnMessageReceived; true
  /// (acknowledged) when a handler is assigned. With ReassembleMessages the
  /// parts of a concatenated message are acknowledged and held, and raised
  /// as one message (its header without the concatenation element) when
  /// the last comes.
  bool MessageReceived(TxcSMSCMessage& Message) override;
  /// Main thread, for a status report: raises OnStatusReportReceived; true
  /// when a handler is assigned.
  bool StatusReportReceived(TxcSMSCMessage& Message) override;

  TxcSMSCMessageSEMA& GetInputMessage() const;
  TxcSMSCMessageSEMA& GetOutputMessage() const;

  /// The address given to the last InitializeSession, with its numbering.
  std::string Originator() const;
  uint8_t OriginatorTON() const { return FOriginatorTON.load(); }
  uint8_t OriginatorNPI() const { return FOriginatorNPI.load(); }
  /// See SubmitMessage.
  const std::u16string& SubmitMessageID() const { return FSubmitMessageID; }
  TDateTime SubmitTimeStamp() const { return FSubmitTimeStamp; }

  TMessageReceivedEvent OnMessageReceived;
  TStatusReportReceivedEvent OnStatusReportReceived;

protected:
  bool ReleaseHeldParts(bool All) override;

private:
  TxcSMSCMessageSEMA& Out() const { return GetOutputMessage(); }

  // A received message held for reassembly.
  struct TReceived {
    std::string Destination, Originator;
    uint8_t DestTON = 0, DestNPI = 0, OrigTON = 0, OrigNPI = 0;
    std::u16string SMText;
    TxcEncodingType Encoding = et7BitText;
    std::string UserDataHeader;
    TDateTime TimeStamp = 0;
  };
  void Raise(const TReceived& Message, bool Joined);
  TxcReassembler<TReceived> FReassembler;

  mutable std::mutex FOriginatorLock; // the keep-alive thread reads the address
  std::string FOriginator;
  std::atomic<uint8_t> FOriginatorTON{0};
  std::atomic<uint8_t> FOriginatorNPI{0};
  std::u16string FSubmitMessageID;
  TDateTime FSubmitTimeStamp = 0;
};

} // namespace garvel::sema
