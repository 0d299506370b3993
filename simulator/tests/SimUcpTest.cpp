// The simulator's UCP side, seen from a raw TCP client on 127.0.0.1.
#include "UcpPersonality.h"

#include "SimFixture.h"
#include "SmscServer.h"

#include "Sockets.h"
#include "SyncObjs.h"
#include "SysUtils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace garvel::sim {
namespace {

const std::string STX = "\x02";
const std::string ETX = "\x03";

// Frames written out by hand (checksums included), so that they check the
// simulator's builder rather than repeat it.
const std::string kLoginOk = "01/00051/O/60/1234/1/1/1/736563726574//0100//////97";
const std::string kLoginWrongPwd = "01/00049/O/60/1234/1/1/1/77726F6E67//0100//////5C";
const std::string kLoginStyp3 = "01/00051/O/60/1234/1/1/3/736563726574//0100//////99";
const std::string kAlert = "01/00032/O/31/0612345678/0100/EE";
const std::string kSubmitHello =
    "01/00076/O/51/0612345678/1234//1//7/////////////3//48656C6C6F/////////////92";

/// A client that speaks raw bytes to the simulator.
class TRawClient {
public:
  explicit TRawClient(int Port) {
    FClient.RemoteHost = "127.0.0.1";
    FClient.RemotePort = std::to_string(Port);
    Connected = FClient.Connect();
  }

  void SendFrame(const std::string& Inner) { SendBytes(STX + Inner + ETX); }
  void SendBytes(const std::string& Bytes) {
    ASSERT_EQ(FClient.SendBuf(Bytes.data(), static_cast<int>(Bytes.size())),
              static_cast<int>(Bytes.size()));
  }

  /// The next frame without STX and ETX, or "" when none came in time. Bytes
  /// before the STX are kept in Skipped.
  std::string ReadFrame(int TimeoutMs = 5000) {
    int64_t deadline = GetTickCount64() + TimeoutMs;
    for (;;) {
      size_t s = FBuf.find('\x02');
      size_t e = s == std::string::npos ? s : FBuf.find('\x03', s);
      if (e != std::string::npos) {
        Skipped += FBuf.substr(0, s);
        std::string f = FBuf.substr(s + 1, e - s - 1);
        FBuf.erase(0, e + 1);
        return f;
      }
      int64_t left = deadline - GetTickCount64();
      if (left <= 0 || !Fill(static_cast<int>(left)))
        return {};
    }
  }

  /// Reads until the connection ends; the wait's result.
  TWaitForDataResult WaitEnd(int TimeoutMs = 5000) {
    int64_t deadline = GetTickCount64() + TimeoutMs;
    for (;;) {
      int64_t left = deadline - GetTickCount64();
      if (left <= 0)
        return wdTimeout;
      TWaitForDataResult w = FClient.WaitForData(static_cast<int>(left));
      if (w != wdReadable)
        return w;
      Drain();
    }
  }

  /// Bytes arrived by the first read after they start coming.
  size_t FirstChunk(int TimeoutMs = 5000) {
    if (FClient.WaitForData(TimeoutMs) != wdReadable)
      return 0;
    Drain();
    return FBuf.size();
  }

  int LastError() const { return FClient.LastError(); }

  bool Connected = false;
  std::string Skipped;

private:
  bool Fill(int TimeoutMs) {
    if (FClient.WaitForData(TimeoutMs) != wdReadable)
      return false;
    Drain();
    return true;
  }
  void Drain() {
    char b[4096];
    int n = FClient.ReceiveBuf(b, sizeof b);
    FBuf.append(b, static_cast<size_t>(n));
  }

  TCustomIpClient FClient;
  std::string FBuf;
};

TSimConfig WithCredentials() {
  TSimConfig c;
  c.Login = "1234";
  c.Password = "secret";
  return c;
}

TEST(SimUcp, LoginAnswers) {
  struct Case {
    const char* Name;
    int ErrorCode; // LoginErrorCode configured
    std::string Request;
    std::string Answer;
  } cases[] = {
      {"right credentials", 7, kLoginOk, "01/00019/R/60/A//6E"},
      {"wrong password", 7, kLoginWrongPwd, "01/00022/R/60/N/07//0B"},
      {"wrong password, own EC", 4, kLoginWrongPwd, "01/00022/R/60/N/04//08"},
      {"session type other than open", 7, kLoginStyp3, "01/00022/R/60/N/04//08"},
      {"too few fields", 7, "01/00023/O/60/1234/1/20", "01/00022/R/60/N/02//06"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TSimConfig cfg = WithCredentials();
    cfg.LoginErrorCode = c.ErrorCode;
    TSmscServer s("ucp", cfg);
    ASSERT_TRUE(s.Start());
    TRawClient cl(s.Port());
    ASSERT_TRUE(cl.Connected);
    cl.SendFrame(c.Request);
    EXPECT_EQ(cl.ReadFrame(), c.Answer);
    ASSERT_TRUE(s.WaitReceived("O/60", 1, 5000));
    EXPECT_TRUE(s.Received().at(0).Valid);
  }
}

TEST(SimUcp, SubmitIsAcceptedWithRecipientAndTimeStamp) {
  TSimConfig cfg;
  cfg.StatusReportDelayMs = -1;
  TSmscServer s("ucp", cfg);
  ASSERT_TRUE(s.Start());
  TRawClient cl(s.Port());
  cl.SendFrame(kSubmitHello);
  std::string a1 = cl.ReadFrame();
  cl.SendFrame(kSubmitHello);
  std::string a2 = cl.ReadFrame();
  std::regex ok(R"(01/00043/R/51/A//0612345678:(\d{12})/[0-9A-F]{2})");
  std::smatch m1, m2;
  ASSERT_TRUE(std::regex_match(a1, m1, ok)) << a1;
  ASSERT_TRUE(std::regex_match(a2, m2, ok)) << a2;
  EXPECT_NE(m1[1].str(), m2[1].str()) << "two submits in one second share an identifier";

  ASSERT_TRUE(s.WaitSubmits(2, 5000));
  TSubmitRecord r = s.Submits().at(0);
  EXPECT_EQ(r.MessageId, "0612345678:" + m1[1].str());
  EXPECT_EQ(r.Destination, "0612345678");
  EXPECT_EQ(r.Originator, "1234");
  EXPECT_EQ(r.Text, u"Hello");
  EXPECT_EQ(r.Encoding, et7BitText);
  EXPECT_TRUE(r.StatusReportRequested);
  EXPECT_FALSE(r.DirectDisplay);
  EXPECT_EQ(ucp::FormatTimeStamp(r.TimeStamp), m1[1].str());
}

TEST(SimUcp, SubmitDecodesEncodingsHeaderAndAlphanumericOriginator) {
  TSmscServer s("ucp");
  ASSERT_TRUE(s.Start());
  TRawClient cl(s.Port());
  std::vector<std::string> f(33);
  f[0] = "0612345678";
  f[1] = "0641E110"; // "ABC" packed
  f[28] = "5039";
  f[18] = "4";
  f[19] = "32";
  f[20] = "004820AC";
  f[30] = "0106050003AB0201020118"; // header, UCS-2 + flash
  cl.SendBytes(ucp::BuildFrame(1, 'O', 51, f));
  EXPECT_NE(cl.ReadFrame().find("/R/51/A//"), std::string::npos);
  ASSERT_TRUE(s.WaitSubmits(1, 5000));
  TSubmitRecord r = s.Submits().at(0);
  EXPECT_EQ(r.Originator, "ABC");
  EXPECT_EQ(r.Encoding, etUCS2Text);
  EXPECT_EQ(r.Text, u"H\u20AC");
  EXPECT_EQ(r.UserDataHeader, std::string("\x05\x00\x03\xAB\x02\x01", 6));
  EXPECT_TRUE(r.DirectDisplay);
  EXPECT_FALSE(r.StatusReportRequested);
}

TEST(SimUcp, SubmitRefusals) {
  struct Case {
    const char* Name;
    TSimConfig Config;
    std::string Request;
    std::string Answer;
  };
  TSimConfig refuse;
  refuse.SubmitErrorCode = 42;
  TSimConfig login;
  login.RequireLogin = true;
  std::string badSum = kSubmitHello.substr(0, kSubmitHello.size() - 2) + "93";
  std::string badLen = "01/00077" + kSubmitHello.substr(8);
  Case cases[] = {
      {"configured refusal", refuse, kSubmitHello, "01/00022/R/51/N/42//0A"},
      {"before login", login, kSubmitHello, "01/00022/R/51/N/04//08"},
      {"wrong checksum", {}, badSum, "01/00022/R/51/N/01//05"},
      {"wrong length", {}, badLen, "01/00022/R/51/N/02//06"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TSmscServer s("ucp", c.Config);
    ASSERT_TRUE(s.Start());
    TRawClient cl(s.Port());
    cl.SendFrame(c.Request);
    EXPECT_EQ(cl.ReadFrame(), c.Answer);
    EXPECT_TRUE(s.Submits().empty());
  }
}

// Numeric fields are numbers whatever their width: some clients write NB,
// MT and the like with leading zeros.
TEST(SimUcp, NumericFieldsMayCarryLeadingZeros) {
  auto submit = [](const std::string& NRq, const std::string& MT, const std::string& NB,
                   const std::string& Msg, const std::string& XSer) {
    std::vector<std::string> f(33);
    f[0] = "0612345678";
    f[1] = "1234";
    f[3] = NRq;
    f[18] = MT;
    f[19] = NB;
    f[20] = Msg;
    f[30] = XSer;
    return ucp::BuildFrame(1, 'O', 51, f);
  };
  struct Case {
    const char* Name;
    std::string Frame;
    bool Accepted;
    std::u16string Text;
    TxcEncodingType Encoding;
    bool Report;
  } cases[] = {
      {"UCS-2, NB 0032", submit("", "4", "0032", "004820AC", "020108"), true, u"H€", etUCS2Text,
       false},
      {"8-bit, MT 04, NB 0016", submit("", "04", "0016", "ABCD", "020104"), true, u"ABCD",
       et8BitHexadecimal, false},
      {"text, MT 03, NRq 01", submit("01", "03", "", "4869", ""), true, u"Hi", et7BitText, true},
      {"NB 0033 is still wrong", submit("", "4", "0033", "004820AC", "020108"), false, u"",
       et7BitText, false},
      {"NB with a sign", submit("", "4", "+32", "004820AC", "020108"), false, u"", et7BitText,
       false},
      {"no MT", submit("", "", "", "4869", ""), false, u"", et7BitText, false},
  };
  TSmscServer s("ucp");
  ASSERT_TRUE(s.Start());
  TRawClient cl(s.Port());
  int accepted = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    cl.SendBytes(c.Frame);
    std::string answer = cl.ReadFrame();
    if (!c.Accepted) {
      EXPECT_NE(answer.find("/R/51/N/02/"), std::string::npos) << answer;
      continue;
    }
    EXPECT_NE(answer.find("/R/51/A//"), std::string::npos) << answer;
    ASSERT_TRUE(s.WaitSubmits(++accepted, 5000));
    TSubmitRecord r = s.Submits().back();
    EXPECT_EQ(r.Text, c.Text);
    EXPECT_EQ(r.Encoding, c.Encoding);
    EXPECT_EQ(r.StatusReportRequested, c.Report);
  }

  // An alphanumeric originator announced as OTOA 05039, and a login whose
  // session type is 01.
  std::vector<std::string> f(33);
  f[0] = "0612345678";
  f[1] = "0641E110"; // "ABC" packed
  f[18] = "3";
  f[20] = "4869";
  f[28] = "05039";
  cl.SendBytes(ucp::BuildFrame(2, 'O', 51, f));
  EXPECT_NE(cl.ReadFrame().find("/R/51/A//"), std::string::npos);
  ASSERT_TRUE(s.WaitSubmits(++accepted, 5000));
  EXPECT_EQ(s.Submits().back().Originator, "ABC");
  cl.SendBytes(ucp::BuildFrame(
      3, 'O', 60, {"1234", "1", "1", "01", "736563726574", "", "0100", "", "", "", "", ""}));
  EXPECT_EQ(cl.ReadFrame(), "03/00019/R/60/A//70");
}

TEST(SimUcp, KeepAlivesAreAnswered) {
  TSmscServer s("ucp");
  ASSERT_TRUE(s.Start());
  TRawClient cl(s.Port());
  cl.SendFrame(kAlert);
  EXPECT_EQ(cl.ReadFrame(), "01/00019/R/31/A//6C");
  cl.SendFrame("07/00052/O/01//0612345678//3/4B6565702D416C697665/40");
  EXPECT_EQ(cl.ReadFrame(), "07/00019/R/01/A//6F");
}

TEST(SimUcp, AutomaticStatusReportFollowsSubmitThatAskedForOne) {
  TSimConfig cfg;
  cfg.StatusReportDelayMs = 50;
  cfg.ReportStatus = 2;
  cfg.ReportReason = 7;
  TSmscServer s("ucp", cfg);
  ASSERT_TRUE(s.Start());
  TRawClient cl(s.Port());
  int64_t t0 = GetTickCount64();
  cl.SendFrame(kSubmitHello);
  std::string answer = cl.ReadFrame();
  std::string report = cl.ReadFrame();
  EXPECT_GE(GetTickCount64() - t0, 50);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(answer, m, std::regex(R"(:(\d{12})/)")));
  ucp::TUcpFrame p = ucp::ParseFrame(STX + report + ETX);
  ASSERT_TRUE(p.Ok && p.LenOk && p.CheckSumOk) << report;
  EXPECT_EQ(p.OR, 'O');
  EXPECT_EQ(p.OT, 53);
  ASSERT_EQ(p.Fields.size(), 33u);
  EXPECT_EQ(p.Fields[0], "1234");       // AdC: the sender of the reported message
  EXPECT_EQ(p.Fields[1], "0612345678"); // OAdC: its recipient
  EXPECT_EQ(p.Fields[14], m[1].str());  // SCTS of the submit
  EXPECT_EQ(p.Fields[15], "2");
  EXPECT_EQ(p.Fields[16], "007");
  EXPECT_EQ(p.Fields[17].size(), 12u);

  // The acknowledgement is recorded; nothing answers it.
  cl.SendBytes(ucp::BuildFrame(p.TRN, 'R', 53, {"A", "", ""}));
  EXPECT_TRUE(s.WaitReceived("R/53", 1, 5000));
  EXPECT_EQ(cl.ReadFrame(200), "");
}

TEST(SimUcp, DeliversMessagesInEachEncoding) {
  TSmscServer s("ucp");
  ASSERT_TRUE(s.Start());
  TRawClient cl(s.Port());
  ASSERT_TRUE(s.WaitForSessions(1, 5000));
  const TDateTime ts = EncodeDateTime(2012, 3, 2, 12, 34, 56, 0);
  struct Case {
    const char* Name;
    TSimMessage Message;
    std::string Frame;
  } cases[] = {
      {"7-bit",
       {"0612345678", "1234", u"Hello", et7BitText, "", ts},
       "01/00086/O/52/0612345678/1234/////////////020312123456////3//48656C6C6F/////////////89"},
      {"8-bit",
       {"0612345678", "1234", u"abcd", et8BitHexadecimal, "", ts},
       "02/00088/O/52/0612345678/1234/////////////020312123456////4/16/ABCD//////////020104///E0"},
      {"UCS-2 with header",
       {"0612345678", "1234", u"H\u20AC", etUCS2Text, std::string("\x05\x00\x03\xAB\x02\x01", 6),
        ts},
       "03/00108/O/52/0612345678/1234/////////////020312123456////4/32/004820AC//////////"
       "0106050003AB0201020108///B9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(s.Deliver(c.Message), prSent);
    EXPECT_EQ(cl.ReadFrame(), c.Frame);
  }
  TSimMessage bad{"06/1", "1234", u"x", et7BitText, "", ts};
  EXPECT_EQ(s.Deliver(bad), prCannotCarry);
  TSimMessage notHex{"0612345678", "1234", u"xyz", et8BitHexadecimal, "", ts};
  EXPECT_EQ(s.Deliver(notHex), prCannotCarry);
}

TEST(SimUcp, AlertCarriesTheLoggedInAddress) {
  TSmscServer s("ucp");
  EXPECT_EQ(s.Alert(), prNoSession);
  ASSERT_TRUE(s.Start());
  TRawClient cl(s.Port());
  cl.SendFrame(kLoginOk);
  EXPECT_EQ(cl.ReadFrame(), "01/00019/R/60/A//6E");
  EXPECT_EQ(s.Alert(), prSent);
  EXPECT_EQ(cl.ReadFrame(), "01/00026/O/31/1234/0539/C1");
}

TEST(SimUcp, LateAndMissingAnswers) {
  TSimConfig cfg;
  cfg.ResponseDelayMs = 150;
  TSmscServer s("ucp", cfg);
  ASSERT_TRUE(s.Start());
  TRawClient cl(s.Port());
  int64_t t0 = GetTickCount64();
  cl.SendFrame(kAlert);
  EXPECT_EQ(cl.ReadFrame(), "01/00019/R/31/A//6C");
  EXPECT_GE(GetTickCount64() - t0, 150);

  cfg.ResponseDelayMs = 0;
  cfg.SilentOperations = {"O/51"};
  s.SetConfig(cfg);
  cl.SendFrame(kSubmitHello);
  EXPECT_EQ(cl.ReadFrame(300), "");
  EXPECT_EQ(s.CountReceived("O/51"), 1);
  cl.SendFrame(kAlert); // other operations still answered
  EXPECT_EQ(cl.ReadFrame(), "01/00019/R/31/A//6C");
}

TEST(SimUcp, ClosesOrResetsAfterConfiguredFrames) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    TSimConfig cfg;
    (reset ? cfg.ResetAfterFrames : cfg.CloseAfterFrames) = 2;
    TSmscServer s("ucp", cfg);
    ASSERT_TRUE(s.Start());
    TRawClient cl(s.Port());
    cl.SendFrame(kAlert);
    EXPECT_EQ(cl.ReadFrame(), "01/00019/R/31/A//6C");
    cl.SendFrame(kAlert);
    EXPECT_EQ(cl.WaitEnd(), reset ? wdFailed : wdClosed);
    if (reset) {
      EXPECT_EQ(cl.LastError(), ECONNRESET);
    }
    EXPECT_EQ(s.CountReceived("O/31"), 2);
    EXPECT_TRUE(s.WaitNoSession(5000));
  }
}

TEST(SimUcp, SplitsFramesAndSendsGarbage) {
  TSimConfig cfg;
  cfg.SplitPieceSize = 4;
  cfg.SplitDelayMs = 30;
  cfg.GarbageBeforeFrames = true;
  TSmscServer s("ucp", cfg);
  ASSERT_TRUE(s.Start());
  TRawClient cl(s.Port());
  cl.SendFrame(kAlert);
  EXPECT_LT(cl.FirstChunk(), 8u);
  // The garbage holds an STX too; the real frame is the last one.
  std::string f;
  for (int i = 0; i < 3 && f != "01/00019/R/31/A//6C"; ++i)
    f = cl.ReadFrame();
  EXPECT_EQ(f, "01/00019/R/31/A//6C");
  EXPECT_EQ(cl.Skipped.substr(0, 7), "garbage");
}

TEST(SimUcp, ClientGarbageIsSkippedAndAnOverlongFrameDropped) {
  TSmscServer s("ucp");
  ASSERT_TRUE(s.Start());
  TRawClient cl(s.Port());
  cl.SendBytes("noise" + STX + "half a frame" + STX + kAlert + ETX);
  EXPECT_EQ(cl.ReadFrame(), "01/00019/R/31/A//6C");
  // An STX never closed: the simulator keeps no more than one frame's worth.
  cl.SendBytes(STX + std::string(ucp::kMaxLen + 10, 'x'));
  cl.SendFrame(kAlert);
  EXPECT_EQ(cl.ReadFrame(), "01/00019/R/31/A//6C");
  EXPECT_EQ(s.CountReceived("O/31"), 2);
}

TEST(SimUcp, CutTable) {
  TUcpPersonality p;
  struct Case {
    const char* Name;
    std::string Bytes;
    TFrameCut::TKind Kind;
    size_t Length;
  } cases[] = {
      {"empty", "", TFrameCut::fcNeedMore, 0},
      {"partial", STX + "01/000", TFrameCut::fcNeedMore, 0},
      {"whole", STX + "ab" + ETX + "x", TFrameCut::fcFrame, 4},
      {"leading noise", "xy" + STX, TFrameCut::fcSkip, 2},
      {"noise only", "xyz", TFrameCut::fcSkip, 3},
      {"restarted frame", STX + "ab" + STX + "c" + ETX, TFrameCut::fcSkip, 3},
      {"too long", STX + std::string(ucp::kMaxLen + 1, 'x'), TFrameCut::fcSkip, 1},
      {"longest possible", STX + std::string(ucp::kMaxLen, 'x'), TFrameCut::fcNeedMore, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TFrameCut cut = p.Cut(c.Bytes);
    EXPECT_EQ(cut.Kind, c.Kind);
    EXPECT_EQ(cut.Length, c.Length);
  }
}

TEST(SimServer, ServesClientsApartAndStopsWithClientsAttached) {
  garvel::testing::TSimulator sim("ucp");
  TRawClient a(sim.Port());
  TRawClient b(sim.Port());
  ASSERT_TRUE(sim->WaitForSessions(2, 5000));
  a.SendFrame(kLoginOk);
  EXPECT_EQ(a.ReadFrame(), "01/00019/R/60/A//6E");
  b.SendFrame(kAlert);
  EXPECT_EQ(b.ReadFrame(), "01/00019/R/31/A//6C");
  std::vector<TReceivedFrame> r = sim->Received();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_NE(r[0].Session, r[1].Session);
  // Pushes go to the newest connection.
  EXPECT_EQ(sim->Alert(), prSent);
  EXPECT_NE(b.ReadFrame().find("/O/31/"), std::string::npos);
  sim->Stop(); // neither client has closed
  EXPECT_EQ(a.WaitEnd(), wdClosed);
  EXPECT_EQ(b.WaitEnd(), wdClosed);
  EXPECT_EQ(sim->Deliver({}), prNoSession);
}

TEST(SimServer, ClosesOrResetsConnectionsOnDemand) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    garvel::testing::TSimulator sim("ucp");
    TRawClient cl(sim.Port());
    ASSERT_TRUE(sim->WaitForSessions(1, 5000));
    sim->CloseSessions(reset);
    EXPECT_EQ(cl.WaitEnd(), reset ? wdFailed : wdClosed);
    EXPECT_TRUE(sim->WaitNoSession(5000));
    EXPECT_EQ(sim->SessionCount(), 0);
  }
}

TEST(SimServer, RecordsKeepTheLastFramesAndCountEveryOne) {
  TSimConfig cfg;
  cfg.RecordLimit = 3;
  cfg.StatusReportDelayMs = -1;
  TSmscServer s("ucp", cfg);
  ASSERT_TRUE(s.Start());
  TRawClient cl(s.Port());
  for (int trn = 1; trn <= 10; ++trn) {
    cl.SendBytes(ucp::BuildFrame(trn, 'O', 31, {"0612345678", "0100"}));
    ASSERT_NE(cl.ReadFrame(), "");
  }
  std::vector<std::string> ids;
  for (int i = 0; i < 5; ++i) {
    cl.SendFrame(kSubmitHello);
    std::smatch m;
    std::string a = cl.ReadFrame();
    ASSERT_TRUE(std::regex_search(a, m, std::regex("/A//([^/]+)/"))) << a;
    ids.push_back(m[1].str());
  }
  EXPECT_EQ(s.CountReceived("O/31"), 10);
  EXPECT_EQ(s.CountReceived("O/51"), 5);
  EXPECT_TRUE(s.WaitReceived("O/31", 10, 0));
  EXPECT_EQ(s.CountSubmits(), 5);
  EXPECT_TRUE(s.WaitSubmits(5, 0));
  std::vector<TReceivedFrame> r = s.Received();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].Operation, "O/51");
  std::vector<TSubmitRecord> sub = s.Submits();
  ASSERT_EQ(sub.size(), 3u);
  EXPECT_EQ(sub[0].MessageId, ids[2]);
  EXPECT_EQ(sub[2].MessageId, ids[4]);

  // A lower limit applies at once; ClearRecords starts the counts afresh.
  cfg.RecordLimit = 1;
  s.SetConfig(cfg);
  EXPECT_EQ(s.Received().size(), 1u);
  EXPECT_EQ(s.Submits().size(), 1u);
  s.ClearRecords();
  EXPECT_EQ(s.CountReceived("O/31"), 0);
  EXPECT_EQ(s.CountSubmits(), 0);
  EXPECT_TRUE(s.Received().empty());
}

/// The lines a server logs, kept for a test to read once it has stopped.
struct TLogLines {
  void Attach(TSmscServer& S) {
    S.OnLog = [this](const std::string& L) {
      std::lock_guard<std::mutex> g(Lock);
      Lines.push_back(L);
      Bytes += L.size();
    };
  }
  /// Sum of the numbers that Pattern's first group captures over every line.
  int64_t Sum(const std::regex& Pattern) const {
    int64_t n = 0;
    std::smatch m;
    for (const std::string& l : Lines)
      if (std::regex_search(l, m, Pattern))
        n += std::stoll(m[1].str());
    return n;
  }
  std::mutex Lock;
  std::vector<std::string> Lines;
  size_t Bytes = 0;
};

TEST(SimServer, SkippedBytesAreLoggedAsOneCount) {
  TSmscServer s("ucp");
  TLogLines log;
  log.Attach(s);
  ASSERT_TRUE(s.Start());
  TRawClient cl(s.Port());
  const size_t noise = 256 * 1024;
  cl.SendBytes(std::string(noise, '\x01'));
  cl.SendFrame(kAlert);
  EXPECT_EQ(cl.ReadFrame(), "01/00019/R/31/A//6C");
  s.Stop();
  EXPECT_EQ(log.Sum(std::regex("skipped (\\d+) byte")), static_cast<int64_t>(noise));
  EXPECT_LT(log.Bytes, 4096u) << "the skipped bytes themselves went to the log";
}

TEST(SimServer, LogHoldsBackAFloodAndCountsWhatItHeldBack) {
  TSmscServer s("ucp");
  TLogLines log;
  log.Attach(s);
  const int64_t t0 = GetTickCount64();
  ASSERT_TRUE(s.Start());
  const int frames = 1000;
  {
    TRawClient cl(s.Port());
    std::string flood;
    for (int i = 0; i < frames; ++i)
      flood += ucp::BuildFrame(i % 100, 'O', 31, {"0612345678", "0100"});
    cl.SendBytes(flood);
    // Every answer read, so that closing resets nothing the server still writes.
    for (int i = 0; i < frames; ++i)
      ASSERT_NE(cl.ReadFrame(), "") << i;
  }
  ASSERT_TRUE(s.WaitNoSession(5000));
  s.Stop();
  const int64_t seconds = (GetTickCount64() - t0) / 1000 + 1;
  size_t written = 0;
  for (const std::string& l : log.Lines)
    written += l.rfind("... ", 0) == 0 ? 0 : 1;
  EXPECT_LE(written, static_cast<size_t>(TSmscServer::kLogBurst +
                                         TSmscServer::kLogLinesPerSecond * seconds));
  // Connected, each frame and its answer, disconnected: every line is
  // either written or counted.
  int64_t counted = log.Sum(std::regex("^\\.\\.\\. (\\d+) lines? not logged")) +
                    log.Sum(std::regex("^\\.\\.\\. the last line (\\d+) more time"));
  EXPECT_EQ(static_cast<int64_t>(written) + counted, 2 + 2 * frames);
}

/// Context switches of each thread of the process, by thread id.
std::map<std::string, long> ThreadSwitches() {
  std::map<std::string, long> r;
  for (const auto& t : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream status(t.path() / "status");
    long n = 0;
    for (std::string line; std::getline(status, line);)
      if (line.find("ctxt_switches:") != std::string::npos)
        n += std::stol(line.substr(line.find(':') + 1));
    r[t.path().filename().string()] = n;
  }
  return r;
}

// An idle connection's thread sleeps: it used to wake every 50 ms to look
// for a reset asked for from another thread.
TEST(SimServer, IdleConnectionSleeps) {
  // Sanitizer runtimes start a helper thread with the first thread the
  // process creates: only threads started after one has come and gone count.
  std::thread([] {}).join();
  std::map<std::string, long> before = ThreadSwitches();
  TSmscServer s("ucp");
  ASSERT_TRUE(s.Start());
  TRawClient cl(s.Port());
  cl.SendFrame(kAlert);
  ASSERT_EQ(cl.ReadFrame(), "01/00019/R/31/A//6C");
  std::map<std::string, long> start = ThreadSwitches();
  TEvent().WaitFor(500);
  std::map<std::string, long> end = ThreadSwitches();
  long woken = 0;
  for (const auto& [tid, n] : end)
    if (!before.count(tid) && start.count(tid))
      woken += n - start[tid];
  EXPECT_LE(woken, 2) << "the simulator's threads woke while nothing happened";
  // A reset asked for now still ends the connection.
  s.CloseSessions(true);
  EXPECT_EQ(cl.WaitEnd(), wdFailed);
  EXPECT_EQ(cl.LastError(), ECONNRESET);
}

TEST(SimServer, UnknownProtocolAndBusyPort) {
  EXPECT_THROW(TSmscServer("x25"), std::invalid_argument);
  TSmscServer a("ucp");
  ASSERT_TRUE(a.Start());
  TSmscServer b("ucp");
  EXPECT_FALSE(b.Start("127.0.0.1", a.Port()));
  EXPECT_EQ(b.LastError(), EADDRINUSE);
}

} // namespace
} // namespace garvel::sim
