// The CIMD2 component against the SMSC simulator: whole sessions end to
// end, and the simulator's answers to stray packets over a bare socket.
#include "xcGarvelCIMD2.h"
#include "Cimd2Packets.h"

#include "Cimd2Personality.h"
#include "SmscServer.h"
#include "Sockets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace garvel::cimd2 {
namespace {

using sim::TSimConfig;
using sim::TSmscServer;
using test::NumberOf;
using test::Packet;

struct TReport {
  TDateTime MessageTimeStamp;
  std::string Destination;
  uint8_t Status;
  int Reason;
};

class Cimd2Simulator : public ::testing::Test {
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
  int Open(const std::string& Password = "secret") {
    EXPECT_EQ(C.Connect("127.0.0.1", Sim.Port()), 0);
    return C.InitializeSession("user", Password);
  }
  int Submit(const std::u16string& Text, TDateTime& TimeStamp, TxcSubmitOptionSet Options = {}) {
    return C.SubmitMessage("0612345678", "1234", Text, et7BitText, "", Options, TimeStamp);
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
    C.OnMessageReceived = [this](TObject*, const std::string&, const std::string&,
                                 const std::u16string& T, TxcEncodingType, const std::string&,
                                 TDateTime) { Texts.push_back(T); };
  }
  void HandleReports() {
    C.OnStatusReportReceived = [this](TObject*, TDateTime MessageTimeStamp, const std::string& D,
                                      uint8_t S, int R, TDateTime) {
      Reports.push_back({MessageTimeStamp, D, S, R});
    };
  }
  // Packet numbers of the packets of that operation the simulator received.
  std::vector<int> Numbers(const std::string& Operation) {
    std::vector<int> n;
    for (const sim::TReceivedFrame& f : Sim.Received())
      if (f.Operation == Operation)
        n.push_back(NumberOf(f.Bytes));
    return n;
  }

  std::shared_ptr<sim::TCimd2Settings> Settings = std::make_shared<sim::TCimd2Settings>();
  TSmscServer Sim{std::make_unique<sim::TCimd2Personality>(Settings)};
  TxcGarvelCIMD2 C{nullptr};
  std::vector<int> Reasons;
  std::vector<std::string> Errors;
  std::vector<std::u16string> Texts;
  std::vector<TReport> Reports;
};

TEST_F(Cimd2Simulator, LoginRefusedThenAccepted) {
  EXPECT_EQ(Open("wrong"), 100) << "invalid login";
  EXPECT_EQ(C.State(), rsInitialized);
  Configure([](TSimConfig& S) { S.LoginErrorCode = 102; });
  EXPECT_EQ(C.InitializeSession("user", "wrong"), 102);
  EXPECT_EQ(C.InitializeSession("user", "secret"), 0);
  EXPECT_EQ(C.State(), rsLoggedIn);
  EXPECT_EQ(Numbers("01"), (std::vector<int>{1, 3, 5})) << "one session, numbered on";
  for (const auto& f : Sim.Received())
    EXPECT_TRUE(f.Valid) << f.Operation;
}

TEST_F(Cimd2Simulator, SubmitsGetUniqueTimeStampsAndTheirReports) {
  HandleReports();
  ASSERT_EQ(Open(), 0);
  TDateTime first = 0, second = 0;
  ASSERT_EQ(Submit(u"Hello", first, {soRequestStatusReport}), 0);
  ASSERT_EQ(Submit(u"Again", second), 0);
  ASSERT_EQ(Sim.Submits().size(), 2u);
  const sim::TSubmitRecord rec = Sim.Submits()[0];
  EXPECT_EQ(first, rec.TimeStamp);
  EXPECT_NE(first, 0);
  EXPECT_GE(second - first, 0.99 / 86400) << "a second apart: the stamp names the message";
  EXPECT_EQ(rec.Destination, "0612345678");
  EXPECT_EQ(rec.Originator, "1234");
  EXPECT_EQ(rec.Text, u"Hello");
  EXPECT_TRUE(rec.StatusReportRequested);
  EXPECT_FALSE(Sim.Submits()[1].StatusReportRequested);

  ASSERT_TRUE(Pump([&] { return Reports.size() == 1; }));
  EXPECT_EQ(Reports[0].MessageTimeStamp, first);
  EXPECT_EQ(Reports[0].Destination, "0612345678");
  EXPECT_EQ(Reports[0].Status, 4) << "delivery successful";
  EXPECT_EQ(Reports[0].Reason, -1);
  ASSERT_TRUE(Sim.WaitReceived("73", 1, 3000));
  EXPECT_EQ(Numbers("73"), std::vector<int>{0}) << "the SMSC numbers its packets evenly";

  Configure([](TSimConfig& S) {
    S.ReportStatus = 2;
    S.ReportReason = 29;
  });
  ASSERT_EQ(Submit(u"Fails", second, {soRequestStatusReport}), 0);
  ASSERT_TRUE(Pump([&] { return Reports.size() == 2; }));
  EXPECT_EQ(Reports[1].Status, 3) << "delivery failed";
  EXPECT_EQ(Reports[1].Reason, 29);

  Configure([](TSimConfig& S) { S.SubmitErrorCode = 300; });
  EXPECT_EQ(Submit(u"x", second), 300);
  Configure([](TSimConfig& S) { S.SubmitErrorCode = -99; });
  EXPECT_EQ(Submit(u"x", second), rcGeneralError) << "a nack";
  Configure([](TSimConfig& S) { S.SubmitErrorCode = -6; });
  EXPECT_EQ(Submit(u"x", second), rcGeneralError) << "a general error response";
  EXPECT_EQ(Sim.CountSubmits(), 3);
  EXPECT_EQ(C.State(), rsLoggedIn);
}

TEST_F(Cimd2Simulator, MessagesAreRaisedOnceAndAnsweredAndTheAliveToo) {
  ASSERT_EQ(Open(), 0);
  HandleMessages();
  sim::TSimMessage m;
  m.Destination = "1234";
  m.Originator = "0612345678";
  m.Text = u"caf\u00E9 @ {x}";
  ASSERT_EQ(Sim.Deliver(m), sim::prSent);
  m.Text = u"\u041F\u0440\u0438";
  m.Encoding = etUCS2Text;
  ASSERT_EQ(Sim.Deliver(m), sim::prSent);
  ASSERT_EQ(Sim.Alert(), sim::prSent);
  ASSERT_TRUE(Pump([&] { return Texts.size() == 2; }));
  EXPECT_EQ(Texts[0], u"caf\u00E9 @ {x}");
  EXPECT_EQ(Texts[1], u"\u041F\u0440\u0438");
  ASSERT_TRUE(Sim.WaitReceived("70", 2, 3000));
  ASSERT_TRUE(Sim.WaitReceived("90", 1, 3000));
  EXPECT_EQ(Numbers("70"), (std::vector<int>{0, 2}));
  EXPECT_EQ(Numbers("90"), std::vector<int>{4});

  // Without a handler nothing is answered.
  C.OnMessageReceived = nullptr;
  ASSERT_EQ(Sim.Deliver(m), sim::prSent);
  Pump([] { return false; }, 300);
  EXPECT_EQ(Sim.CountReceived("70"), 2);
  EXPECT_EQ(Texts.size(), 2u);
  for (const auto& f : Sim.Received())
    EXPECT_TRUE(f.Valid) << f.Operation;
}

// Bytes as SMSCs send them: a banner before the first packet, two packets
// in one piece, packets without a checksum, a lower-case one.
TEST_F(Cimd2Simulator, BannersJoinedPacketsAndMissingChecksumsAreRead) {
  ASSERT_EQ(Open(), 0);
  HandleMessages();
  HandleReports();
  auto deliver = [](int Number, const std::string& Text, bool CheckSum = true) {
    return Packet(20, Number, {{21, "1234"}, {23, "0612345678"}, {33, Text}}, CheckSum);
  };
  const std::string report =
      Packet(23, 4, {{21, "0612345678"}, {60, "120302123456"}, {61, "4"}}, false);
  std::string lower = deliver(6, "lower"); // a checksum with letters, in lower case
  for (size_t i = lower.size() - 3; i < lower.size() - 1; ++i)
    lower[i] = static_cast<char>(std::tolower(lower[i]));
  ASSERT_NE(lower, deliver(6, "lower"));
  ASSERT_EQ(Sim.SendRaw("CIMD2-A ConnectionInfo: SMSC ready\r\n" + deliver(0, "one") +
                        deliver(2, "two", false) + report + lower),
            sim::prSent);
  ASSERT_TRUE(Pump([&] { return Texts.size() == 3 && Reports.size() == 1; }));
  EXPECT_EQ(Texts, (std::vector<std::u16string>{u"one", u"two", u"lower"}));
  EXPECT_EQ(Reports[0].Status, 4);
  ASSERT_TRUE(Sim.WaitReceived("70", 3, 3000));
  ASSERT_TRUE(Sim.WaitReceived("73", 1, 3000));
  EXPECT_EQ(Numbers("70"), (std::vector<int>{0, 2, 6}));
  EXPECT_TRUE(Reasons.empty());
}

TEST_F(Cimd2Simulator, TextRoundTripsInBothForms) {
  ASSERT_EQ(Open(), 0);
  HandleMessages();
  const std::u16string special = u"@_\u00A3$ {[~]} \u20AC\u00C4\u00F1 \u0394\u03A9 \"q\" \u00E0";
  TDateTime ts = 0;
  ASSERT_EQ(Submit(special, ts), 0);
  ASSERT_EQ(Sim.Submits().size(), 1u);
  EXPECT_EQ(Sim.Submits()[0].Text, special);
  sim::TSimMessage m;
  m.Destination = "1234";
  m.Originator = "0612345678";
  m.Text = special;
  ASSERT_EQ(Sim.Deliver(m), sim::prSent);
  ASSERT_TRUE(Pump([&] { return Texts.size() == 1; }));
  EXPECT_EQ(Texts[0], special);

  // Raw octets on both sides: Windows-1252 text as it is.
  Settings->SpecialCombinations = false;
  C.SetSpecialCombinations(false);
  const std::u16string raw = u"caf\u00E9 _Oa {\u00FF}";
  ASSERT_EQ(Submit(raw, ts), 0);
  EXPECT_EQ(Sim.Submits().back().Text, raw);
  const sim::TReceivedFrame f = Sim.Received().back();
  EXPECT_NE(f.Bytes.find("033:caf\xE9 _Oa {\xFF}\t"), std::string::npos) << f.Bytes;
  m.Text = raw;
  ASSERT_EQ(Sim.Deliver(m), sim::prSent);
  ASSERT_TRUE(Pump([&] { return Texts.size() == 2; }));
  EXPECT_EQ(Texts[1], raw);
}

TEST_F(Cimd2Simulator, LateAnswersAreDroppedAndSilenceEndsTheSession) {
  Configure([](TSimConfig& S) {
    S.SplitPieceSize = 3;
    S.SplitDelayMs = 1;
    S.GarbageBeforeFrames = true;
  });
  ASSERT_EQ(Open(), 0);
  TDateTime ts = 0;
  ASSERT_EQ(Submit(u"split", ts), 0);
  EXPECT_EQ(ts, Sim.Submits().back().TimeStamp);

  Configure([](TSimConfig& S) {
    S.SplitPieceSize = 0;
    S.GarbageBeforeFrames = false;
    S.ResponseDelayMs = 400;
  });
  C.SetResponseTimeOut(150);
  EXPECT_EQ(Submit(u"late", ts), rcTimeOut);
  C.SetResponseTimeOut(3000);
  TDateTime next = 0;
  EXPECT_EQ(Submit(u"next", next), 0) << "the late 53 does not answer this one";
  EXPECT_EQ(next, Sim.Submits().back().TimeStamp);
  auto reported = [&] {
    return std::any_of(Errors.begin(), Errors.end(),
                       [](const std::string& E) { return E.find("53:005") != std::string::npos; });
  };
  EXPECT_TRUE(Pump(reported)) << "the late answer is reported";

  Configure([](TSimConfig& S) {
    S.ResponseDelayMs = 0;
    S.SilentOperations = {"40"};
  });
  C.SetResponseTimeOut(200);
  C.SetKeepAliveInterval(50);
  C.SetKeepAlive(true);
  ASSERT_TRUE(Pump([&] { return !Reasons.empty(); }));
  EXPECT_EQ(Reasons[0], drKeepAliveFailed);
  EXPECT_GE(Sim.CountReceived("40"), 1);
}

// The simulator itself, spoken to over a bare socket.
TEST_F(Cimd2Simulator, TheSimulatorsAnswersToStrayPackets) {
  TCustomIpClient raw;
  raw.RemoteHost = "127.0.0.1";
  raw.RemotePort = std::to_string(Sim.Port());
  ASSERT_TRUE(raw.Connect());
  std::string pending;
  auto exchange = [&](const std::string& P) {
    raw.SendBuf(P.data(), static_cast<int>(P.size()));
    for (int i = 0; i < 100 && pending.find('\x03') == std::string::npos; ++i) {
      if (raw.WaitForData(i == 0 ? 3000 : 1000) != wdReadable)
        break;
      char b[512];
      int n = raw.ReceiveBuf(b, sizeof b);
      if (n <= 0)
        break;
      pending.append(b, static_cast<size_t>(n));
    }
    size_t end = pending.find('\x03');
    std::string got = end == std::string::npos ? pending : pending.substr(0, end + 1);
    pending.erase(0, got.size());
    return got;
  };
  Configure([](TSimConfig& S) {
    S.RequireLogin = true;
    S.StatusReportDelayMs = -1;
  });
  const test::TParams hello = {{21, "0612345678"}, {33, "Hi"}};
  EXPECT_EQ(exchange(Packet(3, 1, hello)), Packet(53, 1, {{900, "1"}})) << "no submit before login";
  std::string badSum = Packet(1, 3, {{10, "user"}, {11, "secret"}});
  badSum[badSum.size() - 2] ^= 1;
  EXPECT_EQ(exchange(badSum), Packet(99, 3));
  std::string lower = Packet(1, 5, {{10, "user"}, {11, "secret"}});
  for (size_t i = lower.size() - 3; i < lower.size() - 1; ++i)
    lower[i] = static_cast<char>(std::tolower(lower[i]));
  EXPECT_EQ(exchange(lower), Packet(51, 5));
  EXPECT_EQ(exchange(Packet(5, 7)), Packet(98, 7, {{900, "1"}})) << "an unknown operation";
  EXPECT_EQ(exchange(Packet(3, 9, {{33, "Hi"}}, false)), Packet(53, 9, {{900, "301"}}));
  EXPECT_EQ(exchange(Packet(3, 11, {{21, "06x"}, {33, "Hi"}})), Packet(53, 11, {{900, "300"}}));
  EXPECT_EQ(exchange(Packet(3, 13, {{21, "06"}, {33, "Hi"}, {34, "4869"}})),
            Packet(53, 13, {{900, "303"}}));
  EXPECT_EQ(exchange(Packet(3, 15, {{21, "06"}, {30, "8"}, {34, "00480"}})),
            Packet(53, 15, {{900, "302"}}));
  EXPECT_EQ(exchange(Packet(3, 17, {{21, "06"}, {30, "12"}, {34, "00"}})),
            Packet(53, 17, {{900, "304"}}));
  // Parameters that cannot be read, and a response of the client's, which
  // is not answered: the alive behind them is answered first.
  EXPECT_EQ(exchange("\x02"
                     "03:019\t021=06\t\x03"),
            Packet(99, 19));
  EXPECT_EQ(exchange(Packet(70, 0) + "\x02xx:yyy\t\x03" + Packet(40, 21)), Packet(90, 21));
  const std::string accepted =
      exchange(Packet(3, 23, {{21, "+3161"}, {30, "24"}, {34, "00480069"}, {56, "63"}}));
  EXPECT_EQ(accepted.substr(0, 8), "\x02"
                                   "53:023\t")
      << accepted;
  ASSERT_EQ(Sim.Submits().size(), 1u);
  EXPECT_EQ(Sim.Submits()[0].Text, u"Hi");
  EXPECT_EQ(Sim.Submits()[0].Encoding, etUCS2Text);
  EXPECT_TRUE(Sim.Submits()[0].DirectDisplay);
  EXPECT_TRUE(Sim.Submits()[0].StatusReportRequested);
  EXPECT_EQ(exchange(Packet(2, 25)), Packet(52, 25));
  raw.Close();
}

} // namespace
} // namespace garvel::cimd2
