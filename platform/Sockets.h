// Blocking TCP client and listener over POSIX sockets.
#pragma once

#include "GarvelExport.h"
#include "Classes.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
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
/// Threads: one thread reads (WaitForData, PeekBuf, PeekData, ReceiveBuf,
/// Skip); any thread may send, but concurrent SendBuf calls must be
/// serialised by the caller. Disconnect may be called from any thread at any
/// time: it shuts the socket down, which wakes a blocked WaitForData or
/// SendBuf, and aborts a Connect in progress on another thread, but keeps the
/// descriptor so that no other thread can meet a reused number. Close and
/// Abort release the descriptor and may be called only when no other thread
/// reads or sends; they are serialised with Disconnect, so a Disconnect racing
/// them never touches a descriptor number the system has handed out again.
///
/// Received bytes are kept in a user-space buffer behind PeekBuf, PeekData,
/// ReceiveBuf and Skip; WaitForData reports readable only when the buffer
/// holds bytes that no peek has yet found insufficient, so a reader waiting
/// for the rest of a message blocks instead of spinning. Consuming from the
/// buffer costs only the bytes consumed, however much is buffered behind
/// them.
class GARVEL_API TCustomIpClient : public TComponent {
public:
  explicit TCustomIpClient(TComponent* AOwner = nullptr);
  ~TCustomIpClient() override;

  std::string RemoteHost;
  /// A decimal port number, 0..65535.
  std::string RemotePort;
  bool BlockMode = true; ///< kept for the interface; the client always blocks

  /// Resolves RemoteHost:RemotePort (IPv4 or IPv6) and connects, trying each
  /// resolved address in turn within one time limit of TimeoutMs (negative:
  /// no limit; name resolution itself is not bounded). Closes an earlier
  /// socket first. On failure returns false with no descriptor kept and
  /// LastError set: EINVAL when RemotePort is not a decimal number in
  /// 0..65535 (nothing is resolved then), ETIMEDOUT when the limit passed,
  /// ECANCELED when Disconnect was called meanwhile from another thread,
  /// EHOSTUNREACH when the name does not resolve, or the connect error
  /// (ECONNREFUSED...). A Disconnect made before Connect starts is forgotten.
  bool Connect(int TimeoutMs = -1);
  /// Shuts the connection down in both directions; see the class comment.
  void Disconnect();
  /// Shuts down the receiving side only: a thread blocked in WaitForData
  /// wakes and sees the end of the stream, and nothing is sent to the peer
  /// (unlike Disconnect, which sends the end of the stream). Any thread.
  void ShutdownReceive();
  /// Releases the descriptor and the buffer.
  void Close();
  /// Closes abortively: the peer receives a reset instead of an end of
  /// stream. Like Close, only when no other thread uses the client.
  void Abort();
  /// True between a successful Connect (or Adopt) and Disconnect/Close.
  bool Connected() const { return FConnected.load(std::memory_order_acquire); }
  /// True when Disconnect was called locally since the last Connect.
  bool LocalShutdown() const { return FLocalShutdown.load(std::memory_order_acquire); }

  /// Sends all Len bytes within TimeoutMs (negative: no limit; 0: only what
  /// the socket takes without waiting). Returns Len, or -1 with LastError
  /// set: ETIMEDOUT when the limit passed (some bytes may have gone out, so
  /// the stream is no longer usable and the caller should drop the
  /// connection), ENOTCONN or EPIPE after Disconnect, EINVAL for a negative
  /// Len, or the system's error.
  int SendBuf(const void* Buf, int Len, int TimeoutMs = -1);
  /// Copies up to Len buffered bytes without consuming them, first taking
  /// whatever has already arrived. Returns the count copied (0 if none). A
  /// count below Len marks the buffer stale for WaitForData.
  int PeekBuf(void* Buf, int Len);
  /// When nothing is buffered, first takes whatever has already arrived
  /// (without waiting; one system call at most), then points Data
  /// at the first unconsumed buffered byte and returns how many are
  /// buffered (0: Data may be null). Data stays valid until the next call of
  /// any reading member. Does not mark the buffer stale.
  int PeekData(const uint8_t*& Data);
  /// Consumes up to Len bytes (waiting for none); returns the count.
  int ReceiveBuf(void* Buf, int Len);
  /// Consumes up to Count buffered bytes without copying them (waiting for
  /// none); returns the count. Like ReceiveBuf it clears the stale mark.
  int Skip(int Count);
  /// Waits for data; TimeoutMs -1 waits without limit.
  TWaitForDataResult WaitForData(int TimeoutMs = -1);
  /// errno of the last failure, 0 after a clean close by the peer.
  int LastError() const { return FLastError.load(std::memory_order_acquire); }

  /// Takes over an accepted descriptor (server side).
  void Adopt(int Fd);
  /// Bytes buffered and not yet consumed.
  size_t Buffered() const { return FTail - FHead; }
  /// The descriptor, for socket options a test or server needs; -1 if none.
  int Handle() const { return FFd.load(); }
  /// The local port of the connection, or 0.
  int LocalPort() const;

private:
  // Reads what the socket holds into the buffer without waiting.
  // Returns >0 bytes read, 0 on end of stream, -1 with errno kept, -2 would block.
  int Fill();
  // Makes room for at least Room bytes after the buffered ones.
  void MakeRoom(size_t Room);
  void Consume(size_t N);
  void ResetBuffer();
  // Resolves and connects; returns the connected descriptor, or -1 with Err set.
  int OpenConnection(int TimeoutMs, int& Err);
  int FinishConnect(int Fd, bool Bounded, std::chrono::steady_clock::time_point Deadline);

  std::atomic<int> FFd{-1};
  std::atomic<bool> FConnected{false};
  std::atomic<bool> FLocalShutdown{false};
  std::atomic<int> FLastError{0};
  // Serialises the use of FFd by Disconnect, Close, Abort and the
  // publication of a new descriptor; also guards FConnecting.
  std::mutex FLock;
  bool FConnecting = false;
  std::atomic<bool> FCancel{false}; // Disconnect during Connect
  int FWakeFd = -1;                 // eventfd that wakes a connecting poll; FLock

  // Received bytes: [FHead, FTail) of FStore, which holds FCap bytes.
  std::unique_ptr<uint8_t[]> FStore;
  size_t FCap = 0;
  size_t FHead = 0;
  size_t FTail = 0;
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
