// SPDX-License-Identifier: MIT
// Incoming side: arbitrary bytes as one received CAPI message go through the
// pump's decoder and then through the state machine in every state, with
// the requests it answers with succeeding and failing. MANUFACTURER_REQ is
// wrapped at link time: a request is encoded into a local buffer and checked
// instead of being sent, so no CAPI application or network is involved.
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <capiutils.h>
#include <sanitizer/asan_interface.h>

#include "platform/lnxexec.h"
#include "update/cordix.h"

namespace {

constexpr unsigned kRegion = 1 << 17;  // inputs up to this size get a guard page
constexpr unsigned kFirmwareSize = 1500;  // one full chunk, one short one
constexpr unsigned kRequestFailure = 0x1108;

unsigned char sent[1 << 17];  // the last request, as it would go out
bool fail_requests;
unsigned char *region;      // kRegion bytes followed by an inaccessible page
FILE *unreadable;           // a stream whose reads fail (a directory)
std::string dir, firmware;

void cleanup() {
  unlink(firmware.c_str());
  unlink((dir + "/.capi20rc").c_str());
  rmdir(dir.c_str());
}

// The input is placed so that it ends where the guard page begins: reads past
// it fault even in libcapi20, which is not instrumented; ASan reports reads
// before it.
unsigned char *place(const uint8_t *data, size_t size, std::vector<unsigned char> &heap) {
  if (!region || size > kRegion) {
    heap.assign(data, data + size);
    return heap.data();
  }
  unsigned char *p = region + kRegion - size;
  ASAN_UNPOISON_MEMORY_REGION(p, size);
  if (size) memcpy(p, data, size);
  return p;
}

void unplace(unsigned char *p, size_t size) {
  if (region && p >= region && p < region + kRegion) ASAN_POISON_MEMORY_REGION(p, size);
}

// Firmware stream at its start, as when the data phase begins.
void rewind_firmware() {
  if (InputFile == unreadable) InputFile = nullptr;
  if (InputFile)
    rewind(InputFile);
  else
    InputFile = fopen(firmware.c_str(), "rb");
}

void run_states(_cmsg *msg) {
  for (unsigned s = 0; s <= 8; s++) {
    rewind_firmware();
    set_state(s);
    state_machine(msg);
    if (s != ST_DATA) continue;
    // Second chunk, then end of file; then a stream that fails to read.
    set_state(s);
    state_machine(msg);
    set_state(s);
    state_machine(msg);
    if (InputFile && InputFile != unreadable) fclose(InputFile);
    clearerr(unreadable);
    InputFile = unreadable;
    set_state(s);
    state_machine(msg);
  }
}

}  // namespace

// Stands in for libcapi20's MANUFACTURER_REQ: fills the record as the library
// does, encodes it and checks that the encoding reads back as sent.
extern "C" unsigned __wrap_MANUFACTURER_REQ(_cmsg *c, _cword appl, _cword number, _cdword ctrl,
                                            _cdword manu_id, _cdword cls, _cdword function,
                                            _cstruct data) {
  capi_cmsg_header(c, appl, CAPI_MANUFACTURER, CAPI_REQ, number, ctrl);
  c->ManuID = manu_id;
  c->Class = cls;
  c->Function = function;
  c->ManuData = data;
  capi_cmsg2message(c, sent);
  unsigned struct_size = data[0] != 0xFF ? 1 + data[0] : 3 + (data[1] | data[2] << 8);
  _cmsg back;
  if (decode_message(sent, sizeof sent, &back) != 0 || back.l != 24 + struct_size ||
      back.Subcommand != CAPI_REQ || back.Function != function ||
      memcmp(back.ManuData, data, struct_size) != 0)
    __builtin_trap();
  return fail_requests ? kRequestFailure : 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // libcapi20 reads $HOME/.capi20rc on its first connecting call: a closed
  // loopback port, although the target makes no such call.
  char tmpl[] = "/tmp/fuzz_incoming.XXXXXX";
  if (!mkdtemp(tmpl)) abort();
  dir = tmpl;
  if (FILE *rc = fopen((dir + "/.capi20rc").c_str(), "w")) {
    fputs("REMOTE rcapi 127.0.0.1 1\n", rc);
    fclose(rc);
  }
  setenv("HOME", dir.c_str(), 1);
  firmware = dir + "/firmware.bin";
  FILE *f = fopen(firmware.c_str(), "wb");
  if (!f) abort();
  for (unsigned i = 0; i < kFirmwareSize; i++) fputc((i * 7) & 0xFF, f);
  fclose(f);
  atexit(cleanup);
  static char path[4096];
  snprintf(path, sizeof path, "%s", firmware.c_str());
  config.file = path;
  config.controller = 1;
  config.background = 1;
  unreadable = fopen(dir.c_str(), "rb");
  if (!unreadable) abort();

  long page = sysconf(_SC_PAGESIZE);
  void *m = mmap(nullptr, kRegion + page, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m != MAP_FAILED && mprotect(static_cast<char *>(m) + kRegion, page, PROT_NONE) == 0) {
    region = static_cast<unsigned char *>(m);
    ASAN_POISON_MEMORY_REGION(region, kRegion);
  }
  if (!freopen("/dev/null", "w", stdout)) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<unsigned char> heap;
  unsigned char *msg = place(data, size, heap);
  int refused = decode_message(msg, static_cast<unsigned>(size), &cmsg);
  for (int fail = 0; fail <= 1; fail++) {
    fail_requests = fail != 0;
    if (refused == 0) run_states(&cmsg);
  }
  unplace(msg, size);
  return 0;
}
