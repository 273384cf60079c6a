// SPDX-License-Identifier: MIT
// End to end: the real cordix binary against dectsim through the real
// libcapi20. Each row of the table is one run: what the simulator does, the
// image, the command line, and what must come of it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace {

struct Row {
  std::string name;
  std::vector<std::string> sim;   // dectsim options; {"none"}: no controller
  long image;                     // bytes of the image IMG, -1: no image
  std::vector<std::string> args;  // cordix's arguments; "IMG" is the image's path
  int status;                     // exit status; -1: still waiting at the deadline
  std::string out;                // transcript, or "..." before the parts it holds in order
  std::string json;               // "key=value ..." of the summary; complete=1: image whole
  std::vector<std::string> wire;  // requests received (see wire_line)
  std::string absent;             // a text the transcript must not hold
  std::string arrives;            // the file (among decoys) that must arrive instead of IMG
  int sig;                        // sent once the transcript holds what the row expects before
};                                // "stopped by signal"

constexpr int kRunMs = 20000, kWaitMs = 1500;

const char kRule[] =
    "-------------------------------------------------------------------------------\n";
const std::string kHeader = std::string(kRule) +
                            "cordix 0.1  (c) 2026 the cordix developers     DATE\n"
                            "CAPI Version: 2.0        Manufacturer version: 3.41-05  (52.21)\n\n" +
                            kRule + "ApplID: 0x0001\n";
const std::string kIncomplete = "update did not complete\n";

std::string update(const std::vector<unsigned> &chunks) {
  std::string t = kHeader +
                  "state_machine: cmsg((nil)) state(1)\nState(do_update)\nwarte auf start ind\n"
                  "state_machine: cmsg(PTR) state(2)\nstate_machine: cmsg(PTR) state(2)\n"
                  "State(start_req)\nstart ind empfangen, data phase\nState(data)\n";
  for (size_t i = 0; i <= chunks.size(); i++) {
    unsigned n = i < chunks.size() ? chunks[i] : 0;
    if (i > 0) t += "state_machine: cmsg(PTR) state(3)\nState(data)\n";
    t += std::to_string(n) + " Byte aus Datei(IMG) gelesen\n";
    t += n ? "state_machine: cmsg(PTR) state(3)\n" : "warte auf end ind\nstate_machine: cmsg(PTR) state(4)\n";
  }
  return t + "state_machine: cmsg(PTR) state(4)\nState(endt_req)\nend ind empfangen, terminiere\n";
}

// A request as traced: its first 32 bytes in hex (header and record
// header), "/", its length. ApplId 1, "XOL!", Class 0, Function 15.
std::string req(unsigned number, unsigned ctrl, const std::string &record, unsigned len) {
  char h[80];
  snprintf(h, sizeof h, "%02x%02x0100ff80%02x00%02x000000584f4c21000000000f000000", len & 0xFF,
           len >> 8, number, ctrl);
  return (h + record).substr(0, 64) + "/" + std::to_string(len);
}

std::vector<Row> rows() {
  const std::string version = kHeader +
      "state_machine: cmsg((nil)) state(6)\nState(get_version)\nwarte auf start ind\n"
      "state_machine: cmsg(PTR) state(7)\nstate_machine: cmsg(PTR) state(7)\nState(version_req)\n"
      "version ind empfangen(12.34.56)\n        Version(564) Designcode(86) Beta Status(1)\n"
      "        RealDectVersion(234561)\n";
  const std::string not_opened = " konnte nicht ge\xf6" "ffnet werden\n";
  const std::string kNoMessage = "capi20_waitformessage: no message within 1 s\n";
  std::vector<Row> r = {
      {"update", {}, 1500, {"-f", "IMG"}, 0, update({1024, 476}),
       "bytes=1500 data_chunks=2 complete=1 max_logical_connections=1 max_b_data_blocks=2 max_b_data_len=128"},
      {"empty_image", {}, 0, {"-fIMG"}, 0, update({}), "bytes=0 start_requests=1 complete=1"},
      {"one_chunk", {}, 1024, {"-fIMG"}, 0, update({1024}), "bytes=1024 data_chunks=1 complete=1"},
      {"records_on_the_wire", {}, 1030, {"-f", "IMG", "-c", "3"}, 0, "...", "controller=3",
       {req(1, 3, "03010000", 28), req(2, 3, "ff05040200ff0004", 1056),
        req(3, 3, "ff0b000200ff0600", 38), req(4, 3, "03030000", 28)}},
      {"version", {"--version-bytes=12,34,56"}, -1, {"-g"}, 0x12, version, "version_requests=1"},
      {"other_maker", {"--manufacturer=Other", "--capi-version=3.1"}, -1, {"-g"}, 0x12,
       "...\nCAPI Version: 3.1        Manufacturer version: 52.21\n\n"},
      {"help", {}, -1, {"-?"}, 0, "Blafasel Hilfe\n\n", "session_count=0"},
      {"option_error_before_help", {}, -1, {"-hilfe", "-x"}, 1, "unknown option /x\n"},
      {"controller_beyond_32_bits", {}, 10, {"-c", "4294967296"}, 1,
       "Option /c, type unsigned integer: invalid value \"4294967296\"\n"},
      {"missing_image", {}, -1, {"-f", "IMG"}, 3, "Datei \"IMG\"" + not_opened, "session_count=0"},
      {"default_image", {}, -1, {}, 3, "Datei \"cordix.bin\"" + not_opened},
      {"no_capi", {"none"}, 10, {"-fIMG"}, 4, "...capi not installed ("},
      {"profile_says_no_capi", {"--profile-error=0x1009"}, 10, {"-f", "IMG"}, 5, "CAPI nicht gefunden\n"},
      {"profile_error_ignored", {"--profile-error=0x1008"}, 0, {"-f", "IMG"}, 0, "...", "complete=1"},
      {"registration_refused", {"--register-error=0x1008"}, 10, {"-f", "IMG"}, 7,
       "...ApplID: 0x0000\n\ncapi_register: error 0x1008\n", "session_count=0"},
      {"line_too_long", {}, -1, {"-f", std::string(300, 'a')}, 1,
       "command line too long (at most 271 bytes)\n"},
      {"longest_line", {}, -1, {"-f", std::string(267, 'b')}, 3, "...\"" + not_opened},
      {"controller_0_is_1", {}, 10, {"-f", "IMG", "-c0"}, 0, "...", "controller=1 complete=1"},
      {"slow_module", {"--delay=30"}, 3000, {"-f", "IMG"}, 0, "...", "complete=1"},
      {"directory_as_image", {}, -1, {"-f", "."}, 3, "Datei \".\"" + not_opened, "session_count=0"},
      {"escapes_count", {}, -1, {"-f", std::string(200, '-')}, 1, "command line too long (at most 271 bytes)\n"},
      {"doubled_tilde_counts", {}, -1, {"-f", std::string(267, 'b') + "~"}, 1, "command line too long (at most 271 bytes)\n"},
      {"closing_quote_counts", {}, -1, {"-f", "\"" + std::string(267, 'b')}, 1, "command line too long (at most 271 bytes)\n"},
      {"silent_waits_for_ever", {"--fault=silent@1"}, 10, {"-fIMG"}, -1, "..."},
      {"silent_at_1", {"--fault=silent@1"}, 10, {"-f", "IMG", "-t", "1"}, 8,
       "...warte auf start ind\n" + kNoMessage + kIncomplete},
      {"silent_at_3", {"--fault=silent@3"}, 2500, {"-fIMG", "-t1"}, 8,
       "...1024 Byte aus Datei(IMG) gelesen\n" + kNoMessage + kIncomplete},
      {"silent_at_5", {"--fault=silent@5"}, 2500, {"-f", "IMG", "-timeout", "1"}, 8,
       "...warte auf end ind\n" + kNoMessage + kIncomplete},
      {"silent_version", {"--fault=silent@1"}, -1, {"-g", "-t", "1"}, 0, "...warte auf start ind\n" + kNoMessage},
      {"slow_within_the_limit", {"--delay=400"}, 2500, {"-f", "IMG", "-t", "1"}, 0, "...", "complete=1"},
      {"sigterm", {"--fault=silent@2"}, 2500, {"-f", "IMG"}, 8,
       "...1024 Byte aus Datei(IMG) gelesen\nstopped by signal 15\n" + kIncomplete, "", {}, "", "", SIGTERM},
      {"sigint", {"--fault=silent@3"}, 2500, {"-f", "IMG"}, 8,
       "...state(3)\nState(data)\n1024 Byte aus Datei(IMG) gelesen\nstopped by signal 2\n" + kIncomplete, "", {},
       "", "", SIGINT},
      {"sighup", {"--fault=silent@1"}, -1, {"-g"}, 0, "...warte auf start ind\nstopped by signal 1\n", "", {}, "", "",
       SIGHUP},
      {"opening_request_fails", {"--fault=reset@0"}, 100, {"-f", "IMG"}, 8, "..."},
  };
  for (long size : {1L, 255L, 1023L, 1025L, 2048L, 2049L, 4L << 20})
    r.push_back({"image_" + std::to_string(size), {}, size, {"-fIMG"}, 0, "...",
                 "bytes=" + std::to_string(size) + " complete=1"});
  for (const char *fault : {"version-short", "version-overlong"})
    r.push_back({fault, {std::string("--fault=") + fault + "@1"}, -1, {"-g"}, 0,
                 "...Fehler(0x0001) in der Statemachine\n", "", {}, "version ind empfangen"});
  // Faults of the module at the first, a middle and the last request of an
  // update of three chunks (1 start, 2-4 chunks, 5 end).
  struct Fault {
    const char *kind;
    int status;
    const char *out;
    const char *json;
  } faults[] = {
      {"conf-class=3", 8, "...MANUFACTURER_REQ(CORDIX) Fehler(3)\nFehler(0x0002) in der Statemachine\n", ""},
      {"close", 8, "...capi20_get_message: controller lost", ""},
      {"short-ind", 8, "...Fehler(0x0001) in der Statemachine\n", ""},
      {"extra-function", 0, "...", "complete=1"},
      {"extra-class", 0, "...", "complete=1"},
      {"close-after", 8, "...", ""},
      {"no-ind", 8, "...no message within 1 s\n", ""},
      {"bad-code", 8, "...no message within 1 s\n", ""},
  };
  for (const Fault &f : faults)
    for (int k : {1, 3, 5}) {
      bool last_answered = k == 5 && std::string(f.kind) == "close-after";
      r.push_back({std::string(f.kind) + "_at_" + std::to_string(k),
                   {std::string("--fault=") + f.kind + "@" + std::to_string(k)}, 2500,
                   {"-f", "IMG", "-t", "1"}, last_answered ? 0 : f.status, f.out, f.json});
    }
  // Every argument is one word, whatever blanks, dashes, quotes or escapes
  // it holds; decoys lie where a split word would lead.
  const struct {
    std::vector<std::string> args;
    const char *arrives;
    int controller;
  } words[] = {{{"-f", "dect-fw.bin"}, "dect-fw.bin", 1},     {{"-f", "my file.bin"}, "my file.bin", 1},
               {{"-fsub-dir/dect-module-2.bin"}, "sub-dir/dect-module-2.bin", 1},
               {{"-f", "fw-g.bin"}, "fw-g.bin", 1},           {{"-fmy~-file.bin"}, "my-file.bin", 1},
               {{"-f", "\"my-file\""}, "my-file", 1},        {{"-f", "fw.bin~", "-c", "2"}, "fw.bin~", 2},
               {{"-f", "\"my file", "-c2"}, "my file", 2},    {{"a-x"}, "cordix.bin", 1}};
  for (const auto &w : words)
    r.push_back({"word_" + w.args.back(), {}, -1, w.args, 0, "...",
                 "complete=1 controller=" + std::to_string(w.controller), {}, "", w.arrives});
  r.push_back({"word_version", {}, -1, {"-c", "2", "-g"}, 0x12, "...version ind empfangen(12.34.56)\n", "controller=2"});
  r.push_back({"word_blanks", {}, -1, {"-f", "   "}, 3, "Datei \"   \"" + not_opened});
  r.push_back({"word_dashes", {}, -1, {"--x"}, 1, "unknown option /-x\n"});
  r.push_back({"word_appended", {}, -1, {"-g-c2"}, 0x12,
               "...Option /g, type switch, appended value will be ignored: -c2\n", "controller=1"});
  return r;
}

// Pointers, the date and the time vary from run to run; the image path too.
std::string mask(std::string out, const std::string &image) {
  for (size_t at = 0; (at = out.find("cmsg(0x", at)) != std::string::npos; at += 9)
    out.replace(at + 5, out.find(')', at) - at - 5, "PTR");
  size_t date = out.find(" - ", out.find("developers"));  // "dd Mon yyyy - hh:mm:ss"
  if (date != std::string::npos && date >= 11) out.replace(date - 11, 22, "DATE");
  for (size_t at; (at = out.find(image)) != std::string::npos;) out.replace(at, image.size(), "IMG");
  return out;
}

std::string wire_line(const std::string &hex) {
  return hex.substr(0, 64) + "/" + std::to_string(hex.size() / 2);
}

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

class EndToEnd : public testing::TestWithParam<Row> {};

TEST_P(EndToEnd, Run) {
  const Row &row = GetParam();
  Sim sim;
  bool controller = row.sim.empty() || row.sim[0] != "none";
  if (controller) {
    ASSERT_TRUE(sim_start(&sim, row.sim));
  } else {
    sim.dir = temp_dir();
    write_capi20rc(sim.dir, 1);  // a closed port
  }
  const std::string dir = sim.dir, home = controller ? dir + "/home" : dir;
  const std::string image = dir + "/image.bin";
  std::string data;
  for (long i = 0; i < row.image; i++) data.push_back(char(i * 7 + i / 251));
  if (row.image >= 0) write_file(image, data);
  if (!row.arrives.empty()) {
    mkdir((dir + "/sub-dir").c_str(), 0755);
    for (const char *decoy : {"w.bin", "my", "ile", "a"}) write_file(dir + "/" + decoy, "decoy");
    int n = 1100;
    for (const char *name : {"dect-fw.bin", "my file.bin", "my file", "fw-g.bin", "my-file.bin", "my-file",
                             "fw.bin~", "cordix.bin", "sub-dir/dect-module-2.bin"})
      write_file(dir + "/" + name, std::string(size_t(n), char(n))), n += 100;
    data = read_file(dir + "/" + row.arrives);
  }
  std::vector<std::string> argv = {std::getenv("CORDIX_BIN") ? std::getenv("CORDIX_BIN") : CORDIX_PATH};
  for (std::string a : row.args) argv.push_back(a == "IMG" ? image : a.find("IMG") == 2 ? a.substr(0, 2) + image : a);
  std::string sig_after = row.out.substr(3, row.out.find("stopped by signal") - 3);
  if (sig_after.find("IMG") != std::string::npos) sig_after.replace(sig_after.find("IMG"), 3, image);
  Proc p = run(argv, home, dir, row.status < 0 ? kWaitMs : kRunMs, row.sig, sig_after);
  // dectsim ends by itself once a registered client has gone.
  bool registered = p.out.find("ApplID: 0x") != std::string::npos && p.out.find("ApplID: 0x0000") == std::string::npos;
  sim_stop(&sim, registered ? 5000 : 0);
  std::string out = mask(p.out, image), json = read_file(dir + "/summary.json");

  EXPECT_EQ(p.timed_out, row.status < 0) << out;
  EXPECT_TRUE(row.status < 0 || p.status == row.status) << "status " << p.status << "\n" << out;
  const bool parts = row.out.compare(0, 3, "...") == 0;
  EXPECT_EQ(parts ? row.out : out, row.out);
  size_t at = 0;
  for (size_t from = 3; parts && from < row.out.size();) {
    size_t to = row.out.find("...", from);
    std::string part = row.out.substr(from, to - from);
    EXPECT_NE(at = out.find(part, at), std::string::npos) << "missing: " << part << "\n" << out;
    from = to == std::string::npos ? row.out.size() : to + 3;
  }
  EXPECT_EQ(out.find(kIncomplete) != std::string::npos, row.status == 8) << out;
  bool waited = out.find("no message within") != std::string::npos;
  EXPECT_LT(waited ? p.cpu_ms : 0, 500) << "the wait must not spin";
  EXPECT_EQ(row.absent.empty() ? std::string::npos : out.find(row.absent), std::string::npos) << out;
  std::istringstream want(row.json);
  for (std::string kv; want >> kv;) {
    std::string key = kv.substr(0, kv.find('='));
    EXPECT_EQ(json_int(json, key.c_str()), atol(kv.c_str() + key.size() + 1)) << key << "\n" << json;
    EXPECT_TRUE(kv != "complete=1" || read_file(dir + "/firmware.bin") == data) << "image not whole";
  }
  EXPECT_EQ(json.find("\"violations\": [\n"), std::string::npos) << json;
  std::istringstream trace(read_file(dir + "/trace"));
  std::vector<std::string> wire;
  for (std::string l; std::getline(trace, l);) wire.push_back(wire_line(l));
  EXPECT_EQ(row.wire.empty() ? row.wire : wire, row.wire);
  remove_tree(dir);
}

std::string row_name(const testing::TestParamInfo<Row> &info) {
  std::string name = info.param.name;
  for (char &c : name) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, EndToEnd, testing::ValuesIn(rows()), row_name);

}  // namespace
