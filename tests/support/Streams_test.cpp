#include <gtest/gtest.h>

#include "VornLibStreams.h"

TEST(MemoryStream, ReadsWhatWasWrittenAndReportsTheEnd) {
  TMemoryStream stream;
  EXPECT_EQ(stream.Write("abcdef", 6), 6);
  EXPECT_EQ(stream.Seek(1, 0), 1);
  char buffer[8] = {};
  EXPECT_EQ(stream.Read(buffer, 8), 5);
  EXPECT_STREQ(buffer, "bcdef");
  EXPECT_EQ(stream.Read(buffer, 8), 0);
  EXPECT_EQ(stream.Size(), 6);
}
