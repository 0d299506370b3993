// The simulator's SEMA personality: the SMSC side of SEMA.
#pragma once

#include "Personality.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace garvel::sim {

/// The SMSC side of SEMA over TCP.
///
/// Framing: a message is a 10-octet header (reference, class, operation,
/// two zero octets, body length; numbers least significant octet first) and
/// its body. Every length the header can announce is framed, so no byte is
/// ever skipped.
///
/// Messages are recorded by name: "login", "request_delivery", "submit",
/// "deliver", "status_report" for class 0, the same with "_rsp" for class 1
/// ("deliver_rsp" is the client's acknowledgement), "class C operation O"
/// for anything else. Requests (class 0) are answered with class 1, their
/// own reference and operation, and a result octet:
/// - 13 login: user name with its length octet, then the password; the
///   credentials of the configuration (both empty accept every login), a
///   refusal carries LoginErrorCode (1 when 0).
/// - 11 request delivery: registers the address (with TON and NPI) that
///   messages are delivered to; 0.
/// - 0 submit: 0, then a 32-bit reference unique on the server (the
///   MessageId, in decimal) and a 14-character time text; or
///   SubmitErrorCode; beyond ThrottleAbovePerSecond, result 1 (or
///   ThrottleErrorCode). A submit that asks for a status report gets one
///   StatusReportDelayMs later.
/// - With RequireLogin, polls and submits before a successful login get
///   rsNotLoggedIn; a body that cannot be read gets rsSyntax, an unknown
///   operation rsUnsupported.
/// Class 1 messages from the client are recorded only; other classes are
/// logged and left unanswered.
///
/// Sent of its own accord, with the session's own references from 1:
/// delivered messages (operation 9, with the 14-character time text of
/// their acceptance after the user data) and status reports (operation 4:
/// TSimStatusReport::Status 0 delivered gives status 0, 1 buffered status
/// 2, 2 not delivered status 1 with the reason octet). SEMA has no
/// keep-alive from the SMSC side: Alert answers prUnsupported.
class TSemaPersonality : public TPersonality {
public:
  TSemaPersonality();
  ~TSemaPersonality() override;

  std::string Name() const override;
  TFrameCut Cut(std::string_view Bytes) const override;
  std::string Describe(const std::string& Frame, bool& Valid) const override;
  std::string Printable(const std::string& Frame) const override;
  /// SEMA frames every octet by its length, so no byte sequence is skipped:
  /// the garbage is a whole message of a class no message has.
  std::string Garbage() const override;
  std::unique_ptr<TProtocolSession> NewSession() const override;

  /// The reference of the next accepted submit: 1, 2, ... (never 0).
  /// Thread-safe.
  uint32_t NextReference() const;

private:
  mutable std::atomic<uint32_t> FNextReference{1};
};

namespace sema {

constexpr size_t kHeader = 10;

/// Operations.
enum : uint8_t {
  opSubmit = 0,
  opStatusReport = 4,
  opDeliver = 9,
  opRequestDelivery = 11,
  opLogin = 13
};

/// Result octets the simulator answers with besides the configured codes.
enum : uint8_t { rsOk = 0, rsRefused = 1, rsSyntax = 2, rsNotLoggedIn = 3, rsUnsupported = 4 };

/// A whole message: the header, then Body.
std::string BuildMessage(uint32_t Reference, uint8_t Class, uint8_t Operation,
                         const std::string& Body = std::string());

/// Header fields of a message of at least kHeader octets.
uint32_t ReferenceOf(std::string_view Message);
uint8_t ClassOf(std::string_view Message);
uint8_t OperationOf(std::string_view Message);

/// The record's name of a class and operation ("submit_rsp").
std::string OperationName(uint8_t Class, uint8_t Operation);

/// An address with numbering information: its length plus 2, the TON + 8
/// and the NPI as hexadecimal digits, the address.
std::string AddressField(const std::string& Address, uint8_t TON, uint8_t NPI);

/// A 14-character time text: YYMMDDhhmmss and "00".
std::string FormatTimeText(TDateTime Value);

} // namespace sema
} // namespace garvel::sim
