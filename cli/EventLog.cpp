// The event log of the demo programs: one entry per step of a session, as
// text lines.
#include "EventLog.h"

#include <utility>
#include <vector>

namespace garvel::demo {
namespace {

const std::string kIndent = "       ";

// One item of a details text: key, value and the line break that closes it.
void Item(std::string& Details, const std::string& Key, const std::string& Value) {
  Details += Key + Value + '\r';
}

// Lines of a text, broken at CR, LF or CR LF; a final break opens no line.
std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < Text.size(); ++i) {
    char c = Text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(std::move(cur));
      cur.clear();
      if (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n')
        ++i;
    } else {
      cur += c;
    }
  }
  if (!cur.empty())
    lines.push_back(std::move(cur));
  return lines;
}

} // namespace

TEventLog::TEventLog(TLineSink AddLine) : FAddLine(std::move(AddLine)) {}

void TEventLog::AddEntry(const std::string& Caption, const std::string& Details, bool Incoming) {
  FAddLine((Incoming ? "<<< " : ">>> ") + Caption);
  // Trailing blanks and control characters of the whole text go, the break
  // after the last item with them.
  size_t end = Details.size();
  while (end > 0 && static_cast<unsigned char>(Details[end - 1]) <= ' ')
    --end;
  if (end == 0)
    return;
  for (const std::string& line : SplitLines(Details.substr(0, end)))
    FAddLine(kIndent + line);
}

void TEventLog::AddOutgoing(const std::string& Caption, const std::string& Details) {
  AddEntry(Caption, Details, false);
}

void TEventLog::AddText(const std::string& Caption) {
  AddEntry(Caption, "", false);
}

void TEventLog::LogConnecting() {
  AddText("Connecting (this may take a while).");
}
void TEventLog::LogConnected() {
  AddText("Connected");
}
void TEventLog::LogConnectFailed(int Error) {
  AddText("Connection Failed. Error: " + std::to_string(Error));
}
void TEventLog::LogDisconnected(int Reason) {
  AddText("Disconnected. Reason: " + std::to_string(Reason));
}
void TEventLog::LogInitialized() {
  AddText("Initialized");
}
void TEventLog::LogInitializeFailed(int Error) {
  AddText("Initialization failed. Error: " + std::to_string(Error));
}

void TEventLog::LogSubmitted(const std::string& MessageID, TDateTime TimeStamp) {
  std::string d;
  if (!MessageID.empty())
    Item(d, "MessageID: ", MessageID);
  if (TimeStamp != 0)
    Item(d, "TimeStamp: ", DateTimeText(TimeStamp));
  // The caption keeps the wording users of the earlier demo know.
  AddOutgoing("Message submited", d);
}

void TEventLog::LogSubmitFailed(int Error) {
  AddText("Message submit failed. Error: " + std::to_string(Error));
}

void TEventLog::LogMessageReceived(const std::string& Destination, const std::string& Originator,
                                   TDateTime TimeStamp, const std::string& UserDataHeader,
                                   TxcEncodingType Encoding, const std::string& SMText) {
  std::string d;
  Item(d, "Destination: ", Destination);
  Item(d, "Originator: ", Originator);
  Item(d, "SMText: ", SMText);
  Item(d, "Encoding: ", EncodingName(Encoding));
  if (!UserDataHeader.empty())
    Item(d, "UDH: ", UserDataHeader);
  if (TimeStamp != 0)
    Item(d, "TimeStamp: ", DateTimeText(TimeStamp));
  AddEntry("Message received", d, true);
}

void TEventLog::LogStatusReport(const std::string& MessageID, const std::string& Destination,
                                TDateTime MessageTimeStamp, const std::string& Originator,
                                uint8_t SMStatus, int FailureReason, TDateTime TimeStamp) {
  std::string d;
  if (!MessageID.empty())
    Item(d, "MessageID: ", MessageID);
  if (MessageTimeStamp != 0)
    Item(d, "MessageTimeStamp: ", DateTimeText(MessageTimeStamp));
  Item(d, "Destination: ", Destination);
  if (!Originator.empty())
    Item(d, "Originator: ", Originator);
  Item(d, "SMStatus: ", std::to_string(SMStatus));
  Item(d, "FailureReason: ", std::to_string(FailureReason));
  if (TimeStamp != 0)
    Item(d, "TimeStamp: ", DateTimeText(TimeStamp));
  AddEntry("Status report received", d, true);
}

std::string DateTimeText(TDateTime Value) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(Value, y, mo, d);
  DecodeTime(Value, h, mi, s, ms);
  std::string text = ZeroPad(y, 4) + "-" + ZeroPad(mo, 2) + "-" + ZeroPad(d, 2);
  if (h != 0 || mi != 0 || s != 0 || ms != 0)
    text += " " + ZeroPad(h, 2) + ":" + ZeroPad(mi, 2) + ":" + ZeroPad(s, 2);
  return text;
}

const char* EncodingName(TxcEncodingType Encoding) {
  switch (Encoding) {
  case et7BitText:
    return "et7BitText";
  case et8BitHexadecimal:
    return "et8BitHexadecimal";
  case etUCS2Text:
    return "etUCS2Text";
  }
  return "et7BitText";
}

} // namespace garvel::demo
