// Septet unpacking shared by the GSM alphabet and the user-data functions.
// IWYU pragma: private, include "xuSMSCEncGSM.h"
#pragma once

#include "xuSMSCEncGSM.h"

#include <cstddef>
#include <string>

namespace garvel::detail {

/// Unpacks the septets of Data from bit 0 on, skips the first Skip of them,
/// and translates the rest, under the rules of GSMToStr (a trailing carriage
/// return drops the spare septet; otherwise Len bounds the septets read, and
/// each announced septet past the data reads as a space). Skip counts
/// against Len like any other septet. The caller has checked that Data is
/// not empty.
std::string DecodeSeptets(const TByteDynArray& Data, int Len, size_t Skip, TxcGSMAlphabet Alphabet);

} // namespace garvel::detail
