// SPDX-License-Identifier: MIT
#include "platform/lnxtime.h"

#include <sys/time.h>

#include <cstdio>
#include <cstring>

namespace {

timeval t0{};        // start point
int32_t lclock = 0;  // last reading, hundredths of a second
char buffer[16];     // text of the last get_time

int64_t to_micros(const timeval &tv) {
  return static_cast<int64_t>(tv.tv_sec) * 1000000 + static_cast<int64_t>(tv.tv_usec);
}

}  // namespace

void set_zero_time() { gettimeofday(&t0, nullptr); }

int32_t stop_time() {
  timeval now{};
  gettimeofday(&now, nullptr);
  // 64-bit division truncates toward zero; only the low 32 bits are kept,
  // so a reading of 2^31 hundredths or more wraps.
  const int64_t hundredths = (to_micros(now) - to_micros(t0)) / 10000;
  lclock = static_cast<int32_t>(static_cast<uint32_t>(hundredths));
  return lclock;
}

char *get_time() {
  const long h = lclock;
  const long hours = h / 360000;
  const long minutes = h / 6000 - (h / 6000) / 60 * 60;
  const long seconds = h / 100 - (h / 100) / 60 * 60;
  const long tenths = (h - h / 100 * 100) / 10;
  // Readings of -1000 hours or less can need 16 characters; such a text is
  // cut to the 15 that fit beside the terminator.
  char text[96];
  std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld:%02ld", hours, minutes, seconds, tenths);
  std::size_t len = std::strlen(text);
  if (len > sizeof buffer - 1) len = sizeof buffer - 1;
  std::memcpy(buffer, text, len);
  buffer[len] = '\0';
  return buffer;
}
