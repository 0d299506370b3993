// The garvel commands over CIMD2, run in-process against the simulator.
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
  c.StatusReportDelayMs = 20;
  return c;
}

TArgs Send(int Port, TArgs More = {}) {
  TArgs a = {"send",       "--protocol", "cimd2",       "--port",       std::to_string(Port),
             "--user",     "user",       "--password",  "secret",       "--to",
             "0612345678", "--text",     "Hello @ {1}", "--originator", "5500"};
  a.insert(a.end(), More.begin(), More.end());
  return a;
}

TEST(Cimd2Commands, SendSubmitsWaitsForTheReportAndNamesErrorCodes) {
  TSimulator s("cimd2", Account());
  TRun ok = RunCommand(CmdSend, Send(s.Port(), {"--wait", "5"}));
  EXPECT_EQ(ok.Exit, kExitOk) << ok.Err;
  ASSERT_EQ(s->Submits().size(), 1u);
  EXPECT_EQ(s->Submits()[0].Text, u"Hello @ {1}");
  EXPECT_EQ(s->Submits()[0].Originator, "5500");
  EXPECT_TRUE(s->Submits()[0].StatusReportRequested);
  const std::string stamp = DateTimeToStr(s->Submits()[0].TimeStamp);
  EXPECT_TRUE(Contains(ok.Out, ">>> Message submited\n       TimeStamp: " + stamp + "\n"))
      << ok.Out;
  EXPECT_TRUE(Contains(ok.Out, "<<< Status report received\n       MessageTimeStamp: " + stamp +
                                   "\n       Destination: 0612345678\n       SMStatus: 4\n"))
      << ok.Out;
  EXPECT_EQ(s->CountReceived("01"), 1);
  EXPECT_TRUE(s->WaitReceived("02", 1, 3000)) << "a logout before the end";

  TRun refused = RunCommand(CmdSend, Send(s.Port(), {"--password", "wrong"}));
  EXPECT_EQ(refused.Exit, kExitFailure);
  EXPECT_TRUE(Contains(refused.Out, ">>> Initialization failed. Error: 100\n")) << refused.Out;
  EXPECT_TRUE(Contains(refused.Err, "error code 100: invalid login")) << refused.Err;

  sim::TSimConfig c = Account();
  c.SubmitErrorCode = 303;
  s->SetConfig(c);
  TRun bad = RunCommand(CmdSend, Send(s.Port()));
  EXPECT_EQ(bad.Exit, kExitFailure);
  EXPECT_TRUE(Contains(bad.Err, "error code 303: incorrect bin/head/normal user data parameter"
                                " combination"))
      << bad.Err;
}

TEST(Cimd2Commands, RawTextOnBothSides) {
  TRun usage = RunCommand(CmdSim, {"sim", "--protocol", "ucp", "--raw-text"});
  EXPECT_EQ(usage.Exit, kExitUsage);
  EXPECT_TRUE(Contains(usage.Err, "--raw-text is for --protocol cimd2")) << usage.Err;
  TSimulator s("cimd2", Account());
  TRun r = RunCommand(CmdSend, Send(s.Port(), {"--raw-text", "--text", "caf\xC3\xA9 _Oa"}));
  EXPECT_EQ(r.Exit, kExitOk) << r.Err;
  ASSERT_EQ(s->Received().size(), 3u) << "login, submit, logout";
  EXPECT_TRUE(Contains(s->Received()[1].Bytes, "033:caf\xE9 _Oa\t"));
}

TEST(Cimd2Commands, ListenPrintsMessagesAndReports) {
  TSimulator s("cimd2", Account());
  std::thread smsc([&] {
    if (!s->WaitReceived("01", 1, 5000))
      return;
    s->Deliver({"5500", "0612345678", u"Ping \u00E9", et7BitText, "", 0});
    sim::TSubmitRecord r;
    r.MessageId = "0612345678:240517104207";
    r.Destination = "0612345678";
    s->SendStatusReport(sim::ReportFor(r, 2, 29));
  });
  TRun r =
      RunCommand(CmdListen, {"listen", "--protocol", "cimd2", "--port", std::to_string(s.Port()),
                             "--user", "user", "--password", "secret", "--count", "2"});
  smsc.join();
  EXPECT_EQ(r.Exit, kExitOk) << r.Err;
  EXPECT_TRUE(Contains(r.Out, "<<< Message received\n       Destination: 5500\n"
                              "       Originator: 0612345678\n       SMText: Ping \xC3\xA9\n"))
      << r.Out;
  EXPECT_TRUE(Contains(r.Out, "       MessageTimeStamp: 2024-05-17 10:42:07\n"
                              "       Destination: 0612345678\n       SMStatus: 3\n"
                              "       FailureReason: 29\n"))
      << r.Out;
  EXPECT_TRUE(s->WaitReceived("73", 1, 2000));
  EXPECT_EQ(s->CountReceived("70"), 1);
}

TEST(Cimd2Commands, DemoRunsTheWholeSession) {
  TRun r = RunCommand(CmdDemo, {"demo", "--protocol", "cimd2"});
  ASSERT_EQ(r.Exit, kExitOk) << r.Out << r.Err;
  const char* steps[] = {">>> SMSC simulator (cimd2) listening on 127.0.0.1:",
                         ">>> Initialized\n",
                         ">>> Message submited\n       TimeStamp: ",
                         "<<< Status report received\n",
                         "       SMStatus: 4\n",
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
