// SPDX-License-Identifier: MIT
// SHA-256 of a byte string, for the simulator's firmware fingerprint.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Lower-case hex digest (64 characters) of len bytes at data.
std::string sha256_hex(const uint8_t *data, size_t len);
