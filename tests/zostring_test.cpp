#include "core/zostring.h"

#include <gtest/gtest.h>

TEST(StringTest, Placeholder) { EXPECT_EQ(String("a"), "a"); }
