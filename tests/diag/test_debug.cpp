// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "diag/debug.h"

namespace {

constexpr char kUntouched = 0x7F;

// Runs MakeHex into an area of exactly 3 * n + 2 characters followed by one
// guard character, and checks that the guard is left alone.
std::string make_hex(const std::vector<uint8_t> &bytes) {
  const std::size_t size = 3 * bytes.size() + 2;
  std::vector<char> dst(size + 1, kUntouched);
  MakeHex(dst.data(), bytes.data(), static_cast<uint32_t>(bytes.size()));
  EXPECT_EQ(dst[size], kUntouched) << "written past 3 * n + 2 characters";
  EXPECT_EQ(dst[size - 1], '\0');
  return std::string(dst.data(), size - 1);
}

TEST(Debug, MakeHexLines) {
  EXPECT_EQ(make_hex({}), "\n");
  EXPECT_EQ(make_hex({0x00}), "00 \n");
  EXPECT_EQ(make_hex({0x01, 0xAB, 0xFF}), "01 AB FF \n");
  EXPECT_EQ(make_hex({0xAB, 0xCD, 0xEF, 0x9A}), "AB CD EF 9A \n");
}

TEST(Debug, MakeHexEveryByteValue) {
  std::vector<uint8_t> bytes;
  std::string expected;
  for (int b = 0; b < 256; ++b) {
    bytes.push_back(static_cast<uint8_t>(b));
    char digits[4];
    std::snprintf(digits, sizeof digits, "%02X ", b);
    expected += digits;
  }
  expected += '\n';
  EXPECT_EQ(make_hex(bytes), expected);
}

TEST(Debug, MakeHexReadsOnlyNBytes) {
  // A longer source: only the first two bytes count.
  const uint8_t src[] = {0x12, 0x34, 0x56};
  char dst[9];
  MakeHex(dst, src, 2);
  EXPECT_STREQ(dst, "12 34 \n");
}

}  // namespace
