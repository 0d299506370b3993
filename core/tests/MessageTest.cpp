#include "xcGarvel.h"
#include <gtest/gtest.h>
using namespace garvel;
TEST(Message, Dummy) { TxcSMSCMessage m; m.AddWord(0x1234); EXPECT_EQ(m.Size(), 2); }
