// Throughput of GSM 7-bit packing and unpacking of full 160-character texts.
#include "xuSMSCEncGSM.h"
#include "xuSMSCExtractSM.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using namespace garvel;

constexpr int kChars = 160;

std::string Text(bool WithEscapes) {
  const std::string plain = "The quick brown fox jumps over the lazy dog 0123456789. ";
  const std::string escapes = "Price: 5\x80 {x} [y] ~z^ ";
  const std::string& source = WithEscapes ? escapes : plain;
  std::string s;
  while (s.size() < kChars)
    s.push_back(source[s.size() % source.size()]);
  return s;
}

void BM_EncGSMStrToGSM(benchmark::State& State) {
  const std::string text = Text(State.range(0) != 0);
  for (auto _ : State) {
    int len = 0;
    TByteDynArray packed = StrToGSM(text, len);
    benchmark::DoNotOptimize(packed);
    benchmark::DoNotOptimize(len);
  }
  State.SetItemsProcessed(State.iterations() * kChars);
  State.SetLabel(State.range(0) ? "with escapes" : "plain");
}
BENCHMARK(BM_EncGSMStrToGSM)->Arg(0)->Arg(1);

void BM_EncGSMGSMToStr(benchmark::State& State) {
  const std::string text = Text(State.range(0) != 0);
  int len = 0;
  const TByteDynArray packed = StrToGSM(text, len);
  for (auto _ : State) {
    std::string s = GSMToStr(packed, len);
    benchmark::DoNotOptimize(s);
  }
  State.SetItemsProcessed(State.iterations() * kChars);
  State.SetLabel(State.range(0) ? "with escapes" : "plain");
}
BENCHMARK(BM_EncGSMGSMToStr)->Arg(0)->Arg(1);

// A concatenated part: 6-byte header plus 153 characters, 160 septets.
void BM_ExtractSMBinCompose(benchmark::State& State) {
  const TByteDynArray udh = {0x05, 0x00, 0x03, 0x2A, 0x02, 0x01};
  const TByteDynArray ud = StrToBin(Text(false).substr(0, 153));
  for (auto _ : State) {
    int len = 0;
    TByteDynArray data = BinCompose(udh, ud, true, len);
    benchmark::DoNotOptimize(data);
  }
  State.SetItemsProcessed(State.iterations() * 153);
}
BENCHMARK(BM_ExtractSMBinCompose);

void BM_ExtractSMBinSplit(benchmark::State& State) {
  const TByteDynArray udh = {0x05, 0x00, 0x03, 0x2A, 0x02, 0x01};
  int len = 0;
  const TByteDynArray data = BinCompose(udh, StrToBin(Text(false).substr(0, 153)), true, len);
  for (auto _ : State) {
    TByteDynArray gotUDH, gotUD;
    BinSplit(data, true, true, len, gotUDH, gotUD);
    benchmark::DoNotOptimize(gotUD);
  }
  State.SetItemsProcessed(State.iterations() * 153);
}
BENCHMARK(BM_ExtractSMBinSplit);

} // namespace
