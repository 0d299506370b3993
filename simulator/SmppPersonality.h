// The simulator's SMPP 3.4 personality: the SMSC side of SMPP.
#pragma once

#include "Personality.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace garvel::sim {

/// Switches of the SMPP personality that TSimConfig has no place for. Read
/// afresh for every PDU built, so a test may flip them on a running server.
struct TSmppSettings {
  /// Delivery receipts carry receipted_message_id, message_state and
  /// network_error_code besides their text (the text alone when false).
  std::atomic<bool> ReceiptTLVs{true};
};

/// The SMSC side of SMPP 3.4 over TCP.
///
/// Framing: each PDU is cut by its command_length. A command_length below
/// 16 or above 65536 cannot be framed: the connection is closed.
///
/// Requests answered (the record names PDUs by their SMPP names:
/// "bind_transceiver", "submit_sm", "enquire_link", "deliver_sm_resp"...):
/// - bind_transmitter, bind_receiver, bind_transceiver: the credentials of
///   the configuration (system_id = Login, password = Password; both empty
///   accept every bind); a refusal carries LoginErrorCode as command_status
///   (ESME_RINVPASWD when it is 0) and no body. A second bind on a bound
///   connection gets ESME_RALYBND.
/// - submit_sm: needs a transmitter or transceiver bind (ESME_RINVBNDSTS
///   otherwise, whatever RequireLogin says: SMPP always needs one). Accepted
///   with a message_id unique in the server's life; SubmitErrorCode refuses
///   with that command_status and no body, and a submit beyond
///   ThrottleAbovePerSecond gets ESME_RTHROTTLED (or ThrottleErrorCode).
///   A submit asking for a receipt
///   (registered_delivery) gets one StatusReportDelayMs later.
/// - enquire_link: enquire_link_resp; unbind: unbind_resp (the client then
///   closes).
/// - A negative LoginErrorCode or SubmitErrorCode answers the bind or submit
///   with generic_nack whose command_status is the code's magnitude.
/// - A malformed bind or submit_sm gets generic_nack with ESME_RINVCMDLEN;
///   any other request generic_nack with ESME_RINVCMDID. Responses from the
///   client (deliver_sm_resp, enquire_link_resp...) are recorded only.
///
/// Sent of its own accord, with the session's own sequence numbers from 1:
/// deliver_sm for mobile-originated messages (data_coding 0x00 text, 0x04
/// 8-bit data, 0x08 UCS-2; esm_class 0x40 with a user data header; the
/// sar_msg_ref_num, sar_total_segments and sar_segment_seqnum parameters
/// when TSimMessage::SarReference is set),
/// deliver_sm receipts (esm_class 0x04, or 0x20 for a buffered message) with
/// the text of SMPP 3.4 Appendix B ("id:... sub:001 dlvrd:... submit
/// date:... done date:... stat:... err:... text:") and, by TSmppSettings,
/// the receipt TLVs; and enquire_link as the alert. An unbind is sent with
/// TSmscServer::SendRaw(smpp::BuildPdu(smpp::kUnbind, 0, Sequence)).
///
/// Report status mapping (TSimStatusReport::Status): 0 delivered (DELIVRD,
/// message_state 2), 1 buffered (ENROUTE, 1), 2 not delivered (UNDELIV, 5).
class TSmppPersonality : public TPersonality {
public:
  explicit TSmppPersonality(std::shared_ptr<TSmppSettings> Settings = nullptr);
  ~TSmppPersonality() override;

  std::string Name() const override;
  TFrameCut Cut(std::string_view Bytes) const override;
  std::string Describe(const std::string& Frame, bool& Valid) const override;
  std::string Printable(const std::string& Frame) const override;
  /// SMPP frames every byte by its length, so no byte sequence is skipped:
  /// the garbage is a whole PDU of a reserved response command_id with a
  /// junk body, which an ESME must drop unanswered.
  std::string Garbage() const override;
  std::unique_ptr<TProtocolSession> NewSession() const override;

  TSmppSettings& Settings() const { return *FSettings; }

private:
  std::shared_ptr<TSmppSettings> FSettings;
};

namespace smpp {

enum : uint32_t {
  kGenericNack = 0x80000000,
  kBindReceiver = 0x00000001,
  kBindTransmitter = 0x00000002,
  kSubmitSm = 0x00000004,
  kDeliverSm = 0x00000005,
  kUnbind = 0x00000006,
  kBindTransceiver = 0x00000009,
  kEnquireLink = 0x00000015,
  kResponse = 0x80000000
};

enum : uint32_t {
  kESME_RINVCMDLEN = 0x02,
  kESME_RINVCMDID = 0x03,
  kESME_RINVBNDSTS = 0x04,
  kESME_RALYBND = 0x05,
  kESME_RINVPASWD = 0x0E,
  kESME_RTHROTTLED = 0x58
};

/// Largest PDU the simulator frames.
constexpr size_t kMaxPdu = 65536;

/// A whole PDU: the header with command_length, then Body.
std::string BuildPdu(uint32_t Command, uint32_t Status, uint32_t Sequence,
                     const std::string& Body = std::string());

/// The SMPP name of a command_id ("submit_sm"), or its value in hexadecimal.
std::string CommandName(uint32_t Command);

/// The header fields of a PDU of at least 16 octets.
uint32_t CommandLength(std::string_view Pdu);
uint32_t CommandId(std::string_view Pdu);
uint32_t CommandStatus(std::string_view Pdu);
uint32_t SequenceNumber(std::string_view Pdu);

} // namespace smpp
} // namespace garvel::sim
