// The protocols the garvel tool speaks, by name.
#include "ProtocolClient.h"

#include <cstring>

namespace garvel::cli {

TProtocolClient::~TProtocolClient() = default;

bool ParseByte(const std::string& Text, uint8_t& Out) {
  int n = StrToIntDef(Text, -1);
  if (n < 0 || n > 255)
    return false;
  Out = static_cast<uint8_t>(n);
  return true;
}

void TProtocolClient::ForwardRelayEvents(TxcGarvel& Component) {
  Component.OnDisconnected = [this](TObject*, int Reason) {
    if (OnDisconnected)
      OnDisconnected(Reason);
  };
  Component.OnError = [this](TObject*, const std::string& Text) {
    if (OnError)
      OnError(Text);
  };
}

std::unique_ptr<TProtocolClient> CreateClient(const std::string& Protocol) {
  if (Protocol == "ucp")
    return NewUcpClient();
  if (Protocol == "smpp")
    return NewSmppClient();
  return nullptr;
}

std::vector<std::string> ClientProtocols() {
  return {"ucp", "smpp"};
}

std::string ResultText(int Code) {
  switch (Code) {
  case rcOk:
    return "success";
  case rcTimeOut:
    return "no response within the response time-out";
  case rcWrongState:
    return "not allowed in this session state";
  case rcGeneralError:
    return "refused by the SMSC";
  case rcCannotCarry:
    return "a value the protocol cannot carry";
  default:
    return "refused by the SMSC with error code " + std::to_string(Code);
  }
}

} // namespace garvel::cli
