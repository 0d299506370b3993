#include "SysUtils.h"
#include <gtest/gtest.h>
using namespace garvel;
TEST(SysUtils, Dummy) { EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0); }
