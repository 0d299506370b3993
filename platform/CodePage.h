// Conversions between 8-bit text (Windows-1252) and UCS-2.
#pragma once

#include "GarvelExport.h"

#include <string>
#include <string_view>

namespace garvel {

/// Each byte as its Windows-1252 character. The five bytes that code page
/// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the same code point.
GARVEL_API std::u16string AnsiToWide(std::string_view S);
/// Each UCS-2 character as its Windows-1252 byte; '?' where there is none.
GARVEL_API std::string WideToAnsi(std::u16string_view S);

/// UTF-8 bridges for terminals and files (invalid sequences become U+FFFD,
/// characters outside the BMP are carried as surrogate pairs).
GARVEL_API std::u16string Utf8ToWide(std::string_view S);
GARVEL_API std::string WideToUtf8(std::u16string_view S);
/// Windows-1252 text to UTF-8 and back ('?' for what 1252 lacks).
GARVEL_API std::string AnsiToUtf8(std::string_view S);
GARVEL_API std::string Utf8ToAnsi(std::string_view S);

} // namespace garvel
