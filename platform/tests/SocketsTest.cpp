// The TCP client and listener over real loopback sockets, and the
// system-call seam with injected failures.
#include "Sockets.h"
#include "FakePeer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

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
