// What the garvel tool needs of a protocol component, so that its commands
// work the same way over every protocol.
#pragma once

#include "SysUtils.h"
#include "xcGarvel.h"
#include "xuSMSCExtractSM.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace garvel::cli {

/// A command-line option of one protocol ("--oadc NUMBER").
struct TOptionSpec {
  std::string Name;      ///< without the leading "--"
  std::string ValueName; ///< empty for a switch
  std::string Help;
};

/// One message to submit.
struct TSubmitRequest {
  std::string Destination;
  std::u16string Text; ///< for et8BitHexadecimal the octets as hexadecimal digits
  TxcEncodingType Encoding = et7BitText;
  std::string UserDataHeader; ///< the header octets, one character per octet
  TxcSubmitOptionSet Options;
};

struct TSubmitResult {
  std::string MessageId; ///< empty where the protocol gives none
  TDateTime TimeStamp = 0;
};

struct TReceivedMessage {
  std::string Destination;
  std::string Originator;
  std::u16string Text;
  TxcEncodingType Encoding = et7BitText;
  std::string UserDataHeader; ///< octets
  TDateTime TimeStamp = 0;
};

struct TReceivedReport {
  std::string MessageId;
  TDateTime MessageTimeStamp = 0;
  std::string Destination;
  std::string Originator;
  uint8_t Status = 0;
  int Reason = 0;
  TDateTime TimeStamp = 0;
};

/// A protocol component behind one interface. All members run on the
/// thread that created the client, which must pump Application() for the
/// events to arrive.
class TProtocolClient {
public:
  virtual ~TProtocolClient();

  virtual std::string Name() const = 0;
  /// The options that open this protocol's session, as the protocol names
  /// its parameters.
  virtual std::vector<TOptionSpec> SessionOptions() const = 0;
  /// Takes one of SessionOptions (Value empty for a switch). False with
  /// Error set when the value is not acceptable.
  virtual bool SetOption(const std::string& Name, const std::string& Value, std::string& Error) = 0;
  /// The account and password that open the session (UCP: OAdC and PWD).
  virtual void SetAccount(const std::string& Account, const std::string& Password) = 0;
  /// The address the application sends from and receives at.
  virtual std::string Address() const = 0;
  /// Response time-out and keep-alive interval (0 turns keep-alive off).
  virtual void SetTimes(int ResponseTimeOutMs, int KeepAliveIntervalMs) = 0;

  /// The component's result codes: 0, -1 time-out, -2 wrong state, an errno
  /// for Connect, the SMSC's error code otherwise.
  virtual int Connect(const std::string& Host, int Port) = 0;
  virtual int InitializeSession() = 0;
  virtual int Submit(const TSubmitRequest& Request, TSubmitResult& Result) = 0;
  /// Submit without waiting for the answer: 0 and a ticket whose outcome
  /// OnSubmitCompleted brings, or -1, -2 or -4 with nothing sent. A text
  /// too long for one message goes as concatenated parts unless the
  /// component's SplitLongMessages is off (then -4). Blocks while the
  /// submit window is full, at most the response time-out.
  virtual int SubmitAsync(const TSubmitRequest& Request, TSubmitTicket& Ticket) = 0;
  /// The component, for the settings every protocol shares (window, rate,
  /// splitting) and its counters.
  virtual TxcGarvel& Component() = 0;
  virtual void Disconnect() = 0;

  /// An error code of the SMSC (a positive result of InitializeSession or
  /// Submit) as the protocol writes it, with its meaning where the protocol
  /// gives one: "EC 07: authentication failure".
  virtual std::string ErrorCodeText(int Code) const = 0;
  /// Empty when the session as configured can receive messages and status
  /// reports; otherwise why it cannot (an SMPP transmitter bind).
  virtual std::string WhyNothingArrives() const { return {}; }

  std::function<void(const TReceivedMessage&)> OnMessage;
  std::function<void(const TReceivedReport&)> OnReport;
  std::function<void(int Reason)> OnDisconnected;
  std::function<void(const std::string& Text)> OnError;
  std::function<void(const TxcSubmitCompletion&)> OnSubmitCompleted;

protected:
  /// Forwards the component's OnDisconnected, OnError and OnSubmitCompleted
  /// to this client's.
  void ForwardRelayEvents(TxcGarvel& Component);
};

/// The client of a protocol by name, or null when the tool has none.
std::unique_ptr<TProtocolClient> CreateClient(const std::string& Protocol);
/// The protocols the tool speaks.
std::vector<std::string> ClientProtocols();

/// The clients of each protocol (one unit each).
std::unique_ptr<TProtocolClient> NewUcpClient();
std::unique_ptr<TProtocolClient> NewSmppClient();
std::unique_ptr<TProtocolClient> NewCimd2Client();
std::unique_ptr<TProtocolClient> NewSemaClient();

/// Reads a decimal number 0..255 (a TON, an NPI); false otherwise.
bool ParseByte(const std::string& Text, uint8_t& Out);

/// The text of a result code of Client's component, for error messages:
/// the library's own codes in words, the SMSC's with ErrorCodeText.
std::string ResultText(int Code, const TProtocolClient& Client);

/// The reason of an OnDisconnected in words ("closed by the SMSC", or the
/// system's text of an errno).
std::string DisconnectReasonText(int Reason);

} // namespace garvel::cli
