// The CIMD2 component against a scripted SMSC on loopback: login, submits,
// delivered messages and reports, alive in both directions, stray answers.
#include "xcGarvelCIMD2.h"
#include "Cimd2Packets.h"

#include "FakePeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>

namespace garvel::cimd2 {
namespace {

using garvel::testing::TFakePeer;
using test::HasPacket;
using test::NumberOf;
using test::OpOf;
using test::Packet;
using Clock = std::chrono::steady_clock;

const TDateTime kScts = EncodeDateTime(2012, 3, 2, 12, 34, 56, 0);

class Cimd2Component : public ::testing::Test {
protected:
  void SetUp() override {
    C.OnDisconnected = [this](TObject*, int Reason) { Reasons.push_back(Reason); };
    C.OnError = [this](TObject*, const std::string& M) { Errors.push_back(M); };
    C.SetKeepAlive(false);
    C.SetResponseTimeOut(3000);
  }
  void TearDown() override { Application()->ProcessMessages(); }

  // The next whole packet the component sent; empty on time-out.
  std::string Next(int TimeoutMs = 3000) {
    if (!HasPacket(FIn))
      FIn += Peer.TakeWhen([&](const std::string& B) { return HasPacket(FIn + B); }, TimeoutMs);
    size_t end = FIn.find('\x03');
    if (end == std::string::npos)
      return std::string();
    std::string p = FIn.substr(0, end + 1);
    FIn.erase(0, end + 1);
    return p;
  }
  // Runs Request while the peer answers its first packet with Reply(packet).
  int Answered(const std::function<int()>& Request,
               const std::function<std::string(const std::string&)>& Reply,
               std::string* Sent = nullptr) {
    auto peer = std::async(std::launch::async, [&] {
      std::string got = Next();
      if (Sent)
        *Sent = got;
      std::string r = got.empty() ? std::string() : Reply(got);
      if (!r.empty())
        Peer.Write(r);
    });
    int r = Request();
    peer.get();
    return r;
  }
  static std::function<std::string(const std::string&)> Respond(const test::TParams& P = {}) {
    return [P](const std::string& Got) { return Packet(OpOf(Got) + 50, NumberOf(Got), P); };
  }
  void Open() {
    ASSERT_EQ(C.Connect("127.0.0.1", Peer.Port()), 0);
    ASSERT_TRUE(Peer.Accept());
    std::string sent;
    ASSERT_EQ(Answered([&] { return C.InitializeSession("user", "secret"); }, Respond(), &sent), 0);
    ASSERT_EQ(sent, Packet(1, 1, {{10, "user"}, {11, "secret"}}));
    ASSERT_EQ(C.State(), rsLoggedIn);
  }
  int Submit(const std::function<std::string(const std::string&)>& Reply, TDateTime& TimeStamp,
             std::string* Sent = nullptr) {
    return Answered(
        [&] {
          return C.SubmitMessage("0612345678", "1234", u"Hello", et7BitText, "",
                                 {soRequestStatusReport}, TimeStamp);
        },
        Reply, Sent);
  }
  bool Pump(const std::function<bool()>& Pred, int Ms = 5000) {
    auto t0 = Clock::now();
    while (!Pred()) {
      if (Clock::now() - t0 > std::chrono::milliseconds(Ms))
        return false;
      Application()->ProcessUntil(Pred, 10);
    }
    return true;
  }

  TFakePeer Peer;
  TxcGarvelCIMD2 C{nullptr};
  std::vector<int> Reasons;
  std::vector<std::string> Errors;

private:
  std::string FIn;
};

TEST_F(Cimd2Component, LoginRefusedThenRetried) {
  ASSERT_EQ(C.Connect("127.0.0.1", Peer.Port()), 0);
  ASSERT_TRUE(Peer.Accept());
  EXPECT_EQ(Answered([&] { return C.InitializeSession("user", "bad"); }, Respond({{900, "100"}})),
            100);
  EXPECT_EQ(C.State(), rsInitialized);
  TDateTime ts = 0;
  EXPECT_EQ(C.SubmitMessage("1", "2", u"x", et7BitText, "", {}, ts), rcWrongState);
  std::string sent;
  EXPECT_EQ(Answered([&] { return C.InitializeSession("user", "good"); }, Respond(), &sent), 0)
      << "a second InitializeSession logs in again";
  EXPECT_EQ(NumberOf(sent), 3) << "the refused submit took no number";
  EXPECT_EQ(C.State(), rsLoggedIn);
}

TEST_F(Cimd2Component, SubmitsTheirResultsAndNumbers) {
  Open();
  TDateTime ts = 0;
  std::string sent;
  EXPECT_EQ(Submit(Respond({{21, "0612345678"}, {60, "120302123456"}}), ts, &sent), 0);
  EXPECT_EQ(sent, "\x02"
                  "03:003\t021:0612345678\t023:1234\t033:Hello\t056:63\tD1\x03");
  EXPECT_EQ(ts, kScts);
  EXPECT_EQ(Submit(Respond({{900, "300"}}), ts, &sent), 300);
  EXPECT_EQ(NumberOf(sent), 5);
  EXPECT_EQ(Submit([](const std::string& G) { return Packet(99, NumberOf(G)); }, ts),
            rcGeneralError);
  EXPECT_EQ(Submit([](const std::string& G) { return Packet(98, NumberOf(G)); }, ts),
            rcGeneralError);
  // Refused locally: no packet goes out and no number is taken.
  EXPECT_EQ(C.SubmitMessage("06\t12", "1234", u"x", et7BitText, "", {}, ts), rcCannotCarry);
  EXPECT_EQ(C.SubmitMessage("0612", "1234", u"\u041F", et7BitText, "", {}, ts), rcCannotCarry);
  EXPECT_EQ(Submit(Respond(), ts, &sent), 0);
  EXPECT_EQ(NumberOf(sent), 11);
  EXPECT_EQ(ts, 0) << "this response carried no time stamp";
  EXPECT_TRUE(Errors.empty());
}

// A submit's response that comes after its time-out never completes the
// next submit; stray responses are dropped and reported.
TEST_F(Cimd2Component, LateResponsesAreDropped) {
  Open();
  C.SetResponseTimeOut(150);
  TDateTime ts = 0;
  std::string first;
  EXPECT_EQ(Submit([](const std::string&) { return std::string(); }, ts, &first), rcTimeOut);
  C.SetResponseTimeOut(3000);
  EXPECT_EQ(Submit(
                [&](const std::string& Got) {
                  return Packet(53, NumberOf(first), {{900, "300"}}) + Packet(90, NumberOf(Got)) +
                         Packet(53, NumberOf(Got), {{60, "120302123456"}});
                },
                ts),
            0);
  EXPECT_EQ(ts, kScts);
  ASSERT_TRUE(Pump([&] { return Errors.size() == 2; }));
  EXPECT_NE(Errors[0].find("53:003 900:300"), std::string::npos) << Errors[0];
}

TEST_F(Cimd2Component, DeliveriesAndReportsAreRaisedOnceAndAnswered) {
  std::vector<std::u16string> texts;
  std::vector<uint8_t> statuses;
  C.OnMessageReceived = [&](TObject*, const std::string& D, const std::string& O,
                            const std::u16string& T, TxcEncodingType, const std::string&,
                            TDateTime TS) {
    EXPECT_EQ(D, "1234");
    EXPECT_EQ(O, "0612345678");
    EXPECT_EQ(TS, kScts);
    texts.push_back(T);
  };
  C.OnStatusReportReceived = [&](TObject*, TDateTime, const std::string&, uint8_t S, int,
                                 TDateTime) { statuses.push_back(S); };
  Open();
  Peer.Write(
      Packet(20, 2, {{21, "1234"}, {23, "0612345678"}, {33, "caf_e' _Oa"}, {60, "120302123456"}}));
  Peer.Write(Packet(23, 4, {{21, "0612345678"}, {61, "2"}}));
  ASSERT_TRUE(Pump([&] { return texts.size() == 1 && statuses.size() == 1; }));
  EXPECT_EQ(texts[0], u"caf\u00E9 @");
  EXPECT_EQ(statuses[0], 2);
  EXPECT_EQ(Next(), Packet(70, 2));
  EXPECT_EQ(Next(), Packet(73, 4));
  EXPECT_TRUE(Peer.Quiet(100)) << "answered once each";
}

// The SMSC's alive is answered at once, pumping or not, without an event.
TEST_F(Cimd2Component, AliveOfTheSmscIsAnsweredAtOnce) {
  Open();
  Peer.Write(Packet(40, 6));
  EXPECT_EQ(Next(), Packet(90, 6));
  EXPECT_TRUE(Reasons.empty());
}

TEST_F(Cimd2Component, KeepAliveAndLogoutOnDisconnect) {
  C.SetKeepAlive(true);
  C.SetKeepAliveInterval(80);
  Open();
  std::string alive = Next();
  EXPECT_EQ(alive, Packet(40, 3));
  Peer.Write(Packet(90, 3, {{900, "6"}})); // an error code still shows a live line
  EXPECT_EQ(Next(), Packet(40, 5));
  Peer.Write(Packet(90, 5));
  C.SetKeepAlive(false);
  auto peer = std::async(std::launch::async, [&] {
    std::string logout = Next();
    Peer.Write(Packet(52, NumberOf(logout)));
    return logout;
  });
  C.Disconnect();
  EXPECT_EQ(OpOf(peer.get()), 2) << "logout first";
  ASSERT_TRUE(Pump([&] { return !Reasons.empty(); }));
  EXPECT_EQ(Reasons, std::vector<int>{drLocal});
}

TEST_F(Cimd2Component, RequestsBeforeTheSessionStartedSendNothing) {
  ASSERT_EQ(C.Connect("127.0.0.1", Peer.Port()), 0);
  ASSERT_TRUE(Peer.Accept());
  auto t0 = Clock::now();
  EXPECT_EQ(C.Login("user", "pw"), rcWrongState);
  EXPECT_EQ(C.Alive(), rcWrongState);
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
  EXPECT_EQ(C.InitializeSession("us\ter", "pw"), rcCannotCarry);
  EXPECT_EQ(C.State(), rsConnected);
  EXPECT_TRUE(Peer.Quiet(100));
}

} // namespace
} // namespace garvel::cimd2
