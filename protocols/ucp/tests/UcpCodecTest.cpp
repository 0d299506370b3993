// The UCP frame codec: exact frames out, decoded fields in, refusals, framing
// numbers and time stamps.
#include "xcGarvelUCP.h"
#include "UcpFrames.h"

#include "CodePage.h"
#include "xuSMSCEncGSM.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace garvel::ucp {
namespace {

using test::Fields33;
using test::FieldsOf;
using test::Frame;

std::string Wire(const std::string& Body) {
  return "\x02" + Body + "\x03";
}

std::string Text(const TxcSMSCMessage& M) {
  return std::string(M.FBuffer.begin(), M.FBuffer.end());
}

// A received frame.
struct TIn : TxcSMSCMessageUCP {
  explicit TIn(const std::string& Bytes) { AddString(Bytes); }
};

// --- Frames we send ---------------------------------------------------------

TEST(UcpEncode, ExactFrames) {
  struct Case {
    const char* Name;
    std::function<bool(TxcSMSCMessageUCP&)> Encode;
    std::string Expected;
  } cases[] = {
      {"alert keep-alive",
       [](TxcSMSCMessageUCP& m) { return m.EncodeAliveMsg("0612345678", uoSMTAlert); },
       Wire("01/00032/O/31/0612345678/0100/EE")},
      {"call-input keep-alive",
       [](TxcSMSCMessageUCP& m) { return m.EncodeAliveMsg("0612345678", uoFantomCallInput); },
       Wire("01/00052/O/01//0612345678//3/4B6565702D416C697665/3A")},
      {"7-bit submit with status report",
       [](TxcSMSCMessageUCP& m) {
         return m.EncodeSubmitMsg("0612345678", "1234", u"Hello", et7BitText, "",
                                  {soRequestStatusReport});
       },
       Wire("01/00076/O/51/0612345678/1234//1//7/////////////3//48656C6C6F/////////////92")},
      {"login", [](TxcSMSCMessageUCP& m) { return m.EncodeLoginMsg("0612345678", 6, 5, "secret"); },
       Frame(1, 'O', 60,
             {"0612345678", "6", "5", "1", "736563726574", "", "0100", "", "", "", "", ""})},
      {"login: a password is hexadecimal, so a slash in it travels",
       [](TxcSMSCMessageUCP& m) { return m.EncodeLoginMsg("1234", 0, 0, "a/b"); },
       Frame(1, 'O', 60, {"1234", "0", "0", "1", "612F62", "", "0100", "", "", "", "", ""})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TxcSMSCMessageUCP m;
    m.AddString("left over");
    ASSERT_TRUE(c.Encode(m));
    EXPECT_EQ(Text(m), c.Expected);
  }
}

TEST(UcpEncode, Acknowledgements) {
  struct Case {
    const char* Name;
    std::string Received;
    std::string Expected;
  } cases[] = {
      {"OT 52", Frame(5, 'O', 52, Fields33({{1, "1"}})), Wire("05/00020/R/52/A///9A")},
      {"OT 01", Frame(5, 'O', 1, {"1", "2", "", "3", "41"}), Wire("05/00019/R/01/A//6D")},
      {"OT 53 keeps its TRN", Frame(99, 'O', 53, Fields33({})), Frame(99, 'R', 53, {"A", "", ""})},
      {"OT 31 alert: ACK and SM only", Frame(7, 'O', 31, {"0612345678", "0539"}),
       Frame(7, 'R', 31, {"A", ""})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TIn in(c.Received);
    TxcSMSCMessageUCP out;
    out.EncodeResponseMsg(in);
    EXPECT_EQ(Text(out), c.Expected);
  }
  TxcSMSCMessage other;
  TxcSMSCMessageUCP out;
  EXPECT_THROW(out.EncodeResponseMsg(other), EInvalidCast);
}

TEST(UcpEncode, SubmitFields) {
  const std::string U = "06050003AB0201";
  struct Case {
    const char* Name;
    std::string Originator;
    std::u16string SMText;
    TxcEncodingType Encoding;
    std::string Header;
    TxcSubmitOptionSet Options;
    std::map<int, std::string> Expected; // field number -> value
  } cases[] = {
      {"alphanumeric originator",
       "ABC",
       u"x",
       et7BitText,
       "",
       {},
       {{2, "0641E110"}, {4, ""}, {29, "5039"}, {31, ""}}},
      {"international number stays as it is",
       "+4712345678",
       u"x",
       et7BitText,
       "",
       {},
       {{2, "+4712345678"}, {29, ""}}},
      {"empty originator", "", u"x", et7BitText, "", {}, {{2, ""}, {29, ""}}},
      {"8-bit data",
       "1234",
       u"48656C6C6F",
       et8BitHexadecimal,
       "",
       {},
       {{19, "4"}, {20, "40"}, {21, "48656C6C6F"}, {31, "020104"}}},
      {"UCS-2 text",
       "1234",
       u"Hi",
       etUCS2Text,
       "",
       {},
       {{19, "4"}, {20, "32"}, {21, "00480069"}, {31, "020108"}}},
      {"7-bit flash",
       "1234",
       u"Hi",
       et7BitText,
       "",
       {soDirectDisplay},
       {{19, "3"}, {20, ""}, {21, "4869"}, {31, "020110"}}},
      {"UCS-2 flash with header",
       "1234",
       u"\u20AC",
       etUCS2Text,
       U,
       {soDirectDisplay, soRequestStatusReport},
       {{4, "1"}, {21, "20AC"}, {31, "01" + U + "020118"}}},
      {"7-bit with header: no coding service",
       "1234",
       u"\u00E9t\u00E9",
       et7BitText,
       U,
       {},
       {{21, "E974E9"}, {31, "01" + U}}},
      {"validity and delivery options change nothing",
       "1234",
       u"x",
       et7BitText,
       "",
       {soDeliveryTimeAbsolute, soValidityPeriodRelative},
       {{4, ""}, {10, ""}, {11, ""}, {12, ""}, {13, ""}, {31, ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TxcSMSCMessageUCP m;
    ASSERT_TRUE(
        m.EncodeSubmitMsg("0612345678", c.Originator, c.SMText, c.Encoding, c.Header, c.Options));
    std::string frame = Text(m);
    std::vector<std::string> f = FieldsOf(frame);
    ASSERT_EQ(f.size(), 33u);
    EXPECT_EQ(f[0], "0612345678");
    EXPECT_EQ(f[5], "7");
    for (const auto& [n, v] : c.Expected)
      EXPECT_EQ(f[static_cast<size_t>(n - 1)], v) << "field " << n;
    EXPECT_EQ(frame, Frame(1, 'O', 51, f)) << "LEN and checksum";
  }
}

// A request the frame cannot carry is refused and leaves nothing to send.
TEST(UcpEncode, RefusesWhatTheFrameCannotCarry) {
  struct Case {
    const char* Name;
    std::function<bool(TxcSMSCMessageUCP&)> Encode;
  } cases[] = {
      {"slash in destination",
       [](TxcSMSCMessageUCP& m) {
         return m.EncodeSubmitMsg("0612/345678", "1234", u"x", et7BitText, "", {});
       }},
      {"slash in header",
       [](TxcSMSCMessageUCP& m) {
         return m.EncodeSubmitMsg("0612345678", "1234", u"x", et7BitText, "0605/003", {});
       }},
      {"slash in 8-bit data",
       [](TxcSMSCMessageUCP& m) {
         return m.EncodeSubmitMsg("0612345678", "1234", u"41/42", et8BitHexadecimal, "", {});
       }},
      {"ETX in destination",
       [](TxcSMSCMessageUCP& m) {
         return m.EncodeSubmitMsg("0612\x03", "1234", u"x", et7BitText, "", {});
       }},
      {"STX in header",
       [](TxcSMSCMessageUCP& m) {
         return m.EncodeSubmitMsg("0612345678", "1234", u"x", et7BitText, "\x02", {});
       }},
      {"slash in login address",
       [](TxcSMSCMessageUCP& m) { return m.EncodeLoginMsg("12/34", 1, 1, "pw"); }},
      {"slash in keep-alive address",
       [](TxcSMSCMessageUCP& m) { return m.EncodeAliveMsg("12/34", uoSMTAlert); }},
      {"slash in call-input address",
       [](TxcSMSCMessageUCP& m) { return m.EncodeAliveMsg("12/34", uoFantomCallInput); }},
      {"alphanumeric originator beyond 255 semi-octets",
       [](TxcSMSCMessageUCP& m) {
         return m.EncodeSubmitMsg("0612345678", std::string(146, 'A'), u"x", et7BitText, "", {});
       }},
      {"login frame too long",
       [](TxcSMSCMessageUCP& m) { return m.EncodeLoginMsg("1", 1, 1, std::string(50000, 'p')); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TxcSMSCMessageUCP m;
    m.AddString("left over");
    EXPECT_FALSE(c.Encode(m));
    EXPECT_TRUE(m.FBuffer.empty());
  }
  // Slashes inside the 7-bit and UCS-2 texts and the originator are coded
  // away, so those go out.
  TxcSMSCMessageUCP m;
  EXPECT_TRUE(m.EncodeSubmitMsg("0612345678", "a/b", u"1/2", et7BitText, "", {}));
  EXPECT_TRUE(m.EncodeSubmitMsg("0612345678", "1234", u"1/2", etUCS2Text, "", {}));
  EXPECT_TRUE(m.EncodeSubmitMsg("0612345678", std::string(11, 'A'), u"x", et7BitText, "", {}));
  // An alphanumeric OAdC holds at most 11 characters.
  EXPECT_FALSE(m.EncodeSubmitMsg("0612345678", std::string(12, 'A'), u"x", et7BitText, "", {}));
  // 8-bit text and headers must be hexadecimal octets.
  EXPECT_FALSE(m.EncodeSubmitMsg("0612345678", "1234", u"ABC", et8BitHexadecimal, "", {}));
  EXPECT_FALSE(m.EncodeSubmitMsg("0612345678", "1234", u"0G", et8BitHexadecimal, "", {}));
  EXPECT_FALSE(m.EncodeSubmitMsg("0612345678", "1234", u"x", et7BitText, "010G", {}));
  EXPECT_FALSE(m.EncodeSubmitMsg("0612345678", "1234", u"x", et7BitText, "050", {}));
  EXPECT_TRUE(m.EncodeSubmitMsg("0612345678", "1234", u"0a1B", et8BitHexadecimal, "0500", {}));
  // Text the coding lacks.
  EXPECT_FALSE(m.EncodeSubmitMsg("0612345678", "1234", u"\u041F\u0440\u0438", et7BitText, "", {}));
  m.FTextCoding = tcGSM;
  EXPECT_FALSE(m.EncodeSubmitMsg("0612345678", "1234", u"\u00E2", et7BitText, "", {}))
      << "a Windows-1252 letter the GSM table lacks";
  EXPECT_TRUE(m.EncodeSubmitMsg("0612345678", "1234", u"@$_ ok \u20AC", et7BitText, "", {}));
}

// LEN has five digits: 99999 characters between STX and ETX is the last
// frame that can be announced.
TEST(UcpEncode, LengthLimit) {
  auto lenOf = [](size_t MsgChars, TxcSMSCMessageUCP& m) {
    bool ok = m.EncodeSubmitMsg("0612345678", "1234", std::u16string(MsgChars, u'A'),
                                et8BitHexadecimal, "", {});
    return ok ? std::stoi(Text(m).substr(4, 5)) : -1;
  };
  TxcSMSCMessageUCP m;
  int base = lenOf(99000, m); // NB keeps six digits from here to the limit
  ASSERT_GT(base, 0);
  size_t atLimit = 99000 + static_cast<size_t>(kMaxLen - base);
  EXPECT_EQ(lenOf(atLimit, m), kMaxLen);
  EXPECT_EQ(m.Size(), kMaxFrameSize);
  EXPECT_EQ(m.FBuffer.back(), kETX);
  EXPECT_EQ(lenOf(atLimit + 1, m), -1);
  EXPECT_TRUE(m.FBuffer.empty());
}

// The length announces the semi-octets the packed characters use, so a
// receiver that honours it finds exactly the name and no extra '@'.
TEST(UcpEncode, AlphaNumericOriginatorLength) {
  const char* announced[] = {"02", "04", "06", "07", "09", "0B", "0D", "0E", "10", "12", "14"};
  for (int n = 1; n <= 11; ++n) {
    std::string name = std::string("ABCDEFGHIJK").substr(0, static_cast<size_t>(n));
    SCOPED_TRACE(name);
    std::string oadc = EncodeAlphaNumericOriginator(name);
    ASSERT_GE(oadc.size(), 2u);
    EXPECT_EQ(oadc.substr(0, 2), announced[n - 1]);
    int semi = std::stoi(oadc.substr(0, 2), nullptr, 16);
    TByteDynArray packed = HexStrToBin(oadc.substr(2));
    EXPECT_EQ(packed.size(), static_cast<size_t>((7 * n + 7) / 8));
    EXPECT_EQ(GSMToStr(packed, semi * 4 / 7, gsmaExtended), name);
  }
  EXPECT_EQ(EncodeAlphaNumericOriginator("ABC"), "0641E110");
}

// With GSM coding, AMsg carries one GSM code per octet, both ways.
TEST(UcpEncode, GsmCodedText) {
  TxcSMSCMessageUCP m;
  m.FTextCoding = tcGSM;
  ASSERT_TRUE(m.EncodeSubmitMsg("0612345678", "1234", u"@$_ ok \u20AC", et7BitText, "", {}));
  EXPECT_NE(Text(m).find("/3//000211206F6B201B65/"), std::string::npos) << Text(m);

  TIn in(
      Frame(3, 'O', 52, Fields33({{15, "020312123456"}, {19, "3"}, {21, "000211206F6B201B65"}})));
  in.FTextCoding = tcGSM;
  std::string d, o, h;
  std::u16string t;
  TxcEncodingType e;
  TDateTime ts;
  in.DecodeReceiveMsg(d, o, t, e, h, ts);
  EXPECT_EQ(t, u"@$_ ok \u20AC");
  in.FTextCoding = tcWindows1252;
  in.DecodeReceiveMsg(d, o, t, e, h, ts);
  EXPECT_EQ(t.size(), 9u) << "the same octets as Windows-1252 characters";
}

// --- Frames we receive ------------------------------------------------------

TEST(UcpDecode, HeaderAndClassification) {
  struct Case {
    const char* Name;
    std::string Bytes;
    int Size;
    TReceiveMessageType Type;
  } cases[] = {
      {"submit result", Wire("01/00020/R/51/A///9A"), 22, mtSubmitRsp},
      {"login result", Wire("01/00019/R/60/A//6D"), 21, mtLoginRsp},
      {"alert result", Wire("01/00019/R/31/A//6D"), 21, mtAliveRsp},
      {"call-input result", Wire("01/00019/R/01/A//6D"), 21, mtAliveRsp},
      {"result of an operation we never send", Wire("01/00020/R/52/A///9A"), 22, mtUnknown},
      {"delivery", Wire("01/00020/O/52/x/00"), 22, mtDeliver},
      {"call input", Wire("01/00020/O/01/x/00"), 22, mtDeliver},
      {"notification", Wire("01/00020/O/53/x/00"), 22, mtStatusReport},
      {"alert from the SMSC", Wire("01/00020/O/31/x/00"), 22, mtAlive},
      {"session management from the SMSC", Wire("01/00020/O/60/x/00"), 22, mtUnknown},
      {"LEN not a number", Wire("01/0x020/O/52/x/00"), 1, mtDeliver},
      {"LEN negative", Wire("01/-0005/O/52/x/00"), 1, mtDeliver},
      {"no STX", "01/00020/O/52/x/00", 1, mtUnknown},
      {"cut short",
       "\x02"
       "01/000",
       1, mtUnknown},
      {"one byte", "x", 1, mtUnknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TIn m(c.Bytes);
    EXPECT_EQ(m.GetHeaderSize(), 10);
    EXPECT_EQ(m.GetMessageSize(), c.Size);
    EXPECT_EQ(m.GetMessageType(), c.Type);
  }
  TIn m("\x02"
        "7x/00020/R/5");
  int pos, trn, len, ot;
  char orc;
  m.GetHeader(pos, trn, len, orc, ot);
  EXPECT_EQ(trn, -1);
  EXPECT_EQ(len, 20);
  EXPECT_EQ(orc, 'R');
  EXPECT_EQ(ot, -1);
  EXPECT_EQ(pos, 15);
  std::string v = "stale";
  m.GetParam(pos, v);
  EXPECT_EQ(v, "");
}

TEST(UcpDecode, DeliveredMessages) {
  const std::string scts = "020312123456";
  const TDateTime at = EncodeDateTime(2012, 3, 2, 12, 34, 56, 0);
  struct Case {
    const char* Name;
    std::string Frame;
    std::u16string Text;
    TxcEncodingType Encoding;
    std::string Header;
  } cases[] = {
      {"IRA text", Frame(3, 'O', 52, Fields33({{15, scts}, {19, "3"}, {21, "48656C6C6F"}})),
       u"Hello", et7BitText, ""},
      {"Windows-1252 text", Frame(3, 'O', 52, Fields33({{15, scts}, {19, "3"}, {21, "E980"}})),
       u"\u00E9\u20AC", et7BitText, ""},
      {"numeric", Frame(3, 'O', 52, Fields33({{15, scts}, {19, "2"}, {21, "12345"}})), u"12345",
       et7BitText, ""},
      {"8-bit data by data coding F4",
       Frame(3, 'O', 52, Fields33({{15, scts}, {19, "4"}, {21, "48656C6C6F"}, {31, "0201F4"}})),
       u"48656C6C6F", et8BitHexadecimal, ""},
      {"8-bit by message type alone",
       Frame(3, 'O', 52, Fields33({{15, scts}, {19, "4"}, {21, "0102"}})), u"0102",
       et8BitHexadecimal, ""},
      {"UCS-2",
       Frame(3, 'O', 52, Fields33({{15, scts}, {19, "4"}, {21, "00480069"}, {31, "020108"}})),
       u"Hi", etUCS2Text, ""},
      {"header service and UCS-2",
       Frame(3, 'O', 52,
             Fields33({{15, scts}, {19, "4"}, {21, "20AC"}, {31, "0106050003AB0201020108"}})),
       u"\u20AC", etUCS2Text, std::string("\x05\x00\x03\xAB\x02\x01", 6)},
      {"header service cut short",
       Frame(3, 'O', 52, Fields33({{15, scts}, {19, "3"}, {21, "41"}, {31, "010A0500"}})), u"A",
       et7BitText, std::string("\x05\x00", 2)},
      {"odd XSer and unknown services",
       Frame(3, 'O', 52, Fields33({{15, scts}, {19, "3"}, {21, "41"}, {31, "0C01FF0"}})), u"A",
       et7BitText, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TIn m(c.Frame);
    std::string dst = "x", org = "x", udh = "x";
    std::u16string text;
    TxcEncodingType enc = etUCS2Text;
    TDateTime ts = 0;
    m.DecodeReceiveMsg(dst, org, text, enc, udh, ts);
    EXPECT_EQ(text, c.Text);
    EXPECT_EQ(enc, c.Encoding);
    EXPECT_EQ(udh, c.Header);
    EXPECT_EQ(dst, "");
    EXPECT_EQ(ts, at);
  }
}

TEST(UcpDecode, CallInputTakesTheReceptionTime) {
  struct Case {
    const char* Name;
    std::string MT, Msg;
    std::u16string Text;
  } cases[] = {{"alphanumeric", "3", "48656C6C6F", u"Hello"},
               {"numeric", "2", "0123", u"0123"},
               {"other type leaves the text", "5", "41", u"untouched"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TIn m(Frame(4, 'O', 1, {"0612345678", "1234", "", c.MT, c.Msg}));
    std::string dst, org, udh;
    std::u16string text = u"untouched";
    TxcEncodingType enc = etUCS2Text;
    TDateTime ts = 0;
    TDateTime before = Now();
    m.DecodeReceiveMsg(dst, org, text, enc, udh, ts);
    EXPECT_EQ(dst, "0612345678");
    EXPECT_EQ(org, "1234");
    EXPECT_EQ(text, c.Text);
    EXPECT_EQ(enc, et7BitText);
    EXPECT_GE(ts, before);
    EXPECT_LE(ts, Now());
  }
}

TEST(UcpDecode, StatusReports) {
  struct Case {
    const char* Name;
    std::string Dst, Rsn;
    uint8_t Status;
    int Reason;
  } cases[] = {{"delivered", "0", "000", 0, 0},
               {"buffered", "1", "107", 1, 107},
               {"empty status and reason", "", "", 255, -1},
               {"not numbers", "x", "y", 255, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TIn m(Frame(8, 'O', 53,
                Fields33({{1, "1234"},
                          {2, "0612345678"},
                          {15, "020312123456"},
                          {16, c.Dst},
                          {17, c.Rsn},
                          {18, "030312101500"}})));
    TDateTime mts = 0, ts = 0;
    std::string dst, org;
    uint8_t status = 7;
    int reason = 7;
    m.DecodeStatusReportMsg(mts, dst, org, status, reason, ts);
    EXPECT_EQ(mts, EncodeDateTime(2012, 3, 2, 12, 34, 56, 0));
    EXPECT_EQ(ts, EncodeDateTime(2012, 3, 3, 10, 15, 0, 0));
    EXPECT_EQ(dst, "0612345678") << "OAdC";
    EXPECT_EQ(org, "1234") << "AdC";
    EXPECT_EQ(status, c.Status);
    EXPECT_EQ(reason, c.Reason);
  }
}

TEST(UcpDecode, InvalidTimeStampsRaise) {
  TDateTime t = 0, t2 = 0;
  std::string a, b, h;
  std::u16string s;
  TxcEncodingType e = et7BitText;
  uint8_t st = 0;
  int r = 0;
  EXPECT_THROW(
      TIn(Frame(1, 'O', 52, Fields33({{15, "320312123456"}}))).DecodeReceiveMsg(a, b, s, e, h, t),
      EConvertError);
  EXPECT_THROW(TIn(Frame(1, 'O', 52, Fields33({}))).DecodeReceiveMsg(a, b, s, e, h, t),
               EConvertError);
  EXPECT_THROW(TIn(Frame(1, 'O', 53, Fields33({{15, "020312123456"}, {18, "0203121260"}})))
                   .DecodeStatusReportMsg(t, a, b, st, r, t2),
               EConvertError);
}

TEST(UcpDecode, Results) {
  const TDateTime earlier = EncodeDateTime(2011, 1, 1, 0, 0, 0, 0);
  const TDateTime scts = EncodeDateTime(2012, 3, 2, 12, 34, 56, 0);
  enum Kind { kSubmit, kLogin, kAlive };
  struct Case {
    const char* Name;
    Kind Decoder;
    std::string Frame;
    int Result;
    TDateTime TimeStamp;
  } cases[] = {
      {"submit accepted with time", kSubmit,
       Frame(1, 'R', 51, {"A", "", "0612345678:020312123456"}), 0, scts},
      {"submit accepted without time", kSubmit, Frame(1, 'R', 51, {"A", "", "0612345678"}), 0,
       earlier},
      {"submit accepted, empty time", kSubmit, Frame(1, 'R', 51, {"A", "", "0612345678:"}), 0,
       earlier},
      {"submit refused", kSubmit, Frame(1, 'R', 51, {"N", "02", "syntax"}), 2, earlier},
      {"submit refused without EC", kSubmit, Frame(1, 'R', 51, {"N", "", ""}), rcGeneralError,
       earlier},
      {"submit refused with EC 00", kSubmit, Frame(1, 'R', 51, {"N", "00", ""}), rcGeneralError,
       earlier},
      {"submit, unknown ACK", kSubmit, Frame(1, 'R', 51, {"X", "x"}), rcGeneralError, earlier},
      {"login accepted", kLogin, Frame(1, 'R', 60, {"A", ""}), 0, earlier},
      {"login refused", kLogin, Frame(1, 'R', 60, {"N", "01", ""}), 1, earlier},
      {"login refused, EC not a number", kLogin, Frame(1, 'R', 60, {"N", "xx", ""}), rcGeneralError,
       earlier},
      {"login, anything but N is positive", kLogin, Frame(1, 'R', 60, {"", ""}), 0, earlier},
      {"keep-alive refused", kAlive, Frame(1, 'R', 31, {"N", "06", ""}), 6, earlier},
      {"keep-alive accepted", kAlive, Frame(1, 'R', 1, {"A", ""}), 0, earlier},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TIn m(c.Frame);
    m.FTimeStamp = earlier;
    m.FResultCode = 12345;
    switch (c.Decoder) {
    case kSubmit:
      m.DecodeSubmitRspMsg();
      break;
    case kLogin:
      m.DecodeLoginRspMsg();
      break;
    case kAlive:
      m.DecodeAliveRspMsg();
      break;
    }
    EXPECT_EQ(m.FResultCode, c.Result);
    EXPECT_EQ(m.FTimeStamp, c.TimeStamp);
  }
  TIn bad(Frame(1, 'R', 51, {"A", "", "0612345678:999999999999"}));
  bad.FTimeStamp = earlier;
  bad.FResultCode = 5;
  bad.DecodeSubmitRspMsg();
  EXPECT_EQ(bad.FResultCode, 0) << "accepted, whatever the time says";
  EXPECT_EQ(bad.FTimeStamp, 0) << "an unreadable time is unknown, not the previous one";
}

TEST(UcpDecode, TimeStrToDateTime) {
  struct Case {
    const char* Text;
    bool Valid;
    TDateTime Expected;
  } cases[] = {
      {"0203121234", true, EncodeDateTime(2012, 3, 2, 12, 34, 0, 0)},
      {"020312123456", true, EncodeDateTime(2012, 3, 2, 12, 34, 56, 0)},
      {"290200000000", true, EncodeDateTime(2000, 2, 29, 0, 0, 0, 0)},
      {"311299235959", true, EncodeDateTime(2099, 12, 31, 23, 59, 59, 0)},
      {"020312", true, EncodeDateTime(2012, 3, 2, 0, 0, 0, 0)},
      {"", false, 0},
      {"290201000000", false, 0},
      {"021312000000", false, 0},
      {"020312240000", false, 0},
      {"0203121260", false, 0},
      {"xx0312123456", false, 0},
      {"-10312123456", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    if (c.Valid)
      EXPECT_EQ(TimeStrToDateTime(c.Text), c.Expected);
    else
      EXPECT_THROW(TimeStrToDateTime(c.Text), EConvertError);
  }
}

TEST(UcpMessage, CopiesAreUcpMessages) {
  TxcSMSCMessageUCP m;
  m.AddString(Wire("01/00020/O/52/x/00"));
  m.FTimeStamp = 5;
  std::unique_ptr<TxcSMSCMessage> copy = TxcSMSCMessage::Create(m);
  auto* ucp = dynamic_cast<TxcSMSCMessageUCP*>(copy.get());
  ASSERT_NE(ucp, nullptr);
  EXPECT_EQ(ucp->FBuffer, m.FBuffer);
  EXPECT_EQ(ucp->FTimeStamp, 0);
  EXPECT_THROW(m.EncodeLoginMsg(), EAbstractError);
  EXPECT_THROW(m.DecodeReceiveMsg(), EAbstractError);
}

} // namespace
} // namespace garvel::ucp
