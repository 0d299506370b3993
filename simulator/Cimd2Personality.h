// The simulator's CIMD2 personality: the SMSC side of CIMD2.
#pragma once

#include "Personality.h"
#include "TimeStamps.h"

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace garvel::sim {

/// Switches of the CIMD2 personality that TSimConfig has no place for. Read
/// afresh for every packet, so a test may flip them on a running server.
struct TCimd2Settings {
  /// Text (parameter 033) travels in CIMD2's special combinations ("_Oa"
  /// for "@", "_XX(" for "{"...), both ways; false: as the raw Windows-1252
  /// octets some SMSCs use.
  std::atomic<bool> SpecialCombinations{true};
};

/// The SMSC side of CIMD2 over TCP.
///
/// Framing: a packet runs from STX to the next ETX; bytes before an STX are
/// skipped (an SMSC may greet with a banner), and so is an STX whose packet
/// is not closed before the next STX or within kMaxPacket bytes. The
/// checksum (two hexadecimal digits of either case before the ETX) is
/// verified when present; a packet without one is accepted.
///
/// Packets are recorded under their two-digit operation code ("01", "03",
/// "70"). Requests answered, under the request's packet number:
/// - 01 login: 51; the credentials of the configuration (010 = Login, 011 =
///   Password; both empty accept every login); a refusal carries 900 =
///   LoginErrorCode (100 when 0).
/// - 02 logout: 52.
/// - 03 submit: 53 with 021 and 060, an SMSC time stamp that grows by at
///   least a second per submit on the server, so that destination and time
///   stamp identify the message ("0612345678:120302123456" in the record);
///   or 53 with 900 = SubmitErrorCode, or 900 = 10 (temporary congestion,
///   or ThrottleErrorCode) beyond ThrottleAbovePerSecond. A submit that asks for a report (056
///   not 0) gets one StatusReportDelayMs later. Refusals of its own: 301 no
///   or several 021, 300 a destination that is not a number, 302 user data
///   or header that is not what its parameter needs, 303 033 and 034
///   together or against 030, 304 an unusable 030, and with RequireLogin 1
///   before a login.
/// - A negative LoginErrorCode or SubmitErrorCode answers with 99 (nack)
///   when it is -99, else with 98 carrying 900 = its magnitude.
/// - 40 alive: 90.
/// - Any other request: 98 with 900 = 1 (unexpected operation). A packet
///   whose checksum is wrong, or whose parameters cannot be read, gets 99.
/// Responses from the client (70, 73, 90) are recorded only.
///
/// Sent of its own accord, with even packet numbers from 0 as SMSCs do: 20
/// for mobile-originated messages (033 text; 034 with 030 = 4 for 8-bit
/// data or 8 for UCS-2; 032 for a header), 23 for status reports (061: 4
/// delivered, 1 in process for a buffered message, 3 delivery failed with
/// 062 = the reason) and 40 as the alert.
class TCimd2Personality : public TPersonality {
public:
  explicit TCimd2Personality(std::shared_ptr<TCimd2Settings> Settings = nullptr);
  ~TCimd2Personality() override;

  std::string Name() const override;
  TFrameCut Cut(std::string_view Bytes) const override;
  std::string Describe(const std::string& Frame, bool& Valid) const override;
  std::string Printable(const std::string& Frame) const override;
  /// A line of text, then an STX that the next packet's STX cuts short.
  std::string Garbage() const override;
  std::unique_ptr<TProtocolSession> NewSession() const override;

  TCimd2Settings& Settings() const { return *FSettings; }
  /// See TUniqueTimeStamps.
  TDateTime NextTimeStamp() const { return FStamps.Next(); }

private:
  std::shared_ptr<TCimd2Settings> FSettings;
  mutable TUniqueTimeStamps FStamps;
};

namespace cimd2 {

constexpr char kSTX = '\x02';
constexpr char kETX = '\x03';
constexpr char kTAB = '\x09';
/// Longest packet framed, STX and ETX included.
constexpr size_t kMaxPacket = 65536;

/// Error codes (parameter 900) the simulator answers with.
enum : int {
  ecUnexpectedOperation = 1,
  ecSyntax = 2,
  ecCongestion = 10,
  ecInvalidLogin = 100,
  ecDestination = 300,
  ecDestinationCount = 301,
  ecUserDataSyntax = 302,
  ecUserDataCombination = 303,
  ecDataCoding = 304
};

using TParams = std::vector<std::pair<int, std::string>>;

/// A whole packet: STX, "OO:NNN" TAB, "PPP:value" TAB per parameter, the
/// checksum in upper-case hexadecimal, ETX.
std::string BuildPacket(int Operation, int Number, const TParams& Params = {});

/// A packet taken apart. Ok is false when the header or a parameter cannot
/// be read, or something other than a checksum follows the last TAB.
struct TCimd2Packet {
  bool Ok = false;
  int Operation = -1;
  int Number = -1;
  TParams Params;
  bool HasCheckSum = false;
  bool CheckSumOk = true; ///< true as well when there is none
  /// The value of the first parameter with that code, or null.
  const std::string* Param(int Code) const;
  int Count(int Code) const;
};

TCimd2Packet ParsePacket(const std::string& Packet);

/// A time stamp as YYMMDDhhmmss.
std::string FormatTimeStamp(TDateTime Value);

/// Text in CIMD2's form (special combinations); false when a character has
/// no GSM form.
bool TextToSpecialCombinations(const std::u16string& Text, std::string& Out);
/// The reverse; unknown combinations and other characters read as the
/// Windows-1252 characters they are.
std::u16string SpecialCombinationsToText(const std::string& Text);

} // namespace cimd2
} // namespace garvel::sim
