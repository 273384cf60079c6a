// SPDX-License-Identifier: MIT
// The clock's state as the program starts: this executable holds one test so
// that it sees the module untouched.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/lnxtime.h"

void fake_clock_set(int64_t sec, int64_t usec);

TEST(LnxTimeFresh, StartsAtZeroAndMeasuresFromTheEpoch) {
  // No reading yet: the text of a zero reading.
  EXPECT_STREQ(get_time(), "00:00:00:00");

  // Without set_zero_time the start point is the epoch:
  // 1700000000.123456 s = 170000000012 hundredths, whose low 32 bits
  // read as a signed value are -1798691828.
  fake_clock_set(1700000000, 123456);
  EXPECT_EQ(stop_time(), -1798691828);
  // Its text needs 16 characters and is cut to 15.
  EXPECT_STREQ(get_time(), "-4996:-21:-58:-");

  // A new start point leaves the last reading and its text alone.
  set_zero_time();
  EXPECT_STREQ(get_time(), "-4996:-21:-58:-");
  EXPECT_EQ(stop_time(), 0);
}
