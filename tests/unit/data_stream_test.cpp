#include "data_stream.h"

#include <gtest/gtest.h>

TEST(MemoryDataStream, NullBlockFailsOpen) {
  MemoryDataStream stream(nullptr, 0);
  EXPECT_FALSE(stream.Open(nullptr, false));
}
