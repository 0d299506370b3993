// What every protocol relies on from the relay, against a scripted peer that
// behaves as a late or hostile SMSC would: answers tied to their requests,
// housekeeping answered without the application, bounded waits, one
// disconnect with the first reason, lifetime in the handlers, back-pressure.
#include "xcGarvel.h"
#include "TestMessage.h"
#include "FakePeer.h"
#include "UnacceptingListener.h"

#include <gtest/gtest.h>

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

// Takes one whole frame off the peer.
std::string TakeFrame(TFakePeer& Peer, std::string& Rest, int TimeoutMs = 3000) {
  if (!HasFrame(Rest))
    Rest += Peer.TakeWhen([&](const std::string& B) { return HasFrame(Rest + B); }, TimeoutMs);
  size_t n = FrameSize(Rest);
  std::string f = Rest.substr(0, n);
  Rest.erase(0, n);
  return f;
}

class RelayContract : public ::testing::Test {
protected:
  void SetUp() override { Wire(*Relay); }
  void TearDown() override { Application()->ProcessMessages(); }

  void Wire(TTestRelay& R) {
    R.OnDisconnected = [this](TObject*, int Reason) {
      Reasons.push_back(Reason);
      StateInHandler = Relay ? Relay->State() : rsNotConnected;
    };
    R.OnError = [this](TObject*, const std::string& M) { Errors.push_back(M); };
    R.SetResponseTimeOut(2000);
    R.SetKeepAlive(false);
  }
  // Connected and logged in (the login is unnumbered).
  void Open() {
    ASSERT_EQ(Relay->Connect("127.0.0.1", Peer.Port()), 0);
    ASSERT_TRUE(Peer.Accept());
    auto answer = std::async(std::launch::async, [&] {
      Peer.TakeWhen(HasFrame);
      Peer.Write(Frame('L', "0"));
    });
    ASSERT_EQ(Relay->InitializeSession(), 0);
    answer.get();
  }
  bool WaitDisconnected(int TimeoutMs = 5000) {
    return Application()->ProcessUntil([&] { return !Reasons.empty(); }, TimeoutMs);
  }
  // Pumps until Pred holds; Pred may watch other threads.
  bool Pump(const std::function<bool()>& Pred, int Ms = 5000) {
    auto t0 = Clock::now();
    while (!Pred()) {
      if (MsSince(t0) > Ms)
        return false;
      Application()->ProcessUntil(Pred, 10);
    }
    return true;
  }

  TFakePeer Peer;
  std::unique_ptr<TTestRelay> Relay = std::make_unique<TTestRelay>();
  std::vector<int> Reasons;
  std::vector<std::string> Errors;
  TRelayState StateInHandler = rsLoggedIn;
};

// --- Correlation ------------------------------------------------------------

// A submit times out; its late refusal arrives while the next submit waits,
// before that one's own acceptance. Each gets its own answer.
TEST_F(RelayContract, LateAnswerNeverCompletesTheNextRequest) {
  Open();
  Relay->SetResponseTimeOut(150);
  auto peer = std::async(std::launch::async, [&] {
    std::string rest;
    std::string first = TakeFrame(Peer, rest);
    std::string second = TakeFrame(Peer, rest);
    Peer.Write(Frame('R', "#1:42")); // late: its request gave up
    Peer.Write(Frame('A', "#2:7"));  // another operation under the same number
    Peer.Write(Frame('R', "#2:0"));
    return first + "|" + second;
  });
  EXPECT_EQ(Relay->Submit("#1:one"), rcTimeOut);
  Relay->SetResponseTimeOut(3000);
  EXPECT_EQ(Relay->Submit("#2:two"), 0) << "its own acceptance, not the late refusal";
  EXPECT_EQ(peer.get(), Frame('s', "#1:one") + "|" + Frame('s', "#2:two"));
  ASSERT_TRUE(Pump([&] { return Errors.size() >= 2; }));
  EXPECT_NE(Errors[0].find("submit response dropped"), std::string::npos) << Errors[0];
  EXPECT_NE(Errors[1].find("keep-alive response dropped"), std::string::npos) << Errors[1];
  EXPECT_TRUE(Reasons.empty());
}

// The keep-alive thread and the application wait at the same time; the peer
// answers in the opposite order. Each request keeps its own result.
TEST_F(RelayContract, ConcurrentRequestsKeepTheirOwnResults) {
  Relay->KeyedAlive = true;
  Relay->SetKeepAliveInterval(30);
  Relay->SetKeepAlive(true);
  Open();
  std::string rest;
  std::string alive = TakeFrame(Peer, rest);
  ASSERT_EQ(alive, Frame('a', "#1000:"));
  auto submit = std::async(std::launch::async, [&] { return Relay->Submit("#5:x"); });
  ASSERT_EQ(TakeFrame(Peer, rest), Frame('s', "#5:x"));
  Peer.Write(Frame('R', "#5:33"));
  EXPECT_EQ(submit.get(), 33);
  Peer.Write(Frame('A', "#1000:0"));
  Relay->SetKeepAlive(false);
  Peer.Write(Frame('N', "#77:")); // a nack for nothing that waits
  ASSERT_TRUE(Pump([&] { return !Errors.empty(); }));
  EXPECT_NE(Errors[0].find("negative acknowledgement dropped"), std::string::npos);
  EXPECT_TRUE(Reasons.empty()) << "the keep-alive got its answer";
}

TEST_F(RelayContract, NackAnswersTheRequestHoldingItsNumber) {
  Open();
  auto peer = std::async(std::launch::async, [&] {
    std::string rest;
    TakeFrame(Peer, rest);
    Peer.Write(Frame('N', "#9:"));
  });
  EXPECT_EQ(Relay->Submit("#9:x"), rcGeneralError);
  peer.get();
}

// --- Housekeeping -------------------------------------------------------------

// The SMSC's keep-alive is answered while the application thread is busy and
// pumps nothing; it raises no event.
TEST_F(RelayContract, KeepAliveOfTheSmscIsAnsweredWithoutPumping) {
  Open();
  Peer.Write(Frame('K', "ping"));
  auto t0 = Clock::now();
  std::string got = Peer.TakeWhen(HasFrame, 3000);
  EXPECT_EQ(got, Frame('r', "ping"));
  EXPECT_LT(MsSince(t0), 2000);
  Application()->ProcessUntil([] { return false; }, 50);
  EXPECT_EQ(Relay->Delivered, 0);
  EXPECT_TRUE(Errors.empty());
}

// --- Bounded waits ------------------------------------------------------------

TEST_F(RelayContract, ConnectIsBoundedCancellableAndChecksThePort) {
  EXPECT_EQ(Relay->ConnectTimeOut(), 10000);
  EXPECT_EQ(Relay->Connect("127.0.0.1", 70000), EINVAL);
  EXPECT_EQ(Relay->Connect("127.0.0.1", -1), EINVAL);
  EXPECT_EQ(Relay->State(), rsNotConnected);

  // A listener whose accept queue is full: further connects hang.
  testing::TUnacceptingListener hanging;
  if (!hanging.Hangs())
    GTEST_SKIP() << "this kernel accepts beyond the backlog";
  const int port = hanging.Port();
  Relay->SetConnectTimeOut(300);
  auto t0 = Clock::now();
  EXPECT_EQ(Relay->Connect("127.0.0.1", port), ETIMEDOUT);
  EXPECT_GE(MsSince(t0), 250);
  EXPECT_LT(MsSince(t0), 3000);

  // Disconnect from another thread cancels it.
  Relay->SetConnectTimeOut(20000);
  auto canceller = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Relay->Disconnect();
  });
  t0 = Clock::now();
  EXPECT_EQ(Relay->Connect("127.0.0.1", port), ECANCELED);
  EXPECT_LT(MsSince(t0), 3000);
  canceller.get();
  EXPECT_EQ(Relay->State(), rsNotConnected);
  Application()->ProcessMessages();
  EXPECT_TRUE(Reasons.empty());
}

// A peer floods deliveries and stops reading: the acknowledgements back up
// until a send cannot finish in time. The session ends with drSendTimeOut
// instead of hanging the application (and the keep-alive thread behind it).
TEST_F(RelayContract, SendThatCannotFinishBreaksTheSession) {
  Relay->SetKeepAlive(true);
  Open();
  Relay->SetResponseTimeOut(300);
  Relay->SetSendBuffer(16384);
  Peer.SetReceiveBuffer(16384);
  Peer.PauseReading(true);
  const std::string big(60000, 'x');
  std::atomic<bool> stop{false};
  auto flood = std::async(std::launch::async, [&] {
    for (int i = 0; i < 2000 && !stop.load(); ++i)
      if (!Peer.Write(Frame('D', big)))
        break;
  });
  ASSERT_TRUE(WaitDisconnected(60000));
  stop.store(true);
  EXPECT_EQ(Reasons, std::vector<int>{drSendTimeOut});
  EXPECT_EQ(Relay->State(), rsNotConnected);
  flood.get(); // the relay's socket is closed: the peer's writes fail
  Peer.Reset();
}

// The SMSC ends the session while a keep-alive waits for its answer: the
// disconnect is reported at once, not after the response time-out.
TEST_F(RelayContract, WaitersAreReleasedAtOnceWhenTheLinkBreaks) {
  Relay->SetKeepAliveInterval(30);
  Relay->SetKeepAlive(true);
  Open();
  Relay->SetResponseTimeOut(20000);
  ASSERT_EQ(Peer.TakeWhen(HasFrame, 3000), Frame('a', ""));
  auto t0 = Clock::now();
  Peer.Close();
  ASSERT_TRUE(WaitDisconnected(5000));
  EXPECT_LT(MsSince(t0), 2000);
  EXPECT_EQ(Reasons, std::vector<int>{drPeerClosed});
}

// --- Disconnect and lifetime ----------------------------------------------------

// Disconnect while the keep-alive thread sends or waits for its answer
// (which the peer never gives, and which would take far longer than the
// test): the reason is always the local one, never the keep-alive's.
TEST_F(RelayContract, LocalDisconnectAlwaysReportsZero) {
  Relay->SetKeepAliveInterval(1);
  Relay->SetResponseTimeOut(5000);
  for (int i = 0; i < 150; ++i) {
    ASSERT_EQ(Relay->Connect("127.0.0.1", Peer.Port()), 0);
    ASSERT_TRUE(Peer.Accept());
    Relay->SetKeepAlive(true);
    ASSERT_EQ(Relay->InternalInitializeSessionForTest(), 0);
    std::this_thread::sleep_for(std::chrono::microseconds(200 * (i % 5)));
    Relay->Disconnect();
    ASSERT_TRUE(WaitDisconnected()) << i;
    ASSERT_EQ(Reasons, std::vector<int>{drLocal}) << i;
    Reasons.clear();
    Relay->SetKeepAlive(false);
  }
}

TEST_F(RelayContract, HandlerSeesNotConnectedAndMayReconnect) {
  Open();
  int again = -99;
  Relay->OnDisconnected = [&](TObject*, int) {
    StateInHandler = Relay->State();
    again = Relay->Connect("127.0.0.1", Peer.Port());
  };
  Relay->Disconnect();
  ASSERT_TRUE(Pump([&] { return again != -99; }));
  EXPECT_EQ(StateInHandler, rsNotConnected);
  EXPECT_EQ(again, 0);
  EXPECT_EQ(Relay->State(), rsConnected);
  ASSERT_TRUE(Peer.Accept());
  Relay->OnDisconnected = [&](TObject*, int R) { Reasons.push_back(R); };
  Relay->Disconnect();
  ASSERT_TRUE(WaitDisconnected());
  EXPECT_EQ(Reasons, std::vector<int>{drLocal});
}

TEST_F(RelayContract, HandlersMayDestroyTheComponent) {
  Open();
  bool called = false;
  Relay->OnDisconnected = [&](TObject*, int) {
    called = true;
    Relay.reset();
  };
  Peer.Close();
  ASSERT_TRUE(Pump([&] { return called; }));
  EXPECT_EQ(Relay, nullptr);

  // In the message handler too, with more messages queued behind.
  Relay = std::make_unique<TTestRelay>();
  Wire(*Relay);
  Open();
  int handled = 0;
  Relay->OnDelivered = [&] {
    ++handled;
    Relay.reset();
  };
  std::string burst;
  for (int i = 0; i < 5; ++i)
    burst += Frame('D', "m" + std::to_string(i));
  Peer.Write(burst);
  ASSERT_TRUE(Pump([&] { return handled > 0; }));
  Application()->ProcessUntil([] { return false; }, 100);
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(Relay, nullptr);
  EXPECT_TRUE(Errors.empty());
}

// Nothing received is raised once Disconnect has returned; what was queued
// goes unacknowledged.
TEST_F(RelayContract, NoMessageEventAfterLocalDisconnect) {
  Open();
  std::string burst;
  for (int i = 0; i < 500; ++i)
    burst += Frame('D', "m" + std::to_string(i));
  Peer.Write(burst);
  ASSERT_TRUE(Pump([&] { return Relay->Delivered >= 1; }));
  // Let more arrive without handling them.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Relay->Disconnect();
  int atDisconnect = Relay->Delivered;
  ASSERT_TRUE(WaitDisconnected());
  Application()->ProcessUntil([] { return false; }, 100);
  EXPECT_EQ(Relay->Delivered, atDisconnect);
  EXPECT_LT(Relay->Delivered, 500);
  std::string acks = Peer.Take(0, 200);
  int acked = 0;
  for (size_t n; (n = FrameSize(acks)) > 0; acks.erase(0, n))
    ++acked;
  EXPECT_EQ(acked, atDisconnect) << "only what was handled is acknowledged";
}

TEST_F(RelayContract, ReceiveSideFailureEndsTheSession) {
  Open();
  Peer.Write(Frame('X', "boom"));
  ASSERT_TRUE(WaitDisconnected());
  EXPECT_EQ(Reasons, std::vector<int>{drInternalError});
  ASSERT_FALSE(Errors.empty());
  EXPECT_NE(Errors[0].find("receive thread failed"), std::string::npos) << Errors[0];
}

// --- Back-pressure and idling ---------------------------------------------------

TEST_F(RelayContract, ReceivedMessagesWaitingForTheApplicationAreBounded) {
  Relay->SetReceiveQueueSize(8);
  Open();
  const int kCount = 3000;
  auto flood = std::async(std::launch::async, [&] {
    std::string burst;
    for (int i = 0; i < kCount; ++i)
      burst += Frame('D', std::string(100, 'm'));
    return Peer.Write(burst);
  });
  // The application does not pump for a while; the messages it has not
  // handled stay bounded (the relay's own three plus the queue plus the one
  // being copied).
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LE(TTestMessage::Live.load(), 3 + 8 + 1);
  // Then nothing is lost.
  ASSERT_TRUE(Pump([&] { return Relay->Delivered == kCount; }, 20000));
  EXPECT_TRUE(flood.get());
  EXPECT_TRUE(Reasons.empty());
}

TEST_F(RelayContract, AnIdleSessionCostsNoCpu) {
  Open();
  double cpu0 = testing::ProcessCpuMs();
  Application()->ProcessUntil([] { return false; }, 600);
  EXPECT_LT(testing::ProcessCpuMs() - cpu0, 30.0);
}

} // namespace
} // namespace garvel
