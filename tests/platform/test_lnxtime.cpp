// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/lnxtime.h"

void fake_clock_set(int64_t sec, int64_t usec);
void fake_clock_set_micros(int64_t us);
int fake_clock_calls();
bool fake_clock_tz_always_null();

namespace {

// An arbitrary start point with a non-zero microsecond part.
constexpr int64_t kStart = 1700000000LL * 1000000 + 250000;

// Starts the clock at kStart and takes a reading elapsed_us later.
int32_t reading_after(int64_t elapsed_us) {
  fake_clock_set_micros(kStart);
  set_zero_time();
  fake_clock_set_micros(kStart + elapsed_us);
  return stop_time();
}

// Makes h the last reading.
void make_reading(int32_t h) { ASSERT_EQ(reading_after(static_cast<int64_t>(h) * 10000), h); }

struct Elapsed {
  int64_t us;
  int32_t hundredths;
};

TEST(LnxTime, ReadingTruncatesTowardZero) {
  const Elapsed cases[] = {
      {0, 0},         {9999, 0},        {10000, 1},   {19999, 1},     {-1, 0},
      {-9999, 0},     {-10000, -1},     {-10001, -1}, {-19999, -1},   {-20000, -2},
      {1000000, 100}, {-1000000, -100}, {750001, 75}, {-750001, -75},
  };
  for (const Elapsed &c : cases) {
    EXPECT_EQ(reading_after(c.us), c.hundredths) << "elapsed " << c.us << " us";
  }
}

TEST(LnxTime, ReadingKeepsLow32Bits) {
  const int64_t two32 = int64_t{1} << 32;
  const Elapsed cases[] = {
      {2147483647LL * 10000, 2147483647},
      {2147483648LL * 10000, INT32_MIN},  // about 248.5 days
      {(two32 + 5) * 10000, 5},
      {(two32 - 1) * 10000, -1},
      {-2147483649LL * 10000, 2147483647},
  };
  for (const Elapsed &c : cases) {
    EXPECT_EQ(reading_after(c.us), c.hundredths) << "elapsed " << c.us << " us";
  }
}

TEST(LnxTime, MicrosecondBorrowAcrossSeconds) {
  // 100.999999 s to 101.000000 s is 1 us: no whole hundredth.
  fake_clock_set(100, 999999);
  set_zero_time();
  fake_clock_set(101, 0);
  EXPECT_EQ(stop_time(), 0);
  fake_clock_set(101, 9999);
  EXPECT_EQ(stop_time(), 1);
}

TEST(LnxTime, ReadingsCountFromTheSameStartPoint) {
  fake_clock_set(5000, 0);
  set_zero_time();
  fake_clock_set(5001, 0);
  EXPECT_EQ(stop_time(), 100);
  fake_clock_set(5003, 500000);
  EXPECT_EQ(stop_time(), 350);  // not the 250 since the first reading
  fake_clock_set(5003, 0);
  set_zero_time();
  fake_clock_set(5003, 200000);
  EXPECT_EQ(stop_time(), 20);
}

TEST(LnxTime, UsesTheWallClockWithoutTimeZone) {
  const int before = fake_clock_calls();
  reading_after(12345678);
  EXPECT_EQ(fake_clock_calls(), before + 2);
  EXPECT_TRUE(fake_clock_tz_always_null());
}

struct Text {
  int32_t h;
  const char *text;
};

TEST(LnxTime, FormatsReadings) {
  const Text cases[] = {
      {0, "00:00:00:00"},
      {99, "00:00:00:09"},
      {100, "00:00:01:00"},
      {123456, "00:20:34:05"},
      {359999, "00:59:59:09"},
      {367234, "01:01:12:03"},
      {2147483647, "5965:13:56:04"},
      {5, "00:00:00:00"},        // the hundredths digit is dropped
      {50, "00:00:00:05"},       // five tenths print as 05
      {9000000, "25:00:00:00"},  // hours are not wrapped at 24
      {36000000, "100:00:00:00"},
      {-123456, "00:-20:-34:-5"},  // each field keeps the sign of h
      {-1, "00:00:00:00"},
      {-10, "00:00:00:-1"},
      {-360000, "-1:00:00:00"},
      {-359999999, "-999:-59:-59:-9"},  // longest text above -1000 hours
  };
  for (const Text &c : cases) {
    make_reading(c.h);
    EXPECT_STREQ(get_time(), c.text) << "h = " << c.h;
  }
}

TEST(LnxTime, CutsTextsOfMinus1000HoursOrLessTo15Characters) {
  const Text cases[] = {
      {-360000000, "-1000:00:00:00"},
      {-360000001, "-1000:00:00:00"},
      {-360061010, "-1000:-10:-10:-"},  // "-1000:-10:-10:-1" does not fit
      {INT32_MIN, "-5965:-13:-56:-"},   // "-5965:-13:-56:-4"
  };
  for (const Text &c : cases) {
    make_reading(c.h);
    EXPECT_STREQ(get_time(), c.text) << "h = " << c.h;
  }
}

TEST(LnxTime, EveryTextFitsItsArea) {
  // Sweep the most negative readings, where the texts are longest: every
  // text is the first 15 characters (at most) of the full formatting.
  for (int64_t h = INT32_MIN; h < INT32_MIN + 200000; h += 997) {
    make_reading(static_cast<int32_t>(h));
    const char *text = get_time();
    char full[64];
    std::snprintf(full, sizeof full, "%02ld:%02ld:%02ld:%02ld", static_cast<long>(h / 360000),
                  static_cast<long>(h / 6000 % 60), static_cast<long>(h / 100 % 60),
                  static_cast<long>(h % 100 / 10));
    ASSERT_LE(std::strlen(text), 15u);
    ASSERT_EQ(std::string(full).substr(0, 15), text) << "h = " << h;
  }
}

TEST(LnxTime, GetTimeTakesNoReadingAndReusesItsArea) {
  make_reading(100);
  const int before = fake_clock_calls();
  char *first = get_time();
  EXPECT_STREQ(first, "00:00:01:00");
  EXPECT_EQ(fake_clock_calls(), before);
  make_reading(200);
  EXPECT_EQ(get_time(), first);
  EXPECT_STREQ(first, "00:00:02:00");
}

}  // namespace
