// SPDX-License-Identifier: MIT
// CAPI 2.0 wire format: 16-bit little-endian fields and length-prefixed
// structs. Both stand at any offset of a message, so they are read and
// written byte by byte.
#pragma once
#include <cstddef>

constexpr unsigned char kLongStruct = 0xFF;  // struct prefix: a 16-bit length follows

inline unsigned get16(const unsigned char *p) { return p[0] | p[1] << 8; }

inline void put16(unsigned char *p, unsigned v) {
  p[0] = v & 0xFF;
  p[1] = (v >> 8) & 0xFF;
}

// Size of the length prefix of the struct at p (1, or 3 in the long form);
// 0 when the prefix does not fit in the avail bytes from p.
inline unsigned struct_prefix(const unsigned char *p, size_t avail) {
  if (avail == 0) return 0;
  unsigned n = p[0] == kLongStruct ? 3 : 1;
  return avail < n ? 0 : n;
}

// Content length of the struct at p when prefix and content fit in the
// avail bytes from p; -1 when they do not.
inline long struct_fits(const unsigned char *p, size_t avail) {
  unsigned prefix = struct_prefix(p, avail);
  if (prefix == 0) return -1;
  long n = prefix == 1 ? p[0] : get16(p + 1);
  return n <= static_cast<long>(avail - prefix) ? n : -1;
}
