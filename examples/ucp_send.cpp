// Sends one text message over UCP and waits for its status report.
// Usage: ucp_send HOST PORT   (for instance against `garvel sim`)
#include <garvel/xcGarvelUCP.h>

#include <cstdio>
#include <string>

using namespace garvel;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s HOST PORT\n", argv[0]);
    return 2;
  }
  ucp::TxcGarvelUCP smsc(nullptr);
  smsc.SetResponseTimeOut(5000);
  bool reported = false;
  smsc.OnStatusReportReceived = [&](TObject*, TDateTime, const std::string& Destination,
                                    const std::string&, uint8_t Status, int, TDateTime) {
    std::printf("status report: message to %s has status %d\n", Destination.c_str(), Status);
    reported = true;
  };

  if (int r = smsc.Connect(argv[1], std::stoi(argv[2])); r != 0) {
    std::fprintf(stderr, "connect failed: error %d\n", r);
    return 1;
  }
  // Log in as account 1234 (TON 6, NPI 5) with password "secret".
  if (int r = smsc.InitializeSession("1234", 6, 5, "secret", true); r != 0) {
    std::fprintf(stderr, "login failed: error %d\n", r);
    return 1;
  }
  TDateTime stamp = 0;
  int r = smsc.SubmitMessage("0612345678", "1234", u"Hello from Garvel", et7BitText, "",
                             {soRequestStatusReport}, stamp);
  std::printf("submit result %d, SMSC time stamp %s\n", r, DateTimeToStr(stamp).c_str());

  // Events arrive on this thread while it pumps its notification queue.
  Application()->ProcessUntil([&] { return reported; }, 10000);
  smsc.Disconnect();
  return r == 0 && reported ? 0 : 1;
}
