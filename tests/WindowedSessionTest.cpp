// Windowed submission, long messages and reassembly with each of the four
// components against the SMSC simulator over TCP.
#include "xcGarvelCIMD2.h"
#include "xcGarvelSEMA.h"
#include "xcGarvelSMPP.h"
#include "xcGarvelUCP.h"

#include "SimFixture.h"
#include "xuSMSCConcat.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace garvel {
namespace {

using testing::TSimulator;

struct TReceivedText {
  std::u16string Text;
  TxcEncodingType Encoding;
  std::string Header; // hexadecimal
};

// One protocol's component behind the few calls these tests make.
class TSession {
public:
  virtual ~TSession() = default;
  virtual TxcGarvel& Relay() = 0;
  virtual int Open(int Port) = 0;
  virtual int SubmitAsync(const std::u16string& Text, TxcEncodingType Encoding,
                          const std::string& Header, TSubmitTicket& Ticket) = 0;
  std::vector<TReceivedText> Received;
};

class TUcpSession : public TSession {
public:
  TUcpSession() {
    C.OnMessageReceived = [this](TObject*, const std::string&, const std::string&,
                                 const std::u16string& Text, TxcEncodingType Encoding,
                                 const std::string& Header, TDateTime) {
      Received.push_back({Text, Encoding, Header});
    };
  }
  TxcGarvel& Relay() override { return C; }
  int Open(int Port) override {
    int r = C.Connect("127.0.0.1", Port);
    return r != 0 ? r : C.InitializeSession("1234", 0, 1, "", false);
  }
  int SubmitAsync(const std::u16string& Text, TxcEncodingType Encoding, const std::string& Header,
                  TSubmitTicket& Ticket) override {
    return C.SubmitMessageAsync("4477001", "1234", Text, Encoding, Header, {}, Ticket);
  }
  ucp::TxcGarvelUCP C{nullptr};
};

class TCimd2Session : public TSession {
public:
  TCimd2Session() {
    C.OnMessageReceived = [this](TObject*, const std::string&, const std::string&,
                                 const std::u16string& Text, TxcEncodingType Encoding,
                                 const std::string& Header, TDateTime) {
      Received.push_back({Text, Encoding, Header});
    };
  }
  TxcGarvel& Relay() override { return C; }
  int Open(int Port) override {
    int r = C.Connect("127.0.0.1", Port);
    return r != 0 ? r : C.InitializeSession("user", "secret");
  }
  int SubmitAsync(const std::u16string& Text, TxcEncodingType Encoding, const std::string& Header,
                  TSubmitTicket& Ticket) override {
    return C.SubmitMessageAsync("4477001", "1234", Text, Encoding, Header, {}, Ticket);
  }
  cimd2::TxcGarvelCIMD2 C{nullptr};
};

class TSemaSession : public TSession {
public:
  TSemaSession() {
    C.OnMessageReceived = [this](TObject*, const std::string&, uint8_t, uint8_t, const std::string&,
                                 uint8_t, uint8_t, const std::u16string& Text,
                                 TxcEncodingType Encoding, const std::string& Header, TDateTime) {
      Received.push_back({Text, Encoding, Header});
    };
  }
  TxcGarvel& Relay() override { return C; }
  int Open(int Port) override {
    int r = C.Connect("127.0.0.1", Port);
    return r != 0 ? r : C.InitializeSession("1234", 1, 1);
  }
  int SubmitAsync(const std::u16string& Text, TxcEncodingType Encoding, const std::string& Header,
                  TSubmitTicket& Ticket) override {
    return C.SubmitMessageAsync("4477001", "1234", 1, 1, Text, Encoding, Header, {}, Ticket);
  }
  sema::TxcGarvelSEMA C{nullptr};
};

class TSmppSession : public TSession {
public:
  TSmppSession() {
    C.OnMessageReceived = [this](TObject*, const std::string&, uint8_t, uint8_t, const std::string&,
                                 uint8_t, uint8_t, const std::u16string& Text,
                                 TxcEncodingType Encoding, const std::string& Header) {
      Received.push_back({Text, Encoding, Header});
    };
  }
  TxcGarvel& Relay() override { return C; }
  int Open(int Port) override {
    int r = C.Connect("127.0.0.1", Port);
    return r != 0 ? r : C.InitializeSession("esme", "secret", 1, 1, "", smpp::bmTransceiver);
  }
  int SubmitAsync(const std::u16string& Text, TxcEncodingType Encoding, const std::string& Header,
                  TSubmitTicket& Ticket) override {
    return C.SubmitMessageAsync("4477001", 1, 1, "1234", 0, 1, Text, Encoding, Header, {}, 0, 0,
                                Ticket);
  }
  smpp::TxcGarvelSMPP C{nullptr};
};

std::unique_ptr<TSession> MakeSession(const std::string& Protocol) {
  if (Protocol == "ucp")
    return std::make_unique<TUcpSession>();
  if (Protocol == "cimd2")
    return std::make_unique<TCimd2Session>();
  if (Protocol == "sema")
    return std::make_unique<TSemaSession>();
  return std::make_unique<TSmppSession>();
}

// A concatenation header as octets, the simulator's form.
std::string ConcatOctets(uint8_t Reference, uint8_t Total, uint8_t Sequence) {
  return std::string{'\x05',
                     '\x00',
                     '\x03',
                     static_cast<char>(Reference),
                     static_cast<char>(Total),
                     static_cast<char>(Sequence)};
}

class Windowed : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    S = MakeSession(GetParam());
    sim::TSimConfig c;
    c.StatusReportDelayMs = -1;
    Sim = std::make_unique<TSimulator>(GetParam(), c);
    TxcGarvel& r = S->Relay();
    r.SetKeepAlive(false);
    r.SetResponseTimeOut(5000);
    r.OnSubmitCompleted = [this](TObject*, const TxcSubmitCompletion& C) {
      ++Seen[C.Ticket];
      Completions.push_back(C);
    };
    r.OnError = [this](TObject*, const std::string& M) { Errors.push_back(M); };
    r.OnDisconnected = [this](TObject*, int) { ReceivedAtDisconnect = S->Received.size(); };
    ASSERT_EQ(S->Open(Sim->Port()), 0);
    ASSERT_EQ(r.State(), rsLoggedIn);
    ASSERT_TRUE((*Sim)->WaitForSessions(1, 5000)) << "UCP opens without a login";
  }
  void TearDown() override {
    Application()->ProcessMessages();
    EXPECT_TRUE(Errors.empty()) << Errors.front();
  }
  bool Pump(const std::function<bool()>& Pred, int Ms = 10000) {
    auto t0 = std::chrono::steady_clock::now();
    while (!Pred()) {
      if (std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(Ms))
        return false;
      Application()->ProcessUntil(Pred, 10);
    }
    return true;
  }
  bool GivesIds() const { return GetParam() == "smpp" || GetParam() == "sema"; }
  bool GivesTimeStamps() const { return GetParam() != "smpp"; }

  std::unique_ptr<TSession> S;
  std::unique_ptr<TSimulator> Sim;
  std::vector<TxcSubmitCompletion> Completions;
  std::map<TSubmitTicket, int> Seen;
  std::vector<std::string> Errors;
  size_t ReceivedAtDisconnect = 0;
};

TEST_P(Windowed, ManySubmitsInFlightEachCompleteOnceWithTheirAnswer) {
  TxcGarvel& r = S->Relay();
  r.SetWindowSize(20);
  std::vector<TSubmitTicket> tickets;
  for (int i = 0; i < 300; ++i) {
    TSubmitTicket t = 0;
    std::u16string text = u"message ";
    text += static_cast<char16_t>(u'a' + i % 26);
    ASSERT_EQ(S->SubmitAsync(text, et7BitText, "", t), 0);
    tickets.push_back(t);
    EXPECT_LE(r.InFlight(), 20);
    Application()->ProcessMessages();
  }
  ASSERT_TRUE(Pump([&] { return Completions.size() == tickets.size(); }));
  for (TSubmitTicket t : tickets)
    EXPECT_EQ(Seen[t], 1);
  for (const auto& c : Completions) {
    ASSERT_EQ(c.Parts.size(), 1u);
    EXPECT_EQ(c.Result, 0);
    if (GivesIds()) {
      EXPECT_FALSE(c.Parts[0].MessageID.empty());
    }
    if (GivesTimeStamps()) {
      EXPECT_NE(c.Parts[0].TimeStamp, 0);
    }
  }
  EXPECT_EQ((*Sim)->CountSubmits(), 300);
  EXPECT_EQ(r.InFlight(), 0);
}

TEST_P(Windowed, LongTextsGoAsConcatenatedPartsUnderOneTicket) {
  // 400 GSM characters: 153 + 153 + 94, with a two-septet character placed
  // across the first boundary.
  std::u16string text(152, u'x');
  text += u"\u20AC"; // the euro sign: escape and code
  text += std::u16string(247, u'y');
  TSubmitTicket t = 0;
  ASSERT_EQ(S->SubmitAsync(text, et7BitText, "", t), 0);
  ASSERT_TRUE(Pump([&] { return Completions.size() == 1; }));
  ASSERT_EQ(Completions[0].Parts.size(), 3u);
  EXPECT_EQ(Completions[0].Result, 0);
  auto submits = (*Sim)->Submits();
  ASSERT_EQ(submits.size(), 3u);
  std::u16string joined;
  uint8_t reference =
      static_cast<uint8_t>(submits[0].UserDataHeader.size() > 3 ? submits[0].UserDataHeader[3] : 0);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(submits[i].UserDataHeader, ConcatOctets(reference, 3, static_cast<uint8_t>(i + 1)));
    joined += submits[i].Text;
  }
  EXPECT_EQ(submits[0].Text.size(), 152u) << "the escape pair stays whole";
  EXPECT_EQ(joined, text);

  // UCS-2 with a surrogate pair across the 67th unit: 67 + 67 + 16.
  std::u16string wide(66, u'\u0416');
  wide += u"\U0001F600";
  wide += std::u16string(82, u'\u0436');
  ASSERT_EQ(S->SubmitAsync(wide, etUCS2Text, "", t), 0);
  ASSERT_TRUE(Pump([&] { return Completions.size() == 2; }));
  EXPECT_EQ(Completions[1].Parts.size(), 3u);
  EXPECT_EQ(Completions[1].Result, 0);
  submits = (*Sim)->Submits();
  ASSERT_EQ(submits.size(), 6u);
  EXPECT_EQ(submits[3].Text.size(), 66u);
  EXPECT_EQ(submits[3].Text + submits[4].Text + submits[5].Text, wide);

  S->Relay().SetSplitLongMessages(false);
  EXPECT_EQ(S->SubmitAsync(text, et7BitText, "", t), rcCannotCarry);
  EXPECT_EQ(t, 0u);
}

TEST_P(Windowed, ReceivedPartsAreJoinedOnceAndStragglersRaisedAsTheyCame) {
  TxcGarvel& r = S->Relay();
  r.SetReassembleMessages(true);
  r.SetReassemblyTimeOut(300);
  auto part = [&](uint8_t Ref, uint8_t Total, uint8_t Seq, const std::u16string& Text) {
    sim::TSimMessage m;
    m.Destination = "1234";
    m.Originator = "4477001";
    m.Text = Text;
    m.UserDataHeader = ConcatOctets(Ref, Total, Seq);
    ASSERT_EQ(static_cast<int>((*Sim)->Deliver(m)), static_cast<int>(sim::prSent));
  };
  part(0x41, 3, 2, u"two ");
  part(0x41, 3, 1, u"one ");
  part(0x41, 3, 1, u"one "); // a repeat
  part(0x42, 2, 1, u"lonely");
  part(0x41, 3, 3, u"three");
  ASSERT_TRUE(Pump([&] { return S->Received.size() == 2; }));
  EXPECT_EQ(S->Received[0].Text, u"one two three");
  EXPECT_EQ(S->Received[0].Header, "");
  EXPECT_EQ(S->Received[1].Text, u"lonely") << "the straggler after its wait";
  // UCP gives the header's octets, the others hexadecimal digits.
  EXPECT_EQ(S->Received[1].Header,
            GetParam() == "ucp" ? ConcatOctets(0x42, 2, 1) : std::string("050003420201"));

  // A part held when the session ends is raised before OnDisconnected.
  r.SetReassemblyTimeOut(60000);
  size_t frames = (*Sim)->Received().size();
  part(0x43, 2, 1, u"cut");
  ASSERT_TRUE(Pump([&] { return (*Sim)->Received().size() > frames; })) << "acknowledged";
  EXPECT_EQ(S->Received.size(), 2u);
  r.Disconnect();
  ASSERT_TRUE(Pump([&] { return r.State() == rsNotConnected; }));
  ASSERT_EQ(S->Received.size(), 3u);
  EXPECT_EQ(ReceivedAtDisconnect, 3u);
  EXPECT_EQ(S->Received[2].Text, u"cut");
}

INSTANTIATE_TEST_SUITE_P(AllProtocols, Windowed, ::testing::Values("ucp", "cimd2", "sema", "smpp"),
                         [](const auto& Info) { return Info.param; });

} // namespace
} // namespace garvel
