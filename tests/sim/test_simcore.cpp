// SPDX-License-Identifier: MIT
// In-process tests of the simulator's parts: digest, option parsing, control
// replies, the module's answers, record checks and fault shaping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sha256.h"
#include "sim/simcore.h"

namespace {

std::string unhex(const std::string &h) {
  std::string s;
  for (size_t i = 0; i + 1 < h.size(); i += 2) s.push_back(char(std::stoul(h.substr(i, 2), nullptr, 16)));
  return s;
}

std::string hex(const std::string &s) {
  return sim_hex(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

void put32(std::string *s, uint32_t v) {
  for (int i = 0; i < 4; i++) s->push_back(char((v >> (8 * i)) & 0xff));
}

struct Req {
  unsigned number;
  uint32_t ctrl;
  std::string record_hex;
  uint32_t manu_id = 0x214C4F58, cls = 0, function = 15;
};

// A MANUFACTURER_REQ as libcapi20 puts it on the wire (ApplId 1).
std::string request(const Req &r) {
  std::string m = unhex("0000" "0100" "ff80");
  m.push_back(char(r.number & 0xff));
  m.push_back(char(r.number >> 8));
  put32(&m, r.ctrl);
  put32(&m, r.manu_id);
  put32(&m, r.cls);
  put32(&m, r.function);
  m += unhex(r.record_hex);
  m[0] = char(m.size() & 0xff);
  m[1] = char(m.size() >> 8);
  return m;
}

std::vector<SimReply> feed(const SimOptions &opt, SimSession *s, const Req &r, bool *closed = nullptr) {
  std::string m = request(r);
  std::vector<SimReply> out;
  bool close_conn = false;
  sim_handle_message(opt, s, reinterpret_cast<const uint8_t *>(m.data()), m.size(), &out, &close_conn);
  if (closed) *closed = close_conn;
  return out;
}

std::string chunk_record(size_t n, char fill) {
  std::string r = unhex("ff");
  r.push_back(char((n + 5) & 0xff));
  r.push_back(char((n + 5) >> 8));
  r += unhex("0200ff");
  r.push_back(char(n & 0xff));
  r.push_back(char(n >> 8));
  return hex(r) + hex(std::string(n, fill));
}

TEST(Sha256, KnownDigests) {
  struct { std::string in; const char *digest; } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(sha256_hex(reinterpret_cast<const uint8_t *>(c.in.data()), c.in.size()), c.digest)
        << c.in.size() << " bytes";
}

int parse(std::vector<std::string> args, SimOptions *opt) {
  args.insert(args.begin(), "dectsim");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return sim_parse_options(int(args.size()), argv.data(), opt);
}

TEST(Options, ValuesAndFaults) {
  SimOptions opt;
  ASSERT_EQ(parse({"-p", "4711", "--version-bytes=a1,B2,3", "--capi-version", "3.1",
                   "--manu-version=1.2", "--profile-error=0x1009", "--register-error", "4104",
                   "--fault=conf-class=3@2", "--fault", "silent@7", "--fault=bad-code@1",
                   "--delay=250", "--once", "-q"}, &opt), 0);
  EXPECT_EQ(opt.port, 4711);
  EXPECT_EQ(opt.version_bytes[0], 0xa1);
  EXPECT_EQ(opt.version_bytes[1], 0xb2);
  EXPECT_EQ(opt.version_bytes[2], 0x03);
  EXPECT_EQ(opt.capi_version[0], 3u);
  EXPECT_EQ(opt.manu_version[1], 2u);
  EXPECT_EQ(opt.profile_error, 0x1009u);
  EXPECT_EQ(opt.register_error, 4104u);
  ASSERT_EQ(opt.faults.size(), 3u);
  EXPECT_EQ(opt.faults[0].kind, FAULT_CONF_CLASS);
  EXPECT_EQ(opt.faults[0].value, 3u);
  EXPECT_EQ(opt.faults[0].at, 2u);
  EXPECT_EQ(opt.faults[1].kind, FAULT_SILENT);
  EXPECT_EQ(opt.faults[1].at, 7u);
  EXPECT_EQ(opt.faults[2].value, 9u);  // default code
  EXPECT_EQ(opt.delay_ms, 250u);
  EXPECT_TRUE(opt.once);
  EXPECT_EQ(opt.verbosity, 0);
}

TEST(Options, ResetMayComeRightAfterRegistration) {
  SimOptions opt;
  ASSERT_EQ(parse({"--fault=reset@0"}, &opt), 0);
  ASSERT_EQ(opt.faults.size(), 1u);
  EXPECT_EQ(opt.faults[0].kind, FAULT_RESET);
  EXPECT_EQ(opt.faults[0].at, 0u);
}

TEST(Options, Refused) {
  const std::vector<std::vector<std::string>> bad = {
      {"--port=70000"}, {"--port=-1"}, {"--fault=close"}, {"--fault=close@0"},
      {"--fault=close-after@0"},
      {"--fault=close=1@2"}, {"--fault=bogus@1"}, {"--fault=bad-code=x@1"},
      {"--version-bytes=1,2"}, {"--version-bytes=100,2,3"}, {"--capi-version=2"},
      {"--profile-error=0x10000"}, {"--register-error=0"}, {"--serial=12345678"},
      {"--idle-exit=abc"}, {"--nope"}, {"extra"}, {"-x"},
      {"--version-of=/nonexistent:01.02.03"}, {"--version-of=/dev/null:1.2"},
  };
  for (const auto &args : bad) {
    SimOptions opt;
    EXPECT_EQ(parse(args, &opt), 2) << args[0];
  }
}

bool control(const SimOptions &opt, const char *request_hex, std::string *reply_hex) {
  std::string req = unhex(request_hex), reply;
  unsigned cmd = 0;
  bool ok = sim_control_reply(opt, reinterpret_cast<const uint8_t *>(req.data()), req.size(), &reply, &cmd);
  *reply_hex = hex(reply);
  return ok;
}

TEST(ControlReplies, ExactBytes) {
  SimOptions opt;
  opt.serial = "42";
  opt.manufacturer = "XOL";
  opt.profile_error = 0x1009;
  opt.register_error = 0x1008;
  const std::pair<const char *, std::string> cases[] = {
      {"00000000f2ff000000000000000801000200800002", "00000000f3ff00000810"},
      {"00000000fcff000000000000", "00000000fdff000000" "02000000" "00000000" "34000000" "15000000"},
      {"00000000feff000000000000", "00000000ffff000000" "3432000000000000"},
      {"00000000e0ff000000000000", "00000000e1ff00000910" "0100" "0200" + std::string(120, '0')},
      {"00000000faff000000000000", "00000000fbff000000" "584f4c" + std::string(122, '0')},
  };
  for (const auto &c : cases) {
    std::string reply;
    ASSERT_TRUE(control(opt, c.first, &reply)) << c.first;
    EXPECT_EQ(reply, c.second) << c.first;
    EXPECT_LE(reply.size() / 2 + 2, 100u);  // libcapi20 copies replies into 100-byte buffers
  }
  for (const char *refused : {"000000001234000000000000", "00000000f2ff0000", ""}) {
    std::string reply;
    EXPECT_FALSE(control(opt, refused, &reply)) << refused;
  }
}

TEST(Module, VersionQueryExactMessages) {
  SimOptions opt;
  SimSession s;
  std::vector<SimReply> out = feed(opt, &s, {1, 1, "03040000"});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(hex(out[0].msg), "19000100ff81010001000000584f4c21000000000f00000000");
  EXPECT_FALSE(out[0].real_ind);
  EXPECT_EQ(hex(out[1].msg), "1f000100ff82010001000000584f4c21000000000f00000006040003123456");
  EXPECT_TRUE(out[1].real_ind);
  EXPECT_EQ(s.version_requests, 1u);
  EXPECT_TRUE(s.violations.empty());
}

TEST(Module, UpdateReassemblesFirmware) {
  SimOptions opt;
  SimSession s;
  std::vector<std::pair<Req, const char *>> steps = {
      {{1, 2, "03010000"}, "03010000"},
      {{2, 2, chunk_record(1024, 'a')}, "03020000"},
      {{3, 2, chunk_record(476, 'b')}, "03020000"},
      {{4, 2, "03030000"}, "03030000"},
  };
  for (auto &step : steps) {
    std::vector<SimReply> out = feed(opt, &s, step.first);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(hex(out[1].msg.substr(24)), step.second);
    EXPECT_EQ(out[0].msg[6], char(step.first.number));  // confirmation keeps the number
    s.ind_pending = false;                              // sent at once by the server
  }
  EXPECT_EQ(s.firmware, std::string(1024, 'a') + std::string(476, 'b'));
  EXPECT_EQ(s.data_chunks, 2u);
  EXPECT_EQ(s.controller, 2);
  EXPECT_TRUE(s.complete);
  EXPECT_TRUE(s.violations.empty()) << s.violations[0];
}

struct ViolationCase {
  const char *name;
  std::vector<Req> requests;
  const char *expected;  // part of one violation text
};

TEST(Module, RecordViolations) {
  const std::string big = chunk_record(1025, 'x');
  const ViolationCase cases[] = {
      {"ManuID", {{1, 1, "03040000", 0x41424321}}, "ManuID 0x41424321"},
      {"Class", {{1, 1, "03040000", 0x214C4F58, 1}}, "Class 1, expected 0"},
      {"Function", {{1, 1, "03040000", 0x214C4F58, 0, 14}}, "Function 14, expected 15"},
      {"number", {{5, 1, "03040000"}}, "message number 5, expected 1"},
      {"controller", {{1, 1, "03010000"}, {2, 2, chunk_record(4, 'z')}}, "controller 2 changed from 1"},
      {"short outer", {{1, 1, "03010000"}, {2, 1, "090200ff040001020304"}}, "outer struct in the short"},
      {"short inner", {{1, 1, "03010000"}, {2, 1, "ff0700020004010203 04"}}, "inner struct in the short"},
      {"n zero", {{1, 1, "03010000"}, {2, 1, "ff05000200ff0000"}}, "n=0 out of range"},
      {"n too big", {{1, 1, "03010000"}, {2, 1, big}}, "n=1025 out of range"},
      {"outer claims more", {{1, 1, "03010000"}, {2, 1, "ff0a000200ff040001020304"}}, "claims 10 bytes, only 9"},
      {"outer mismatch", {{1, 1, "03010000"}, {2, 1, "ff0a000200ff04000102030405"}}, "outer length 10 does not match n=4"},
      {"long start", {{1, 1, "ff03000100 00"}}, "command 1 uses the long length form"},
      {"start too long", {{1, 1, "0401000000"}}, "has 4 bytes, expected 3"},
      {"inner not empty", {{1, 1, "03040001"}}, "inner struct not empty"},
      {"unknown", {{1, 1, "03090000"}}, "unknown record command 9"},
      {"no command", {{1, 1, "0101"}}, "record without command word"},
      {"trailing", {{1, 1, "0304000000"}}, "1 bytes after ManuData"},
      {"no ManuData", {{1, 1, ""}}, "no ManuData"},
      {"data first", {{1, 1, chunk_record(4, 'z')}}, "data chunk before the start request"},
      {"end first", {{1, 1, "03030000"}}, "end request before the start request"},
      {"start twice", {{1, 1, "03010000"}, {2, 1, "03010000"}}, "repeated start request"},
      {"after end", {{1, 1, "03010000"}, {2, 1, "03030000"}, {3, 1, chunk_record(4, 'z')}}, "data chunk after the end"},
      {"version in update", {{1, 1, "03010000"}, {2, 1, "03040000"}}, "version request during an update"},
  };
  for (const ViolationCase &c : cases) {
    SimOptions opt;
    SimSession s;
    for (Req r : c.requests) {
      std::string h;
      for (char ch : r.record_hex) if (ch != ' ') h.push_back(ch);
      r.record_hex = h;
      feed(opt, &s, r);
      s.ind_pending = false;
    }
    bool found = false;
    for (const std::string &v : s.violations) found |= v.find(c.expected) != std::string::npos;
    EXPECT_TRUE(found) << c.name << ": " << (s.violations.empty() ? "no violation" : s.violations[0]);
  }
}

TEST(Module, RequestBeforePendingIndication) {
  SimOptions opt;
  opt.delay_ms = 100;
  SimSession s;
  std::vector<SimReply> out = feed(opt, &s, {1, 1, "03010000"});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].delay_ms, 100u);
  feed(opt, &s, {2, 1, chunk_record(4, 'z')});  // indication 1 not sent yet
  ASSERT_EQ(s.violations.size(), 1u);
  EXPECT_NE(s.violations[0].find("request 2: arrived before the indication"), std::string::npos);
}

struct FaultCase {
  const char *fault;
  const char *record;
  std::vector<std::string> replies;  // hex from the Class field on
  bool closes;
};

TEST(Module, Faults) {
  const std::string ok_conf = "000000000f00000000";
  const FaultCase cases[] = {
      {"conf-class=3@1", "03010000", {"030000000f00000000"}, false},
      {"conf-class@1", "03010000", {"010000000f00000000"}, false},
      {"close@1", "03010000", {}, true},
      {"silent@1", "03010000", {}, false},
      {"no-ind@1", "03010000", {ok_conf}, false},
      {"short-ind@1", "03010000", {ok_conf, "000000000f000000020100"}, false},
      {"bad-code@1", "03010000", {ok_conf, "000000000f00000003090000"}, false},
      {"bad-code=7@1", "03040000", {ok_conf, "000000000f00000006070003123456"}, false},
      {"extra-function@1", "03040000",
       {ok_conf, "000000000e000000060400 03edcba9", "000000000f00000006040003123456"}, false},
      {"extra-class@1", "03010000",
       {ok_conf, "010000000f00000003010000", "000000000f00000003010000"}, false},
      {"version-short@1", "03040000", {ok_conf, "000000000f000000050400021234"}, false},
      {"version-overlong@1", "03040000", {ok_conf, "000000000f00000006040007123456"}, false},
      {"close@2", "03010000", {ok_conf, "000000000f00000003010000"}, false},
      {"close-after@1", "03010000", {ok_conf, "000000000f00000003010000"}, true},
      {"reset@1", "03010000", {}, true},
  };
  for (const FaultCase &c : cases) {
    SimOptions opt;
    SimSession s;
    std::vector<std::string> args = {"dectsim", std::string("--fault=") + c.fault};
    char *argv[] = {&args[0][0], &args[1][0], nullptr};
    ASSERT_EQ(sim_parse_options(2, argv, &opt), 0) << c.fault;
    bool closed = false;
    std::vector<SimReply> out = feed(opt, &s, {1, 1, c.record}, &closed);
    EXPECT_EQ(closed, c.closes) << c.fault;
    ASSERT_EQ(out.size(), c.replies.size()) << c.fault;
    for (size_t i = 0; i < out.size(); i++) {
      std::string want;
      for (char ch : c.replies[i]) if (ch != ' ') want.push_back(ch);
      EXPECT_EQ(hex(out[i].msg.substr(16)), want) << c.fault << " reply " << i;
    }
    EXPECT_EQ(s.faults_injected, std::string(c.fault).find("@1") != std::string::npos ? 1u : 0u) << c.fault;
  }
}

TEST(Module, SilentStaysSilent) {
  SimOptions opt;
  opt.faults.push_back({FAULT_SILENT, 2, 0});
  SimSession s;
  EXPECT_EQ(feed(opt, &s, {1, 1, "03010000"}).size(), 2u);
  s.ind_pending = false;
  EXPECT_TRUE(feed(opt, &s, {2, 1, chunk_record(3, 'q')}).empty());
  EXPECT_TRUE(feed(opt, &s, {3, 1, "03030000"}).empty());
  EXPECT_EQ(s.requests, 3u);
  EXPECT_EQ(s.firmware, "qqq");  // still received and checked
}

}  // namespace
