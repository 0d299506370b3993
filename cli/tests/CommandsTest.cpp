// The garvel commands run in-process against the simulator.
#include "Commands.h"
#include "CliTestUtil.h"
#include "CommandLine.h"
#include "ProtocolClient.h"

#include "SimFixture.h"
#include "UnacceptingListener.h"

#include "Sockets.h"
#include "SysUtils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace garvel::cli {
namespace {

using garvel::testing::TSimulator;

sim::TSimConfig Credentials() {
  sim::TSimConfig c;
  c.Login = "1234";
  c.Password = "secret";
  c.StatusReportDelayMs = 20;
  return c;
}

TArgs SendArgs(int Port, TArgs More = {}) {
  TArgs a = {"send",   "--port", std::to_string(Port), "--oadc", "1234", "--pwd",
             "secret", "--to",   "0612345678",         "--text", "Hello"};
  a.insert(a.end(), More.begin(), More.end());
  return a;
}

TEST(Commands, UsageErrorsExitWithTwo) {
  struct Case {
    const char* Name;
    TArgs Args;
    const char* Message;
  } cases[] = {
      {"no port", {"send", "--to", "1", "--text", "x"}, "--port is required"},
      {"no recipient", {"send", "--port", "1", "--text", "x"}, "--to is required"},
      {"port out of range", {"send", "--port", "70000", "--to", "1", "--text", "x"}, "--port"},
      {"bad encoding",
       {"send", "--port", "1", "--to", "1", "--text", "x", "--encoding", "9bit"},
       "9bit"},
      {"8-bit text not hexadecimal",
       {"send", "--port", "1", "--to", "1", "--text", "xyz", "--encoding", "8bit"},
       "hexadecimal"},
      {"bad header", {"send", "--port", "1", "--to", "1", "--text", "x", "--udh", "0G"}, "--udh"},
      {"unknown option", {"send", "--bogus"}, "unknown option --bogus"},
      {"missing value", {"send", "--port"}, "needs a value"},
      {"unknown protocol", {"send", "--protocol", "x25"}, "unknown protocol 'x25'"},
      {"bad session option",
       {"send", "--port", "1", "--to", "1", "--text", "x", "--oton", "300"},
       "--oton"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TRun r = RunCommand(CmdSend, c.Args);
    EXPECT_EQ(r.Exit, kExitUsage);
    EXPECT_TRUE(Contains(r.Err, c.Message)) << r.Err;
  }
  TRun sim = RunCommand(CmdSim, {"sim", "--report-delay", "x"});
  EXPECT_EQ(sim.Exit, kExitUsage);
  EXPECT_TRUE(Contains(sim.Err, "--report-delay")) << sim.Err;
  TRun record = RunCommand(CmdSim, {"sim", "--record", "-1"});
  EXPECT_EQ(record.Exit, kExitUsage);
  EXPECT_TRUE(Contains(record.Err, "--record takes a number from 0")) << record.Err;
  // UCP error codes are two digits; SMPP's are command_status words.
  TRun ucpEc = RunCommand(CmdSim, {"sim", "--login-ec", "-1"});
  EXPECT_EQ(ucpEc.Exit, kExitUsage);
  TRun smppEc = RunCommand(CmdSim, {"sim", "--protocol", "smpp", "--submit-ec", "0xZZ"});
  EXPECT_EQ(smppEc.Exit, kExitUsage);
  EXPECT_TRUE(Contains(smppEc.Err, "--submit-ec")) << smppEc.Err;
}

TEST(Commands, NumbersAreDecimalOrHexadecimal) {
  int v = 0;
  EXPECT_TRUE(ParseInt("0x0E", 0, 0x7FFFFFFF, v));
  EXPECT_EQ(v, 14);
  EXPECT_TRUE(ParseInt("-1", -1, 99, v));
  EXPECT_EQ(v, -1);
  EXPECT_FALSE(ParseInt("0x", 0, 99, v));
  EXPECT_FALSE(ParseInt("0x-1", -5, 99, v));
  EXPECT_FALSE(ParseInt("100", 0, 99, v));
  EXPECT_FALSE(ParseInt("12a", 0, 99, v));
}

TEST(Commands, EveryCommandHasHelp) {
  using TCommand = int (*)(const TArgs&);
  const std::pair<std::string, TCommand> commands[] = {
      {"send", CmdSend}, {"listen", CmdListen}, {"sim", CmdSim}, {"demo", CmdDemo}};
  for (const auto& [name, cmd] : commands) {
    SCOPED_TRACE(name);
    TRun r = RunCommand(cmd, {name, "--help"});
    EXPECT_EQ(r.Exit, kExitOk);
    EXPECT_TRUE(Contains(r.Out, "Usage: garvel " + name)) << r.Out;
  }
  TRun r = RunCommand(CmdSend, {"send", "--help"});
  EXPECT_TRUE(Contains(r.Out, "--oadc ADDRESS")) << r.Out;
  EXPECT_TRUE(Contains(ToolUsage(), "/garvel/gsm0338.ini\n")) << ToolUsage();
}

TEST(Commands, SendReportsEachOutcome) {
  TSimulator s("ucp", Credentials());
  TRun ok = RunCommand(CmdSend, SendArgs(s.Port(), {"--wait", "5"}));
  EXPECT_EQ(ok.Exit, kExitOk) << ok.Err;
  EXPECT_TRUE(Contains(ok.Out, ">>> Message submited\n       TimeStamp: ")) << ok.Out;
  EXPECT_TRUE(Contains(ok.Out, "<<< Status report received\n")) << ok.Out;
  EXPECT_TRUE(Contains(ok.Out, ">>> Disconnected. Reason: 0\n")) << ok.Out;
  ASSERT_EQ(s->Submits().size(), 1u);
  EXPECT_TRUE(s->Submits()[0].StatusReportRequested);

  TRun ucs2 = RunCommand(CmdSend, SendArgs(s.Port(), {"--encoding", "ucs2", "--text", "Grüße",
                                                      "--udh", "050003AB0201", "--flash"}));
  EXPECT_EQ(ucs2.Exit, kExitOk) << ucs2.Err;
  ASSERT_EQ(s->Submits().size(), 2u);
  EXPECT_EQ(s->Submits()[1].Text, u"Gr\u00FC\u00DFe");
  EXPECT_EQ(s->Submits()[1].UserDataHeader, std::string("\x05\x00\x03\xAB\x02\x01", 6));
  EXPECT_TRUE(s->Submits()[1].DirectDisplay);

  TRun login = RunCommand(CmdSend, SendArgs(s.Port(), {"--pwd", "wrong"}));
  EXPECT_EQ(login.Exit, kExitFailure);
  EXPECT_TRUE(Contains(login.Out, ">>> Initialization failed. Error: 7\n")) << login.Out;
  EXPECT_TRUE(Contains(login.Err, "refused by the SMSC with EC 07: authentication failure"))
      << login.Err;

  sim::TSimConfig c = Credentials();
  c.SubmitErrorCode = 42;
  s->SetConfig(c);
  TRun refused = RunCommand(CmdSend, SendArgs(s.Port()));
  EXPECT_EQ(refused.Exit, kExitFailure);
  EXPECT_TRUE(Contains(refused.Out, ">>> Message submit failed. Error: 42\n")) << refused.Out;
  EXPECT_TRUE(Contains(refused.Err, "with EC 42")) << refused.Err;

  c.SubmitErrorCode = 0;
  c.SilentOperations = {"O/51"};
  s->SetConfig(c);
  TRun late = RunCommand(CmdSend, SendArgs(s.Port(), {"--timeout", "200"}));
  EXPECT_EQ(late.Exit, kExitFailure);
  EXPECT_TRUE(Contains(late.Out, ">>> Message submit failed. Error: -1\n")) << late.Out;
  EXPECT_TRUE(Contains(late.Err, "no response")) << late.Err;

  c.SilentOperations.clear();
  c.StatusReportDelayMs = -1;
  s->SetConfig(c);
  TRun noReport = RunCommand(CmdSend, SendArgs(s.Port(), {"--wait", "1"}));
  EXPECT_EQ(noReport.Exit, kExitFailure);
  EXPECT_TRUE(Contains(noReport.Err, "no status report within 1 s")) << noReport.Err;
}

// A request that fails because the session ended says so, and why,
// instead of blaming the response time-out.
TEST(Commands, SendSaysWhenTheConnectionWasLost) {
  struct Case {
    const char* Name;
    bool Reset;
    int Frames; // the simulator ends the connection on receiving this many
    std::string Message;
  } cases[] = {
      {"closed at login", false, 1,
       "the session was not opened: the connection was lost (closed by the SMSC)"},
      {"closed at submit", false, 2,
       "the message was not accepted: the connection was lost (closed by the SMSC)"},
      {"reset at submit", true, 2,
       std::string("the message was not accepted: the connection was lost (") +
           std::strerror(ECONNRESET) + ")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    sim::TSimConfig cfg = Credentials();
    (c.Reset ? cfg.ResetAfterFrames : cfg.CloseAfterFrames) = c.Frames;
    TSimulator s("ucp", cfg);
    TRun r = RunCommand(CmdSend, SendArgs(s.Port(), {"--timeout", "10000"}));
    EXPECT_EQ(r.Exit, kExitFailure);
    EXPECT_TRUE(Contains(r.Err, c.Message)) << r.Err;
    EXPECT_FALSE(Contains(r.Err, "no response")) << r.Err;
  }
}

TEST(Commands, ResultsAndReasonsInWords) {
  std::unique_ptr<TProtocolClient> ucp = CreateClient("ucp");
  std::unique_ptr<TProtocolClient> smpp = CreateClient("smpp");
  struct Case {
    const TProtocolClient& Client;
    int Code;
    const char* Text;
  } cases[] = {
      {*ucp, rcTimeOut, "no response within the response time-out"},
      {*ucp, 2, "refused by the SMSC with EC 02: syntax error"},
      {*ucp, 24, "refused by the SMSC with EC 24: message too long"},
      {*ucp, 99, "refused by the SMSC with EC 99"},
      {*smpp, 0x0E,
       "refused by the SMSC with command_status 0x0000000E ESME_RINVPASWD: "
       "invalid password"},
      {*smpp, 0x58,
       "refused by the SMSC with command_status 0x00000058 ESME_RTHROTTLED: "
       "throttling error: the ESME exceeded its message limits"},
      {*smpp, 0x401,
       "refused by the SMSC with command_status 0x00000401: an error of the "
       "SMSC's own"},
      {*smpp, 0x1234, "refused by the SMSC with command_status 0x00001234"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ResultText(c.Code, c.Client), c.Text);
  EXPECT_EQ(DisconnectReasonText(drPeerClosed), "closed by the SMSC");
  EXPECT_EQ(DisconnectReasonText(drKeepAliveFailed), "keep-alive unanswered");
  EXPECT_EQ(DisconnectReasonText(drSendTimeOut), "send timed out");
  EXPECT_EQ(DisconnectReasonText(drUnframeable), "unframeable data from the SMSC");
  EXPECT_EQ(DisconnectReasonText(drInternalError), "internal error");
  EXPECT_EQ(DisconnectReasonText(EPIPE), std::strerror(EPIPE));
}

TEST(Commands, SendToAClosedPortFails) {
  int port;
  {
    TTcpListener l;
    ASSERT_TRUE(l.Listen("127.0.0.1", 0));
    port = l.Port();
  }
  TRun r = RunCommand(CmdSend, SendArgs(port));
  EXPECT_EQ(r.Exit, kExitFailure);
  EXPECT_TRUE(Contains(r.Out, ">>> Connection Failed. Error: 111\n")) << r.Out;
  EXPECT_TRUE(Contains(r.Err, "cannot connect to 127.0.0.1:" + std::to_string(port))) << r.Err;
}

TEST(Commands, ListenPrintsWhatArrives) {
  TSimulator s("ucp", Credentials());
  std::thread smsc([&] {
    if (!s->WaitReceived("O/60", 1, 5000))
      return;
    s->Deliver({"1234", "0612345678", u"Ping", et7BitText, "", 0});
    sim::TSubmitRecord r;
    r.MessageId = "0612345678:020312123456";
    r.Destination = "0612345678";
    r.Originator = "1234";
    s->SendStatusReport(sim::ReportFor(r, 2, 5));
  });
  TRun r = RunCommand(CmdListen, {"listen", "--port", std::to_string(s.Port()), "--oadc", "1234",
                                  "--pwd", "secret", "--count", "2"});
  smsc.join();
  EXPECT_EQ(r.Exit, kExitOk) << r.Err;
  EXPECT_TRUE(Contains(r.Out, "<<< Message received\n       Destination: 1234\n"
                              "       Originator: 0612345678\n       SMText: Ping\n"))
      << r.Out;
  EXPECT_TRUE(Contains(r.Out, "<<< Status report received\n       MessageTimeStamp: "
                              "2012-03-02 12:34:56\n"))
      << r.Out;
  EXPECT_TRUE(Contains(r.Out, "       SMStatus: 2\n       FailureReason: 5\n")) << r.Out;
  EXPECT_TRUE(s->WaitReceived("R/52", 1, 2000)) << "the message was acknowledged";
  EXPECT_EQ(s->CountReceived("R/52"), 1);

  // The SMSC going away ends listen with a failure.
  s->SetConfig([] {
    sim::TSimConfig c = Credentials();
    c.CloseAfterFrames = 1;
    return c;
  }());
  TRun gone = RunCommand(CmdListen, {"listen", "--port", std::to_string(s.Port()), "--no-login",
                                     "--keep-alive", "50"});
  EXPECT_EQ(gone.Exit, kExitFailure);
  EXPECT_TRUE(Contains(gone.Err, "the connection ended")) << gone.Err;
}

// Ctrl-C while listen waits for a connection that never completes (a
// listener whose accept queue is full) ends it at once.
TEST(Commands, ListenEndsOnInterruptWhileConnecting) {
  garvel::testing::TUnacceptingListener hanging;
  const std::string port = std::to_string(hanging.Port());
  std::thread ctrlC([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(getpid(), SIGINT);
  });
  auto t0 = std::chrono::steady_clock::now();
  TRun r = RunCommand(CmdListen, {"listen", "--port", port, "--oadc", "1234"});
  auto took = std::chrono::steady_clock::now() - t0;
  ctrlC.join();
  EXPECT_EQ(r.Exit, kExitFailure);
  EXPECT_TRUE(Contains(r.Err, "interrupted")) << r.Err;
  EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(Commands, DemoRunsTheWholeSession) {
  TRun r = RunCommand(CmdDemo, {"demo"});
  ASSERT_EQ(r.Exit, kExitOk) << r.Out << r.Err;
  const char* steps[] = {">>> SMSC simulator (ucp) listening on 127.0.0.1:",
                         ">>> Connecting (this may take a while).\n",
                         ">>> Connected\n",
                         ">>> Initialized\n",
                         ">>> Message submited\n       TimeStamp: ",
                         "<<< Status report received\n",
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
