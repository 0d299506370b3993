// The TCP client and listener over real loopback sockets, and the
// system-call seam with injected failures.
#include "Sockets.h"
#include "FakePeer.h"
#include "UnacceptingListener.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string_view>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace garvel {
namespace {

using Clock = std::chrono::steady_clock;

struct Pair {
  TTcpListener Listener;
  TCustomIpClient Client;
  std::unique_ptr<TCustomIpClient> Server;

  Pair() {
    EXPECT_TRUE(Listener.Listen("127.0.0.1", 0));
    Client.RemoteHost = "127.0.0.1";
    Client.RemotePort = std::to_string(Listener.Port());
    EXPECT_TRUE(Client.Connect());
    Server = Listener.Accept(2000);
    EXPECT_TRUE(Server);
  }
  void Send(const std::string& S) { Server->SendBuf(S.data(), static_cast<int>(S.size())); }
};

double CpuMs() {
  return testing::ProcessCpuMs();
}

TEST(Client, PeekConsumesNothingReceiveDoes) {
  Pair p;
  p.Send("hello");
  ASSERT_EQ(p.Client.WaitForData(2000), wdReadable);
  char buf[16] = {};
  EXPECT_EQ(p.Client.PeekBuf(buf, 5), 5);
  EXPECT_EQ(p.Client.PeekBuf(buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(p.Client.ReceiveBuf(buf, 2), 2);
  EXPECT_EQ(p.Client.PeekBuf(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "llo");
  EXPECT_EQ(p.Client.PeekBuf(buf, 0), 0);
}

TEST(Client, WaitBlocksAfterAnInsufficientPeekUntilNewBytes) {
  Pair p;
  p.Send("half");
  ASSERT_EQ(p.Client.WaitForData(2000), wdReadable);
  char buf[8];
  EXPECT_EQ(p.Client.PeekBuf(buf, 8), 4); // a reader wanting 8 bytes
  double cpu0 = CpuMs();
  EXPECT_EQ(p.Client.WaitForData(300), wdTimeout) << "old bytes must not wake it";
  EXPECT_LT(CpuMs() - cpu0, 50.0);
  auto later = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.Send("more");
  });
  EXPECT_EQ(p.Client.WaitForData(2000), wdReadable);
  EXPECT_EQ(p.Client.PeekBuf(buf, 8), 8);
}

// ShutdownReceive wakes the reader and tells the peer nothing: the peer
// then sees a reset when the socket is aborted, not an orderly end first.
TEST(Client, ShutdownReceiveWakesTheReaderSilently) {
  Pair p;
  auto waiter = std::async(std::launch::async, [&] { return p.Client.WaitForData(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  p.Client.ShutdownReceive();
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), wdClosed);
  EXPECT_EQ(p.Server->WaitForData(100), wdTimeout) << "nothing reached the peer";
  p.Client.Abort();
  EXPECT_EQ(p.Server->WaitForData(2000), wdFailed);
  EXPECT_EQ(p.Server->LastError(), ECONNRESET);
}

TEST(Client, BlockedWaitWakesOnLocalDisconnect) {
  Pair p;
  auto t0 = Clock::now();
  auto waiter = std::async(std::launch::async, [&] { return p.Client.WaitForData(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  p.Client.Disconnect(); // from another thread, while the wait blocks
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), wdClosed);
  EXPECT_TRUE(p.Client.LocalShutdown());
  EXPECT_EQ(p.Client.LastError(), 0);
  EXPECT_GE(p.Client.Handle(), 0) << "the descriptor is kept until Close";
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  p.Client.Close();
  EXPECT_EQ(p.Client.Handle(), -1);
}

TEST(Client, BlockedWaitWakesWhenPeerClosesOrResets) {
  {
    Pair p;
    auto waiter = std::async(std::launch::async, [&] { return p.Client.WaitForData(-1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    p.Server->Close();
    EXPECT_EQ(waiter.get(), wdClosed);
    EXPECT_FALSE(p.Client.LocalShutdown());
    EXPECT_EQ(p.Client.LastError(), 0) << "an orderly close";
  }
  {
    Pair p;
    auto waiter = std::async(std::launch::async, [&] { return p.Client.WaitForData(-1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    p.Server->Abort();
    EXPECT_EQ(waiter.get(), wdFailed);
    EXPECT_EQ(p.Client.LastError(), ECONNRESET);
  }
}

TEST(Client, BufferedBytesAreDeliveredBeforeTheClose) {
  Pair p;
  p.Send("last words");
  p.Server->Close();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_EQ(p.Client.WaitForData(1000), wdReadable);
  char buf[10];
  EXPECT_EQ(p.Client.PeekBuf(buf, 10), 10);
  EXPECT_EQ(p.Client.ReceiveBuf(buf, 10), 10);
  EXPECT_EQ(p.Client.WaitForData(1000), wdClosed);
}

TEST(Client, RefusedAndUnresolvableConnects) {
  int port;
  {
    TTcpListener l;
    ASSERT_TRUE(l.Listen("127.0.0.1", 0));
    port = l.Port();
  }
  TCustomIpClient c;
  c.RemoteHost = "127.0.0.1";
  c.RemotePort = std::to_string(port);
  EXPECT_FALSE(c.Connect());
  EXPECT_EQ(c.LastError(), ECONNREFUSED);
  c.RemoteHost = "no-such-host.invalid";
  EXPECT_FALSE(c.Connect());
  EXPECT_NE(c.LastError(), 0);
  char b;
  EXPECT_EQ(c.SendBuf(&b, 1), -1);
  EXPECT_EQ(c.LastError(), ENOTCONN);
}

TEST(Client, ConnectsOverIpv6Loopback) {
  TTcpListener l;
  if (!l.Listen("::1", 0))
    GTEST_SKIP() << "no IPv6 loopback here";
  TCustomIpClient c;
  c.RemoteHost = "::1";
  c.RemotePort = std::to_string(l.Port());
  EXPECT_TRUE(c.Connect());
  EXPECT_TRUE(l.Accept(2000));
}

TEST(Listener, CloseWakesABlockedAccept) {
  TTcpListener l;
  ASSERT_TRUE(l.Listen());
  auto acc = std::async(std::launch::async, [&] { return l.Accept(-1) == nullptr; });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  l.Close();
  ASSERT_EQ(acc.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_TRUE(acc.get());
}

// Restores the libc system calls however a test ends.
struct ApiGuard {
  ~ApiGuard() { ResetSocketApi(); }
};

using Unaccepting = testing::TUnacceptingListener;

TEST(Connect, TimesOutAgainstAListenerThatNeverAccepts) {
  Unaccepting u;
  int fds = testing::OpenFdCount();
  {
    TCustomIpClient c;
    c.RemoteHost = "127.0.0.1";
    c.RemotePort = std::to_string(u.Port());
    auto t0 = Clock::now();
    if (c.Connect(300))
      GTEST_SKIP() << "this kernel completes connections to a full accept queue";
    auto took = Clock::now() - t0;
    EXPECT_EQ(c.LastError(), ETIMEDOUT);
    EXPECT_GE(took, std::chrono::milliseconds(290));
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_EQ(c.Handle(), -1) << "the attempt's descriptor is released";
    EXPECT_FALSE(c.Connected());
  }
  EXPECT_EQ(testing::OpenFdCount(), fds);
}

TEST(Connect, DisconnectFromAnotherThreadAbortsIt) {
  Unaccepting u;
  if (!u.Hangs())
    GTEST_SKIP() << "this kernel completes connections to a full accept queue";
  TCustomIpClient c;
  c.RemoteHost = "127.0.0.1";
  c.RemotePort = std::to_string(u.Port());
  auto connecting = std::async(std::launch::async, [&] { return c.Connect(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(connecting.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  auto t0 = Clock::now();
  c.Disconnect();
  ASSERT_EQ(connecting.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
  EXPECT_FALSE(connecting.get());
  EXPECT_EQ(c.LastError(), ECANCELED);
  EXPECT_EQ(c.Handle(), -1);

  // The abort is forgotten by the next attempt, and so is a Disconnect made
  // before an attempt starts.
  TTcpListener l;
  ASSERT_TRUE(l.Listen("127.0.0.1", 0));
  c.RemotePort = std::to_string(l.Port());
  c.Disconnect();
  EXPECT_TRUE(c.Connect(2000));
  EXPECT_TRUE(c.Connected());
  EXPECT_FALSE(c.LocalShutdown());
  EXPECT_TRUE(l.Accept(2000));
}

TEST(Connect, RefusesPortsOutsideTheRangeBeforeResolving) {
  ApiGuard restore;
  static std::atomic<int> sockets;
  sockets = 0;
  SocketApi().Socket = [](int d, int t, int p) {
    ++sockets;
    return ::socket(d, t, p);
  };
  TCustomIpClient c;
  for (const char* port : {"70000", "65536", "-1", "", "12ab", " 80", "80 ", "+80", "0x50"}) {
    SCOPED_TRACE(port);
    c.RemotePort = port;
    c.RemoteHost = "127.0.0.1";
    EXPECT_FALSE(c.Connect(1000));
    EXPECT_EQ(c.LastError(), EINVAL);
    c.RemoteHost = "no-such-host.invalid"; // would fail otherwise if resolved
    EXPECT_FALSE(c.Connect(1000));
    EXPECT_EQ(c.LastError(), EINVAL);
  }
  EXPECT_EQ(sockets.load(), 0);

  TTcpListener l;
  ASSERT_TRUE(l.Listen("127.0.0.1", 0));
  c.RemoteHost = "127.0.0.1";
  c.RemotePort = "0" + std::to_string(l.Port()); // a leading zero is still decimal
  sockets = 0;
  EXPECT_TRUE(c.Connect(2000));
  EXPECT_EQ(sockets.load(), 1);
}

// Shrinks the socket buffers so that a peer that does not read stops the
// sender after little data.
void SmallBuffers(Pair& P) {
  int small = 32 * 1024;
  setsockopt(P.Client.Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(P.Server->Handle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
}

TEST(Send, BoundedAgainstAPeerThatStopsReading) {
  Pair p;
  SmallBuffers(p);
  std::vector<char> chunk(1 << 20, 'x');
  int r = 0;
  Clock::duration took{};
  for (int i = 0; i < 256 && r >= 0; ++i) {
    auto t0 = Clock::now();
    r = p.Client.SendBuf(chunk.data(), static_cast<int>(chunk.size()), 300);
    took = Clock::now() - t0;
  }
  ASSERT_EQ(r, -1) << "256 MiB went into a connection nobody reads";
  EXPECT_EQ(p.Client.LastError(), ETIMEDOUT);
  EXPECT_GE(took, std::chrono::milliseconds(290));
  EXPECT_LT(took, std::chrono::seconds(3));

  // 0: only what fits now, and nothing fits.
  auto t0 = Clock::now();
  EXPECT_EQ(p.Client.SendBuf(chunk.data(), 100, 0), -1);
  EXPECT_EQ(p.Client.LastError(), ETIMEDOUT);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(p.Client.SendBuf(chunk.data(), 0, 0), 0);
  EXPECT_EQ(p.Client.SendBuf(chunk.data(), -1), -1);
  EXPECT_EQ(p.Client.LastError(), EINVAL);
}

TEST(Send, LocalDisconnectWakesASendBlockedOnAFullBuffer) {
  Pair p;
  SmallBuffers(p);
  std::vector<char> big(16 << 20, 'x');
  auto sending = std::async(std::launch::async, [&] {
    return p.Client.SendBuf(big.data(), static_cast<int>(big.size()));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(sending.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  p.Client.Disconnect();
  ASSERT_EQ(sending.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(sending.get(), -1);
  int err = p.Client.LastError();
  EXPECT_TRUE(err == EPIPE || err == ENOTCONN) << err;
  EXPECT_EQ(p.Client.SendBuf(big.data(), 1, 100), -1);
  EXPECT_EQ(p.Client.LastError(), ENOTCONN);
}

// 10-byte messages "000000042;" numbered from 0.
std::string Numbered(int Count) {
  std::string all;
  all.reserve(static_cast<size_t>(Count) * 10);
  char m[16];
  for (int i = 0; i < Count; ++i) {
    std::snprintf(m, sizeof m, "%09d;", i);
    all.append(m, 10);
  }
  return all;
}

TEST(Receive, ManySmallBufferedMessagesAreConsumedOneByOne) {
  Pair p;
  constexpr int kCount = 200000;
  const std::string all = Numbered(kCount);
  const int size = static_cast<int>(all.size());
  auto sending =
      std::async(std::launch::async, [&] { return p.Server->SendBuf(all.data(), size); });

  // Buffer the whole burst before consuming any of it.
  std::vector<char> whole(all.size());
  while (p.Client.Buffered() < all.size()) {
    p.Client.PeekBuf(whole.data(), size); // too few: wait for more
    ASSERT_EQ(p.Client.WaitForData(5000), wdReadable);
  }
  EXPECT_EQ(sending.get(), size);
  ASSERT_EQ(p.Client.Buffered(), all.size());

  auto t0 = Clock::now();
  char b[10];
  std::string_view expected(all);
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(p.Client.ReceiveBuf(b, 10), 10) << i;
    ASSERT_EQ(std::string_view(b, 10), expected.substr(static_cast<size_t>(i) * 10, 10)) << i;
  }
  EXPECT_EQ(p.Client.Buffered(), 0u);
  std::printf("consumed %d buffered messages in %.1f ms\n", kCount,
              std::chrono::duration<double, std::milli>(Clock::now() - t0).count());

  // Again while the burst arrives, reading in place one message at a time
  // as a parser would.
  sending = std::async(std::launch::async, [&] { return p.Server->SendBuf(all.data(), size); });
  for (int i = 0; i < kCount;) {
    const uint8_t* d = nullptr;
    if (p.Client.PeekData(d) < 10) {
      p.Client.PeekBuf(b, 10); // too few: wait for more
      ASSERT_EQ(p.Client.WaitForData(5000), wdReadable) << i;
      continue;
    }
    ASSERT_EQ(std::string_view(reinterpret_cast<const char*>(d), 10),
              expected.substr(static_cast<size_t>(i) * 10, 10))
        << i;
    ASSERT_EQ(p.Client.Skip(10), 10);
    ++i;
  }
  EXPECT_EQ(sending.get(), size);
  EXPECT_EQ(p.Client.Buffered(), 0u);
}

TEST(Receive, PeekDataAndSkip) {
  Pair p;
  const uint8_t* d = reinterpret_cast<const uint8_t*>(&p);
  EXPECT_EQ(p.Client.PeekData(d), 0);
  EXPECT_EQ(p.Client.Skip(5), 0);

  p.Send("abcdef");
  ASSERT_EQ(p.Client.WaitForData(2000), wdReadable);
  ASSERT_EQ(p.Client.PeekData(d), 6);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(d), 6), "abcdef");
  EXPECT_EQ(p.Client.PeekData(d), 6) << "nothing consumed";
  EXPECT_EQ(p.Client.Buffered(), 6u);
  EXPECT_EQ(p.Client.WaitForData(0), wdReadable) << "PeekData does not mark the buffer stale";

  char buf[16];
  EXPECT_EQ(p.Client.PeekBuf(buf, 10), 6); // a reader wanting 10 bytes
  EXPECT_EQ(p.Client.WaitForData(100), wdTimeout);
  EXPECT_EQ(p.Client.PeekData(d), 6);
  EXPECT_EQ(p.Client.WaitForData(50), wdTimeout) << "nor does it clear the stale mark";
  EXPECT_EQ(p.Client.Skip(0), 0);
  EXPECT_EQ(p.Client.Skip(-3), 0);
  EXPECT_EQ(p.Client.WaitForData(50), wdTimeout);
  EXPECT_EQ(p.Client.Skip(2), 2);
  EXPECT_EQ(p.Client.WaitForData(0), wdReadable) << "Skip clears the stale mark";
  ASSERT_EQ(p.Client.PeekData(d), 4);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(d), 4), "cdef");
  EXPECT_EQ(p.Client.Buffered(), 4u);
  EXPECT_EQ(p.Client.Skip(100), 4);
  EXPECT_EQ(p.Client.Buffered(), 0u);
  EXPECT_EQ(p.Client.Skip(1), 0);

  // PeekData takes what has arrived without WaitForData.
  p.Send("xyz");
  int n = 0;
  for (auto until = Clock::now() + std::chrono::seconds(2); n < 3 && Clock::now() < until;)
    n = p.Client.PeekData(d);
  ASSERT_EQ(n, 3);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(d), 3), "xyz");
  EXPECT_EQ(p.Client.ReceiveBuf(buf, 1), 1);
  EXPECT_EQ(buf[0], 'x');
  ASSERT_EQ(p.Client.PeekData(d), 2);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(d), 2), "yz");

  // Bytes buffered before the peer closed are still there to read in place.
  p.Send("!");
  p.Server->Close();
  EXPECT_EQ(p.Client.Skip(2), 2);
  ASSERT_EQ(p.Client.WaitForData(2000), wdReadable);
  ASSERT_EQ(p.Client.PeekData(d), 1);
  EXPECT_EQ(*d, '!');
  EXPECT_EQ(p.Client.Skip(1), 1);
  EXPECT_EQ(p.Client.WaitForData(2000), wdClosed);
  EXPECT_EQ(p.Client.PeekData(d), 0);
}

// Delays the shutdown of the thread that asks for it, widening the window
// between Disconnect reading the descriptor and using it.
struct SlowShutdown {
  static inline thread_local bool Slow = false;
  static inline std::atomic<bool> Entered{false};
  static int Shutdown(int Fd, int How) {
    if (Slow) {
      Entered = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return ::shutdown(Fd, How);
  }
};

TEST(Client, DisconnectRacingCloseNeverShutsDownAReusedDescriptor) {
  ApiGuard restore;
  SocketApi().Shutdown = SlowShutdown::Shutdown;
  TCustomIpClient c;
  int damaged = 0;
  for (int i = 0; i < 200; ++i) {
    int own[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, own), 0);
    c.Adopt(own[0]);
    SlowShutdown::Entered = false;
    std::atomic<bool> closed{false};
    int fresh[2] = {-1, -1};
    std::thread disconnecter([&] {
      SlowShutdown::Slow = true;
      c.Disconnect();
    });
    std::thread opener([&] {
      // Opens a socket as soon as the client's descriptor is released, so
      // that it most likely gets the same number.
      while (!closed.load())
        std::this_thread::yield();
      EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fresh), 0);
    });
    if (i % 2 == 0) // half the time Disconnect is surely inside its shutdown
      while (!SlowShutdown::Entered.load())
        std::this_thread::yield();
    if (i % 4 == 1)
      c.Abort();
    else
      c.Close();
    closed = true;
    disconnecter.join();
    opener.join();
    ASSERT_GE(fresh[0], 0);
    char x = 'x';
    if (send(fresh[0], &x, 1, MSG_DONTWAIT | MSG_NOSIGNAL) != 1 ||
        recv(fresh[1], &x, 1, MSG_DONTWAIT) != 1 ||
        send(fresh[1], &x, 1, MSG_DONTWAIT | MSG_NOSIGNAL) != 1 ||
        recv(fresh[0], &x, 1, MSG_DONTWAIT) != 1)
      ++damaged;
    ::close(fresh[0]);
    ::close(fresh[1]);
    ::close(own[1]);
  }
  EXPECT_EQ(damaged, 0) << "a Disconnect shut down a socket opened after Close";
}

// The seam: every call goes through SocketApi(), so failures can be injected.
struct Injected {
  static inline int RecvEintr = 0;
  static inline int PollEintr = 0;
  static inline size_t MaxSend = 0;
  static inline int SendEintr = 0;
  static inline int Closes = 0;
  static ssize_t Recv(int fd, void* b, size_t n, int fl) {
    if (RecvEintr > 0) {
      --RecvEintr;
      errno = EINTR;
      return -1;
    }
    return ::recv(fd, b, n, fl);
  }
  static int Poll(pollfd* f, unsigned long n, int t) {
    if (PollEintr > 0) {
      --PollEintr;
      errno = EINTR;
      return -1;
    }
    return ::poll(f, n, t);
  }
  static ssize_t Send(int fd, const void* b, size_t n, int fl) {
    if (SendEintr > 0) {
      --SendEintr;
      errno = EINTR;
      return -1;
    }
    return ::send(fd, b, MaxSend && n > MaxSend ? MaxSend : n, fl);
  }
  static int Close(int fd) {
    ++Closes;
    return ::close(fd);
  }
};

TEST(Seam, InterruptsAreRetriedAndShortWritesCompleted) {
  Pair p;
  SocketApi().Recv = Injected::Recv;
  SocketApi().Poll = Injected::Poll;
  SocketApi().Send = Injected::Send;
  SocketApi().Close = Injected::Close;
  Injected::MaxSend = 3;
  Injected::SendEintr = 2;
  std::string msg(1000, 'x');
  msg[999] = 'y';
  EXPECT_EQ(p.Client.SendBuf(msg.data(), 1000), 1000);
  std::string got;
  Injected::RecvEintr = 3;
  Injected::PollEintr = 3;
  while (got.size() < 1000 && p.Server->WaitForData(2000) == wdReadable) {
    char buf[256];
    int n = p.Server->ReceiveBuf(buf, sizeof buf);
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, msg);
  Injected::Closes = 0;
  p.Client.Close();
  EXPECT_EQ(Injected::Closes, 1) << "close is called once, never retried";
  ResetSocketApi();
}

} // namespace
} // namespace garvel
