// SPDX-License-Identifier: MIT
// Scripted time of day for the clock's tests. The test executables link with
// -Wl,--wrap=gettimeofday, so the clock's calls land in __wrap_gettimeofday.
#include <sys/time.h>

#include <cstdint>

extern "C" int __real_gettimeofday(timeval *tv, void *tz);

namespace {

bool armed = false;
timeval scripted{};
int calls = 0;
bool tz_null = true;

}  // namespace

// Every following gettimeofday returns sec.usec (usec in 0..999999).
void fake_clock_set(int64_t sec, int64_t usec) {
  armed = true;
  scripted.tv_sec = static_cast<time_t>(sec);
  scripted.tv_usec = static_cast<suseconds_t>(usec);
}

// Sets the time to a count of microseconds since the epoch.
void fake_clock_set_micros(int64_t us) {
  int64_t sec = us / 1000000;
  int64_t usec = us % 1000000;
  if (usec < 0) {
    usec += 1000000;
    --sec;
  }
  fake_clock_set(sec, usec);
}

int fake_clock_calls() { return calls; }
bool fake_clock_tz_always_null() { return tz_null; }

extern "C" int __wrap_gettimeofday(timeval *tv, void *tz) {
  if (!armed) return __real_gettimeofday(tv, tz);
  ++calls;
  if (tz != nullptr) tz_null = false;
  *tv = scripted;
  return 0;
}
