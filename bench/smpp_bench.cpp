// SMPP speed: the codec's encode+decode rate per PDU, synchronous submit
// round trips against the simulator (in a child process) next to a plain
// loopback TCP ping-pong of the same sizes, the CPU time and system calls
// one synchronous submit costs, the CPU an idle bound session uses, and a burst of
// deliver_sm that must all reach the handler and be answered once each.
//
// The Google Benchmark part (BM_...) runs first; the session figures follow
// in one summary. Options: the usual --benchmark_... flags, plus
// --rt_seconds=N (length of each round-trip measurement, default 2) and
// --burst=N (deliver_sm in the burst, default 100000).
#include "xcGarvelSMPP.h"

#include "CodePage.h"
#include "SmppPersonality.h"
#include "SmscServer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace garvel;
using namespace garvel::smpp;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point T) {
  return std::chrono::duration<double>(Clock::now() - T).count();
}

const std::u16string kText = u"The quick brown fox jumps over the lazy dog 0123456789 and back";

// --- Codec ---------------------------------------------------------------------

// A message holding the octets B.
struct TPdu : TxcSMSCMessageSMPP {
  explicit TPdu(const std::string& B) { FBuffer.assign(B.begin(), B.end()); }
};

std::string DeliverPdu(bool Receipt) {
  auto u32 = [](uint32_t V) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
      s[static_cast<size_t>(i)] = static_cast<char>(V >> (24 - 8 * i));
    return s;
  };
  std::string text = Receipt ? "id:0000A1B2C3 sub:001 dlvrd:001 submit date:2403151430 done "
                               "date:2403151431 stat:DELIVRD err:000 text:"
                             : "The quick brown fox jumps over the lazy dog 0123456789 and back";
  std::string tlvs;
  if (Receipt)
    tlvs = std::string("\x00\x1E\x00\x0B", 4) + std::string("0000A1B2C3\0", 11) +
           std::string("\x04\x27\x00\x01\x02", 5) + std::string("\x04\x23\x00\x03\x03\x00\x00", 7);
  std::string body = std::string("\0\x01\x01", 3) + "4477001122" + std::string("\0\x00\x01", 3) +
                     "1234" + std::string(1, '\0') + std::string(1, Receipt ? '\x04' : '\x00') +
                     std::string("\0\0\0\0\0\0\0", 7) +
                     std::string(1, static_cast<char>(text.size())) + text + tlvs;
  return u32(static_cast<uint32_t>(16 + body.size())) + u32(kDeliverSm) + u32(0) + u32(7) + body;
}

// A submit as the component sends it, and the SMSC's answer decoded.
void BM_SmppSubmitSm(benchmark::State& State) {
  TxcSMSCMessageSMPP out;
  out.Reset();
  TPdu resp(std::string("\x00\x00\x00\x1B\x80\x00\x00\x04\x00\x00\x00\x00\x00\x00\x00\x01", 16) +
            std::string("0000A1B2C3\0", 11));
  for (auto _ : State) {
    bool ok = out.EncodeSubmitMsg("4477001122", 1, 1, "1234", 0, 1, kText, et7BitText, "",
                                  {soRequestStatusReport}, 0, 0);
    TMessageKey request, answer;
    out.GetRequestKey(request);
    // The answer's sequence number is the request's, as on the wire.
    std::memcpy(resp.FBuffer.data() + 12, out.FBuffer.data() + 12, 4);
    bool matched = resp.GetMessageType() == mtSubmitRsp && resp.GetResponseKey(answer) &&
                   answer.Answers(request);
    resp.DecodeSubmitRspMsg();
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(matched);
    benchmark::DoNotOptimize(resp.FMessageID);
  }
  State.SetItemsProcessed(State.iterations());
  State.SetLabel("encode submit_sm + classify/decode submit_sm_resp");
}
BENCHMARK(BM_SmppSubmitSm);

// A received deliver_sm as the component handles it: framing size,
// classification, the copy for the main thread, decoding, the answer.
void BM_SmppDeliverSm(benchmark::State& State) {
  const bool receipt = State.range(0) != 0;
  TxcSMSCMessageSMPP in;
  const std::string pdu = DeliverPdu(receipt);
  in.FBuffer.assign(pdu.begin(), pdu.end());
  TxcSMSCMessageSMPP out;
  for (auto _ : State) {
    int size = in.GetMessageSize();
    TReceiveMessageType t = in.GetMessageType();
    std::unique_ptr<TxcSMSCMessage> copy = TxcSMSCMessage::Create(in);
    auto& m = static_cast<TxcSMSCMessageSMPP&>(*copy);
    TReceiveMessageType type;
    std::string id, dest, orig, udh;
    uint8_t dton, dnpi, oton, onpi, status;
    std::u16string text;
    TxcEncodingType enc;
    int reason;
    m.DecodeReceiveMsg(type, id, dest, dton, dnpi, orig, oton, onpi, text, enc, udh, status,
                       reason);
    out.EncodeResponseMsg(m);
    benchmark::DoNotOptimize(size);
    benchmark::DoNotOptimize(t);
    benchmark::DoNotOptimize(text);
    benchmark::DoNotOptimize(out.FBuffer);
  }
  State.SetItemsProcessed(State.iterations());
  State.SetLabel(receipt ? "receipt with TLVs" : "mobile-originated text");
}
BENCHMARK(BM_SmppDeliverSm)->Arg(0)->Arg(1);

// --- Sessions ------------------------------------------------------------------

double CpuSeconds() {
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

struct TRate {
  long long Count = 0;
  double Seconds = 0;
  double PerSecond() const { return Seconds > 0 ? static_cast<double>(Count) / Seconds : 0; }
};

// The simulator in a process of its own, so that the CPU time and system
// calls of this process are the client's alone. Forked before this process
// starts any thread.
struct TChildSimulator {
  pid_t Pid = -1;
  int Port = 0;
};

TChildSimulator ForkSimulator() {
  int fds[2];
  if (pipe(fds) != 0)
    return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    sim::TSimConfig cfg;
    cfg.StatusReportDelayMs = -1;
    sim::TSmscServer server("smpp", cfg);
    int port = server.Start() ? server.Port() : 0;
    (void)!write(fds[1], &port, sizeof port);
    close(fds[1]);
    for (;;)
      pause(); // until the parent kills it
  }
  close(fds[1]);
  TChildSimulator c;
  c.Pid = pid;
  if (pid < 0 || read(fds[0], &c.Port, sizeof c.Port) != sizeof c.Port)
    c.Port = 0;
  close(fds[0]);
  return c;
}

void StopSimulator(TChildSimulator& C) {
  if (C.Pid > 0) {
    kill(C.Pid, SIGKILL);
    waitpid(C.Pid, nullptr, 0);
  }
  C.Pid = -1;
}

// Socket system calls of this process, counted through the platform seam.
std::atomic<long long> gSocketCalls{0};
TSocketApi gRealApi;
int CountedPoll(pollfd* F, unsigned long N, int T) {
  ++gSocketCalls;
  return gRealApi.Poll(F, N, T);
}
ssize_t CountedSend(int Fd, const void* B, size_t N, int Fl) {
  ++gSocketCalls;
  return gRealApi.Send(Fd, B, N, Fl);
}
ssize_t CountedRecv(int Fd, void* B, size_t N, int Fl) {
  ++gSocketCalls;
  return gRealApi.Recv(Fd, B, N, Fl);
}

struct TCost {
  double CpuMicros = 0;       // user + system of this process, per submit
  double SocketCalls = 0;     // poll/send/recv per submit
  double ContextSwitches = 0; // voluntary: each blocking wait (futex, poll) that slept
};

double RusageCpuMicros(const rusage& U) {
  return static_cast<double>(U.ru_utime.tv_sec + U.ru_stime.tv_sec) * 1e6 +
         static_cast<double>(U.ru_utime.tv_usec + U.ru_stime.tv_usec);
}

// Synchronous submits for about Seconds against the simulator at Port; also
// reports the PDU sizes and what each submit cost this process.
TRate SubmitRoundTrips(int Port, double Seconds, size_t& RequestSize, size_t& ResponseSize,
                       TCost& Cost) {
  TxcGarvelSMPP esme(nullptr);
  esme.SetKeepAlive(false);
  esme.Connect("127.0.0.1", Port);
  if (esme.InitializeSession("bench", "", 0, 0, "", bmTransmitter) != 0) {
    std::fprintf(stderr, "bind failed\n");
    return {};
  }
  std::string id;
  for (int i = 0; i < 2000; ++i) // warm up
    esme.SubmitMessage("4477001122", 1, 1, "1234", 0, 1, kText, et7BitText, "", {}, id);
  RequestSize = esme.GetOutputMessage().FBuffer.size();
  ResponseSize = 16 + id.size() + 1;
  TRate r;
  gRealApi = SocketApi();
  SocketApi().Poll = CountedPoll;
  SocketApi().Send = CountedSend;
  SocketApi().Recv = CountedRecv;
  gSocketCalls = 0;
  rusage u0{}, u1{};
  getrusage(RUSAGE_SELF, &u0);
  auto t0 = Clock::now();
  while (SecondsSince(t0) < Seconds) {
    for (int i = 0; i < 100; ++i)
      if (esme.SubmitMessage("4477001122", 1, 1, "1234", 0, 1, kText, et7BitText, "", {}, id) !=
          0) {
        std::fprintf(stderr, "submit failed\n");
        return {};
      }
    r.Count += 100;
  }
  r.Seconds = SecondsSince(t0);
  getrusage(RUSAGE_SELF, &u1);
  long long calls = gSocketCalls.load();
  SocketApi() = gRealApi;
  if (r.Count > 0) {
    auto n = static_cast<double>(r.Count);
    Cost.CpuMicros = (RusageCpuMicros(u1) - RusageCpuMicros(u0)) / n;
    Cost.SocketCalls = static_cast<double>(calls) / n;
    Cost.ContextSwitches = static_cast<double>(u1.ru_nvcsw - u0.ru_nvcsw) / n;
  }
  esme.Disconnect();
  Application()->ProcessUntil([&] { return esme.State() == rsNotConnected; }, 2000);
  return r;
}

// Reads exactly N bytes (platform client: wait, then take what is there).
bool ReadExactly(TCustomIpClient& C, char* Buf, size_t N) {
  size_t got = 0;
  while (got < N) {
    if (C.Buffered() == 0 && C.WaitForData(-1) != wdReadable)
      return false;
    int n = C.ReceiveBuf(Buf + got, static_cast<int>(N - got));
    if (n <= 0) {
      if (C.WaitForData(-1) != wdReadable)
        return false;
      continue;
    }
    got += static_cast<size_t>(n);
  }
  return true;
}

// Request/response of the given sizes between two threads over loopback,
// through the same platform socket layer the library uses.
TRate PingPong(double Seconds, size_t RequestSize, size_t ResponseSize) {
  TTcpListener listener;
  listener.Listen("127.0.0.1", 0);
  std::atomic<bool> stop{false};
  std::thread server([&] {
    std::unique_ptr<TCustomIpClient> c = listener.Accept(5000);
    if (!c)
      return;
    std::string req(RequestSize, '\0'), resp(ResponseSize, 'r');
    while (ReadExactly(*c, req.data(), RequestSize))
      if (c->SendBuf(resp.data(), static_cast<int>(resp.size())) < 0)
        break;
    c->Close();
  });
  TCustomIpClient client;
  client.RemoteHost = "127.0.0.1";
  client.RemotePort = std::to_string(listener.Port());
  client.Connect();
  std::string req(RequestSize, 'q'), resp(ResponseSize, '\0');
  auto once = [&] {
    client.SendBuf(req.data(), static_cast<int>(req.size()));
    return ReadExactly(client, resp.data(), ResponseSize);
  };
  for (int i = 0; i < 2000; ++i)
    once();
  TRate r;
  auto t0 = Clock::now();
  while (SecondsSince(t0) < Seconds) {
    for (int i = 0; i < 100; ++i)
      if (!once())
        break;
    r.Count += 100;
  }
  r.Seconds = SecondsSince(t0);
  client.Disconnect();
  stop = true;
  server.join();
  client.Close();
  listener.Close();
  return r;
}

// CPU the process uses while one bound session sits idle (keep-alive at its
// default interval of 10 s), the peer a bare socket that answers the bind.
double IdleCpuMs(double Seconds) {
  TTcpListener listener;
  listener.Listen("127.0.0.1", 0);
  std::unique_ptr<TCustomIpClient> peer;
  std::thread server([&] {
    peer = listener.Accept(5000);
    if (!peer)
      return;
    char header[16];
    if (!ReadExactly(*peer, header, 16))
      return;
    uint32_t len = static_cast<uint32_t>(static_cast<uint8_t>(header[2]) << 8 |
                                         static_cast<uint8_t>(header[3]));
    std::string body(len - 16, '\0');
    ReadExactly(*peer, body.data(), body.size());
    std::string resp(header, 16);
    resp[3] = 17;
    resp[4] = '\x80';
    resp.push_back('\0');
    peer->SendBuf(resp.data(), static_cast<int>(resp.size()));
  });
  TxcGarvelSMPP esme(nullptr);
  esme.Connect("127.0.0.1", listener.Port());
  int r = esme.InitializeSession("idle", "", 0, 0, "", bmTransceiver);
  server.join();
  if (r != 0)
    return -1;
  double c0 = CpuSeconds();
  Application()->ProcessUntil([] { return false; }, static_cast<int>(Seconds * 1000));
  double used = (CpuSeconds() - c0) * 1000;
  esme.Disconnect();
  Application()->ProcessUntil([&] { return esme.State() == rsNotConnected; }, 2000);
  if (peer)
    peer->Close();
  listener.Close();
  return used;
}

struct TBurst {
  int Sent = 0, Handled = 0, Answered = 0, DistinctHandled = 0, DistinctAnswered = 0;
  double Seconds = 0;
};

// Count deliver_sm pushed by the simulator as fast as it can write them.
TBurst DeliverBurst(int Count) {
  sim::TSmscServer server("smpp");
  server.Start();
  TxcGarvelSMPP esme(nullptr);
  esme.SetKeepAlive(false);
  TBurst b;
  std::vector<char> seen(static_cast<size_t>(Count), 0);
  int doubled = 0;
  esme.OnMessageReceived = [&](TObject*, const std::string&, uint8_t, uint8_t, const std::string&,
                               uint8_t, uint8_t, const std::u16string& Text, TxcEncodingType,
                               const std::string&) {
    ++b.Handled;
    int n = std::atoi(WideToAnsi(Text).c_str() + 1);
    if (n >= 0 && n < Count && seen[static_cast<size_t>(n)]++ != 0)
      ++doubled;
  };
  esme.Connect("127.0.0.1", server.Port());
  if (esme.InitializeSession("burst", "", 0, 0, "", bmReceiver) != 0)
    return b;
  auto t0 = Clock::now();
  std::thread pusher([&] {
    sim::TSimMessage m;
    m.Destination = "1234";
    m.Originator = "4477001122";
    for (int i = 0; i < Count; ++i) {
      char text[16];
      std::snprintf(text, sizeof text, "m%06d", i);
      m.Text = AnsiToWide(text);
      if (server.Deliver(m) == sim::prSent)
        ++b.Sent;
    }
  });
  auto done = [&] { return server.CountReceived("deliver_sm_resp") >= Count; };
  while (!done() && SecondsSince(t0) < 120)
    Application()->ProcessUntil([&] { return b.Handled >= Count; }, 20);
  b.Seconds = SecondsSince(t0);
  pusher.join();
  Application()->ProcessUntil([] { return false; }, 300); // anything doubled shows now
  std::set<uint32_t> answered;
  for (const sim::TReceivedFrame& f : server.Received())
    if (f.Operation == "deliver_sm_resp") {
      ++b.Answered;
      answered.insert(sim::smpp::SequenceNumber(f.Bytes));
    }
  b.DistinctAnswered = static_cast<int>(answered.size());
  for (char s : seen)
    b.DistinctHandled += s != 0;
  if (doubled)
    std::printf("  %d messages reached the handler more than once\n", doubled);
  esme.Disconnect();
  Application()->ProcessUntil([&] { return esme.State() == rsNotConnected; }, 2000);
  return b;
}

} // namespace

int main(int argc, char** argv) {
  double rtSeconds = 2;
  int burst = 100000;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--rt_seconds=", 13) == 0)
      rtSeconds = std::atof(argv[i] + 13);
    else if (std::strncmp(argv[i], "--burst=", 8) == 0)
      burst = std::atoi(argv[i] + 8);
    else
      rest.push_back(argv[i]);
  }
  // Before any thread exists.
  TChildSimulator child = ForkSimulator();
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\nSMPP sessions on 127.0.0.1\n");
  size_t reqSize = 0, respSize = 0;
  TCost cost;
  TRate submit =
      child.Port > 0 ? SubmitRoundTrips(child.Port, rtSeconds, reqSize, respSize, cost) : TRate();
  StopSimulator(child);
  TRate ping = PingPong(rtSeconds, reqSize, respSize);
  std::printf("  submit_sm round trips (component <-> simulator): %10.0f /s  (%lld in %.2f s)\n",
              submit.PerSecond(), submit.Count, submit.Seconds);
  std::printf("  per synchronous submit, this process (simulator in another):\n"
              "    CPU %.1f us, socket system calls %.2f (poll/send/recv), "
              "voluntary context switches %.2f\n",
              cost.CpuMicros, cost.SocketCalls, cost.ContextSwitches);
  std::printf("  TCP ping-pong, %zu/%zu octets, two threads:      %10.0f /s  (%lld in %.2f s)\n",
              reqSize, respSize, ping.PerSecond(), ping.Count, ping.Seconds);
  std::printf("  ratio submit / ping-pong:                         %10.2f  (target >= 0.50)\n",
              ping.PerSecond() > 0 ? submit.PerSecond() / ping.PerSecond() : 0.0);

  double idle = IdleCpuMs(3);
  std::printf("  CPU of an idle bound session over 3 s:            %10.1f ms (target ~0)\n", idle);

  TBurst b = DeliverBurst(burst);
  std::printf("  deliver_sm burst: %d sent, %d handled (%d distinct), %d answered "
              "(%d distinct sequence numbers) in %.2f s = %.0f /s  %s\n",
              b.Sent, b.Handled, b.DistinctHandled, b.Answered, b.DistinctAnswered, b.Seconds,
              b.Seconds > 0 ? b.Handled / b.Seconds : 0.0,
              b.Sent == burst && b.Handled == burst && b.DistinctHandled == burst &&
                      b.Answered == burst && b.DistinctAnswered == burst
                  ? "OK"
                  : "MISMATCH");
  return 0;
}
