// SPDX-License-Identifier: MIT
// End to end: the real cordix binary updates the simulated module through
// the real libcapi20. Every case starts its own simulator on a free port
// with its own HOME; every client run is bounded in time.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/harness.h"

namespace {

constexpr int kRunMs = 20000;   // a run that should end by itself
constexpr int kHangMs = 1500;   // a run that waits for a silent module

std::string cordix_bin() {
  const char *env = getenv("CORDIX_BIN");
  return env && *env ? env : CORDIX_PATH;
}

std::string pattern(size_t n) {
  std::string b(n, '\0');
  for (size_t i = 0; i < n; i++) b[i] = static_cast<char>(i * 7 + i / 251);
  return b;
}

void write_file(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary) << data;
}

// Pointers, the date and the time vary from run to run.
std::string mask(std::string out, const std::string &image) {
  out = std::regex_replace(out, std::regex("cmsg\\(0x[0-9a-f]+\\)"), "cmsg(PTR)");
  out = std::regex_replace(out, std::regex("\\d\\d \\w\\w\\w \\d{4} - \\d\\d:\\d\\d:\\d\\d"),
                           "DATE - TIME");
  size_t at;
  while (!image.empty() && (at = out.find(image)) != std::string::npos)
    out.replace(at, image.size(), "IMG");
  return out;
}

const char kHeader[] =
    "-------------------------------------------------------------------------------\n"
    "cordix 0.1  (c) 2026 the cordix developers     DATE - TIME\n"
    "CAPI Version: 2.0        Manufacturer version: 3.41-05  (52.21)\n"
    "\n"
    "-------------------------------------------------------------------------------\n"
    "ApplID: 0x0001\n";

// One run: a simulator with its options, an image, and cordix's arguments
// ("IMG" stands for the image's path).
struct SimRun {
  SimProc sim{};
  std::string image, image_data;
  std::vector<std::pair<std::string, std::string>> files;  // put in the cwd
  int sig = 0;            // sent once the output holds sig_after
  std::string sig_after;
  ProcResult res{};
  std::string out;  // masked transcript
  std::string json;

  bool go(const std::vector<std::string> &sim_args, long size,
          std::vector<std::string> args, int timeout_ms = kRunMs, bool registers = true) {
    if (!sim_start(&sim, sim_args)) return false;
    for (auto &[name, data] : files) {
      size_t slash = name.rfind('/');
      if (slash != std::string::npos) mkdir((sim.dir + "/" + name.substr(0, slash)).c_str(), 0755);
      write_file(sim.dir + "/" + name, data);
    }
    image = sim.dir + "/image.bin";
    if (size >= 0) {
      image_data = pattern(size);
      write_file(image, image_data);
    }
    std::vector<std::string> argv = {cordix_bin()};
    for (std::string &a : args) {
      size_t at = a.find("IMG");
      argv.push_back(at == std::string::npos ? a : a.replace(at, 3, image));
    }
    size_t at = sig_after.find("IMG");
    if (at != std::string::npos) sig_after.replace(at, 3, image);
    res = run_client(argv, sim.home, timeout_ms, sim.dir, sig, sig_after);
    // A run that never registered leaves the simulator waiting: stop it.
    sim_finish(&sim, registers ? 5000 : 200);
    out = mask(res.out, image);
    json = read_file(sim.json);
    return true;
  }
  ~SimRun() { sim_cleanup(&sim); }
};

std::string update_transcript(const std::vector<unsigned> &chunks) {
  std::string t = std::string(kHeader) +
                  "state_machine: cmsg((nil)) state(1)\nState(do_update)\nwarte auf start ind\n"
                  "state_machine: cmsg(PTR) state(2)\n"
                  "state_machine: cmsg(PTR) state(2)\nState(start_req)\n"
                  "start ind empfangen, data phase\nState(data)\n";
  for (size_t i = 0; i <= chunks.size(); i++) {
    unsigned n = i < chunks.size() ? chunks[i] : 0;
    if (i > 0) t += "state_machine: cmsg(PTR) state(3)\nState(data)\n";
    t += std::to_string(n) + " Byte aus Datei(IMG) gelesen\n";
    if (n == 0) t += "warte auf end ind\n";
    t += std::string("state_machine: cmsg(PTR) state(") + (n ? "3" : "4") + ")\n";
  }
  return t + "state_machine: cmsg(PTR) state(4)\nState(endt_req)\nend ind empfangen, terminiere\n";
}

TEST(EndToEnd, SmallUpdateTranscriptIsExact) {
  SimRun r;
  ASSERT_TRUE(r.go({}, 1500, {"-f", "IMG"}));
  EXPECT_EQ(r.res.status, 0);
  EXPECT_EQ(r.out, update_transcript({1024, 476}));
  EXPECT_EQ(json_int(r.json, "bytes"), 1500);
  EXPECT_EQ(json_int(r.json, "data_chunks"), 2);
  EXPECT_EQ(json_array_len(r.json, "violations"), 0) << r.json;
}

// Images around the chunk size and a large one arrive whole and unchanged.
TEST(EndToEnd, ImagesArriveWhole) {
  for (long size : {0L, 1L, 254L, 255L, 1023L, 1024L, 1025L, 2048L, 2049L, 4L << 20}) {
    SCOPED_TRACE(size);
    SimRun r;
    ASSERT_TRUE(r.go({}, size, {"-fIMG"}, 120000));
    EXPECT_EQ(r.res.status, 0) << r.res.out.substr(0, 2000);
    EXPECT_EQ(json_int(r.json, "bytes"), size);
    EXPECT_EQ(json_int(r.json, "data_chunks"), (size + 1023) / 1024);
    EXPECT_EQ(json_int(r.json, "complete"), 1) << r.json;
    EXPECT_EQ(json_array_len(r.json, "violations"), 0) << r.json;
    EXPECT_TRUE(read_file(r.sim.firmware) == r.image_data);
  }
}

// The records on the wire, byte for byte.
TEST(EndToEnd, RecordsOnTheWire) {
  SimRun r;
  ASSERT_TRUE(r.go({}, 1030, {"-f", "IMG", "-c", "3"}));
  ASSERT_EQ(r.res.status, 0);
  std::vector<std::string> lines;
  std::istringstream trace(read_file(r.sim.trace));
  for (std::string l; std::getline(trace, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 4u);
  // length, ApplId 1, MANUFACTURER_REQ, number, controller 3, "XOL!",
  // class 0, function 15, then the record
  auto req = [](unsigned len, unsigned number, const char *record) {
    char h[64];
    snprintf(h, sizeof h, "%02x%02x0100ff80%02x0003000000584f4c21000000000f000000", len & 0xFF,
             len >> 8, number);
    return h + std::string(record);
  };
  EXPECT_EQ(lines[0], req(28, 1, "03010000"));
  std::string first = req(24 + 1032, 2, "ff05040200ff0004");
  EXPECT_EQ(lines[1].substr(0, first.size()), first);
  EXPECT_EQ(lines[1].size(), 2u * (24 + 1032));
  std::string last = req(24 + 14, 3, "ff0b000200ff0600");
  EXPECT_EQ(lines[2].substr(0, last.size()), last);
  EXPECT_EQ(lines[2].size(), 2u * (24 + 14));
  EXPECT_EQ(lines[3], req(28, 4, "03030000"));
  EXPECT_EQ(json_int(r.json, "controller"), 3);
}

TEST(EndToEnd, VersionQuery) {
  for (bool with_file : {false, true}) {
    SCOPED_TRACE(with_file);
    SimRun r;
    // No image in version mode: a missing firmware file does not matter.
    ASSERT_TRUE(r.go({"--version-bytes=12,34,56"}, with_file ? 10 : -1, {"-g"}));
    EXPECT_EQ(r.res.status, 0x12);  // the shell sees the low byte of 0x563412
    EXPECT_EQ(r.out, std::string(kHeader) +
                         "state_machine: cmsg((nil)) state(6)\nState(get_version)\n"
                         "warte auf start ind\n"
                         "state_machine: cmsg(PTR) state(7)\n"
                         "state_machine: cmsg(PTR) state(7)\nState(version_req)\n"
                         "version ind empfangen(12.34.56)\n"
                         "        Version(564) Designcode(86) Beta Status(1)\n"
                         "        RealDectVersion(234561)\n");
    EXPECT_EQ(json_int(r.json, "version_requests"), 1);
  }
}

// Runs that end before the protocol: the exit status tells where.
TEST(EndToEnd, EarlyExitStatuses) {
  struct Case {
    const char *what;
    std::vector<std::string> sim_args;
    long size;
    std::vector<std::string> args;
    int status;
    const char *out;  // exact transcript, or a part of it after "..."
  } cases[] = {
      {"help", {}, -1, {"-?"}, 0, "Blafasel Hilfe\n\n"},
      {"option error before help", {}, -1, {"-hilfe", "-x"}, 1, "unknown option /x\n"},
      {"help by abbreviation", {}, -1, {"-h"}, 0, "Blafasel Hilfe\n\n"},
      {"unknown option", {}, 10, {"-x", "-f", "IMG"}, 1, "unknown option /x\n"},
      {"negative controller", {}, 10, {"-c", "-1"}, 1,
       "Option /c, type unsigned integer: positive values only\n"},
      {"controller beyond 32 bits", {}, 10, {"-c", "4294967296"}, 1,
       "Option /c, type unsigned integer: invalid value \"4294967296\"\n"},
      {"missing file", {}, -1, {"-f", "IMG"}, 3,
       "Datei \"IMG\" konnte nicht ge\xf6" "ffnet werden\n"},
      {"directory as image", {}, -1, {"-f", "."}, 3,
       "Datei \".\" konnte nicht ge\xf6" "ffnet werden\n"},
      {"default file missing", {}, -1, {}, 3,
       "Datei \"cordix.bin\" konnte nicht ge\xf6" "ffnet werden\n"},
      {"profile says no CAPI", {"--profile-error=0x1009"}, 10, {"-f", "IMG"}, 5,
       "CAPI nicht gefunden\n"},
      {"registration refused", {"--register-error=0x1008"}, 10, {"-f", "IMG"}, 7,
       "...ApplID: 0x0000\n\ncapi_register: error 0x1008\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SimRun r;
    ASSERT_TRUE(r.go(c.sim_args, c.size, c.args, kRunMs, c.status == 7));
    EXPECT_EQ(r.res.status, c.status);
    std::string want = c.out;
    if (want.rfind("...", 0) == 0)
      EXPECT_NE(r.out.find(want.substr(3)), std::string::npos) << r.out;
    else
      EXPECT_EQ(r.out, want);
    EXPECT_EQ(json_int(r.json, "session_count"), 0);  // nothing reached the module
  }
}

TEST(EndToEnd, NoCapiIsStatusFour) {
  std::string home = make_temp_dir("nocapi");
  write_capi20rc(home, closed_port());
  write_file(home + "/cordix.bin", "x");
  ProcResult res = run_client({cordix_bin()}, home, kRunMs, home);
  EXPECT_EQ(res.status, 4);
  EXPECT_EQ(res.out.rfind("capi not installed (", 0), 0u) << res.out;
  rm_tree(home);
}

TEST(EndToEnd, TooLongCommandLineIsRefusedWhole) {
  std::string home = make_temp_dir("longline");
  write_capi20rc(home, closed_port());
  std::string path(300, 'a');
  ProcResult res = run_client({cordix_bin(), "-f", path}, home, kRunMs, home);
  EXPECT_EQ(res.status, 1);
  EXPECT_EQ(res.out, "command line too long (at most 271 bytes)\n");
  // The longest line that fits still runs: 271 bytes with the blanks.
  ProcResult fits = run_client({cordix_bin(), "-f", std::string(271 - 4, 'b')}, home, kRunMs, home);
  EXPECT_EQ(fits.status, 3);
  // The limit holds for the line as written: every "-" after the first byte
  // costs an escape, an open quote its closing one.
  for (std::string arg : {std::string(200, '-'), "\"" + std::string(267, 'b')}) {
    ProcResult escaped = run_client({cordix_bin(), "-f", arg}, home, kRunMs, home);
    EXPECT_EQ(escaped.status, 1) << escaped.out;
  }
  rm_tree(home);
}

TEST(EndToEnd, ControllerOptionAndDefault) {
  for (auto [arg, want] : {std::pair<const char *, long>{"-c0", 1}, {"-c0x1f", 31}, {"-c 010", 10}}) {
    SCOPED_TRACE(arg);
    SimRun r;
    std::vector<std::string> args = {"-f", "IMG"};
    std::string a = arg;
    if (a.find(' ') != std::string::npos) {
      args.push_back(a.substr(0, 2));
      args.push_back(a.substr(3));
    } else {
      args.push_back(a);
    }
    ASSERT_TRUE(r.go({}, 100, args));
    EXPECT_EQ(r.res.status, 0);
    EXPECT_EQ(json_int(r.json, "controller"), want);
  }
}

// Faults of the module at the first, a middle and the last request of an
// update of three chunks (requests: 1 start, 2-4 chunks, 5 end).
struct Fault {
  const char *kind;
  int status;          // -1: the tool keeps waiting (a silent module)
  const char *line;    // a line the transcript must hold, or null
  bool completes;      // the module received the whole update
};

const Fault kFaults[] = {
    {"conf-class=3", 8, "MANUFACTURER_REQ(CORDIX) Fehler(3)\nFehler(0x0002) in der Statemachine\n",
     false},
    {"close", 8, "capi20_get_message: controller lost", false},
    {"short-ind", 8, "Fehler(0x0001) in der Statemachine\n", false},
    {"extra-function", 0, nullptr, true},
    {"extra-class", 0, nullptr, true},
    {"silent", -1, nullptr, false},
    {"no-ind", -1, nullptr, false},
    {"bad-code", -1, nullptr, false},
};

TEST(EndToEnd, ModuleFaultsAtFirstMiddleAndLastRequest) {
  for (const Fault &f : kFaults) {
    for (int k : {1, 3, 5}) {
      std::string fault = std::string("--fault=") + f.kind + "@" + std::to_string(k);
      SCOPED_TRACE(fault);
      SimRun r;
      int limit = f.status < 0 ? kHangMs : kRunMs;
      ASSERT_TRUE(r.go({fault}, 2500, {"-f", "IMG"}, limit));
      if (f.status < 0) {
        EXPECT_TRUE(r.res.timed_out) << r.out;
        continue;
      }
      EXPECT_FALSE(r.res.timed_out);
      EXPECT_EQ(r.res.status, f.status) << r.out;
      if (f.line) {
        EXPECT_NE(r.out.find(f.line), std::string::npos) << r.out;
      }
      bool says_incomplete = r.out.find("update did not complete\n") != std::string::npos;
      EXPECT_EQ(says_incomplete, f.status == 8) << r.out;
      if (f.completes) {
        EXPECT_EQ(json_int(r.json, "complete"), 1);
        EXPECT_TRUE(read_file(r.sim.firmware) == r.image_data);
      }
    }
  }
}

// A controller that answers and then closes its connection: the tool sends
// on a closed connection, sees the loss and says so; it is never ended by a
// signal. After the end indication (request 5) the update is complete.
TEST(EndToEnd, ControllerClosesAfterAnswering) {
  for (int k : {1, 3, 5}) {
    SCOPED_TRACE(k);
    SimRun r;
    ASSERT_TRUE(r.go({"--fault=close-after@" + std::to_string(k)}, 2500, {"-f", "IMG"}));
    EXPECT_FALSE(r.res.timed_out);
    EXPECT_EQ(r.res.status, k == 5 ? 0 : 8) << r.out;
    if (k == 5) continue;
    bool lost = r.out.find("capi20_get_message: controller lost") != std::string::npos ||
                r.out.find("MANUFACTURER_REQ returned error") != std::string::npos;
    EXPECT_TRUE(lost) << r.out;
    EXPECT_NE(r.out.find("update did not complete\n"), std::string::npos);
  }
}

// A controller that resets the connection right after registration: the
// opening request fails, and the run goes straight to cleanup and release
// without waiting for a message that cannot come. Whether the reset reaches
// the tool before its first send is a race, so runs repeat until the send
// failed; every run must end with status 8 either way.
TEST(EndToEnd, FailedOpeningRequestSkipsThePump) {
  int failed_sends = 0;
  for (int run = 0; run < 20 && failed_sends < 2; run++) {
    SimRun r;
    ASSERT_TRUE(r.go({"--fault=reset@0"}, 100, {"-f", "IMG"}));
    EXPECT_FALSE(r.res.timed_out);
    EXPECT_EQ(r.res.status, 8) << r.out;
    size_t at = r.out.find("MANUFACTURER_REQ returned error(0x");
    if (at == std::string::npos) continue;  // sent before the reset: the loss shows later
    failed_sends++;
    std::string rest = r.out.substr(at);
    EXPECT_EQ(rest.find("state_machine:"), std::string::npos) << r.out;
    EXPECT_EQ(rest.find("controller lost"), std::string::npos) << r.out;
    EXPECT_NE(rest.find("update did not complete\n"), std::string::npos) << r.out;
  }
  EXPECT_GT(failed_sends, 0);
}

TEST(EndToEnd, SlowModuleIsWaitedFor) {
  SimRun r;
  ASSERT_TRUE(r.go({"--delay=30"}, 3000, {"-f", "IMG"}));
  EXPECT_EQ(r.res.status, 0);
  EXPECT_EQ(json_int(r.json, "complete"), 1);
}

// A version indication that is too short, or claims more than it carries,
// is not read: the query ends with nothing learned.
TEST(EndToEnd, MalformedVersionIndications) {
  for (const char *fault : {"version-short@1", "version-overlong@1"}) {
    SCOPED_TRACE(fault);
    SimRun r;
    ASSERT_TRUE(r.go({std::string("--fault=") + fault}, -1, {"-g"}));
    EXPECT_EQ(r.res.status, 0);
    EXPECT_NE(r.out.find("Fehler(0x0001) in der Statemachine\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("version ind empfangen"), std::string::npos);
  }
}

// Every argument is one word: the image streamed is the file named, whatever
// blanks, dashes, quotes or escapes its name holds, with decoys present that
// a split name would pick.
TEST(EndToEnd, EveryArgumentIsOneWord) {
  struct Case {
    std::vector<std::string> args;
    const char *image;  // the file that must arrive; null: no update
    int status;
    const char *line;   // a line the transcript must hold, or null
    long controller;
  } cases[] = {
      {{"-f", "dect-fw.bin"}, "dect-fw.bin", 0, nullptr, 1},
      {{"-f", "my file.bin"}, "my file.bin", 0, nullptr, 1},
      {{"-fsub-dir/dect-module-2.bin"}, "sub-dir/dect-module-2.bin", 0, nullptr, 1},
      {{"-f", "fw-g.bin"}, "fw-g.bin", 0, nullptr, 1},
      {{"-fmy~-file.bin"}, "my-file.bin", 0, nullptr, 1},
      {{"-f", "\"my-file\""}, "my-file", 0, nullptr, 1},
      {{"-f", "fw.bin~", "-c", "2"}, "fw.bin~", 0, nullptr, 2},
      {{"-f", "\"my file", "-c2"}, "my file", 0, nullptr, 2},
      {{"a-x"}, "cordix.bin", 0, nullptr, 1},
      {{"-c", "2", "-g"}, nullptr, 0x12, "version ind empfangen(12.34.56)\n", 2},
      {{"-f", "   "}, nullptr, 3, "Datei \"   \" konnte nicht ge\xf6" "ffnet werden\n", -1},
      {{"--x"}, nullptr, 1, "unknown option /-x\n", -1},
      {{"-g-c2"}, nullptr, 0x12,
       "Option /g, type switch, appended value will be ignored: -c2\n", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    SimRun r;
    r.files = {{"w.bin", "decoy w"}, {"my", "decoy my"}, {"ile", "decoy ile"}, {"a", "decoy a"}};
    for (const char *name : {"dect-fw.bin", "my file.bin", "my file", "fw-g.bin", "my-file.bin",
                             "my-file", "fw.bin~", "cordix.bin"})
      r.files.push_back({name, pattern(1100 + r.files.size() * 100)});
    r.files.push_back({"sub-dir/dect-module-2.bin", pattern(2000)});
    ASSERT_TRUE(r.go({"--version-bytes=12,34,56"}, -1, c.args, kRunMs, c.controller >= 0));
    EXPECT_EQ(r.res.status, c.status) << r.out;
    if (c.line) {
      EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
    }
    if (c.controller >= 0) {
      EXPECT_EQ(json_int(r.json, "controller"), c.controller);
    }
    if (!c.image) continue;
    EXPECT_EQ(json_int(r.json, "complete"), 1);
    EXPECT_TRUE(read_file(r.sim.firmware) == read_file(r.sim.dir + "/" + c.image)) << c.image;
  }
}

// With -t, a module that stops answering ends the run after that many
// seconds without a message, quietly waiting meanwhile; a slow module that
// answers each request within the limit still finishes.
TEST(EndToEnd, BoundedWait) {
  struct Case {
    const char *sim_arg;
    std::vector<std::string> args;
    int status;
    const char *tail;  // how the transcript ends
  } cases[] = {
      {"--fault=silent@1", {"-f", "IMG", "-t", "1"}, 8,
       "warte auf start ind\ncapi20_waitformessage: no message within 1 s\n"
       "update did not complete\n"},
      {"--fault=silent@3", {"-fIMG", "-t1"}, 8,
       "1024 Byte aus Datei(IMG) gelesen\ncapi20_waitformessage: no message within 1 s\n"
       "update did not complete\n"},
      {"--fault=silent@5", {"-f", "IMG", "-timeout", "1"}, 8,
       "warte auf end ind\ncapi20_waitformessage: no message within 1 s\n"
       "update did not complete\n"},
      {"--delay=400", {"-f", "IMG", "-t", "1"}, 0, "end ind empfangen, terminiere\n"},
      {"--fault=close@3", {"-f", "IMG", "-t", "5"}, 8,
       "controller lost (queue empty after 1000 wake-ups)\nupdate did not complete\n"},
      {"--fault=silent@1", {"-g", "-t", "1"}, 0,
       "warte auf start ind\ncapi20_waitformessage: no message within 1 s\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.sim_arg);
    SimRun r;
    ASSERT_TRUE(r.go({c.sim_arg}, 2500, c.args, 10000));
    EXPECT_FALSE(r.res.timed_out);
    EXPECT_EQ(r.res.status, c.status) << r.out;
    std::string tail = c.tail;
    EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), tail.size())), tail) << r.out;
    EXPECT_LT(r.res.cpu_ms, 500) << "the wait must not spin";
    EXPECT_EQ(json_str(r.json, "closed_by"), strstr(c.sim_arg, "close") ? "simulator" : "client");
    EXPECT_EQ(r.res.shm, "");  // the application id was released
  }
}

// A stop signal while the module is silent ends the run cleanly: what was
// printed is in the log, the application is released, and the run says the
// update did not complete.
TEST(EndToEnd, StopSignalEndsTheRunCleanly) {
  struct Case {
    int sig;
    const char *sim_arg;
    std::vector<std::string> args;
    const char *before;  // last line before the wait, the signal follows it
    int status;
  } cases[] = {
      {SIGTERM, "--fault=silent@2", {"-f", "IMG"}, "1024 Byte aus Datei(IMG) gelesen\n", 8},
      {SIGINT, "--fault=silent@3", {"-f", "IMG"},
       "state(3)\nState(data)\n1024 Byte aus Datei(IMG) gelesen\n", 8},
      {SIGHUP, "--fault=silent@1", {"-g"}, "warte auf start ind\n", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.sig);
    SimRun r;
    r.sig = c.sig;
    r.sig_after = c.before;
    ASSERT_TRUE(r.go({c.sim_arg}, 2500, c.args, 10000));
    EXPECT_FALSE(r.res.timed_out);
    EXPECT_EQ(r.res.status, c.status) << r.out;
    std::string tail = std::string(c.before) + "stopped by signal " + std::to_string(c.sig) + "\n" +
                       (c.status == 8 ? "update did not complete\n" : "");
    EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), tail.size())), tail) << r.out;
    EXPECT_EQ(json_str(r.json, "closed_by"), "client");
    EXPECT_EQ(r.res.shm, "");
  }
}

}  // namespace
