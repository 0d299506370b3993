// SMPP from the network: framing, classification, keys, the receive side's
// own answers, the response decoders, and deliver_sm with receipts and TLVs.
#include "FuzzStream.h"
#include "xcGarvelSMPP.h"

#include <cstdlib>

using namespace garvel;
using namespace garvel::smpp;

namespace {

void Handle(TxcSMSCMessage& M) {
  auto& m = static_cast<TxcSMSCMessageSMPP&>(M);
  TMessageKey key;
  m.GetResponseKey(key);
  m.GetRequestKey(key);
  (void)m.Describe();
  TxcSMSCMessageSMPP out;
  switch (m.GetControlAction()) {
  case caAnswer:
  case caAnswerAndClose:
    out.EncodeResponseMsg(m);
    break;
  default:
    break;
  }
  std::unique_ptr<TxcSMSCMessage> copy = TxcSMSCMessage::Create(m);
  auto& c = static_cast<TxcSMSCMessageSMPP&>(*copy);
  switch (m.GetMessageType()) {
  case mtDeliver:
    for (TxcTextCoding coding : {tcWindows1252, tcGSM}) {
      TReceiveMessageType type;
      std::string id, dest, orig, udh;
      uint8_t dton, dnpi, oton, onpi, status;
      std::u16string text;
      TxcEncodingType enc;
      int reason;
      c.FTextCoding = coding;
      c.DecodeReceiveMsg(type, id, dest, dton, dnpi, orig, oton, onpi, text, enc, udh, status,
                         reason);
    }
    out.EncodeResponseMsg(m);
    break;
  case mtSubmitRsp:
    c.DecodeSubmitRspMsg();
    break;
  case mtLoginRsp:
    c.DecodeLoginRspMsg();
    break;
  case mtAliveRsp:
  case mtNack:
    c.DecodeAliveRspMsg();
    break;
  default:
    break;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TxcSMSCMessageSMPP in;
  if (!fuzz::FrameAll(Data, Size, in, Handle))
    std::abort(); // framing would spin
  return 0;
}
