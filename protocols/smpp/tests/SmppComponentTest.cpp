// The SMPP component over real loopback TCP against a scripted SMSC: binds,
// submits and their results, response matching, framing limits, received
// deliver_sm, the SMSC's own requests and the keep-alive.
#include "xcGarvelSMPP.h"
#include "SmppPdu.h"
#include "FakePeer.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

namespace garvel::smpp {
namespace {

using namespace test;
using garvel::testing::TFakePeer;

struct TMessageSeen {
  std::string Destination, Originator, UDH;
  uint8_t DestTON, DestNPI, OrigTON, OrigNPI;
  std::u16string Text;
  TxcEncodingType Encoding;
};

struct TReportSeen {
  std::string MessageID, Destination, Originator;
  uint8_t DestTON, OrigTON, SMStatus;
  int FailureReason;
};

class SmppComponentTest : public ::testing::Test {
protected:
  void SetUp() override {
    C.OnDisconnected = [this](TObject* Sender, int Reason) {
      EXPECT_EQ(Sender, &C);
      Reasons.push_back(Reason);
    };
    C.OnError = [this](TObject*, const std::string& M) { Errors.push_back(M); };
    C.SetResponseTimeOut(2000);
    C.SetKeepAlive(false);
  }
  void TearDown() override { Application()->ProcessMessages(); }

  void HandleMessages() {
    C.OnMessageReceived = [this](TObject*, const std::string& Destination, uint8_t DestTON,
                                 uint8_t DestNPI, const std::string& Originator, uint8_t OrigTON,
                                 uint8_t OrigNPI, const std::u16string& Text,
                                 TxcEncodingType Encoding, const std::string& UDH) {
      Messages.push_back(
          {Destination, Originator, UDH, DestTON, DestNPI, OrigTON, OrigNPI, Text, Encoding});
    };
  }
  void HandleReports() {
    C.OnStatusReportReceived = [this](TObject*, const std::string& MessageID,
                                      const std::string& Destination, uint8_t DestTON, uint8_t,
                                      const std::string& Originator, uint8_t OrigTON, uint8_t,
                                      uint8_t SMStatus, int FailureReason) {
      Reports.push_back(
          {MessageID, Destination, Originator, DestTON, OrigTON, SMStatus, FailureReason});
    };
  }

  // The next whole PDU the client sent; empty on time-out.
  std::string NextPdu(int TimeoutMs = 3000) {
    while (!HasPdu(FIn)) {
      std::string more = Peer.TakeWhen([](const std::string& S) { return !S.empty(); }, TimeoutMs);
      if (more.empty())
        return std::string();
      FIn += more;
    }
    std::string pdu = FIn.substr(0, LengthOf(FIn));
    FIn.erase(0, pdu.size());
    return pdu;
  }
  // True when the client sends nothing for TimeoutMs.
  bool Silent(int TimeoutMs) { return FIn.empty() && Peer.Quiet(TimeoutMs); }
  // NextPdu and Silent while the test thread pumps its queue, as the
  // application's main thread does: the answers to the SMSC go out there.
  template <class F> auto Pumped(F Wait) -> decltype(Wait()) {
    auto f = std::async(std::launch::async, Wait);
    auto ready = [&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    while (!ready())
      Application()->ProcessUntil(ready, 5); // the future signals no queue: poll it
    return f.get();
  }
  std::string PumpedNextPdu(int TimeoutMs = 3000) {
    return Pumped([&] { return NextPdu(TimeoutMs); });
  }
  bool PumpedSilent(int TimeoutMs) {
    return Pumped([&] { return Silent(TimeoutMs); });
  }

  void ConnectOnly() {
    ASSERT_EQ(C.Connect("127.0.0.1", Peer.Port()), 0);
    ASSERT_TRUE(Peer.Accept());
  }
  // Connects and binds; the peer answers the bind with Status (and Body).
  int Bind(TxcBindModeSMPP Mode, uint32_t Status = 0, const std::string& Body = CStr("SMSC")) {
    ConnectOnly();
    auto answer = std::async(std::launch::async, [&] {
      std::string bind = NextPdu();
      if (bind.empty())
        return;
      Peer.Write(Pdu(CommandOf(bind) | kResponseBit, Status, SequenceOf(bind), Body));
    });
    int r = C.InitializeSession("esme", "secret", 1, 1, "", Mode);
    answer.get();
    return r;
  }
  // A submit that the peer answers with Reply (built from the submit seen).
  int Submit(const std::function<std::string(const std::string&)>& Reply, std::string& Id) {
    auto answer = std::async(std::launch::async, [&] {
      std::string submit = NextPdu();
      EXPECT_EQ(CommandOf(submit), kSubmitSm);
      std::string r = Reply(submit);
      if (!r.empty())
        Peer.Write(r);
    });
    int r = C.SubmitMessage("4477001", 1, 1, "1234", 0, 1, u"hi", et7BitText, "", {}, Id);
    answer.get();
    return r;
  }
  bool WaitDisconnected(int TimeoutMs = 3000) {
    return Application()->ProcessUntil([&] { return !Reasons.empty(); }, TimeoutMs);
  }

  TFakePeer Peer;
  TxcGarvelSMPP C{nullptr};
  std::vector<int> Reasons;
  std::vector<std::string> Errors;
  std::vector<TMessageSeen> Messages;
  std::vector<TReportSeen> Reports;

private:
  std::string FIn;
};

std::function<std::string(const std::string&)> SubmitResp(uint32_t Status,
                                                          const std::string& Body) {
  return [=](const std::string& Submit) {
    return Pdu(kSubmitSm | kResponseBit, Status, SequenceOf(Submit), Body);
  };
}

TEST_F(SmppComponentTest, BindSendsTheBindOfTheModeAndARefusalCanBeRetried) {
  ConnectOnly();
  auto refuse = std::async(std::launch::async, [&] {
    std::string bind = NextPdu();
    EXPECT_EQ(bind, Pdu(kBindReceiver, 0, 1,
                        CStr("esme") + CStr("secret") + CStr("") + Hex("34 01 01 00")));
    Peer.Write(Pdu(kBindReceiver | kResponseBit, kESME_RINVPASWD, 1)); // no body
  });
  EXPECT_EQ(C.InitializeSession("esme", "secret", 1, 1, "", bmReceiver), 0x0E);
  refuse.get();
  EXPECT_EQ(C.State(), rsInitialized);

  auto accept = std::async(std::launch::async, [&] {
    std::string bind = NextPdu();
    EXPECT_EQ(CommandOf(bind), kBindTransmitter);
    EXPECT_EQ(SequenceOf(bind), 2u);
    Peer.Write(Pdu(kBindTransmitter | kResponseBit, 0, 2, CStr("SMSC")));
  });
  EXPECT_EQ(C.InitializeSession("esme", "secret", 1, 1, "", bmTransmitter), 0);
  accept.get();
  EXPECT_EQ(C.State(), rsLoggedIn);
  EXPECT_EQ(C.InitializeSession("esme", "secret", 1, 1, "", bmTransmitter), rcWrongState);
}

TEST_F(SmppComponentTest, ALateResponseNeverCompletesTheNextRequest) {
  ASSERT_EQ(Bind(bmTransceiver), 0);
  C.SetResponseTimeOut(200);
  std::string id;
  uint32_t timedOut = 0;
  EXPECT_EQ(Submit(
                [&](const std::string& S) {
                  timedOut = SequenceOf(S);
                  return std::string();
                },
                id),
            rcTimeOut);
  C.SetResponseTimeOut(2000);
  // The answer to the timed-out submit (and stray responses of other
  // kinds) come in before the answer to the next one.
  EXPECT_EQ(Submit(
                [&](const std::string& S) {
                  Peer.Write(Pdu(kSubmitSm | kResponseBit, 0, timedOut, CStr("LATE")) +
                             Pdu(kGenericNack, 3, timedOut) +
                             Pdu(kBindTransceiver | kResponseBit, 0, SequenceOf(S), CStr("x")) +
                             Pdu(kEnquireLink | kResponseBit, 0, SequenceOf(S)));
                  std::this_thread::sleep_for(std::chrono::milliseconds(200));
                  return Pdu(kSubmitSm | kResponseBit, 0, SequenceOf(S), CStr("FRESH"));
                },
                id),
            0);
  EXPECT_EQ(id, "FRESH");
  // And the response of a timed-out submit alone, arriving while nothing
  // waits, does not change the id either.
  Peer.Write(Pdu(kSubmitSm | kResponseBit, 0, timedOut, CStr("LATE")));
  EXPECT_EQ(Submit(SubmitResp(0, CStr("NEXT")), id), 0);
  EXPECT_EQ(id, "NEXT");
  // Every stray response was dropped and reported.
  ASSERT_TRUE(Application()->ProcessUntil([&] { return Errors.size() == 5; }, 3000));
  EXPECT_NE(Errors[0].find("submit_sm_resp sequence " + std::to_string(timedOut)),
            std::string::npos)
      << Errors[0];
  EXPECT_NE(Errors[1].find("generic_nack"), std::string::npos) << Errors[1];
  EXPECT_TRUE(Reasons.empty());
}

// The application's Alive while the keep-alive thread waits for its own
// enquire_link_resp: both get their answers, nothing breaks.
TEST_F(SmppComponentTest, AliveBesideTheKeepAliveThread) {
  C.SetKeepAlive(true);
  C.SetKeepAliveInterval(50);
  ASSERT_EQ(Bind(bmTransceiver), 0);
  std::string threadAlive = NextPdu();
  ASSERT_EQ(CommandOf(threadAlive), kEnquireLink);
  auto app = std::async(std::launch::async, [&] { return C.Alive(); });
  std::string appAlive = NextPdu();
  ASSERT_EQ(CommandOf(appAlive), kEnquireLink);
  // Answered in the opposite order, the second one late.
  Peer.Write(Pdu(kEnquireLink | kResponseBit, 0, SequenceOf(appAlive)));
  EXPECT_EQ(app.get(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Peer.Write(Pdu(kEnquireLink | kResponseBit, 0, SequenceOf(threadAlive)));
  C.SetKeepAlive(false);
  Application()->ProcessUntil([] { return false; }, 500);
  EXPECT_TRUE(Reasons.empty());
  EXPECT_TRUE(Errors.empty()) << Errors.front();
}

// Disconnect while bound unbinds first and waits (briefly) for unbind_resp,
// so that SMSCs counting binds see this one end; the reason stays 0.
TEST_F(SmppComponentTest, DisconnectUnbindsFirst) {
  ASSERT_EQ(Bind(bmTransceiver), 0);
  auto smsc = std::async(std::launch::async, [&] {
    std::string unbind = NextPdu();
    Peer.Write(Pdu(kUnbind | kResponseBit, 0, SequenceOf(unbind)));
    Peer.Close(); // as SMSCs do after unbind_resp
    return unbind;
  });
  C.Disconnect();
  std::string unbind = smsc.get();
  EXPECT_EQ(unbind, Pdu(kUnbind, 0, 2));
  ASSERT_TRUE(WaitDisconnected());
  EXPECT_EQ(Reasons, std::vector<int>{drLocal});
  EXPECT_TRUE(Errors.empty());

  // An SMSC that does not answer holds Disconnect for LogoutTimeOut only.
  Reasons.clear();
  ASSERT_EQ(Bind(bmTransceiver), 0);
  C.SetLogoutTimeOut(200);
  auto t0 = std::chrono::steady_clock::now();
  C.Disconnect();
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, std::chrono::milliseconds(150));
  EXPECT_LT(took, std::chrono::seconds(2));
  EXPECT_EQ(CommandOf(NextPdu()), kUnbind);
  ASSERT_TRUE(WaitDisconnected());
  EXPECT_EQ(Reasons, std::vector<int>{drLocal});
}

// enquire_link is answered while the application is busy and pumps nothing.
TEST_F(SmppComponentTest, EnquireLinkIsAnsweredWithoutPumping) {
  ASSERT_EQ(Bind(bmTransceiver), 0);
  Peer.Write(Pdu(kEnquireLink, 0, 900));
  EXPECT_EQ(NextPdu(), Pdu(kEnquireLink | kResponseBit, 0, 900));
  Peer.Write(Pdu(kEnquireLink, 0, 901));
  EXPECT_EQ(NextPdu(), Pdu(kEnquireLink | kResponseBit, 0, 901));
}

// The SMSC unbinds while a keep-alive waits for its answer: the session
// ends at once, not after the response time-out.
TEST_F(SmppComponentTest, UnbindWhileAKeepAliveWaitsEndsTheSessionAtOnce) {
  C.SetKeepAlive(true);
  C.SetKeepAliveInterval(50);
  C.SetResponseTimeOut(20000);
  ASSERT_EQ(Bind(bmTransceiver), 0);
  ASSERT_EQ(CommandOf(NextPdu()), kEnquireLink);
  auto t0 = std::chrono::steady_clock::now();
  Peer.Write(Pdu(kUnbind, 0, 77));
  EXPECT_EQ(NextPdu(), Pdu(kUnbind | kResponseBit, 0, 77));
  ASSERT_TRUE(WaitDisconnected(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_EQ(Reasons, std::vector<int>{drPeerClosed});
}

TEST_F(SmppComponentTest, RequestsThatCannotGoOutSendNothing) {
  std::string id = "x";
  EXPECT_EQ(C.SubmitMessage("1", 0, 0, "2", 0, 0, u"a", et7BitText, "", {}, id), rcWrongState);
  EXPECT_EQ(id, "");
  ConnectOnly();
  EXPECT_EQ(C.SubmitMessage("1", 0, 0, "2", 0, 0, u"a", et7BitText, "", {}, id), rcWrongState);
  EXPECT_TRUE(Silent(100));
  EXPECT_EQ(C.Login(std::string("a\0b", 3), "", 0, 0, "", bmTransceiver), rcCannotCarry);
  EXPECT_TRUE(Silent(100));
}

TEST_F(SmppComponentTest, UserDataAboveTheLimitIsRefused) {
  ASSERT_EQ(Bind(bmTransceiver), 0);
  std::string id;
  EXPECT_EQ(Submit(SubmitResp(0, CStr("OK")), id), 0);
  EXPECT_EQ(
      C.SubmitMessage("1", 0, 0, "2", 0, 0, std::u16string(255, u'a'), et7BitText, "", {}, id),
      rcCannotCarry);
  EXPECT_EQ(id, "OK");
  EXPECT_EQ(C.SubmitMessage(std::string("1\0", 2), 0, 0, "2", 0, 0, u"a", et7BitText, "", {}, id),
            rcCannotCarry);
  EXPECT_TRUE(Silent(100));
  auto check = std::async(std::launch::async, [&] {
    std::string s = NextPdu();
    EXPECT_EQ(SequenceOf(s), 3u) << "refused requests take no sequence number";
    Peer.Write(Pdu(kSubmitSm | kResponseBit, 0, SequenceOf(s), CStr("254")));
  });
  EXPECT_EQ(
      C.SubmitMessage("1", 0, 0, "2", 0, 0, std::u16string(254, u'a'), et7BitText, "", {}, id), 0);
  check.get();
}

TEST_F(SmppComponentTest, UnframeableLengthsEndTheSession) {
  for (uint32_t length : {0u, 15u, 65537u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(length);
    Reasons.clear();
    ASSERT_EQ(Bind(bmTransceiver), 0);
    Peer.Write(U32(length) + U32(kDeliverSm) + U32(0) + U32(9));
    ASSERT_TRUE(WaitDisconnected());
    EXPECT_EQ(Reasons, std::vector<int>{drUnframeable});
    EXPECT_EQ(C.State(), rsNotConnected);
    EXPECT_TRUE(Peer.WaitClientClosed());
  }
  EXPECT_FALSE(Errors.empty());
}

TEST_F(SmppComponentTest, APduOfTheLargestSizeIsFramed) {
  ASSERT_EQ(Bind(bmTransceiver), 0);
  // An unknown response of exactly 64 KiB is framed and dropped.
  Peer.Write(Pdu(0x80000103u, 0, 1, std::string(kMaxPDUSize - 16, 'x')));
  std::string id;
  EXPECT_EQ(Submit(SubmitResp(0, CStr("after")), id), 0);
  EXPECT_EQ(id, "after");
  EXPECT_TRUE(Reasons.empty());
}

TEST_F(SmppComponentTest, DeliverSmRaisesItsEventOnceAndIsAnsweredOnce) {
  ASSERT_EQ(Bind(bmReceiver), 0);
  HandleMessages();
  TDeliver mo;
  mo.DataCoding = 0x08;
  mo.EsmClass = 0x40;
  mo.ShortMessage = Hex("05 00 03 01 02 01 04 16");
  Peer.Write(Pdu(kDeliverSm, 0, 41, mo.Body()));
  EXPECT_EQ(PumpedNextPdu(), Pdu(kDeliverSm | kResponseBit, 0, 41, CStr("")));
  Application()->ProcessMessages();
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, u"\u0416");
  EXPECT_EQ(Messages[0].Encoding, etUCS2Text);
  EXPECT_EQ(Messages[0].UDH, "050003010201");
  EXPECT_EQ(Messages[0].Destination, "1234");
  EXPECT_EQ(Messages[0].Originator, "4477001");
  EXPECT_EQ(Messages[0].OrigTON, 1);

  // A receipt without its handler: no event, no answer.
  TDeliver receipt;
  receipt.EsmClass = 0x04;
  receipt.ShortMessage = "id:M1 stat:DELIVRD err:0";
  Peer.Write(Pdu(kDeliverSm, 0, 42, receipt.Body()));
  EXPECT_TRUE(PumpedSilent(300));
  Application()->ProcessMessages();
  EXPECT_TRUE(PumpedSilent(100));
  EXPECT_TRUE(Reports.empty());
  EXPECT_EQ(Messages.size(), 1u);

  HandleReports();
  receipt.Tlvs = Tlv(kTagNetworkErrorCode, Hex("03 00 05"));
  Peer.Write(Pdu(kDeliverSm, 0, 43, receipt.Body()));
  EXPECT_EQ(PumpedNextPdu(), Pdu(kDeliverSm | kResponseBit, 0, 43, CStr("")));
  Application()->ProcessMessages();
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].MessageID, "M1");
  EXPECT_EQ(Reports[0].SMStatus, 2);
  EXPECT_EQ(Reports[0].FailureReason, 0x030005);
  EXPECT_EQ(Reports[0].Destination, "4477001");
  EXPECT_EQ(Reports[0].Originator, "1234");
  EXPECT_TRUE(PumpedSilent(100)) << "answered once";
}

TEST_F(SmppComponentTest, TheSMSCsOwnRequestsAreAnswered) {
  ASSERT_EQ(Bind(bmTransceiver), 0);
  Peer.Write(Pdu(kEnquireLink, 0, 500));
  EXPECT_EQ(PumpedNextPdu(), Pdu(kEnquireLink | kResponseBit, 0, 500));
  Peer.Write(Pdu(kOutbind, 0, 501, CStr("x") + CStr("")));
  Peer.Write(Pdu(kDataSm, 0, 502, "body"));
  EXPECT_EQ(PumpedNextPdu(), Pdu(kGenericNack, kESME_RINVCMDID, 502)) << "outbind is not answered";
  EXPECT_TRUE(Reasons.empty());

  Peer.Write(Pdu(kUnbind, 0, 503));
  EXPECT_EQ(PumpedNextPdu(), Pdu(kUnbind | kResponseBit, 0, 503));
  ASSERT_TRUE(WaitDisconnected());
  EXPECT_TRUE(Peer.WaitClientClosed());
  Application()->ProcessUntil([] { return false; }, 100);
  EXPECT_EQ(Reasons, std::vector<int>{drPeerClosed});
  EXPECT_EQ(C.State(), rsNotConnected);
}

TEST_F(SmppComponentTest, KeepAliveFollowsTheLastRequestAndEndsAnUnansweredSession) {
  C.SetKeepAlive(true);
  C.SetKeepAliveInterval(100);
  C.SetResponseTimeOut(300);
  ASSERT_EQ(Bind(bmTransceiver), 0); // sequence 1
  std::string first = NextPdu();
  EXPECT_EQ(first, Pdu(kEnquireLink, 0, 2));
  Peer.Write(Pdu(kEnquireLink | kResponseBit, 0, 2));
  std::string second = NextPdu();
  EXPECT_EQ(second, Pdu(kEnquireLink, 0, 3));
  // Unanswered: the session ends with Reason -1.
  ASSERT_TRUE(WaitDisconnected());
  EXPECT_EQ(Reasons, std::vector<int>{drKeepAliveFailed});
}

// Parts announced by the sar_ parameters join like parts announced in the
// header; each is answered as it comes, and a malformed set is no part.
TEST_F(SmppComponentTest, SarPartsAreJoinedWhenAsked) {
  ASSERT_EQ(Bind(bmReceiver), 0);
  HandleMessages();
  C.SetReassembleMessages(true);
  auto part = [&](uint32_t Seq, int Ref, int Total, int Nr, const std::string& Text) {
    TDeliver mo;
    mo.ShortMessage = Text;
    mo.Tlvs = Tlv(kTagSarMsgRefNum, Hex("01") + static_cast<char>(Ref)) +
              Tlv(kTagSarTotalSegments, Octet(Total)) + Tlv(kTagSarSegmentSeqnum, Octet(Nr));
    Peer.Write(Pdu(kDeliverSm, 0, Seq, mo.Body()));
    EXPECT_EQ(PumpedNextPdu(), Pdu(kDeliverSm | kResponseBit, 0, Seq, CStr("")));
  };
  part(50, 7, 2, 2, "world");
  EXPECT_TRUE(Messages.empty()) << "held, yet answered";
  part(51, 7, 2, 1, "hello ");
  Application()->ProcessMessages();
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, u"hello world");
  EXPECT_EQ(Messages[0].UDH, "");
  part(52, 8, 2, 3, "bad number"); // part 3 of 2: raised as it is
  Application()->ProcessMessages();
  ASSERT_EQ(Messages.size(), 2u);
  EXPECT_EQ(Messages[1].Text, u"bad number");
}

// ESME_RTHROTTLED is reported to the submitter and holds the next submit
// back for the back-off.
TEST_F(SmppComponentTest, ThrottledSubmitHoldsTheNextBack) {
  ASSERT_EQ(Bind(bmTransceiver), 0);
  C.SetThrottleBackOff(400);
  std::string id;
  EXPECT_EQ(Submit(SubmitResp(0x58, CStr("")), id), 0x58);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Submit(SubmitResp(0, CStr("M2")), id), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(350));
  EXPECT_EQ(id, "M2");
}

} // namespace
} // namespace garvel::smpp
