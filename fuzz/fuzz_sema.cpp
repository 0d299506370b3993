// SEMA from the network: framing, classification, keys, and every decoder
// of what the SMSC sends.
#include "FuzzStream.h"
#include "xcGarvelSEMA.h"

#include <cstdlib>

using namespace garvel;
using namespace garvel::sema;

namespace {

void Handle(TxcSMSCMessage& M) {
  auto& m = static_cast<TxcSMSCMessageSEMA&>(M);
  TMessageKey key;
  m.GetResponseKey(key);
  m.GetRequestKey(key);
  (void)m.Describe();
  (void)m.GetMessageClass();
  std::unique_ptr<TxcSMSCMessage> copy = TxcSMSCMessage::Create(m);
  auto& c = static_cast<TxcSMSCMessageSEMA&>(*copy);
  TxcSMSCMessageSEMA out;
  try {
    switch (m.GetMessageType()) {
    case mtDeliver: {
      std::string d, o, h;
      uint8_t dt, dn, ot, on;
      std::u16string t;
      TxcEncodingType e;
      TDateTime ts;
      c.DecodeReceiveMsg(d, dt, dn, o, ot, on, t, e, h, ts);
      out.EncodeResponseMsg(m);
      break;
    }
    case mtStatusReport: {
      std::string id, d, o;
      TDateTime mt, ts;
      uint8_t ot, on, st;
      int r;
      c.DecodeStatusReportMsg(id, mt, d, o, ot, on, st, r, ts);
      out.EncodeResponseMsg(m);
      break;
    }
    case mtSubmitRsp:
      c.DecodeSubmitRspMsg();
      break;
    case mtRequestDeliveryRsp:
      c.DecodeRequestDeliveryRspMsg();
      break;
    case mtLoginRsp:
      c.DecodeLoginRspMsg();
      break;
    default:
      break;
    }
  } catch (const ERangeError&) {
    // Malformed: reported, not acknowledged.
  } catch (const EConvertError&) {
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TxcSMSCMessageSEMA in;
  if (!fuzz::FrameAll(Data, Size, in, Handle))
    std::abort(); // framing would spin
  return 0;
}
