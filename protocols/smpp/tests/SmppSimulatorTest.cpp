// The SMPP component against the SMSC simulator: whole sessions end to end.
#include "xcGarvelSMPP.h"

#include "SmppPersonality.h"
#include "SmscServer.h"
#include "Sockets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace garvel::smpp {
namespace {

using sim::TSimConfig;
using sim::TSmscServer;

struct TReport {
  std::string MessageID, Destination, Originator;
  uint8_t SMStatus;
  int FailureReason;
};

struct TMessage {
  std::string Destination, Originator, UDH;
  std::u16string Text;
  TxcEncodingType Encoding;
};

class SmppSimulator : public ::testing::Test {
protected:
  void SetUp() override {
    TSimConfig c;
    c.Login = "esme";
    c.Password = "secret";
    c.LoginErrorCode = static_cast<int>(kESME_RINVPASWD);
    c.StatusReportDelayMs = 20;
    Sim.SetConfig(c);
    ASSERT_TRUE(Sim.Start());
    C.SetKeepAlive(false);
    C.SetResponseTimeOut(3000);
    C.OnDisconnected = [this](TObject*, int R) { Reasons.push_back(R); };
    C.OnError = [this](TObject*, const std::string& M) { Errors.push_back(M); };
  }
  void TearDown() override {
    Application()->ProcessMessages();
    EXPECT_TRUE(Errors.empty()) << Errors.front();
  }

  void Configure(const std::function<void(TSimConfig&)>& Change) {
    TSimConfig c = Sim.Config();
    Change(c);
    Sim.SetConfig(c);
  }
  int Open(TxcBindModeSMPP Mode, const std::string& Password = "secret") {
    EXPECT_EQ(C.Connect("127.0.0.1", Sim.Port()), 0);
    return C.InitializeSession("esme", Password, 1, 1, "", Mode);
  }
  bool Pump(const std::function<bool()>& Pred, int TimeoutMs = 5000) {
    auto t0 = std::chrono::steady_clock::now();
    while (!Pred()) {
      if (std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(TimeoutMs))
        return false;
      Application()->ProcessUntil(Pred, 10);
    }
    return true;
  }
  void HandleMessages() {
    C.OnMessageReceived = [this](TObject*, const std::string& Destination, uint8_t, uint8_t,
                                 const std::string& Originator, uint8_t, uint8_t,
                                 const std::u16string& Text, TxcEncodingType Encoding,
                                 const std::string& UDH) {
      Messages.push_back({Destination, Originator, UDH, Text, Encoding});
    };
  }
  void HandleReports() {
    C.OnStatusReportReceived = [this](TObject*, const std::string& MessageID,
                                      const std::string& Destination, uint8_t, uint8_t,
                                      const std::string& Originator, uint8_t, uint8_t,
                                      uint8_t SMStatus, int FailureReason) {
      Reports.push_back({MessageID, Destination, Originator, SMStatus, FailureReason});
    };
  }
  int Submit(std::string& Id, TxcSubmitOptionSet Options = {}) {
    return C.SubmitMessage("4477001", 1, 1, "1234", 0, 1, u"hello", et7BitText, "", Options, Id);
  }
  // Sequence numbers of the frames of that name the simulator received.
  std::vector<uint32_t> Sequences(const std::string& Operation) {
    std::vector<uint32_t> s;
    for (const sim::TReceivedFrame& f : Sim.Received())
      if (f.Operation == Operation)
        s.push_back(sim::smpp::SequenceNumber(f.Bytes));
    return s;
  }

  std::shared_ptr<sim::TSmppSettings> Settings = std::make_shared<sim::TSmppSettings>();
  TSmscServer Sim{std::make_unique<sim::TSmppPersonality>(Settings)};
  TxcGarvelSMPP C{nullptr};
  std::vector<int> Reasons;
  std::vector<std::string> Errors;
  std::vector<TMessage> Messages;
  std::vector<TReport> Reports;
};

TEST_F(SmppSimulator, BindsInEachModeAndTheirRefusals) {
  struct Case {
    TxcBindModeSMPP Mode;
    const char* Operation;
  } cases[] = {{bmTransceiver, "bind_transceiver"},
               {bmTransmitter, "bind_transmitter"},
               {bmReceiver, "bind_receiver"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Operation);
    TxcGarvelSMPP esme(nullptr);
    esme.SetKeepAlive(false);
    ASSERT_EQ(esme.Connect("127.0.0.1", Sim.Port()), 0);
    EXPECT_EQ(esme.InitializeSession("esme", "secret", 1, 1, "", c.Mode), 0);
    EXPECT_EQ(esme.State(), rsLoggedIn);
    EXPECT_EQ(Sim.CountReceived(c.Operation), 1);
  }
  EXPECT_EQ(Open(bmTransceiver, "wrong"), 0x0E);
  EXPECT_EQ(C.State(), rsInitialized);
  Configure([](TSimConfig& S) { S.LoginErrorCode = 0x0D; });
  EXPECT_EQ(C.Login("esme", "wrong", 1, 1, "", bmTransceiver), 0x0D);
  EXPECT_EQ(C.InitializeSession("esme", "secret", 1, 1, "", bmTransceiver), 0)
      << "a refused bind can be tried again";
  EXPECT_EQ(C.State(), rsLoggedIn);
}

TEST_F(SmppSimulator, SubmitResults) {
  ASSERT_EQ(Open(bmTransceiver), 0);
  std::string id;
  ASSERT_EQ(C.SubmitMessage("4477001", 1, 1, "1234", 0, 1, u"\u0416!", etUCS2Text, "050003010201",
                            {soDirectDisplay}, id),
            0);
  ASSERT_EQ(Sim.Submits().size(), 1u);
  sim::TSubmitRecord rec = Sim.Submits()[0];
  EXPECT_EQ(id, rec.MessageId);
  EXPECT_FALSE(id.empty());
  EXPECT_EQ(rec.Destination, "4477001");
  EXPECT_EQ(rec.Originator, "1234");
  EXPECT_EQ(rec.Text, u"\u0416!");
  EXPECT_EQ(rec.Encoding, etUCS2Text);
  EXPECT_EQ(rec.UserDataHeader, std::string("\x05\x00\x03\x01\x02\x01", 6));
  EXPECT_TRUE(rec.DirectDisplay);
  EXPECT_FALSE(rec.StatusReportRequested);
  const std::string first = id;

  Configure([](TSimConfig& S) { S.SubmitErrorCode = -3; }); // generic_nack
  EXPECT_EQ(Submit(id), rcGeneralError);
  EXPECT_EQ(id, first) << "the previous id";

  Configure([](TSimConfig& S) {
    S.SubmitErrorCode = 0;
    S.SilentOperations = {"submit_sm"};
  });
  C.SetResponseTimeOut(300);
  EXPECT_EQ(Submit(id), rcTimeOut);
  EXPECT_EQ(id, first);

  Configure([](TSimConfig& S) {
    S.SilentOperations.clear();
    S.SubmitErrorCode = 0x45;
  });
  C.SetResponseTimeOut(3000);
  EXPECT_EQ(Submit(id), 0x45);
  EXPECT_EQ(id, "") << "a refusal without body gives an empty id";

  Configure([](TSimConfig& S) { S.SubmitErrorCode = 0; });
  EXPECT_EQ(Submit(id), 0);
  EXPECT_EQ(id, Sim.Submits().back().MessageId);
  EXPECT_NE(id, first);
  EXPECT_EQ(C.State(), rsLoggedIn);
}

// A receiver may not submit: refused here, nothing reaches the SMSC.
TEST_F(SmppSimulator, ASubmitOnAReceiverBindIsRefusedLocally) {
  ASSERT_EQ(Open(bmReceiver), 0);
  std::string id;
  EXPECT_EQ(Submit(id), rcWrongState);
  EXPECT_EQ(Sim.CountReceived("submit_sm"), 0);
}

TEST_F(SmppSimulator, MessagesRaiseTheirEventOnceAndAreAnsweredOnce) {
  ASSERT_EQ(Open(bmReceiver), 0);
  HandleMessages();
  sim::TSimMessage text;
  text.Destination = "1234";
  text.Originator = "4477001";
  text.Text = u"caf\u00E9";
  sim::TSimMessage ucs2 = text;
  ucs2.Text = u"\u041F\u0440\u0438";
  ucs2.Encoding = etUCS2Text;
  sim::TSimMessage udh = text;
  udh.Text = u"part";
  udh.UserDataHeader = std::string("\x05\x00\x03\x2A\x02\x01", 6);
  ASSERT_EQ(Sim.Deliver(text), sim::prSent);
  ASSERT_EQ(Sim.Deliver(ucs2), sim::prSent);
  ASSERT_EQ(Sim.Deliver(udh), sim::prSent);
  ASSERT_TRUE(Pump([&] { return Sim.CountReceived("deliver_sm_resp") >= 3; }));
  Pump([] { return false; }, 100);
  ASSERT_EQ(Messages.size(), 3u);
  EXPECT_EQ(Messages[0].Text, u"caf\u00E9");
  EXPECT_EQ(Messages[0].Encoding, et7BitText);
  EXPECT_EQ(Messages[0].Destination, "1234");
  EXPECT_EQ(Messages[0].Originator, "4477001");
  EXPECT_EQ(Messages[1].Text, u"\u041F\u0440\u0438");
  EXPECT_EQ(Messages[1].Encoding, etUCS2Text);
  EXPECT_EQ(Messages[2].Text, u"part");
  EXPECT_EQ(Messages[2].UDH, "0500032A0201");
  EXPECT_EQ(Sequences("deliver_sm_resp"), (std::vector<uint32_t>{1, 2, 3}));

  // Without a handler the SMSC gets no answer.
  C.OnMessageReceived = nullptr;
  ASSERT_EQ(Sim.Deliver(text), sim::prSent);
  Pump([] { return false; }, 300);
  EXPECT_EQ(Sim.CountReceived("deliver_sm_resp"), 3);
  EXPECT_EQ(Messages.size(), 3u);
}

TEST_F(SmppSimulator, ReceiptsWithAndWithoutTLVs) {
  ASSERT_EQ(Open(bmTransceiver), 0);
  HandleReports();
  std::string id;
  ASSERT_EQ(Submit(id, {soRequestStatusReport}), 0);
  ASSERT_TRUE(Pump([&] { return Reports.size() == 1; }));
  EXPECT_EQ(Reports[0].MessageID, id);
  EXPECT_EQ(Reports[0].SMStatus, 2);
  EXPECT_EQ(Reports[0].FailureReason, 3 << 16) << "network_error_code: GSM, error 0";
  EXPECT_EQ(Reports[0].Destination, "4477001") << "the handset";
  EXPECT_EQ(Reports[0].Originator, "1234");

  Settings->ReceiptTLVs = false;
  Configure([](TSimConfig& S) {
    S.ReportStatus = 2;
    S.ReportReason = 17;
  });
  ASSERT_EQ(Submit(id, {soRequestStatusReport}), 0);
  ASSERT_TRUE(Pump([&] { return Reports.size() == 2; }));
  EXPECT_EQ(Reports[1].MessageID, id) << "from the text";
  EXPECT_EQ(Reports[1].SMStatus, 5);
  EXPECT_EQ(Reports[1].FailureReason, 17);

  sim::TSimStatusReport buffered;
  buffered.MessageId = "X1";
  buffered.Destination = "4477001";
  buffered.Originator = "1234";
  buffered.Status = 1;
  ASSERT_EQ(Sim.SendStatusReport(buffered), sim::prSent);
  ASSERT_TRUE(Pump([&] { return Reports.size() == 3; }));
  EXPECT_EQ(Reports[2].MessageID, "X1");
  EXPECT_EQ(Reports[2].SMStatus, 7) << "ENROUTE is no receipt status word";
  Pump([&] { return Sim.CountReceived("deliver_sm_resp") == 3; }, 1000);
  EXPECT_EQ(Sequences("deliver_sm_resp"), (std::vector<uint32_t>{1, 2, 3}));
}

TEST_F(SmppSimulator, KeepAliveAfterAnIdleIntervalWithTheNextNumber) {
  C.SetKeepAlive(true);
  C.SetKeepAliveInterval(150);
  ASSERT_EQ(Open(bmTransceiver), 0); // 1
  std::string id;
  ASSERT_EQ(Submit(id), 0); // 2
  ASSERT_TRUE(Sim.WaitReceived("enquire_link", 2, 3000));
  EXPECT_EQ(Sequences("enquire_link"), (std::vector<uint32_t>{3, 4}));
  EXPECT_TRUE(Reasons.empty());
  EXPECT_EQ(C.State(), rsLoggedIn);
}

TEST_F(SmppSimulator, TheSmscsEnquireLinkIsAnsweredAndItsUnbindEndsTheSession) {
  ASSERT_EQ(Open(bmTransceiver), 0);
  ASSERT_EQ(Sim.Alert(), sim::prSent);
  ASSERT_TRUE(Pump([&] { return Sim.CountReceived("enquire_link_resp") == 1; }));
  EXPECT_EQ(Sequences("enquire_link_resp"), (std::vector<uint32_t>{1}));

  ASSERT_EQ(Sim.SendRaw(sim::smpp::BuildPdu(sim::smpp::kUnbind, 0, 4711)), sim::prSent);
  ASSERT_TRUE(Pump([&] { return !Reasons.empty(); }));
  EXPECT_TRUE(Sim.WaitReceived("unbind_resp", 1, 3000));
  EXPECT_EQ(Sequences("unbind_resp"), (std::vector<uint32_t>{4711}));
  EXPECT_TRUE(Sim.WaitNoSession(3000));
  Pump([] { return false; }, 100);
  EXPECT_EQ(Reasons, std::vector<int>{drPeerClosed});
  EXPECT_EQ(C.State(), rsNotConnected);
}

TEST_F(SmppSimulator, SurvivesSplitFramesGarbageAndLateAnswers) {
  Configure([](TSimConfig& S) {
    S.SplitPieceSize = 3;
    S.SplitDelayMs = 1;
    S.GarbageBeforeFrames = true;
  });
  ASSERT_EQ(Open(bmTransceiver), 0);
  std::string id;
  EXPECT_EQ(Submit(id), 0);
  EXPECT_EQ(id, Sim.Submits().back().MessageId);

  Configure([](TSimConfig& S) {
    S.SplitPieceSize = 0;
    S.GarbageBeforeFrames = false;
    S.ResponseDelayMs = 400;
  });
  C.SetResponseTimeOut(150);
  EXPECT_EQ(Submit(id), rcTimeOut);
  // The late answer to that submit comes while the next one waits.
  C.SetResponseTimeOut(3000);
  EXPECT_EQ(Submit(id), 0);
  ASSERT_EQ(Sim.Submits().size(), 3u);
  EXPECT_EQ(id, Sim.Submits().back().MessageId) << "not the late answer's id";
  // The late answer was dropped and reported.
  ASSERT_TRUE(Pump([&] { return !Errors.empty(); }));
  EXPECT_NE(Errors[0].find("submit_sm_resp sequence 3"), std::string::npos) << Errors[0];
  Errors.clear();
  Configure([](TSimConfig& S) { S.ResponseDelayMs = 0; });

  Configure([](TSimConfig& S) { S.CloseAfterFrames = 1; });
  EXPECT_EQ(Submit(id), rcTimeOut);
  ASSERT_TRUE(Pump([&] { return !Reasons.empty(); }));
  EXPECT_EQ(Reasons, std::vector<int>{drPeerClosed});
}

// The simulator itself, spoken to over a bare socket: its answers to PDUs
// out of order or malformed, and its end of an unframeable stream.
TEST_F(SmppSimulator, TheSimulatorsAnswersToStrayPdus) {
  namespace S = sim::smpp;
  TCustomIpClient raw;
  raw.RemoteHost = "127.0.0.1";
  raw.RemotePort = std::to_string(Sim.Port());
  ASSERT_TRUE(raw.Connect());
  auto exchange = [&](const std::string& Pdu) {
    raw.SendBuf(Pdu.data(), static_cast<int>(Pdu.size()));
    std::string got;
    for (int i = 0; i < 100; ++i) {
      char b[256];
      if (raw.WaitForData(3000) != wdReadable)
        break;
      int n = raw.ReceiveBuf(b, sizeof b);
      got.append(b, static_cast<size_t>(n > 0 ? n : 0));
      if (got.size() >= 16 && got.size() >= S::CommandLength(got))
        break;
    }
    return got;
  };
  const std::string submitBody =
      std::string("\0\0\0", 3) + "1" + std::string("\0\0\0", 3) + "2" + std::string(12, '\0');
  EXPECT_EQ(exchange(S::BuildPdu(kSubmitSm, 0, 1, submitBody)),
            S::BuildPdu(kSubmitSm | kResponseBit, S::kESME_RINVBNDSTS, 1))
      << "no submit before a bind";
  EXPECT_EQ(exchange(S::BuildPdu(kBindTransceiver, 0, 2, "esme")),
            S::BuildPdu(kGenericNack, S::kESME_RINVCMDLEN, 2))
      << "a bind cut short";
  const std::string bind = std::string("esme\0secret\0\0", 13) + std::string("\x34\0\0\0", 4);
  std::string bound = exchange(S::BuildPdu(kBindTransceiver, 0, 3, bind));
  EXPECT_EQ(S::CommandStatus(bound), 0u);
  EXPECT_EQ(exchange(S::BuildPdu(kBindTransmitter, 0, 4, bind)),
            S::BuildPdu(kBindTransmitter | kResponseBit, S::kESME_RALYBND, 4));
  EXPECT_EQ(exchange(S::BuildPdu(0x00000103, 0, 5, "x")),
            S::BuildPdu(kGenericNack, kESME_RINVCMDID, 5));
  EXPECT_EQ(S::CommandStatus(exchange(S::BuildPdu(kSubmitSm, 0, 6, submitBody))), 0u);

  // A command_length below 16 cannot be framed: the simulator hangs up.
  std::string bad = S::BuildPdu(kEnquireLink, 0, 7);
  bad[3] = 15;
  raw.SendBuf(bad.data(), static_cast<int>(bad.size()));
  EXPECT_TRUE(Sim.WaitNoSession(3000));
  raw.Close();
}

} // namespace
} // namespace garvel::smpp
