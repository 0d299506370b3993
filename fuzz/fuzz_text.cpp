// The text functions that take received data: GSM unpacking and
// translation, user-data split, hexadecimal and UCS-2 conversions.
#include "xuSMSCEncGSM.h"
#include "xuSMSCExtractSM.h"

#include <string>

using namespace garvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 2)
    return 0;
  // The first two octets steer: a length and flags; the rest is the data.
  const int len = static_cast<int8_t>(Data[0]) * 2;
  const uint8_t flags = Data[1];
  TByteDynArray bytes(Data + 2, Data + Size);
  std::string text(reinterpret_cast<const char*>(Data + 2), Size - 2);
  auto alphabet = static_cast<TxcGSMAlphabet>(flags % 4);

  (void)GSMToStr(bytes, len, alphabet);
  (void)GSMToHexStr(bytes, len, alphabet);
  (void)GSMAlphabetToASCII(text, alphabet);
  int septets = 0;
  (void)HexStrToGSM(text, septets, alphabet);

  TByteDynArray udh, ud;
  BinSplit(bytes, (flags & 4) != 0, (flags & 8) != 0, len, udh, ud);

  (void)HexStrToStr(text);
  (void)HexStrToBin(text);
  (void)HexStrToWideString(text);
  (void)BinToWideString(bytes);
  (void)IsHexStr(text);
  (void)OctetTextToWide(text, (flags & 16) != 0);
  return 0;
}
