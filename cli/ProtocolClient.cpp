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
  Component.OnSubmitCompleted = [this](TObject*, const TxcSubmitCompletion& Completion) {
    if (OnSubmitCompleted)
      OnSubmitCompleted(Completion);
  };
}

std::unique_ptr<TProtocolClient> CreateClient(const std::string& Protocol) {
  if (Protocol == "ucp")
    return NewUcpClient();
  if (Protocol == "smpp")
    return NewSmppClient();
  if (Protocol == "cimd2")
    return NewCimd2Client();
  if (Protocol == "sema")
    return NewSemaClient();
  return nullptr;
}

std::vector<std::string> ClientProtocols() {
  return {"ucp", "smpp", "cimd2", "sema"};
}

std::string ResultText(int Code, const TProtocolClient& Client) {
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
    if (Code > 0)
      return "refused by the SMSC with " + Client.ErrorCodeText(Code);
    return "failed with result " + std::to_string(Code);
  }
}

std::string DisconnectReasonText(int Reason) {
  if (Reason > 0)
    return std::strerror(Reason);
  switch (Reason) {
  case drLocal:
    return "disconnected here";
  case drKeepAliveFailed:
    return "keep-alive unanswered";
  case drPeerClosed:
    return "closed by the SMSC";
  case drUnframeable:
    return "unframeable data from the SMSC";
  case drSendTimeOut:
    return "send timed out";
  case drInternalError:
    return "internal error";
  default:
    return "reason " + std::to_string(Reason);
  }
}

} // namespace garvel::cli
