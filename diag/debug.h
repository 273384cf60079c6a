// SPDX-License-Identifier: MIT
// Hex dump line.
#pragma once
#include <cstdint>

// Writes n bytes as "XX " each, then a newline and a NUL, into dst,
// which must hold 3 * n + 2 characters.
void MakeHex(char *dst, const uint8_t *src, uint32_t n);
