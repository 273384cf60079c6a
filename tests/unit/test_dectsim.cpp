// SPDX-License-Identifier: MIT
// dectsim's own checks: the end-to-end table trusts it to notice a wrong
// request record and to refuse a malformed frame, so both are proven here;
// and its command lines, which people rehearse failures with.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim/simcore.h"

namespace {

using Bytes = std::string;
const Bytes kStart("\x03\x01\x00\x00", 4), kEnd("\x03\x03\x00\x00", 4), kVersion("\x03\x04\x00\x00", 4);

// A MANUFACTURER_REQ with number k, controller 1, "XOL!", Class 0,
// Function 15 unless given, and the record.
Bytes req(unsigned k, const Bytes &record, unsigned fn = 15, unsigned cls = 0) {
  Bytes m = Bytes("..\x01\x00\xff\x80", 6) + char(k) + '\0' + Bytes("\x01\0\0\0XOL!", 8);
  for (unsigned v : {cls, fn}) m += Bytes{char(v), 0, 0, 0};
  m += record;
  m[0] = char(m.size()), m[1] = char(m.size() >> 8);
  return m;
}

Bytes chunk(const Bytes &data, bool long_outer = true, bool long_inner = true) {
  auto prefix = [](size_t n, bool lng) { return lng ? Bytes{'\xff', char(n), char(n >> 8)} : Bytes(1, char(n)); };
  return prefix(data.size() + 2 + (long_inner ? 3 : 1), long_outer) + "\x02" + '\0' + prefix(data.size(), long_inner) + data;
}

// Requests to one fresh module from applications A and B (ApplId 1, 2: see
// from_b); "" and "\2": A's and B's connection closes. answers: what each
// request got, "c" with the confirmation's Class, "i" with each indication's
// code ("=" the version bytes), a blank after each; the violations, B's marked.
struct Outcome { std::string answers, violations; SimModule module; };
Outcome run(const std::vector<Bytes> &msgs, bool wait_for_indications = true) {
  Outcome o{"", "", sim_module_init(SimOptions())};
  SimSession s[2];
  s[0].id = 1, s[1].id = 2;
  for (const Bytes &m : msgs) {
    SimSession *ss = &s[m[m.size() > 2 ? 2 : 0] == 2];
    ss->ind_pending = ss->ind_pending && !wait_for_indications;
    std::vector<SimReply> out;
    if (m.size() < 2) sim_session_closed(&o.module, *ss);
    else sim_handle_message(SimOptions(), &o.module, ss, reinterpret_cast<const uint8_t *>(m.data()), m.size(), &out);
    for (const SimReply &r : out) {
      const uint8_t *b = reinterpret_cast<const uint8_t *>(r.msg.data());
      o.answers += b[5] == 0x81 ? "c" + std::to_string(sim_get16(b + 16))
                                : "i" + std::to_string(b[25]) + (b[25] == 4 ? "=" + sim_hex(b + 28, 3) : "");
    }
    o.answers += ' ';
  }
  for (const SimSession &x : s) for (const std::string &v : x.violations) o.violations += (x.id == 2 ? "B: " : "") + v + "\n";
  return o;
}
Bytes from_b(Bytes m) { return m.replace(2, 1, 1, '\2'); }

TEST(Dectsim, NoticesWrongRequests) {
  const Bytes start = req(1, kStart), ok = chunk("abc");
  auto zeros = [](Bytes m) { return m.replace(2, 1, 1, '\0').replace(8, 1, 1, '\0'); };  // ApplId, controller
  // violation: one of those reported (that a good run reports none, every end-to-end row shows)
  const struct { std::vector<Bytes> msgs; const char *violation; } cases[] = {
      {{start, req(2, chunk("abc", false, false))}, "outer struct in the short length form\nrequest 2: data chunk: inner struct in the short length form"},
      {{start, req(2, chunk(Bytes(1025, 'x'))), req(3, chunk(""))}, "n=1025 out of range 1..1024\nrequest 3: data chunk: n=0 out of range 1..1024"},
      {{start, req(2, ok.substr(0, 8) + "ab")}, "request 2: data chunk inner struct claims 3 bytes, only 2 present"},
      {{start, req(2, ok + "z")}, "request 2: 1 bytes after ManuData"},
      {{req(1, Bytes("\xff\x03\x00\x04\x00\x01", 6))}, "command 4 uses the long length form\nrequest 1: record of command 4: inner struct not empty"},
      {{req(1, ""), req(2, Bytes("\x01\x02", 2)), req(3, ok)}, "1: no ManuData\nrequest 2: record without command word\nrequest 3: data chunk before the start"},
      {{start, req(2, kVersion), req(3, kEnd), req(4, kEnd)}, "2: version request during an update\nrequest 4: end request after the end request: refused"},
      {{start.substr(0, 20), zeros(req(3, kStart, 14, 1)), req(3, ok)}, "20 bytes, too short for its parameters\nrequest 2: message number 3, expected 2\n"
       "request 2: Class 1, expected 0\nrequest 2: Function 14, expected 15\nrequest 3: ApplId 1 changed from 0\nrequest 3: controller 1 changed from 0"},
  };
  for (const auto &c : cases) {
    std::string v = run(c.msgs).violations;
    EXPECT_NE(v.find(c.violation), std::string::npos) << v;
  }
  EXPECT_EQ(run({start, req(2, kEnd)}, false).violations, "request 2: arrived before the indication for the previous request\n");
}

// One module for every application: A's update goes on untouched whatever
// B sends; images: the running update's "/" -o's, the last completed one's.
TEST(Dectsim, OneUpdateStateMachine) {
  const Bytes start = req(1, kStart), a = chunk("aa"), cut = Bytes("\xff\x03\x00\x02\x00\xff", 6);  // inner prefix cut
  const struct { std::vector<Bytes> msgs; const char *answers, *violations, *event, *images; } cases[] = {
      {{start, req(2, a), from_b(start), from_b(req(2, a)), from_b(req(3, kEnd)), from_b(req(4, kVersion)), "\2", req(3, a), req(4, kEnd),
        req(5, kVersion), req(6, Bytes("\x03\x07\x00\x00", 4))}, "c0i1 c0i2 c8193 c8193 c8193 c0i4=000000  c0i2 c0i3 c0i4=123456 c0 ",
       "request 6: unknown record command 7\nB: request 1: start request during the update of session 1: refused\n"
       "B: request 2: data chunk during the update of session 1, which this application did not start: refused\n"
       "B: request 3: end request during the update of session 1, which this application did not start: refused\n",
       "version request during the update of session 1: the boot loader answers 00.00.00\"", "/aaaa"},
      {{start, req(2, a), req(3, kEnd), req(4, kStart), req(5, a), "", from_b(req(1, a)), from_b(req(2, kVersion)), from_b(req(3, kStart)),
        from_b(req(4, a)), from_b(req(5, cut))}, "c0i1 c0i2 c0i3 c0i1 c0i2  c8193 c0i4=000000 c0i1 c0i2 c0i2 ", "request 4: repeated start request\n"
       "B: request 1: data chunk before the start request: refused\nB: request 5: data chunk inner struct truncated in its length prefix\n"
       "B: request 5: data chunk: outer length 3 does not match n=255\n", "update aborted after 2 bytes, the module stays in its boot loader", "aa/aa"},
  };
  for (const auto &c : cases) {
    Outcome o = run(c.msgs);
    EXPECT_EQ(o.answers + o.violations + o.module.image + "/" + o.module.last_image, std::string(c.answers) + c.violations + c.images);
    EXPECT_NE(testing::PrintToString(o.module.events).find(c.event), std::string::npos) << c.event;
  }
}

TEST(Dectsim, RefusesMalformedFrames) {
  const struct { Bytes in; bool app; SimFrame result; const char *why; } cases[] = {
      {Bytes("\x00", 1), false, FRAME_MORE, ""},
      {Bytes("\x00\x02", 2), false, FRAME_BAD, "frame length 2"},
      {Bytes("\x10\x01", 2), true, FRAME_BAD, "oversized frame of 4097 bytes"},
      {Bytes("\x00\x0e", 2) + Bytes(11, 'c'), false, FRAME_MORE, ""},
      {Bytes("\x00\x0d", 2) + Bytes(11, 'c'), false, FRAME_BAD, "control frame body of 11 bytes (12 needed)"},
      {Bytes("\x00\x0e", 2) + Bytes(12, 'c'), false, FRAME_OK, ""},
      {Bytes("\x00\x09\x07\x00\xff\x80\x01", 7) + "..", true, FRAME_BAD, "CAPI message of 7 bytes (8 needed)"},
      {Bytes("\x00\x0a\x09\x00\xff\x80\x01\x00\x00\x00", 10), true, FRAME_BAD,
       "CAPI length 9 does not match the frame body of 8 bytes"},
      {Bytes("\x00\x0a\x08\x00\xff\x80\x01\x00\x00\x00", 10) + "next", true, FRAME_OK, ""},
  };
  for (const auto &c : cases) {
    size_t len = 0;
    std::string why;
    EXPECT_EQ(sim_next_frame(reinterpret_cast<const uint8_t *>(c.in.data()), c.in.size(), c.app, &len, &why),
              c.result) << c.why;
    EXPECT_EQ(why, c.why);
    EXPECT_TRUE(c.result != FRAME_OK || len == c.in.size() - (c.app ? 4 : 0)) << c.why;
  }
}

// dectsim's command lines: status, stderr and the module's firmware after
// them. "STATE" stands for a state file holding content ("": none).
TEST(Dectsim, CommandLines) {
  auto bad = [](const std::string &what) { return "dectsim: invalid " + what + "\nTry 'dectsim --help' for more information.\n"; };
  struct Case { std::vector<std::string> args; int result; std::string err, content, module; };
  std::vector<Case> cases = {
      {{"--port=65535", "--idle-exit=31536000", "--delay=3600000", "--fault=reset@0", "--version-bytes=ff,0,1",
        "--version-of=/dev/null:1.2.3"}, 0, "", "", "version ff.00.01\nboot-loader no\n"},
      {{"--port=65536"}, 2, bad("port: '65536'")}, {{"--idle-exit=31536001"}, 2, bad("idle time: '31536001'")},
      {{"--delay", "1x"}, 2, bad("delay: '1x'")}, {{"--version-bytes=100,0,0"}, 2, bad("version bytes: '100,0,0'")},
      {{"--version-bytes=1,2"}, 2, bad("version bytes: '1,2'")}, {{"--capi-version=2.0x"}, 2, bad("CAPI version: '2.0x'")},
      {{"--version-of=/nonexistent:1.2.3"}, 2, bad("version-of (FILE:B0.B1.B2, FILE readable): '/nonexistent:1.2.3'")},
      {{"--fault=nosuch@1"}, 2, bad("fault: 'nosuch@1'")}, {{"--fault=close"}, 2, bad("fault: 'close'")}, {{"--help"}, 1},
      {{"--fault=close@0"}, 2, bad("fault: 'close@0'")}, {{"--fault=close=1@1"}, 2, bad("fault: 'close=1@1'")},
      {{"--register-error=0"}, 2, bad("register error: '0'")}, {{"--boot-loader-version=1.2"}, 2, bad("boot loader version: '1.2'")},
      {{"--serial=12345678"}, 2, bad("serial number (7 bytes at most): '12345678'")}, {{"--state=/"}, 2,
       "dectsim: cannot read state file /: Is a directory\n"}, {{"-q", "more"}, 2, "dectsim: unexpected argument 'more'\n"},
      {{"--state=STATE", "--version-bytes=1,2,3"}, 0, "", "version ab.cd.ef\nboot-loader yes\n", "version ab.cd.ef\nboot-loader yes\n"},
      {{"--state=STATE", "--version-bytes=1,2,3"}, 0, "", "", "version 01.02.03\nboot-loader no\n"},
      {{"--state=STATE"}, 2, "dectsim: damaged state file STATE: expected the lines \"version B0.B1.B2\" and "
       "\"boot-loader no|yes\"\n", "version ab.cd.ef\nboot-loader maybe\n"},
  };
  const std::string state = testing::TempDir() + "dectsim_state";
  for (Case &c : cases) {
    remove(state.c_str());
    if (!c.content.empty()) std::ofstream(state) << c.content;
    std::vector<char *> argv = {const_cast<char *>("dectsim")};
    for (std::string &a : c.args) argv.push_back(&(a == "--state=STATE" ? a = "--state=" + state : a)[0]);
    SimOptions opt;
    testing::internal::CaptureStderr();
    EXPECT_EQ(sim_parse_options(int(argv.size()), argv.data(), &opt), c.result) << c.args[0];
    std::string err = testing::internal::GetCapturedStderr();
    if (err.find(state) != std::string::npos) err.replace(err.find(state), state.size(), "STATE");
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(c.module.empty() ? "" : sim_state_text(opt.version_bytes, opt.boot_loader), c.module);
  }
  remove(state.c_str());
}

// The summary goes out whole, its strings JSON whatever they hold; a link
// planted where a careless writer puts its temporary file stays as it is,
// and is not followed (here it leads nowhere).
TEST(Dectsim, WritesSummaryWithoutFollowingLinks) {
  const std::string path = testing::TempDir() + "dectsim_written" + std::to_string(getpid()), link = path + ".tmp";
  std::vector<SimSession> s(1);
  s[0].violations = {"a\"b\\c\x01\x7f"};
  ASSERT_EQ(symlink("no-such-dir/file", link.c_str()), 0);
  EXPECT_TRUE(sim_write_file(path, sim_summary_json(SimTotals{}, s)) && !sim_write_file(path + "/x", "x"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {}), sim_summary_json(SimTotals{}, s));
  EXPECT_NE(sim_summary_json(SimTotals{}, s).find("\"a\\\"b\\\\c\\u0001\\u007f\""), std::string::npos);
  EXPECT_NE(symlink("no-such-dir/file", link.c_str()), 0) << "the planted link is gone";
  remove(path.c_str()), remove(link.c_str());
}

}  // namespace
