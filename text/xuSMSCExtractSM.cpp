// Conversions between text and user-data bytes; user-data split and compose.
#include "xuSMSCExtractSM.h"

#include "CodePage.h"
#include "GSMSeptets.h"
#include "xuSMSCEncGSM.h"

#include <algorithm>

namespace garvel {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

// The byte that the pair at P[0], P[1] spells, 0 when it is no hex number.
uint8_t HexPair(const char* P) {
  const int hi = HexValue(P[0]);
  const int lo = HexValue(P[1]);
  return hi < 0 || lo < 0 ? 0 : static_cast<uint8_t>(hi * 16 + lo);
}

template <class Out> Out HexDecode(const std::string& S) {
  Out out(S.size() / 2, 0);
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<typename Out::value_type>(HexPair(S.data() + 2 * i));
  return out;
}

template <class In> std::string HexEncode(const In& Bytes) {
  std::string out(Bytes.size() * 2, '\0');
  for (size_t i = 0; i < Bytes.size(); ++i) {
    const auto b = static_cast<uint8_t>(Bytes[i]);
    out[2 * i] = kHexDigits[b >> 4];
    out[2 * i + 1] = kHexDigits[b & 0x0F];
  }
  return out;
}

} // namespace

TByteDynArray StrToBin(const std::string& S) {
  return TByteDynArray(S.begin(), S.end());
}

std::string BinToStr(const TByteDynArray& Data) {
  return std::string(Data.begin(), Data.end());
}

std::string StrToHexStr(const std::string& S) {
  return HexEncode(S);
}

std::string BinToHexStr(const TByteDynArray& Data) {
  return HexEncode(Data);
}

std::string HexStrToStr(const std::string& S) {
  return HexDecode<std::string>(S);
}

TByteDynArray HexStrToBin(const std::string& S) {
  return HexDecode<TByteDynArray>(S);
}

TByteDynArray WideStringToBin(const std::u16string& S) {
  TByteDynArray out(S.size() * 2);
  for (size_t k = 0; k < S.size(); ++k) {
    out[2 * k] = static_cast<uint8_t>(S[k] >> 8);
    out[2 * k + 1] = static_cast<uint8_t>(S[k] & 0xFF);
  }
  return out;
}

std::u16string BinToWideString(const TByteDynArray& Data) {
  std::u16string out(Data.size() / 2, u'\0');
  for (size_t k = 0; k < out.size(); ++k)
    out[k] = static_cast<char16_t>((Data[2 * k] << 8) | Data[2 * k + 1]);
  return out;
}

std::string WideStringToHexStr(const std::u16string& S) {
  return BinToHexStr(WideStringToBin(S));
}

std::u16string HexStrToWideString(const std::string& S) {
  return BinToWideString(HexStrToBin(S));
}

void BinSplit(const TByteDynArray& Data, bool SevenBit, bool HasUDH, int Len, TByteDynArray& UDH,
              TByteDynArray& UD) {
  if (Data.empty())
    return;
  const size_t h = HasUDH ? static_cast<size_t>(Data[0]) + 1 : 0;
  const size_t taken = std::min(h, Data.size()); // a length byte past the data takes what there is
  UDH.assign(Data.begin(), Data.begin() + static_cast<std::ptrdiff_t>(taken));
  if (!SevenBit) {
    UD.assign(Data.begin() + static_cast<std::ptrdiff_t>(taken), Data.end());
    return;
  }
  // The header and its fill bits occupy ceil(8h / 7) septets. They are
  // skipped before translating, so that header bytes that happen to form
  // an escape code cannot swallow the first character of the text.
  const size_t headerSeptets = (8 * h + 6) / 7;
  const std::string text = detail::DecodeSeptets(Data, Len, headerSeptets, gsmaExtended);
  UD.assign(text.begin(), text.end());
}

TByteDynArray BinCompose(const TByteDynArray& UDH, const TByteDynArray& UD, bool SevenBit,
                         int& Len) {
  TByteDynArray out(UDH);
  if (!SevenBit) {
    out.insert(out.end(), UD.begin(), UD.end());
    Len = static_cast<int>(out.size());
    return out;
  }
  const size_t bits = 8 * UDH.size();
  const size_t headerSeptets = (bits + 6) / 7;
  const int fill = bits % 7 == 0 ? 0 : static_cast<int>(7 - bits % 7);
  const TByteDynArray packed = StrToGSM(BinToStr(UD), Len, fill, gsmaExtended);
  Len += static_cast<int>(headerSeptets);
  out.insert(out.end(), packed.begin(), packed.end());
  return out;
}

bool IsHexStr(const std::string& S) {
  return S.size() % 2 == 0 && S.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
}

bool WideToOctetText(const std::u16string& Text, bool GSM, std::string& Octets) {
  std::string ansi = WideToAnsi(Text);
  if (AnsiToWide(ansi) != Text)
    return false; // a character Windows-1252 lacks
  if (!GSM) {
    Octets = std::move(ansi);
    return true;
  }
  Octets = ASCIIToGSMAlphabet(ansi, gsmaExtended);
  return GSMAlphabetToASCII(Octets, gsmaExtended) == ansi; // else one the table lacks
}

std::u16string OctetTextToWide(const std::string& Octets, bool GSM) {
  return AnsiToWide(GSM ? GSMAlphabetToASCII(Octets, gsmaExtended) : Octets);
}

} // namespace garvel
