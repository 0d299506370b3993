// The event log of the demo programs: one entry per step of a session, as
// text lines.
#pragma once

#include "SysUtils.h"
#include "xuSMSCExtractSM.h"

#include <cstdint>
#include <functional>
#include <string>

namespace garvel::demo {

/// Writes readable entries for the steps of an SMSC session.
///
/// Each entry is a header line, ">>> " for what the application did or
/// "<<< " for what arrived, followed by the caption, and then one detail
/// line per field, each indented by seven blanks. A value holding line
/// breaks gives several detail lines, of which only the first carries the
/// key. Lines go to the sink given to the constructor (a terminal, a text
/// view); the log keeps no state of its own and never removes a line.
///
/// Not thread-safe: call it from one thread (the one that runs the
/// component's events).
class TEventLog {
public:
  using TLineSink = std::function<void(const std::string& Line)>;

  explicit TEventLog(TLineSink AddLine);

  /// A header line with Caption, then Details split into indented lines.
  void AddEntry(const std::string& Caption, const std::string& Details, bool Incoming);
  void AddOutgoing(const std::string& Caption, const std::string& Details);
  /// A header line alone.
  void AddText(const std::string& Caption);

  void LogConnecting();
  void LogConnected();
  void LogConnectFailed(int Error);
  void LogDisconnected(int Reason);
  void LogInitialized();
  void LogInitializeFailed(int Error);
  /// MessageID and TimeStamp are shown when not empty / not zero.
  void LogSubmitted(const std::string& MessageID, TDateTime TimeStamp);
  void LogSubmitFailed(int Error);
  /// UserDataHeader is shown as given (the caller chooses its form) when
  /// not empty, TimeStamp when not zero.
  void LogMessageReceived(const std::string& Destination, const std::string& Originator,
                          TDateTime TimeStamp, const std::string& UserDataHeader,
                          TxcEncodingType Encoding, const std::string& SMText);
  void LogStatusReport(const std::string& MessageID, const std::string& Destination,
                       TDateTime MessageTimeStamp, const std::string& Originator, uint8_t SMStatus,
                       int FailureReason, TDateTime TimeStamp);

private:
  TLineSink FAddLine;
};

/// The date and time as "YYYY-MM-DD hh:mm:ss"; the date alone at midnight.
std::string DateTimeText(TDateTime Value);
/// "et7BitText", "et8BitHexadecimal" or "etUCS2Text".
const char* EncodingName(TxcEncodingType Encoding);

} // namespace garvel::demo
