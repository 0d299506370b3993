// CIMD2 from the network: framing, classification, keys, the receive side's
// own answers, and every decoder of what the SMSC sends, in both text forms.
#include "FuzzStream.h"
#include "xcGarvelCIMD2.h"

#include <cstdlib>

using namespace garvel;
using namespace garvel::cimd2;

namespace {

void Handle(TxcSMSCMessage& M) {
  auto& m = static_cast<TxcSMSCMessageCIMD2&>(M);
  TMessageKey key;
  m.GetResponseKey(key);
  m.GetRequestKey(key);
  (void)m.Describe();
  TxcSMSCMessageCIMD2 out;
  if (m.GetControlAction() == caAnswer)
    out.EncodeResponseMsg(m);
  std::unique_ptr<TxcSMSCMessage> copy = TxcSMSCMessage::Create(m);
  auto& c = static_cast<TxcSMSCMessageCIMD2&>(*copy);
  std::string d, o, h;
  std::u16string t;
  TxcEncodingType e;
  TDateTime ts, ts2;
  uint8_t status;
  int reason;
  for (bool combinations : {true, false}) {
    c.FSpecialCombinations = combinations;
    try {
      switch (m.GetMessageType()) {
      case mtDeliver:
        c.DecodeReceiveMsg(d, o, t, e, h, ts);
        break;
      case mtStatusReport:
        c.DecodeStatusReportMsg(ts, d, status, reason, ts2);
        break;
      case mtSubmitRsp:
        c.DecodeSubmitRspMsg();
        break;
      case mtLoginRsp:
        c.DecodeLoginRspMsg();
        break;
      case mtAliveRsp:
        c.DecodeAliveRspMsg();
        break;
      default:
        break;
      }
    } catch (const EConvertError&) {
      // An invalid time stamp: the packet goes unanswered.
    }
  }
  out.EncodeResponseMsg(m);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TxcSMSCMessageCIMD2 in;
  if (!fuzz::FrameAll(Data, Size, in, Handle))
    std::abort(); // framing would spin
  // The text form alone, both ways.
  std::string text(reinterpret_cast<const char*>(Data), Size);
  std::string back;
  (void)TextToCIMD2(CIMD2ToText(text), back);
  return 0;
}
