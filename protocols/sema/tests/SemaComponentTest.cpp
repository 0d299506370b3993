// The SEMA component against a scripted SMSC on loopback: the poll that
// opens a session, login, submits, delivered messages and reports, stray
// responses.
#include "xcGarvelSEMA.h"
#include "SemaBytes.h"

#include "FakePeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>

namespace garvel::sema {
namespace {

using garvel::testing::TFakePeer;
using test::DeliverBody;
using test::Hex;
using test::Message;
using test::ReportBody;
using Clock = std::chrono::steady_clock;

size_t WholeSize(const std::string& B) {
  if (B.size() < 10)
    return 0;
  size_t n = 10 + (static_cast<uint8_t>(B[8]) | static_cast<uint8_t>(B[9]) << 8);
  return B.size() >= n ? n : 0;
}
uint32_t ReferenceOf(const std::string& M) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = v << 8 | static_cast<uint8_t>(M[static_cast<size_t>(i)]);
  return v;
}
int OperationOf(const std::string& M) {
  return static_cast<uint8_t>(M[5]);
}

class SemaComponent : public ::testing::Test {
protected:
  void SetUp() override {
    C.OnDisconnected = [this](TObject*, int Reason) { Reasons.push_back(Reason); };
    C.OnError = [this](TObject*, const std::string& M) { Errors.push_back(M); };
    C.SetKeepAlive(false);
    C.SetResponseTimeOut(3000);
  }
  void TearDown() override { Application()->ProcessMessages(); }

  std::string Next(int TimeoutMs = 3000) {
    if (WholeSize(FIn) == 0)
      FIn += Peer.TakeWhen([&](const std::string& B) { return WholeSize(FIn + B) > 0; }, TimeoutMs);
    size_t n = WholeSize(FIn);
    std::string m = FIn.substr(0, n);
    FIn.erase(0, n);
    return m;
  }
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
  static std::function<std::string(const std::string&)> Result(const std::string& Body) {
    return [Body](const std::string& Got) {
      return Message(ReferenceOf(Got), 1, OperationOf(Got), Body);
    };
  }
  void Connect() {
    ASSERT_EQ(C.Connect("127.0.0.1", Peer.Port()), 0);
    ASSERT_TRUE(Peer.Accept());
  }
  void Open() {
    Connect();
    std::string sent;
    ASSERT_EQ(Answered([&] { return C.InitializeSession("1234", 1, 1); }, Result(Hex("00")), &sent),
              0);
    ASSERT_EQ(sent, Hex("01 00 00 00 00 0B 00 00 09 00 06 39 31 31 32 33 34 01 00"));
    ASSERT_EQ(C.State(), rsLoggedIn);
  }
  int Submit(const std::function<std::string(const std::string&)>& Reply, std::string& Id,
             TDateTime& Ts) {
    return Answered(
        [&] {
          return C.SubmitMessage("0612345678", "1234", 1, 1, u"Hello", et7BitText, "",
                                 {soRequestStatusReport}, Id, Ts);
        },
        Reply);
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
  TxcGarvelSEMA C{nullptr};
  std::vector<int> Reasons;
  std::vector<std::string> Errors;

private:
  std::string FIn;
};

// The poll is refused until the login: InitializeSession, Login,
// InitializeSession again.
TEST_F(SemaComponent, PollRefusedThenLoginThenPollAgain) {
  Connect();
  EXPECT_EQ(Answered([&] { return C.InitializeSession("1234", 1, 1); }, Result(Hex("03"))), 3);
  EXPECT_EQ(C.State(), rsInitialized);
  std::string sent;
  EXPECT_EQ(Answered([&] { return C.Login("ab", "pw"); }, Result(Hex("00")), &sent), 0)
      << "the login response is classified";
  EXPECT_EQ(sent.substr(10), Hex("02 61 62 70 77"));
  EXPECT_EQ(ReferenceOf(sent), 2u);
  EXPECT_EQ(Answered([&] { return C.InitializeSession("1234", 1, 1); }, Result(Hex("00"))), 0);
  EXPECT_EQ(C.State(), rsLoggedIn);
  EXPECT_EQ(C.InitializeSession("1234", 8, 1), rcCannotCarry);
}

TEST_F(SemaComponent, SubmitsAndTheirIds) {
  Open();
  std::string id;
  TDateTime ts = 0;
  EXPECT_EQ(Submit(Result(Hex("00 01 02 00 00") + "06031514300500"), id, ts), 0);
  EXPECT_EQ(id, "513");
  EXPECT_EQ(ts, EncodeDateTime(2006, 3, 15, 14, 30, 5, 0));
  EXPECT_EQ(Submit(Result(Hex("05")), id, ts), 5);
  EXPECT_EQ(id, "");
  EXPECT_EQ(ts, 0);
  EXPECT_EQ(Submit(Result(""), id, ts), rcGeneralError) << "an empty body is no success";
  EXPECT_EQ(C.SubmitMessage("1", "2", 9, 1, u"x", et7BitText, "", {}, id, ts), rcCannotCarry);
  EXPECT_TRUE(Errors.empty());
}

// A late response never completes the next submit.
TEST_F(SemaComponent, LateResponsesAreDropped) {
  Open();
  C.SetResponseTimeOut(150);
  std::string id, first;
  TDateTime ts = 0;
  EXPECT_EQ(
      Answered([&] { return C.SubmitMessage("1", "2", 1, 1, u"x", et7BitText, "", {}, id, ts); },
               [](const std::string&) { return std::string(); }, &first),
      rcTimeOut);
  C.SetResponseTimeOut(3000);
  EXPECT_EQ(Submit(
                [&](const std::string& Got) {
                  return Message(ReferenceOf(first), 1, 0, Hex("05")) +
                         Message(ReferenceOf(Got), 1, 11, Hex("00")) +
                         Message(ReferenceOf(Got), 1, 0, Hex("00 02 02 00 00") + "06031514300500");
                },
                id, ts),
            0);
  EXPECT_EQ(id, "514");
  ASSERT_TRUE(Pump([&] { return Errors.size() == 2; }));
}

TEST_F(SemaComponent, DeliveriesAndReportsAcknowledgedOnlyWithAHandler) {
  Open();
  Peer.Write(Message(40, 0, 9, DeliverBody(0x00, 0, 8, Hex("61 F1 98 5C 36 9F D1"))));
  Application()->ProcessUntil([] { return false; }, 150); // handled without a handler
  EXPECT_TRUE(Peer.Quiet(100)) << "no handler: no acknowledgement";
  std::vector<std::u16string> texts;
  std::vector<std::string> ids;
  C.OnMessageReceived = [&](TObject*, const std::string&, uint8_t, uint8_t, const std::string&,
                            uint8_t, uint8_t, const std::u16string& T, TxcEncodingType,
                            const std::string&, TDateTime) { texts.push_back(T); };
  C.OnStatusReportReceived = [&](TObject*, const std::string& Id, TDateTime, const std::string&,
                                 const std::string&, uint8_t, uint8_t, uint8_t, int,
                                 TDateTime) { ids.push_back(Id); };
  Peer.Write(Message(41, 0, 9, DeliverBody(0x00, 0, 8, Hex("61 F1 98 5C 36 9F D1"))));
  Peer.Write(Message(42, 0, 4, ReportBody(513, 0)));
  ASSERT_TRUE(Pump([&] { return texts.size() == 1 && ids.size() == 1; }));
  EXPECT_EQ(texts[0], u"abcdefgh");
  EXPECT_EQ(ids[0], "513");
  EXPECT_EQ(Next(), Hex("29 00 00 00 01 09 00 00 01 00 00"));
  EXPECT_EQ(Next(), Hex("2A 00 00 00 01 04 00 00 01 00 00"));
  // A malformed delivery is reported and not acknowledged.
  std::string bad = DeliverBody(0x00, 0, 1, Hex("41"));
  bad[0] = '\x01';
  Peer.Write(Message(43, 0, 9, bad));
  ASSERT_TRUE(Pump([&] { return !Errors.empty(); }));
  EXPECT_TRUE(Peer.Quiet(150));
}

TEST_F(SemaComponent, IdlePollIsTheKeepAlive) {
  C.SetKeepAlive(true);
  C.SetKeepAliveInterval(80);
  Open();
  std::string poll = Next();
  EXPECT_EQ(OperationOf(poll), 11);
  EXPECT_EQ(ReferenceOf(poll), 2u);
  Peer.Write(Message(2, 1, 11, Hex("00")));
  EXPECT_EQ(ReferenceOf(Next()), 3u);
  C.SetKeepAlive(false);
  Peer.Write(Message(3, 1, 11, Hex("00")));
  Application()->ProcessUntil([] { return false; }, 100);
  EXPECT_TRUE(Reasons.empty());
}

} // namespace
} // namespace garvel::sema
