// Blocking TCP client and listener over POSIX sockets.
#include "Sockets.h"

#include <algorithm>
#include <cerrno>
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

// Waits for a non-blocking connect to finish; returns 0 or an errno.
int FinishConnect(int fd) {
  for (;;) {
    pollfd p{fd, POLLOUT, 0};
    int r = gApi.Poll(&p, 1, -1);
    if (r < 0 && errno == EINTR)
      continue;
    if (r < 0)
      return errno;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
      return errno;
    return err;
  }
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
}

bool TCustomIpClient::Connect() {
  Close();
  FLocalShutdown.store(false);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(RemoteHost.c_str(), RemotePort.c_str(), &hints, &res);
  if (rc != 0) {
    FLastError.store(rc == EAI_SYSTEM ? errno : EHOSTUNREACH);
    return false;
  }
  int lastErr = ECONNREFUSED;
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    int fd = gApi.Socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      lastErr = errno;
      continue;
    }
    int r = gApi.Connect(fd, ai->ai_addr, ai->ai_addrlen);
    int err = r == 0 ? 0 : errno;
    if (err == EINTR || err == EINPROGRESS)
      err = FinishConnect(fd); // connect goes on after EINTR; never retry it
    if (err != 0) {
      lastErr = err;
      gApi.Close(fd);
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    freeaddrinfo(res);
    FFd.store(fd);
    FConnected.store(true);
    FLastError.store(0);
    return true;
  }
  freeaddrinfo(res);
  FLastError.store(lastErr);
  return false;
}

void TCustomIpClient::Adopt(int Fd) {
  Close();
  FLocalShutdown.store(false);
  int one = 1;
  setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  FFd.store(Fd);
  FConnected.store(true);
  FLastError.store(0);
}

void TCustomIpClient::Disconnect() {
  FLocalShutdown.store(true, std::memory_order_release);
  FConnected.store(false, std::memory_order_release);
  int fd = FFd.load();
  if (fd >= 0)
    gApi.Shutdown(fd, SHUT_RDWR);
}

void TCustomIpClient::Close() {
  int fd = FFd.exchange(-1);
  if (fd >= 0) {
    gApi.Shutdown(fd, SHUT_RDWR);
    gApi.Close(fd); // never retried: the descriptor is gone even on EINTR
  }
  FConnected.store(false);
  FPending.clear();
  FStale = false;
  FEof = false;
}

void TCustomIpClient::Abort() {
  int fd = FFd.exchange(-1);
  if (fd >= 0) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    gApi.Close(fd);
  }
  FConnected.store(false);
  FPending.clear();
  FStale = false;
  FEof = false;
}

int TCustomIpClient::SendBuf(const void* Buf, int Len) {
  int fd = FFd.load();
  if (fd < 0 || !Connected()) {
    FLastError.store(ENOTCONN);
    return -1;
  }
  const char* p = static_cast<const char*>(Buf);
  size_t left = Len > 0 ? static_cast<size_t>(Len) : 0;
  while (left > 0) {
    ssize_t n = gApi.Send(fd, p, left, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pf{fd, POLLOUT, 0};
      gApi.Poll(&pf, 1, -1);
      continue;
    }
    FLastError.store(n < 0 ? errno : EPIPE);
    return -1;
  }
  return Len;
}

int TCustomIpClient::Fill() {
  int fd = FFd.load();
  if (fd < 0)
    return 0;
  for (;;) {
    size_t old = FPending.size();
    FPending.resize(old + kReadChunk);
    ssize_t n = gApi.Recv(fd, FPending.data() + old, kReadChunk, MSG_DONTWAIT);
    FPending.resize(old + static_cast<size_t>(n > 0 ? n : 0));
    if (n > 0) {
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
  if (FPending.size() < want && !FEof && !FLocalShutdown.load())
    Fill();
  size_t n = std::min(want, FPending.size());
  if (n > 0)
    std::memcpy(Buf, FPending.data(), n);
  if (n < want)
    FStale = true; // wait for bytes that are not here yet
  return static_cast<int>(n);
}

int TCustomIpClient::ReceiveBuf(void* Buf, int Len) {
  if (Len <= 0)
    return 0;
  size_t n = std::min(static_cast<size_t>(Len), FPending.size());
  if (n > 0) {
    std::memcpy(Buf, FPending.data(), n);
    FPending.erase(FPending.begin(), FPending.begin() + static_cast<std::ptrdiff_t>(n));
  }
  FStale = false;
  return static_cast<int>(n);
}

TWaitForDataResult TCustomIpClient::WaitForData(int TimeoutMs) {
  for (;;) {
    if (FLocalShutdown.load(std::memory_order_acquire)) {
      FLastError.store(0);
      return wdClosed;
    }
    if (!FPending.empty() && !FStale)
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
