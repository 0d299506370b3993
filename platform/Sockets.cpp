// Blocking TCP client and listener over POSIX sockets.
#include "Sockets.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace garvel {
namespace {

int DefSocket(int d, int t, int p) {
  return ::socket(d, t, p);
}
int DefConnect(int fd, const sockaddr* a, unsigned l) {
  return ::connect(fd, a, static_cast<socklen_t>(l));
}
int DefPoll(pollfd* f, unsigned long n, int t) {
  return ::poll(f, n, t);
}
ssize_t DefSend(int fd, const void* b, size_t n, int fl) {
  return ::send(fd, b, n, fl);
}
ssize_t DefRecv(int fd, void* b, size_t n, int fl) {
  return ::recv(fd, b, n, fl);
}
int DefShutdown(int fd, int how) {
  return ::shutdown(fd, how);
}
int DefClose(int fd) {
  return ::close(fd);
}

constexpr TSocketApi kDefaults{DefSocket, DefConnect,  DefPoll, DefSend,
                               DefRecv,   DefShutdown, DefClose};
TSocketApi gApi = kDefaults;

constexpr size_t kReadChunk = 65536;

using Clock = std::chrono::steady_clock;

// Milliseconds left until Deadline, rounded up so that 0 means it has
// passed; -1 when there is no deadline.
int MsLeft(bool Bounded, Clock::time_point Deadline) {
  if (!Bounded)
    return -1;
  auto left = Deadline - Clock::now();
  if (left <= Clock::duration::zero())
    return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

Clock::time_point DeadlineAfter(int TimeoutMs) {
  return Clock::now() + std::chrono::milliseconds(TimeoutMs > 0 ? TimeoutMs : 0);
}

// A decimal number 0..65535 and nothing else (getaddrinfo would take
// "70000" and silently use it modulo 65536).
bool ValidPort(const std::string& S) {
  if (S.empty())
    return false;
  long v = 0;
  for (char c : S) {
    if (c < '0' || c > '9')
      return false;
    v = v * 10 + (c - '0');
    if (v > 65535)
      return false;
  }
  return true;
}

void DrainEventFd(int Fd) {
  uint64_t v;
  if (Fd >= 0)
    (void)!read(Fd, &v, sizeof v);
}

void SignalEventFd(int Fd) {
  uint64_t one = 1;
  if (Fd >= 0)
    (void)!write(Fd, &one, sizeof one);
}

} // namespace

TSocketApi& SocketApi() {
  return gApi;
}
void ResetSocketApi() {
  gApi = kDefaults;
}

TCustomIpClient::TCustomIpClient(TComponent* AOwner) : TComponent(AOwner) {}

TCustomIpClient::~TCustomIpClient() {
  Close();
  if (FWakeFd >= 0)
    close(FWakeFd);
}

bool TCustomIpClient::Connect(int TimeoutMs) {
  Close();
  {
    // From here on a Disconnect on another thread cancels this attempt;
    // one made earlier is forgotten.
    std::lock_guard<std::mutex> g(FLock);
    FLocalShutdown.store(false);
    FCancel.store(false);
    FConnecting = true;
    // Made on first use: accepted connections never need one.
    if (FWakeFd < 0)
      FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    DrainEventFd(FWakeFd);
  }
  int err = 0;
  int fd = OpenConnection(TimeoutMs, err);
  std::lock_guard<std::mutex> g(FLock);
  FConnecting = false;
  if (fd >= 0 && FCancel.load()) {
    // Disconnect came after the connection was made but before it was
    // published: honour it rather than hand out a connection nobody wants.
    gApi.Close(fd);
    fd = -1;
    err = ECANCELED;
  }
  if (fd < 0) {
    FLastError.store(err);
    return false;
  }
  FFd.store(fd);
  FConnected.store(true);
  FLastError.store(0);
  return true;
}

int TCustomIpClient::OpenConnection(int TimeoutMs, int& Err) {
  if (!ValidPort(RemotePort)) {
    Err = EINVAL;
    return -1;
  }
  const bool bounded = TimeoutMs >= 0;
  const Clock::time_point deadline = DeadlineAfter(TimeoutMs);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(RemoteHost.c_str(), RemotePort.c_str(), &hints, &res);
  if (rc != 0) {
    Err = rc == EAI_SYSTEM && errno != 0 ? errno : EHOSTUNREACH;
    return -1;
  }
  Err = ECONNREFUSED;
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    if (FCancel.load()) {
      Err = ECANCELED;
      break;
    }
    if (MsLeft(bounded, deadline) == 0) {
      Err = ETIMEDOUT;
      break;
    }
    int fd =
        gApi.Socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      Err = errno;
      continue;
    }
    int err = 0;
    if (gApi.Connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      err = errno;
      // connect goes on after EINTR; never retry it, wait for it
      if (err == EINTR || err == EINPROGRESS)
        err = FinishConnect(fd, bounded, deadline);
    }
    if (err != 0) {
      Err = err;
      gApi.Close(fd);
      if (err == ECANCELED)
        break;
      continue;
    }
    // The connected socket blocks again, as accepted ones do; every read and
    // send of this class asks for non-blocking behaviour per call.
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    freeaddrinfo(res);
    return fd;
  }
  freeaddrinfo(res);
  return -1;
}

// Waits for a non-blocking connect to finish, for Disconnect, or for the
// deadline; returns 0 or an errno.
int TCustomIpClient::FinishConnect(int Fd, bool Bounded, Clock::time_point Deadline) {
  pollfd p[2] = {{Fd, POLLOUT, 0}, {FWakeFd, POLLIN, 0}};
  for (;;) {
    if (FCancel.load())
      return ECANCELED;
    int left = MsLeft(Bounded, Deadline);
    if (left == 0)
      return ETIMEDOUT;
    // Without a wake descriptor a Disconnect is noticed at the next slice.
    if (FWakeFd < 0 && (left < 0 || left > 50))
      left = 50;
    int r = gApi.Poll(p, 2, left);
    if (r < 0 && errno == EINTR)
      continue;
    if (r < 0)
      return errno;
    if (p[1].revents != 0)
      return ECANCELED;
    if (p[0].revents == 0)
      continue;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(Fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
      return errno;
    if (err == 0 && !(p[0].revents & POLLOUT))
      err = ECONNREFUSED;
    return err;
  }
}

void TCustomIpClient::Adopt(int Fd) {
  Close();
  int one = 1;
  setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::lock_guard<std::mutex> g(FLock);
  FLocalShutdown.store(false);
  FFd.store(Fd);
  FConnected.store(true);
  FLastError.store(0);
}

void TCustomIpClient::Disconnect() {
  std::lock_guard<std::mutex> g(FLock);
  FLocalShutdown.store(true, std::memory_order_release);
  FConnected.store(false, std::memory_order_release);
  if (FConnecting) {
    FCancel.store(true);
    SignalEventFd(FWakeFd);
  }
  int fd = FFd.load();
  if (fd >= 0)
    gApi.Shutdown(fd, SHUT_RDWR);
}

void TCustomIpClient::ShutdownReceive() {
  std::lock_guard<std::mutex> g(FLock);
  int fd = FFd.load();
  if (fd >= 0)
    gApi.Shutdown(fd, SHUT_RD);
}

void TCustomIpClient::Close() {
  {
    std::lock_guard<std::mutex> g(FLock);
    int fd = FFd.exchange(-1);
    if (fd >= 0) {
      gApi.Shutdown(fd, SHUT_RDWR);
      gApi.Close(fd); // never retried: the descriptor is gone even on EINTR
    }
    FConnected.store(false);
  }
  ResetBuffer();
}

void TCustomIpClient::Abort() {
  {
    std::lock_guard<std::mutex> g(FLock);
    int fd = FFd.exchange(-1);
    if (fd >= 0) {
      linger l{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      gApi.Close(fd);
    }
    FConnected.store(false);
  }
  ResetBuffer();
}

int TCustomIpClient::SendBuf(const void* Buf, int Len, int TimeoutMs) {
  int fd = FFd.load();
  if (fd < 0 || !Connected()) {
    FLastError.store(ENOTCONN);
    return -1;
  }
  if (Len < 0 || (Len > 0 && !Buf)) {
    FLastError.store(EINVAL);
    return -1;
  }
  const bool bounded = TimeoutMs >= 0;
  const Clock::time_point deadline = DeadlineAfter(TimeoutMs);
  const char* p = static_cast<const char*>(Buf);
  size_t left = static_cast<size_t>(Len);
  while (left > 0) {
    ssize_t n = gApi.Send(fd, p, left, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Wait for room, never past the deadline. A local Disconnect shuts
      // the socket down, which ends the wait; the next send then fails.
      int ms = MsLeft(bounded, deadline);
      if (ms == 0) {
        FLastError.store(ETIMEDOUT);
        return -1;
      }
      pollfd pf{fd, POLLOUT, 0};
      if (gApi.Poll(&pf, 1, ms) < 0 && errno != EINTR) {
        FLastError.store(errno);
        return -1;
      }
      continue;
    }
    FLastError.store(n < 0 ? errno : EPIPE);
    return -1;
  }
  return Len;
}

void TCustomIpClient::MakeRoom(size_t Room) {
  size_t live = FTail - FHead;
  if (live == 0)
    FHead = FTail = 0;
  if (FCap - FTail >= Room)
    return;
  if (FHead >= live && live + Room <= FCap) {
    // Moving the live bytes costs no more than the bytes consumed since
    // the last move, so consuming stays linear however much is buffered.
    std::memmove(FStore.get(), FStore.get() + FHead, live);
  } else {
    size_t cap = std::max(FCap * 2, live + Room);
    std::unique_ptr<uint8_t[]> store(new uint8_t[cap]); // not zero-filled
    if (live > 0)
      std::memcpy(store.get(), FStore.get() + FHead, live);
    FStore = std::move(store);
    FCap = cap;
  }
  FHead = 0;
  FTail = live;
}

void TCustomIpClient::Consume(size_t N) {
  FHead += N;
  if (FHead == FTail)
    FHead = FTail = 0;
}

void TCustomIpClient::ResetBuffer() {
  FStore.reset();
  FCap = FHead = FTail = 0;
  FStale = false;
  FEof = false;
}

int TCustomIpClient::Fill() {
  int fd = FFd.load();
  if (fd < 0)
    return 0;
  MakeRoom(kReadChunk);
  size_t room = std::min<size_t>(FCap - FTail, INT_MAX);
  for (;;) {
    ssize_t n = gApi.Recv(fd, FStore.get() + FTail, room, MSG_DONTWAIT);
    if (n > 0) {
      FTail += static_cast<size_t>(n);
      FStale = false;
      return static_cast<int>(n);
    }
    if (n == 0) {
      FEof = true;
      return 0;
    }
    if (errno == EINTR)
      continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      return -2;
    FLastError.store(errno);
    return -1;
  }
}

int TCustomIpClient::PeekBuf(void* Buf, int Len) {
  if (Len <= 0)
    return 0;
  size_t want = static_cast<size_t>(Len);
  if (Buffered() < want && !FEof && !FLocalShutdown.load())
    Fill();
  size_t n = std::min(want, Buffered());
  if (n > 0)
    std::memcpy(Buf, FStore.get() + FHead, n);
  if (n < want)
    FStale = true; // wait for bytes that are not here yet
  return static_cast<int>(n);
}

int TCustomIpClient::PeekData(const uint8_t*& Data) {
  // Bytes already here come without a system call: answers that arrive
  // together are framed from one read.
  if (Buffered() == 0 && !FEof && !FLocalShutdown.load())
    Fill();
  size_t n = std::min<size_t>(Buffered(), INT_MAX);
  Data = n > 0 ? FStore.get() + FHead : nullptr;
  return static_cast<int>(n);
}

int TCustomIpClient::ReceiveBuf(void* Buf, int Len) {
  if (Len <= 0)
    return 0;
  size_t n = std::min(static_cast<size_t>(Len), Buffered());
  if (n > 0) {
    std::memcpy(Buf, FStore.get() + FHead, n);
    Consume(n);
  }
  FStale = false;
  return static_cast<int>(n);
}

int TCustomIpClient::Skip(int Count) {
  if (Count <= 0)
    return 0;
  size_t n = std::min(static_cast<size_t>(Count), Buffered());
  Consume(n);
  FStale = false;
  return static_cast<int>(n);
}

TWaitForDataResult TCustomIpClient::WaitForData(int TimeoutMs) {
  for (;;) {
    if (FLocalShutdown.load(std::memory_order_acquire)) {
      FLastError.store(0);
      return wdClosed;
    }
    if (Buffered() > 0 && !FStale)
      return wdReadable;
    if (FEof) {
      FLastError.store(0);
      return wdClosed;
    }
    int fd = FFd.load();
    if (fd < 0) {
      FLastError.store(ENOTCONN);
      return wdClosed;
    }
    pollfd p{fd, POLLIN, 0};
    int r = gApi.Poll(&p, 1, TimeoutMs);
    if (r < 0) {
      if (errno == EINTR)
        continue;
      FLastError.store(errno);
      return wdFailed;
    }
    if (r == 0)
      return wdTimeout;
    if (FLocalShutdown.load(std::memory_order_acquire))
      continue;
    int n = Fill();
    if (n == -1)
      return wdFailed;
    if (n == -2 && (p.revents & (POLLERR | POLLNVAL))) {
      FLastError.store(ECONNRESET);
      return wdFailed;
    }
  }
}

int TCustomIpClient::LocalPort() const {
  int fd = FFd.load();
  if (fd < 0)
    return 0;
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) < 0)
    return 0;
  if (ss.ss_family == AF_INET)
    return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  if (ss.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return 0;
}

TTcpListener::TTcpListener() : FWakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TTcpListener::~TTcpListener() {
  Close();
  int fd = FFd.exchange(-1);
  if (fd >= 0)
    gApi.Close(fd);
  if (FWakeFd >= 0)
    close(FWakeFd);
}

bool TTcpListener::Listen(const std::string& Host, int Port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* res = nullptr;
  std::string port = std::to_string(Port);
  if (getaddrinfo(Host.empty() ? nullptr : Host.c_str(), port.c_str(), &hints, &res) != 0) {
    FLastError = EADDRNOTAVAIL;
    return false;
  }
  int fd = gApi.Socket(res->ai_family, res->ai_socktype | SOCK_CLOEXEC, res->ai_protocol);
  if (fd < 0) {
    FLastError = errno;
    freeaddrinfo(res);
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, res->ai_addr, res->ai_addrlen) < 0 || listen(fd, 64) < 0) {
    FLastError = errno;
    freeaddrinfo(res);
    gApi.Close(fd);
    return false;
  }
  freeaddrinfo(res);
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  FPort = ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                   : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  FFd.store(fd);
  return true;
}

std::unique_ptr<TCustomIpClient> TTcpListener::Accept(int TimeoutMs) {
  int fd = FFd.load();
  if (fd < 0)
    return nullptr;
  pollfd p[2] = {{fd, POLLIN, 0}, {FWakeFd, POLLIN, 0}};
  for (;;) {
    int r = gApi.Poll(p, 2, TimeoutMs);
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0 || (p[1].revents & POLLIN) || FClosed.load())
      return nullptr;
    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED)
        continue;
      FLastError = errno;
      return nullptr;
    }
    auto client = std::make_unique<TCustomIpClient>();
    client->Adopt(c);
    return client;
  }
}

void TTcpListener::Close() {
  std::lock_guard<std::mutex> g(FLock);
  FClosed.store(true);
  uint64_t one = 1;
  if (FWakeFd >= 0)
    (void)!write(FWakeFd, &one, sizeof one);
  // The descriptor itself is released in the destructor, after any Accept
  // has returned; here it only stops accepting.
  int fd = FFd.load();
  if (fd >= 0)
    gApi.Shutdown(fd, SHUT_RDWR);
}

} // namespace garvel
