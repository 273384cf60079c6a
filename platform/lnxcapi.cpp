// SPDX-License-Identifier: MIT
#include "platform/lnxcapi.h"

#include <capi20.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Result of the last capi20_isinstalled call.
unsigned error = 0;

// Word i of a version record; the buffer need not be aligned.
uint32_t version_word(const unsigned char *version, int i) {
  uint32_t w;
  std::memcpy(&w, version + 4 * i, sizeof w);
  return w;
}

}  // namespace

int capi_is_installed() {
  error = capi20_isinstalled();
  if (error == 0) return 1;
  // Take errno before printf can change it.
  const int err = errno;
  std::printf("capi not installed (%s)\n", std::strerror(err));
  return 0;
}

unsigned char *capi_get_manufacturer(unsigned char *buf) { return capi20_get_manufacturer(0, buf); }

unsigned char *capi_get_version(unsigned char *buf) { return capi20_get_version(0, buf); }

unsigned char *capi_get_serial_number(unsigned char *buf) {
  return capi20_get_serial_number(0, buf);
}

unsigned capi_get_profile(unsigned controller, unsigned char *buf) {
  return capi20_get_profile(controller, buf);
}

unsigned capi_register(unsigned /*msgbufsize*/, unsigned maxcon, unsigned maxblocks,
                       unsigned maxlen, unsigned *error_out) {
  // libcapi20 sizes its own message buffer, so msgbufsize has no use here.
  unsigned applid = 0;
  const unsigned r = capi20_register(maxcon, maxblocks, maxlen, &applid);
  if (error_out) *error_out = r;
  // A failed call reports no id, whatever the library left in applid.
  return r == 0 ? applid : 0;
}

unsigned capi_release(unsigned applid) { return capi20_release(applid); }

void print_version(int isxol, const unsigned char *version) {
  const uint32_t major = version_word(version, 0);
  const uint32_t minor = version_word(version, 1);
  const uint32_t mmajor = version_word(version, 2);
  const uint32_t mminor = version_word(version, 3);
  std::printf("CAPI Version: %u.%u        ", major, minor);
  if (!isxol) {
    std::printf("Manufacturer version: %u.%u\n", mmajor, mminor);
    return;
  }
  // The vendor's controller packs its version as 4-bit digits.
  std::printf("Manufacturer version: %u.%u%u-%02u  (%u.%u)\n", (mmajor >> 4) & 0x0F, mmajor & 0x0F,
              (mminor >> 4) & 0x0F, mminor & 0x0F, mmajor, mminor);
}
