// The relay over real loopback TCP with a scripted peer: states, result
// codes, received messages, keep-alive, disconnects, threads and teardown.
#include "xcGarvel.h"
#include "TestMessage.h"
#include "FakePeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

namespace garvel {
namespace {

using test::Frame;
using test::FrameSize;
using test::HasFrame;
using test::MsSince;
using test::TTestMessage;
using test::TTestRelay;
using testing::TFakePeer;
using Clock = std::chrono::steady_clock;

class RelayTest : public ::testing::Test {
protected:
  void SetUp() override {
    Relay.OnDisconnected = [this](TObject* Sender, int Reason) {
      EXPECT_EQ(Sender, &Relay);
      Reasons.push_back(Reason);
    };
    Relay.OnError = [this](TObject*, const std::string& M) { Errors.push_back(M); };
    Relay.SetResponseTimeOut(2000);
    Relay.SetKeepAlive(false);
  }
  void TearDown() override { Application()->ProcessMessages(); }

  void ConnectOnly() {
    ASSERT_EQ(Relay.Connect("127.0.0.1", Peer.Port()), 0);
    ASSERT_TRUE(Peer.Accept());
    ASSERT_EQ(Relay.State(), rsConnected);
  }
  // Connect and log in, the peer answering the login with Result.
  int Open(const std::string& Result = "0") {
    ConnectOnly();
    auto answer = std::async(std::launch::async, [&] {
      std::string got = Peer.TakeWhen(HasFrame);
      EXPECT_EQ(got, Frame('l', "login"));
      Peer.Write(Frame('L', Result));
    });
    int r = Relay.InitializeSession();
    answer.get();
    return r;
  }
  // Submits on a helper thread? No: requests run on the test thread while
  // the peer answers from another, as an SMSC would.
  int SubmitAnswered(const std::string& Body, const std::string& Reply, char Type = 'R') {
    auto answer = std::async(std::launch::async, [&] {
      std::string got = Peer.TakeWhen(HasFrame);
      EXPECT_EQ(got, Frame('s', Body));
      Peer.Write(Frame(Type, Reply));
    });
    int r = Relay.Submit(Body);
    answer.get();
    return r;
  }
  bool WaitDisconnected(int TimeoutMs = 3000) {
    return Application()->ProcessUntil([&] { return !Reasons.empty(); }, TimeoutMs);
  }

  TFakePeer Peer;
  TTestRelay Relay;
  std::vector<int> Reasons;
  std::vector<std::string> Errors;
};

TEST_F(RelayTest, DefaultsAndEventNames) {
  TTestRelay r;
  EXPECT_TRUE(r.KeepAlive());
  EXPECT_EQ(r.KeepAliveInterval(), 10000);
  EXPECT_EQ(r.ResponseTimeOut(), 10000);
  EXPECT_EQ(r.State(), rsNotConnected);
  EXPECT_EQ(r.ProtocolName(), "test");
  EXPECT_NE(r.WindowHandle(), Relay.WindowHandle());
}

TEST_F(RelayTest, OperationsOutsideTheirStateReturnMinusTwoAndSendNothing) {
  EXPECT_EQ(Relay.InitializeSession(), rcWrongState);
  EXPECT_EQ(Relay.Submit("x"), rcWrongState);
  ConnectOnly();
  EXPECT_EQ(Relay.Connect("127.0.0.1", Peer.Port()), rcWrongState);
  EXPECT_EQ(Relay.Submit("x"), rcWrongState);
  EXPECT_TRUE(Peer.Quiet(100)) << "nothing may be sent";
  EXPECT_EQ(Relay.State(), rsConnected);
}

TEST_F(RelayTest, RefusedConnectReturnsErrnoAndStaysDisconnected) {
  int port;
  {
    TTcpListener l;
    ASSERT_TRUE(l.Listen("127.0.0.1", 0));
    port = l.Port();
  } // closed: nothing listens there now
  EXPECT_EQ(Relay.Connect("127.0.0.1", port), ECONNREFUSED);
  EXPECT_EQ(Relay.State(), rsNotConnected);
}

TEST_F(RelayTest, DisconnectWhenConnectedGivesExactlyOneReasonZero) {
  Relay.Disconnect(); // not connected: nothing at all
  Application()->ProcessMessages();
  EXPECT_TRUE(Reasons.empty());

  ConnectOnly();
  Relay.Disconnect();
  Relay.Disconnect();
  ASSERT_TRUE(WaitDisconnected());
  Application()->ProcessUntil([] { return false; }, 100);
  EXPECT_EQ(Reasons, std::vector<int>{drLocal});
  EXPECT_EQ(Relay.State(), rsNotConnected);
}

TEST_F(RelayTest, SubmitResults) {
  ASSERT_EQ(Open(), 0);
  EXPECT_EQ(Relay.State(), rsLoggedIn);
  EXPECT_EQ(SubmitAnswered("one", "0"), 0);
  EXPECT_EQ(SubmitAnswered("two", "42"), 42) << "the SMSC's own error code";
  EXPECT_EQ(SubmitAnswered("three", "", 'N'), rcGeneralError);
  EXPECT_EQ(SubmitAnswered("four", "", 'E'), rcGeneralError);
}

TEST_F(RelayTest, RefusedLoginKeepsStateInitialized) {
  EXPECT_EQ(Open("3"), 3);
  EXPECT_EQ(Relay.State(), rsInitialized);
}

TEST_F(RelayTest, SilentSmscTimesOutAndLateAnswerDoesNotLeak) {
  ASSERT_EQ(Open(), 0);
  Relay.SetResponseTimeOut(150);
  auto t0 = Clock::now();
  EXPECT_EQ(Relay.Submit("lost"), rcTimeOut);
  EXPECT_GE(MsSince(t0), 140);
  Peer.Take(1);
  Relay.SetResponseTimeOut(2000);
  Peer.Write(Frame('R', "7")); // the late answer: signals with nobody waiting
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(SubmitAnswered("next", "0"), 0) << "the next request resets its event first";
}

TEST_F(RelayTest, GeneralErrorReleasesWaiterAtOnce) {
  ASSERT_EQ(Open(), 0);
  Relay.SetResponseTimeOut(5000);
  auto t0 = Clock::now();
  EXPECT_EQ(SubmitAnswered("x", "", 'E'), rcGeneralError);
  EXPECT_LT(MsSince(t0), 2500);
}

TEST_F(RelayTest, AcceptedMessageIsAcknowledgedOnceRefusedOneNever) {
  ASSERT_EQ(Open(), 0);
  Peer.Write(Frame('D', "mo-1"));
  ASSERT_TRUE(Application()->ProcessUntil([&] { return Relay.Delivered == 1; }, 3000));
  EXPECT_EQ(Peer.TakeWhen(HasFrame), Frame('r', "mo-1"));
  EXPECT_TRUE(Peer.Quiet(100)) << "exactly one acknowledgement";

  Relay.Answer = false;
  Peer.Write(Frame('S', "report"));
  ASSERT_TRUE(Application()->ProcessUntil([&] { return Relay.Reports == 1; }, 3000));
  EXPECT_EQ(Relay.LastBody, "report");
  EXPECT_TRUE(Peer.Quiet(150)) << "a refused message is not acknowledged";
  EXPECT_EQ(TTestMessage::Live.load(), 3)
      << "copies are freed; only the relay's own three (input, output, control) remain";
}

TEST_F(RelayTest, HandlerExceptionIsReportedAndNotAcknowledged) {
  ASSERT_EQ(Open(), 0);
  Relay.ThrowInHandler = true;
  Peer.Write(Frame('D', "bad"));
  ASSERT_TRUE(Application()->ProcessUntil([&] { return !Errors.empty(); }, 3000));
  EXPECT_NE(Errors[0].find("handler failed"), std::string::npos);
  EXPECT_TRUE(Peer.Quiet(100));
  Relay.ThrowInHandler = false;
  Peer.Write(Frame('D', "good"));
  ASSERT_TRUE(Application()->ProcessUntil([&] { return Relay.Delivered == 2; }, 3000));
  EXPECT_EQ(Peer.TakeWhen(HasFrame), Frame('r', "good"));
  EXPECT_EQ(TTestMessage::Live.load(), 3);
}

TEST_F(RelayTest, UndecodableResponseIsDroppedAndSessionGoesOn) {
  ASSERT_EQ(Open(), 0);
  Relay.SetResponseTimeOut(200);
  EXPECT_EQ(SubmitAnswered("x", "throw"), rcTimeOut);
  ASSERT_TRUE(Application()->ProcessUntil([&] { return !Errors.empty(); }, 3000));
  EXPECT_NE(Errors[0].find("undecodable"), std::string::npos);
  Relay.SetResponseTimeOut(2000);
  EXPECT_EQ(SubmitAnswered("y", "0"), 0);
  EXPECT_TRUE(Reasons.empty());
}

TEST_F(RelayTest, PeerCloseAndResetGiveNonZeroReasons) {
  ASSERT_EQ(Open(), 0);
  Peer.Close();
  ASSERT_TRUE(WaitDisconnected());
  EXPECT_EQ(Reasons, std::vector<int>{drPeerClosed});
  EXPECT_EQ(Relay.State(), rsNotConnected);

  Reasons.clear();
  ASSERT_EQ(Open(), 0);
  Peer.Reset();
  ASSERT_TRUE(WaitDisconnected());
  EXPECT_EQ(Reasons, std::vector<int>{ECONNRESET});
}

TEST_F(RelayTest, DisconnectWhileWaitingReleasesTheRequest) {
  ASSERT_EQ(Open(), 0);
  Relay.SetResponseTimeOut(10000);
  std::thread closer([&] {
    Peer.TakeWhen(HasFrame);
    Peer.Close();
  });
  auto t0 = Clock::now();
  EXPECT_EQ(Relay.Submit("x"), rcTimeOut) << "a broken link is no success";
  EXPECT_LT(MsSince(t0), 5000);
  closer.join();
  ASSERT_TRUE(WaitDisconnected());
  EXPECT_EQ(Reasons, std::vector<int>{drPeerClosed});
}

TEST_F(RelayTest, LocalDisconnectWithThreadsRunningIsPromptAndReasonZero) {
  Relay.SetKeepAlive(true);
  ASSERT_EQ(Open(), 0);
  auto t0 = Clock::now();
  Relay.Disconnect();
  ASSERT_TRUE(WaitDisconnected());
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_EQ(Reasons, std::vector<int>{drLocal});
  EXPECT_TRUE(Peer.WaitClientClosed());
}

TEST_F(RelayTest, UnframeableStreamBreaksTheConnection) {
  ASSERT_EQ(Open(), 0);
  Peer.Write(std::string("D\x00\x00", 3));
  ASSERT_TRUE(WaitDisconnected());
  EXPECT_EQ(Reasons, std::vector<int>{drUnframeable});
  Application()->ProcessMessages();
  EXPECT_FALSE(Errors.empty());
}

TEST_F(RelayTest, KeepAliveOnlyWhenIdle) {
  Relay.SetKeepAlive(true);
  Relay.SetKeepAliveInterval(300);
  ASSERT_EQ(Open(), 0);
  // Traffic well within the interval keeps the line busy: no keep-alive.
  auto last = Clock::now();
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(SubmitAnswered("t", "0"), 0);
    last = Clock::now(); // the clock runs from the last send, not from a sleep
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  // Idle: one keep-alive about the interval after the last send.
  std::string ka = Peer.TakeWhen(HasFrame, 3000);
  EXPECT_EQ(ka, Frame('a', ""));
  EXPECT_GE(MsSince(last), 250);
  Peer.Write(Frame('A', "0"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(Reasons.empty());
}

TEST_F(RelayTest, UnansweredKeepAliveReportsMinusOneOnce) {
  Relay.SetKeepAlive(true);
  Relay.SetKeepAliveInterval(100);
  ASSERT_EQ(Open(), 0);
  Relay.SetResponseTimeOut(200);
  auto t0 = Clock::now();
  ASSERT_TRUE(WaitDisconnected(5000));
  EXPECT_GE(MsSince(t0), 250) << "interval + time-out";
  Application()->ProcessUntil([] { return false; }, 200);
  EXPECT_EQ(Reasons, std::vector<int>{drKeepAliveFailed});
  EXPECT_EQ(Relay.State(), rsNotConnected);
  EXPECT_TRUE(Peer.WaitClientClosed()) << "the dead link is released";
  // And the component can start again.
  Reasons.clear();
  Relay.SetKeepAlive(false);
  Relay.SetResponseTimeOut(2000);
  ASSERT_EQ(Open(), 0);
}

TEST_F(RelayTest, SwitchingKeepAliveTakesEffectInTheRunningSession) {
  Relay.SetKeepAlive(true);
  Relay.SetKeepAliveInterval(100000);
  ASSERT_EQ(Open(), 0);
  int before = testing::ThreadCount();
  auto t0 = Clock::now();
  Relay.SetKeepAlive(false);
  for (int i = 0; i < 200 && testing::ThreadCount() >= before; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_LT(testing::ThreadCount(), before);
  EXPECT_LT(MsSince(t0), 900) << "the thread ends at once";

  Relay.SetKeepAliveInterval(100);
  Relay.SetKeepAlive(true); // and starts again
  EXPECT_EQ(Peer.TakeWhen(HasFrame, 3000), Frame('a', ""));
}

TEST_F(RelayTest, KeepAliveFlagAloneWhileDisconnected) {
  Relay.SetKeepAlive(true);
  int before = testing::ThreadCount();
  Relay.SetKeepAlive(false);
  Relay.SetKeepAlive(true);
  EXPECT_EQ(testing::ThreadCount(), before);
  Relay.SetKeepAliveInterval(100);
  ASSERT_EQ(Open(), 0);
  EXPECT_EQ(Peer.TakeWhen(HasFrame, 3000), Frame('a', "")) << "the next session follows the flag";
}

TEST_F(RelayTest, ConcurrentSendsNeverInterleave) {
  Relay.SetKeepAlive(true);
  ASSERT_EQ(Open(), 0);
  Relay.SetKeepAliveInterval(1); // read afresh on the next pass
  // The peer answers everything; the keep-alive thread fires continually
  // while the test thread submits large frames.
  std::atomic<bool> stop{false};
  std::atomic<int> keepAlives{0}, bad{0};
  std::thread smsc([&] {
    std::string buf;
    while (!stop.load()) {
      buf += Peer.Take(1, 50);
      while (HasFrame(buf)) {
        size_t n = (static_cast<uint8_t>(buf[1]) << 8) | static_cast<uint8_t>(buf[2]);
        char type = buf[0];
        std::string body = buf.substr(3, n - 3);
        buf.erase(0, n);
        if (type == 'a') {
          ++keepAlives;
          Peer.Write(Frame('A', "0"));
        } else if (type == 's' && body == std::string(body.size(), body[0])) {
          Peer.Write(Frame('R', "0"));
        } else {
          ++bad;
        }
      }
    }
  });
  // At least 40 submits, and on until keep-alives have gone out between
  // them (a loaded machine may schedule the keep-alive thread late).
  int submits = 0;
  for (auto t0 = Clock::now(); submits < 40 || (keepAlives.load() < 1 && MsSince(t0) < 10000);
       ++submits)
    ASSERT_EQ(Relay.Submit(std::string(20000, static_cast<char>('a' + submits % 26))), 0);
  stop = true;
  smsc.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GE(keepAlives.load(), 1) << "the keep-alive thread never sent";
}

TEST_F(RelayTest, StalledPeerCostsNoCpu) {
  ASSERT_EQ(Open(), 0);
  std::string f = Frame('D', std::string(100, 'x'));
  Peer.Write(f.substr(0, 50)); // half a frame, then nothing
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  double cpu0 = testing::ProcessCpuMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  double used = testing::ProcessCpuMs() - cpu0;
  EXPECT_LT(used, 50.0) << "the receive thread must wait, not spin";
  Peer.Write(f.substr(50));
  ASSERT_TRUE(Application()->ProcessUntil([&] { return Relay.Delivered == 1; }, 3000));
}

TEST_F(RelayTest, RepeatedSessionsLeaveNoThreadsOrDescriptors) {
  Relay.SetKeepAlive(true);
  Relay.SetKeepAliveInterval(50);
  // Sanitizer runtimes start a helper thread with the first thread the
  // process creates: count from after one thread has come and gone.
  std::thread([] {}).join();
  // Counted after a first session: the client keeps one descriptor of its
  // own (the wake-up of a Connect) for its whole life.
  ASSERT_EQ(Relay.Connect("127.0.0.1", Peer.Port()), 0);
  ASSERT_TRUE(Peer.Accept());
  Relay.Disconnect();
  ASSERT_TRUE(WaitDisconnected());
  Reasons.clear();
  Peer.Close();
  // A joined thread may linger in /proc for a moment after its join: count
  // the settled number.
  auto settledThreads = [] {
    int n = testing::ThreadCount();
    for (int i = 0; i < 20; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      n = std::min(n, testing::ThreadCount());
    }
    return n;
  };
  int fds = testing::OpenFdCount(), threads = settledThreads();
  for (int i = 0; i < 500; ++i) {
    ASSERT_EQ(Relay.Connect("127.0.0.1", Peer.Port()), 0) << i;
    ASSERT_TRUE(Peer.Accept());
    ASSERT_EQ(Relay.InternalInitializeSessionForTest(), 0);
    Relay.Disconnect();
    ASSERT_TRUE(WaitDisconnected()) << i;
    Reasons.clear();
  }
  Peer.Close();
  EXPECT_EQ(testing::OpenFdCount(), fds);
  EXPECT_EQ(settledThreads(), threads);
}

TEST(RelayLifetime, DestroyWhileThreadsRunAndRequestPending) {
  TFakePeer peer;
  for (int i = 0; i < 20; ++i) {
    auto relay = std::make_unique<TTestRelay>();
    relay->SetKeepAliveInterval(5);
    ASSERT_EQ(relay->Connect("127.0.0.1", peer.Port()), 0);
    ASSERT_TRUE(peer.Accept());
    ASSERT_EQ(relay->InternalInitializeSessionForTest(), 0);
    peer.Write(Frame('D', "pending")); // a notification left in the queue
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 3 * 5));
    relay.reset(); // must neither hang nor touch freed memory
  }
  Application()->ProcessMessages(); // posted copies for gone handles are freed
  EXPECT_EQ(TTestMessage::Live.load(), 0);
}

TEST(RelayOwnership, OwnerDestroysTheComponent) {
  auto owner = std::make_unique<TComponent>(nullptr);
  new TTestRelay(owner.get());
  EXPECT_EQ(owner->ComponentCount(), 1);
  owner.reset();
  EXPECT_EQ(TTestMessage::Live.load(), 0);
}

TEST(IsAlphaNumeric, DigitsAndPlusAreNumeric) {
  struct Case {
    const char* S;
    bool Expected;
  } cases[] = {{"", false},      {"0123456789", false}, {"+4412345", false}, {"+44 123", true},
               {"Garvel", true}, {"123a", true},        {"-1", true}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.S);
    EXPECT_EQ(IsAlphaNumeric(c.S), c.Expected);
  }
}

} // namespace
} // namespace garvel
