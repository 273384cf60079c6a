// SPDX-License-Identifier: MIT
// simclient: a small libcapi20 client for the simulator tests. Runs the
// operations given as arguments in order and prints one line per result.
//   installed | profile CTRL | manufacturer | version | serial | register
//   app I (select the I-th registration) | release
//   manu NUM CTRL RECORDHEX (MANUFACTURER_REQ helper, ManuID XOL!, Class 0, Function 15)
//   raw MSGHEX (ApplId bytes replaced) | wait MS | drain MS
//   update FILE CTRL | getversion CTRL
#include <capi20.h>
#include <capiutils.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned kManuId = 0x214C4F58;
std::vector<unsigned> g_apps;
unsigned g_app;
unsigned g_next_number = 1;

std::vector<unsigned char> from_hex(const char *s) {
  std::vector<unsigned char> v;
  for (size_t i = 0; s[i] && s[i + 1]; i += 2) {
    char pair[3] = {s[i], s[i + 1], 0};
    v.push_back((unsigned char)strtoul(pair, nullptr, 16));
  }
  return v;
}

std::string hex(const unsigned char *p, size_t n) {
  std::string h;
  char b[3];
  for (size_t i = 0; i < n; i++) {
    snprintf(b, sizeof b, "%02x", p[i]);
    h += b;
  }
  return h;
}

// ManuData struct bytes (prefix included), bounded by the message end.
std::string manu_data_hex(const _cmsg &m, const unsigned char *msg) {
  const unsigned char *p = m.ManuData;
  size_t msg_len = msg[0] | msg[1] << 8;
  if (!p || p < msg || p >= msg + msg_len) return "";
  size_t avail = size_t(msg + msg_len - p);
  size_t len = p[0] == 0xff && avail >= 3 ? 3 + (p[1] | p[2] << 8) : 1 + p[0];
  return hex(p, len < avail ? len : avail);
}

struct Received {
  unsigned rc;  // 0: message in m; 0xffff: timeout; else the CAPI error
  _cmsg m;
  std::string data;
};

Received receive(unsigned ms) {
  Received r{};
  struct timeval tv = {long(ms / 1000), long(ms % 1000) * 1000};
  unsigned w = capi20_waitformessage(g_app, &tv);
  if (w == 0x1104) {  // nothing arrived in time
    r.rc = 0xffff;
    return r;
  }
  unsigned char *msg = nullptr;
  r.rc = capi20_get_message(g_app, &msg);
  if (r.rc == 0) {
    capi_message2cmsg(&r.m, msg);
    r.data = manu_data_hex(r.m, msg);
  }
  return r;
}

void print_received(const Received &r) {
  if (r.rc == 0xffff) {
    printf("timeout\n");
  } else if (r.rc) {
    printf("error 0x%04x\n", r.rc);
  } else {
    printf("msg cmd=%02x sub=%02x num=%u ctrl=%u manuid=%08x class=%u func=%u data=%s\n",
           r.m.Command, r.m.Subcommand, r.m.Messagenumber, unsigned(r.m.adr.adrController),
           unsigned(r.m.ManuID), unsigned(r.m.Class), unsigned(r.m.Function), r.data.c_str());
  }
}

unsigned manu_req(unsigned number, unsigned ctrl, unsigned char *record) {
  _cmsg c;
  g_next_number = number + 1;
  return MANUFACTURER_REQ(&c, g_app, number, ctrl, kManuId, 0, 15, record);
}

// Waits for the manufacturer indication with Class 0 / Function 15 and returns its code;
// -1 on timeout/error or a confirmation reporting an error.
int wait_code(std::string *data) {
  for (;;) {
    Received r = receive(5000);
    if (r.rc) return -1;
    if (r.m.Command != 0xff) continue;
    if (r.m.Subcommand == 0x81 && r.m.Class != 0) return -1;
    if (r.m.Subcommand != 0x82 || r.m.Class != 0 || r.m.Function != 15) continue;
    *data = r.data;
    if (r.data.size() < 6) return -1;
    return int(strtoul(r.data.substr(2, 2).c_str(), nullptr, 16) |
               strtoul(r.data.substr(4, 2).c_str(), nullptr, 16) << 8);
  }
}

// The whole update as the tool runs it: start, chunks in the long forms, end.
int update(const char *path, unsigned ctrl) {
  FILE *f = fopen(path, "rb");
  if (!f) return printf("update cannot open %s\n", path), 1;
  unsigned char rec[1032];
  unsigned char start[4] = {3, 1, 0, 0}, end[4] = {3, 3, 0, 0};
  std::string data;
  unsigned chunks = 0;
  int ok = manu_req(g_next_number, ctrl, start) == 0 && wait_code(&data) == 1;
  while (ok) {
    size_t n = fread(rec + 8, 1, 1024, f);
    if (n == 0) break;
    unsigned char head[8] = {0xff, (unsigned char)((n + 5) & 0xff), (unsigned char)((n + 5) >> 8),
                             2, 0, 0xff, (unsigned char)(n & 0xff), (unsigned char)(n >> 8)};
    memcpy(rec, head, 8);
    ok = manu_req(g_next_number, ctrl, rec) == 0 && wait_code(&data) == 2;
    chunks++;
  }
  fclose(f);
  ok = ok && manu_req(g_next_number, ctrl, end) == 0 && wait_code(&data) == 3;
  printf("update %s chunks=%u\n", ok ? "done" : "failed", chunks);
  return ok ? 0 : 1;
}

int get_version(unsigned ctrl) {
  unsigned char rec[4] = {3, 4, 0, 0};
  std::string data;
  if (manu_req(g_next_number, ctrl, rec) != 0 || wait_code(&data) != 4)
    return printf("getversion failed\n"), 1;
  printf("getversion data=%s\n", data.c_str());
  return 0;
}

void do_register() {
  unsigned appl = 0;
  unsigned rc = capi20_register(1, 2, 128, &appl);
  printf("register 0x%04x appl=%u\n", rc, appl);
  if (rc == 0) {
    g_apps.push_back(appl);
    g_app = appl;
  }
}

void put_raw(const char *text) {
  std::vector<unsigned char> m = from_hex(text);
  if (m.size() >= 4) {
    m[2] = (unsigned char)(g_app & 0xff);
    m[3] = (unsigned char)(g_app >> 8);
  }
  printf("put 0x%04x\n", capi20_put_message(g_app, m.data()));
}

void info_op(const std::string &op) {
  unsigned char buf[128] = {0};
  if (op == "installed") {
    printf("installed 0x%04x\n", capi20_isinstalled());
  } else if (op == "manufacturer") {
    unsigned char *p = capi20_get_manufacturer(0, buf);
    printf("manufacturer %s\n", p ? reinterpret_cast<char *>(buf) : "(null)");
  } else if (op == "version") {
    unsigned char *p = capi20_get_version(0, buf);
    unsigned w[4];
    memcpy(w, buf, sizeof w);
    if (p) printf("version %u.%u %u.%u\n", w[0], w[1], w[2], w[3]);
    else printf("version (null)\n");
  } else if (op == "serial") {
    unsigned char *p = capi20_get_serial_number(0, buf);
    printf("serial %s\n", p ? reinterpret_cast<char *>(buf) : "(null)");
  }
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  int rc = 0;
  for (int i = 1; i < argc; i++) {
    std::string op = argv[i];
    auto arg = [&](int k) { return i + k < argc ? argv[i + k] : ""; };
    if (op == "installed" || op == "manufacturer" || op == "version" || op == "serial") {
      info_op(op);
    } else if (op == "profile") {
      unsigned char buf[128] = {0};
      unsigned r = capi20_get_profile(unsigned(atoi(arg(1))), buf);
      printf("profile 0x%04x count=%u\n", r, buf[0] | buf[1] << 8);
      i++;
    } else if (op == "register") {
      do_register();
    } else if (op == "app") {
      g_app = g_apps.at(size_t(atoi(arg(1))));
      i++;
    } else if (op == "release") {
      printf("release 0x%04x\n", capi20_release(g_app));
    } else if (op == "manu") {
      std::vector<unsigned char> rec = from_hex(arg(3));
      printf("put 0x%04x\n", manu_req(unsigned(atoi(arg(1))), unsigned(atoi(arg(2))), rec.data()));
      i += 3;
    } else if (op == "raw") {
      put_raw(arg(1));
      i++;
    } else if (op == "wait") {
      print_received(receive(unsigned(atoi(arg(1)))));
      i++;
    } else if (op == "drain") {
      Received r;
      while ((r = receive(unsigned(atoi(arg(1))))).rc == 0) print_received(r);
      print_received(r);
      i++;
    } else if (op == "update") {
      rc |= update(arg(1), unsigned(atoi(arg(2))));
      i += 2;
    } else if (op == "getversion") {
      rc |= get_version(unsigned(atoi(arg(1))));
      i++;
    } else {
      fprintf(stderr, "simclient: unknown operation %s\n", op.c_str());
      return 2;
    }
  }
  return rc;
}
