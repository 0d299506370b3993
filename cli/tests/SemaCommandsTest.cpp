// The garvel commands over SEMA, run in-process against the simulator.
#include "Commands.h"
#include "CliTestUtil.h"

#include "SimFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace garvel::cli {
namespace {

using garvel::testing::TSimulator;

sim::TSimConfig Account() {
  sim::TSimConfig c;
  c.Login = "user";
  c.Password = "secret";
  c.RequireLogin = true;
  c.StatusReportDelayMs = 20;
  return c;
}

TArgs Send(int Port, TArgs More = {}) {
  TArgs a = {"send",   "--protocol", "sema",       "--port", std::to_string(Port),
             "--user", "user",       "--password", "secret", "--address",
             "5500",   "--to",       "0612345678", "--text", "Hello"};
  a.insert(a.end(), More.begin(), More.end());
  return a;
}

TEST(SemaCommands, SendLogsInPollsSubmitsAndWaitsForTheReport) {
  TSimulator s("sema", Account());
  TRun ok = RunCommand(CmdSend, Send(s.Port(), {"--wait", "5", "--ton", "2", "--npi", "9"}));
  EXPECT_EQ(ok.Exit, kExitOk) << ok.Err;
  ASSERT_EQ(s->Submits().size(), 1u);
  const std::string id = s->Submits()[0].MessageId;
  EXPECT_EQ(s->Submits()[0].Originator, "5500");
  EXPECT_TRUE(Contains(ok.Out, ">>> Message submited\n       MessageID: " + id + "\n")) << ok.Out;
  EXPECT_TRUE(Contains(ok.Out, "<<< Status report received\n       MessageID: " + id + "\n"))
      << ok.Out;
  EXPECT_EQ(s->CountReceived("login"), 1);
  EXPECT_EQ(s->CountReceived("request_delivery"), 2) << "refused before the login, then again";

  TRun refused = RunCommand(CmdSend, Send(s.Port(), {"--password", "wrong"}));
  EXPECT_EQ(refused.Exit, kExitFailure);
  EXPECT_TRUE(Contains(refused.Err, "refused by the SMSC with result 1")) << refused.Err;
  TRun nologin = RunCommand(CmdSend, Send(s.Port(), {"--user", "", "--password", ""}));
  EXPECT_EQ(nologin.Exit, kExitFailure);
  EXPECT_TRUE(Contains(nologin.Out, ">>> Initialization failed. Error: 3\n")) << nologin.Out;

  TRun ton = RunCommand(CmdSend, Send(s.Port(), {"--ton", "8"}));
  EXPECT_EQ(ton.Exit, kExitUsage);
  EXPECT_TRUE(Contains(ton.Err, "--ton takes a number from 0 to 7")) << ton.Err;
}

TEST(SemaCommands, ListenPrintsMessagesAndReports) {
  TSimulator s("sema", Account());
  std::thread smsc([&] {
    if (!s->WaitReceived("request_delivery", 2, 5000))
      return;
    s->Deliver({"5500", "0612345678", u"Ping", et7BitText, "", 0});
    sim::TSubmitRecord r;
    r.MessageId = "513";
    r.Destination = "0612345678";
    r.Originator = "5500";
    s->SendStatusReport(sim::ReportFor(r, 2, 17));
  });
  TRun r = RunCommand(CmdListen, {"listen", "--protocol", "sema", "--port",
                                  std::to_string(s.Port()), "--address", "5500", "--user", "user",
                                  "--password", "secret", "--count", "2"});
  smsc.join();
  EXPECT_EQ(r.Exit, kExitOk) << r.Err;
  EXPECT_TRUE(Contains(r.Out, "<<< Message received\n       Destination: 5500\n"
                              "       Originator: 0612345678\n       SMText: Ping\n"))
      << r.Out;
  EXPECT_TRUE(Contains(r.Out, "<<< Status report received\n       MessageID: 513\n")) << r.Out;
  EXPECT_TRUE(Contains(r.Out, "       SMStatus: 1\n       FailureReason: 17\n")) << r.Out;
  EXPECT_TRUE(s->WaitReceived("status_report_rsp", 1, 2000));
  EXPECT_EQ(s->CountReceived("deliver_rsp"), 1);
}

TEST(SemaCommands, DemoRunsTheWholeSession) {
  TRun r = RunCommand(CmdDemo, {"demo", "--protocol", "sema"});
  ASSERT_EQ(r.Exit, kExitOk) << r.Out << r.Err;
  const char* steps[] = {">>> SMSC simulator (sema) listening on 127.0.0.1:",
                         ">>> Initialized\n",
                         ">>> Message submited\n       MessageID: 1\n",
                         "<<< Status report received\n       MessageID: 1\n",
                         "       SMStatus: 0\n",
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
