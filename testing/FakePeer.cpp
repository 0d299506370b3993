// A scripted TCP peer on 127.0.0.1 for the relay and protocol tests.
#include "FakePeer.h"

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <thread>
#include <sys/resource.h>
#include <sys/socket.h>

namespace garvel::testing {

TFakePeer::TFakePeer() {
  if (!FListener.Listen("127.0.0.1", 0))
    throw std::runtime_error("fake peer cannot listen");
}

TFakePeer::~TFakePeer() {
  FListener.Close();
  Close();
}

void TFakePeer::StopReader() {
  FStop.store(true);
  if (FReader.joinable())
    FReader.join();
  FStop.store(false);
}

bool TFakePeer::Accept(int TimeoutMs) {
  StopReader();
  FConn.reset();
  auto c = FListener.Accept(TimeoutMs);
  if (!c)
    return false;
  {
    std::lock_guard<std::mutex> g(FLock);
    FData.clear();
    FClosed = false;
  }
  FConn = std::move(c);
  FReader = std::thread([this, conn = FConn.get()] { ReadLoop(conn); });
  return true;
}

void TFakePeer::ReadLoop(TCustomIpClient* Conn) {
  char buf[4096];
  for (;;) {
    // Short waits, so that Reset can stop the reader without touching the
    // socket (a shutdown would send FIN before the RST).
    if (FPaused.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (FStop.load())
        return;
      continue;
    }
    TWaitForDataResult w = Conn->WaitForData(20);
    if (FStop.load())
      return;
    if (w == wdTimeout)
      continue;
    if (w != wdReadable)
      break;
    int n = Conn->ReceiveBuf(buf, sizeof buf);
    std::lock_guard<std::mutex> g(FLock);
    FData.append(buf, static_cast<size_t>(n));
    FCond.notify_all();
  }
  std::lock_guard<std::mutex> g(FLock);
  FClosed = true;
  FCond.notify_all();
}

std::string TFakePeer::Take(size_t N, int TimeoutMs) {
  std::unique_lock<std::mutex> g(FLock);
  FCond.wait_for(g, std::chrono::milliseconds(TimeoutMs), [&] { return FData.size() >= N; });
  std::string r;
  r.swap(FData);
  return r;
}

std::string TFakePeer::TakeWhen(const std::function<bool(const std::string&)>& Pred,
                                int TimeoutMs) {
  std::unique_lock<std::mutex> g(FLock);
  if (!FCond.wait_for(g, std::chrono::milliseconds(TimeoutMs), [&] { return Pred(FData); }))
    return {};
  std::string r;
  r.swap(FData);
  return r;
}

std::string TFakePeer::Pending() {
  std::lock_guard<std::mutex> g(FLock);
  return FData;
}

bool TFakePeer::Quiet(int TimeoutMs) {
  std::unique_lock<std::mutex> g(FLock);
  return !FCond.wait_for(g, std::chrono::milliseconds(TimeoutMs), [&] { return !FData.empty(); });
}

bool TFakePeer::Write(const std::string& Bytes) {
  if (!FConn)
    return false;
  return FConn->SendBuf(Bytes.data(), static_cast<int>(Bytes.size())) >= 0;
}

void TFakePeer::SetReceiveBuffer(int Bytes) {
  if (FConn && FConn->Handle() >= 0)
    setsockopt(FConn->Handle(), SOL_SOCKET, SO_RCVBUF, &Bytes, sizeof Bytes);
}

bool TFakePeer::WriteSplit(const std::string& Bytes, size_t Piece, int DelayMs) {
  for (size_t i = 0; i < Bytes.size(); i += Piece) {
    if (i > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs));
    if (!Write(Bytes.substr(i, Piece)))
      return false;
  }
  return true;
}

void TFakePeer::Close() {
  StopReader();
  if (FConn)
    FConn->Close();
}

void TFakePeer::Reset() {
  StopReader();
  if (FConn)
    FConn->Abort();
}

bool TFakePeer::ClientClosed() {
  std::lock_guard<std::mutex> g(FLock);
  return FClosed;
}

bool TFakePeer::WaitClientClosed(int TimeoutMs) {
  std::unique_lock<std::mutex> g(FLock);
  return FCond.wait_for(g, std::chrono::milliseconds(TimeoutMs), [&] { return FClosed; });
}

double ProcessCpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

int OpenFdCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d))
      ++n;
    closedir(d);
  }
  return n;
}

int ThreadCount() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("Threads:", 0) == 0)
      return std::stoi(line.substr(8));
  return -1;
}

} // namespace garvel::testing
