// The UCP component against the SMSC simulator: whole sessions end to end.
#include "xcGarvelUCP.h"

#include "SmscServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace garvel::ucp {
namespace {

using sim::TSimConfig;
using sim::TSmscServer;

class UcpSimulator : public ::testing::Test {
protected:
  void SetUp() override {
    TSimConfig c;
    c.Login = "1234";
    c.Password = "secret";
    c.StatusReportDelayMs = 20;
    Sim.SetConfig(c);
    ASSERT_TRUE(Sim.Start());
    Ucp.SetKeepAlive(false);
    Ucp.SetResponseTimeOut(3000);
    Ucp.OnDisconnected = [this](TObject*, int R) { Reasons.push_back(R); };
    Ucp.OnError = [this](TObject*, const std::string& M) { Errors.push_back(M); };
  }
  void TearDown() override { Application()->ProcessMessages(); }

  int Open(const std::string& Password = "secret") {
    EXPECT_EQ(Ucp.Connect("127.0.0.1", Sim.Port()), 0);
    return Ucp.InitializeSession("1234", 1, 1, Password, true);
  }
  bool Pump(const std::function<bool()>& Pred) {
    auto t0 = std::chrono::steady_clock::now();
    while (!Pred()) {
      if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(5))
        return false;
      Application()->ProcessUntil(Pred, 10);
    }
    return true;
  }

  TSmscServer Sim{"ucp"};
  TxcGarvelUCP Ucp{nullptr};
  std::vector<int> Reasons;
  std::vector<std::string> Errors;
};

TEST_F(UcpSimulator, LoginRefusedWithTheSmscCode) {
  EXPECT_EQ(Open("wrong"), 7);
  EXPECT_EQ(Ucp.State(), rsInitialized);
}

TEST_F(UcpSimulator, SubmitAndItsStatusReport) {
  std::vector<TDateTime> reported;
  Ucp.OnStatusReportReceived = [&](TObject*, TDateTime MessageTimeStamp, const std::string& D,
                                   const std::string& O, uint8_t Status, int, TDateTime) {
    EXPECT_EQ(D, "0612345678");
    EXPECT_EQ(O, "1234");
    EXPECT_EQ(Status, 0);
    reported.push_back(MessageTimeStamp);
  };
  ASSERT_EQ(Open(), 0);
  TDateTime ts = 0;
  ASSERT_EQ(Ucp.SubmitMessage("0612345678", "1234", u"Gr\u00FC\u00DFe \u20AC", etUCS2Text,
                              "06050003AB0201", {soRequestStatusReport, soDirectDisplay}, ts),
            0);
  ASSERT_EQ(Sim.Submits().size(), 1u);
  const sim::TSubmitRecord s = Sim.Submits()[0];
  EXPECT_EQ(s.Text, u"Gr\u00FC\u00DFe \u20AC");
  EXPECT_EQ(s.Encoding, etUCS2Text);
  EXPECT_EQ(s.UserDataHeader, std::string("\x05\x00\x03\xAB\x02\x01", 6));
  EXPECT_TRUE(s.DirectDisplay);
  EXPECT_EQ(ts, s.TimeStamp);

  ASSERT_TRUE(Pump([&] { return !reported.empty(); }));
  EXPECT_EQ(reported[0], ts) << "the report names the submit by its time stamp";
  EXPECT_TRUE(Sim.WaitReceived("R/53", 1, 5000));
}

TEST_F(UcpSimulator, MessagesAndAlertsFromTheSmsc) {
  std::vector<std::u16string> texts;
  Ucp.OnMessageReceived = [&](TObject*, const std::string&, const std::string&,
                              const std::u16string& T, TxcEncodingType, const std::string&,
                              TDateTime) { texts.push_back(T); };
  ASSERT_EQ(Open(), 0);
  sim::TSimMessage m;
  m.Destination = "1234";
  m.Originator = "0612345678";
  m.Text = u"\u00E9t\u00E9";
  ASSERT_EQ(Sim.Deliver(m), sim::prSent);
  m.Text = u"\u043F\u0440\u0438";
  m.Encoding = etUCS2Text;
  ASSERT_EQ(Sim.Deliver(m), sim::prSent);
  ASSERT_EQ(Sim.Alert(), sim::prSent);
  ASSERT_TRUE(Pump([&] { return texts.size() == 2; }));
  EXPECT_EQ(texts[0], u"\u00E9t\u00E9");
  EXPECT_EQ(texts[1], u"\u043F\u0440\u0438");
  // The alert is answered by the receive side, the messages once handled.
  EXPECT_TRUE(Sim.WaitReceived("R/31", 1, 5000));
  EXPECT_TRUE(Sim.WaitReceived("R/52", 2, 5000));
  EXPECT_EQ(Sim.CountReceived("R/31"), 1);
  EXPECT_EQ(Sim.CountReceived("R/52"), 2);
  for (const auto& f : Sim.Received())
    EXPECT_TRUE(f.Valid) << f.Operation;
}

TEST_F(UcpSimulator, SplitAndNoisyFramesStillRead) {
  TSimConfig c = Sim.Config();
  c.SplitPieceSize = 3;
  c.SplitDelayMs = 1;
  c.GarbageBeforeFrames = true;
  Sim.SetConfig(c);
  ASSERT_EQ(Open(), 0);
  TDateTime ts = 0;
  EXPECT_EQ(Ucp.SubmitMessage("0612345678", "Garvel", u"Hi", et7BitText, "", {}, ts), 0);
  ASSERT_EQ(Sim.Submits().size(), 1u);
  EXPECT_EQ(Sim.Submits()[0].Originator, "Garvel");
  EXPECT_TRUE(Reasons.empty());
}

TEST_F(UcpSimulator, KeepAliveKeepsTheSessionAndSilenceEndsIt) {
  Ucp.SetKeepAlive(true);
  Ucp.SetKeepAliveInterval(50);
  Ucp.SetResponseTimeOut(200);
  ASSERT_EQ(Open(), 0);
  ASSERT_TRUE(Sim.WaitReceived("O/31", 2, 5000));
  Application()->ProcessMessages();
  EXPECT_TRUE(Reasons.empty());
  TSimConfig c = Sim.Config();
  c.SilentOperations = {"O/31"};
  Sim.SetConfig(c);
  ASSERT_TRUE(Pump([&] { return !Reasons.empty(); }));
  EXPECT_EQ(Reasons[0], drKeepAliveFailed);
}

} // namespace
} // namespace garvel::ucp
