// The event log's entries, line by line.
#include "EventLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace garvel::demo {
namespace {

using TLines = std::vector<std::string>;

struct TCapture {
  TLines Lines;
  TEventLog Log{[this](const std::string& L) { Lines.push_back(L); }};
};

const TDateTime kStamp = EncodeDateTime(2012, 3, 2, 12, 34, 56, 0);

TEST(EventLog, Entries) {
  struct Case {
    const char* Name;
    void (*Write)(TEventLog&);
    TLines Expected;
  } cases[] = {
      {"connecting",
       [](TEventLog& L) { L.LogConnecting(); },
       {">>> Connecting (this may take a while)."}},
      {"connected", [](TEventLog& L) { L.LogConnected(); }, {">>> Connected"}},
      {"connect failed",
       [](TEventLog& L) { L.LogConnectFailed(111); },
       {">>> Connection Failed. Error: 111"}},
      {"disconnected, negative reason",
       [](TEventLog& L) { L.LogDisconnected(-4); },
       {">>> Disconnected. Reason: -4"}},
      {"initialized", [](TEventLog& L) { L.LogInitialized(); }, {">>> Initialized"}},
      {"initialize failed, negative error",
       [](TEventLog& L) { L.LogInitializeFailed(-1); },
       {">>> Initialization failed. Error: -1"}},
      {"submit failed",
       [](TEventLog& L) { L.LogSubmitFailed(42); },
       {">>> Message submit failed. Error: 42"}},
      {"submitted without id or stamp",
       [](TEventLog& L) { L.LogSubmitted("", 0); },
       {">>> Message submited"}},
      {"submitted",
       [](TEventLog& L) { L.LogSubmitted("abc", kStamp); },
       {">>> Message submited", "       MessageID: abc", "       TimeStamp: 2012-03-02 12:34:56"}},
      {"message received",
       [](TEventLog& L) { L.LogMessageReceived("5500", "0612", kStamp, "", et7BitText, "Hi"); },
       {"<<< Message received", "       Destination: 5500", "       Originator: 0612",
        "       SMText: Hi", "       Encoding: et7BitText",
        "       TimeStamp: 2012-03-02 12:34:56"}},
      {"message with header, empty addresses, no stamp",
       [](TEventLog& L) { L.LogMessageReceived("", "", 0, "0500", etUCS2Text, "x"); },
       {"<<< Message received", "       Destination: ", "       Originator: ", "       SMText: x",
        "       Encoding: etUCS2Text", "       UDH: 0500"}},
      {"text with line breaks",
       [](TEventLog& L) {
         L.LogMessageReceived("d", "o", 0, "", et8BitHexadecimal, "a\r\nb\rc\n\nd");
       },
       {"<<< Message received", "       Destination: d", "       Originator: o", "       SMText: a",
        "       b", "       c", "       ", "       d", "       Encoding: et8BitHexadecimal"}},
      {"bare status report",
       [](TEventLog& L) { L.LogStatusReport("", "", 0, "", 0, 0, 0); },
       {"<<< Status report received", "       Destination: ", "       SMStatus: 0",
        "       FailureReason: 0"}},
      {"full status report",
       [](TEventLog& L) {
         L.LogStatusReport("id", "0612", EncodeDate(2012, 3, 2), "5500", 255, -1, kStamp);
       },
       {"<<< Status report received", "       MessageID: id", "       MessageTimeStamp: 2012-03-02",
        "       Destination: 0612", "       Originator: 5500", "       SMStatus: 255",
        "       FailureReason: -1", "       TimeStamp: 2012-03-02 12:34:56"}},
      {"trailing blanks of the last value go",
       [](TEventLog& L) { L.AddEntry("C", "Key: value  \t\r\n", true); },
       {"<<< C", "       Key: value"}},
      {"blank details give no lines",
       [](TEventLog& L) { L.AddOutgoing("C", " \r\n "); },
       {">>> C"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TCapture cap;
    c.Write(cap.Log);
    EXPECT_EQ(cap.Lines, c.Expected);
  }
}

} // namespace
} // namespace garvel::demo
