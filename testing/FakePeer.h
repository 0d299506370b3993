// A scripted TCP peer on 127.0.0.1 for the relay and protocol tests.
#pragma once

#include "Sockets.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace garvel::testing {

/// Listens on an ephemeral loopback port and accepts one connection at a
/// time. A background thread collects everything the client sends, so a
/// test can wait for bytes, write bytes back (whole, split, late), and
/// close or reset the connection. Stopped and joined by the destructor.
class TFakePeer {
public:
  TFakePeer();
  ~TFakePeer();

  int Port() const { return FListener.Port(); }
  /// Waits for the client to connect (and drops an earlier connection).
  bool Accept(int TimeoutMs = 5000);
  /// Waits until at least N bytes have arrived since the last Take; returns
  /// them all (or what arrived before the time-out) and forgets them.
  std::string Take(size_t N, int TimeoutMs = 5000);
  /// Waits until Pred holds for the bytes received so far; returns them and
  /// forgets them. Empty on time-out (the bytes stay).
  std::string TakeWhen(const std::function<bool(const std::string&)>& Pred, int TimeoutMs = 5000);
  /// What has arrived and not been taken.
  std::string Pending();
  /// Waits TimeoutMs and reports whether anything at all arrived.
  bool Quiet(int TimeoutMs);
  /// Sends bytes to the client; false if the connection is gone.
  bool Write(const std::string& Bytes);
  /// Sends Bytes in pieces of Piece bytes with DelayMs between them.
  bool WriteSplit(const std::string& Bytes, size_t Piece, int DelayMs);
  /// Stops (true) or resumes reading what the client sends: a peer that
  /// stops reading, so that the client's sends back up.
  void PauseReading(bool On) { FPaused.store(On); }
  /// Sets the receive buffer of the accepted connection (SO_RCVBUF), so
  /// that a paused peer backs the client up after a few kilobytes.
  void SetReceiveBuffer(int Bytes);
  /// Orderly close (FIN).
  void Close();
  /// Abortive close (RST).
  void Reset();
  /// True once the client has closed its side.
  bool ClientClosed();
  /// Waits until the client closes; false on time-out.
  bool WaitClientClosed(int TimeoutMs = 5000);

private:
  void ReadLoop(TCustomIpClient* Conn);
  void StopReader();

  TTcpListener FListener;
  std::unique_ptr<TCustomIpClient> FConn;
  std::thread FReader;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FPaused{false};
  std::mutex FLock;
  std::condition_variable FCond;
  std::string FData;
  bool FClosed = false;
};

/// Milliseconds of CPU time this process has used (user + system).
double ProcessCpuMs();
/// Open file descriptors and threads of this process.
int OpenFdCount();
int ThreadCount();

} // namespace garvel::testing
