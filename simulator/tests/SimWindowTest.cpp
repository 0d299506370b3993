// The simulator under windowed load: many requests in flight, late answers
// that do not hold up reading, the submit throttle of each protocol, and
// SMPP parts marked with the sar_ parameters.
#include "SmscServer.h"

#include "SimFixture.h"

#include "Messages.h"
#include "xcGarvelCIMD2.h"
#include "xcGarvelSEMA.h"
#include "xcGarvelSMPP.h"
#include "xcGarvelUCP.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace garvel::sim {
namespace {

using garvel::testing::TSimulator;

/// A protocol component with an open session against a simulator, behind
/// one interface: open it, then submit "Hi" without waiting.
struct TClient {
  std::unique_ptr<TxcGarvel> Component;
  std::function<int()> Open;
  std::function<int(TSubmitTicket&)> SubmitAsync;
  std::vector<TxcSubmitCompletion> Completions;

  TxcGarvel& operator*() { return *Component; }
  TxcGarvel* operator->() { return Component.get(); }
};

std::unique_ptr<TClient> MakeClient(const std::string& Protocol, int Port) {
  auto c = std::make_unique<TClient>();
  const std::string to = "0612345678", from = "5500";
  if (Protocol == "ucp") {
    auto* u = new ucp::TxcGarvelUCP(nullptr);
    c->Component.reset(u);
    c->Open = [u] { return u->InitializeSession("5500", 6, 5, "", true); };
    c->SubmitAsync = [u, to, from](TSubmitTicket& T) {
      return u->SubmitMessageAsync(to, from, u"Hi", et7BitText, "", {}, T);
    };
  } else if (Protocol == "smpp") {
    auto* s = new smpp::TxcGarvelSMPP(nullptr);
    c->Component.reset(s);
    c->Open = [s] { return s->InitializeSession("esme", "", 0, 0, "", smpp::bmTransceiver); };
    c->SubmitAsync = [s, to, from](TSubmitTicket& T) {
      return s->SubmitMessageAsync(to, 1, 1, from, 0, 0, u"Hi", et7BitText, "", {}, 0, 0, T);
    };
  } else if (Protocol == "cimd2") {
    auto* m = new cimd2::TxcGarvelCIMD2(nullptr);
    c->Component.reset(m);
    c->Open = [m] { return m->InitializeSession("user", ""); };
    c->SubmitAsync = [m, to, from](TSubmitTicket& T) {
      return m->SubmitMessageAsync(to, from, u"Hi", et7BitText, "", {}, T);
    };
  } else {
    auto* m = new sema::TxcGarvelSEMA(nullptr);
    c->Component.reset(m);
    c->Open = [m, from] { return m->InitializeSession(from, 1, 1); };
    c->SubmitAsync = [m, to, from](TSubmitTicket& T) {
      return m->SubmitMessageAsync(to, from, 1, 1, u"Hi", et7BitText, "", {}, T);
    };
  }
  TClient* raw = c.get();
  (*c)->SetKeepAlive(false);
  (*c)->SetResponseTimeOut(5000);
  (*c)->OnSubmitCompleted = [raw](TObject*, const TxcSubmitCompletion& C) {
    raw->Completions.push_back(C);
  };
  if ((*c)->Connect("127.0.0.1", Port) != 0 || c->Open() != 0)
    return nullptr;
  return c;
}

/// Submits Count messages, then pumps until every ticket completed.
/// Returns how many completed; MaxInFlight receives the most seen at once.
size_t SubmitAll(TClient& C, int Count, int* MaxInFlight = nullptr) {
  int sent = 0, most = 0;
  for (int i = 0; i < Count; ++i) {
    TSubmitTicket t = 0;
    if (C.SubmitAsync(t) == 0)
      ++sent;
    most = std::max(most, C->InFlight());
    Application()->ProcessMessages();
  }
  if (MaxInFlight)
    *MaxInFlight = most;
  Application()->ProcessUntil([&] { return C.Completions.size() >= static_cast<size_t>(sent); },
                              20000);
  return C.Completions.size();
}

// A hundred submits in flight with every answer held back: the simulator
// keeps reading while the answers wait, so they all go out after about one
// delay rather than one delay each (which would take 20 s).
TEST(SimWindow, LateAnswersDoNotHoldUpPipelinedRequests) {
  TSimConfig cfg;
  cfg.ResponseDelayMs = 200;
  TSimulator s("smpp", cfg);
  std::unique_ptr<TClient> c = MakeClient("smpp", s.Port());
  ASSERT_TRUE(c);
  (*c)->SetWindowSize(100);
  auto start = std::chrono::steady_clock::now();
  int most = 0;
  ASSERT_EQ(SubmitAll(*c, 100, &most), 100u);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(most, 50); // the window really filled: the submits did not wait for answers
  for (const TxcSubmitCompletion& r : c->Completions)
    EXPECT_EQ(r.Result, 0);
  EXPECT_EQ(s->CountSubmits(), 100);
  EXPECT_LT(took, std::chrono::seconds(8));
  // Answers kept their order although they went out in batches.
  for (size_t i = 1; i < c->Completions.size(); ++i)
    EXPECT_LT(c->Completions[i - 1].Ticket, c->Completions[i].Ticket);
}

// Beyond ThrottleAbovePerSecond in one second, each protocol refuses with
// its own code (or the configured one); the first ones are accepted.
TEST(SimWindow, ThrottleRefusesTheExcessWithTheProtocolsCode) {
  const std::map<std::string, int> expected = {
      {"ucp", 4}, {"smpp", 0x58}, {"cimd2", 10}, {"sema", 1}};
  for (const auto& [protocol, code] : expected) {
    SCOPED_TRACE(protocol);
    TSimConfig cfg;
    cfg.ThrottleAbovePerSecond = 5;
    TSimulator s(protocol, cfg);
    std::unique_ptr<TClient> c = MakeClient(protocol, s.Port());
    ASSERT_TRUE(c);
    (*c)->SetWindowSize(20);
    (*c)->SetThrottleBackOff(0);
    ASSERT_EQ(SubmitAll(*c, 20, nullptr), 20u);
    int accepted = 0, throttled = 0;
    for (const TxcSubmitCompletion& r : c->Completions) {
      accepted += r.Result == 0;
      throttled += r.Result == code;
    }
    // Twenty submits normally fit into one second; a slow machine may let a
    // second one begin, which accepts five more.
    EXPECT_GE(accepted, 5);
    EXPECT_GT(throttled, 0);
    EXPECT_EQ(accepted + throttled, 20);
    EXPECT_EQ(s->CountSubmits(), accepted);
  }

  TSimConfig own;
  own.ThrottleAbovePerSecond = 1;
  own.ThrottleErrorCode = 0x14; // ESME_RMSGQFUL
  TSimulator s("smpp", own);
  std::unique_ptr<TClient> c = MakeClient("smpp", s.Port());
  ASSERT_TRUE(c);
  ASSERT_EQ(SubmitAll(*c, 3, nullptr), 3u);
  EXPECT_EQ(c->Completions[0].Result, 0);
  EXPECT_EQ(c->Completions[2].Result, 0x14);
}

// deliver_sm parts marked with sar_msg_ref_num, sar_total_segments and
// sar_segment_seqnum: a component that joins parts makes one message of them.
TEST(SimWindow, SmppDeliversPartsMarkedWithSarParameters) {
  TSimulator s("smpp");
  smpp::TxcGarvelSMPP esme(nullptr);
  esme.SetKeepAlive(false);
  esme.SetReassembleMessages(true);
  std::vector<std::u16string> texts;
  esme.OnMessageReceived = [&](TObject*, const std::string&, uint8_t, uint8_t, const std::string&,
                               uint8_t, uint8_t, const std::u16string& Text, TxcEncodingType,
                               const std::string&) { texts.push_back(Text); };
  ASSERT_EQ(esme.Connect("127.0.0.1", s.Port()), 0);
  ASSERT_EQ(esme.InitializeSession("esme", "", 0, 0, "", smpp::bmTransceiver), 0);

  TSimMessage m;
  m.Destination = "5500";
  m.Originator = "0612345678";
  m.SarReference = 0x1234;
  m.SarTotal = 2;
  m.SarSequence = 2;
  m.Text = u"world";
  ASSERT_EQ(s->Deliver(m), prSent);
  m.SarSequence = 1;
  m.Text = u"Hello, ";
  ASSERT_EQ(s->Deliver(m), prSent);
  Application()->ProcessUntil([&] { return !texts.empty(); }, 5000);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], u"Hello, world");

  // The parameters as they travel: tag, length, value, after the short message.
  std::string frame;
  TSimMessage one = m;
  one.Text = u"x";
  auto session = s->Personality().NewSession();
  ASSERT_EQ(session->BuildDeliver(one, frame), prSent);
  const std::string tail("\x02\x0C\x00\x02\x12\x34\x02\x0E\x00\x01\x02\x02\x0F\x00\x01\x01", 16);
  ASSERT_GE(frame.size(), tail.size());
  EXPECT_EQ(frame.substr(frame.size() - tail.size()), tail);

  struct {
    int Reference, Total, Sequence;
  } bad[] = {{65536, 2, 1}, {1, 0, 1}, {1, 2, 0}, {1, 256, 1}, {1, 2, 256}};
  for (auto b : bad) {
    one.SarReference = b.Reference;
    one.SarTotal = b.Total;
    one.SarSequence = b.Sequence;
    EXPECT_EQ(session->BuildDeliver(one, frame), prCannotCarry) << b.Reference << " " << b.Total;
  }
}

} // namespace
} // namespace garvel::sim
