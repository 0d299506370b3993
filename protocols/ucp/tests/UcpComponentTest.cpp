// The UCP component against a scripted SMSC on loopback: login, submits,
// received messages and notifications, keep-alives in both directions,
// refusals and framing of a damaged stream.
#include "xcGarvelUCP.h"
#include "UcpFrames.h"

#include "FakePeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>

namespace garvel::ucp {
namespace {

using garvel::testing::TFakePeer;
using test::CountFrames;
using test::Fields33;
using test::Frame;
using test::HasFrame;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point T) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - T).count();
}

const TDateTime kScts = EncodeDateTime(2012, 3, 2, 12, 34, 56, 0);

struct TDelivery {
  std::string Destination, Originator;
  std::u16string Text;
  TxcEncodingType Encoding;
  std::string Header;
  TDateTime TimeStamp;
};

struct TReport {
  TDateTime MessageTimeStamp;
  std::string Destination, Originator;
  uint8_t Status;
  int Reason;
  TDateTime TimeStamp;
};

class UcpComponent : public ::testing::Test {
protected:
  void SetUp() override {
    Ucp.OnDisconnected = [this](TObject* Sender, int Reason) {
      EXPECT_EQ(Sender, &Ucp);
      Reasons.push_back(Reason);
    };
    Ucp.OnError = [this](TObject*, const std::string& M) { Errors.push_back(M); };
    Ucp.SetKeepAlive(false);
    Ucp.SetResponseTimeOut(3000);
  }
  void TearDown() override { Application()->ProcessMessages(); }

  void HandleMessages() {
    Ucp.OnMessageReceived = [this](TObject* Sender, const std::string& D, const std::string& O,
                                   const std::u16string& T, TxcEncodingType E, const std::string& H,
                                   TDateTime TS) {
      EXPECT_EQ(Sender, &Ucp);
      Messages.push_back({D, O, T, E, H, TS});
    };
  }
  void HandleReports() {
    Ucp.OnStatusReportReceived = [this](TObject* Sender, TDateTime MTS, const std::string& D,
                                        const std::string& O, uint8_t S, int R, TDateTime TS) {
      EXPECT_EQ(Sender, &Ucp);
      Reports.push_back({MTS, D, O, S, R, TS});
    };
  }

  void Connect() {
    ASSERT_EQ(Ucp.Connect("127.0.0.1", Peer.Port()), 0);
    ASSERT_TRUE(Peer.Accept());
  }
  // Connected and logged in without a login frame.
  void Open() {
    Connect();
    ASSERT_EQ(Ucp.InitializeSession("0612345678", 1, 1, "", false), 0);
    ASSERT_EQ(Ucp.State(), rsLoggedIn);
  }
  // Runs Request while the peer answers the first frame it gets with
  // Reply; Sent receives what the component sent.
  int Answered(const std::function<int()>& Request, const std::string& Reply,
               std::string* Sent = nullptr) {
    auto peer = std::async(std::launch::async, [&] {
      std::string got = Peer.TakeWhen(HasFrame);
      if (Sent)
        *Sent = got;
      if (!got.empty() && !Reply.empty())
        Peer.Write(test::WithTRNOf(Reply, got)); // an SMSC answers under the request's TRN
    });
    int r = Request();
    peer.get();
    return r;
  }
  int Submit(const std::string& Reply, TDateTime& TimeStamp, std::string* Sent = nullptr) {
    return Answered(
        [&] {
          return Ucp.SubmitMessage("0612345678", "1234", u"Hello", et7BitText, "",
                                   {soRequestStatusReport}, TimeStamp);
        },
        Reply, Sent);
  }
  // Pumps the queue until Pred holds; Pred may watch the peer, so it is
  // checked every few milliseconds as well as after each notification.
  bool Pump(const std::function<bool()>& Pred, int Ms = 5000) {
    auto t0 = Clock::now();
    while (!Pred()) {
      if (MsSince(t0) > Ms)
        return false;
      Application()->ProcessUntil(Pred, 10);
    }
    return true;
  }
  // Sends an alert after whatever the test wrote and waits for its answer:
  // everything written before it has then been handled. Returns what the
  // component sent before that answer.
  std::string Settle() {
    Peer.Write(Frame(77, 'O', 31, {"1", "0539"}));
    const std::string ack = Frame(77, 'R', 31, {"A", ""});
    bool answered = Pump([&] {
      std::string b = Peer.Pending();
      return b.size() >= ack.size() && b.compare(b.size() - ack.size(), ack.size(), ack) == 0;
    });
    EXPECT_TRUE(answered) << "the alert was not answered";
    std::string got = Peer.Take(0, 0);
    return answered ? got.substr(0, got.size() - ack.size()) : got;
  }

  TFakePeer Peer;
  TxcGarvelUCP Ucp{nullptr};
  std::vector<int> Reasons;
  std::vector<std::string> Errors;
  std::vector<TDelivery> Messages;
  std::vector<TReport> Reports;
};

TEST_F(UcpComponent, SessionWithoutLoginThenSubmits) {
  Open();
  EXPECT_TRUE(Peer.Quiet(100)) << "no frame without login";

  TDateTime ts = 0;
  std::string sent;
  EXPECT_EQ(Submit(Frame(1, 'R', 51, {"A", "", "0612345678:020312123456"}), ts, &sent), 0);
  EXPECT_EQ(sent, "\x02"
                  "01/00076/O/51/0612345678/1234//1//7/////////////3//48656C6C6F/////////////92"
                  "\x03");
  EXPECT_EQ(ts, kScts);
  EXPECT_EQ(Ucp.GetOutputMessage().FBuffer, TByteDynArray(sent.begin(), sent.end()));

  // A refusal returns the EC and repeats the last time stamp.
  ts = 0;
  EXPECT_EQ(Submit(Frame(1, 'R', 51, {"N", "02", "syntax error"}), ts, &sent), 2);
  EXPECT_EQ(test::TRNOf(sent), 2) << "each request takes the next TRN";
  EXPECT_EQ(ts, kScts);
  EXPECT_EQ(Ucp.SubmitTimeStamp(), kScts);
  // An accepted submit without a time has none: not an earlier message's.
  EXPECT_EQ(Submit(Frame(1, 'R', 51, {"A", "", "0612345678"}), ts, &sent), 0);
  EXPECT_EQ(test::TRNOf(sent), 3);
  EXPECT_EQ(ts, 0);
}

TEST_F(UcpComponent, LoginAccepted) {
  Connect();
  std::string sent;
  int r = Answered([&] { return Ucp.InitializeSession("0612345678", 6, 5, "secret", true); },
                   Frame(1, 'R', 60, {"A", ""}), &sent);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(Ucp.State(), rsLoggedIn);
  EXPECT_EQ(sent,
            Frame(1, 'O', 60,
                  {"0612345678", "6", "5", "1", "736563726574", "", "0100", "", "", "", "", ""}));
  EXPECT_TRUE(Peer.Quiet(100));
  EXPECT_EQ(Ucp.Originator(), "0612345678");
}

TEST_F(UcpComponent, LoginRefusedLeavesTheSessionUnusable) {
  Connect();
  int r = Answered([&] { return Ucp.InitializeSession("0612345678", 1, 1, "bad", true); },
                   Frame(1, 'R', 60, {"N", "07", "authentication failure"}));
  EXPECT_EQ(r, 7);
  EXPECT_EQ(Ucp.State(), rsInitialized);
  TDateTime ts = 0;
  EXPECT_EQ(Ucp.SubmitMessage("0612345678", "1234", u"x", et7BitText, "", {}, ts), rcWrongState);
  EXPECT_EQ(Ucp.InitializeSession("0612345678", 1, 1, "bad", false), rcWrongState);
  EXPECT_TRUE(Peer.Quiet(100));
}

TEST_F(UcpComponent, LoginWithoutResultTimesOut) {
  Connect();
  Ucp.SetResponseTimeOut(150);
  auto t0 = Clock::now();
  EXPECT_EQ(Answered([&] { return Ucp.InitializeSession("1234", 1, 1, "pw", true); }, ""),
            rcTimeOut);
  EXPECT_GE(MsSince(t0), 140);
  EXPECT_EQ(Ucp.State(), rsInitialized);
}

TEST_F(UcpComponent, InitializeSessionNeedsAConnection) {
  int threads = garvel::testing::ThreadCount();
  EXPECT_EQ(Ucp.InitializeSession("1234", 1, 1, "", false), rcWrongState);
  EXPECT_EQ(Ucp.State(), rsNotConnected);
  EXPECT_EQ(garvel::testing::ThreadCount(), threads);
  EXPECT_EQ(Ucp.Originator(), "1234") << "kept for the next session's keep-alives";
}

TEST_F(UcpComponent, SubmitTimesOutAndTheSessionGoesOn) {
  Open();
  Ucp.SetResponseTimeOut(150);
  TDateTime ts = 0;
  auto t0 = Clock::now();
  EXPECT_EQ(Submit("", ts), rcTimeOut);
  EXPECT_GE(MsSince(t0), 140);
  Ucp.SetResponseTimeOut(3000);
  EXPECT_EQ(Submit(Frame(1, 'R', 51, {"A", "", "0612345678:020312123456"}), ts), 0);
  EXPECT_EQ(ts, kScts);
}

TEST_F(UcpComponent, RefusesWhatCannotBeCarriedWithoutSending) {
  Connect();
  EXPECT_EQ(Ucp.InitializeSession("12/34", 1, 1, "", false), rcCannotCarry);
  EXPECT_EQ(Ucp.State(), rsConnected);
  EXPECT_EQ(Ucp.InitializeSession("1234", 1, 1, std::string(50000, 'p'), true), rcCannotCarry);
  EXPECT_EQ(Ucp.State(), rsConnected);
  ASSERT_EQ(Ucp.InitializeSession("1234", 1, 1, "", false), 0);
  TDateTime ts = 0;
  EXPECT_EQ(Ucp.SubmitMessage("06/12", "1234", u"x", et7BitText, "", {}, ts), rcCannotCarry);
  EXPECT_EQ(Ucp.SubmitMessage("0612", "1234", u"x", et7BitText, "01/02", {}, ts), rcCannotCarry);
  EXPECT_EQ(Ucp.SubmitMessage("0612", "1234", std::u16string(50000, u'A'), etUCS2Text, "", {}, ts),
            rcCannotCarry);
  EXPECT_EQ(Ucp.Login("12/34", 1, 1, "pw"), rcCannotCarry);
  EXPECT_TRUE(Peer.Quiet(150));
  // The output path is free again afterwards.
  EXPECT_EQ(Submit(Frame(1, 'R', 51, {"A", "", ""}), ts), 0);
}

TEST_F(UcpComponent, DeliveryRaisedOnceAndAcknowledgedOnce) {
  HandleMessages();
  Open();
  // Written a byte at a time: the frame is only taken once it is whole.
  std::string frame = Frame(42, 'O', 52,
                            Fields33({{1, "1234"},
                                      {2, "0612345678"},
                                      {15, "020312123456"},
                                      {19, "4"},
                                      {21, "00480069"},
                                      {31, "0106050003AB0201020108"}}));
  ASSERT_TRUE(Peer.WriteSplit(frame, 1, 1));
  ASSERT_TRUE(Pump([&] { return !Messages.empty(); }));
  ASSERT_EQ(Messages.size(), 1u);
  const TDelivery& m = Messages[0];
  EXPECT_EQ(m.Destination, "1234");
  EXPECT_EQ(m.Originator, "0612345678");
  EXPECT_EQ(m.Text, u"Hi");
  EXPECT_EQ(m.Encoding, etUCS2Text);
  EXPECT_EQ(m.Header, std::string("\x05\x00\x03\xAB\x02\x01", 6));
  EXPECT_EQ(m.TimeStamp, kScts);
  EXPECT_EQ(Settle(), Frame(42, 'R', 52, {"A", "", ""}));
  EXPECT_EQ(Messages.size(), 1u);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(UcpComponent, StatusReportRaisedOnceAndAcknowledgedOnce) {
  HandleReports();
  Open();
  std::string frame = Frame(43, 'O', 53,
                            Fields33({{1, "1234"},
                                      {2, "0612345678"},
                                      {15, "020312123456"},
                                      {16, ""},
                                      {17, "108"},
                                      {18, "030312101500"}}));
  // Split in two writes, the cut inside LEN.
  ASSERT_TRUE(Peer.WriteSplit(frame, 6, 20));
  ASSERT_TRUE(Pump([&] { return !Reports.empty(); }));
  ASSERT_EQ(Reports.size(), 1u);
  const TReport& r = Reports[0];
  EXPECT_EQ(r.MessageTimeStamp, kScts);
  EXPECT_EQ(r.Destination, "0612345678");
  EXPECT_EQ(r.Originator, "1234");
  EXPECT_EQ(r.Status, 255);
  EXPECT_EQ(r.Reason, 108);
  EXPECT_EQ(r.TimeStamp, EncodeDateTime(2012, 3, 3, 10, 15, 0, 0));
  EXPECT_EQ(Settle(), Frame(43, 'R', 53, {"A", "", ""}));
  EXPECT_EQ(Reports.size(), 1u);
}

TEST_F(UcpComponent, CallInputCarriesTheReceptionTime) {
  HandleMessages();
  Open();
  TDateTime before = Now();
  Peer.Write(Frame(44, 'O', 1, {"1234", "0612345678", "", "3", "48656C6C6F"}));
  ASSERT_TRUE(Pump([&] { return !Messages.empty(); }));
  EXPECT_EQ(Messages[0].Text, u"Hello");
  EXPECT_GE(Messages[0].TimeStamp, before);
  EXPECT_LE(Messages[0].TimeStamp, Now());
  EXPECT_EQ(Settle(), Frame(44, 'R', 1, {"A", ""}));
}

TEST_F(UcpComponent, WithoutHandlersNothingIsRaisedOrAnswered) {
  Open();
  Peer.Write(Frame(45, 'O', 52, Fields33({{15, "020312123456"}, {19, "3"}, {21, "41"}})));
  Peer.Write(Frame(46, 'O', 53, Fields33({{15, "020312123456"}, {18, "020312123456"}})));
  // Other operations from the SMSC are refused: operation not supported.
  Peer.Write(Frame(47, 'O', 60, {"1234", "", "", "1", "", "", "0100", "", "", "", "", ""}));
  EXPECT_EQ(Settle(), Frame(47, 'R', 60, {"N", "03", ""}));
  EXPECT_TRUE(Errors.empty());
}

// An invalid time stamp: the frame is refused with EC 02 (unanswered, the
// SMSC would deliver it for ever), the handler is not called, the error is
// reported, and the next frame is handled.
TEST_F(UcpComponent, InvalidTimeStampIsReportedAndSkipped) {
  HandleMessages();
  HandleReports();
  Open();
  Peer.Write(Frame(50, 'O', 52, Fields33({{15, "310212123456"}, {19, "3"}, {21, "41"}})));
  Peer.Write(Frame(51, 'O', 53, Fields33({{15, "020312123456"}, {18, "02031299"}})));
  Peer.Write(Frame(52, 'O', 52, Fields33({{15, "020312123456"}, {19, "3"}, {21, "42"}})));
  ASSERT_TRUE(Pump([&] { return Messages.size() == 1 && Errors.size() == 2; }));
  EXPECT_EQ(Settle(), Frame(50, 'R', 52, {"N", "02", ""}) + Frame(51, 'R', 53, {"N", "02", ""}) +
                          Frame(52, 'R', 52, {"A", "", ""}));
  EXPECT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, u"B");
  EXPECT_TRUE(Reports.empty());
  EXPECT_EQ(Errors.size(), 2u);
  EXPECT_TRUE(Reasons.empty());
  EXPECT_EQ(Ucp.State(), rsLoggedIn);
}

// A submit result with a time that is not a date: the message was accepted,
// so the submit succeeds (no time-out that would invite a duplicate) and the
// time stamp is unknown.
TEST_F(UcpComponent, SubmitResultWithInvalidTimeStillCountsAsAccepted) {
  Open();
  TDateTime ts = 0;
  EXPECT_EQ(Submit(Frame(1, 'R', 51, {"A", "", "0612345678:020312123456"}), ts), 0);
  EXPECT_NE(ts, 0);
  EXPECT_EQ(Submit(Frame(1, 'R', 51, {"A", "", "0612345678:999999999999"}), ts), 0);
  EXPECT_EQ(ts, 0);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(UcpComponent, AlertFromTheSmscIsAnswered) {
  HandleMessages();
  Open();
  Peer.Write(Frame(9, 'O', 31, {"0612345678", "0539"}));
  ASSERT_TRUE(Pump([&] { return HasFrame(Peer.Pending()); }));
  std::string got = Peer.Take(0, 0);
  EXPECT_EQ(got, Frame(9, 'R', 31, {"A", ""}));
  EXPECT_TRUE(Messages.empty());
  // Answered even without a message handler.
  Ucp.OnMessageReceived = nullptr;
  EXPECT_EQ(Settle(), "");
}

// Bytes that do not frame (a negative or unreadable LEN, junk) are skipped
// and the session carries on with the next frame.
TEST_F(UcpComponent, DamagedBytesAreSkipped) {
  HandleMessages();
  Open();
  Peer.Write("\x02"
             "01/-0005/O/52/x/00\x03");
  Peer.Write("\x02"
             "01/0x020/O/52/x/00\x03");
  Peer.Write("junk");
  Peer.Write(Frame(60, 'O', 52, Fields33({{15, "020312123456"}, {19, "3"}, {21, "43"}})));
  ASSERT_TRUE(Pump([&] { return !Messages.empty(); }));
  EXPECT_EQ(Settle(), Frame(60, 'R', 52, {"A", "", ""}));
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, u"C");
  EXPECT_TRUE(Reasons.empty());
  EXPECT_EQ(Ucp.State(), rsLoggedIn);
}

// A submit times out; its late NACK, and a stray R/60, arrive while the
// next submit waits. Neither completes it: only the result with its TRN.
TEST_F(UcpComponent, LateOrStrayResultsNeverCompleteTheNextSubmit) {
  Open();
  Ucp.SetResponseTimeOut(150);
  TDateTime ts = 0;
  std::string first;
  EXPECT_EQ(Submit("", ts, &first), rcTimeOut);
  Ucp.SetResponseTimeOut(3000);
  auto peer = std::async(std::launch::async, [&] {
    std::string second = Peer.TakeWhen(HasFrame);
    Peer.Write(test::WithTRNOf(Frame(0, 'R', 51, {"N", "04", "late"}), first));
    Peer.Write(test::WithTRNOf(Frame(0, 'R', 60, {"A", ""}), second));
    Peer.Write(test::WithTRNOf(Frame(0, 'R', 51, {"A", "", "0612345678:020312123456"}), second));
    return second;
  });
  EXPECT_EQ(Ucp.SubmitMessage("0612345678", "1234", u"x", et7BitText, "", {}, ts), 0);
  std::string second = peer.get();
  EXPECT_EQ(test::TRNOf(second), test::TRNOf(first) + 1);
  EXPECT_EQ(ts, kScts);
  ASSERT_TRUE(Pump([&] { return Errors.size() == 2; }));
  EXPECT_NE(Errors[0].find("R/51 TRN 01 N EC 04"), std::string::npos) << Errors[0];
  EXPECT_NE(Errors[1].find("R/60 TRN 02"), std::string::npos) << Errors[1];
}

// Transaction numbers run 01..99, then 00, and on.
TEST_F(UcpComponent, TransactionNumbersWrapAfter99) {
  Open();
  TDateTime ts = 0;
  std::string sent;
  std::vector<int> trns;
  for (int i = 0; i < 101; ++i) {
    ASSERT_EQ(Submit(Frame(0, 'R', 51, {"A", "", ""}), ts, &sent), 0) << i;
    trns.push_back(test::TRNOf(sent));
  }
  EXPECT_EQ(trns[0], 1);
  EXPECT_EQ(trns[98], 99);
  EXPECT_EQ(trns[99], 0);
  EXPECT_EQ(trns[100], 1);
  EXPECT_TRUE(Errors.empty());
}

// Megabytes of junk before a frame are skipped in one pass.
TEST_F(UcpComponent, LongJunkIsSkipped) {
  HandleMessages();
  Open();
  std::string junk(4 << 20, 'j');
  for (size_t i = 0; i < junk.size(); i += 4096)
    junk[i] = '\x03';
  const std::string frame =
      Frame(61, 'O', 52, Fields33({{15, "020312123456"}, {19, "3"}, {21, "44"}}));
  auto writer = std::async(std::launch::async, [&] { return Peer.Write(junk + frame); });
  ASSERT_TRUE(Pump([&] { return !Messages.empty(); }, 20000));
  ASSERT_TRUE(writer.get());
  EXPECT_EQ(Messages[0].Text, u"D");
  EXPECT_TRUE(Reasons.empty());
}

// A frame counts only with its ETX where LEN puts it. One whose LEN runs
// past its ETX must not swallow the frame behind it.
TEST_F(UcpComponent, LenIsNotTakenOnTrust) {
  HandleMessages();
  Open();
  Peer.Write("\x02"
             "07/00090/O/52/short/00\x03");
  Peer.Write(Frame(62, 'O', 52, Fields33({{15, "020312123456"}, {19, "3"}, {21, "45"}})));
  ASSERT_TRUE(Pump([&] { return !Messages.empty(); }));
  EXPECT_EQ(Messages[0].Text, u"E");
  // One whose LEN ends on another byte than ETX is skipped too.
  std::string bad = Frame(63, 'O', 52, Fields33({{15, "020312123456"}, {19, "3"}, {21, "46"}}));
  bad.back() = 'x';
  Peer.Write(bad + Frame(64, 'O', 52, Fields33({{15, "020312123456"}, {19, "3"}, {21, "47"}})));
  ASSERT_TRUE(Pump([&] { return Messages.size() == 2; }));
  EXPECT_EQ(Messages[1].Text, u"G");
  EXPECT_EQ(Settle(), Frame(62, 'R', 52, {"A", "", ""}) + Frame(64, 'R', 52, {"A", "", ""}));
  EXPECT_TRUE(Reasons.empty());
}

// A result announcing the largest LEN and followed by junk is no result: the
// login is not taken for accepted.
TEST_F(UcpComponent, AnUnframedResultIsNoLogin) {
  Connect();
  Ucp.SetResponseTimeOut(300);
  int r = Answered([&] { return Ucp.InitializeSession("1234", 1, 1, "pw", true); },
                   "\x02"
                   "01/99999/R/60/A/" +
                       std::string(2000, 'j'));
  EXPECT_EQ(r, rcTimeOut);
  EXPECT_EQ(Ucp.State(), rsInitialized);
}

TEST_F(UcpComponent, KeepAliveAfterAnIdleInterval) {
  Ucp.SetKeepAlive(true);
  Ucp.SetKeepAliveInterval(100);
  Connect();
  auto t0 = Clock::now();
  ASSERT_EQ(Ucp.InitializeSession("0612345678", 1, 1, "", false), 0);
  std::string got = Peer.TakeWhen(HasFrame, 3000);
  EXPECT_GE(MsSince(t0), 90);
  EXPECT_EQ(got, "\x02"
                 "01/00032/O/31/0612345678/0100/EE\x03");
  Peer.Write(Frame(1, 'R', 31, {"A", ""}));

  // Each keep-alive takes the next TRN.
  got = Peer.TakeWhen(HasFrame, 3000);
  EXPECT_EQ(got, Frame(2, 'O', 31, {"0612345678", "0100"}));
  Ucp.SetKeepAliveOperation(uoFantomCallInput);
  // A negative result still shows a live line.
  Peer.Write(Frame(2, 'R', 31, {"N", "03", ""}));
  got = Peer.TakeWhen(HasFrame, 3000);
  EXPECT_EQ(got, Frame(3, 'O', 1, {"", "0612345678", "", "3", "4B6565702D416C697665"}));
  Peer.Write(Frame(3, 'R', 1, {"N", "06", ""}));
  Application()->ProcessMessages();
  EXPECT_TRUE(Reasons.empty());
  EXPECT_EQ(Ucp.State(), rsLoggedIn);
}

TEST_F(UcpComponent, UnansweredKeepAliveDisconnects) {
  Ucp.SetKeepAlive(true);
  Ucp.SetKeepAliveInterval(80);
  Ucp.SetResponseTimeOut(100);
  Open();
  ASSERT_TRUE(Pump([&] { return !Reasons.empty(); }));
  EXPECT_EQ(Reasons, std::vector<int>{drKeepAliveFailed});
  EXPECT_EQ(CountFrames(Peer.Take(1, 0)), 1);
  EXPECT_EQ(Ucp.State(), rsNotConnected);
}

TEST_F(UcpComponent, DestroyedWhileKeepAlivesRun) {
  auto ucp = std::make_unique<TxcGarvelUCP>(nullptr);
  ucp->SetKeepAliveInterval(5);
  ucp->SetResponseTimeOut(5);
  ASSERT_EQ(ucp->Connect("127.0.0.1", Peer.Port()), 0);
  ASSERT_TRUE(Peer.Accept());
  ASSERT_EQ(ucp->InitializeSession("1234", 1, 1, "", false), 0);
  ASSERT_FALSE(Peer.TakeWhen(HasFrame, 3000).empty());
  ucp.reset();
  EXPECT_TRUE(Peer.WaitClientClosed());
}

TEST_F(UcpComponent, MessagesAreUcpMessages) {
  EXPECT_NO_THROW(Ucp.GetInputMessage());
  EXPECT_NO_THROW(Ucp.GetOutputMessage());
  EXPECT_NE(&Ucp.GetInputMessage(), &Ucp.GetOutputMessage());
  EXPECT_EQ(Ucp.ProtocolName(), "ucp");
  EXPECT_EQ(Ucp.KeepAliveOperation(), uoSMTAlert);
  EXPECT_EQ(Ucp.SubmitTimeStamp(), 0);
  EXPECT_THROW(Ucp.Login(), EAbstractError);
}

} // namespace
} // namespace garvel::ucp
