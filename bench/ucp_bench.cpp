// UCP over loopback: how fast a session skips bytes that cannot start a
// frame (a hostile or broken SMSC), measured from the first junk byte sent
// to the delivery behind it reaching the handler. Target: >= 100 MB/s.
//
// Options: --junk_mb=N (default 256).
#include "xcGarvelUCP.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using namespace garvel;
using namespace garvel::ucp;
using Clock = std::chrono::steady_clock;

// An OT 52 with the text "A", built by the codec's own rules.
std::string Delivery() {
  TxcSMSCMessageUCP m;
  m.BeginFrame(7, 'O', 52);
  for (int i = 1; i <= 33; ++i)
    m.AddParam(i == 15 ? "020312123456" : i == 19 ? "3" : i == 21 ? "41" : "");
  m.EndFrame();
  return std::string(m.FBuffer.begin(), m.FBuffer.end());
}

} // namespace

int main(int argc, char** argv) {
  long long junkMb = 256;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--junk_mb=", 10) == 0)
      junkMb = std::atoll(argv[i] + 10);

  TTcpListener listener;
  if (!listener.Listen("127.0.0.1", 0))
    return 1;
  TxcGarvelUCP ucp(nullptr);
  ucp.SetKeepAlive(false);
  bool delivered = false;
  ucp.OnMessageReceived = [&](TObject*, const std::string&, const std::string&,
                              const std::u16string&, TxcEncodingType, const std::string&,
                              TDateTime) { delivered = true; };

  Clock::time_point start;
  std::thread smsc([&] {
    std::unique_ptr<TCustomIpClient> c = listener.Accept(5000);
    if (!c)
      return;
    // Junk as a broken SMSC might send it: ETX and text, never an STX.
    std::string chunk(1 << 16, 'j');
    for (size_t i = 0; i < chunk.size(); i += 97)
      chunk[i] = '\x03';
    const long long chunks = junkMb * 16;
    start = Clock::now();
    for (long long i = 0; i < chunks; ++i)
      if (c->SendBuf(chunk.data(), static_cast<int>(chunk.size())) < 0)
        return;
    std::string f = Delivery();
    c->SendBuf(f.data(), static_cast<int>(f.size()));
    c->WaitForData(10000); // until the client closes
  });

  if (ucp.Connect("127.0.0.1", listener.Port()) != 0 ||
      ucp.InitializeSession("1234", 1, 1, "", false) != 0) {
    std::fprintf(stderr, "no session\n");
    return 1;
  }
  Application()->ProcessUntil([&] { return delivered; }, 600000);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ucp.Disconnect();
  Application()->ProcessUntil([&] { return ucp.State() == rsNotConnected; }, 2000);
  smsc.join();
  std::printf("UCP on 127.0.0.1\n");
  std::printf("  junk skipped before a frame: %lld MB in %.2f s = %.0f MB/s (target >= 100)  %s\n",
              junkMb, seconds, seconds > 0 ? static_cast<double>(junkMb) / seconds : 0.0,
              delivered ? "frame delivered" : "FRAME LOST");
  return delivered ? 0 : 1;
}
