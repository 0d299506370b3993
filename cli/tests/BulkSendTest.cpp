// garvel send through the submit window (--count, --window, --rate,
// --no-split), run in-process against the simulator of each protocol.
#include "Commands.h"
#include "CliTestUtil.h"

#include "SimFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace garvel::cli {
namespace {

using garvel::testing::TSimulator;

struct TProtocolCase {
  const char* Protocol;
  TArgs Session; // the options that open a session with Account()
};

const TProtocolCase kProtocols[] = {
    {"ucp", {"--oadc", "1234", "--pwd", "secret"}},
    {"smpp", {"--system-id", "1234", "--password", "secret", "--source", "5500"}},
    {"cimd2", {"--user", "1234", "--password", "secret", "--originator", "5500"}},
    {"sema", {"--user", "1234", "--password", "secret", "--address", "5500"}},
};

sim::TSimConfig Account() {
  sim::TSimConfig c;
  c.Login = "1234";
  c.Password = "secret";
  c.StatusReportDelayMs = 20;
  return c;
}

TArgs Send(const TProtocolCase& P, int Port, TArgs More) {
  TArgs a = {"send", "--protocol", P.Protocol, "--port", std::to_string(Port),
             "--to", "0612345678"};
  a.insert(a.end(), P.Session.begin(), P.Session.end());
  a.insert(a.end(), More.begin(), More.end());
  return a;
}

const TProtocolCase& Smpp() {
  return kProtocols[1];
}

// 160 characters go in one message; this needs three parts of 153.
const std::string kLongText = std::string(400, 'x');

TEST(BulkSend, EveryProtocolSendsTwoHundredThroughTheWindow) {
  for (const TProtocolCase& p : kProtocols) {
    SCOPED_TRACE(p.Protocol);
    TSimulator s(p.Protocol, Account());
    TRun run = RunCommand(
        CmdSend, Send(p, s.Port(), {"--text", "Hello", "--count", "200", "--window", "20"}));
    EXPECT_EQ(run.Exit, kExitOk) << run.Err;
    EXPECT_TRUE(Contains(run.Out, "Messages: 200 of 200 sent in ")) << run.Out;
    EXPECT_TRUE(Contains(run.Out, "Results: 200 accepted, 0 refused, 0 timed out\n")) << run.Out;
    EXPECT_TRUE(Contains(run.Out, "Latency (ms): p50 ")) << run.Out;
    EXPECT_TRUE(Contains(run.Out, ", max ")) << run.Out;
    EXPECT_EQ(s->CountSubmits(), 200);
    // Not a terminal: no progress line.
    EXPECT_FALSE(Contains(run.Out, "\r")) << run.Out;
  }
}

TEST(BulkSend, RefusalsAreCountedByCodeAndFailTheRun) {
  sim::TSimConfig c = Account();
  c.SubmitErrorCode = 0x45;
  TSimulator s("smpp", c);
  TRun run = RunCommand(CmdSend,
                        Send(Smpp(), s.Port(), {"--text", "Hi", "--count", "30", "--window", "5"}));
  EXPECT_EQ(run.Exit, kExitFailure);
  EXPECT_TRUE(Contains(run.Out, "Results: 0 accepted, 30 refused, 0 timed out\n")) << run.Out;
  EXPECT_TRUE(Contains(run.Out, "  30 refused: refused by the SMSC with command_status 0x00000045"))
      << run.Out;
  EXPECT_TRUE(Contains(run.Err, "30 of 30 messages were not accepted")) << run.Err;
}

// The rate spaces submits evenly: 20 at 50 a second span at least 19/50 s.
// Only the lower bound is checked, with slack.
TEST(BulkSend, RateSpacesTheSubmits) {
  TSimulator s("smpp", Account());
  auto start = std::chrono::steady_clock::now();
  TRun run = RunCommand(
      CmdSend,
      Send(Smpp(), s.Port(), {"--text", "Hi", "--count", "20", "--window", "10", "--rate", "50"}));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(run.Exit, kExitOk) << run.Err;
  EXPECT_EQ(s->CountSubmits(), 20);
  EXPECT_GE(took, std::chrono::milliseconds(300));
}

TEST(BulkSend, LongTextGoesInConcatenatedPartsUnlessSplittingIsRefused) {
  for (const TProtocolCase& p : kProtocols) {
    SCOPED_TRACE(p.Protocol);
    TSimulator s(p.Protocol, Account());
    // One message (no --count): the parts and their results are printed.
    TRun one = RunCommand(CmdSend, Send(p, s.Port(), {"--text", kLongText}));
    EXPECT_EQ(one.Exit, kExitOk) << one.Err;
    EXPECT_TRUE(Contains(one.Out, "Part 1 of 3:\n")) << one.Out;
    EXPECT_TRUE(Contains(one.Out, "Part 3 of 3:\n")) << one.Out;
    std::vector<sim::TSubmitRecord> parts = s->Submits();
    ASSERT_EQ(parts.size(), 3u);
    std::u16string joined;
    for (size_t i = 0; i < parts.size(); ++i) {
      // IE 00: length 3, a reference shared by the parts, 3 parts, number i+1.
      const std::string& h = parts[i].UserDataHeader;
      ASSERT_EQ(h.size(), 6u);
      EXPECT_EQ(h.substr(0, 3), std::string("\x05\x00\x03", 3));
      EXPECT_EQ(h[3], parts[0].UserDataHeader[3]);
      EXPECT_EQ(h[4], '\x03');
      EXPECT_EQ(static_cast<size_t>(h[5]), i + 1);
      joined += parts[i].Text;
    }
    EXPECT_EQ(joined, std::u16string(400, u'x'));

    s->ClearRecords();
    TRun refused = RunCommand(CmdSend, Send(p, s.Port(), {"--text", kLongText, "--no-split"}));
    EXPECT_EQ(refused.Exit, kExitFailure);
    EXPECT_TRUE(Contains(refused.Err, "--no-split forbids splitting it")) << refused.Err;
    EXPECT_EQ(s->CountSubmits(), 0);
  }
}

TEST(BulkSend, BulkLongTextCountsPartsAndWaitsForEveryReport) {
  TSimulator s("smpp", Account());
  TRun run = RunCommand(
      CmdSend, Send(Smpp(), s.Port(),
                    {"--text", kLongText, "--count", "4", "--window", "6", "--wait", "5"}));
  EXPECT_EQ(run.Exit, kExitOk) << run.Err;
  EXPECT_TRUE(Contains(run.Out, "Results: 4 accepted, 0 refused, 0 timed out\n")) << run.Out;
  EXPECT_TRUE(Contains(run.Out, "Parts: 12 submitted, 12 accepted\n")) << run.Out;
  EXPECT_EQ(s->CountSubmits(), 12);
}

// An SMSC that throttles: every message still completes, the throttled ones
// reported as refused with ESME_RTHROTTLED, and the run fails.
TEST(BulkSend, ThrottlingSmscCompletesEveryMessage) {
  sim::TSimConfig c = Account();
  c.ThrottleAbovePerSecond = 30;
  TSimulator s("smpp", c);
  TRun run = RunCommand(
      CmdSend, Send(Smpp(), s.Port(), {"--text", "Hi", "--count", "60", "--window", "10"}));
  EXPECT_EQ(run.Exit, kExitFailure);
  EXPECT_TRUE(Contains(run.Out, "Messages: 60 of 60 sent")) << run.Out;
  EXPECT_TRUE(Contains(run.Out, " refused: refused by the SMSC with command_status 0x00000058 "
                                "ESME_RTHROTTLED"))
      << run.Out;
  EXPECT_TRUE(Contains(run.Out, " 0 timed out\n")) << run.Out;
  EXPECT_GE(s->CountSubmits(), 30);
  EXPECT_LT(s->CountSubmits(), 60);
  EXPECT_TRUE(Contains(run.Err, "messages were not accepted")) << run.Err;
}

TEST(BulkSend, OptionsOutOfRangeAreUsageErrors) {
  TSimulator s("ucp", Account());
  struct Case {
    TArgs More;
    const char* Message;
  } cases[] = {
      {{"--count", "0"}, "--count takes a number from 1"},
      {{"--window", "0"}, "--window takes a number from 1 to 1000"},
      {{"--window", "101"}, "--window takes at most 100 with ucp"},
      {{"--rate", "0"}, "--rate takes submits a second"},
      {{"--rate", "fast"}, "--rate takes submits a second"},
  };
  for (const Case& c : cases) {
    TArgs more = {"--text", "Hi"};
    more.insert(more.end(), c.More.begin(), c.More.end());
    TRun run = RunCommand(CmdSend, Send(kProtocols[0], s.Port(), more));
    EXPECT_EQ(run.Exit, kExitUsage) << c.Message;
    EXPECT_TRUE(Contains(run.Err, c.Message)) << run.Err;
  }
  EXPECT_EQ(s->SessionsAccepted(), 0);
}

} // namespace
} // namespace garvel::cli
