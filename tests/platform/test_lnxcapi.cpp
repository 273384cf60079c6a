// SPDX-License-Identifier: MIT
// The access layer linked against fake capi20_* functions that record their
// arguments and return scripted results.
#include <capi20.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "platform/lnxcapi.h"

std::string capture_stdout(const std::function<void()> &fn);

namespace {

struct Fake {
  unsigned result = 0;           // returned by the unsigned-result calls
  unsigned char *ptr = nullptr;  // returned by the buffer calls
  int err = 0;                   // errno left by capi20_isinstalled
  bool write_id = true;          // capi20_register fills its out-parameter
  unsigned id = 0;               // the id it writes
  unsigned ctrl = 0xDEAD;        // recorded arguments
  unsigned char *buf = nullptr;
  unsigned args[3] = {};
  int calls = 0;
  const char *last = "";  // the last buffer call
};
Fake fake;

void reset_fake() { fake = Fake{}; }

unsigned char *buffer_call(const char *name, unsigned ctrl, unsigned char *buf) {
  ++fake.calls;
  fake.last = name;
  fake.ctrl = ctrl;
  fake.buf = buf;
  return fake.ptr;
}

}  // namespace

extern "C" {

unsigned capi20_isinstalled(void) {
  ++fake.calls;
  errno = fake.err;
  return fake.result;
}

unsigned char *capi20_get_manufacturer(unsigned ctrl, unsigned char *buf) {
  return buffer_call("manufacturer", ctrl, buf);
}

unsigned char *capi20_get_version(unsigned ctrl, unsigned char *buf) {
  return buffer_call("version", ctrl, buf);
}

unsigned char *capi20_get_serial_number(unsigned ctrl, unsigned char *buf) {
  return buffer_call("serial_number", ctrl, buf);
}

unsigned capi20_get_profile(unsigned ctrl, unsigned char *buf) {
  ++fake.calls;
  fake.ctrl = ctrl;
  fake.buf = buf;
  return fake.result;
}

unsigned capi20_register(unsigned maxcon, unsigned maxblocks, unsigned maxlen, unsigned *id) {
  ++fake.calls;
  fake.args[0] = maxcon;
  fake.args[1] = maxblocks;
  fake.args[2] = maxlen;
  if (fake.write_id) *id = fake.id;
  return fake.result;
}

unsigned capi20_release(unsigned applid) {
  ++fake.calls;
  fake.args[0] = applid;
  return fake.result;
}

}  // extern "C"

namespace {

TEST(LnxCapi, InstalledPrintsNothing) {
  reset_fake();
  fake.result = 0;
  int r = -1;
  EXPECT_EQ(capture_stdout([&] { r = capi_is_installed(); }), "");
  EXPECT_EQ(r, 1);
}

TEST(LnxCapi, NotInstalledPrintsTheSystemError) {
  reset_fake();
  fake.result = 0x1009;
  fake.err = ECONNREFUSED;
  int r = -1;
  const std::string out = capture_stdout([&] { r = capi_is_installed(); });
  EXPECT_EQ(r, 0);
  EXPECT_EQ(out, std::string("capi not installed (") + std::strerror(ECONNREFUSED) + ")\n");
}

TEST(LnxCapi, BufferCallsUseController0AndPassResults) {
  struct Call {
    unsigned char *(*fn)(unsigned char *);
    const char *library_call;
  };
  const Call calls[] = {{capi_get_manufacturer, "manufacturer"},
                        {capi_get_version, "version"},
                        {capi_get_serial_number, "serial_number"}};
  unsigned char buf[64];
  unsigned char other[4];
  for (const Call &c : calls) {
    reset_fake();
    fake.ptr = other;
    EXPECT_EQ(c.fn(buf), other);
    EXPECT_STREQ(fake.last, c.library_call);
    EXPECT_EQ(fake.ctrl, 0u);
    EXPECT_EQ(fake.buf, buf);
    fake.ptr = nullptr;
    EXPECT_EQ(c.fn(buf), nullptr);
    EXPECT_EQ(fake.calls, 2);
  }
}

TEST(LnxCapi, ProfilePassesControllerAndResult) {
  reset_fake();
  unsigned char buf[64];
  fake.result = 0x1009;
  EXPECT_EQ(capi_get_profile(3, buf), 0x1009u);
  EXPECT_EQ(fake.ctrl, 3u);
  EXPECT_EQ(fake.buf, buf);
  fake.result = 0;
  EXPECT_EQ(capi_get_profile(0, buf), 0u);
  EXPECT_EQ(fake.ctrl, 0u);
}

TEST(LnxCapi, RegisterPassesLimitsButNotTheBufferSize) {
  reset_fake();
  fake.id = 0x42;
  unsigned error = 0xABCD;
  EXPECT_EQ(capi_register(8192, 1, 2, 128, &error), 0x42u);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(fake.args[0], 1u);
  EXPECT_EQ(fake.args[1], 2u);
  EXPECT_EQ(fake.args[2], 128u);
}

struct RegisterFailure {
  unsigned result;
  bool write_id;
  unsigned id;
};

TEST(LnxCapi, FailedRegisterGivesId0AndTheError) {
  const RegisterFailure cases[] = {
      {0x1001, false, 0},       // nothing written
      {0x1001, true, 0},        // id 0 written
      {0x1004, true, 7},        // stale id written beside an error
      {0xFFFFFFFFu, false, 0},  // all bits set
  };
  for (const RegisterFailure &c : cases) {
    reset_fake();
    fake.result = c.result;
    fake.write_id = c.write_id;
    fake.id = c.id;
    unsigned error = 0;
    EXPECT_EQ(capi_register(8192, 1, 2, 128, &error), 0u) << std::hex << c.result;
    EXPECT_EQ(error, c.result);
  }
}

TEST(LnxCapi, ReleasePassesIdAndResult) {
  reset_fake();
  fake.result = 0x1101;
  EXPECT_EQ(capi_release(0x17), 0x1101u);
  EXPECT_EQ(fake.args[0], 0x17u);
  fake.result = 0;
  EXPECT_EQ(capi_release(1), 0u);
}

// Prints the version line for a record of the four words; the record sits
// one byte into its buffer, as nothing promises an aligned buffer.
std::string version_line(int isxol, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  const uint32_t words[4] = {a, b, c, d};
  unsigned char raw[1 + sizeof words];
  std::memcpy(raw + 1, words, sizeof words);
  return capture_stdout([&] { print_version(isxol, raw + 1); });
}

struct VersionCase {
  int isxol;
  uint32_t words[4];
  const char *line;
};

TEST(LnxCapi, PrintVersion) {
  const VersionCase cases[] = {
      {1, {2, 0, 0x34, 0x15}, "CAPI Version: 2.0        Manufacturer version: 3.41-05  (52.21)\n"},
      {0, {2, 0, 0x34, 0x15}, "CAPI Version: 2.0        Manufacturer version: 52.21\n"},
      {7, {2, 0, 0x34, 0x15}, "CAPI Version: 2.0        Manufacturer version: 3.41-05  (52.21)\n"},
      // Digits above 9 print as numbers; only the low byte is decoded.
      {1,
       {2, 1, 0x1A2, 0xAF},
       "CAPI Version: 2.1        Manufacturer version: 10.210-15  (418.175)\n"},
      {0,
       {4294967295u, 0, 0, 4294967295u},
       "CAPI Version: 4294967295.0        Manufacturer version: 0.4294967295\n"},
  };
  for (const VersionCase &c : cases) {
    EXPECT_EQ(version_line(c.isxol, c.words[0], c.words[1], c.words[2], c.words[3]), c.line);
  }
}

TEST(LnxCapi, WrappersPrintNothing) {
  reset_fake();
  fake.result = 0x2001;
  unsigned char buf[64];
  unsigned error;
  const std::string out = capture_stdout([&] {
    capi_get_manufacturer(buf);
    capi_get_version(buf);
    capi_get_serial_number(buf);
    capi_get_profile(1, buf);
    capi_register(8192, 1, 2, 128, &error);
    capi_release(1);
  });
  EXPECT_EQ(out, "");
}

}  // namespace
