// Tests of the hexadecimal, UCS-2 and user-data conversions.
#include "xuSMSCExtractSM.h"

#include <gtest/gtest.h>

namespace garvel {
namespace {

TEST(BinCompose, SevenBitAfterHeader) {
  int len = 0;
  TByteDynArray out = BinCompose({0x05, 0x00, 0x03, 0x01, 0x02, 0x01}, StrToBin("Hi"), true, len);
  EXPECT_EQ(out, (TByteDynArray{0x05, 0x00, 0x03, 0x01, 0x02, 0x01, 0x90, 0x69}));
  EXPECT_EQ(len, 9);
}

} // namespace
} // namespace garvel
