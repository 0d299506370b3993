// The SMSC simulator's TCP server: accepts clients and plays the SMSC side
// of one protocol to each of them.
#pragma once

#include "Personality.h"
#include "SimTypes.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace garvel {
class TThread;
class TTcpListener;
} // namespace garvel

namespace garvel::sim {

namespace detail {
class TLogLimiter;
class TSmscSession;
class TWaiters;
} // namespace detail

/// A simulated SMSC listening on a TCP port.
///
/// Each accepted connection gets its own thread, which frames what the
/// client sends, records every frame, answers through the protocol's
/// personality and sends what it schedules (late answers, automatic status
/// reports). The push operations (Deliver, SendStatusReport, Alert,
/// SendRaw) may be called from any thread; they write to the most recently
/// accepted connection that is still open and return once the frame is
/// written. Every other member may be called from any thread as well.
///
/// Teardown: Stop (also run by the destructor) closes the listener and
/// every connection and joins every thread; nothing of the server runs
/// after it returns. OnLog is called from the server's threads and must
/// not call back into the server.
///
/// Memory and log stay bounded whatever the clients send: the records keep
/// the last TSimConfig::RecordLimit frames and submits (the counts cover
/// them all), and the log collapses repeated lines and holds back lines
/// beyond a short burst and a few a second, reporting how many it held
/// back. An idle connection's thread sleeps until bytes arrive, a scheduled
/// frame is due, or another thread ends the connection.
class TSmscServer {
public:
  /// A server for the protocol of that name (see PersonalityNames);
  /// std::invalid_argument when there is no such protocol.
  explicit TSmscServer(const std::string& Protocol, TSimConfig Config = {});
  explicit TSmscServer(std::unique_ptr<TPersonality> Personality, TSimConfig Config = {});
  ~TSmscServer();
  TSmscServer(const TSmscServer&) = delete;
  TSmscServer& operator=(const TSmscServer&) = delete;

  /// Listens on Host:Port (Port 0 picks a free one, see Port()) and starts
  /// accepting. False with LastError() set (an errno) when the port cannot
  /// be bound; false also when already started.
  bool Start(const std::string& Host = "127.0.0.1", int Port = 0);
  /// Stops accepting, closes every connection and joins every thread.
  /// Idempotent.
  void Stop();
  /// The bound port, 0 before Start.
  int Port() const { return FPort.load(); }
  int LastError() const { return FLastError.load(); }
  std::string Protocol() const;

  TSimConfig Config() const;
  void SetConfig(const TSimConfig& Config);

  /// Receives one line per event (connections, frames in and out). Set
  /// before Start. Identical lines in a row come once, followed by a line
  /// that counts the repeats; beyond a burst of kLogBurst lines at most
  /// kLogLinesPerSecond go out each second, and a line counting those held
  /// back precedes the next one that goes out (Stop writes what is pending).
  /// Lines that count (repeats, lines held back) start with "... ".
  std::function<void(const std::string& Line)> OnLog;
  static constexpr int kLogBurst = 50;
  static constexpr int kLogLinesPerSecond = 10;
  /// Longer lines are cut to this many characters.
  static constexpr size_t kMaxLogLine = 2048;

  // --- Connections ------------------------------------------------------

  /// Connections open now.
  int SessionCount() const;
  /// Connections accepted since Start.
  int SessionsAccepted() const;
  /// Waits until at least Count connections have been accepted since Start.
  bool WaitForSessions(int Count, int TimeoutMs) const;
  /// Waits until no connection is open.
  bool WaitNoSession(int TimeoutMs) const;
  /// Closes every open connection (orderly, or abortively with Reset).
  void CloseSessions(bool Reset = false);

  // --- Sending of the simulator's own accord ----------------------------

  TPushResult Deliver(const TSimMessage& Message);
  TPushResult SendStatusReport(const TSimStatusReport& Report);
  /// The protocol's keep-alive request from the SMSC side (UCP: OT 31).
  TPushResult Alert();
  /// Writes bytes as they are (and unsplit), for garbage and hand-made frames.
  TPushResult SendRaw(const std::string& Bytes);

  // --- Records ----------------------------------------------------------

  /// The frames received since Start (or ClearRecords), in arrival order:
  /// the last RecordLimit of them.
  std::vector<TReceivedFrame> Received() const;
  /// Frames received under that operation name since Start (or
  /// ClearRecords), whether or not the record still holds them.
  int CountReceived(const std::string& Operation) const;
  /// Waits until CountReceived(Operation) is at least Count.
  bool WaitReceived(const std::string& Operation, int Count, int TimeoutMs) const;
  /// The submits accepted, in order: the last RecordLimit of them.
  std::vector<TSubmitRecord> Submits() const;
  /// Submits accepted since Start (or ClearRecords), all of them counted.
  int CountSubmits() const;
  /// Waits until CountSubmits() is at least Count.
  bool WaitSubmits(int Count, int TimeoutMs) const;
  /// Empties the records and resets the counts.
  void ClearRecords();

  /// The personality, for tests that frame or name bytes the same way.
  const TPersonality& Personality() const { return *FPersonality; }

private:
  friend class detail::TSmscSession;

  void AcceptLoop(TThread& Self);
  void ReapSessions(bool All);
  std::shared_ptr<detail::TSmscSession> LatestSession() const;
  void Record(TReceivedFrame Frame);
  void RecordSubmit(const TSubmitRecord& Submit);
  void SessionEnded();
  void Log(const std::string& Line) const;
  void FlushLog() const;
  bool WaitUntil(const std::function<bool()>& Pred, int TimeoutMs) const;
  // FLock held.
  int64_t CountLocked(const std::string& Operation) const;
  void TrimRecordsLocked();

  std::unique_ptr<TPersonality> FPersonality;
  std::unique_ptr<TTcpListener> FListener;
  std::unique_ptr<TThread> FAcceptThread;
  std::atomic<int> FPort{0};
  std::atomic<int> FLastError{0};
  std::atomic<bool> FStarted{false};
  // Changes with every SetConfig, so that a connection copies the
  // configuration only when it changed.
  std::atomic<uint64_t> FConfigVersion{1};

  mutable std::mutex FLock; // everything below
  TSimConfig FConfig;
  std::vector<std::shared_ptr<detail::TSmscSession>> FSessions;
  int FAccepted = 0;
  std::deque<TReceivedFrame> FReceived; // the last RecordLimit
  // Frames received by operation name. A client can make up any number of
  // names (SMPP command ids), so past kMaxCountedNames new names are no
  // longer added: those are counted in the record instead.
  std::map<std::string, int64_t> FReceivedCounts;
  static constexpr size_t kMaxCountedNames = 1024;
  std::deque<TSubmitRecord> FSubmits; // the last RecordLimit
  int64_t FSubmitCount = 0;
  std::unique_ptr<detail::TWaiters> FWaiters; // woken whenever the above changes
  mutable std::mutex FLogLock;                // serialises OnLog; guards FLogLimiter
  std::unique_ptr<detail::TLogLimiter> FLogLimiter;
};

} // namespace garvel::sim
