// The GSM 7-bit default alphabet: the process-wide translation table between
// the application's 8-bit (Windows-1252) characters and GSM codes, and the
// packing of GSM codes into septets.
#pragma once

#include "GarvelExport.h"
#include "SysUtils.h"

#include <cstdint>
#include <string>

namespace garvel {

/// How many rows of the translation table a conversion may use.
enum TxcGSMAlphabet : uint8_t {
  gsmaDefault = 0,    ///< row 0 only; the escape code 0x1B is an ordinary code
  gsmaExtended = 1,   ///< rows 0 and 1; one escape (0x1B) before a code selects row 1
  gsmaThreeEscape = 2 ///< rows 0, 1 and 2; two escapes select row 2
};
// Any other ordinal behaves as gsmaExtended.

/// The escape code of the GSM alphabet.
inline constexpr uint8_t GSMEscape = 0x1B;

// The translation table
// ---------------------
// Three rows of 128 entries: entry [r][c] is the 8-bit character that GSM
// code c stands for after r escape codes. It is shared by the whole process
// and holds the library's defaults from the moment the library is loaded
// (constant-initialised, so it is usable from static constructors too).
//
// Threading: any number of threads may convert text at the same time; the
// conversions only read the table. The two load functions rewrite it and are
// meant for start-up, before any component converts text. Loads are
// serialised against each other. A load that does run while another thread
// converts cannot corrupt memory or crash (every entry is a single byte read
// and written atomically, without a lock); such a conversion may, however,
// see a mixture of old and new entries, so its result is unspecified.

/// Translates 8-bit text into GSM codes, one code per output character.
///
/// A space always gives 0x20. Any other character is looked up in row 0,
/// then (if Alphabet allows) in row 1 and row 2; the first row that holds it
/// gives that many escape codes (0x1B) followed by its index. Within a row
/// the highest index holding the character wins. A character that no usable
/// row holds gives a space (0x20).
GARVEL_API std::string ASCIIToGSMAlphabet(const std::string& S,
                                          TxcGSMAlphabet Alphabet = gsmaExtended);

/// Translates GSM codes into 8-bit text.
///
/// An escape code raises the depth by one as long as Alphabet allows a deeper
/// row; an escape beyond the deepest allowed row is dropped and returns the
/// depth to 0 (so 1B 1B 41 reads as "A" with gsmaExtended). Any other code
/// emits entry [depth][code] and resets the depth to 0. With gsmaDefault
/// there are no escapes: 0x1B is an ordinary code of row 0 (a space by
/// default). A trailing escape emits nothing. Only the low 7 bits of each
/// code are used (as when packing), so a code of 128 or more reads as
/// code - 128.
GARVEL_API std::string GSMAlphabetToASCII(const std::string& S,
                                          TxcGSMAlphabet Alphabet = gsmaExtended);

/// Translates 8-bit text into GSM codes and packs them as septets.
///
/// Septet k occupies bits FillBits + 7k to FillBits + 7k + 6 of the result,
/// counted least significant bit first through byte 0, byte 1 and so on
/// (the GSM 7-bit packing of 3GPP TS 23.038, shifted by FillBits). The
/// FillBits lowest bits of byte 0, and the unused high bits of the last byte,
/// are 0. FillBits is clamped to 0..6. Len receives the number of septets,
/// escape codes included. Empty text gives an empty array and Len 0.
GARVEL_API TByteDynArray StrToGSM(const std::string& S, int& Len, int FillBits = 0,
                                  TxcGSMAlphabet Alphabet = gsmaExtended);

/// Unpacks septets from bit 0 of Data and translates them into 8-bit text.
///
/// Len is the number of septets that the message announces (escapes
/// included). Every complete septet of Data is read (floor(8 * size / 7)).
/// - When the text of all those septets ends in a carriage return, that
///   carriage return is taken for the padding of a spare septet and removed;
///   Len is then not used.
/// - Otherwise only the first Len septets are translated, so the spare
///   septet that the unused bits of the last byte form is never read as text
///   (a negative Len counts as 0).
/// - When Len announces more septets than Data holds, each missing septet
///   reads as a space (0x20), so the text of a message without escapes is
///   exactly Len characters long.
/// An empty Data gives an empty text.
GARVEL_API std::string GSMToStr(const TByteDynArray& Data, int Len,
                                TxcGSMAlphabet Alphabet = gsmaExtended);

/// StrToGSM, with FillBits 0, of the characters that the hexadecimal text S
/// spells (HexStrToStr).
GARVEL_API TByteDynArray HexStrToGSM(const std::string& S, int& Len,
                                     TxcGSMAlphabet Alphabet = gsmaExtended);

/// StrToHexStr of GSMToStr(Data, Len, Alphabet).
GARVEL_API std::string GSMToHexStr(const TByteDynArray& Data, int Len,
                                   TxcGSMAlphabet Alphabet = gsmaExtended);

/// Restores the library's default translation table. Always true.
GARVEL_API bool LoadDefaultTranslationTable();

/// Restores the defaults, then overrides entries from an INI file.
///
/// Section "Table0", "Table1" or "Table2" names the row; the key is the GSM
/// code as three decimal digits ("000" to "127"). A value is used when it is
/// "0x" followed by two hexadecimal digits, exactly three characters that
/// form a decimal number from 0 to 255, or exactly one character (that
/// character itself: the value 5 stands for code 0x35). Empty, missing and
/// other values leave the entry as it is. Lines are parsed by libinih, which
/// strips blanks around a value, so a space must be written as 032 or 0x20.
///
/// Returns true when the file was read through; false when it does not exist
/// or cannot be opened, in which case the table holds the defaults.
///
/// Throws EConvertError when a "0x" value does not hold two hexadecimal
/// digits, with the message: Error while reading section "TableR" variable
/// "CCC". The entries read before the bad one then hold their new values and
/// all others the defaults.
GARVEL_API bool LoadCharacterTranslationTable(const std::string& FileName);

} // namespace garvel
