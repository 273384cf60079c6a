// SPDX-License-Identifier: MIT
// The update engine where a whole run cannot reach: short, overlong and
// ignored messages, the struct bounds, the chunk reader without a stream,
// and message numbers past 16 bits. MANUFACTURER_REQ is a test double.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/capiwire.h"
#include "update/cordix.h"

namespace {
std::vector<std::string> sent;  // records of the requests, in hex
}

unsigned MANUFACTURER_REQ(_cmsg *, _cword, _cword, _cdword, _cdword, _cdword, _cdword,
                          _cstruct data) {
  std::string hex;
  long size = (data[0] == kLongStruct ? 3 : 1) + struct_fits(data, 0xFFFF + 3);
  for (long i = 0; i < size; i++) hex += std::to_string(data[i]) + ",";
  sent.push_back(hex);
  return 0;
}

namespace {

using Bytes = std::vector<unsigned char>;

TEST(CapiWire, StructFits) {
  const struct {
    Bytes bytes;
    long len;  // -1: does not fit
  } cases[] = {{{}, -1},          {{0}, 0},           {{1}, -1},         {{1, 9}, 1},
               {{3, 1, 2}, -1},   {{0xFF}, -1},       {{0xFF, 0}, -1},   {{0xFF, 0, 0}, 0},
               {{0xFF, 1, 0}, -1}, {{0xFF, 1, 0, 7}, 1}, {{0xFE, 1}, -1}};
  for (const auto &c : cases) {
    Bytes exact = c.bytes;  // of exactly its size, so a read past it shows
    EXPECT_EQ(struct_fits(exact.data(), exact.size()), c.len) << exact.size();
  }
}

// Hands the state machine in state a message whose ManuData ends it;
// *out gets what it printed after its first line.
int deliver(unsigned state, unsigned sub, unsigned cls, unsigned function, const Bytes &data, std::string *out) {
  Bytes m(24, 0);
  m.insert(m.end(), data.begin(), data.end());
  _cmsg msg{};
  msg.Command = 0xFF, msg.Subcommand = sub, msg.Class = cls, msg.Function = function;
  msg.ManuData = m.data() + 24, msg.m = m.data(), msg.l = _cword(m.size());
  set_state(state);
  testing::internal::CaptureStdout();
  int r = state_machine(&msg);
  *out = testing::internal::GetCapturedStdout();
  *out = out->substr(out->find('\n') + 1);
  return r;
}

struct Case {
  unsigned state;
  unsigned sub, cls, function;
  Bytes data;  // ManuData, the end of the message
  int result;
  unsigned state_after;
  std::string out;  // after the "state_machine: ..." line
};

TEST(StateMachine, ShortAndIgnoredMessages) {
  const std::string vers = "State(version_req)\nversion ind empfangen(12.34.56)\n        Version(564) "
                           "Designcode(86) Beta Status(1)\n        RealDectVersion(234561)\n";
  const Case cases[] = {
      {ST_START_REQ, 0x82, 0, 15, {3, 2, 0, 0}, 0, ST_START_REQ, "State(start_req)\n"},
      {ST_DATA, 0x82, 0, 15, {3, 1, 0, 0}, 0, ST_DATA, "State(data)\n"},
      {ST_ENDT_REQ, 0x82, 0, 15, {3, 2, 0, 0}, 0, ST_ENDT_REQ, "State(endt_req)\n"},
      {ST_VERSION_REQ, 0x82, 0, 15, {3, 1, 0, 0}, 0, ST_VERSION_REQ, "State(version_req)\n"},
      {ST_TERMINATE, 0x82, 0, 15, {3, 3, 0, 0}, 0, ST_TERMINATE, "State(terminate)\n"},
      {ST_IDLE, 0x82, 0, 15, {3, 1, 0, 0}, 0, ST_IDLE, ""},
      {8, 0x82, 0, 15, {3, 1, 0, 0}, 0, 8, ""},
      {ST_START_REQ, 0x81, 0, 15, {0}, 0, ST_START_REQ, ""},
      {ST_START_REQ, 0x81, 3, 14, {0}, 0, ST_START_REQ, ""},
      {ST_START_REQ, 0x80, 3, 15, {0}, 0, ST_START_REQ, ""},
      {ST_START_REQ, 0x82, 0, 15, {}, 1, ST_START_REQ, ""},
      {ST_START_REQ, 0x82, 0, 15, {2, 1, 0}, 1, ST_START_REQ, ""},
      {ST_START_REQ, 0x82, 0, 15, {0xFF, 2, 0, 1, 0}, 1, ST_START_REQ, ""},
      {ST_START_REQ, 0x82, 0, 15, {4, 1, 0, 0}, 1, ST_START_REQ, ""},
      {ST_START_REQ, 0x82, 0, 15, {0xFF, 4, 0, 1, 0, 0}, 1, ST_START_REQ, ""},
      {ST_START_REQ, 0x82, 0, 15, {0xFF, 3}, 1, ST_START_REQ, ""},
      {ST_VERSION_REQ, 0x82, 0, 15, {0xFF, 8, 0, 4, 0, 0xFF, 3, 0, 0x12, 0x34, 0x56}, 0, ST_TERMINATE, vers},
      {ST_VERSION_REQ, 0x82, 0, 15, {6, 4, 0, 4, 0x12, 0x34, 0x56}, 1, ST_VERSION_REQ, "State(version_req)\n"},
      {ST_VERSION_REQ, 0x82, 0, 15, {4, 4, 0, 0xFF, 3}, 1, ST_VERSION_REQ, "State(version_req)\n"},
      {ST_VERSION_REQ, 0x82, 0, 15, {6, 4, 0, 0xFF, 3, 0, 0x12}, 1, ST_VERSION_REQ, "State(version_req)\n"},
  };
  for (const Case &c : cases) {
    std::string out;
    EXPECT_EQ(deliver(c.state, c.sub, c.cls, c.function, c.data, &out), c.result);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(get_state(), c.state_after);
    EXPECT_EQ(protocol_finished(), c.out.find("version ind") != std::string::npos);
  }
  EXPECT_EQ(DectVersion[0] | DectVersion[1] << 8 | DectVersion[2] << 16, 0x563412);
  EXPECT_TRUE(sent.empty());
}

TEST(StateMachine, ChunkReaderWithoutStreamAndMessageNumbers) {
  // A stream that fails to read is no end of the image.
  char dir[] = "/";
  config.file = dir;
  InputFile = fopen(dir, "rb");
  std::string out;
  EXPECT_EQ(deliver(ST_DATA, 0x82, 0, 15, {3, 2, 0, 0}, &out), 3);
  EXPECT_EQ(out, "State(data)\n0 Byte aus Datei(/) gelesen\nLesefehler in Datei(/)\n");
  EXPECT_EQ(get_state(), ST_TERMINATE);
  EXPECT_TRUE(sent.empty());
  testing::internal::CaptureStdout();
  unsigned char record[1032] = {};
  char missing[] = "/nonexistent/cordix.bin";
  config.file = missing;
  EXPECT_EQ(get_next_data(nullptr, record), 0u);
  char self[] = "/proc/self/cmdline";  // a few bytes, opened on demand
  config.file = self;
  unsigned n = get_next_data(nullptr, record);
  EXPECT_TRUE(InputFile && get16(record + 6) == n);
  for (unsigned st : {ST_DATA, ST_GET_VERSION}) {  // a call without a message sends only in an opening state
    set_state(st);
    EXPECT_EQ(state_machine(nullptr), 0);
  }
  EXPECT_EQ(sent, std::vector<std::string>{"3,4,0,0,"});
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(next_msgnumber(), 2);
  for (int i = 3; i < 0xFFFF; i++) next_msgnumber();
  EXPECT_EQ(next_msgnumber(), 0xFFFF);
  EXPECT_EQ(next_msgnumber(), 0);
}

}  // namespace
