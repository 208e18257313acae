#include "crypto/SelfTest.h"

#include <gtest/gtest.h>

TEST(SelfTest, PassesOnThisBuild) { EXPECT_TRUE(dorvex::crypto::runSelfTest()); }
