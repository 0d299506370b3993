// The CIMD2 codec: packets byte by byte, numbering, the reader over a real
// socket, decoders, and CIMD2's text form.
#include "xcGarvelCIMD2.h"
#include "Cimd2Packets.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

namespace garvel::cimd2 {
namespace {

using test::Packet;
using test::TParams;

std::string Text(const TxcSMSCMessage& M) {
  return std::string(M.FBuffer.begin(), M.FBuffer.end());
}

struct TIn : TxcSMSCMessageCIMD2 {
  explicit TIn(const std::string& Bytes) { AddString(Bytes); }
};

const TDateTime kScts = EncodeDateTime(2012, 3, 2, 12, 34, 56, 0);

// --- Packets we send ---------------------------------------------------------

TEST(Cimd2Encode, NumberingRunsOverOddNumbersAndWraps) {
  TxcSMSCMessageCIMD2 m;
  EXPECT_EQ(m.FPacketNumber, 0);
  m.Reset();
  std::vector<int> numbers;
  for (int i = 0; i < 129; ++i)
    numbers.push_back(m.GetPacketNumber());
  EXPECT_EQ(numbers[0], 1);
  EXPECT_EQ(numbers[1], 3);
  EXPECT_EQ(numbers[2], 5);
  EXPECT_EQ(numbers[127], 255);
  EXPECT_EQ(numbers[128], 1);
}

TEST(Cimd2Encode, ExactPackets) {
  TxcSMSCMessageCIMD2 m;
  m.Reset();
  m.EncodeAliveMsg();
  EXPECT_EQ(Text(m), "\x02"
                     "40:001\t3A\x03");
  m.FPacketNumber = 255;
  m.EncodeAliveMsg();
  EXPECT_EQ(Text(m), "\x02"
                     "40:255\t45\x03");

  // Responses: code + 50, under the packet's own number, no parameters.
  m.EncodeResponseMsg(*std::make_unique<TIn>(Packet(20, 4)));
  EXPECT_EQ(Text(m), "\x02"
                     "70:004\t40\x03");
  m.EncodeResponseMsg(*std::make_unique<TIn>(Packet(23, 6)));
  EXPECT_EQ(Text(m), "\x02"
                     "73:006\t45\x03");
  m.EncodeResponseMsg(*std::make_unique<TIn>(Packet(40, 8)));
  EXPECT_EQ(Text(m), Packet(90, 8));

  m.FPacketNumber = 3;
  ASSERT_TRUE(
      m.EncodeSubmitMsg("0612345678", "1234", u"Hello", et7BitText, "", {soRequestStatusReport}));
  EXPECT_EQ(Text(m), "\x02"
                     "03:003\t021:0612345678\t023:1234\t033:Hello\t056:63\tD1\x03");
  m.FPacketNumber = 3;
  ASSERT_TRUE(m.EncodeSubmitMsg("0612345678", "ABC", u"Hello", et7BitText, "", {}));
  EXPECT_EQ(Text(m), "\x02"
                     "03:003\t021:0612345678\t027:ABC\t033:Hello\t8A\x03");
  m.FPacketNumber = 5;
  ASSERT_TRUE(m.EncodeSubmitMsg("0612345678", "1234", u"Hi", etUCS2Text, "", {}));
  EXPECT_EQ(Text(m), "\x02"
                     "03:005\t021:0612345678\t023:1234\t030:8\t034:00480069\t42\x03");
  ASSERT_TRUE(m.EncodeSubmitMsg("0612345678", "1234", u"Hi", etUCS2Text, "", {soDirectDisplay}));
  EXPECT_EQ(Text(m),
            Packet(3, 7, {{21, "0612345678"}, {23, "1234"}, {30, "24"}, {34, "00480069"}}));
  ASSERT_TRUE(m.EncodeSubmitMsg("0612345678", "", u"0A1b", et8BitHexadecimal, "050003AB0201",
                                {soDirectDisplay}));
  EXPECT_EQ(Text(m),
            Packet(3, 9, {{21, "0612345678"}, {30, "20"}, {32, "050003AB0201"}, {34, "0A1b"}}))
      << "no originator parameter when it is empty";
  ASSERT_TRUE(m.EncodeLoginMsg("user", "secret"));
  EXPECT_EQ(Text(m), Packet(1, 11, {{10, "user"}, {11, "secret"}}));
  m.EncodeLogoutMsg();
  EXPECT_EQ(Text(m), Packet(2, 13));
}

// What a packet cannot carry is refused before a packet number is taken.
TEST(Cimd2Encode, RefusesWhatThePacketCannotCarry) {
  TxcSMSCMessageCIMD2 m;
  m.Reset();
  m.AddString("left over");
  EXPECT_FALSE(m.EncodeLoginMsg("us\ter", "pw"));
  EXPECT_FALSE(m.EncodeLoginMsg("user", "p\x02w"));
  EXPECT_FALSE(m.EncodeSubmitMsg("06\t12", "1234", u"x", et7BitText, "", {}));
  EXPECT_FALSE(m.EncodeSubmitMsg("0612", "12\x03", u"x", et7BitText, "", {}));
  EXPECT_FALSE(m.EncodeSubmitMsg("0612", "1234", u"a\tb", et7BitText, "", {}));
  EXPECT_FALSE(m.EncodeSubmitMsg("0612", "1234", u"\u041F", et7BitText, "", {}))
      << "no GSM character";
  EXPECT_FALSE(m.EncodeSubmitMsg("0612", "1234", u"ABC", et8BitHexadecimal, "", {}));
  EXPECT_FALSE(m.EncodeSubmitMsg("0612", "1234", u"x", et7BitText, "0G", {}));
  m.FSpecialCombinations = false;
  EXPECT_FALSE(m.EncodeSubmitMsg("0612", "1234", u"a\tb", et7BitText, "", {}));
  EXPECT_FALSE(m.EncodeSubmitMsg("0612", "1234", u"\u041F", et7BitText, "", {}));
  EXPECT_EQ(Text(m), "left over");
  EXPECT_EQ(m.FPacketNumber, 1) << "no number taken";
}

// --- Text ----------------------------------------------------------------------

TEST(Cimd2Text, SpecialCombinationsBothWays) {
  struct Case {
    std::u16string Text;
    std::string Cimd2;
  } cases[] = {
      {u"Hello", "Hello"},
      {u"a@b", "a_Oab"},
      {u"snake_case", "snake_--case"},
      {u"{x}", "_XX(x_XX)"},
      {u"[\\]~^|", "_XX<_XX/_XX>_XX=_XX_gl_XX_!!"},
      {u"\u20AC5", "_XXe5"},
      {u"\u00A35 \u00A5", "_L-5 _Y-"},
      {u"\u00E8\u00E9\u00F9\u00EC\u00F2\u00C7", "_e`_e'_u`_i`_o`_C,"},
      {u"\u00D8\u00F8\u00C5\u00E5\u00C6\u00E6\u00DF\u00C9", "_O/_o/_A*_a*_AE_ae_ss_E'"},
      {u"\u0394\u03A6\u0393\u039B\u03A9\u03A0\u03A8\u03A3\u0398\u039E",
       "_gd_gf_gg_gl_go_gp_gi_gs_gt_gx"},
      {u"\"\u00A4\u00A1\u00BF\u00A7", "_qq_ox_!!_??_so"},
      {u"\u00C4\u00D6\u00D1\u00DC\u00E4\u00F6\u00F1\u00FC\u00E0",
       "_A\"_O\"_N~_U\"_a\"_o\"_n~_u\"_a`"},
      {u"$ 1\n2\r", "$ 1\n2\r"},
  };
  for (const Case& c : cases) {
    std::string wire;
    ASSERT_TRUE(TextToCIMD2(c.Text, wire));
    EXPECT_EQ(wire, c.Cimd2);
    EXPECT_EQ(CIMD2ToText(wire), c.Text);
  }
  std::string wire;
  EXPECT_FALSE(TextToCIMD2(u"\u00E2", wire)) << "not a GSM character";
  // CIMD2's own single characters, unknown combinations, 8-bit octets.
  EXPECT_EQ(CIMD2ToText("]}@$"), u"\u00C5\u00E5@$");
  EXPECT_EQ(CIMD2ToText("_zz_"), u"_zz_");
  EXPECT_EQ(CIMD2ToText("\xE9"), u"\u00E9");
  EXPECT_EQ(CIMD2ToText("_XX"), u"") << "an escape with nothing behind";
}

// --- Packets we receive ----------------------------------------------------------

TEST(Cimd2Decode, ClassificationAndKeys) {
  struct Case {
    int Op;
    TReceiveMessageType Type;
  } cases[] = {{20, mtDeliver},
               {23, mtStatusReport},
               {40, mtAlive},
               {51, mtLoginRsp},
               {52, mtLogoutRsp},
               {53, mtSubmitRsp},
               {55, mtRequestDeliveryRsp},
               {90, mtAliveRsp},
               {98, mtGeneralError},
               {99, mtNack},
               {3, mtUnknown},
               {70, mtUnknown}};
  for (const Case& c : cases)
    EXPECT_EQ(TIn(Packet(c.Op, 7)).GetMessageType(), c.Type) << c.Op;
  EXPECT_EQ(TIn(Packet(40, 8)).GetControlAction(), caAnswer);
  EXPECT_EQ(TIn(Packet(20, 8)).GetControlAction(), caNone);

  TxcSMSCMessageCIMD2 out;
  out.FPacketNumber = 3;
  ASSERT_TRUE(out.EncodeSubmitMsg("1", "2", u"x", et7BitText, "", {}));
  TMessageKey request, answer;
  ASSERT_TRUE(out.GetRequestKey(request));
  ASSERT_TRUE(TIn(Packet(53, 3)).GetResponseKey(answer));
  EXPECT_TRUE(answer.Answers(request));
  ASSERT_TRUE(TIn(Packet(53, 5)).GetResponseKey(answer));
  EXPECT_FALSE(answer.Answers(request)) << "another packet number";
  ASSERT_TRUE(TIn(Packet(51, 3)).GetResponseKey(answer));
  EXPECT_FALSE(answer.Answers(request)) << "another operation";
  ASSERT_TRUE(TIn(Packet(99, 3)).GetResponseKey(answer));
  EXPECT_TRUE(answer.Answers(request)) << "a nack answers whatever holds its number";
  EXPECT_FALSE(TIn(Packet(20, 4)).GetResponseKey(answer));
  EXPECT_EQ(TIn(Packet(53, 3, {{900, "300"}})).Describe(), "53:003 900:300");
}

TEST(Cimd2Decode, DeliveredMessages) {
  struct Case {
    const char* Name;
    TParams Params;
    std::u16string Text;
    TxcEncodingType Encoding;
    std::string Originator;
  } cases[] = {
      {"UCS-2", {{30, "8"}, {34, "00480069"}}, u"Hi", etUCS2Text, "1234"},
      {"text", {{33, "Hello"}}, u"Hello", et7BitText, "1234"},
      {"binary", {{34, "0A1B"}}, u"0A1B", et8BitHexadecimal, "1234"},
      {"nothing", {}, u"", et7BitText, "1234"},
      {"special combinations", {{33, "a_Oab _XXe"}}, u"a@b \u20AC", et7BitText, "1234"},
      {"parameters out of order",
       {{60, "120302123456"}, {33, "x"}, {30, "0"}},
       u"x",
       et7BitText,
       "1234"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TParams p = {{21, "0612345678"}, {23, "1234"}};
    p.insert(p.end(), c.Params.begin(), c.Params.end());
    std::string d, o, h;
    std::u16string t;
    TxcEncodingType e;
    TDateTime ts = -1;
    TIn(Packet(20, 2, p)).DecodeReceiveMsg(d, o, t, e, h, ts);
    EXPECT_EQ(d, "0612345678");
    EXPECT_EQ(o, c.Originator);
    EXPECT_EQ(t, c.Text);
    EXPECT_EQ(e, c.Encoding);
  }
  // The alphanumeric originator when there is no numeric one; the header.
  std::string d, o, h;
  std::u16string t;
  TxcEncodingType e;
  TDateTime ts = -1;
  TIn(Packet(20, 2, {{27, "SHOP"}, {32, "050003010201"}, {33, "x"}, {60, "120302123456"}}))
      .DecodeReceiveMsg(d, o, t, e, h, ts);
  EXPECT_EQ(o, "SHOP");
  EXPECT_EQ(h, "050003010201");
  EXPECT_EQ(ts, kScts);
  TIn(Packet(20, 2, {{33, "x"}})).DecodeReceiveMsg(d, o, t, e, h, ts);
  EXPECT_EQ(ts, 0) << "without 060";
  // Raw octets when the special combinations are off.
  TIn raw(Packet(20, 2, {{33, "a_Oa\xE9"}}));
  raw.FSpecialCombinations = false;
  raw.DecodeReceiveMsg(d, o, t, e, h, ts);
  EXPECT_EQ(t, u"a_Oa\u00E9");
  EXPECT_THROW(TIn(Packet(20, 2, {{60, "121302123456"}})).DecodeReceiveMsg(d, o, t, e, h, ts),
               EConvertError);
}

TEST(Cimd2Decode, StatusReports) {
  TDateTime mts = -1, ts = -1;
  std::string d;
  uint8_t s = 0;
  int r = 0;
  TIn(Packet(
          23, 2,
          {{21, "0612345678"}, {60, "120302123456"}, {61, "2"}, {62, "0"}, {63, "120302123500"}}))
      .DecodeStatusReportMsg(mts, d, s, r, ts);
  EXPECT_EQ(d, "0612345678");
  EXPECT_EQ(mts, kScts);
  EXPECT_EQ(s, 2);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(ts, EncodeDateTime(2012, 3, 2, 12, 35, 0, 0));
  // Missing parameters: 0 / 255 / -1 / 0; a status outside a byte: 255.
  TIn(Packet(23, 2, {{21, "1"}})).DecodeStatusReportMsg(mts, d, s, r, ts);
  EXPECT_EQ(mts, 0);
  EXPECT_EQ(s, 255);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(ts, 0);
  TIn(Packet(23, 2, {{61, "258"}})).DecodeStatusReportMsg(mts, d, s, r, ts);
  EXPECT_EQ(s, 255) << "not 2";
  TIn(Packet(23, 2, {{61, "x"}})).DecodeStatusReportMsg(mts, d, s, r, ts);
  EXPECT_EQ(s, 255);
}

TEST(Cimd2Decode, ResponseResults) {
  struct Case {
    const char* Name;
    int Op;
    TParams Params;
    int Result;
  } cases[] = {
      {"login accepted", 51, {}, 0},
      {"login refused", 51, {{900, "101"}}, 101},
      {"error code not a number", 51, {{900, "x"}}, rcGeneralError},
      {"error code empty", 51, {{900, ""}}, rcGeneralError},
      {"error code negative", 51, {{900, "-5"}}, rcGeneralError},
      {"submit refused", 53, {{900, "300"}}, 300},
      {"alive with an error code", 90, {{900, "6"}}, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TIn m(Packet(c.Op, 3, c.Params));
    switch (c.Op) {
    case 51:
      m.DecodeLoginRspMsg();
      break;
    case 53:
      m.DecodeSubmitRspMsg();
      break;
    default:
      m.DecodeAliveRspMsg();
      break;
    }
    EXPECT_EQ(m.FResultCode, c.Result);
  }
  TIn ok(Packet(53, 3, {{21, "0612345678"}, {60, "120302123456"}}));
  ok.DecodeSubmitRspMsg();
  EXPECT_EQ(ok.FResultCode, 0);
  EXPECT_EQ(ok.FTimeStamp, kScts);
  // An unreadable time stamp does not turn an accepted submit into a failure.
  TIn bad(Packet(53, 3, {{60, "129999999999"}}));
  EXPECT_NO_THROW(bad.DecodeSubmitRspMsg());
  EXPECT_EQ(bad.FResultCode, 0);
  EXPECT_EQ(bad.FTimeStamp, 0);
}

TEST(Cimd2Decode, TimeStrToDateTimeReadsYearFirst) {
  EXPECT_EQ(TimeStrToDateTime("120302123456"), kScts);
  EXPECT_THROW(TimeStrToDateTime("121302123456"), EConvertError);
  EXPECT_THROW(TimeStrToDateTime(""), EConvertError);
}

// --- The reader, over a real socket ------------------------------------------------

// Writes Bytes into a socket pair and frames what it can.
std::vector<std::string> FrameAll(const std::string& Bytes, bool& Stalled) {
  int fds[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  EXPECT_EQ(write(fds[0], Bytes.data(), Bytes.size()), static_cast<ssize_t>(Bytes.size()));
  close(fds[0]);
  TxcTcpClient c;
  c.Adopt(fds[1]);
  TxcSMSCMessageCIMD2 m;
  std::vector<std::string> out;
  Stalled = false;
  for (int pass = 0; pass < 100000 && c.WaitForData(0) == wdReadable; ++pass) {
    size_t before = c.Buffered();
    if (m.ReadMessage(c))
      out.push_back(Text(m));
    else if (c.Buffered() == before && c.WaitForData(0) == wdReadable && c.Buffered() == before)
      Stalled = true;
    if (Stalled)
      break;
  }
  return out;
}

TEST(Cimd2Read, FramesByStartAndEnd) {
  bool stalled;
  const std::string a = Packet(20, 2, {{33, "one"}}), b = Packet(23, 4, {{61, "2"}});
  EXPECT_EQ(FrameAll(a + b, stalled), (std::vector<std::string>{a, b})) << "two in one read";
  EXPECT_EQ(FrameAll("CIMD2 banner\r\n" + a, stalled), std::vector<std::string>{a});
  const std::string noChecksum = Packet(20, 2, {{33, "x"}}, false);
  EXPECT_EQ(FrameAll(noChecksum, stalled), std::vector<std::string>{noChecksum});
  // A packet cut short by the next STX is dropped, the next one read.
  EXPECT_EQ(FrameAll(a.substr(0, 10) + b, stalled), std::vector<std::string>{b});
  // A packet longer than a kilobyte is read.
  const std::string big = Packet(20, 2, {{33, std::string(5000, 'x')}});
  EXPECT_EQ(FrameAll(big, stalled), std::vector<std::string>{big});
  // An STX with no ETX within reach is skipped; what follows is read.
  std::string runaway = "\x02" + std::string(kMaxPacketSize + 10, 'j') + a;
  EXPECT_EQ(FrameAll(runaway, stalled), std::vector<std::string>{a});
  EXPECT_FALSE(stalled);
  // An incomplete packet waits without spinning.
  EXPECT_TRUE(FrameAll(a.substr(0, a.size() - 1), stalled).empty());
  EXPECT_FALSE(stalled);
}

} // namespace
} // namespace garvel::cimd2
