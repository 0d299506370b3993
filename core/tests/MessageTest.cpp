// The message buffer: byte order, reads, copies, abstract slots, framing.
#include "xcGarvel.h"
#include "TestMessage.h"
#include "FakePeer.h"

#include <gtest/gtest.h>

#include <thread>

namespace garvel {
namespace {

using test::Frame;
using test::TTestMessage;

TByteDynArray Bytes(std::initializer_list<int> L) {
  TByteDynArray a;
  for (int v : L)
    a.push_back(static_cast<uint8_t>(v));
  return a;
}

TEST(MessageBuffer, NumbersAreLittleEndianAndReadBack) {
  TxcSMSCMessage m;
  m.AddWord(0x1234);
  m.AddLongWord(0x01020304);
  EXPECT_EQ(m.FBuffer, Bytes({0x34, 0x12, 0x04, 0x03, 0x02, 0x01}));
  int i = 0;
  EXPECT_EQ(m.GetWord(i), 0x1234);
  EXPECT_EQ(i, 2);
  EXPECT_EQ(m.GetLongWord(i), 0x01020304u);
  EXPECT_EQ(i, 6);
}

TEST(MessageBuffer, StringAndArrayReadsAdvanceExactly) {
  TxcSMSCMessage m;
  m.AddString("ABCDEFG");
  int i = 2;
  EXPECT_EQ(m.GetString(i, 3), "CDE");
  EXPECT_EQ(i, 5);
  EXPECT_TRUE(m.GetByteDynArray(i, 0).empty());
  EXPECT_EQ(i, 5);
  EXPECT_EQ(m.GetChar(i), 'F');
  EXPECT_EQ(m.GetByte(i), 'G');
  EXPECT_EQ(i, 7);

  TxcSMSCMessage z;
  z.AddString(std::string("a\0b", 3));
  int j = 0;
  EXPECT_EQ(z.GetString(j, 3), std::string("a\0b", 3)) << "zero bytes are kept";
}

TEST(MessageBuffer, EmptyAppendsChangeNothing) {
  TxcSMSCMessage m;
  m.AddString("x");
  m.AddString("");
  m.AddChunk(nullptr, 0);
  m.AddByteDynArray({});
  EXPECT_EQ(m.Size(), 1);
}

TEST(MessageBuffer, ReadsPastTheEndThrowAndKeepIndex) {
  TxcSMSCMessage m;
  m.AddString("ABC");
  struct Case {
    const char* Name;
    int Index;
    std::function<void(int&)> Read;
  } cases[] = {
      {"word at last byte", 2, [&](int& i) { m.GetWord(i); }},
      {"long word", 0, [&](int& i) { m.GetLongWord(i); }},
      {"byte at end", 3, [&](int& i) { m.GetByte(i); }},
      {"string one too long", 1, [&](int& i) { m.GetString(i, 3); }},
      {"negative index", -1, [&](int& i) { m.GetChar(i); }},
      {"negative count", 0, [&](int& i) { m.GetByteDynArray(i, -1); }},
      {"huge count", 1, [&](int& i) { m.GetString(i, 0x7FFFFFFF); }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name);
    int i = c.Index;
    EXPECT_THROW(c.Read(i), ERangeError);
    EXPECT_EQ(i, c.Index);
  }
  int i = 1;
  EXPECT_EQ(m.GetString(i, 2), "BC") << "reading up to the end is fine";
}

TEST(MessageBuffer, CopyHasSourceClassAndOnlyTheBuffer) {
  TTestMessage src;
  src.AddString("abc");
  src.FResultCode = 7;
  src.Payload = "not copied";
  std::unique_ptr<TxcSMSCMessage> copy = TxcSMSCMessage::Create(src);
  auto* t = dynamic_cast<TTestMessage*>(copy.get());
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->FBuffer, src.FBuffer);
  EXPECT_EQ(t->FResultCode, 0);
  EXPECT_TRUE(t->Payload.empty());
  t->FBuffer[0] = 'z';
  src.AddByte('d');
  EXPECT_EQ(src.FBuffer, Bytes({'a', 'b', 'c', 'd'}));
  EXPECT_EQ(t->FBuffer, Bytes({'z', 'b', 'c'}));
}

// A class that forgets NewInstance would silently copy as the base class.
class TForgetful : public TxcSMSCMessage {};

TEST(MessageBuffer, CopyOfClassWithoutNewInstanceIsRefused) {
  TForgetful f;
  EXPECT_THROW(TxcSMSCMessage::Create(f), EInvalidCast);
}

TEST(MessageBuffer, SlotsWithoutBodyRaiseAbstractError) {
  TTestMessage m; // supplies login/submit/alive/response but not the rest
  EXPECT_THROW(m.EncodeRequestDeliveryMsg(), EAbstractError);
  EXPECT_THROW(m.DecodeReceiveMsg(), EAbstractError);
  EXPECT_THROW(m.DecodeStatusReportMsg(), EAbstractError);
  TxcSMSCMessage base;
  EXPECT_THROW(base.EncodeLoginMsg(), EAbstractError);
  EXPECT_THROW(base.EncodeResponseMsg(m), EAbstractError);
  base.FResultCode = 5;
  base.DecodeSubmitRspMsg();
  EXPECT_EQ(base.FResultCode, 0);
  EXPECT_EQ(base.GetMessageType(), mtUnknown);
  EXPECT_EQ(base.GetMessageClass(), mtMessage);
}

// ReadMessage against a real socket, with the frame arriving in pieces.
class ReadMessageTest : public ::testing::Test {
protected:
  void SetUp() override {
    Client.RemoteHost = "127.0.0.1";
    Client.RemotePort = std::to_string(Peer.Port());
    ASSERT_TRUE(Client.Connect());
    ASSERT_TRUE(Peer.Accept());
  }
  // Waits until the client has something new, then tries to frame.
  bool Next(TTestMessage& M, int TimeoutMs = 2000) {
    if (Client.WaitForData(TimeoutMs) != wdReadable)
      return false;
    return M.ReadMessage(Client);
  }

  testing::TFakePeer Peer;
  TxcTcpClient Client;
};

TEST_F(ReadMessageTest, ConsumesNothingUntilWholeFrameArrived) {
  std::string one = Frame('D', "hello"), two = Frame('S', "x");
  TTestMessage m;
  Peer.Write(one.substr(0, 2)); // part of the header
  EXPECT_FALSE(Next(m));
  EXPECT_EQ(Client.Buffered(), 2u);
  EXPECT_EQ(Client.WaitForData(50), wdTimeout) << "no new bytes: the wait must block";
  Peer.Write(one.substr(2, 3)); // header complete, body partial
  EXPECT_FALSE(Next(m));
  EXPECT_EQ(Client.Buffered(), 5u);
  Peer.Write(one.substr(5) + two); // rest of the first and the whole second
  ASSERT_TRUE(Next(m));
  EXPECT_EQ(m.Body(), "hello");
  EXPECT_EQ(Client.Buffered(), two.size()) << "the following frame stays queued";
  ASSERT_TRUE(Next(m));
  EXPECT_EQ(m.Body(), "x");
  EXPECT_EQ(m.GetMessageType(), mtStatusReport);
}

TEST_F(ReadMessageTest, SizeSmallerThanHeaderSkipsBytes) {
  TTestMessage m;
  Peer.Write(std::string("\x01\x00\x01", 3) + Frame('D', "ok"));
  ASSERT_TRUE(Next(m));
  EXPECT_EQ(m.Size(), 1) << "one byte framed and skipped";
}

TEST_F(ReadMessageTest, UnframeableSizesThrow) {
  for (std::string header : {std::string("D\x00\x00", 3), std::string("D\xFF\xFF", 3)}) {
    SCOPED_TRACE(static_cast<int>(static_cast<uint8_t>(header[1])));
    struct TCapped : TTestMessage {
      int GetMaxMessageSize() const override { return 1000; }
    } m;
    Peer.Write(header);
    ASSERT_EQ(Client.WaitForData(2000), wdReadable);
    EXPECT_THROW(m.ReadMessage(Client), EFramingError);
    EXPECT_LE(m.FBuffer.capacity(), 1000u) << "no allocation for the announced size";
    uint8_t sink[3];
    Client.ReceiveBuf(sink, 3);
  }
}

} // namespace
} // namespace garvel
