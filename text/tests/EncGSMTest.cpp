// Tests of the GSM 7-bit alphabet, its packing and the translation table.
#include "xuSMSCEncGSM.h"

#include <gtest/gtest.h>

namespace garvel {
namespace {

TEST(StrToGSM, PacksHelloHello) {
  int len = -1;
  EXPECT_EQ(StrToGSM("hellohello", len, 0),
            (TByteDynArray{0xE8, 0x32, 0x9B, 0xFD, 0x46, 0x97, 0xD9, 0xEC, 0x37}));
  EXPECT_EQ(len, 10);
  EXPECT_EQ(StrToGSM("hellohello", len, 1),
            (TByteDynArray{0xD0, 0x65, 0x36, 0xFB, 0x8D, 0x2E, 0xB3, 0xD9, 0x6F}));
}

} // namespace
} // namespace garvel
