// SPDX-License-Identifier: MIT
// Diagnostics texts at the edges of their ranges, the hex dump line, and
// the clock's worked values. gettimeofday is wrapped in this program: the
// clock reads the time set here.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <string>

#include "diag/c20msg.h"
#include "diag/debug.h"
#include "platform/lnxtime.h"

namespace {
int64_t now_us;  // the time of day every gettimeofday returns
}
extern "C" int __wrap_gettimeofday(timeval *tv, void *) {
  tv->tv_sec = time_t(now_us / 1000000 - (now_us % 1000000 < 0));
  tv->tv_usec = suseconds_t((now_us % 1000000 + 1000000) % 1000000);
  return 0;
}

namespace {

// The values that have a text: how many, and their sum.
void listed(const char *(*decode)(uint32_t), uint32_t below, const char *none, int count, unsigned long sum) {
  int n = 0;
  unsigned long total = 0;
  for (uint32_t v = 0; v < below; v++) {
    ASSERT_NE(decode(v), nullptr) << v;
    if (std::string(decode(v)) != none) n++, total += v;
  }
  EXPECT_EQ(n, count);
  EXPECT_EQ(total, sum);
}

TEST(C20Msg, TextsAtTheEdges) {
  const struct {
    uint32_t value;
    const char *text;
  } cases[] = {
      {0x0001, "NCPI not supported by current protocol, NCPI ignored"},
      {0x1007, "The message could not be accepted because of an internal busy condition"},
      {0x1107, "The Message could not be accepted because of an internal busy condition"},
      {0x1008, "OS resource error (no memory ?)"},
      {0x1108, "OS Resource error (no memory ?)"},
      {0x110B, "Controller does only support external equipment"},
      {0x300D, "Reset procedure not supported by current protocol"},
      {0x34FF, "Interworking, unspecified"},
      {0x13316, "No additional information"},
  };
  for (const auto &c : cases) EXPECT_STREQ(Decode_Error(c.value), c.text) << std::hex << c.value;
  EXPECT_EQ(Decode_Error(0x1009), Decode_Error(0x1109));  // one shared string
  listed(Decode_Error, 0x10000, "No additional information", 110, 1182004);
  listed(Decode_Command, 0x100, "!! undefined !!", 15, 1269);
  listed(Decode_Sub, 0x100, "!! undefined !!", 4, 518);
  EXPECT_STREQ(Decode_Command(0x188), "CONNECT_B3_T90_ACTIVE");  // the low 8 bits
  EXPECT_STREQ(Decode_Sub(0x183), "RESP");
}

TEST(Debug, HexLine) {
  const uint8_t bytes[] = {0x01, 0xAB, 0xFF, 0x5C};
  char line[16];
  memset(line, 'x', sizeof line);
  MakeHex(line, bytes, 3);
  EXPECT_EQ(std::string(line, 12), std::string("01 AB FF \n\0x", 12));  // nothing past 3n + 2
  MakeHex(line, bytes, 0);
  EXPECT_STREQ(line, "\n");
}

// Readings from a start point (wrapping at 32 bits) and their texts.
TEST(Clock, ReadingsAndTexts) {
  const int64_t start = 1700000000LL * 1000000 + 250000, h = 10000;  // h: a hundredth in microseconds
  const struct {
    int64_t us;
    int32_t hundredths;
    const char *text;
  } cases[] = {{9999, 0, "00:00:00:00"}, {h, 1, "00:00:00:00"}, {-9999, 0, "00:00:00:00"}, {-h, -1, "00:00:00:00"},
               {750001, 75, "00:00:00:07"}, {99 * h, 99, "00:00:00:09"}, {100 * h, 100, "00:00:01:00"},
               {123456 * h, 123456, "00:20:34:05"}, {359999 * h, 359999, "00:59:59:09"},
               {367234 * h, 367234, "01:01:12:03"}, {9000000 * h, 9000000, "25:00:00:00"},
               {2147483647LL * h, 2147483647, "5965:13:56:04"}, {2147483648LL * h, INT32_MIN, "-5965:-13:-56:-"},
               {((1LL << 32) + 5) * h, 5, "00:00:00:00"}, {-123456 * h, -123456, "00:-20:-34:-5"},
               {-359999999LL * h, -359999999, "-999:-59:-59:-9"}};
  for (const auto &c : cases) {
    now_us = start;
    set_zero_time();
    now_us = start + c.us;
    EXPECT_EQ(stop_time(), c.hundredths) << c.us;
    EXPECT_STREQ(get_time(), c.text) << c.us;
  }
  now_us = start + 30000;  // readings count from the same start point
  EXPECT_EQ(stop_time(), 3);
  EXPECT_EQ(get_time(), get_time());  // one area, no reading of its own
}

}  // namespace
