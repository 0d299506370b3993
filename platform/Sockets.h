// Blocking TCP client and listener over POSIX sockets.
#pragma once

#include "GarvelExport.h"
#include "Classes.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct pollfd;
struct sockaddr;

namespace garvel {

/// The system calls the socket classes make, gathered so that tests can
/// inject failures (EINTR, EAGAIN, short writes, resets). Defaults are the
/// libc functions. Replace entries only while no socket is in use.
struct TSocketApi {
  int (*Socket)(int, int, int);
  int (*Connect)(int, const sockaddr*, unsigned);
  int (*Poll)(pollfd*, unsigned long, int);
  ssize_t (*Send)(int, const void*, size_t, int);
  ssize_t (*Recv)(int, void*, size_t, int);
  int (*Shutdown)(int, int);
  int (*Close)(int);
};

GARVEL_API TSocketApi& SocketApi();
/// Restores the libc defaults.
GARVEL_API void ResetSocketApi();

enum TWaitForDataResult : uint8_t {
  wdReadable, ///< bytes are buffered that no peek has yet found too few
  wdClosed,   ///< the peer closed the stream, or Disconnect was called here
  wdFailed,   ///< the socket reported an error (LastError holds errno)
  wdTimeout   ///< nothing new arrived within the time limit
};

/// A blocking TCP connection.
///
/// Threads: one thread reads (WaitForData, PeekBuf, ReceiveBuf); any thread
/// may send, but concurrent SendBuf calls must be serialised by the caller.
/// Disconnect may be called from any thread at any time: it shuts the socket
/// down, which wakes a blocked WaitForData, but keeps the descriptor so that
/// no other thread can meet a reused number. Close releases the descriptor
/// and may be called only when no other thread uses the client.
///
/// Received bytes are kept in a user-space buffer behind PeekBuf and
/// ReceiveBuf; WaitForData reports readable only when the buffer holds bytes
/// that no peek has yet found insufficient, so a reader waiting for the rest
/// of a message blocks instead of spinning.
class GARVEL_API TCustomIpClient : public TComponent {
public:
  explicit TCustomIpClient(TComponent* AOwner = nullptr);
  ~TCustomIpClient() override;

  std::string RemoteHost;
  std::string RemotePort;
  bool BlockMode = true; ///< kept for the interface; the client always blocks

  /// Resolves RemoteHost:RemotePort (IPv4 or IPv6) and connects, blocking.
  /// On failure returns false with LastError set (ECONNREFUSED, ETIMEDOUT,
  /// EHOSTUNREACH when the name does not resolve...). Closes an earlier socket.
  bool Connect();
  /// Shuts the connection down in both directions; see the class comment.
  void Disconnect();
  /// Releases the descriptor and clears the buffer.
  void Close();
  /// Closes abortively: the peer receives a reset instead of an end of
  /// stream. Like Close, only when no other thread uses the client.
  void Abort();
  /// True between a successful Connect (or Adopt) and Disconnect/Close.
  bool Connected() const { return FConnected.load(std::memory_order_acquire); }
  /// True when Disconnect was called locally since the last Connect.
  bool LocalShutdown() const { return FLocalShutdown.load(std::memory_order_acquire); }

  /// Sends all Len bytes; returns Len, or -1 with LastError set.
  int SendBuf(const void* Buf, int Len);
  /// Copies up to Len buffered bytes without consuming them, first taking
  /// whatever has already arrived. Returns the count copied (0 if none).
  int PeekBuf(void* Buf, int Len);
  /// Consumes up to Len bytes (waiting for none); returns the count.
  int ReceiveBuf(void* Buf, int Len);
  /// Waits for data; TimeoutMs -1 waits without limit.
  TWaitForDataResult WaitForData(int TimeoutMs = -1);
  /// errno of the last failure, 0 after a clean close by the peer.
  int LastError() const { return FLastError.load(std::memory_order_acquire); }

  /// Takes over an accepted descriptor (server side).
  void Adopt(int Fd);
  /// Bytes buffered and not yet consumed.
  size_t Buffered() const { return FPending.size(); }
  /// The descriptor, for socket options a test or server needs; -1 if none.
  int Handle() const { return FFd.load(); }
  /// The local port of the connection, or 0.
  int LocalPort() const;

private:
  // Reads what the socket holds into the buffer without waiting.
  // Returns >0 bytes read, 0 on end of stream, -1 with errno kept, -2 would block.
  int Fill();

  std::atomic<int> FFd{-1};
  std::atomic<bool> FConnected{false};
  std::atomic<bool> FLocalShutdown{false};
  std::atomic<int> FLastError{0};
  std::vector<uint8_t> FPending;
  bool FStale = false; // a peek found the buffered bytes insufficient
  bool FEof = false;
};

/// A listening TCP socket for the server side (the simulator, test peers).
/// Accept may block on one thread while Close is called from another.
class GARVEL_API TTcpListener : public TObject {
public:
  TTcpListener();
  ~TTcpListener() override;

  /// Binds Host:Port (Port 0 picks a free port) and listens; false with
  /// LastError set on failure.
  bool Listen(const std::string& Host = "127.0.0.1", int Port = 0);
  /// The bound port.
  int Port() const { return FPort; }
  /// Waits up to TimeoutMs (-1 forever) for a connection. Returns null on
  /// time-out, after Close, or on error.
  std::unique_ptr<TCustomIpClient> Accept(int TimeoutMs = -1);
  /// Stops listening and wakes a blocked Accept. Any thread.
  void Close();
  int LastError() const { return FLastError; }

private:
  std::atomic<int> FFd{-1};
  std::atomic<bool> FClosed{false};
  int FWakeFd = -1;
  int FPort = 0;
  std::atomic<int> FLastError{0};
  std::mutex FLock;
};

} // namespace garvel
