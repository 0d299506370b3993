// Plain data of the SMSC simulator: its configuration, what it records and
// what it can be told to send.
#pragma once

#include "SysUtils.h"
#include "xuSMSCExtractSM.h"

#include <cstdint>
#include <set>
#include <string>

namespace garvel::sim {

/// How the simulated SMSC behaves. Every field is read afresh for each
/// frame received, so a test may change the configuration of a running
/// server (TSmscServer::SetConfig) between two requests.
///
/// Error codes are the protocol's own numbers (UCP: the EC of a negative
/// result; SMPP: a command_status; CIMD2: the error code parameter 900;
/// SEMA: the result octet).
struct TSimConfig {
  // --- Session opening ----------------------------------------------------

  /// The account allowed to open a session (UCP: the OAdC of the OT 60
  /// login). When both Login and Password are empty every login is accepted.
  std::string Login;
  /// Its password, compared with what the client sends in clear (UCP: the
  /// PWD field decoded from hexadecimal).
  std::string Password;
  /// Error code of a refused login; 0 stands for the protocol's usual one:
  /// UCP 07 (authentication failure), SMPP ESME_RINVPASWD (0x0E), CIMD2 100
  /// (invalid login), SEMA result 1.
  int LoginErrorCode = 0;
  /// Refuse submits until a login has succeeded on the connection (UCP EC
  /// 04: operation not allowed).
  bool RequireLogin = false;

  // --- Submits and status reports ----------------------------------------

  /// 0 accepts every submit; any other value refuses each with that code.
  int SubmitErrorCode = 0;
  /// An accepted submit that asks for a status report gets one this many
  /// milliseconds later; -1 sends none of its own accord.
  int StatusReportDelayMs = 500;
  /// Delivery status and reason of the automatic reports (UCP Dst, Rsn:
  /// 0 delivered, 1 buffered, 2 not delivered).
  int ReportStatus = 0;
  int ReportReason = 0;
  /// Submits a connection may make in one second; 0 for no limit. The
  /// seconds are counted from the first submit after the last full one: the
  /// submits beyond this many within it are refused with ThrottleErrorCode,
  /// and each refused one still counts as having arrived.
  int ThrottleAbovePerSecond = 0;
  /// Error code of a throttled submit; 0 stands for the protocol's own:
  /// SMPP ESME_RTHROTTLED (0x58), CIMD2 10 (temporary congestion), UCP 04
  /// (operation not allowed at this time; UCP has no throttling code), SEMA
  /// result 1 (refused). Negative values answer as SubmitErrorCode does.
  int ThrottleErrorCode = 0;

  // --- Misbehaviour -------------------------------------------------------

  /// Every answer to a request goes out this many milliseconds late.
  int ResponseDelayMs = 0;
  /// Operations that are recorded but never answered, by the name the
  /// protocol gives them in the record (UCP: "O/51", "O/60", "O/31",
  /// "O/01"); "*" stands for every operation.
  std::set<std::string> SilentOperations;
  /// After receiving this many frames on one connection (counting every
  /// frame, acknowledgements included) close it in an orderly way, without
  /// answering the last one; 0 never.
  int CloseAfterFrames = 0;
  /// The same with an abortive close (the client sees a reset).
  int ResetAfterFrames = 0;
  /// Write every outgoing frame in pieces of this many bytes (0: whole),
  /// SplitDelayMs apart.
  int SplitPieceSize = 0;
  int SplitDelayMs = 0;
  /// Put bytes that form no frame in front of every outgoing frame.
  bool GarbageBeforeFrames = false;

  // --- Records ------------------------------------------------------------

  /// Most received frames, and most accepted submits, that the records keep
  /// (TSmscServer::Received, Submits); beyond it the oldest are dropped. The
  /// counts (CountReceived, WaitReceived, WaitSubmits) cover every frame and
  /// submit all the same. 0 keeps none.
  int RecordLimit = 10000;
};

/// One frame the simulator received, kept in arrival order.
struct TReceivedFrame {
  int Session = 0;       ///< the connection it came on, numbered from 1
  std::string Operation; ///< the protocol's name for it (UCP: "O/51", "R/52"...)
  std::string Bytes;     ///< the frame as it arrived
  bool Valid = true;     ///< false when it broke the protocol's rules (checksum, syntax)
};

/// A submit the simulator accepted.
struct TSubmitRecord {
  int Session = 0;
  /// The identifier the SMSC gave (UCP: "recipient:DDMMYYhhmmss").
  std::string MessageId;
  /// The SMSC time stamp given with the result.
  TDateTime TimeStamp = 0;
  std::string Destination;
  std::string Originator;
  TxcEncodingType Encoding = et7BitText;
  /// The text; for et8BitHexadecimal the octets as hexadecimal digits.
  std::u16string Text;
  /// The user data header octets, one character per octet.
  std::string UserDataHeader;
  bool StatusReportRequested = false;
  bool DirectDisplay = false;
};

/// A mobile-originated short message to hand to the client.
struct TSimMessage {
  /// The address the message was sent to (the application's).
  std::string Destination;
  /// The handset that sent it.
  std::string Originator;
  /// The text; for et8BitHexadecimal the octets as hexadecimal digits.
  std::u16string Text;
  TxcEncodingType Encoding = et7BitText;
  /// User data header octets, one character per octet; empty for none.
  std::string UserDataHeader;
  /// The SMSC time stamp; 0 stands for the time of sending.
  TDateTime TimeStamp = 0;
  /// SMPP only: a part of a concatenated message marked with the
  /// sar_msg_ref_num (0..65535), sar_total_segments and sar_segment_seqnum
  /// (1..255) parameters instead of a user data header. A SarReference of -1
  /// sends none of them; values out of range make the deliver prCannotCarry.
  int SarReference = -1;
  int SarTotal = 0;
  int SarSequence = 0;
};

/// A delivery status report to hand to the client.
struct TSimStatusReport {
  /// The identifier of the reported message, as given in its submit result.
  std::string MessageId;
  /// The SMSC time stamp of the reported message (the one its submit result
  /// gave).
  TDateTime MessageTimeStamp = 0;
  /// The recipient of the reported message.
  std::string Destination;
  /// The sender of the reported message (the application).
  std::string Originator;
  int Status = 0; ///< 0 delivered, 1 buffered, 2 not delivered
  int Reason = 0;
  /// When the reported event happened; 0 stands for the time of sending.
  TDateTime TimeStamp = 0;
};

/// The report of a successful delivery of Submit.
TSimStatusReport ReportFor(const TSubmitRecord& Submit, int Status = 0, int Reason = 0);

/// Outcome of an operation that sends to a client.
enum TPushResult : uint8_t {
  prSent,        ///< written to the connection
  prNoSession,   ///< no client is connected
  prCannotCarry, ///< a value does not fit the protocol (a separator inside a field...)
  prSendFailed,  ///< the connection broke while writing
  prUnsupported  ///< the protocol has no such operation
};

/// "prSent", "prNoSession"...: for messages and test output.
const char* PushResultName(TPushResult R);

} // namespace garvel::sim
