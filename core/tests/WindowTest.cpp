// Windowed submission against a scripted peer: tickets complete exactly once
// whatever the peer does, the window and the rate bound what goes out, and a
// throttled answer holds new submits back.
#include "xcGarvel.h"
#include "TestMessage.h"
#include "FakePeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <set>
#include <thread>

namespace garvel {
namespace {

using test::Frame;
using test::FrameSize;
using test::HasFrame;
using test::MsSince;
using test::TTestRelay;
using testing::TFakePeer;
using Clock = std::chrono::steady_clock;

class Window : public ::testing::Test {
protected:
  void SetUp() override {
    Relay->OnDisconnected = [this](TObject*, int Reason) {
      Reasons.push_back(Reason);
      CompletedAtDisconnect = Completions.size();
    };
    Relay->OnError = [this](TObject*, const std::string& M) { Errors.push_back(M); };
    Relay->OnSubmitCompleted = [this](TObject*, const TxcSubmitCompletion& C) {
      Completions.push_back(C);
    };
    Relay->SetResponseTimeOut(3000);
    Relay->SetKeepAlive(false);
  }
  void TearDown() override { Application()->ProcessMessages(); }

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
  // The next whole frame from the client.
  std::string Next(int TimeoutMs = 3000) {
    if (!HasFrame(Rest))
      Rest += Peer.TakeWhen([&](const std::string& B) { return HasFrame(Rest + B); }, TimeoutMs);
    size_t n = FrameSize(Rest);
    std::string f = Rest.substr(0, n);
    Rest.erase(0, n);
    return f;
  }
  bool Pump(const std::function<bool()>& Pred, int Ms = 5000) {
    auto t0 = Clock::now();
    while (!Pred()) {
      if (MsSince(t0) > Ms)
        return false;
      Application()->ProcessUntil(Pred, 10);
    }
    return true;
  }
  TSubmitTicket Async(const std::string& Body) {
    TSubmitTicket t = 0;
    EXPECT_EQ(Relay->SubmitAsync({Body}, t), 0) << Body;
    EXPECT_NE(t, 0u);
    return t;
  }
  const TxcSubmitCompletion* Find(TSubmitTicket T) const {
    for (const auto& c : Completions)
      if (c.Ticket == T)
        return &c;
    return nullptr;
  }
  // Every ticket completed exactly once.
  void ExpectEachOnce(const std::vector<TSubmitTicket>& Tickets) {
    std::map<TSubmitTicket, int> seen;
    for (const auto& c : Completions)
      ++seen[c.Ticket];
    for (TSubmitTicket t : Tickets)
      EXPECT_EQ(seen[t], 1) << "ticket " << t;
    EXPECT_EQ(seen.size(), Tickets.size());
  }

  TFakePeer Peer;
  std::string Rest;
  std::unique_ptr<TTestRelay> Relay = std::make_unique<TTestRelay>();
  std::vector<int> Reasons;
  std::vector<std::string> Errors;
  std::vector<TxcSubmitCompletion> Completions;
  size_t CompletedAtDisconnect = 0;
};

// Three fit the window; the fourth waits until an answer frees a place.
// Answers in any order complete their own tickets, with their own results.
TEST_F(Window, BoundsWhatIsInFlightAndCompletesEachTicketWithItsAnswer) {
  Open();
  Relay->SetWindowSize(3);
  std::vector<TSubmitTicket> tickets{Async("#1:a"), Async("#2:b"), Async("#3:c")};
  EXPECT_EQ(Relay->InFlight(), 3);
  EXPECT_EQ(Relay->OutstandingTickets(), 3);
  auto fourth = std::async(std::launch::async, [&] { return Async("#4:d"); });
  EXPECT_EQ(Next(), Frame('s', "#1:a"));
  EXPECT_EQ(Next(), Frame('s', "#2:b"));
  EXPECT_EQ(Next(), Frame('s', "#3:c"));
  EXPECT_EQ(fourth.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
      << "the window is full";
  EXPECT_TRUE(Peer.Pending().empty());
  Peer.Write(Frame('R', "#2:0"));
  tickets.push_back(fourth.get());
  // Sent at once while answers stream in, the fourth may wait for the next
  // answer; with none coming it goes on the housekeeping tick.
  Application()->ProcessUntil([] { return false; }, 150);
  EXPECT_EQ(Next(), Frame('s', "#4:d"));
  Peer.Write(Frame('R', "#4:7"));
  Peer.Write(Frame('R', "#1:0"));
  Peer.Write(Frame('N', "#3:"));
  ASSERT_TRUE(Pump([&] { return Completions.size() == 4; }));
  ExpectEachOnce(tickets);
  EXPECT_EQ(Find(tickets[0])->Result, 0);
  EXPECT_EQ(Find(tickets[1])->Parts.at(0).MessageID, "id2");
  EXPECT_EQ(Find(tickets[2])->Result, rcGeneralError);
  EXPECT_EQ(Find(tickets[3])->Result, 7);
  for (const auto& c : Completions)
    EXPECT_LE(c.Sent, c.Answered);
  EXPECT_GE(Find(tickets[0])->Answered - Find(tickets[0])->Sent, std::chrono::milliseconds(150))
      << "the first waited while the window filled";
  EXPECT_EQ(Relay->InFlight(), 0);
  EXPECT_EQ(Relay->OutstandingTickets(), 0);
  EXPECT_TRUE(Errors.empty()) << Errors.front();
}

// Each part has its own time-out; an answer after it is dropped and
// reported, never taken as the part's result. A broken link completes what
// is still out with -1, before OnDisconnected, and only once.
TEST_F(Window, TimeOutsLateAnswersAndABrokenLinkCompleteEachTicketOnce) {
  Open();
  Relay->SetResponseTimeOut(200);
  std::vector<TSubmitTicket> tickets{Async("#1:a"), Async("#2:b")};
  auto t0 = Clock::now();
  ASSERT_TRUE(Pump([&] { return Completions.size() == 2; }));
  EXPECT_GE(MsSince(t0), 150);
  EXPECT_EQ(Find(tickets[0])->Result, rcTimeOut);
  EXPECT_EQ(Find(tickets[1])->Result, rcTimeOut);
  EXPECT_EQ(Relay->InFlight(), 0) << "timed-out parts leave the window";
  Peer.Write(Frame('R', "#1:0")); // late
  ASSERT_TRUE(Pump([&] { return !Errors.empty(); }));
  EXPECT_NE(Errors[0].find("submit response dropped"), std::string::npos) << Errors[0];

  Relay->SetResponseTimeOut(5000);
  tickets.push_back(Async("#3:c"));
  tickets.push_back(Async("#4:d"));
  Next();
  Next();
  Next();
  Next();
  Peer.Write(Frame('R', "#3:0"));
  ASSERT_TRUE(Pump([&] { return Completions.size() == 3; }));
  Peer.Close();
  ASSERT_TRUE(Pump([&] { return !Reasons.empty(); }));
  Application()->ProcessMessages();
  ExpectEachOnce(tickets);
  EXPECT_EQ(Find(tickets[3])->Result, rcTimeOut);
  EXPECT_EQ(CompletedAtDisconnect, 4u) << "every ticket is done before OnDisconnected";
  TSubmitTicket none = 1;
  EXPECT_EQ(Relay->SubmitAsync({"#5:e"}, none), rcWrongState);
  EXPECT_EQ(none, 0u);
}

// A local Disconnect with many parts in flight, racing answers from the
// peer: still exactly one completion per ticket.
TEST_F(Window, DisconnectMidWindowRacingAnswers) {
  for (int round = 0; round < 20; ++round) {
    Completions.clear();
    Reasons.clear();
    Rest.clear();
    Open();
    Relay->SetWindowSize(50);
    std::vector<TSubmitTicket> tickets;
    for (int i = 1; i <= 40; ++i)
      tickets.push_back(Async("#" + std::to_string(i) + ":x"));
    auto answers = std::async(std::launch::async, [&] {
      for (int i = 1; i <= 40; ++i)
        Peer.Write(Frame('R', "#" + std::to_string(i) + ":0"));
    });
    std::this_thread::sleep_for(std::chrono::microseconds(round * 100));
    Relay->Disconnect();
    answers.get();
    ASSERT_TRUE(Pump([&] { return !Reasons.empty(); }));
    Application()->ProcessMessages();
    ExpectEachOnce(tickets);
    EXPECT_EQ(Relay->InFlight(), 0);
    Peer.Close();
  }
}

// With the window full the call waits at most ResponseTimeOut and then
// fails with nothing sent; the blocking submit shares the window.
TEST_F(Window, AFullWindowWaitIsBoundedAndSharedWithBlockingSubmits) {
  Open();
  Relay->SetWindowSize(1);
  TSubmitTicket first = Async("#1:a"); // waits up to 3 s for its answer
  Relay->SetResponseTimeOut(300);      // the waits for a place below
  auto t0 = Clock::now();
  TSubmitTicket t = 5;
  EXPECT_EQ(Relay->SubmitAsync({"#2:b"}, t), rcTimeOut);
  EXPECT_EQ(t, 0u);
  EXPECT_GE(MsSince(t0), 250);
  EXPECT_EQ(Relay->SubmitInWindow("#3:c"), rcTimeOut) << "the blocking submit waits its turn too";
  EXPECT_EQ(Next(), Frame('s', "#1:a"));
  EXPECT_TRUE(Peer.Quiet(100)) << "nothing else went out";
  Peer.Write(Frame('R', "#1:0"));
  ASSERT_TRUE(Pump([&] { return Completions.size() == 1; }));
  EXPECT_EQ(Completions[0].Ticket, first);
  EXPECT_EQ(Completions[0].Result, 0);

  Relay->SetResponseTimeOut(3000);
  Relay->SetWindowSize(2);
  TSubmitTicket second = Async("#4:d");
  auto sync = std::async(std::launch::async, [&] { return Relay->SubmitInWindow("#5:e"); });
  EXPECT_EQ(Next(), Frame('s', "#4:d"));
  EXPECT_EQ(Next(), Frame('s', "#5:e"));
  Peer.Write(Frame('R', "#5:0"));
  Peer.Write(Frame('R', "#4:9"));
  EXPECT_EQ(sync.get(), 0);
  ASSERT_TRUE(Pump([&] { return Completions.size() == 2; }));
  EXPECT_EQ(Completions[1].Ticket, second);
  EXPECT_EQ(Completions[1].Result, 9);
}

// The parts of one message share a ticket; a part that cannot be carried
// fails with the rest, and a first part that cannot fails the call.
TEST_F(Window, PartsOfOneMessageShareATicket) {
  Open();
  TSubmitTicket t = 0;
  ASSERT_EQ(Relay->SubmitAsync({"#1:a", "#2:b", "#3:c"}, t), 0);
  for (int i = 0; i < 3; ++i)
    Next();
  Peer.Write(Frame('R', "#3:0"));
  Peer.Write(Frame('R', "#1:0"));
  Peer.Write(Frame('R', "#2:5"));
  ASSERT_TRUE(Pump([&] { return Completions.size() == 1; }));
  EXPECT_EQ(Completions[0].Ticket, t);
  EXPECT_EQ(Completions[0].Result, 5);
  ASSERT_EQ(Completions[0].Parts.size(), 3u);
  EXPECT_EQ(Completions[0].Parts[0].MessageID, "id1");
  EXPECT_EQ(Completions[0].Parts[1].Result, 5);
  EXPECT_EQ(Completions[0].Parts[2].MessageID, "id3");

  ASSERT_EQ(Relay->SubmitAsync({"#4:a", "!", "#6:c"}, t), 0);
  Next();
  Peer.Write(Frame('R', "#4:0"));
  ASSERT_TRUE(Pump([&] { return Completions.size() == 2; }));
  EXPECT_EQ(Completions[1].Result, rcCannotCarry);
  EXPECT_EQ(Completions[1].Parts[0].Result, 0);
  EXPECT_EQ(Completions[1].Parts[2].Result, rcCannotCarry);
  EXPECT_TRUE(Peer.Quiet(100)) << "nothing after the part that cannot go";

  EXPECT_EQ(Relay->SubmitAsync({"!", "#7:x"}, t), rcCannotCarry);
  EXPECT_EQ(t, 0u);
  EXPECT_EQ(Relay->InFlight(), 0);
  Application()->ProcessUntil([] { return false; }, 100);
  EXPECT_EQ(Completions.size(), 2u) << "a refused call raises nothing";
}

// More parts than the window: each answered part makes room for the next at
// once, not after a time-out.
TEST_F(Window, PartsBeyondTheWindowGoAsEarlierOnesAreAnswered) {
  Open();
  Relay->SetWindowSize(1);
  auto peer = std::async(std::launch::async, [&] {
    for (int i = 1; i <= 4; ++i) {
      std::string f = Next();
      if (f != Frame('s', "#" + std::to_string(i) + ":p"))
        return false;
      Peer.Write(Frame('R', "#" + std::to_string(i) + ":0"));
    }
    return true;
  });
  auto t0 = Clock::now();
  TSubmitTicket t = 0;
  ASSERT_EQ(Relay->SubmitAsync({"#1:p", "#2:p", "#3:p", "#4:p"}, t), 0);
  EXPECT_TRUE(peer.get());
  ASSERT_TRUE(Pump([&] { return Completions.size() == 1; }));
  EXPECT_LT(MsSince(t0), 1500) << "no part waited for a time-out (3 s)";
  EXPECT_EQ(Completions[0].Result, 0);
}

// Submits are spaced evenly at the rate, windowed or not.
TEST_F(Window, RateSpacesSubmitsEvenly) {
  Open();
  Relay->SetWindowSize(100);
  Relay->SetMaxSubmitRate(50);
  std::vector<Clock::time_point> arrivals;
  auto peer = std::async(std::launch::async, [&] {
    for (int i = 1; i <= 60; ++i) {
      std::string f = Next(5000);
      if (f.empty())
        return;
      arrivals.push_back(Clock::now());
      Peer.Write(Frame('R', "#" + std::to_string(i) + ":0"));
    }
  });
  auto t0 = Clock::now();
  for (int i = 1; i <= 50; ++i)
    Async("#" + std::to_string(i) + ":x");
  for (int i = 51; i <= 60; ++i)
    EXPECT_EQ(Relay->SubmitInWindow("#" + std::to_string(i) + ":y"), 0);
  peer.get();
  double seconds = static_cast<double>(MsSince(t0)) / 1000.0;
  // 59 intervals of 20 ms: 1.18 s at the least.
  EXPECT_GE(seconds, 1.15);
  EXPECT_LT(seconds, 1.18 * 1.5);
  ASSERT_EQ(arrivals.size(), 60u);
  // No burst: at most 3 arrivals (6 at twice the rate) in any 100 ms.
  for (size_t i = 0; i + 5 < arrivals.size(); ++i)
    EXPECT_GE(arrivals[i + 5] - arrivals[i], std::chrono::milliseconds(60)) << "at " << i;
  ASSERT_TRUE(Pump([&] { return Completions.size() == 50; }));
}

// A throttled answer is reported and holds new submits back for the
// back-off; the submits already out are not held.
TEST_F(Window, ThrottledAnswerHoldsNewSubmitsBack) {
  Open();
  Relay->SetThrottleBackOff(500);
  TSubmitTicket t = Async("#1:a");
  Next();
  Peer.Write(Frame('R', "#1:88"));
  ASSERT_TRUE(Pump([&] { return Completions.size() == 1; }));
  EXPECT_EQ(Completions[0].Ticket, t);
  EXPECT_EQ(Completions[0].Result, 88) << "the throttled result is still reported";
  auto t0 = Clock::now();
  auto peer = std::async(std::launch::async, [&] {
    Next();
    Peer.Write(Frame('R', "#2:0"));
  });
  EXPECT_EQ(Relay->SubmitInWindow("#2:b"), 0);
  peer.get();
  EXPECT_GE(MsSince(t0), 400);

  // A back-off longer than the response time-out fails the wait at once.
  Relay->SetThrottleBackOff(60000);
  Relay->SetResponseTimeOut(300);
  Async("#3:c");
  Next();
  Peer.Write(Frame('R', "#3:88"));
  ASSERT_TRUE(Pump([&] { return Completions.size() == 2; }));
  t0 = Clock::now();
  TSubmitTicket none = 0;
  EXPECT_EQ(Relay->SubmitAsync({"#4:d"}, none), rcTimeOut);
  EXPECT_LT(MsSince(t0), 250);
}

// A handler that destroys the component while completions are queued.
TEST_F(Window, CompletionHandlerMayDestroyTheComponent) {
  Open();
  std::vector<TSubmitTicket> tickets{Async("#1:a"), Async("#2:b")};
  Next();
  Next();
  int seen = 0;
  Relay->OnSubmitCompleted = [&](TObject*, const TxcSubmitCompletion&) {
    ++seen;
    Relay.reset();
  };
  Peer.Write(Frame('R', "#1:0"));
  Peer.Write(Frame('R', "#2:0"));
  Application()->ProcessUntil([&] { return seen > 0; }, 5000);
  Application()->ProcessUntil([] { return false; }, 200);
  EXPECT_EQ(seen, 1) << "nothing from a destroyed component";
}

} // namespace
} // namespace garvel
