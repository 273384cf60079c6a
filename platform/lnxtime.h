// SPDX-License-Identifier: MIT
// Elapsed wall-clock time since a start point, in hundredths of a second.
#pragma once
#include <cstdint>

// Sets the start point to the current time of day.
void set_zero_time();
// Takes a reading (hundredths since the start point, low 32 bits) and keeps it.
int32_t stop_time();
// Formats the last reading as "hh:mm:ss:tt" into a private 16-byte area
// that the next call overwrites.
char *get_time();
