// The SMPP 3.4 protocol, ESME side: the PDU codec TxcSMSCMessageSMPP and the
// component TxcGarvelSMPP through which an application binds to an SMSC.
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

namespace garvel::smpp {

/// The four header fields of a PDU, in host byte order.
struct TMsgHeaderSMPP {
  uint32_t command_length = 0;
  uint32_t command_id = 0;
  uint32_t command_status = 0;
  uint32_t sequence_number = 0;
};

/// Which bind PDU opens the session.
enum TxcBindModeSMPP : uint8_t {
  bmTransceiver, ///< bind_transceiver: submit and receive
  bmTransmitter, ///< bind_transmitter: submit only
  bmReceiver     ///< bind_receiver: receive only
};

/// Size of the PDU header; command_length counts it.
constexpr int kHeaderSize = 16;
/// Largest PDU the reader frames; a longer command_length ends the session.
constexpr int kMaxPDUSize = 65536;
/// Largest short_message (user data header plus text) in octets.
constexpr int kMaxShortMessage = 254;
/// Longest values of the C-octet string fields we send (terminator not counted).
constexpr size_t kMaxSystemId = 15;
constexpr size_t kMaxPassword = 8;
constexpr size_t kMaxSystemType = 12;
constexpr size_t kMaxAddress = 20;

/// command_id values.
enum : uint32_t {
  kGenericNack = 0x80000000,
  kBindReceiver = 0x00000001,
  kBindTransmitter = 0x00000002,
  kSubmitSm = 0x00000004,
  kDeliverSm = 0x00000005,
  kUnbind = 0x00000006,
  kBindTransceiver = 0x00000009,
  kOutbind = 0x0000000B,
  kEnquireLink = 0x00000015,
  kAlertNotification = 0x00000102,
  kDataSm = 0x00000103,
  /// Set in the command_id of every response.
  kResponseBit = 0x80000000
};

/// command_status values the library itself sends or names.
enum : uint32_t {
  kESME_ROK = 0x00000000,
  kESME_RINVCMDID = 0x00000003, ///< invalid command_id: our answer to a request we do not serve
  kESME_RBINDFAIL = 0x0000000D,
  kESME_RINVPASWD = 0x0000000E
};

/// Tags of the optional parameters read from a deliver_sm.
enum : uint16_t {
  kTagReceiptedMessageId = 0x001E,
  kTagMessagePayload = 0x0424,
  kTagNetworkErrorCode = 0x0423,
  kTagMessageState = 0x0427,
  kTagSarMsgRefNum = 0x020C,
  kTagSarTotalSegments = 0x020E,
  kTagSarSegmentSeqnum = 0x020F
};

/// One SMPP 3.4 PDU: a 16-octet header (command_length, command_id,
/// command_status, sequence_number, each most significant octet first)
/// followed by the body. Text fields of the body are C-octet strings.
///
/// Encoders empty FBuffer and leave exactly one PDU in it. The request
/// encoders refuse, returning false before they take a sequence number or
/// touch FBuffer, a request the PDU cannot carry: a zero octet inside a
/// C-octet string field (it would end the field early for the receiver), a
/// value longer than its field (system_id 15 octets, password 8,
/// system_type 12, source_addr and destination_addr 20), text the chosen
/// coding cannot carry, 8-bit text or a header that is not hexadecimal,
/// user data above kMaxShortMessage octets (sm_length would not announce
/// it), or a time that is not a finite number. The component turns that
/// into rcCannotCarry and sends nothing.
///
/// Decoders read only inside FBuffer: a C-octet string without its zero
/// octet ends at the end of the PDU, fixed fields cut off by the end of the
/// PDU read as 0, an sm_length past the end takes the octets there are, and
/// a truncated optional parameter ends the walk over them. They never throw
/// for malformed input once the 16 header octets are there.
///
/// Correlation. A request's key is its sequence_number and the command_id
/// of its response; a response's key is its own sequence_number and
/// command_id, a generic_nack's its sequence_number with any operation. The
/// relay delivers a response only to the request that waits for that key.
///
/// Not thread-safe; the relay hands message objects between threads.
class GARVEL_API TxcSMSCMessageSMPP : public TxcSMSCMessage {
public:
  TxcSMSCMessageSMPP();
  ~TxcSMSCMessageSMPP() override;

  // The parameterless slots of the base stay reachable (and abstract): the
  // operations below with parameters are new operations beside them.
  using TxcSMSCMessage::DecodeReceiveMsg;
  using TxcSMSCMessage::EncodeLoginMsg;
  using TxcSMSCMessage::EncodeSubmitMsg;

  // --- Byte order and primitives -----------------------------------------

  static uint16_t ChangeByteOrderWord(uint16_t Value);
  static uint32_t ChangeByteOrderLongWord(uint32_t Value);
  /// Append and read most significant octet first. The readers throw
  /// ERangeError past the end of FBuffer, as the base ones do.
  void AddWord(uint16_t Value) override;
  void AddLongWord(uint32_t Value) override;
  uint16_t GetWord(int& Index) const override;
  uint32_t GetLongWord(int& Index) const override;
  /// Appends the octets of S and one zero octet. Throws EConvertError when S
  /// holds a zero octet itself (the field would end there for the reader).
  void AddCString(const std::string& S);
  /// Appends the four header fields: 16 octets.
  void AddHeader(const TMsgHeaderSMPP& Header);
  /// The octets from Index up to the next zero octet; Index ends behind it.
  /// Without a zero octet: the octets up to the end of FBuffer, Index at the
  /// end. At or past the end: empty, Index at the end.
  std::string GetCString(int& Index) const;
  /// The header at the start of FBuffer, whatever Index held; Index ends at
  /// 16. Throws ERangeError when FBuffer holds fewer than 16 octets.
  TMsgHeaderSMPP GetHeader(int& Index) const;
  /// The sequence_number for the next request: FSequenceNumber, which then
  /// advances; after 2147483647 it starts again at 1.
  int GetSequenceNumber();

  /// Reads the optional parameter at Index of Data (tag, length, value, the
  /// numbers most significant octet first) and moves Index behind it. False,
  /// Index unchanged, at the end of Data and for a parameter cut off by the
  /// end of Data (its tag, length or value incomplete).
  static bool GetTLV(const TByteDynArray& Data, int& Index, int& Tag, TByteDynArray& Value);
  /// Reads the next blank-separated word of a receipt text from Position
  /// (1-based) and moves Position to the next word. A word "key:value" sets
  /// Key and Value (Value without surrounding blanks and control
  /// characters); a word without ":" leaves both unchanged. False once
  /// Position is not less than the length of Text.
  static bool GetFieldValue(const std::string& Text, int& Position, std::string& Key,
                            std::string& Value);

  // --- Framing and classification ------------------------------------------

  /// kHeaderSize.
  int GetHeaderSize() const override;
  /// command_length; 0 (unframeable: the relay ends the session with
  /// drUnframeable) when it is below 16, since then the stream cannot be
  /// cut into PDUs any more. A length above the relay's cap (kMaxPDUSize)
  /// ends the session the same way.
  int GetMessageSize() const override;
  /// By command_id:
  /// - deliver_sm: mtDeliver (receipts too; DecodeReceiveMsg tells them);
  /// - enquire_link: mtAlive (answered by the receive side at once);
  /// - bind_receiver_resp, bind_transmitter_resp, bind_transceiver_resp:
  ///   mtLoginRsp; submit_sm_resp: mtSubmitRsp; enquire_link_resp:
  ///   mtAliveRsp; generic_nack: mtNack;
  /// - anything else (and a buffer shorter than a header): mtUnknown.
  TReceiveMessageType GetMessageType() const override;
  /// What the receive side does by itself: enquire_link is answered with
  /// enquire_link_resp; unbind with unbind_resp, after which the session
  /// ends (drPeerClosed); outbind and alert_notification are dropped (SMPP
  /// never answers them); any other request but deliver_sm gets generic_nack
  /// (ESME_RINVCMDID). Responses and deliver_sm: caNone.
  TControlAction GetControlAction() const override;
  /// sequence_number and the command_id of the response a bind, submit_sm
  /// or enquire_link awaits.
  bool GetRequestKey(TMessageKey& Key) const override;
  /// sequence_number and command_id of a response; a generic_nack answers
  /// whatever request holds its sequence_number.
  bool GetResponseKey(TMessageKey& Key) const override;
  /// "submit_sm_resp sequence 7 status 0x00000045".
  std::string Describe() const override;
  /// FSequenceNumber := 1; called on the output message when a session starts.
  void Reset() override;
  std::unique_ptr<TxcSMSCMessage> NewInstance() const override;

  // --- Encoders ------------------------------------------------------------

  /// bind_transceiver, bind_transmitter or bind_receiver by BindMode (any
  /// other value: bind_transceiver), interface_version 0x34, address_range
  /// empty. False when SystemID, Password or SystemType holds a zero octet
  /// or is longer than its field.
  bool EncodeLoginMsg(const std::string& SystemID, const std::string& Password, uint8_t TON,
                      uint8_t NPI, const std::string& SystemType, TxcBindModeSMPP BindMode);
  /// submit_sm. The user data is UserDataHeader (hexadecimal digits, its
  /// length octet first) followed by the text: et7BitText one octet per
  /// character by FTextCoding (Windows-1252 or GSM codes), et8BitHexadecimal the octets SMText
  /// spells in hexadecimal digits, etUCS2Text UCS-2 high octet first; data_coding 0x00, 0x04 or
  /// 0x08, plus 0x10 with soDirectDisplay. esm_class 0x40 with a header. registered_delivery 0x11
  /// with soRequestStatusReport. schedule_delivery_time and validity_period from DeliveryTime and
  /// ValidityPeriod in the absolute form (the Absolute option wins) or the
  /// relative one, else empty. False when Destination or Originator holds a
  /// zero octet, the user data exceeds kMaxShortMessage octets, or a time
  /// that is to be sent is not finite.
  bool EncodeSubmitMsg(const std::string& Destination, uint8_t DestTON, uint8_t DestNPI,
                       const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI,
                       const std::u16string& SMText, TxcEncodingType Encoding,
                       const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                       TDateTime DeliveryTime, TDateTime ValidityPeriod);
  /// enquire_link (16 octets) with the next sequence number.
  void EncodeAliveMsg() override;
  /// unbind (16 octets) with the next sequence number.
  void EncodeLogoutMsg();
  /// The answer to the request PDU in Message, under its sequence_number:
  /// deliver_sm_resp with an empty message_id (17 octets) for deliver_sm;
  /// enquire_link_resp or unbind_resp (16 octets) for those; generic_nack
  /// with ESME_RINVCMDID (16 octets) for any other request. Throws
  /// EInvalidCast when Message is not a TxcSMSCMessageSMPP, ERangeError
  /// when it holds no whole header.
  void EncodeResponseMsg(TxcSMSCMessage& Message) override;

  // --- Decoders ------------------------------------------------------------

  /// Reads the deliver_sm in FBuffer. The user data is short_message, or
  /// the message_payload parameter when short_message is empty. Its
  /// encoding follows data_coding: 0x02 and 0x04 8-bit, 0x08 UCS-2, the rest
  /// of 0x00-0x0F text; from 0x10 the GSM 03.38 coding groups (general and
  /// automatic-deletion groups by bits 3-2, compressed as 8-bit; 0xE0-0xEF
  /// UCS-2; 0xF0-0xFF by bit 2; reserved groups 8-bit). Text with
  /// data_coding 0x00 or a GSM default-alphabet group reads by FTextCoding.
  /// The receipt text is read up to its "text:" word. MsgType is mtStatusReport for a
  /// receipt (esm_class 0x04 or 0x20, or a text with the three words id:,
  /// stat: and err:), else mtDeliver. For a receipt MessageID, SMStatus and
  /// FailureReason come from the text and then from the optional parameters
  /// receipted_message_id, message_state and network_error_code, and the
  /// addresses are exchanged so that Destination is the handset the
  /// submitted message went to. Without those: MessageID empty, SMStatus 0,
  /// FailureReason -1. Throws ERangeError when FBuffer holds no whole header.
  void DecodeReceiveMsg(TReceiveMessageType& MsgType, std::string& MessageID,
                        std::string& Destination, uint8_t& DestTON, uint8_t& DestNPI,
                        std::string& Originator, uint8_t& OrigTON, uint8_t& OrigNPI,
                        std::u16string& SMText, TxcEncodingType& Encoding,
                        std::string& UserDataHeader, uint8_t& SMStatus, int& FailureReason) const;
  /// FResultCode := command_status (rcGeneralError for a generic_nack); the
  /// system_id is not kept.
  void DecodeLoginRspMsg() override;
  /// FResultCode := command_status and FMessageID := message_id (empty when
  /// the response has no body); a generic_nack gives rcGeneralError and
  /// leaves FMessageID as it was.
  void DecodeSubmitRspMsg() override;
  /// FResultCode := 0 (rcGeneralError for a generic_nack).
  void DecodeAliveRspMsg() override;
  /// A submit_sm_resp with ESME_RTHROTTLED (0x58).
  bool IsThrottled() const override;
  /// FResultCode, and FMessageID when it is 0.
  void GetSubmitResult(TxcPartResult& Part) const override;
  /// The sar_msg_ref_num, sar_total_segments and sar_segment_seqnum of a
  /// received deliver_sm as a user data header information element
  /// (16-bit reference concatenation, hexadecimal, no length octet); empty
  /// when the three are not all there and sound.
  std::string SarConcatElement() const;

  /// message_id of the last submit_sm_resp decoded into this object.
  std::string FMessageID;
  /// How et7BitText travels (set by the component from its TextCoding).
  TxcTextCoding FTextCoding = tcWindows1252;
  /// The sequence_number the next request takes: 0 after construction, 1
  /// after Reset.
  int32_t FSequenceNumber = 0;
};

/// DateTime as SMPP's absolute time "YYMMDDhhmmsstnnp", taken as local time
/// in the zone in force now: t tenths of a second, nn quarter hours from
/// UTC, p "+" ahead of UTC or "-" behind it (and at UTC).
GARVEL_API std::string AbsoluteTimeStr(TDateTime DateTime);
/// Duration as SMPP's relative time "0000DDhhmmss000R": whole days (at most
/// 31; a negative duration counts as 0) and the time of day of the rest.
GARVEL_API std::string RelativeTimeStr(TDateTime Duration);
/// message_state of a receipt's "stat" word: DELIVRD 2, EXPIRED 3, DELETED 4,
/// UNDELIV 5, ACCEPTD 6, UNKNOWN 7, REJECTD 8, anything else 7.
GARVEL_API uint8_t StatusWordToState(const std::string& Word);

/// OnMessageReceived(Sender, Destination, DestTON, DestNPI, Originator,
/// OrigTON, OrigNPI, SMText, Encoding, UserDataHeader): a mobile-originated
/// message. Destination is the application's address.
using TMessageReceivedEvent = std::function<void(
    TObject* Sender, const std::string& Destination, uint8_t DestTON, uint8_t DestNPI,
    const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI, const std::u16string& SMText,
    TxcEncodingType Encoding, const std::string& UserDataHeader)>;

/// OnStatusReportReceived(Sender, MessageID, Destination, DestTON, DestNPI,
/// Originator, OrigTON, OrigNPI, SMStatus, FailureReason): a delivery
/// receipt. Destination is the handset the submitted message went to,
/// Originator its sender; SMStatus is an SMPP message_state (0 unknown);
/// FailureReason the network_error_code (network type * 65536 + error
/// code), else the receipt's "err" number, else -1.
using TStatusReportReceivedEvent = std::function<void(
    TObject* Sender, const std::string& MessageID, const std::string& Destination, uint8_t DestTON,
    uint8_t DestNPI, const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI,
    uint8_t SMStatus, int FailureReason)>;

/// The SMPP component: a session with an SMSC as an ESME over SMPP 3.4.
///
/// Threads. Create it, call every operation and pump the notification queue
/// on one thread (the "main" thread); OnMessageReceived,
/// OnStatusReportReceived, OnDisconnected and OnError run there. Alive also
/// runs on the keep-alive thread. Requests block the caller until the
/// SMSC's response or ResponseTimeOut.
///
/// Results of the requests: rcOk (0), rcTimeOut (-1: no response in time,
/// or the link broke), rcWrongState (-2: nothing sent), rcGeneralError (-3:
/// generic_nack), rcCannotCarry (-4: a value the PDU cannot carry, nothing
/// sent), or the command_status of the SMSC's negative response.
///
/// Responses are matched to their request by command_id and
/// sequence_number: a response that comes after its request timed out is
/// dropped (and reported through OnError), never taken for another
/// request's. The application's Alive and the keep-alive thread's may wait
/// at the same time.
///
/// deliver_sm is answered on the main thread while it pumps, with
/// deliver_sm_resp when the matching event handler is assigned (otherwise
/// not at all, so that the SMSC delivers it again). The SMSC's other
/// requests are answered by the receive thread as they arrive, pumping or
/// not: enquire_link with enquire_link_resp, unbind with unbind_resp after
/// which the session ends (one OnDisconnected with drPeerClosed), and any
/// other with generic_nack (ESME_RINVCMDID).
///
/// Teardown. The destructor stops and joins the worker threads before
/// anything of this object goes away; it raises no event and sends no
/// unbind.
class GARVEL_API TxcGarvelSMPP : public TxcGarvel {
public:
  explicit TxcGarvelSMPP(TComponent* AOwner);
  ~TxcGarvelSMPP() override;

  // The relay's parameterless requests stay reachable; Login and
  // SubmitMessage without parameters end in EAbstractError.
  using TxcGarvel::InitializeSession;
  using TxcGarvel::Login;
  using TxcGarvel::SubmitMessage;

  /// Starts the session on a connection opened with Connect (the receive
  /// thread, and the keep-alive thread with KeepAlive, start; sequence
  /// numbers restart at 1), then binds (see Login). Returns 0 and state
  /// rsLoggedIn, or the bind's result leaving rsInitialized with the
  /// threads running; called again in rsInitialized it binds again. -2 in
  /// any other state. Blocks up to ResponseTimeOut.
  int InitializeSession(const std::string& SystemID, const std::string& Password, uint8_t TON,
                        uint8_t NPI, const std::string& SystemType, TxcBindModeSMPP BindMode);
  /// Sends a bind by BindMode and waits for its response; changes no state.
  /// 0, the command_status of a refusal (ESME_RINVPASWD 0x0E, ESME_RBINDFAIL
  /// 0x0D...), -1, -3 or -4.
  int Login(const std::string& SystemID, const std::string& Password, uint8_t TON, uint8_t NPI,
            const std::string& SystemType, TxcBindModeSMPP BindMode);
  /// Sends enquire_link and waits for enquire_link_resp (any thread). 0, -1
  /// or -3.
  int Alive() override;
  /// Sends unbind and waits at most LogoutTimeOut for unbind_resp; called
  /// by Disconnect while bound, so that SMSCs counting binds see this one
  /// end. 0 or -1.
  int Logout() override;
  /// SubmitMessageEx with DeliveryTime and ValidityPeriod 0.
  int SubmitMessage(const std::string& Destination, uint8_t DestTON, uint8_t DestNPI,
                    const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI,
                    const std::u16string& SMText, TxcEncodingType Encoding,
                    const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                    std::string& MessageID);
  /// Sends submit_sm (see TxcSMSCMessageSMPP::EncodeSubmitMsg) and waits for
  /// submit_sm_resp. Returns 0, -1, -2 (not rsLoggedIn, or bound as a
  /// receiver: nothing is sent), -3, -4 or the
  /// SMSC's command_status. MessageID always receives SubmitMessageID()
  /// afterwards: the message_id of this submit's submit_sm_resp when one
  /// came, else the one before.
  int SubmitMessageEx(const std::string& Destination, uint8_t DestTON, uint8_t DestNPI,
                      const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI,
                      const std::u16string& SMText, TxcEncodingType Encoding,
                      const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                      TDateTime DeliveryTime, TDateTime ValidityPeriod, std::string& MessageID);

  /// SubmitMessageEx without waiting for the answer: 0 and a ticket whose
  /// outcome OnSubmitCompleted brings (the message_id in each part's
  /// MessageID), or -1, -2 or -4 with Ticket 0 when nothing was sent. A text
  /// too long for one message (160 GSM characters, 140 octets, 70 UCS-2
  /// characters, less the header) goes, with SplitLongMessages, as
  /// concatenated parts of 153 septets, 134 octets or 67 characters, each a
  /// submit_sm of its own under one ticket; without it, -4. Waits only for
  /// the window, the rate and the back-off (see TxcGarvel).
  int SubmitMessageAsync(const std::string& Destination, uint8_t DestTON, uint8_t DestNPI,
                         const std::string& Originator, uint8_t OrigTON, uint8_t OrigNPI,
                         const std::u16string& SMText, TxcEncodingType Encoding,
                         const std::string& UserDataHeader, TxcSubmitOptionSet Options,
                         TDateTime DeliveryTime, TDateTime ValidityPeriod, TSubmitTicket& Ticket);
  /// Sequence numbers leave room for any window: 1000.
  int MaxWindowSize() const override;

  /// Main thread, called by the relay for every deliver_sm: raises
  /// OnMessageReceived or OnStatusReportReceived; true (acknowledge) when
  /// the handler for its kind is assigned. With ReassembleMessages the parts
  /// of a concatenated message (user data header, or the sar_ parameters)
  /// are acknowledged and held, and raised as one message when the last
  /// comes (its header without the concatenation element).
  bool MessageReceived(TxcSMSCMessage& Message) override;

  /// The relay's messages as SMPP messages (EInvalidCast otherwise). The
  /// input message is written by the receive thread while a session runs.
  TxcSMSCMessageSMPP& GetInputMessage() const;
  TxcSMSCMessageSMPP& GetOutputMessage() const;

  /// See SubmitMessageEx; empty until a submit_sm_resp has been decoded.
  const std::u16string& SubmitMessageID() const { return FSubmitMessageID; }

  TMessageReceivedEvent OnMessageReceived;
  TStatusReportReceivedEvent OnStatusReportReceived;

protected:
  bool ReleaseHeldParts(bool All) override;

private:
  TxcSMSCMessageSMPP& Out() const { return GetOutputMessage(); }

  // A received message held for reassembly. UserDataHeader is what the
  // parts are joined by; RawHeader the header as it came.
  struct TReceived {
    std::string Destination, Originator;
    uint8_t DestTON = 0, DestNPI = 0, OrigTON = 0, OrigNPI = 0;
    std::u16string SMText;
    TxcEncodingType Encoding = et7BitText;
    std::string UserDataHeader;
    std::string RawHeader;
  };
  void Raise(const TReceived& Message, bool Joined);

  TxcReassembler<TReceived> FReassembler;

  std::u16string FSubmitMessageID;
  std::string FSubmitMessageID8;                         // the same id as received, octet for octet
  std::atomic<TxcBindModeSMPP> FBindMode{bmTransceiver}; // of the last accepted bind
};

} // namespace garvel::smpp
