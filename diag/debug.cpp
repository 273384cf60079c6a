// SPDX-License-Identifier: MIT
#include "diag/debug.h"

namespace {

// Digit characters by 4-bit value; no terminator.
constexpr char HEX[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                          '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

}  // namespace

void MakeHex(char *dst, const uint8_t *src, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    *dst++ = HEX[src[i] >> 4];
    *dst++ = HEX[src[i] & 0x0F];
    *dst++ = ' ';
  }
  *dst++ = '\n';
  *dst = '\0';
}
