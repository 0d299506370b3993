// The SMPP PDU codec: exact PDUs, sequence numbers, time forms, framing and
// classification, response and deliver_sm decoding, malformed input.
#include "xcGarvelSMPP.h"
#include "SmppPdu.h"

#include "CodePage.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace garvel::smpp {
namespace {

using namespace test;

std::string Str(const TByteDynArray& B) {
  return std::string(B.begin(), B.end());
}

// A message holding the given octets.
struct TPdu : TxcSMSCMessageSMPP {
  explicit TPdu(const std::string& Bytes) { FBuffer.assign(Bytes.begin(), Bytes.end()); }
};

// Sets the process's zone for one test and restores it after.
class TZoneGuard {
public:
  explicit TZoneGuard(const char* Zone) {
    if (const char* old = std::getenv("TZ")) {
      FOld = old;
      FHadOld = true;
    }
    setenv("TZ", Zone, 1);
    tzset();
  }
  ~TZoneGuard() {
    if (FHadOld)
      setenv("TZ", FOld.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

private:
  std::string FOld;
  bool FHadOld = false;
};

// --- Primitives ----------------------------------------------------------------

TEST(SmppPrimitives, NumbersAreNetworkOrder) {
  TxcSMSCMessageSMPP m;
  m.AddWord(0x1234);
  m.AddLongWord(0x01020304);
  EXPECT_EQ(Str(m.FBuffer), Hex("12 34 01 02 03 04"));
  int i = 0;
  EXPECT_EQ(m.GetWord(i), 0x1234);
  EXPECT_EQ(m.GetLongWord(i), 0x01020304u);
  EXPECT_EQ(i, 6);
  EXPECT_THROW(m.GetWord(i), ERangeError);
  EXPECT_EQ(TxcSMSCMessageSMPP::ChangeByteOrderWord(0xABCD), 0xCDAB);
  EXPECT_EQ(TxcSMSCMessageSMPP::ChangeByteOrderLongWord(0xA1B2C3D4u), 0xD4C3B2A1u);
}

TEST(SmppPrimitives, CStringsStopAtTheirZeroOrTheEnd) {
  TPdu m(CStr("abc") + CStr("") + "xy");
  int i = 0;
  EXPECT_EQ(m.GetCString(i), "abc");
  EXPECT_EQ(i, 4);
  EXPECT_EQ(m.GetCString(i), "");
  EXPECT_EQ(i, 5);
  EXPECT_EQ(m.GetCString(i), "xy") << "no zero octet: up to the end";
  EXPECT_EQ(i, 7);
  EXPECT_EQ(m.GetCString(i), "");
  EXPECT_EQ(i, 7);

  TxcSMSCMessageSMPP w;
  w.AddCString("");
  w.AddCString("ab");
  EXPECT_EQ(Str(w.FBuffer), Hex("00 61 62 00"));
  EXPECT_THROW(w.AddCString(std::string("a\0b", 3)), EConvertError);
}

TEST(SmppPrimitives, SequenceNumbersStartAtOneAndWrapPastTheLargest) {
  TxcSMSCMessageSMPP m;
  EXPECT_EQ(m.FSequenceNumber, 0);
  m.Reset();
  EXPECT_EQ(m.GetSequenceNumber(), 1);
  EXPECT_EQ(m.GetSequenceNumber(), 2);
  m.FSequenceNumber = INT32_MAX - 1;
  EXPECT_EQ(m.GetSequenceNumber(), INT32_MAX - 1);
  EXPECT_EQ(m.GetSequenceNumber(), INT32_MAX);
  EXPECT_EQ(m.GetSequenceNumber(), 1);
}

TEST(SmppPrimitives, CopiesAndSlotsWithoutBody) {
  TxcSMSCMessageSMPP m;
  m.Reset();
  m.EncodeAliveMsg();
  m.FMessageID = "id";
  std::unique_ptr<TxcSMSCMessage> copy = TxcSMSCMessage::Create(m);
  auto* c = dynamic_cast<TxcSMSCMessageSMPP*>(copy.get());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->FBuffer, m.FBuffer);
  EXPECT_EQ(c->FSequenceNumber, 0);
  EXPECT_EQ(c->FMessageID, "");
  EXPECT_THROW(m.EncodeLoginMsg(), EAbstractError);
  EXPECT_THROW(m.EncodeSubmitMsg(), EAbstractError);
  EXPECT_THROW(m.EncodeRequestDeliveryMsg(), EAbstractError);
  EXPECT_THROW(m.DecodeReceiveMsg(), EAbstractError);
  EXPECT_THROW(m.DecodeStatusReportMsg(), EAbstractError);
}

// --- Encoders ------------------------------------------------------------------

TEST(SmppEncode, EnquireLinkAfterResetAndTheNextNumber) {
  TxcSMSCMessageSMPP m;
  m.Reset();
  m.EncodeAliveMsg();
  EXPECT_EQ(Str(m.FBuffer), Hex("00 00 00 10 00 00 00 15 00 00 00 00 00 00 00 01"));
  m.EncodeAliveMsg();
  EXPECT_EQ(SequenceOf(Str(m.FBuffer)), 2u);
}

TEST(SmppEncode, BindPdus) {
  struct Case {
    const char* Name;
    std::string SystemID, Password, SystemType;
    uint8_t TON, NPI;
    TxcBindModeSMPP Mode;
    std::string Expected;
  } cases[] = {
      {"transmitter, first of session", "abc", "", "", 0, 0, bmTransmitter,
       Hex("00 00 00 1A 00 00 00 02 00 00 00 00 00 00 00 01 61 62 63 00 00 00 34 00 00 00")},
      {"receiver", "a", "pw", "VMA", 1, 2, bmReceiver,
       Pdu(kBindReceiver, 0, 1, CStr("a") + CStr("pw") + CStr("VMA") + Hex("34 01 02 00"))},
      {"transceiver", "", "", "", 5, 9, bmTransceiver,
       Pdu(kBindTransceiver, 0, 1, Hex("00 00 00 34 05 09 00"))},
      {"any other mode", "x", "", "", 0, 0, static_cast<TxcBindModeSMPP>(7),
       Pdu(kBindTransceiver, 0, 1, CStr("x") + Hex("00 00 34 00 00 00"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TxcSMSCMessageSMPP m;
    m.Reset();
    ASSERT_TRUE(m.EncodeLoginMsg(c.SystemID, c.Password, c.TON, c.NPI, c.SystemType, c.Mode));
    EXPECT_EQ(Str(m.FBuffer), c.Expected);
  }
}

TEST(SmppEncode, ResponsesRepeatTheSequenceNumber) {
  struct Case {
    const char* Name;
    std::string Request, Expected;
  } cases[] = {
      {"deliver_sm_resp", Pdu(kDeliverSm, 0, 7, TDeliver{}.Body()),
       Hex("00 00 00 11 80 00 00 05 00 00 00 00 00 00 00 07 00")},
      {"enquire_link_resp", Pdu(kEnquireLink, 0, 0x7FFFFFFF),
       Hex("00 00 00 10 80 00 00 15 00 00 00 00 7F FF FF FF")},
      {"unbind_resp", Pdu(kUnbind, 0, 3), Hex("00 00 00 10 80 00 00 06 00 00 00 00 00 00 00 03")},
      {"generic_nack for data_sm", Pdu(kDataSm, 0, 9, "whatever"),
       Hex("00 00 00 10 80 00 00 00 00 00 00 03 00 00 00 09")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TPdu request(c.Request);
    TxcSMSCMessageSMPP out;
    out.Reset();
    out.EncodeResponseMsg(request);
    EXPECT_EQ(Str(out.FBuffer), c.Expected);
    EXPECT_EQ(out.FSequenceNumber, 1) << "a response takes no number";
  }
  TxcSMSCMessage other;
  TxcSMSCMessageSMPP out;
  EXPECT_THROW(out.EncodeResponseMsg(other), EInvalidCast);
}

std::string SubmitBody(const std::string& Source, const std::string& Dest, int Esm,
                       const std::string& Schedule, const std::string& Validity, int Registered,
                       int DataCoding, const std::string& UserData) {
  return CStr("") + Hex("01 02") + CStr(Source) + Hex("03 04") + CStr(Dest) + Octet(Esm) +
         Hex("00 00") + CStr(Schedule) + CStr(Validity) + Octet(Registered) + Octet(0) +
         Octet(DataCoding) + Octet(0) + Octet(static_cast<int>(UserData.size())) + UserData;
}

TEST(SmppEncode, SubmitFieldsByOptionsAndEncoding) {
  TZoneGuard zone("UTC0");
  const TxcSubmitOptionSet none;
  struct Case {
    const char* Name;
    std::u16string Text;
    TxcEncodingType Encoding;
    std::string UDH;
    TxcSubmitOptionSet Options;
    TDateTime Delivery, Validity;
    std::string Expected;
  } cases[] = {
      {"plain text", u"Hi\u00E9", et7BitText, "", none, 0, 0,
       SubmitBody("from", "to", 0, "", "", 0, 0x00, "Hi\xE9")},
      {"receipt, flash, UCS-2 with a header", u"\u20AC", etUCS2Text, "050003010201",
       TxcSubmitOptionSet{soRequestStatusReport, soDirectDisplay}, 0, 0,
       SubmitBody("from", "to", 0x40, "", "", 0x11, 0x18, Hex("05 00 03 01 02 01 20 AC"))},
      {"8-bit from hexadecimal digits", u"00ff7A", et8BitHexadecimal, "", none, 0, 0,
       SubmitBody("from", "to", 0, "", "", 0, 0x04, Hex("00 FF 7A"))},
      {"relative delivery, zero time", u"", et7BitText, "",
       TxcSubmitOptionSet{soDeliveryTimeRelative}, 0, 0,
       SubmitBody("from", "to", 0, "000000000000000R", "", 0, 0, "")},
      {"absolute wins over relative", u"", et7BitText, "",
       TxcSubmitOptionSet{soDeliveryTimeRelative, soDeliveryTimeAbsolute, soValidityPeriodRelative},
       0, 1.5, SubmitBody("from", "to", 0, "991230000000000-", "000001120000000R", 0, 0, "")},
      {"absolute validity", u"", et7BitText, "", TxcSubmitOptionSet{soValidityPeriodAbsolute}, 0,
       EncodeDateTime(2006, 3, 15, 14, 30, 5, 250),
       SubmitBody("from", "to", 0, "", "060315143005200-", 0, 0, "")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TxcSMSCMessageSMPP m;
    m.Reset();
    ASSERT_TRUE(m.EncodeSubmitMsg("to", 3, 4, "from", 1, 2, c.Text, c.Encoding, c.UDH, c.Options,
                                  c.Delivery, c.Validity));
    EXPECT_EQ(Str(m.FBuffer), Pdu(kSubmitSm, 0, 1, c.Expected));
  }
}

TEST(SmppEncode, UserDataLimitAndZeroOctetsAreRefusedBeforeAnything) {
  struct Case {
    const char* Name;
    std::string Dest, Source;
    std::u16string Text;
    TxcEncodingType Encoding;
    std::string UDH;
    bool Carried;
  } cases[] = {
      {"254 text octets", "1", "2", std::u16string(254, u'a'), et7BitText, "", true},
      {"255 text octets", "1", "2", std::u16string(255, u'a'), et7BitText, "", false},
      {"header and text at 254", "1", "2", std::u16string(248, u'a'), et7BitText, "050003010201",
       true},
      {"header and text at 255", "1", "2", std::u16string(249, u'a'), et7BitText, "050003010201",
       false},
      {"127 UCS-2 characters", "1", "2", std::u16string(127, u'\u0416'), etUCS2Text, "", true},
      {"128 UCS-2 characters", "1", "2", std::u16string(128, u'\u0416'), etUCS2Text, "", false},
      {"zero octet in destination", std::string("1\0002", 3), "2", u"x", et7BitText, "", false},
      {"zero octet in originator", "1", std::string("\0", 1), u"x", et7BitText, "", false},
      {"zero octets in the text travel", "1", "2", std::u16string(3, u'\0'), et7BitText, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TxcSMSCMessageSMPP m;
    m.Reset();
    m.FBuffer = {0xEE};
    bool ok = m.EncodeSubmitMsg(c.Dest, 0, 0, c.Source, 0, 0, c.Text, c.Encoding, c.UDH, {}, 0, 0);
    EXPECT_EQ(ok, c.Carried);
    if (ok) {
      std::string pdu = Str(m.FBuffer);
      EXPECT_EQ(LengthOf(pdu), pdu.size());
    } else {
      EXPECT_EQ(m.FBuffer, TByteDynArray{0xEE}) << "left untouched";
      EXPECT_EQ(m.FSequenceNumber, 1) << "no number taken";
    }
  }
  TxcSMSCMessageSMPP m;
  m.Reset();
  EXPECT_FALSE(m.EncodeSubmitMsg("1", 0, 0, "2", 0, 0, u"", et7BitText, "",
                                 TxcSubmitOptionSet{soValidityPeriodRelative}, 0, NAN));
  EXPECT_FALSE(m.EncodeLoginMsg("a", std::string("p\0w", 3), 0, 0, "", bmTransceiver));
  EXPECT_FALSE(m.EncodeLoginMsg("a", "", 0, 0, std::string(1, '\0'), bmTransceiver));
  EXPECT_EQ(m.FSequenceNumber, 1);
}

// --- Time forms -----------------------------------------------------------------

TEST(SmppTime, AbsoluteFormCarriesTheZoneInForceNow) {
  struct Case {
    const char* Zone;
    std::string Expected;
  } cases[] = {
      {"UTC0", "060315143005200-"},
      {"CET-1", "060315143005204+"}, // one hour ahead, standard time
      {"EST5", "060315143005220-"},  // five hours behind
      {"IST-5:30", "060315143005222+"},
      {"NPT-5:45", "060315143005223+"},
  };
  TDateTime t = EncodeDateTime(2006, 3, 15, 14, 30, 5, 250);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Zone);
    TZoneGuard zone(c.Zone);
    EXPECT_EQ(AbsoluteTimeStr(t), c.Expected);
  }
  TZoneGuard zone("UTC0");
  EXPECT_EQ(AbsoluteTimeStr(0).substr(0, 12), "991230000000");
  EXPECT_EQ(AbsoluteTimeStr(EncodeDateTime(2000, 1, 2, 3, 4, 5, 999)), "000102030405900-");
}

TEST(SmppTime, RelativeFormCapsTheDays) {
  struct Case {
    TDateTime Duration;
    std::string Expected;
  } cases[] = {
      {0, "000000000000000R"},
      {1.5, "000001120000000R"},
      {40, "000031000000000R"},
      {31, "000031000000000R"},
      {30 + EncodeTime(23, 59, 59, 0), "000030235959000R"},
      {31 + EncodeTime(1, 2, 3, 0), "000031010203000R"},
      {45.25, "000031060000000R"},
      {-2.5, "000000000000000R"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Duration);
    EXPECT_EQ(RelativeTimeStr(c.Duration), c.Expected);
  }
}

// --- Framing and classification -------------------------------------------------

TEST(SmppFraming, MessageSizeIsCommandLengthOrUnframeable) {
  struct Case {
    uint32_t Length;
    int Expected;
  } cases[] = {
      {0, 0},
      {15, 0},
      {16, 16},
      {17, 17},
      {65536, 65536},
      {65537, 65537},
      {0x80000000u, INT_MAX},
      {0xFFFFFFFFu, INT_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Length);
    TPdu m(U32(c.Length) + U32(kEnquireLink) + U32(0) + U32(1));
    EXPECT_EQ(m.GetHeaderSize(), 16);
    EXPECT_EQ(m.GetMessageSize(), c.Expected);
  }
  EXPECT_EQ(TxcSMSCMessageSMPP().GetMaxMessageSize(), kMaxPDUSize);
}

TEST(SmppFraming, ClassificationByCommandId) {
  struct Case {
    uint32_t Command;
    TReceiveMessageType Expected;
  } cases[] = {
      {kDeliverSm, mtDeliver},
      {kEnquireLink, mtAlive}, // answered by the receive side
      {kUnbind, mtUnknown},    // so are these (GetControlAction)
      {kDataSm, mtUnknown},
      {kSubmitSm, mtUnknown},
      {kOutbind, mtUnknown}, // SMPP has no response to these two
      {kAlertNotification, mtUnknown},
      {kGenericNack, mtNack},
      {kBindReceiver | kResponseBit, mtLoginRsp},
      {kBindTransmitter | kResponseBit, mtLoginRsp},
      {kBindTransceiver | kResponseBit, mtLoginRsp},
      {kSubmitSm | kResponseBit, mtSubmitRsp},
      {kEnquireLink | kResponseBit, mtAliveRsp},
      {kUnbind | kResponseBit, mtLogoutRsp},
      {kDeliverSm | kResponseBit, mtUnknown},
      {0x80000103u, mtUnknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Command);
    TPdu m(Pdu(c.Command, 0, 5));
    EXPECT_EQ(m.GetMessageType(), c.Expected);
    EXPECT_EQ(m.GetMessageClass(), mtMessage);
  }
  EXPECT_EQ(TPdu(Hex("00 00 00 10 00 00 00 05")).GetMessageType(), mtUnknown) << "no whole header";
}

TEST(SmppFraming, KeysTieResponsesToTheirRequests) {
  TxcSMSCMessageSMPP out;
  out.Reset();
  auto requestKey = [&] {
    TMessageKey k;
    EXPECT_TRUE(out.GetRequestKey(k));
    return k;
  };
  ASSERT_TRUE(out.EncodeLoginMsg("a", "", 0, 0, "", bmTransmitter)); // sequence 1
  TMessageKey bind = requestKey();
  ASSERT_TRUE(out.EncodeSubmitMsg("1", 0, 0, "2", 0, 0, u"x", et7BitText, "", {}, 0, 0)); // 2
  TMessageKey submit = requestKey();
  out.EncodeAliveMsg(); // 3
  TMessageKey alive = requestKey();

  auto answers = [](uint32_t Command, uint32_t Sequence, const TMessageKey& Request) {
    TPdu in(Pdu(Command, 0, Sequence));
    TMessageKey k;
    EXPECT_TRUE(in.GetResponseKey(k));
    return k.Answers(Request);
  };
  EXPECT_TRUE(answers(kBindTransmitter | kResponseBit, 1, bind));
  EXPECT_FALSE(answers(kBindReceiver | kResponseBit, 1, bind)) << "another bind's response";
  EXPECT_FALSE(answers(kBindTransmitter | kResponseBit, 2, bind)) << "another sequence";
  EXPECT_TRUE(answers(kSubmitSm | kResponseBit, 2, submit));
  EXPECT_FALSE(answers(kSubmitSm | kResponseBit, 3, submit));
  EXPECT_FALSE(answers(kEnquireLink | kResponseBit, 2, submit));
  EXPECT_TRUE(answers(kEnquireLink | kResponseBit, 3, alive));
  EXPECT_TRUE(answers(kGenericNack, 2, submit)) << "a nack answers whatever holds its number";
  EXPECT_FALSE(answers(kGenericNack, 0, submit));

  TMessageKey none;
  EXPECT_FALSE(TPdu(Pdu(kDeliverSm, 0, 9)).GetResponseKey(none)) << "a request is no answer";
  EXPECT_FALSE(TPdu(Pdu(kSubmitSm | kResponseBit, 0, 9)).GetRequestKey(none));
}

TEST(SmppFraming, TheSmscsOwnRequestsAreHandledByTheReceiveSide) {
  auto action = [](uint32_t Command) { return TPdu(Pdu(Command, 0, 5)).GetControlAction(); };
  EXPECT_EQ(action(kEnquireLink), caAnswer);
  EXPECT_EQ(action(kUnbind), caAnswerAndClose);
  EXPECT_EQ(action(kOutbind), caDrop);
  EXPECT_EQ(action(kAlertNotification), caDrop);
  EXPECT_EQ(action(kSubmitSm), caAnswer) << "generic_nack for what we do not serve";
  EXPECT_EQ(action(kDeliverSm), caNone) << "for the application";
  EXPECT_EQ(action(kSubmitSm | kResponseBit), caNone);
  EXPECT_EQ(TPdu(Pdu(kEnquireLink, 0, 5)).GetMessageType(), mtAlive);
  EXPECT_EQ(TPdu(Pdu(kSubmitSm | kResponseBit, 0x45, 7)).Describe(),
            "submit_sm_resp sequence 7 status 0x00000045");
}

// --- Response decoders -----------------------------------------------------------

TEST(SmppDecode, ResponsesWithAndWithoutBody) {
  struct Case {
    const char* Name;
    std::string Pdu;
    int Result;
    std::string MessageID;
  } cases[] = {
      {"submit ok", Pdu(kSubmitSm | kResponseBit, 0, 2, CStr("MSG-1")), 0, "MSG-1"},
      {"submit refused with body", Pdu(kSubmitSm | kResponseBit, 0x45, 2, CStr("")), 0x45, ""},
      {"submit refused, no body", Pdu(kSubmitSm | kResponseBit, 0x58, 2), 0x58, ""},
      {"message_id without its zero", Pdu(kSubmitSm | kResponseBit, 0, 2, "AB"), 0, "AB"},
      {"generic_nack keeps the id", Pdu(kGenericNack, 3, 2), rcGeneralError, "before"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TPdu m(c.Pdu);
    m.FMessageID = "before";
    m.DecodeSubmitRspMsg();
    EXPECT_EQ(m.FResultCode, c.Result);
    EXPECT_EQ(m.FMessageID, c.MessageID);
  }
  TPdu bind(Pdu(kBindTransceiver | kResponseBit, kESME_RBINDFAIL, 1));
  bind.DecodeLoginRspMsg();
  EXPECT_EQ(bind.FResultCode, 0x0D);
  TPdu bound(Pdu(kBindTransceiver | kResponseBit, 0, 1, CStr("SMSC")));
  bound.DecodeLoginRspMsg();
  EXPECT_EQ(bound.FResultCode, 0);
  TPdu alive(Pdu(kEnquireLink | kResponseBit, 0x08, 1));
  alive.FResultCode = 99;
  alive.DecodeAliveRspMsg();
  EXPECT_EQ(alive.FResultCode, 0);
}

// --- deliver_sm -----------------------------------------------------------------

struct TDecoded {
  TReceiveMessageType Type = mtUnknown;
  std::string MessageID, Destination, Originator, UDH;
  uint8_t DestTON = 0xEE, DestNPI = 0xEE, OrigTON = 0xEE, OrigNPI = 0xEE, SMStatus = 0xEE;
  std::u16string Text;
  TxcEncodingType Encoding = etUCS2Text;
  int FailureReason = 12345;
};

TDecoded Decode(const std::string& Bytes) {
  TPdu m(Bytes);
  TDecoded d;
  m.DecodeReceiveMsg(d.Type, d.MessageID, d.Destination, d.DestTON, d.DestNPI, d.Originator,
                     d.OrigTON, d.OrigNPI, d.Text, d.Encoding, d.UDH, d.SMStatus, d.FailureReason);
  return d;
}

TEST(SmppDecode, MobileOriginatedByDataCoding) {
  struct Case {
    const char* Name;
    int Esm, DataCoding;
    std::string ShortMessage;
    std::u16string Text;
    TxcEncodingType Encoding;
    std::string UDH;
  } cases[] = {
      {"default alphabet", 0, 0x00, "Hello \xE9", u"Hello \u00E9", et7BitText, ""},
      {"message class 0xF0", 0, 0xF0, "abc", u"abc", et7BitText, ""},
      {"flash 0x10", 0, 0x10, "abc", u"abc", et7BitText, ""},
      {"binary 0x02", 0, 0x02, Hex("00 ab 7F"), u"00AB7F", et8BitHexadecimal, ""},
      {"binary 0x04", 0, 0x04, Hex("ff"), u"FF", et8BitHexadecimal, ""},
      {"UCS-2", 0, 0x08, Hex("04 16 20 AC"), u"\u0416\u20AC", etUCS2Text, ""},
      {"UCS-2 with a header", 0x40, 0x08, Hex("05 00 03 07 02 01 00 41"), u"A", etUCS2Text,
       "050003070201"},
      {"header without text", 0x40, 0x00, Hex("02 AA BB"), u"", et7BitText, "02AABB"},
      {"header length past the data", 0x40, 0x00, Hex("09 AA"), u"", et7BitText, "09AA"},
      {"254 octets", 0, 0x00, std::string(254, 'z'), std::u16string(254, u'z'), et7BitText, ""},
      // The coding groups: bits 3-2 of 0x10-0x7F, bit 2 of 0xF0-0xFF.
      {"UCS-2, class 0 (0x18)", 0, 0x18, Hex("04 16"), u"\u0416", etUCS2Text, ""},
      {"8-bit, class 1 (0x15)", 0, 0x15, Hex("01 02"), u"0102", et8BitHexadecimal, ""},
      {"automatic deletion UCS-2 (0x48)", 0, 0x48, Hex("00 41"), u"A", etUCS2Text, ""},
      {"compressed (0x20)", 0, 0x20, Hex("41 42"), u"4142", et8BitHexadecimal, ""},
      {"8-bit class 2 (0xF6)", 0, 0xF6, Hex("7F"), u"7F", et8BitHexadecimal, ""},
      {"message waiting UCS-2 (0xE0)", 0, 0xE0, Hex("00 42"), u"B", etUCS2Text, ""},
      {"reserved group (0x80)", 0, 0x80, Hex("C3"), u"C3", et8BitHexadecimal, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TDeliver d;
    d.EsmClass = c.Esm;
    d.DataCoding = c.DataCoding;
    d.ShortMessage = c.ShortMessage;
    TDecoded r = Decode(Pdu(kDeliverSm, 0, 1, d.Body()));
    EXPECT_EQ(r.Type, mtDeliver);
    EXPECT_EQ(r.Text, c.Text);
    EXPECT_EQ(r.Encoding, c.Encoding);
    EXPECT_EQ(r.UDH, c.UDH);
    EXPECT_EQ(r.Originator, "4477001");
    EXPECT_EQ(r.OrigTON, 1);
    EXPECT_EQ(r.OrigNPI, 1);
    EXPECT_EQ(r.Destination, "1234");
    EXPECT_EQ(r.DestTON, 0);
    EXPECT_EQ(r.DestNPI, 1);
    EXPECT_EQ(r.MessageID, "");
    EXPECT_EQ(r.SMStatus, 0);
    EXPECT_EQ(r.FailureReason, -1);
  }
}

TEST(SmppDecode, Receipts) {
  const std::string standard = "id:123 sub:001 dlvrd:001 submit date:0603151430 done "
                               "date:0603151431 stat:DELIVRD err:000 text:hi";
  struct Case {
    const char* Name;
    int Esm;
    std::string Text, Tlvs;
    TReceiveMessageType Type;
    std::string MessageID;
    int SMStatus, FailureReason;
  } cases[] = {
      {"text only", 0x04, standard, "", mtStatusReport, "123", 2, 0},
      {"intermediate notification", 0x20, "id:9 stat:ENROUTE err:x", "", mtStatusReport, "9", 7,
       -1},
      {"three keys without the receipt flag", 0x00, "id:7 stat:REJECTD err:5", "", mtStatusReport,
       "7", 8, 5},
      {"two keys are a message", 0x00, "id:7 stat:REJECTD", "", mtDeliver, "7", 8, -1},
      {"a repeated pair does not count", 0x00, "id:7 done stat:EXPIRED", "", mtDeliver, "7", 3, -1},
      {"a repeated key does not count", 0x00, "id:1 id:2 err:3", "", mtDeliver, "2", 0, 3},
      {"keys are case-sensitive", 0x00, "ID:7 Stat:DELIVRD err:0", "", mtDeliver, "", 0, 0},
      {"a one-character last word is not read", 0x00, "id:7 stat:UNDELIV err:1 x", "",
       mtStatusReport, "7", 5, 1},
      {"text and TLVs: the TLVs win", 0x04, standard,
       Tlv(kTagReceiptedMessageId, CStr("ABC")) + Tlv(kTagMessageState, Hex("03")) +
           Tlv(kTagNetworkErrorCode, Hex("03 00 2A")),
       mtStatusReport, "ABC", 3, 0x03002A},
      {"TLVs only", 0x04, "",
       Tlv(kTagMessageState, Hex("05")) + Tlv(0x1234, "skip") + Tlv(kTagReceiptedMessageId, "XY"),
       mtStatusReport, "XY", 5, -1},
      {"short network_error_code ignored", 0x04, standard, Tlv(kTagNetworkErrorCode, Hex("01 02")),
       mtStatusReport, "123", 2, 0},
      {"truncated TLV ignored", 0x04, standard,
       Tlv(kTagMessageState, Hex("06")) + U16(kTagReceiptedMessageId) + U16(9) + "AB",
       mtStatusReport, "123", 6, 0},
      {"TLV cut inside its length", 0x04, standard, Hex("00 1E 00"), mtStatusReport, "123", 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TDeliver d;
    d.EsmClass = c.Esm;
    d.ShortMessage = c.Text;
    d.Tlvs = c.Tlvs;
    TDecoded r = Decode(Pdu(kDeliverSm, 0, 1, d.Body()));
    EXPECT_EQ(r.Type, c.Type);
    EXPECT_EQ(r.MessageID, c.MessageID);
    EXPECT_EQ(r.SMStatus, c.SMStatus);
    EXPECT_EQ(r.FailureReason, c.FailureReason);
    if (c.Type == mtStatusReport) {
      EXPECT_EQ(r.Destination, "4477001") << "the handset";
      EXPECT_EQ(r.DestTON, 1);
      EXPECT_EQ(r.DestNPI, 1);
      EXPECT_EQ(r.Originator, "1234");
      EXPECT_EQ(r.OrigTON, 0);
      EXPECT_EQ(r.OrigNPI, 1);
    } else {
      EXPECT_EQ(r.Destination, "1234");
    }
  }
}

// A receipt's "text:" quotes the message, which may hold anything: the
// words behind it are not the receipt's.
TEST(SmppDecode, ReceiptWordsStopAtItsText) {
  TDeliver d;
  d.EsmClass = 0x04;
  d.ShortMessage = "id:777 sub:001 dlvrd:001 submit date:2403151430 done date:2403151431 "
                   "stat:DELIVRD err:000 text:pay id:999 err:5";
  TDecoded r = Decode(Pdu(kDeliverSm, 0, 1, d.Body()));
  EXPECT_EQ(r.Type, mtStatusReport);
  EXPECT_EQ(r.MessageID, "777");
  EXPECT_EQ(r.SMStatus, 2);
  EXPECT_EQ(r.FailureReason, 0);
}

// The text in message_payload when short_message is empty (longer than a
// short_message can hold): nothing is lost.
TEST(SmppDecode, MessagePayloadCarriesTheText) {
  TDeliver d;
  d.DataCoding = 0x08;
  std::string ucs2;
  for (int i = 0; i < 300; ++i)
    ucs2 += Hex("04 16");
  d.Tlvs = Tlv(0x1234, "other") + Tlv(kTagMessagePayload, ucs2);
  TDecoded r = Decode(Pdu(kDeliverSm, 0, 1, d.Body()));
  EXPECT_EQ(r.Type, mtDeliver);
  EXPECT_EQ(r.Encoding, etUCS2Text);
  EXPECT_EQ(r.Text, std::u16string(300, u'\u0416'));

  // With a header, and a receipt text in the payload.
  d = TDeliver();
  d.EsmClass = 0x40;
  d.Tlvs = Tlv(kTagMessagePayload, Hex("05 00 03 01 02 01") + "tail");
  r = Decode(Pdu(kDeliverSm, 0, 1, d.Body()));
  EXPECT_EQ(r.UDH, "050003010201");
  EXPECT_EQ(r.Text, u"tail");
  d = TDeliver();
  d.EsmClass = 0x04;
  d.Tlvs = Tlv(kTagMessagePayload, "id:42 stat:DELIVRD err:000");
  r = Decode(Pdu(kDeliverSm, 0, 1, d.Body()));
  EXPECT_EQ(r.Type, mtStatusReport);
  EXPECT_EQ(r.MessageID, "42");

  // A short_message wins over the payload.
  d = TDeliver();
  d.ShortMessage = "short";
  d.Tlvs = Tlv(kTagMessagePayload, "payload");
  EXPECT_EQ(Decode(Pdu(kDeliverSm, 0, 1, d.Body())).Text, u"short");
}

// Text of the SMSC's default alphabet as GSM codes, one per octet, both
// ways; IA5 and Latin-1 stay octets.
TEST(SmppCoding, GsmCodesThroughTheTranslationTable) {
  TxcSMSCMessageSMPP out;
  out.Reset();
  out.FTextCoding = tcGSM;
  ASSERT_TRUE(
      out.EncodeSubmitMsg("1", 0, 0, "2", 0, 0, u"@$_ ok \u20AC", et7BitText, "", {}, 0, 0));
  const std::string gsm = Hex("00 02 11 20 6F 6B 20 1B 65");
  EXPECT_NE(Str(out.FBuffer).find(Octet(static_cast<int>(gsm.size())) + gsm), std::string::npos);

  TDeliver d;
  d.ShortMessage = gsm;
  TPdu in(Pdu(kDeliverSm, 0, 1, d.Body()));
  in.FTextCoding = tcGSM;
  TDecoded r;
  in.DecodeReceiveMsg(r.Type, r.MessageID, r.Destination, r.DestTON, r.DestNPI, r.Originator,
                      r.OrigTON, r.OrigNPI, r.Text, r.Encoding, r.UDH, r.SMStatus, r.FailureReason);
  EXPECT_EQ(r.Text, u"@$_ ok \u20AC") << "the '@' (code 0) does not cut the text";

  d.DataCoding = 0x03; // Latin-1: octets whatever the coding
  d.ShortMessage = "\xE9";
  TPdu latin(Pdu(kDeliverSm, 0, 1, d.Body()));
  latin.FTextCoding = tcGSM;
  latin.DecodeReceiveMsg(r.Type, r.MessageID, r.Destination, r.DestTON, r.DestNPI, r.Originator,
                         r.OrigTON, r.OrigNPI, r.Text, r.Encoding, r.UDH, r.SMStatus,
                         r.FailureReason);
  EXPECT_EQ(r.Text, u"\u00E9");
}

// What a field or the chosen coding cannot carry is refused before a
// sequence number is taken.
TEST(SmppEncode, ValuesBeyondTheirFieldsAreRefused) {
  TxcSMSCMessageSMPP m;
  m.Reset();
  auto bind = [&](const std::string& Id, const std::string& Pw, const std::string& Type) {
    return m.EncodeLoginMsg(Id, Pw, 0, 0, Type, bmTransceiver);
  };
  EXPECT_TRUE(bind(std::string(15, 'i'), std::string(8, 'p'), std::string(12, 't')));
  EXPECT_FALSE(bind(std::string(16, 'i'), "", ""));
  EXPECT_FALSE(bind("i", std::string(9, 'p'), ""));
  EXPECT_FALSE(bind("i", "", std::string(13, 't')));
  auto submit = [&](const std::string& To, const std::string& From, const std::u16string& Text,
                    TxcEncodingType E, const std::string& Udh = "") {
    return m.EncodeSubmitMsg(To, 0, 0, From, 0, 0, Text, E, Udh, {}, 0, 0);
  };
  EXPECT_TRUE(submit(std::string(20, '1'), std::string(20, '2'), u"x", et7BitText));
  EXPECT_FALSE(submit(std::string(21, '1'), "2", u"x", et7BitText));
  EXPECT_FALSE(submit("1", std::string(21, '2'), u"x", et7BitText));
  EXPECT_FALSE(submit("1", "2", u"\u041F\u0440\u0438", et7BitText)) << "not in Windows-1252";
  EXPECT_TRUE(submit("1", "2", u"\u041F\u0440\u0438", etUCS2Text));
  EXPECT_FALSE(submit("1", "2", u"ABC", et8BitHexadecimal)) << "odd";
  EXPECT_FALSE(submit("1", "2", u"0G", et8BitHexadecimal)) << "not hexadecimal";
  EXPECT_FALSE(submit("1", "2", u"\u0660\u0661", et8BitHexadecimal)) << "not even 8-bit";
  EXPECT_FALSE(submit("1", "2", u"x", et7BitText, "010G"));
  EXPECT_TRUE(submit("1", "2", u"0a", et8BitHexadecimal, "0500"));
  m.FTextCoding = tcGSM;
  EXPECT_FALSE(submit("1", "2", u"\u00E2", et7BitText)) << "not in the GSM table";
  TMessageKey k;
  ASSERT_TRUE(m.GetRequestKey(k));
  EXPECT_EQ(k.Id, 4) << "only the four requests that were encoded took numbers";
}

TEST(SmppDecode, StatusWords) {
  struct Case {
    const char* Word;
    int State;
  } cases[] = {{"DELIVRD", 2}, {"EXPIRED", 3}, {"DELETED", 4}, {"UNDELIV", 5}, {"ACCEPTD", 6},
               {"UNKNOWN", 7}, {"REJECTD", 8}, {"delivrd", 7}, {"", 7},        {"ENROUTE", 7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Word);
    EXPECT_EQ(StatusWordToState(c.Word), c.State);
  }
}

TEST(SmppDecode, FieldValuesOfAReceiptText) {
  std::string text = "id:12 submit date:0603 x:\ty\001 stat:";
  int position = 1;
  std::string key = "k0", value = "v0";
  std::vector<std::pair<std::string, std::string>> got;
  while (TxcSMSCMessageSMPP::GetFieldValue(text, position, key, value))
    got.emplace_back(key, value);
  std::vector<std::pair<std::string, std::string>> expected = {
      {"id", "12"},
      {"id", "12"}, // "submit" leaves the pair as it was
      {"date", "0603"},
      {"x", "y"},
      {"stat", ""}};
  EXPECT_EQ(got, expected);
  EXPECT_EQ(position, static_cast<int>(text.size()));

  int p = 1;
  EXPECT_FALSE(TxcSMSCMessageSMPP::GetFieldValue("a", p, key, value)) << "one character: no field";
  p = 1;
  EXPECT_FALSE(TxcSMSCMessageSMPP::GetFieldValue("", p, key, value));
}

TEST(SmppDecode, TLVsAtTheirLimits) {
  TByteDynArray data;
  std::string bytes = Tlv(0x0427, Hex("02")) + Tlv(0x001E, "") + U16(0x0423) + U16(3) + "ab";
  data.assign(bytes.begin(), bytes.end());
  int index = 0, tag = 0;
  TByteDynArray value;
  ASSERT_TRUE(TxcSMSCMessageSMPP::GetTLV(data, index, tag, value));
  EXPECT_EQ(tag, 0x0427);
  EXPECT_EQ(value, TByteDynArray{2});
  EXPECT_EQ(index, 5);
  ASSERT_TRUE(TxcSMSCMessageSMPP::GetTLV(data, index, tag, value));
  EXPECT_EQ(tag, 0x001E);
  EXPECT_TRUE(value.empty());
  EXPECT_EQ(index, 9);
  EXPECT_FALSE(TxcSMSCMessageSMPP::GetTLV(data, index, tag, value)) << "value one octet short";
  EXPECT_EQ(index, 9);
  data.push_back('c'); // now exactly long enough
  ASSERT_TRUE(TxcSMSCMessageSMPP::GetTLV(data, index, tag, value));
  EXPECT_EQ(Str(value), "abc");
  EXPECT_FALSE(TxcSMSCMessageSMPP::GetTLV(data, index, tag, value));
}

// Every prefix of a deliver_sm (as if command_length had lied about it) and
// every corruption of its sm_length decodes inside the buffer, without
// throwing; AddressSanitizer watches the reads.
TEST(SmppDecode, TruncatedAndCorruptDeliverStaysInside) {
  TDeliver d;
  d.EsmClass = 0x44;
  d.DataCoding = 0x08;
  d.ShortMessage = Hex("02 AA BB 00 41 00 42");
  d.Tlvs = Tlv(kTagReceiptedMessageId, CStr("ID")) + Tlv(kTagNetworkErrorCode, Hex("01 00 05"));
  const std::string whole = Pdu(kDeliverSm, 0, 1, d.Body());
  for (size_t n = 16; n <= whole.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_NO_THROW(Decode(whole.substr(0, n)));
  }
  EXPECT_THROW(Decode(whole.substr(0, 15)), ERangeError);

  const size_t smLengthAt = 16 + d.Body().size() - d.Tlvs.size() - d.ShortMessage.size() - 1;
  for (int smLength : {0, 1, 7, 8, 200, 255}) {
    SCOPED_TRACE(smLength);
    std::string bad = whole;
    bad[smLengthAt] = static_cast<char>(smLength);
    TDecoded r;
    EXPECT_NO_THROW(r = Decode(bad));
  }
  std::string pastEnd = whole;
  pastEnd[smLengthAt] = static_cast<char>(255);
  TDecoded r = Decode(pastEnd);
  EXPECT_EQ(r.MessageID, "") << "the TLVs were taken as text";
  EXPECT_EQ(r.UDH, "02AABB");

  // Unterminated C-octet strings run to the end.
  TDecoded u = Decode(Pdu(kDeliverSm, 0, 1, CStr("") + Hex("01 01") + "12345"));
  EXPECT_EQ(u.Type, mtDeliver);
  EXPECT_EQ(u.Originator, "12345");
  EXPECT_EQ(u.Destination, "");
  EXPECT_EQ(u.Text, u"");
}

} // namespace
} // namespace garvel::smpp
