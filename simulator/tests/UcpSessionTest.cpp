// Whole UCP sessions: the UCP component against the simulator over loopback.
#include "SmscServer.h"

#include "SimFixture.h"

#include "Messages.h"
#include "SysUtils.h"
#include "xcGarvelUCP.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace garvel::sim {
namespace {

using garvel::testing::TSimulator;
using ucp::TxcGarvelUCP;

const std::string kAccount = "1234";
const std::string kPassword = "secret";
const std::string kHandset = "0612345678";

TSimConfig Config() {
  TSimConfig c;
  c.Login = kAccount;
  c.Password = kPassword;
  c.StatusReportDelayMs = -1;
  return c;
}

struct TMessage {
  std::string Destination, Originator;
  std::u16string Text;
  TxcEncodingType Encoding;
  std::string UDH;
  TDateTime TimeStamp;
};

struct TReport {
  TDateTime MessageTimeStamp;
  std::string Destination, Originator;
  uint8_t Status;
  int Reason;
};

/// A UCP component wired to record its events, against a simulator.
class UcpSession : public ::testing::Test {
protected:
  explicit UcpSession(TSimConfig C = Config()) : Sim("ucp", std::move(C)), Ucp(nullptr) {
    Ucp.SetResponseTimeOut(2000);
    Ucp.SetKeepAlive(false);
    Ucp.OnMessageReceived = [this](TObject*, const std::string& D, const std::string& O,
                                   const std::u16string& T, TxcEncodingType E, const std::string& U,
                                   TDateTime S) {
      Messages.push_back({D, O, T, E, U, S});
    };
    Ucp.OnStatusReportReceived = [this](TObject*, TDateTime M, const std::string& D,
                                        const std::string& O, uint8_t St, int R, TDateTime) {
      Reports.push_back({M, D, O, St, R});
    };
    Ucp.OnDisconnected = [this](TObject*, int Reason) { Disconnects.push_back(Reason); };
  }

  int Open(const std::string& Password = kPassword) {
    EXPECT_EQ(Ucp.Connect("127.0.0.1", Sim.Port()), 0);
    return Ucp.InitializeSession(kAccount, 6, 5, Password, true);
  }

  int Submit(TDateTime& Stamp, TxcSubmitOptionSet Options = {}) {
    return Ucp.SubmitMessage(kHandset, kAccount, u"Hello", et7BitText, "", Options, Stamp);
  }

  /// Pumps the main thread's queue until Pred holds. In short slices, since
  /// Pred may also wait on the simulator, which posts nothing here.
  bool Pump(const std::function<bool()>& Pred, int TimeoutMs = 5000) {
    const int64_t deadline = GetTickCount64() + TimeoutMs;
    while (!Pred()) {
      if (GetTickCount64() >= deadline)
        return false;
      Application()->ProcessUntil(Pred, 10);
    }
    return true;
  }

  void ExpectAllFramesValid() {
    for (const TReceivedFrame& f : Sim->Received())
      EXPECT_TRUE(f.Valid) << f.Operation << " " << Sim->Personality().Printable(f.Bytes);
  }

  TSimulator Sim;
  TxcGarvelUCP Ucp;
  std::vector<TMessage> Messages;
  std::vector<TReport> Reports;
  std::vector<int> Disconnects;
};

TEST_F(UcpSession, LoginAcceptedOrRefusedWithTheConfiguredCode) {
  struct Case {
    const char* Name;
    std::string Password;
    int ErrorCode;
    int Result;
    TRelayState State;
  } cases[] = {
      {"right password", kPassword, 7, 0, rsLoggedIn},
      {"wrong password", "guess", 7, 7, rsInitialized},
      {"wrong password, own code", "guess", 55, 55, rsInitialized},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TSimConfig cfg = Config();
    cfg.LoginErrorCode = c.ErrorCode;
    Sim->SetConfig(cfg);
    EXPECT_EQ(Open(c.Password), c.Result);
    EXPECT_EQ(Ucp.State(), c.State);
    TDateTime stamp = 0;
    EXPECT_EQ(Submit(stamp), c.Result == 0 ? 0 : rcWrongState);
    Ucp.Disconnect();
    ASSERT_TRUE(Pump([&] { return Ucp.State() == rsNotConnected && Sim->SessionCount() == 0; }));
  }
  EXPECT_EQ(Sim->CountReceived("O/60"), 3);
  EXPECT_EQ(Sim->CountReceived("O/51"), 1); // none after a refused login
  ExpectAllFramesValid();
}

TEST_F(UcpSession, SubmitAcceptedRefusedAndUnanswered) {
  ASSERT_EQ(Open(), 0);
  TDateTime stamp = 0;
  ASSERT_EQ(Submit(stamp), 0);
  ASSERT_EQ(Sim->Submits().size(), 1u);
  TSubmitRecord rec = Sim->Submits()[0];
  EXPECT_EQ(stamp, rec.TimeStamp);
  EXPECT_EQ(rec.Destination, kHandset);
  EXPECT_EQ(rec.Originator, kAccount);
  EXPECT_EQ(rec.Text, u"Hello");

  TSimConfig cfg = Config();
  cfg.SubmitErrorCode = 42;
  Sim->SetConfig(cfg);
  TDateTime after = 0;
  EXPECT_EQ(Submit(after), 42);
  EXPECT_EQ(after, stamp); // the last positive result's stamp

  cfg.SubmitErrorCode = 0;
  cfg.SilentOperations = {"O/51"};
  Sim->SetConfig(cfg);
  Ucp.SetResponseTimeOut(200);
  int64_t t0 = GetTickCount64();
  EXPECT_EQ(Submit(after), rcTimeOut);
  EXPECT_GE(GetTickCount64() - t0, 200);

  // A late answer is no answer either; the session goes on afterwards.
  cfg.SilentOperations.clear();
  cfg.ResponseDelayMs = 400;
  Sim->SetConfig(cfg);
  EXPECT_EQ(Submit(after), rcTimeOut);
  cfg.ResponseDelayMs = 0;
  Sim->SetConfig(cfg);
  Ucp.SetResponseTimeOut(2000);
  ASSERT_TRUE(Sim->WaitSubmits(2, 5000)); // the late one was accepted meanwhile
  EXPECT_EQ(Submit(after), 0);
  EXPECT_GT(after, stamp);
  EXPECT_EQ(Ucp.State(), rsLoggedIn);
  ExpectAllFramesValid();
}

TEST_F(UcpSession, StatusReportRaisesOneEventAndOneAcknowledgement) {
  TSimConfig cfg = Config();
  cfg.StatusReportDelayMs = 30;
  cfg.ReportStatus = 2;
  cfg.ReportReason = 7;
  Sim->SetConfig(cfg);
  ASSERT_EQ(Open(), 0);
  TDateTime stamp = 0;
  ASSERT_EQ(Submit(stamp, {soRequestStatusReport}), 0);
  ASSERT_TRUE(Pump([&] { return !Reports.empty(); }));
  ASSERT_TRUE(Sim->WaitReceived("R/53", 1, 5000));
  Pump([] { return false; }, 200); // room for a duplicate to show up
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Sim->CountReceived("R/53"), 1);
  EXPECT_EQ(Reports[0].MessageTimeStamp, stamp);
  EXPECT_EQ(Reports[0].Destination, kHandset);
  EXPECT_EQ(Reports[0].Originator, kAccount);
  EXPECT_EQ(Reports[0].Status, 2);
  EXPECT_EQ(Reports[0].Reason, 7);

  // A report on demand for the same message.
  EXPECT_EQ(Sim->SendStatusReport(ReportFor(Sim->Submits().at(0))), prSent);
  ASSERT_TRUE(Pump([&] { return Reports.size() == 2; }));
  EXPECT_EQ(Reports[1].Status, 0);
  EXPECT_TRUE(Sim->WaitReceived("R/53", 2, 5000));
  ExpectAllFramesValid();
}

TEST_F(UcpSession, DeliveredMessagesRaiseOneEventAndOneAcknowledgementEach) {
  ASSERT_EQ(Open(), 0);
  const TDateTime ts = EncodeDateTime(2012, 3, 2, 12, 34, 56, 0);
  const std::string udh("\x05\x00\x03\xAB\x02\x01", 6);
  std::vector<TSimMessage> sent = {
      {kAccount, kHandset, u"Hello", et7BitText, "", ts},
      {kAccount, kHandset, u"00FF41", et8BitHexadecimal, "", ts},
      {kAccount, kHandset, u"Gr\u00FC\u00DFe \u20AC", etUCS2Text, udh, ts},
  };
  for (const TSimMessage& m : sent)
    ASSERT_EQ(Sim->Deliver(m), prSent);
  ASSERT_TRUE(Pump([&] { return Messages.size() >= sent.size(); }));
  ASSERT_TRUE(Sim->WaitReceived("R/52", 3, 5000));
  Pump([] { return false; }, 200);
  ASSERT_EQ(Messages.size(), sent.size());
  EXPECT_EQ(Sim->CountReceived("R/52"), 3);
  for (size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Messages[i].Destination, kAccount);
    EXPECT_EQ(Messages[i].Originator, kHandset);
    EXPECT_EQ(Messages[i].Text, sent[i].Text);
    EXPECT_EQ(Messages[i].Encoding, sent[i].Encoding);
    EXPECT_EQ(Messages[i].UDH, sent[i].UserDataHeader);
    EXPECT_EQ(Messages[i].TimeStamp, ts);
  }
  ExpectAllFramesValid();
}

TEST_F(UcpSession, KeepAliveAfterAnIdleInterval) {
  struct Case {
    ucp::TxcKeepAliveOperationUCP Operation;
    const char* Frame;
  } cases[] = {{ucp::uoSMTAlert, "O/31"}, {ucp::uoFantomCallInput, "O/01"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Frame);
    Ucp.SetKeepAliveOperation(c.Operation);
    Ucp.SetKeepAlive(true);
    Ucp.SetKeepAliveInterval(100);
    int64_t t0 = GetTickCount64();
    ASSERT_EQ(Open(), 0);
    EXPECT_TRUE(Sim->WaitReceived(c.Frame, 2, 5000));
    EXPECT_GE(GetTickCount64() - t0, 200);
    Pump([] { return false; }, 50);
    EXPECT_TRUE(Disconnects.empty());
    EXPECT_EQ(Ucp.State(), rsLoggedIn);
    Ucp.Disconnect();
    ASSERT_TRUE(Pump([&] { return !Disconnects.empty(); }));
    Disconnects.clear();
    Sim->ClearRecords();
  }
}

TEST_F(UcpSession, AlertFromTheSmscIsAnsweredWithoutAnEvent) {
  ASSERT_EQ(Open(), 0);
  ASSERT_EQ(Sim->Alert(), prSent);
  // The component answers on the main thread, so pump while waiting.
  EXPECT_TRUE(Pump([&] { return Sim->CountReceived("R/31") == 1; }));
  Pump([] { return false; }, 100);
  EXPECT_EQ(Sim->CountReceived("R/31"), 1);
  EXPECT_TRUE(Messages.empty());
  EXPECT_TRUE(Reports.empty());
  ExpectAllFramesValid();
}

TEST_F(UcpSession, SplitFramesAndGarbageDoNotDisturbTheSession) {
  TSimConfig cfg = Config();
  cfg.SplitPieceSize = 3;
  cfg.SplitDelayMs = 2;
  cfg.GarbageBeforeFrames = true;
  Sim->SetConfig(cfg);
  ASSERT_EQ(Open(), 0);
  TDateTime stamp = 0;
  EXPECT_EQ(Submit(stamp), 0);
  ASSERT_EQ(Sim->Deliver({kAccount, kHandset, u"Hi", et7BitText, "", 0}), prSent);
  ASSERT_TRUE(Pump([&] { return Messages.size() == 1; }));
  EXPECT_EQ(Messages[0].Text, u"Hi");
  EXPECT_TRUE(Disconnects.empty());
}

TEST_F(UcpSession, ClosedOrResetConnectionEndsTheSession) {
  struct Case {
    const char* Name;
    bool Reset;
    int Reason;
  } cases[] = {{"close", false, drPeerClosed}, {"reset", true, ECONNRESET}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TSimConfig cfg = Config();
    (c.Reset ? cfg.ResetAfterFrames : cfg.CloseAfterFrames) = 2; // login, then the submit
    Sim->SetConfig(cfg);
    ASSERT_EQ(Open(), 0);
    TDateTime stamp = 0;
    EXPECT_EQ(Submit(stamp), rcTimeOut);
    ASSERT_TRUE(Pump([&] { return !Disconnects.empty(); }));
    EXPECT_EQ(Disconnects, std::vector<int>{c.Reason});
    EXPECT_EQ(Ucp.State(), rsNotConnected);
    Disconnects.clear();
  }
}

} // namespace
} // namespace garvel::sim
