// SPDX-License-Identifier: MIT
// State machine and manufacturer records, driven message by message.
// MANUFACTURER_REQ is wrapped at link time so every request is captured.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "update/cordix.h"

namespace {

struct Request {
  unsigned applid, number, controller, manuid, cls, function;
  std::vector<unsigned char> record;
};
std::vector<Request> sent;
unsigned fail_with;  // error the next MANUFACTURER_REQ returns, 0 = success
int stops;

size_t struct_size(const unsigned char *p) {
  return p[0] == 0xFF ? 3u + (p[1] | p[2] << 8) : 1u + p[0];
}

}  // namespace

extern "C" unsigned __wrap_MANUFACTURER_REQ(_cmsg *, _cword applid, _cword number, _cdword adr,
                                            _cdword manuid, _cdword cls, _cdword function,
                                            _cstruct data) {
  if (fail_with) return fail_with;
  sent.push_back({applid, number, adr, manuid, cls, function,
                  std::vector<unsigned char>(data, data + struct_size(data))});
  return 0;
}

int stop_exec() {
  stops++;
  return 1;
}

namespace {

using Bytes = std::vector<unsigned char>;

// A received manufacturer message (subcommand 0x81 or 0x82) with the given
// ManuData bytes, decoded by libcapi20 as the pump does.
struct Incoming {
  Bytes raw;
  _cmsg msg;
  Incoming(unsigned sub, const Bytes &manudata, unsigned cls = 0, unsigned function = 15,
           unsigned command = 0xFF) {
    raw = {0, 0, 1, 0, static_cast<unsigned char>(command), static_cast<unsigned char>(sub),
           7, 0, 1, 0, 0, 0, 0x58, 0x4F, 0x4C, 0x21};
    for (unsigned v : {cls, function})
      for (int i = 0; i < 4; i++) raw.push_back((v >> (8 * i)) & 0xFF);
    raw.insert(raw.end(), manudata.begin(), manudata.end());
    raw[0] = raw.size() & 0xFF;
    raw[1] = raw.size() >> 8;
    capi_message2cmsg(&msg, raw.data());
  }
};

// An indication record: the code word, then an inner struct (empty by default).
Bytes indication_data(unsigned code, const Bytes &inner = {0}) {
  Bytes d = {static_cast<unsigned char>(2 + inner.size()), static_cast<unsigned char>(code), 0};
  d.insert(d.end(), inner.begin(), inner.end());
  return d;
}

int indicate(unsigned code, const Bytes &inner = {0}) {
  Incoming in(0x82, indication_data(code, inner));
  return state_machine(&in.msg);
}

std::string temp_file(const Bytes &content) {
  char path[] = "/tmp/cordix-sm-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
  return path;
}

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<unsigned char>(i * 7 + i / 251);
  return b;
}

class StateMachine : public ::testing::Test {
 protected:
  std::string path;
  void SetUp() override {
    sent.clear();
    fail_with = 0;
    stops = 0;
    memset(&config, 0, sizeof config);
    config.controller = 1;
    memset(DectVersion, 0, sizeof DectVersion);
    ApplID = 0x10003;
  }
  void TearDown() override {
    if (InputFile) fclose(InputFile);
    InputFile = nullptr;
    if (!path.empty()) unlink(path.c_str());
  }
  void open_image(const Bytes &image) {
    path = temp_file(image);
    config.file = const_cast<char *>(path.c_str());
    InputFile = fopen(path.c_str(), "rb");
    ASSERT_NE(InputFile, nullptr);
  }
  // Runs a whole update whose module answers every request at once.
  void run_update() {
    set_state(ST_DO_UPDATE);
    ASSERT_EQ(state_machine(nullptr), 0);
    ASSERT_EQ(indicate(1), 0);
    for (int guard = 0; get_state() == ST_DATA && guard < 10000; guard++)
      ASSERT_EQ(indicate(2), 0);
    ASSERT_EQ(get_state(), unsigned(ST_ENDT_REQ));
    ASSERT_EQ(indicate(3), 0);
  }
};

const Bytes kStart = {3, 1, 0, 0}, kEnd = {3, 3, 0, 0}, kVersion = {3, 4, 0, 0};

TEST_F(StateMachine, UpdateSendsExactRecordsForSizesAroundTheChunk) {
  for (size_t size : {0, 1, 254, 255, 1023, 1024, 1025, 1500, 2048, 5000}) {
    SCOPED_TRACE(size);
    SetUp();
    Bytes image = pattern(size);
    open_image(image);
    run_update();
    EXPECT_EQ(get_state(), unsigned(ST_TERMINATE));
    EXPECT_EQ(protocol_finished(), 1);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(InputFile, nullptr);  // closed at end of data
    size_t chunks = (size + 1023) / 1024;
    ASSERT_EQ(sent.size(), chunks + 2);
    EXPECT_EQ(sent.front().record, kStart);
    EXPECT_EQ(sent.back().record, kEnd);
    Bytes received;
    for (size_t i = 1; i <= chunks; i++) {
      const Bytes &r = sent[i].record;
      size_t n = std::min<size_t>(1024, size - (i - 1) * 1024);
      ASSERT_EQ(r.size(), 8 + n);
      Bytes head = {0xFF, static_cast<unsigned char>((n + 5) & 0xFF),
                    static_cast<unsigned char>((n + 5) >> 8), 2, 0, 0xFF,
                    static_cast<unsigned char>(n & 0xFF), static_cast<unsigned char>(n >> 8)};
      EXPECT_EQ(Bytes(r.begin(), r.begin() + 8), head);
      received.insert(received.end(), r.begin() + 8, r.end());
    }
    EXPECT_EQ(received, image);
    for (size_t i = 0; i < sent.size(); i++) {
      EXPECT_EQ(sent[i].number, (sent[0].number + i) & 0xFFFF);
      EXPECT_EQ(sent[i].applid, 0x0003u);
      EXPECT_EQ(sent[i].controller, 1u);
      EXPECT_EQ(sent[i].manuid, 0x214C4F58u);
      EXPECT_EQ(sent[i].cls, 0u);
      EXPECT_EQ(sent[i].function, 15u);
    }
    TearDown();
  }
}

TEST_F(StateMachine, UpdateTranscriptIsExact) {
  open_image(pattern(1500));
  testing::internal::CaptureStdout();
  run_update();
  std::string out = testing::internal::GetCapturedStdout();
  std::string p = path;
  std::string expect =
      "state_machine: cmsg((nil)) state(1)\nState(do_update)\nwarte auf start ind\n"
      "state_machine: cmsg(PTR) state(2)\nState(start_req)\nstart ind empfangen, data phase\n"
      "State(data)\n1024 Byte aus Datei(" + p + ") gelesen\n"
      "state_machine: cmsg(PTR) state(3)\nState(data)\n476 Byte aus Datei(" + p + ") gelesen\n"
      "state_machine: cmsg(PTR) state(3)\nState(data)\n0 Byte aus Datei(" + p + ") gelesen\n"
      "warte auf end ind\n"
      "state_machine: cmsg(PTR) state(4)\nState(endt_req)\nend ind empfangen, terminiere\n";
  size_t at;
  while ((at = out.find("cmsg(0x")) != std::string::npos)
    out.replace(at + 5, out.find(')', at) - at - 5, "PTR");
  EXPECT_EQ(out, expect);
}

TEST_F(StateMachine, VersionQueryDecodesAndStoresTheBytes) {
  set_state(ST_GET_VERSION);
  ASSERT_EQ(state_machine(nullptr), 0);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].record, kVersion);
  EXPECT_EQ(get_state(), unsigned(ST_VERSION_REQ));
  testing::internal::CaptureStdout();
  EXPECT_EQ(indicate(4, {3, 0x12, 0x34, 0x56}), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("State(version_req)\nversion ind empfangen(12.34.56)\n"
                     "        Version(564) Designcode(86) Beta Status(1)\n"
                     "        RealDectVersion(234561)\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(RealDectVersion, 0x234561);
  EXPECT_EQ(DectVersion[0] | DectVersion[1] << 8 | DectVersion[2] << 16 | DectVersion[3] << 24,
            0x563412);
  EXPECT_EQ(get_state(), unsigned(ST_TERMINATE));
  EXPECT_EQ(protocol_finished(), 1);
  EXPECT_EQ(stops, 1);
}

// Messages that must leave the protocol where it is.
TEST_F(StateMachine, IgnoresWhatItDoesNotExpect) {
  struct Case {
    const char *what;
    unsigned state, sub, cls, function, command;
    Bytes data;
  } cases[] = {
      {"data ind in start_req", ST_START_REQ, 0x82, 0, 15, 0xFF, indication_data(2)},
      {"start ind in data", ST_DATA, 0x82, 0, 15, 0xFF, indication_data(1)},
      {"end ind in data", ST_DATA, 0x82, 0, 15, 0xFF, indication_data(3)},
      {"version ind in endt_req", ST_ENDT_REQ, 0x82, 0, 15, 0xFF, indication_data(4, {3, 1, 2, 3})},
      {"other function", ST_START_REQ, 0x82, 0, 14, 0xFF, indication_data(1)},
      {"class not 0", ST_START_REQ, 0x82, 1, 15, 0xFF, indication_data(1)},
      {"good confirmation", ST_START_REQ, 0x81, 0, 15, 0xFF, indication_data(1)},
      {"error conf of other function", ST_START_REQ, 0x81, 3, 14, 0xFF, indication_data(1)},
      {"facility indication", ST_START_REQ, 0x82, 0, 15, 0x80, indication_data(1)},
      {"idle", ST_IDLE, 0x82, 0, 15, 0xFF, indication_data(1)},
      {"state beyond the table", 9, 0x82, 0, 15, 0xFF, indication_data(2)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    set_state(c.state);
    Incoming in(c.sub, c.data, c.cls, c.function, c.command);
    EXPECT_EQ(state_machine(&in.msg), 0);
    EXPECT_EQ(get_state(), c.state);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(stops, 0);
  }
}

// Indications whose records are too short, or claim more than they carry.
TEST_F(StateMachine, ShortOrOverlongRecordsGiveOneAndKeepTheState) {
  struct Case {
    const char *what;
    unsigned state;
    Bytes data;
  } cases[] = {
      {"empty struct", ST_START_REQ, {0}},
      {"two bytes", ST_START_REQ, {2, 1, 0}},
      {"struct longer than the message", ST_START_REQ, {9, 1, 0}},
      {"long form longer than the message", ST_START_REQ, {0xFF, 0x00, 0x01, 1, 0}},
      {"long form cut in its prefix", ST_START_REQ, {0xFF, 0x03}},
      {"version struct of two bytes", ST_VERSION_REQ, {5, 4, 0, 2, 0x12, 0x34}},
      {"version struct beyond the outer", ST_VERSION_REQ, {6, 4, 0, 9, 0x12, 0x34, 0x56}},
      {"version struct missing", ST_VERSION_REQ, {2, 4, 0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    set_state(c.state);
    Incoming in(0x82, c.data);
    EXPECT_EQ(state_machine(&in.msg), 1);
    EXPECT_EQ(get_state(), c.state);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(DectVersion[0], 0);
  }
}

TEST_F(StateMachine, ErrorConfirmationTerminates) {
  set_state(ST_DATA);
  Incoming in(0x81, {}, 0x3001);
  testing::internal::CaptureStdout();
  EXPECT_EQ(state_machine(&in.msg), 2);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("MANUFACTURER_REQ(CORDIX) Fehler(12289)\n"),
            std::string::npos);
  EXPECT_EQ(get_state(), unsigned(ST_TERMINATE));
  EXPECT_EQ(protocol_finished(), 0);
}

TEST_F(StateMachine, FailedRequestTerminatesWithItsError) {
  open_image(pattern(10));
  set_state(ST_DO_UPDATE);
  fail_with = 0x1101;
  testing::internal::CaptureStdout();
  EXPECT_EQ(state_machine(nullptr), 0x1101);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "state_machine: cmsg((nil)) state(1)\nState(do_update)\n"
            "MANUFACTURER_REQ returned error(0x1101)\n");
  EXPECT_EQ(get_state(), unsigned(ST_TERMINATE));
  // A failure in the data phase ends the same way.
  set_state(ST_START_REQ);
  EXPECT_EQ(indicate(1), 0x1101);
  EXPECT_EQ(get_state(), unsigned(ST_TERMINATE));
}

TEST_F(StateMachine, OpeningCallOnlyActsInItsStates) {
  for (unsigned s = 0; s < 10; s++) {
    SCOPED_TRACE(s);
    SetUp();
    set_state(s);
    testing::internal::CaptureStdout();
    EXPECT_EQ(state_machine(nullptr), 0);
    std::string out = testing::internal::GetCapturedStdout();
    bool sends = s == ST_DO_UPDATE || s == ST_GET_VERSION;
    EXPECT_EQ(sent.size(), sends ? 1u : 0u);
    EXPECT_EQ(out.find("State(terminate)") != std::string::npos, s == ST_TERMINATE);
  }
}

TEST_F(StateMachine, ReadErrorDoesNotEndTheUpdate) {
  // A directory opens but cannot be read: that is no end of the image.
  char dir[] = "/tmp/cordix-dir-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  config.file = dir;
  InputFile = fopen(dir, "rb");
  ASSERT_NE(InputFile, nullptr);
  set_state(ST_START_REQ);
  testing::internal::CaptureStdout();
  EXPECT_EQ(indicate(1), 3);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(std::string("Lesefehler in Datei(") + dir + ")\n"), std::string::npos) << out;
  EXPECT_TRUE(sent.empty());  // no end-of-data request
  EXPECT_EQ(get_state(), unsigned(ST_TERMINATE));
  rmdir(dir);
}

TEST_F(StateMachine, ChunkReaderOpensTheConfiguredFileWhenGivenNoStream) {
  Bytes image = pattern(1030);
  path = temp_file(image);
  config.file = const_cast<char *>(path.c_str());
  unsigned char record[1032];
  EXPECT_EQ(get_next_data(nullptr, record), 1024u);
  ASSERT_NE(InputFile, nullptr);  // later reads go on from there
  EXPECT_EQ(get_next_data(InputFile, record), 6u);
  EXPECT_EQ(Bytes(record, record + 14),
            Bytes({0xFF, 11, 0, 2, 0, 0xFF, 6, 0, image[1024], image[1025], image[1026],
                   image[1027], image[1028], image[1029]}));
  // A file that cannot be opened reads as empty and leaves the record alone.
  fclose(InputFile);
  InputFile = nullptr;
  config.file = const_cast<char *>("/nonexistent/cordix.bin");
  memset(record, 0xAA, sizeof record);
  EXPECT_EQ(get_next_data(nullptr, record), 0u);
  EXPECT_EQ(record[0], 0xAA);
}

TEST(MessageNumber, CountsUpAndWrapsAt16Bits) {
  uint16_t first = next_msgnumber();
  uint16_t prev = first;
  for (int i = 0; i < 0x10000; i++) {
    uint16_t n = next_msgnumber();
    ASSERT_EQ(n, static_cast<uint16_t>(prev + 1));
    prev = n;
  }
}

}  // namespace
