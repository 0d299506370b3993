// Conversions between the application's text and the bytes of a short
// message's user data: 8-bit strings, byte arrays, hexadecimal text, UCS-2,
// and splitting/composing user data with a user data header.
#pragma once

#include "GarvelExport.h"
#include "SysUtils.h"

#include <cstdint>
#include <string>

namespace garvel {

/// The encoding of a message's text as the application gives or receives it.
enum TxcEncodingType : uint8_t {
  et7BitText = 0,        ///< text of the application's 8-bit character set
  et8BitHexadecimal = 1, ///< 8-bit binary data, given and received as hexadecimal text
  etUCS2Text = 2         ///< Unicode text carried as UCS-2
};

// Every function here is thread-safe (the 7-bit paths read the shared GSM
// translation table, see xuSMSCEncGSM.h) and none raises for malformed
// input.

/// The same bytes, as an array.
GARVEL_API TByteDynArray StrToBin(const std::string& S);
/// The same bytes, as an 8-bit string.
GARVEL_API std::string BinToStr(const TByteDynArray& Data);

/// Each byte as two upper-case hexadecimal digits, most significant first.
GARVEL_API std::string StrToHexStr(const std::string& S);
/// Each byte as two upper-case hexadecimal digits, most significant first.
GARVEL_API std::string BinToHexStr(const TByteDynArray& Data);

/// Each pair of characters as one byte. Either letter case is read; a pair
/// that is not two hexadecimal digits gives 0; a trailing odd character is
/// ignored; no separators are skipped.
GARVEL_API std::string HexStrToStr(const std::string& S);
/// As HexStrToStr, into an array.
GARVEL_API TByteDynArray HexStrToBin(const std::string& S);

/// True when S is an even number of hexadecimal digits (either case) and
/// nothing else; the empty string is.
GARVEL_API bool IsHexStr(const std::string& S);

/// Text as one octet per character for a field of "default alphabet" text:
/// with GSM false its Windows-1252 bytes, with GSM true its GSM codes through
/// the translation table (gsmaExtended: escape and code for the extension
/// characters). False, Octets unspecified, when a character has no such
/// form (no Windows-1252 byte, or not in the table).
GARVEL_API bool WideToOctetText(const std::u16string& Text, bool GSM, std::string& Octets);
/// The reverse of WideToOctetText; never fails (GSM codes with no entry read
/// as the table says).
GARVEL_API std::u16string OctetTextToWide(const std::string& Octets, bool GSM);

/// Each character as two bytes, high byte first (UCS-2 big-endian, no BOM).
GARVEL_API TByteDynArray WideStringToBin(const std::u16string& S);
/// Each pair of bytes, high byte first, as one character; a trailing odd
/// byte is ignored.
GARVEL_API std::u16string BinToWideString(const TByteDynArray& Data);
/// BinToHexStr of WideStringToBin: four hexadecimal digits per character.
GARVEL_API std::string WideStringToHexStr(const std::u16string& S);
/// BinToWideString of HexStrToBin.
GARVEL_API std::u16string HexStrToWideString(const std::string& S);

/// Separates a received user data field into its header and its text.
///
/// With HasUDH the header is Data[0] + 1 bytes (its length byte included);
/// UDH receives those bytes, or all of Data when it is shorter. Without
/// HasUDH, UDH is emptied.
/// - SevenBit false: UD receives the bytes after the header.
/// - SevenBit true: Data is the GSM 7-bit packed field, header included,
///   and Len the user data length it announces in septets (header septets
///   included). The septets that the header and its fill bits occupy
///   (ceil(8 * header bytes / 7)) are skipped, and the rest is unpacked and
///   translated with gsmaExtended under the rules of GSMToStr; UD receives
///   the text, one byte per 8-bit character.
/// An empty Data leaves UDH and UD untouched.
GARVEL_API void BinSplit(const TByteDynArray& Data, bool SevenBit, bool HasUDH, int Len,
                         TByteDynArray& UDH, TByteDynArray& UD);

/// Builds an outgoing user data field: the header bytes as given (its length
/// byte included) followed by the text.
/// - SevenBit false: the bytes of UD follow; Len := the total byte count.
/// - SevenBit true: UD is 8-bit text, translated with gsmaExtended and
///   packed so that its first septet starts on a septet boundary counted
///   from the start of the header (fill bits after the header, as 3GPP TS
///   23.040 prescribes); Len := header septets + text septets, the user data
///   length the message must announce. An empty header gives plain packing.
GARVEL_API TByteDynArray BinCompose(const TByteDynArray& UDH, const TByteDynArray& UD,
                                    bool SevenBit, int& Len);

} // namespace garvel
