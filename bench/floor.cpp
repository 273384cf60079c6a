// SPDX-License-Identifier: MIT
// The floor for the benchmark: the least a libcapi20 client does for the
// update and version protocol that cordix speaks. The same control requests
// (installed, profile, manufacturer, version), the same registration, the
// same manufacturer records and round trips; messages built and read as raw
// bytes, no output, no per-message allocation.
//   floor [-g] [-f FILE]      exit 0 when the protocol completed, else 1
#include <capi20.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kManuId = 0x214C4F58;  // "XOL!"
constexpr unsigned kFunction = 15;
constexpr unsigned kChunk = 1024;
constexpr size_t kHeader = 8 + 4 + 4 + 4 + 4;  // CAPI header, Controller, ManuID, Class, Function

unsigned char msg[kHeader + 8 + kChunk];
unsigned appl;
uint16_t number = 1;

void put16(unsigned char *p, unsigned v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void put32(unsigned char *p, uint32_t v) {
  put16(p, v & 0xFFFF);
  put16(p + 2, v >> 16);
}
unsigned get16(const unsigned char *p) { return p[0] | p[1] << 8; }

// Sends MANUFACTURER_REQ whose ManuData struct (prefix included) is already
// in msg + kHeader, len bytes long.
bool send_request(size_t len) {
  size_t total = kHeader + len;
  put16(msg, unsigned(total));
  put16(msg + 2, appl);
  msg[4] = 0xFF;
  msg[5] = 0x80;
  put16(msg + 6, number++);
  put32(msg + 8, 1);
  put32(msg + 12, kManuId);
  put32(msg + 16, 0);
  put32(msg + 20, kFunction);
  return capi20_put_message(appl, msg) == 0;
}

bool send_command(unsigned command) {
  unsigned char *r = msg + kHeader;
  r[0] = 3;
  put16(r + 1, command);
  r[3] = 0;
  return send_request(4);
}

// Reads the next chunk into a data-chunk record; false at end of file.
bool send_chunk(FILE *f, bool *more) {
  unsigned char *r = msg + kHeader;
  size_t n = f ? fread(r + 8, 1, kChunk, f) : 0;
  *more = n > 0;
  if (n == 0) return send_command(3);
  r[0] = 0xFF;
  put16(r + 1, unsigned(n + 5));
  put16(r + 3, 2);
  r[5] = 0xFF;
  put16(r + 6, unsigned(n));
  return send_request(n + 8);
}

// Length of the CAPI struct at *p; moves *p past the length prefix.
unsigned struct_len(const unsigned char **p) {
  const unsigned char *q = *p;
  if (q[0] != 0xFF) {
    *p = q + 1;
    return q[0];
  }
  *p = q + 3;
  return get16(q + 1);
}

// Runs the protocol; 0 when it completed.
int run(bool version, FILE *f) {
  if (!send_command(version ? 4 : 1)) return 1;
  unsigned expect = version ? 4 : 1;
  for (;;) {
    if (capi20_waitformessage(appl, nullptr) != 0) return 1;
    unsigned char *m = nullptr;
    unsigned e = capi20_get_message(appl, &m);
    if (e == 0x1104) continue;
    if (e != 0) return 1;
    if (m[4] != 0xFF || get16(m + 20) != kFunction) continue;
    if (m[5] == 0x81) {
      if (get16(m + 16) != 0) return 1;
      continue;
    }
    if (m[5] != 0x82 || get16(m + 16) != 0) continue;
    const unsigned char *p = m + kHeader;
    if (struct_len(&p) < 3) return 1;
    unsigned code = get16(p);
    if (code != expect) continue;
    if (code == 4) {
      p += 2;
      return struct_len(&p) < 3 ? 1 : 0;
    }
    if (code == 3) return 0;
    bool more = false;
    if (!send_chunk(f, &more)) return 1;
    expect = more ? 2 : 3;
  }
}

}  // namespace

int main(int argc, char **argv) {
  bool version = false;
  const char *file = "cordix.bin";
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "-g") == 0) version = true;
    if (strcmp(argv[i], "-f") == 0 && i + 1 < argc) file = argv[++i];
  }
  FILE *f = nullptr;
  if (!version && !(f = fopen(file, "rb"))) return 3;
  if (capi20_isinstalled() != 0) return 4;
  unsigned char buf[64];
  if (capi20_get_profile(0, buf) == 0x1009) return 5;
  capi20_get_manufacturer(0, buf);
  capi20_get_version(0, buf);
  if (capi20_register(1, 2, 128, &appl) != 0) return 7;
  int rc = run(version, f);
  if (f) fclose(f);
  if (capi20_release(appl) != 0) return 12;
  return rc;
}
