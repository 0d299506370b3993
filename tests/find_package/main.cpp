// An outside program that links the installed library.
#include <garvel/xcGarvel.h>

#include <cstdio>

int main() {
  garvel::TxcSMSCMessage m;
  m.AddWord(0x1234);
  if (m.FBuffer.size() != 2 || m.FBuffer[0] != 0x34 || !garvel::IsAlphaNumeric("Garvel"))
    return 1;
  std::puts("garvel package found and linked");
  return 0;
}
