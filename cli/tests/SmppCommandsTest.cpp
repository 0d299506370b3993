// The garvel commands over SMPP, run in-process against the simulator.
#include "Commands.h"
#include "CliTestUtil.h"

#include "SimFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace garvel::cli {
namespace {

using garvel::testing::TSimulator;

sim::TSimConfig Account() {
  sim::TSimConfig c;
  c.Login = "esme";
  c.Password = "secret";
  c.LoginErrorCode = 0x0E;
  c.StatusReportDelayMs = 20;
  return c;
}

TArgs Send(int Port, TArgs More = {}) {
  TArgs a = {"send",        "--protocol", "smpp",       "--port",   std::to_string(Port),
             "--system-id", "esme",       "--password", "secret",   "--to",
             "0612345678",  "--text",     "Hello",      "--source", "5500"};
  a.insert(a.end(), More.begin(), More.end());
  return a;
}

TEST(SmppCommands, SendSubmitsAndWaitsForTheReceipt) {
  TSimulator s("smpp", Account());
  TRun ok = RunCommand(CmdSend, Send(s.Port(), {"--wait", "5"}));
  EXPECT_EQ(ok.Exit, kExitOk) << ok.Err;
  ASSERT_EQ(s->Submits().size(), 1u);
  const std::string id = s->Submits()[0].MessageId;
  EXPECT_TRUE(Contains(ok.Out, ">>> Message submited\n       MessageID: " + id + "\n")) << ok.Out;
  EXPECT_TRUE(Contains(ok.Out, "<<< Status report received\n       MessageID: " + id + "\n"))
      << ok.Out;
  EXPECT_EQ(s->Submits()[0].Originator, "5500");
  EXPECT_EQ(s->CountReceived("bind_transceiver"), 1);

  TRun ucs2 = RunCommand(CmdSend, Send(s.Port(), {"--encoding", "ucs2", "--text", "Grüße", "--udh",
                                                  "050003AB0201", "--flash", "--bind", "tx"}));
  EXPECT_EQ(ucs2.Exit, kExitOk) << ucs2.Err;
  ASSERT_EQ(s->Submits().size(), 2u);
  EXPECT_EQ(s->Submits()[1].Text, u"Gr\u00FC\u00DFe");
  EXPECT_EQ(s->Submits()[1].UserDataHeader, std::string("\x05\x00\x03\xAB\x02\x01", 6));
  EXPECT_TRUE(s->Submits()[1].DirectDisplay);
  EXPECT_EQ(s->CountReceived("bind_transmitter"), 1);

  TRun refused = RunCommand(CmdSend, Send(s.Port(), {"--password", "wrong"}));
  EXPECT_EQ(refused.Exit, kExitFailure);
  EXPECT_TRUE(Contains(refused.Out, ">>> Initialization failed. Error: 14\n")) << refused.Out;
  EXPECT_TRUE(Contains(refused.Err, "command_status 0x0000000E ESME_RINVPASWD: invalid password"))
      << refused.Err;

  TRun bad = RunCommand(CmdSend, Send(s.Port(), {"--bind", "both"}));
  EXPECT_EQ(bad.Exit, kExitUsage);
  EXPECT_TRUE(Contains(bad.Err, "--bind takes trx, tx or rx")) << bad.Err;
}

// A transmitter bind never receives a report or a message: waiting for
// one is a usage error, found before anything is sent.
TEST(SmppCommands, WaitingOnATransmitterBindIsAUsageError) {
  TSimulator s("smpp", Account());
  TRun send = RunCommand(CmdSend, Send(s.Port(), {"--bind", "tx", "--wait", "5"}));
  EXPECT_EQ(send.Exit, kExitUsage);
  EXPECT_TRUE(Contains(send.Err, "--wait cannot work: a transmitter bind")) << send.Err;
  TRun listen = RunCommand(CmdListen, {"listen", "--protocol", "smpp", "--port",
                                       std::to_string(s.Port()), "--bind", "tx"});
  EXPECT_EQ(listen.Exit, kExitUsage);
  EXPECT_TRUE(Contains(listen.Err, "a transmitter bind")) << listen.Err;
  EXPECT_EQ(s->SessionsAccepted(), 0);
}

TEST(SmppCommands, ListenPrintsMessagesAndReceipts) {
  TSimulator s("smpp", Account());
  std::thread smsc([&] {
    if (!s->WaitReceived("bind_receiver", 1, 5000))
      return;
    s->Deliver({"5500", "0612345678", u"Ping", et7BitText, "", 0});
    sim::TSubmitRecord r;
    r.MessageId = "ABC123";
    r.Destination = "0612345678";
    r.Originator = "5500";
    s->SendStatusReport(sim::ReportFor(r, 2, 5));
  });
  TRun r = RunCommand(CmdListen, {"listen", "--protocol", "smpp", "--port",
                                  std::to_string(s.Port()), "--system-id", "esme", "--password",
                                  "secret", "--bind", "rx", "--count", "2"});
  smsc.join();
  EXPECT_EQ(r.Exit, kExitOk) << r.Err;
  EXPECT_TRUE(Contains(r.Out, "<<< Message received\n       Destination: 5500\n"
                              "       Originator: 0612345678\n       SMText: Ping\n"))
      << r.Out;
  EXPECT_TRUE(Contains(r.Out, "<<< Status report received\n       MessageID: ABC123\n"
                              "       Destination: 0612345678\n       Originator: 5500\n"
                              "       SMStatus: 5\n       FailureReason: 196613\n"))
      << r.Out;
  EXPECT_TRUE(s->WaitReceived("deliver_sm_resp", 2, 2000));
  EXPECT_EQ(s->CountReceived("deliver_sm_resp"), 2);
}

TEST(SmppCommands, DemoRunsTheWholeSession) {
  TRun r = RunCommand(CmdDemo, {"demo", "--protocol", "smpp"});
  ASSERT_EQ(r.Exit, kExitOk) << r.Out << r.Err;
  const char* steps[] = {">>> SMSC simulator (smpp) listening on 127.0.0.1:",
                         ">>> Initialized\n",
                         ">>> Message submited\n       MessageID: ",
                         "<<< Status report received\n",
                         "       SMStatus: 2\n",
                         "<<< Message received\n",
                         "       Encoding: etUCS2Text\n",
                         ">>> Disconnected. Reason: 0\n"};
  size_t at = 0;
  for (const char* step : steps) {
    size_t p = r.Out.find(step, at);
    ASSERT_NE(p, std::string::npos) << "missing or out of order: " << step << "\n" << r.Out;
    at = p;
  }
}

} // namespace
} // namespace garvel::cli
