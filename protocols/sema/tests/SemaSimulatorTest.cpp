// The SEMA component against the SMSC simulator: whole sessions end to
// end, and the simulator's answers to stray messages over a bare socket.
#include "xcGarvelSEMA.h"
#include "SemaBytes.h"

#include "SmscServer.h"
#include "Sockets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace garvel::sema {
namespace {

using sim::TSimConfig;
using sim::TSmscServer;
using test::Hex;
using test::Message;

struct TReport {
  std::string MessageID, Destination, Originator;
  uint8_t Status;
  int Reason;
  TDateTime MessageTimeStamp;
};

struct TReceived {
  std::string Destination, Originator, Header;
  uint8_t DestTON, DestNPI;
  std::u16string Text;
  TxcEncodingType Encoding;
  TDateTime TimeStamp;
};

class SemaSimulator : public ::testing::Test {
protected:
  void SetUp() override {
    TSimConfig c;
    c.Login = "user";
    c.Password = "secret";
    c.StatusReportDelayMs = 20;
    Sim.SetConfig(c);
    ASSERT_TRUE(Sim.Start());
    C.SetKeepAlive(false);
    C.SetResponseTimeOut(3000);
    C.OnDisconnected = [this](TObject*, int R) { Reasons.push_back(R); };
    C.OnError = [this](TObject*, const std::string& M) { Errors.push_back(M); };
  }
  void TearDown() override { Application()->ProcessMessages(); }

  void Configure(const std::function<void(TSimConfig&)>& Change) {
    TSimConfig c = Sim.Config();
    Change(c);
    Sim.SetConfig(c);
  }
  int Open() {
    EXPECT_EQ(C.Connect("127.0.0.1", Sim.Port()), 0);
    return C.InitializeSession("5500", 2, 9);
  }
  int Submit(std::string& Id, TDateTime& Ts, TxcSubmitOptionSet Options = {}) {
    return C.SubmitMessage("0612345678", "5500", 2, 9, u"Hello", et7BitText, "", Options, Id, Ts);
  }
  bool Pump(const std::function<bool()>& Pred, int Ms = 5000) {
    auto t0 = std::chrono::steady_clock::now();
    while (!Pred()) {
      if (std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(Ms))
        return false;
      Application()->ProcessUntil(Pred, 10);
    }
    return true;
  }
  void HandleMessages() {
    C.OnMessageReceived = [this](TObject*, const std::string& D, uint8_t DT, uint8_t DN,
                                 const std::string& O, uint8_t, uint8_t, const std::u16string& T,
                                 TxcEncodingType E, const std::string& H, TDateTime Ts) {
      Messages.push_back({D, O, H, DT, DN, T, E, Ts});
    };
  }
  void HandleReports() {
    C.OnStatusReportReceived = [this](TObject*, const std::string& Id, TDateTime MessageTimeStamp,
                                      const std::string& D, const std::string& O, uint8_t, uint8_t,
                                      uint8_t S, int R, TDateTime) {
      Reports.push_back({Id, D, O, S, R, MessageTimeStamp});
    };
  }

  TSmscServer Sim{"sema"};
  TxcGarvelSEMA C{nullptr};
  std::vector<int> Reasons;
  std::vector<std::string> Errors;
  std::vector<TReceived> Messages;
  std::vector<TReport> Reports;
};

TEST_F(SemaSimulator, PollsAndLogins) {
  EXPECT_EQ(Open(), 0) << "no login needed";
  EXPECT_EQ(C.State(), rsLoggedIn);
  EXPECT_EQ(C.Login("user", "wrong"), 1);
  Configure([](TSimConfig& S) { S.LoginErrorCode = 9; });
  EXPECT_EQ(C.Login("user", "wrong"), 9);
  EXPECT_EQ(C.Login("user", "secret"), 0);

  Configure([](TSimConfig& S) { S.RequireLogin = true; });
  TxcGarvelSEMA late(nullptr);
  late.SetKeepAlive(false);
  ASSERT_EQ(late.Connect("127.0.0.1", Sim.Port()), 0);
  EXPECT_EQ(late.InitializeSession("5501", 1, 1), 3) << "no poll before a login";
  EXPECT_EQ(late.State(), rsInitialized);
  EXPECT_EQ(late.Login("user", "secret"), 0);
  EXPECT_EQ(late.InitializeSession("5501", 1, 1), 0);
  EXPECT_EQ(late.State(), rsLoggedIn);
  std::string id;
  TDateTime ts = 0;
  EXPECT_EQ(late.SubmitMessage("0612", "5501", 1, 1, u"x", et7BitText, "", {}, id, ts), 0);
  EXPECT_EQ(Sim.CountReceived("request_delivery"), 3);
  EXPECT_EQ(Sim.CountReceived("login"), 4);
  for (const auto& f : Sim.Received())
    EXPECT_TRUE(f.Valid) << f.Operation;
}

TEST_F(SemaSimulator, TheIdlePollKeepsTheSessionAndSilenceEndsIt) {
  C.SetKeepAlive(true);
  C.SetKeepAliveInterval(50);
  C.SetResponseTimeOut(300);
  ASSERT_EQ(Open(), 0);
  ASSERT_TRUE(Sim.WaitReceived("request_delivery", 3, 5000));
  Application()->ProcessMessages();
  EXPECT_TRUE(Reasons.empty());
  Configure([](TSimConfig& S) { S.SilentOperations = {"request_delivery"}; });
  ASSERT_TRUE(Pump([&] { return !Reasons.empty(); }));
  EXPECT_EQ(Reasons[0], drKeepAliveFailed);
}

TEST_F(SemaSimulator, SubmitsTheirIdsAndReports) {
  HandleReports();
  ASSERT_EQ(Open(), 0);
  std::string id;
  TDateTime ts = 0;
  ASSERT_EQ(C.SubmitMessage("0612345678", "5500", 2, 9, u"\u0416!", etUCS2Text, "050003AB0201",
                            {soRequestStatusReport, soDirectDisplay}, id, ts),
            0);
  ASSERT_EQ(Sim.Submits().size(), 1u);
  sim::TSubmitRecord rec = Sim.Submits()[0];
  EXPECT_EQ(id, rec.MessageId);
  EXPECT_EQ(ts, rec.TimeStamp);
  EXPECT_NE(ts, 0);
  EXPECT_EQ(rec.Destination, "0612345678");
  EXPECT_EQ(rec.Originator, "5500");
  EXPECT_EQ(rec.Text, u"\u0416!");
  EXPECT_EQ(rec.Encoding, etUCS2Text);
  EXPECT_EQ(rec.UserDataHeader, std::string("\x05\x00\x03\xAB\x02\x01", 6));
  EXPECT_TRUE(rec.DirectDisplay);
  EXPECT_TRUE(rec.StatusReportRequested);
  ASSERT_TRUE(Pump([&] { return Reports.size() == 1; }));
  EXPECT_EQ(Reports[0].MessageID, id);
  EXPECT_EQ(Reports[0].MessageTimeStamp, ts);
  EXPECT_EQ(Reports[0].Status, 0);
  EXPECT_EQ(Reports[0].Reason, -1);
  EXPECT_EQ(Reports[0].Destination, "0612345678");
  EXPECT_EQ(Reports[0].Originator, "5500");
  EXPECT_TRUE(Sim.WaitReceived("status_report_rsp", 1, 3000));

  const std::string first = id;
  ASSERT_EQ(C.SubmitMessage("0612345678", "5500", 2, 9, u"@ hi \u00C4{x}", et7BitText,
                            "050003010201", {}, id, ts),
            0);
  EXPECT_NE(id, first);
  EXPECT_EQ(Sim.Submits().back().Text, u"@ hi \u00C4{x}");
  EXPECT_EQ(Sim.Submits().back().UserDataHeader, std::string("\x05\x00\x03\x01\x02\x01", 6));

  Configure([](TSimConfig& S) {
    S.ReportStatus = 2;
    S.ReportReason = 17;
  });
  ASSERT_EQ(Submit(id, ts, {soRequestStatusReport}), 0);
  ASSERT_TRUE(Pump([&] { return Reports.size() == 2; }));
  EXPECT_EQ(Reports[1].MessageID, id);
  EXPECT_EQ(Reports[1].Status, 1);
  EXPECT_EQ(Reports[1].Reason, 17);
  sim::TSubmitRecord buffered = Sim.Submits().back();
  ASSERT_EQ(Sim.SendStatusReport(sim::ReportFor(buffered, 1, 5)), sim::prSent);
  ASSERT_TRUE(Pump([&] { return Reports.size() == 3; }));
  EXPECT_EQ(Reports[2].Status, 2) << "buffered";
  EXPECT_EQ(Reports[2].Reason, -1);

  Configure([](TSimConfig& S) { S.SubmitErrorCode = 5; });
  EXPECT_EQ(Submit(id, ts), 5);
  EXPECT_EQ(id, "");
  EXPECT_EQ(Sim.CountSubmits(), 3);
}

TEST_F(SemaSimulator, DeliveriesAreAcknowledgedOnlyWithAHandler) {
  ASSERT_EQ(Open(), 0);
  sim::TSimMessage m;
  m.Destination = "5500";
  m.Originator = "0612345678";
  m.Text = u"no handler";
  ASSERT_EQ(Sim.Deliver(m), sim::prSent);
  Pump([] { return false; }, 200);
  EXPECT_EQ(Sim.CountReceived("deliver_rsp"), 0);

  HandleMessages();
  m.Text = u"caf\u00E9 @{1}";
  m.UserDataHeader = std::string("\x05\x00\x03\x2A\x02\x01", 6);
  m.TimeStamp = EncodeDateTime(2024, 5, 17, 10, 42, 7, 0);
  ASSERT_EQ(Sim.Deliver(m), sim::prSent);
  m.Text = u"\u041F\u0440\u0438";
  m.Encoding = etUCS2Text;
  m.UserDataHeader.clear();
  ASSERT_EQ(Sim.Deliver(m), sim::prSent);
  m.Text = u"00FF10";
  m.Encoding = et8BitHexadecimal;
  ASSERT_EQ(Sim.Deliver(m), sim::prSent);
  ASSERT_TRUE(Pump([&] { return Messages.size() == 3; }));
  EXPECT_EQ(Messages[0].Text, u"caf\u00E9 @{1}");
  EXPECT_EQ(Messages[0].Header, "0500032A0201");
  EXPECT_EQ(Messages[0].Destination, "5500");
  EXPECT_EQ(Messages[0].DestTON, 2) << "the numbering the poll registered";
  EXPECT_EQ(Messages[0].DestNPI, 9);
  EXPECT_EQ(Messages[0].Originator, "0612345678");
  EXPECT_EQ(Messages[0].TimeStamp, m.TimeStamp);
  EXPECT_EQ(Messages[1].Text, u"\u041F\u0440\u0438");
  EXPECT_EQ(Messages[1].Encoding, etUCS2Text);
  EXPECT_EQ(Messages[2].Text, u"00FF10");
  EXPECT_EQ(Messages[2].Encoding, et8BitHexadecimal);
  ASSERT_TRUE(Sim.WaitReceived("deliver_rsp", 3, 3000));
  Pump([] { return false; }, 100);
  EXPECT_EQ(Sim.CountReceived("deliver_rsp"), 3) << "once each";
  EXPECT_EQ(Sim.Alert(), sim::prUnsupported);
}

TEST_F(SemaSimulator, LateResponsesAreDroppedAndReported) {
  Configure([](TSimConfig& S) {
    S.SplitPieceSize = 3;
    S.SplitDelayMs = 1;
    S.GarbageBeforeFrames = true;
  });
  ASSERT_EQ(Open(), 0);
  std::string id;
  TDateTime ts = 0;
  ASSERT_EQ(Submit(id, ts), 0);
  EXPECT_EQ(id, Sim.Submits().back().MessageId);

  Configure([](TSimConfig& S) {
    S.SplitPieceSize = 0;
    S.GarbageBeforeFrames = false;
    S.ResponseDelayMs = 400;
  });
  Errors.clear();
  C.SetResponseTimeOut(150);
  EXPECT_EQ(Submit(id, ts), rcTimeOut);
  C.SetResponseTimeOut(3000);
  EXPECT_EQ(Submit(id, ts), 0);
  EXPECT_EQ(id, Sim.Submits().back().MessageId) << "not the late answer's reference";
  auto reported = [&] {
    return std::any_of(Errors.begin(), Errors.end(), [](const std::string& E) {
      return E.find("class 1 operation 0 reference 3") != std::string::npos;
    });
  };
  EXPECT_TRUE(Pump(reported)) << (Errors.empty() ? "" : Errors[0]);

  Configure([](TSimConfig& S) {
    S.ResponseDelayMs = 0;
    S.ResetAfterFrames = 1;
  });
  EXPECT_EQ(Submit(id, ts), rcTimeOut);
  ASSERT_TRUE(Pump([&] { return !Reasons.empty(); }));
  EXPECT_NE(Reasons[0], drLocal);
}

// The simulator itself, spoken to over a bare socket.
TEST_F(SemaSimulator, TheSimulatorsAnswersToStrayMessages) {
  TCustomIpClient raw;
  raw.RemoteHost = "127.0.0.1";
  raw.RemotePort = std::to_string(Sim.Port());
  ASSERT_TRUE(raw.Connect());
  std::string pending;
  auto exchange = [&](const std::string& M) {
    raw.SendBuf(M.data(), static_cast<int>(M.size()));
    auto whole = [&] {
      return pending.size() >= 10 &&
             pending.size() >=
                 10u + (static_cast<uint8_t>(pending[8]) | static_cast<uint8_t>(pending[9]) << 8);
    };
    for (int i = 0; i < 100 && !whole(); ++i) {
      if (raw.WaitForData(3000) != wdReadable)
        break;
      char b[512];
      int n = raw.ReceiveBuf(b, sizeof b);
      if (n <= 0)
        break;
      pending.append(b, static_cast<size_t>(n));
    }
    if (!whole())
      return pending;
    std::string got = pending.substr(
        0, 10u + (static_cast<uint8_t>(pending[8]) | static_cast<uint8_t>(pending[9]) << 8));
    pending.erase(0, got.size());
    return got;
  };
  Configure([](TSimConfig& S) { S.RequireLogin = true; });
  const std::string poll = test::Address("5500", 1, 1) + Hex("01 00");
  EXPECT_EQ(exchange(Message(7, 0, 11, poll)), Message(7, 1, 11, Hex("03")));
  EXPECT_EQ(exchange(Message(8, 0, 13, Hex("09") + "user")), Message(8, 1, 13, Hex("02")))
      << "a user name longer than the body";
  EXPECT_EQ(exchange(Message(9, 0, 13, Hex("04") + "usersecret")), Message(9, 1, 13, Hex("00")));
  EXPECT_EQ(exchange(Message(10, 0, 11, Hex("05 39 31 35 35"))), Message(10, 1, 11, Hex("02")))
      << "an address cut short";
  EXPECT_EQ(exchange(Message(11, 0, 12, "")), Message(11, 1, 12, Hex("04")))
      << "an unknown operation";
  // A submit whose user data runs past the body, then one with too many
  // septets for its octets.
  const std::string head = Hex("02") + "06" + Hex("02 00 00 00 00 01") + test::Address("55", 1, 1) +
                           Hex("00 00 00 00 00");
  EXPECT_EQ(exchange(Message(12, 0, 0, head + Hex("02 02 41"))), Message(12, 1, 0, Hex("02")));
  EXPECT_EQ(exchange(Message(13, 0, 0, head + Hex("09 01 41 00 00"))),
            Message(13, 1, 0, Hex("02")));
  // Acknowledgements and messages of other classes are not answered: the
  // poll behind them is.
  EXPECT_EQ(
      exchange(Message(1, 1, 9, Hex("00")) + Message(2, 5, 0, "junk") + Message(14, 0, 11, poll)),
      Message(14, 1, 11, Hex("00")));
  const std::string accepted = exchange(Message(15, 0, 0, head + Hex("01 01 41 00 00")));
  ASSERT_EQ(accepted.size(), 10u + 1 + 4 + 14) << "result, reference, time";
  EXPECT_EQ(accepted.substr(0, 11), Message(15, 1, 0, "").substr(0, 8) + Hex("13 00 00"));
  ASSERT_EQ(Sim.Submits().size(), 1u);
  EXPECT_EQ(Sim.Submits()[0].Text, u"A");
  EXPECT_EQ(Sim.Submits()[0].Destination, "06");
  EXPECT_EQ(Sim.CountReceived("class 5 operation 0"), 1);
  raw.Close();
}

} // namespace
} // namespace garvel::sema
