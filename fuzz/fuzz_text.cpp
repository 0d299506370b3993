// The text functions that take received data: GSM unpacking and
// translation, user-data split, hexadecimal and UCS-2 conversions, and the
// concatenation headers of received parts with their reassembly.
#include "xuSMSCConcat.h"
#include "xuSMSCEncGSM.h"
#include "xuSMSCExtractSM.h"

#include <chrono>
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

  // The data as a received header (hexadecimal, as the components pass it),
  // then as a run of parts: every part comes back exactly once or is a
  // duplicate.
  std::string header = StrToHexStr(text);
  TxcConcatInfo info;
  std::string rest;
  (void)FindConcatInfo(header, info, rest);
  struct TPart {
    std::u16string SMText;
    TxcEncodingType Encoding = et7BitText;
    std::string UserDataHeader;
  };
  TxcReassembler<TPart> r;
  r.SetLimits(4, 16);
  auto now = std::chrono::steady_clock::time_point();
  size_t given = 0, back = 0;
  for (size_t at = 0; at + 6 <= bytes.size(); at += 6) {
    TPart p;
    p.SMText = u"x";
    p.Encoding = static_cast<TxcEncodingType>(bytes[at] % 3);
    p.UserDataHeader =
        BinToHexStr(TByteDynArray{0x05, 0x00, 0x03, bytes[at + 1], bytes[at + 2], bytes[at + 3]});
    if (flags & 32)
      p.UserDataHeader = StrToHexStr(text.substr(at, 6));
    TPart whole;
    ++given;
    switch (r.Add(std::string(1, static_cast<char>(bytes[at + 4] % 2)), p, whole, now)) {
    case roNotPart:
    case roDuplicate:
      ++back;
      break;
    case roComplete: {
      TxcConcatInfo i;
      std::string o;
      if (FindConcatInfo(p.UserDataHeader, i, o))
        back += static_cast<size_t>(i.Total);
      break;
    }
    case roHeld:
      break;
    }
    now += std::chrono::milliseconds(bytes[at + 5] * 1000);
    back += r.TakeExpired(now).size();
  }
  back += r.TakeAll().size();
  if (back != given)
    __builtin_trap(); // a part lost or handed out twice
  return 0;
}
