// The message buffer every protocol message derives from, and the relay
// component every protocol component derives from.
#pragma once

#include "GarvelExport.h"
#include "Classes.h"
#include "Messages.h"
#include "Sockets.h"
#include "SyncObjs.h"
#include "SysUtils.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace garvel {

/// Who started a received operation.
enum TReceiveMessageClass : uint8_t {
  mtMessage, ///< an operation the SMSC initiated
  mtResponse ///< the SMSC's response to one of our requests
};

/// What a received message is; the relay dispatches on it.
enum TReceiveMessageType : uint8_t {
  mtUnknown,
  mtDeliver,
  mtStatusReport,
  mtAlive,
  mtSubmitRsp,
  mtRequestDeliveryRsp,
  mtLoginRsp,
  mtLogoutRsp,
  mtAliveRsp,
  mtGeneralError,
  mtNack
};

enum TRelayState : uint8_t { rsNotConnected, rsConnected, rsInitialized, rsLoggedIn };

enum TxcSubmitOption : uint8_t {
  soRequestStatusReport,
  soDirectDisplay,
  soDeliveryTimeRelative,
  soDeliveryTimeAbsolute,
  soValidityPeriodRelative,
  soValidityPeriodAbsolute
};

/// A set of submit options in one byte: bit n stands for the option with ordinal n.
class TxcSubmitOptionSet {
public:
  constexpr TxcSubmitOptionSet() = default;
  constexpr TxcSubmitOptionSet(std::initializer_list<TxcSubmitOption> Options) {
    for (TxcSubmitOption o : Options)
      FBits = static_cast<uint8_t>(FBits | (1u << o));
  }
  constexpr TxcSubmitOptionSet& operator<<(TxcSubmitOption O) {
    FBits = static_cast<uint8_t>(FBits | (1u << O));
    return *this;
  }
  constexpr TxcSubmitOptionSet& operator>>(TxcSubmitOption O) {
    FBits = static_cast<uint8_t>(FBits & ~(1u << O));
    return *this;
  }
  constexpr bool Contains(TxcSubmitOption O) const { return (FBits >> O) & 1u; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr uint8_t Bits() const { return FBits; }
  static constexpr TxcSubmitOptionSet FromBits(uint8_t Bits) {
    TxcSubmitOptionSet s;
    s.FBits = Bits;
    return s;
  }
  friend constexpr bool operator==(TxcSubmitOptionSet, TxcSubmitOptionSet) = default;

private:
  uint8_t FBits = 0;
};

/// Result codes of the request operations.
enum : int {
  rcOk = 0,
  rcTimeOut = -1,      ///< no response within ResponseTimeOut (or the link broke meanwhile)
  rcWrongState = -2,   ///< the session state does not allow the request; nothing was sent
  rcGeneralError = -3, ///< the SMSC answered with a general error or negative acknowledgement
  /// The request holds a value the protocol cannot carry (a field separator
  /// inside a field, a value longer than its field); nothing was sent.
  rcCannotCarry = -4
};

/// Reason codes of OnDisconnected besides the positive errno of a failed socket
/// (ECONNRESET when the peer reset the connection, EPIPE...).
enum : int {
  drLocal = 0,            ///< Disconnect was called by the application
  drKeepAliveFailed = -1, ///< a keep-alive request went unanswered
  drPeerClosed = -4,      ///< the SMSC closed the connection or ended the session
  drUnframeable = -5,     ///< the SMSC sent bytes that cannot be framed as messages
  drSendTimeOut = -6,     ///< a send could not complete within ResponseTimeOut
  drInternalError = -7    ///< the receive side failed (out of memory...); see OnError
};

/// How text given as et7BitText travels where the protocol leaves the
/// alphabet to the SMSC ("SMSC default alphabet"): SMSCs differ.
enum TxcTextCoding : uint8_t {
  tcWindows1252, ///< one Windows-1252 octet per character (the default)
  tcGSM          ///< one GSM 03.38 code per octet, through the translation table (escapes included)
};

/// Ties an answer to the request it answers: the protocol's number for the
/// exchange (transaction number, sequence number, packet number, reference)
/// and the operation. On a request, Operation names the operation of the
/// answer it waits for.
struct TMessageKey {
  int64_t Id = -1;
  int64_t Operation = 0;
  /// On an answer: it answers the request numbered Id whatever its
  /// operation (a negative acknowledgement that names no operation).
  bool AnyOperation = false;

  bool Answers(const TMessageKey& Request) const {
    return Id == Request.Id && (AnyOperation || Operation == Request.Operation);
  }
};

/// Names an asynchronous submit; 0 is never a ticket.
using TSubmitTicket = uint64_t;

/// The SMSC's answer to one submitted message, or to one part of a long one.
struct TxcPartResult {
  /// As the synchronous submit returns it: 0, -1 (no answer within
  /// ResponseTimeOut, the link broke, or the part was never sent), -2, -3,
  /// -4 or the SMSC's error code.
  int Result = rcTimeOut;
  /// The SMSC's identifier of the message, where the protocol gives one
  /// (SMPP message_id, SEMA reference); empty otherwise.
  std::string MessageID;
  /// The SMSC time stamp, where the protocol gives one (UCP, CIMD2, SEMA);
  /// 0 otherwise.
  TDateTime TimeStamp = 0;
};

/// How an asynchronous submit ended: one per ticket.
struct TxcSubmitCompletion {
  TSubmitTicket Ticket = 0;
  /// 0 when every part was accepted, else the result of the first part
  /// that was not.
  int Result = rcTimeOut;
  /// One entry per part, in order (one for a message that needed no split).
  std::vector<TxcPartResult> Parts;
  /// When the first part was handed to the connection, and when the last
  /// one was settled (answered, timed out, or failed): the submit's latency
  /// is their difference, however late the application handles the event.
  std::chrono::steady_clock::time_point Sent{};
  std::chrono::steady_clock::time_point Answered{};
};

/// What the receive side does by itself with an operation the SMSC started,
/// instead of handing it to the component on the main thread.
enum TControlAction : uint8_t {
  caNone,           ///< nothing: classify and dispatch it as usual
  caAnswer,         ///< answer it at once (EncodeResponseMsg); no event
  caAnswerAndClose, ///< answer it, then end the session (drPeerClosed)
  caDrop            ///< ignore it (an operation the protocol never answers)
};

/// The relay's TCP connection.
class GARVEL_API TxcTcpClient : public TCustomIpClient {
public:
  using TCustomIpClient::TCustomIpClient;
  ~TxcTcpClient() override;
};

/// Thrown while framing when the byte stream cannot be cut into messages (a
/// length that is not positive or exceeds the cap). The relay treats it as a
/// broken connection (Reason drUnframeable).
class GARVEL_API EFramingError : public Exception {
public:
  using Exception::Exception;
  ~EFramingError() override;
};

/// Base of every protocol message: a byte buffer holding exactly one wire
/// message, with append/read primitives, all-or-nothing framing off the TCP
/// stream, and the virtual hooks through which the relay sizes, classifies,
/// encodes and decodes it.
///
/// Not thread-safe: one thread uses a message at a time (the relay hands
/// messages between threads through its events and notifications).
/// Reads are bounds-checked: reading past the end of FBuffer throws
/// ERangeError and leaves Index unchanged.
class GARVEL_API TxcSMSCMessage : public TObject {
public:
  /// Largest message ReadMessage accepts unless a class says otherwise.
  static constexpr int kDefaultMaxMessageSize = 65536;

  TxcSMSCMessage();
  ~TxcSMSCMessage() override;

  /// Copy constructor: a new object of Source's own class whose FBuffer is an
  /// independent copy of Source's. Nothing else is copied: FResultCode and the
  /// fields a protocol class adds start at zero or empty.
  static std::unique_ptr<TxcSMSCMessage> Create(const TxcSMSCMessage& Source);

  // Slots 0-3: numbers, least significant byte first in the base.
  virtual void AddWord(uint16_t Value);
  virtual void AddLongWord(uint32_t Value);
  virtual uint16_t GetWord(int& Index) const;
  virtual uint32_t GetLongWord(int& Index) const;
  /// Slot 4: takes exactly one complete message off Client's stream into
  /// FBuffer, or consumes nothing and returns false. Throws EFramingError
  /// when the announced size is not positive or exceeds GetMaxMessageSize.
  virtual bool ReadMessage(TxcTcpClient& Client);
  /// Slot 5: bytes at the start of a message that suffice to size it.
  virtual int GetHeaderSize() const;
  /// Slot 6: total size of the message whose header is in FBuffer. A positive
  /// size below the header size frames (and so skips) that many bytes.
  virtual int GetMessageSize() const;
  virtual TReceiveMessageClass GetMessageClass() const;
  virtual TReceiveMessageType GetMessageType() const;
  /// Slot 9: called on the output message when a session starts.
  virtual void Reset();
  // Slots 10-16: no body in the base (EAbstractError).
  virtual void EncodeLoginMsg();
  virtual void EncodeSubmitMsg();
  virtual void EncodeRequestDeliveryMsg();
  virtual void EncodeAliveMsg();
  virtual void EncodeResponseMsg(TxcSMSCMessage& Message);
  virtual void DecodeReceiveMsg();
  virtual void DecodeStatusReportMsg();
  // Slots 17-20: set FResultCode (0 in the base).
  virtual void DecodeRequestDeliveryRspMsg();
  virtual void DecodeAliveRspMsg();
  virtual void DecodeSubmitRspMsg();
  virtual void DecodeLoginRspMsg();

  /// The cap ReadMessage applies to GetMessageSize.
  virtual int GetMaxMessageSize() const;

  // --- Correlation and housekeeping (beyond the numbered slots) -------------

  /// On a request just encoded: the key of the answer it waits for. False
  /// (the base) when the protocol numbers nothing; the relay then matches
  /// answers by their kind alone (login and submit, keep-alive and poll).
  virtual bool GetRequestKey(TMessageKey& Key) const;
  /// On a received answer (GetMessageType a ...Rsp type, mtNack or
  /// mtGeneralError): the key of the request it answers. False in the base.
  virtual bool GetResponseKey(TMessageKey& Key) const;
  /// What the receive side does with this received message by itself. The
  /// base answers mtAlive (the SMSC's keep-alive) at once.
  virtual TControlAction GetControlAction() const;
  /// The number of leading bytes of Data (Count bytes received and not yet
  /// framed) that cannot start a message and are to be skipped before
  /// framing; 0 in the base. Lets a protocol with a start character resync
  /// in one pass over junk.
  virtual int FindMessageStart(const uint8_t* Data, int Count) const;
  /// A short description for reports ("R/51 TRN 05", "submit_sm_resp
  /// sequence 7"). The base names the message type and size.
  virtual std::string Describe() const;
  /// On a decoded submit answer: true when the SMSC refused the submit for
  /// exceeding the rate it allows (SMPP ESME_RTHROTTLED). False in the base.
  virtual bool IsThrottled() const;
  /// On a decoded submit answer: what it tells the submitter. The base gives
  /// FResultCode alone; protocols add the message id and time stamp of a
  /// positive answer.
  virtual void GetSubmitResult(TxcPartResult& Part) const;
  /// A default-constructed object of this message's own class. Every
  /// protocol class overrides it; Create checks that the class matches.
  virtual std::unique_ptr<TxcSMSCMessage> NewInstance() const;

  void AddChunk(const void* Source, int Count);
  void AddChar(char Value);
  void AddByte(uint8_t Value);
  void AddString(const std::string& Value);
  void AddByteDynArray(const TByteDynArray& Value);
  void GetChunk(int& Index, void* Dest, int Count) const;
  char GetChar(int& Index) const;
  uint8_t GetByte(int& Index) const;
  std::string GetString(int& Index, int Count) const;
  TByteDynArray GetByteDynArray(int& Index, int Count) const;

  /// Length of FBuffer as an int.
  int Size() const { return static_cast<int>(FBuffer.size()); }

  TByteDynArray FBuffer;
  int32_t FResultCode = 0;

protected:
  /// Throws ERangeError unless Count bytes can be read at Index.
  void CheckRead(int Index, int Count) const;
  [[noreturn]] void Abstract(const char* Slot) const;
};

/// Message as the protocol message class T; EInvalidCast with Error when it
/// is of another class.
template <class T> T& MessageAs(TxcSMSCMessage& Message, const char* Error) {
  auto* m = dynamic_cast<T*>(&Message);
  if (!m)
    throw EInvalidCast(Error);
  return *m;
}

/// Default constructor of a message class, as handed to the relay.
using TMessageClass = std::unique_ptr<TxcSMSCMessage> (*)();

template <class T> std::unique_ptr<TxcSMSCMessage> MessageClass() {
  return std::make_unique<T>();
}

/// OnDisconnected(Sender, Reason): see drLocal and the other reasons.
using TDisconnectedEvent = std::function<void(TObject* Sender, int Reason)>;
/// OnError(Sender, Message): a received frame could not be handled.
using TErrorEvent = std::function<void(TObject* Sender, const std::string& Message)>;

/// OnSubmitCompleted(Sender, Completion): an asynchronous submit has ended.
using TSubmitCompletedEvent =
    std::function<void(TObject* Sender, const TxcSubmitCompletion& Completion)>;

/// Private notifications posted to the relay's handle.
constexpr uint32_t CM_RECEIVED = WM_USER + 4321;     // 5345
constexpr uint32_t CM_DISCONNECTED = WM_USER + 4322; // 5346
constexpr uint32_t CM_ERROR = WM_USER + 4323;        // 5347
constexpr uint32_t CM_SUBMITTED = WM_USER + 4324;    // 5348

/// True when S holds a character other than '+' and the digits 0-9.
GARVEL_API bool IsAlphaNumeric(const std::string& S);

class TReceiveThread;
class TKeepAliveThread;

/// The relay: one TCP connection to an SMSC, the session state, blocking
/// requests with a response time-out, a receive thread, an optional
/// keep-alive thread, and delivery of received messages and disconnects to
/// the thread that created the component.
///
/// Threads. The creating ("main") thread calls every public operation and
/// must pump its notification queue (Application()->ProcessMessages() or an
/// event loop on Application()->NotifyFd()); every event handler runs there.
/// Disconnect may also be called from any other thread. The keep-alive
/// thread calls Alive.
///
/// The contract every protocol relies on:
/// - Correlation. A request records the key of the answer it waits for
///   (TxcSMSCMessage::GetRequestKey) before it is sent; a received answer
///   goes only to the request whose key it carries. Any other answer (late
///   after a time-out, duplicated, for another operation) is dropped and
///   reported through OnError. Each request has its own result.
/// - Housekeeping. The SMSC's keep-alive and similar control requests
///   (GetControlAction) are answered by the receive thread as they arrive,
///   whether or not the main thread pumps, and raise no event.
/// - Bounded waits. Connect waits at most ConnectTimeOut; the output lock,
///   every send and every wait for an answer at most ResponseTimeOut. A
///   send that cannot complete in that time breaks the connection
///   (drSendTimeOut); so does a keep-alive without answer (drKeepAliveFailed).
/// - Disconnect. Exactly one OnDisconnected per session, carrying the reason
///   of whatever broke it first (drLocal for Disconnect, even when a send
///   fails meanwhile). Every waiting request returns -1 at once. The state
///   is rsNotConnected before OnDisconnected runs, and the handler may
///   destroy the component or Connect again. No message or status-report
///   event is raised once the session is broken (after OnDisconnected, or
///   once Disconnect has returned): messages received but not yet handled
///   are dropped unacknowledged, so the SMSC delivers them again.
/// - Back-pressure. At most ReceiveQueueSize received messages wait for the
///   main thread; beyond that the receive thread stops reading and TCP holds
///   the SMSC back (answers to requests then wait behind them too).
///
/// Windowed submission. Besides the blocking submit, every protocol
/// component offers SubmitMessageAsync: it returns at once with a ticket
/// and the outcome arrives through OnSubmitCompleted on the main thread,
/// exactly once per ticket (a broken link completes every outstanding
/// ticket with -1; an answer after its request's time-out is dropped, the
/// ticket having completed with -1). WindowSize bounds the submits in flight,
/// blocking and asynchronous together; a submit finding the window full
/// waits for a place at most ResponseTimeOut. MaxSubmitRate spaces submits
/// evenly; an SMSC's "throttled" answer holds new submits back for
/// ThrottleBackOff. Keep-alives, polls and acknowledgements are not counted
/// and never wait for the window or the rate.
///
/// Teardown. The destructor ends and joins both worker threads and discards
/// notifications not yet handled; no event is raised from it. Classes that
/// derive from it call StopThreads() at the start of their destructors.
class GARVEL_API TxcGarvel : public TComponent {
public:
  TxcGarvel(TComponent* AOwner, TMessageClass AMessageClass, const std::string& AProtocolName);
  ~TxcGarvel() override;

  /// Opens the TCP connection, waiting at most ConnectTimeOut. 0; -2 outside
  /// rsNotConnected; EINVAL for a port outside 0..65535; ETIMEDOUT when the
  /// time-out passed; ECANCELED when Disconnect was called meanwhile from
  /// another thread; otherwise the errno of the failure (ECONNREFUSED...).
  int Connect(const std::string& Host, int Port);
  /// Ends the session in any state, from any thread. From rsConnected on,
  /// exactly one OnDisconnected with Reason 0 follows (on the main thread,
  /// when pumped) and nothing received is handed to the application any
  /// more; in rsNotConnected nothing is raised, but a Connect in progress on
  /// another thread is cancelled. In rsLoggedIn the protocol's logout goes
  /// out first (Logout), waiting at most LogoutTimeOut for its answer.
  void Disconnect();

  virtual int RequestDelivery();
  virtual int Alive();
  virtual int Login();
  /// The protocol's orderly end of a session (SMPP unbind), sent by
  /// Disconnect while logged in; it waits for the answer at most
  /// LogoutTimeOut. The base has none: -2, nothing sent.
  virtual int Logout();
  /// Hook for a received message; true makes the relay acknowledge it.
  virtual bool MessageReceived(TxcSMSCMessage& Message);
  virtual bool StatusReportReceived(TxcSMSCMessage& Message);
  virtual int InitializeSession();
  virtual int SubmitMessage();
  /// Encodes the acknowledgement of Message and sends it.
  void Response(TxcSMSCMessage& Message);

  TDisconnectedEvent OnDisconnected;
  /// Raised on the main thread once for every ticket SubmitMessageAsync
  /// returned, when every part has been answered, has timed out, or could
  /// not be sent; also after the session has ended (the parts still out then
  /// get -1). Without a handler the outcome is dropped.
  TSubmitCompletedEvent OnSubmitCompleted;
  /// Raised on the main thread when something received could not be
  /// handled: an answer no request waits for (dropped), a response that
  /// failed to decode (dropped, the session goes on), a handler that threw
  /// while a received message was processed (the message is not
  /// acknowledged), a failure of the receive side. Without a handler such
  /// errors are dropped. At most 32 wait at a time; further ones are counted
  /// and the count is reported with the next.
  TErrorEvent OnError;

  bool KeepAlive() const { return FKeepAlive; }
  void SetKeepAlive(bool Value);
  int KeepAliveInterval() const { return FKeepAliveInterval.load(); }
  void SetKeepAliveInterval(int Value);
  int ResponseTimeOut() const { return FResponseTimeOut.load(); }
  void SetResponseTimeOut(int Value);
  /// Milliseconds Connect waits for the connection (default 10000; a
  /// non-positive value waits as long as the system does).
  int ConnectTimeOut() const { return FConnectTimeOut.load(); }
  void SetConnectTimeOut(int Value) { FConnectTimeOut.store(Value); }
  /// Milliseconds Disconnect waits for the answer to the protocol's logout
  /// (default 1000; 0 sends no logout).
  int LogoutTimeOut() const { return FLogoutTimeOut.load(); }
  void SetLogoutTimeOut(int Value) { FLogoutTimeOut.store(Value < 0 ? 0 : Value); }
  /// How et7BitText travels where the SMSC chooses the alphabet (UCP AMsg,
  /// SMPP data_coding 0), both ways. Set it before the session starts.
  TxcTextCoding TextCoding() const { return FTextCoding.load(); }
  void SetTextCoding(TxcTextCoding Value) { FTextCoding.store(Value); }
  /// Received messages that may wait for the main thread (default 256, at
  /// least 1). Takes effect at once.
  int ReceiveQueueSize() const { return FReceiveQueueSize.load(); }
  void SetReceiveQueueSize(int Value);
  /// Submits that may be in flight at once, blocking and asynchronous
  /// together (default 10; clamped to 1..MaxWindowSize()). Takes effect at
  /// once.
  int WindowSize() const { return FWindowSize.load(); }
  void SetWindowSize(int Value);
  /// The largest window the protocol's numbering allows.
  virtual int MaxWindowSize() const;
  /// Submits sent and not yet answered (nor timed out).
  int InFlight() const;
  /// Asynchronous submits whose OnSubmitCompleted has not been posted yet.
  int OutstandingTickets() const;
  /// Most submits per second, spread evenly (no bursts); 0 (the default)
  /// for no limit.
  double MaxSubmitRate() const { return FMaxSubmitRate.load(); }
  void SetMaxSubmitRate(double PerSecond) { FMaxSubmitRate.store(PerSecond > 0 ? PerSecond : 0); }
  /// Milliseconds new submits wait after the SMSC answered one "throttled"
  /// (default 1000). The throttled submit itself is reported as answered.
  int ThrottleBackOff() const { return FThrottleBackOff.load(); }
  void SetThrottleBackOff(int Ms) { FThrottleBackOff.store(Ms < 0 ? 0 : Ms); }
  /// Whether SubmitMessageAsync splits a text too long for one message into
  /// concatenated parts (default true) or refuses it with -4.
  bool SplitLongMessages() const { return FSplitLongMessages.load(); }
  void SetSplitLongMessages(bool Value) { FSplitLongMessages.store(Value); }
  /// Whether received parts of a concatenated message are held and joined
  /// into one OnMessageReceived (default false: every part is raised as it
  /// comes). Each part is acknowledged when it arrives.
  bool ReassembleMessages() const { return FReassembleMessages.load(); }
  void SetReassembleMessages(bool Value) { FReassembleMessages.store(Value); }
  /// Milliseconds the parts of an incomplete message are held; then they
  /// are raised one by one as they came (default 60000).
  int ReassemblyTimeOut() const { return FReassemblyTimeOut.load(); }
  void SetReassemblyTimeOut(int Ms) { FReassemblyTimeOut.store(Ms < 1 ? 1 : Ms); }
  TRelayState State() const { return FState.load(); }
  const std::string& ProtocolName() const { return FProtocolName; }
  HWND WindowHandle() const { return FWindowHandle; }

  /// Holds the output message and the send path from encoding to sending.
  /// Every request takes it before encoding into FOutputMessage; MessageOut
  /// releases it once the bytes are sent, so waiting for the response never
  /// holds it. The wait for it is bounded by ResponseTimeOut: a request
  /// whose lock is not Owned() returns -1 without touching FOutputMessage.
  /// Released by the destructor if still held (an encoder threw).
  class GARVEL_API TOutputLock {
  public:
    explicit TOutputLock(TxcGarvel& Relay);
    ~TOutputLock();
    TOutputLock(const TOutputLock&) = delete;
    TOutputLock& operator=(const TOutputLock&) = delete;
    bool Owned() const { return FOwned; }
    explicit operator bool() const { return FOwned; }

  private:
    TxcGarvel& FRelay;
    bool FOwned;
  };

protected:
  /// The answer a request received: its own decoded copy (null when none
  /// came). A protocol reads the fields its decoder stored from here.
  using TResponse = std::unique_ptr<TxcSMSCMessage>;

  /// A place in the submit window. Taking one waits, at most ResponseTimeOut
  /// in all, for the throttle back-off to pass, for the rate's next turn and
  /// for the window to have room. Take it before the output lock, so that
  /// the waits hold nothing else up.
  class GARVEL_API TSubmitSlot {
  public:
    explicit TSubmitSlot(TxcGarvel& Relay);
    ~TSubmitSlot();
    TSubmitSlot(const TSubmitSlot&) = delete;
    TSubmitSlot& operator=(const TSubmitSlot&) = delete;
    /// rcOk once held; rcWrongState when the session is not logged in;
    /// rcTimeOut when the waits ran out or the session ended meanwhile.
    int Result() const { return FResult; }
    explicit operator bool() const { return FResult == rcOk && FHeld; }

  private:
    friend class TxcGarvel;
    TxcGarvel& FRelay;
    bool FHeld = false;
    int FResult = rcTimeOut;
  };

  /// Submits PartCount parts without waiting for their answers and returns
  /// the ticket of the whole (0 and the failure when the first part could
  /// not be sent: then nothing was, and nothing is raised). For each part it
  /// takes a window slot and the output lock and calls Encode(Part), which
  /// encodes that part into FOutputMessage and returns rcOk or the reason it
  /// cannot (rcCannotCarry). A later part that cannot go out fails with the
  /// parts after it, and the ticket reports them.
  int SubmitParts(int PartCount, const std::function<int(int Part)>& Encode, TSubmitTicket& Ticket);
  /// The next 8-bit reference for the parts of a long message.
  uint8_t NextConcatReference() { return static_cast<uint8_t>(FConcatReference.fetch_add(1)); }
  /// True while a request waits for an answer with this key: protocols whose
  /// numbers wrap soon skip such numbers.
  bool RequestPending(const TMessageKey& Key) const;
  /// Main thread, on the housekeeping timer: a protocol releases received
  /// parts held past ReassemblyTimeOut (All: every held part, the session
  /// being over). True while it still holds some. Nothing in the base.
  virtual bool ReleaseHeldParts(bool All);
  /// Expires when the component is destroyed: a protocol raising several
  /// events in a row checks it after each handler.
  std::weak_ptr<int> LifeToken() const { return FLifeToken; }
  /// Raises OnError on the main thread now (an error handler that throws
  /// is ignored).
  void ReportError(const std::string& Text);
  /// Asks for the housekeeping timer (ReleaseHeldParts, and time-outs of
  /// asynchronous submits while nobody else looks).
  void NeedHousekeeping();

  int InternalInitializeSession();
  int InternalLogin(TResponse* Response = nullptr);
  int InternalAlive(TResponse* Response = nullptr);
  int InternalRequestDelivery(TResponse* Response = nullptr);
  int InternalSubmitMessage(TResponse* Response = nullptr);
  /// Sends the logout encoded in FOutputMessage and waits at most
  /// LogoutTimeOut for its answer (mtLogoutRsp).
  int InternalLogout(TResponse* Response = nullptr);

  /// Sends FOutputMessage (taking the output lock unless this thread holds
  /// it, and releasing it after). False when nothing or not all went out;
  /// a failed send breaks the connection.
  bool MessageOut();
  /// Records the key of the answer FOutputMessage's request waits for, sends
  /// it and waits up to ResponseTimeOut for that answer. The SMSC's result,
  /// or -1 on time-out, failed send or broken connection. Event names the
  /// kind of request (FSubmitEvent: login and submit; FAliveEvent:
  /// keep-alive and poll) for protocols that number nothing.
  int MessageOutAndWait(TEvent& Event, TResponse* Response = nullptr, int TimeOutMs = -1);
  void MessageIn();
  void DoReceivedEvent();
  /// Ends the session with Reason (EINTR counts as 0) unless it has already
  /// ended: see BreakSession.
  void DoDisconnectedEvent(int Reason);
  void Received(TMessage& Message);
  void Disconnected(TMessage& Message);
  void WndProc(TMessage& Message);

  /// Ends the session once: the first caller's Reason wins. Shuts the
  /// connection down, tells the workers to end, releases every waiting
  /// request with -1 and posts the one disconnected notification. Any
  /// thread. False when the session had already ended.
  bool BreakSession(int Reason);
  /// True in rsInitialized and rsLoggedIn: the receive thread runs. Login,
  /// Alive and RequestDelivery need it (-2 otherwise, nothing sent).
  bool SessionStarted() const;
  /// True once the current session has ended, and before the first.
  bool SessionBroken() const { return FBreakReason.load() != kNotBroken; }

  /// Ends and joins the worker threads (the session's connection is shut
  /// down). The keep-alive thread calls the virtual Alive, so a derived
  /// component must call this first thing in its own destructor: by the time
  /// the base destructor runs, the derived part is gone.
  void StopThreads();

  /// Held by the receive thread while it frames and classifies into
  /// FInputMessage.
  std::mutex& InputLock() { return FInputLock; }

  std::unique_ptr<TxcTcpClient> FClient;
  std::unique_ptr<TEvent> FAliveEvent;
  std::unique_ptr<TEvent> FSubmitEvent;
  std::unique_ptr<TEvent> FAliveIntervalEvent;
  TMessageClass FMessageClass;
  HWND FWindowHandle = 0;
  bool FKeepAlive = true;
  std::atomic<int> FKeepAliveInterval{10000};
  std::atomic<int> FResponseTimeOut{10000};
  std::atomic<int> FConnectTimeOut{10000};
  std::atomic<int> FReceiveQueueSize{256};
  std::atomic<int> FLogoutTimeOut{1000};
  std::atomic<TxcTextCoding> FTextCoding{tcWindows1252};
  std::atomic<TRelayState> FState{rsNotConnected};
  std::unique_ptr<TxcSMSCMessage> FOutputMessage;
  std::unique_ptr<TxcSMSCMessage> FInputMessage;
  std::string FProtocolName;

private:
  friend class TReceiveThread;
  friend class TKeepAliveThread;
  struct TPendingRequest;

  static constexpr int kNotBroken = INT32_MIN;

  void ReceiveLoop(TThread& Self);
  void ReceiveLoopBody(TThread& Self);
  void KeepAliveLoop(TThread& Self);
  void PostError(const std::string& Text);
  bool AcquireOutput();
  void ReleaseOutput();
  void TerminateReceiveThread();
  void TerminateKeepAliveThread();
  void ReapThreads(bool WaitAll);
  void WakeWorkers();
  void FailPending();
  bool SendMessage(const TxcSMSCMessage& Message);
  void FlushBatch();
  void AnswerAtOnce(bool ThenClose);
  void DeliverAnswer(TReceiveMessageType Type);
  int SendBound() const;
  int AcquireSubmitSlot();
  void ReleaseSubmitSlot();
  void SendPart(TSubmitTicket Ticket, int Part);
  // FPendingLock held: resolving parts and the window.
  void CompletePartLocked(TSubmitTicket Ticket, int Part, int Result, const TxcSMSCMessage* Answer,
                          std::vector<std::unique_ptr<TxcSubmitCompletion>>& Done);
  void ResolveAsyncLocked(TPendingRequest* P, int Result, const TxcSMSCMessage* Answer,
                          std::vector<std::unique_ptr<TxcSubmitCompletion>>& Done);
  void ExpireLocked(std::chrono::steady_clock::time_point Now,
                    std::vector<std::unique_ptr<TxcSubmitCompletion>>& Done);
  void PostCompletions(std::vector<std::unique_ptr<TxcSubmitCompletion>>& Done);
  void Submitted(TMessage& Message);
  void Housekeeping();

  std::unique_ptr<TReceiveThread> FReceiveThread;
  std::unique_ptr<TKeepAliveThread> FKeepAliveThread;
  std::vector<std::unique_ptr<TThread>> FRetired; // told to end, not yet joined
  std::mutex FThreadLock; // FReceiveThread/FKeepAliveThread seen from the workers
  // The output lock (see TOutputLock): busy flag, its guard, its waiters.
  std::mutex FOutputGate;
  std::condition_variable FOutputFree;
  bool FOutputBusy = false;
  std::atomic<std::thread::id> FOutputOwner{};
  std::mutex FInputLock;
  // The receive thread's own message for the answers it sends by itself.
  std::unique_ptr<TxcSMSCMessage> FControlMessage;

  // Requests waiting for their answers.
  mutable std::mutex FPendingLock;
  std::vector<TPendingRequest*> FPending;
  // The submit window, the rate and the back-off (under FPendingLock).
  struct TTicketRecord {
    std::vector<TxcPartResult> Parts;
    int Remaining = 0;
    std::chrono::steady_clock::time_point Sent{};
  };
  std::condition_variable FWindowCond;
  int FInFlight = 0;
  std::chrono::steady_clock::time_point FNextSubmitAt{};
  std::chrono::steady_clock::time_point FPausedUntil{};
  std::chrono::steady_clock::time_point FEarliestDeadline =
      std::chrono::steady_clock::time_point::max(); // of the asynchronous parts, or later
  std::unordered_map<TSubmitTicket, TTicketRecord> FTickets;
  TSubmitTicket FLastTicket = 0;
  int FAsyncPending = 0; // asynchronous parts in FPending
  // Submits encoded while other requests were on the wire, written with
  // the next send or when an answer comes (under the output lock).
  static constexpr size_t kMaxBatch = 16384;
  static constexpr std::chrono::microseconds kAnswersFlowing{1000};
  int64_t FLastAsyncAnswer = 0; // steady_clock ticks (under FPendingLock)
  std::vector<uint8_t> FBatch;
  std::atomic<bool> FBatchWaiting{false};
  // steady_clock ticks of the last send, for the keep-alive interval.
  std::atomic<int64_t> FLastSend{0};
  std::atomic<int> FWindowSize{10};
  std::atomic<double> FMaxSubmitRate{0};
  std::atomic<int> FThrottleBackOff{1000};
  std::atomic<bool> FSplitLongMessages{true};
  std::atomic<bool> FReassembleMessages{false};
  std::atomic<int> FReassemblyTimeOut{60000};
  std::atomic<unsigned> FConcatReference{1};
  std::mutex FHousekeepingLock;
  bool FHousekeeping = false; // the housekeeping timer runs

  // The session: its number (stamped on every notification) and whether,
  // and why, it has ended.
  std::atomic<uint64_t> FSession{0};
  std::atomic<int> FBreakReason{drLocal}; // no session yet
  // Set while Disconnect logs out: whatever ends the session meanwhile (the
  // SMSC closing after its answer), the reason is the local one.
  std::atomic<bool> FClosing{false};

  // Received messages posted and not yet handled (current session only).
  std::mutex FQueueLock;
  std::condition_variable FQueueCond;
  int FQueued = 0;
  bool FStopReceiving = false;

  std::atomic<int> FErrorsQueued{0};
  std::atomic<int> FErrorsSuppressed{0};

  // Tells handlers run from WndProc whether the component still exists.
  std::shared_ptr<int> FLifeToken = std::make_shared<int>(0);
};

} // namespace garvel
