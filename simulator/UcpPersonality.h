// The simulator's UCP (EMI) personality: the SMSC side of UCP.
#pragma once

#include "Personality.h"
#include "TimeStamps.h"

#include <string>
#include <vector>

namespace garvel::sim {

/// The SMSC side of UCP over TCP.
///
/// Framing: a frame runs from STX to the next ETX; bytes before an STX are
/// skipped, and so is an STX whose frame is not closed before the next STX
/// or within the largest frame LEN can announce. A frame is checked against
/// its own LEN and checksum, and answered with EC 01 (checksum) or 02
/// (syntax) when they disagree. Numeric fields (STYP, NRq, MT, NB, OTOA)
/// are compared as numbers, so leading zeros are accepted ("0144").
///
/// Operations answered: OT 60 (session open with STYP 1; the credentials of
/// the configuration), OT 51 (submit; the positive result carries
/// "recipient:DDMMYYhhmmss", the SMSC time stamp, which grows by at least
/// one second per submit on the server so that it identifies the message;
/// beyond ThrottleAbovePerSecond a submit gets EC 04, or ThrottleErrorCode),
/// OT 31 and OT 01
/// (keep-alive). Other operations get EC 03. Results from the client (to OT 52, 53, 31 the
/// simulator sent) are recorded and not answered.
///
/// Sent of its own accord: OT 52 (7-bit text as MT 3; 8-bit data and UCS-2
/// as MT 4 with the data coding scheme in XSer 02; a user data header in
/// XSer 01), OT 53 (delivery notification) and OT 31 (alert).
class TUcpPersonality : public TPersonality {
public:
  TUcpPersonality();
  ~TUcpPersonality() override;

  std::string Name() const override;
  TFrameCut Cut(std::string_view Bytes) const override;
  std::string Describe(const std::string& Frame, bool& Valid) const override;
  std::string Printable(const std::string& Frame) const override;
  std::string Garbage() const override;
  std::unique_ptr<TProtocolSession> NewSession() const override;

  /// The SMSC time stamp of the next accepted submit: now, in whole seconds,
  /// but at least one second after the last one handed out by this server,
  /// so that recipient and time stamp identify a message. Thread-safe.
  TDateTime NextTimeStamp() const;

private:
  mutable TUniqueTimeStamps FStamps;
};

namespace ucp {

constexpr char kSTX = '\x02';
constexpr char kETX = '\x03';
/// Most characters between STX and ETX that LEN can announce.
constexpr size_t kMaxLen = 99999;

/// EC values the simulator answers with.
enum : int {
  ecChecksum = 1,
  ecSyntax = 2,
  ecNotSupported = 3,
  ecNotAllowed = 4,
  ecAdCInvalid = 6,
  ecAuthentication = 7
};

/// A complete frame: STX, "TRN/LEN/OR/OT/", each field followed by "/",
/// the checksum and ETX. TRN and OT are taken as two digits. Empty when the
/// text between STX and ETX would exceed kMaxLen.
std::string BuildFrame(int TRN, char OR, int OT, const std::vector<std::string>& Fields);

/// A frame taken apart. Ok is false when it is not STX...ETX with four
/// header items and a checksum; the other members hold what could be read.
struct TUcpFrame {
  bool Ok = false;
  int TRN = -1;
  int Len = -1;
  char OR = 0;
  int OT = -1;
  std::vector<std::string> Fields;
  std::string CheckSum;
  bool LenOk = false;      ///< LEN equals the characters between STX and ETX
  bool CheckSumOk = false; ///< the checksum matches
};

TUcpFrame ParseFrame(const std::string& Frame);

/// A time stamp as DDMMYYhhmmss.
std::string FormatTimeStamp(TDateTime Value);

} // namespace ucp
} // namespace garvel::sim
