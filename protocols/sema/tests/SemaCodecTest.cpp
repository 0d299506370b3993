// The SEMA codec: messages byte by byte, references, decoders and what they
// refuse or stay inside of.
#include "xcGarvelSEMA.h"
#include "SemaBytes.h"

#include <gtest/gtest.h>

namespace garvel::sema {
namespace {

using test::Address;
using test::DeliverBody;
using test::Hex;
using test::Message;
using test::ReportBody;
using test::U32;

std::string Text(const TxcSMSCMessage& M) {
  return std::string(M.FBuffer.begin(), M.FBuffer.end());
}

struct TIn : TxcSMSCMessageSEMA {
  explicit TIn(const std::string& Bytes) { AddString(Bytes); }
};

// --- Messages we send --------------------------------------------------------

TEST(SemaEncode, ExactMessages) {
  TxcSMSCMessageSEMA m;
  ASSERT_TRUE(m.EncodeRequestDeliveryMsg("1234", 1, 1));
  EXPECT_EQ(Text(m), Hex("01 00 00 00 00 0B 00 00 09 00 06 39 31 31 32 33 34 01 00"));
  TxcSMSCMessageSEMA login;
  ASSERT_TRUE(login.EncodeLoginMsg("ab", ""));
  EXPECT_EQ(Text(login), Hex("01 00 00 00 00 0D 00 00 03 00 02 61 62"));
  TIn delivered(Hex("07 00 00 00 00 09 00 00 00 00"));
  m.EncodeResponseMsg(delivered);
  EXPECT_EQ(Text(m), Hex("07 00 00 00 01 09 00 00 01 00 00"));

  TxcSMSCMessageSEMA s;
  ASSERT_TRUE(s.EncodeSubmitMsg("0612345678", "1234", 1, 1, u"0102", et8BitHexadecimal, "", {}));
  std::string bin = Text(s);
  EXPECT_EQ(bin.substr(bin.size() - 7), Hex("00 02 02 01 02 00 00"));
  EXPECT_EQ(bin.substr(0, 6), Hex("01 00 00 00 00 00"));
  const size_t dcsAt = 10 + 1 + 10 + 1 + 4 + 1 + 7 + 1;
  EXPECT_EQ(bin[dcsAt], '\x04');
  s.Reset();
  ASSERT_TRUE(s.EncodeSubmitMsg("0612345678", "1234", 1, 1, u"0102", et8BitHexadecimal, "",
                                {soDirectDisplay, soRequestStatusReport}));
  EXPECT_EQ(Text(s)[dcsAt], '\x14');
  EXPECT_EQ(Text(s)[dcsAt + 1], '\x3F');

  s.Reset();
  ASSERT_TRUE(s.EncodeSubmitMsg("0612345678", "1234", 1, 1, u"abcdefgh", et7BitText, "", {}));
  std::string seven = Text(s);
  // ... header indicator, user data length (septets), octets, packed text, 00 00.
  EXPECT_EQ(seven.substr(seven.size() - 12, 3), Hex("00 08 07"));
  EXPECT_EQ(seven.substr(seven.size() - 9, 7), Hex("61 F1 98 5C 36 9F D1"));
}

TEST(SemaEncode, TextWithAHeaderAndUcs2) {
  TxcSMSCMessageSEMA s;
  // 6 header octets = 7 septets (with fill), then "Hi": 9 septets in 8 octets.
  ASSERT_TRUE(s.EncodeSubmitMsg("1", "2", 1, 1, u"Hi", et7BitText, "050003AB0201", {}));
  std::string m = Text(s);
  EXPECT_EQ(m.substr(m.size() - 13, 3), Hex("02 09 08"));
  EXPECT_EQ(m.substr(m.size() - 10, 6), Hex("05 00 03 AB 02 01"));
  s.Reset();
  ASSERT_TRUE(s.EncodeSubmitMsg("1", "2", 1, 1, u"\u0416!", etUCS2Text, "", {}));
  m = Text(s);
  EXPECT_EQ(m.substr(m.size() - 9), Hex("00 04 04 04 16 00 21 00 00"));
}

// Each request takes its own reference; what cannot be carried takes none.
TEST(SemaEncode, ReferencesAndRefusals) {
  TxcSMSCMessageSEMA s;
  s.Reset();
  auto refOf = [&] {
    TMessageKey k;
    EXPECT_TRUE(s.GetRequestKey(k));
    return k.Id;
  };
  ASSERT_TRUE(s.EncodeRequestDeliveryMsg("1234", 1, 1));
  EXPECT_EQ(refOf(), 1);
  ASSERT_TRUE(s.EncodeLoginMsg("u", "p"));
  EXPECT_EQ(refOf(), 2);
  EXPECT_FALSE(s.EncodeRequestDeliveryMsg("1234", 8, 1)) << "TON above 7";
  EXPECT_FALSE(s.EncodeRequestDeliveryMsg("1234", 1, 16)) << "NPI above 15";
  EXPECT_FALSE(s.EncodeRequestDeliveryMsg(std::string(254, '1'), 1, 1));
  EXPECT_FALSE(s.EncodeLoginMsg(std::string(256, 'u'), ""));
  EXPECT_FALSE(s.EncodeLoginMsg("u", std::string(70000, 'p'))) << "body above 65535";
  EXPECT_FALSE(s.EncodeSubmitMsg(std::string(256, '1'), "2", 1, 1, u"x", et7BitText, "", {}));
  EXPECT_FALSE(s.EncodeSubmitMsg("1", "2", 1, 1, u"ABC", et8BitHexadecimal, "", {}));
  EXPECT_FALSE(s.EncodeSubmitMsg("1", "2", 1, 1, u"0G", et8BitHexadecimal, "", {}));
  EXPECT_FALSE(s.EncodeSubmitMsg("1", "2", 1, 1, u"x", et7BitText, "05000", {}));
  EXPECT_FALSE(s.EncodeSubmitMsg("1", "2", 1, 1, u"\u041F", et7BitText, "", {}));
  EXPECT_FALSE(s.EncodeSubmitMsg("1", "2", 1, 1, std::u16string(300, u'x'), et7BitText, "", {}))
      << "more septets than one octet counts";
  EXPECT_FALSE(s.EncodeSubmitMsg("1", "2", 1, 1, std::u16string(200, u'x'), etUCS2Text, "", {}));
  ASSERT_TRUE(s.EncodeSubmitMsg("1", "2", 7, 15, u"x", et7BitText, "", {}));
  EXPECT_EQ(refOf(), 3);
  s.FReference = 0xFFFFFFFFu;
  ASSERT_TRUE(s.EncodeLoginMsg("u", "p"));
  ASSERT_TRUE(s.EncodeLoginMsg("u", "p"));
  EXPECT_EQ(refOf(), 1) << "0 is skipped on the wrap";
}

// --- Messages we receive ---------------------------------------------------------

TEST(SemaDecode, ClassificationKeysAndSizes) {
  EXPECT_EQ(TIn(Message(1, 1, 0, "\x00")).GetMessageType(), mtSubmitRsp);
  EXPECT_EQ(TIn(Message(1, 1, 11, "\x00")).GetMessageType(), mtRequestDeliveryRsp);
  EXPECT_EQ(TIn(Message(1, 1, 13, "\x00")).GetMessageType(), mtLoginRsp);
  EXPECT_EQ(TIn(Message(1, 0, 9, "")).GetMessageType(), mtDeliver);
  EXPECT_EQ(TIn(Message(1, 0, 4, "")).GetMessageType(), mtStatusReport);
  EXPECT_EQ(TIn(Message(1, 0, 0, "")).GetMessageType(), mtUnknown);
  EXPECT_EQ(TIn(Message(1, 2, 9, "")).GetMessageType(), mtUnknown);
  EXPECT_EQ(TIn(Message(1, 1, 0, "")).GetMessageClass(), mtResponse);
  TMessageKey k, r;
  TxcSMSCMessageSEMA out;
  out.FReference = 77;
  ASSERT_TRUE(out.EncodeSubmitMsg("1", "2", 1, 1, u"x", et7BitText, "", {}));
  ASSERT_TRUE(out.GetRequestKey(k));
  ASSERT_TRUE(TIn(Message(77, 1, 0, "\x00")).GetResponseKey(r));
  EXPECT_TRUE(r.Answers(k));
  ASSERT_TRUE(TIn(Message(77, 1, 11, "\x00")).GetResponseKey(r));
  EXPECT_FALSE(r.Answers(k)) << "another operation";
  ASSERT_TRUE(TIn(Message(78, 1, 0, "\x00")).GetResponseKey(r));
  EXPECT_FALSE(r.Answers(k)) << "another reference";
  TIn big(Message(1, 1, 0, std::string(65535, 'x')));
  EXPECT_EQ(big.GetMessageSize(), 65545);
  EXPECT_LE(big.GetMessageSize(), big.GetMaxMessageSize()) << "the largest message is framed";
}

TEST(SemaDecode, ResponseResults) {
  TIn ok(Message(1, 1, 0, Hex("00 01 02 00 00") + "06031514300500"));
  ok.DecodeSubmitRspMsg();
  EXPECT_EQ(ok.FResultCode, 0);
  EXPECT_EQ(ok.FMessageID, "513");
  EXPECT_EQ(ok.FTimeStamp, EncodeDateTime(2006, 3, 15, 14, 30, 5, 0));
  TIn refused(Message(1, 1, 0, Hex("05")));
  refused.FMessageID = "old";
  refused.DecodeSubmitRspMsg();
  EXPECT_EQ(refused.FResultCode, 5);
  EXPECT_EQ(refused.FMessageID, "");
  EXPECT_EQ(refused.FTimeStamp, 0);
  // An unreadable time does not make an accepted submit a failure.
  TIn badTime(Message(1, 1, 0, Hex("00 01 02 00 00") + "06139914300500"));
  badTime.DecodeSubmitRspMsg();
  EXPECT_EQ(badTime.FResultCode, 0);
  EXPECT_EQ(badTime.FMessageID, "513");
  EXPECT_EQ(badTime.FTimeStamp, 0);
  TIn cut(Message(1, 1, 0, Hex("00 01")));
  cut.DecodeSubmitRspMsg();
  EXPECT_EQ(cut.FResultCode, 0);
  EXPECT_EQ(cut.FMessageID, "");
  for (int op : {0, 11, 13}) {
    TIn empty(Message(1, 1, op, ""));
    empty.DecodeSubmitRspMsg();
    EXPECT_EQ(empty.FResultCode, rcGeneralError) << op;
    empty.DecodeRequestDeliveryRspMsg();
    EXPECT_EQ(empty.FResultCode, rcGeneralError) << op;
    empty.DecodeLoginRspMsg();
    EXPECT_EQ(empty.FResultCode, rcGeneralError) << op;
  }
  TIn poll(Message(1, 1, 11, Hex("03")));
  poll.DecodeRequestDeliveryRspMsg();
  EXPECT_EQ(poll.FResultCode, 3);
  TIn login(Message(1, 1, 13, Hex("00")));
  login.DecodeLoginRspMsg();
  EXPECT_EQ(login.FResultCode, 0);
}

struct TDelivered {
  std::string Destination, Originator, UDH;
  uint8_t DestTON = 0, DestNPI = 0, OrigTON = 0, OrigNPI = 0;
  std::u16string Text;
  TxcEncodingType Encoding = et7BitText;
  TDateTime TimeStamp = -1;
};

TDelivered Deliver(const std::string& Body) {
  TDelivered d;
  TIn(Message(3, 0, 9, Body))
      .DecodeReceiveMsg(d.Destination, d.DestTON, d.DestNPI, d.Originator, d.OrigTON, d.OrigNPI,
                        d.Text, d.Encoding, d.UDH, d.TimeStamp);
  return d;
}

TEST(SemaDecode, DeliveredMessagesInEveryCoding) {
  TDelivered d = Deliver(DeliverBody(0x00, 0, 8, Hex("61 F1 98 5C 36 9F D1")));
  EXPECT_EQ(d.Text, u"abcdefgh");
  EXPECT_EQ(d.Encoding, et7BitText);
  EXPECT_EQ(d.Destination, "1234");
  EXPECT_EQ(d.DestTON, 1);
  EXPECT_EQ(d.Originator, "0612345678");
  EXPECT_EQ(d.OrigNPI, 1);
  EXPECT_EQ(d.TimeStamp, 0) << "no time after the user data";
  d = Deliver(DeliverBody(0x04, 0, 2, Hex("01 FF")));
  EXPECT_EQ(d.Text, u"01FF");
  EXPECT_EQ(d.Encoding, et8BitHexadecimal);
  d = Deliver(DeliverBody(0x08, 2, 6, Hex("02 AA BB 00 41 00"), "12030212345600"));
  EXPECT_EQ(d.Text, u"A");
  EXPECT_EQ(d.UDH, "02AABB");
  EXPECT_EQ(d.Encoding, etUCS2Text);
  EXPECT_EQ(d.TimeStamp, EncodeDateTime(2012, 3, 2, 12, 34, 56, 0));
  // 7-bit with a header: the header's septets and fill bits are skipped.
  d = Deliver(DeliverBody(0x00, 2, 9, Hex("05 00 03 AB 02 01 90 69")));
  EXPECT_EQ(d.UDH, "050003AB0201");
  EXPECT_EQ(d.Text, u"Hi");
  // A length that claims more septets than the octets hold is capped.
  d = Deliver(DeliverBody(0x00, 0, 200, Hex("61 F1 98 5C 36 9F D1")));
  EXPECT_EQ(d.Text, u"abcdefgh");
  // A TON character that is not a digit: 0 - 8 in 8 bits.
  std::string body = DeliverBody(0x00, 0, 1, Hex("41"));
  body[1] = 'x';
  EXPECT_EQ(Deliver(body).DestTON, 248);
}

TEST(SemaDecode, MalformedMessagesRaiseInsteadOfReadingOutside) {
  EXPECT_THROW(Deliver(DeliverBody(0x00, 0, 8, Hex("61 F1")).substr(0, 20)), ERangeError);
  std::string shortAddress = DeliverBody(0x00, 0, 1, Hex("41"));
  shortAddress[0] = '\x01';
  EXPECT_THROW(Deliver(shortAddress), EConvertError);
  std::string overrun = DeliverBody(0x00, 0, 1, Hex("41"));
  overrun[overrun.size() - 2] = '\x50'; // user data octets past the end
  EXPECT_THROW(Deliver(overrun), ERangeError);
  std::string id, d, o;
  TDateTime mt, t;
  uint8_t ot, on, st;
  int r;
  std::string report = ReportBody(513, 6, "\x07");
  EXPECT_THROW(TIn(Message(1, 0, 4, report.substr(0, 30)))
                   .DecodeStatusReportMsg(id, mt, d, o, ot, on, st, r, t),
               ERangeError);
}

TEST(SemaDecode, StatusReports) {
  std::string id, d, o;
  TDateTime mt, t;
  uint8_t ot, on, st;
  int r;
  TIn(Message(1, 0, 4, ReportBody(513, 6, "\x07")))
      .DecodeStatusReportMsg(id, mt, d, o, ot, on, st, r, t);
  EXPECT_EQ(id, "513");
  EXPECT_EQ(d, "0612345678");
  EXPECT_EQ(st, 6);
  EXPECT_EQ(r, 7) << "the failure reason comes before the originator";
  EXPECT_EQ(o, "1234");
  EXPECT_EQ(mt, EncodeDateTime(2012, 3, 2, 12, 34, 56, 0));
  EXPECT_EQ(t, EncodeDateTime(2012, 3, 2, 12, 35, 0, 0));
  TIn(Message(1, 0, 4, ReportBody(514, 0))).DecodeStatusReportMsg(id, mt, d, o, ot, on, st, r, t);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(o, "1234");
  EXPECT_EQ(id, "514");
}

TEST(SemaDecode, TimeStrToDateTime) {
  EXPECT_EQ(TimeStrToDateTime("06031514300500"), EncodeDateTime(2006, 3, 15, 14, 30, 5, 0));
  EXPECT_THROW(TimeStrToDateTime("06001514300500"), EConvertError);
}

} // namespace
} // namespace garvel::sema
