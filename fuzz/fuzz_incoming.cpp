// SPDX-License-Identifier: MIT
// Arbitrary bytes as one received CAPI message through the pump's decoder
// and then the state machine in every state, with requests that succeed and
// fail. MANUFACTURER_REQ is a double here: nothing is sent.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/lnxexec.h"
#include "update/cordix.h"

namespace {

constexpr size_t kRegion = 1 << 17;  // an input ends where a guard page begins
unsigned char *region;
unsigned fail_with;  // result of every request
char firmware[] = "fuzz_incoming.firmware";  // in the run's own folder

}  // namespace

unsigned MANUFACTURER_REQ(_cmsg *, _cword, _cword, _cdword, _cdword, _cdword, _cdword, _cstruct) {
  return fail_with;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  FILE *f = fopen(firmware, "wb");
  for (int i = 0; f && i < 1500; i++) fputc(i * 7, f);  // a full chunk and a short one
  if (!f || fclose(f) != 0) abort();
  config.file = firmware;
  // Reads past the input fault even in libcapi20, which is not instrumented.
  long page = sysconf(_SC_PAGESIZE);
  void *m = mmap(nullptr, kRegion + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED || mprotect(static_cast<char *>(m) + kRegion, page, PROT_NONE) != 0) abort();
  region = static_cast<unsigned char *>(m);
  return freopen("/dev/null", "w", stdout) == nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > kRegion) return 0;
  unsigned char *msg = region + kRegion - size;
  memcpy(msg, data, size);
  if (decode_message(msg, unsigned(size), &cmsg) != 0) return 0;
  for (fail_with = 0; fail_with <= 0x1108; fail_with += 0x1108)
    for (unsigned s = 0; s <= 8; s++) {
      // In the data state: two chunks, then the end of the image.
      for (int i = 0; i < (s == ST_DATA ? 3 : 1); i++) {
        if (!InputFile) InputFile = fopen(firmware, "rb");
        set_state(s);
        state_machine(&cmsg);
      }
      if (InputFile) fclose(InputFile);
      InputFile = nullptr;
    }
  return 0;
}
