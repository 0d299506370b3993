// UCP from the network: framing, classification, keys, the receive side's
// own answers, and every decoder of what the SMSC sends.
#include "FuzzStream.h"
#include "xcGarvelUCP.h"

#include <cstdlib>

using namespace garvel;
using namespace garvel::ucp;

namespace {

void Handle(TxcSMSCMessage& M) {
  auto& m = static_cast<TxcSMSCMessageUCP&>(M);
  TMessageKey key;
  m.GetResponseKey(key);
  m.GetRequestKey(key);
  (void)m.GetMessageClass();
  (void)m.Describe();
  std::unique_ptr<TxcSMSCMessage> copy = TxcSMSCMessage::Create(m);
  auto& c = static_cast<TxcSMSCMessageUCP&>(*copy);
  TxcSMSCMessageUCP out;
  switch (m.GetControlAction()) {
  case caAnswer:
  case caAnswerAndClose:
    out.EncodeResponseMsg(m);
    break;
  default:
    break;
  }
  std::string d, o, h;
  std::u16string t;
  TxcEncodingType e;
  TDateTime ts, ts2;
  uint8_t status;
  int reason;
  for (TxcTextCoding coding : {tcWindows1252, tcGSM}) {
    c.FTextCoding = coding;
    try {
      switch (m.GetMessageType()) {
      case mtDeliver:
        c.DecodeReceiveMsg(d, o, t, e, h, ts);
        break;
      case mtStatusReport:
        c.DecodeStatusReportMsg(ts, d, o, status, reason, ts2);
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
      // An invalid time stamp: the component refuses the frame (EC 02).
      out.EncodeNegativeResponseMsg(m, 2);
    }
  }
  out.EncodeResponseMsg(m);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TxcSMSCMessageUCP in;
  if (!fuzz::FrameAll(Data, Size, in, Handle))
    std::abort(); // framing would spin
  return 0;
}
