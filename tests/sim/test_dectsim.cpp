// SPDX-License-Identifier: MIT
// dectsim driven from outside: through libcapi20 with the simclient helper,
// and through raw loopback TCP for malformed frames. Each test starts its
// own simulator on a free port with its own HOME; every wait is bounded.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "sim/sha256.h"

namespace {

const std::string kSimClient = SIMCLIENT_PATH;

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class Dectsim : public ::testing::Test {
 protected:
  SimProc sim{-1, 0, "", "", "", "", "", ""};

  void TearDown() override { sim_cleanup(&sim); }

  void Start(const std::vector<std::string> &args = {}) {
    ASSERT_TRUE(sim_start(&sim, args)) << read_file(sim.log);
  }

  ProcResult Client(std::vector<std::string> ops, int timeout_ms = 20000) {
    ops.insert(ops.begin(), kSimClient);
    ProcResult r = run_client(ops, sim.home, timeout_ms);
    EXPECT_FALSE(r.timed_out) << r.out << r.err;
    return r;
  }

  // Waits for the simulator's own exit (--once) and returns the JSON summary.
  std::string Finish(int timeout_ms = 10000) {
    EXPECT_EQ(sim_finish(&sim, timeout_ms), 0) << read_file(sim.log);
    return read_file(sim.json);
  }

  // Stops the simulator with SIGTERM right away.
  std::string Stop() { return Finish(0); }

  std::string WriteFile(const std::string &name, const std::string &data) {
    std::string path = sim.dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (f) {
      fwrite(data.data(), 1, data.size(), f);
      fclose(f);
    }
    return path;
  }
};

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = char((i * 7 + i / 256) & 0xff);
  return s;
}

// The application id from a "register 0x0000 appl=N" line, as 4 hex digits
// in message byte order.
std::string appl_hex(const std::string &out) {
  size_t p = out.find("appl=");
  unsigned id = p == std::string::npos ? 0 : unsigned(atoi(out.c_str() + p + 5));
  char b[16];
  snprintf(b, sizeof b, "%02x%02x", id & 0xff, (id >> 8) & 0xff);
  return b;
}

TEST_F(Dectsim, AnswersControlRequests) {
  Start({"--manufacturer=XOL test box", "--capi-version=2.1", "--manu-version=3.4",
         "--serial=7654321"});
  EXPECT_TRUE(contains(read_file(sim.log), "dectsim: listening on 127.0.0.1:" + std::to_string(sim.port) + "\n"));
  ProcResult r = Client({"installed", "profile", "0", "manufacturer", "version", "serial"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "installed 0x0000\nprofile 0x0000 count=1\nmanufacturer XOL test box\n"
            "version 2.1 3.4\nserial 7654321\n");
  std::string json = Stop();
  EXPECT_EQ(json_int(json, "control_requests"), 4);
  EXPECT_EQ(json_int(json, "session_count"), 0);
  EXPECT_EQ(json_int(json, "malformed_frames"), 0);
}

TEST_F(Dectsim, ListensOnAGivenPortQuietly) {
  int port = closed_port();
  Start({"--port", std::to_string(port), "--quiet"});
  EXPECT_EQ(sim.port, port);
  EXPECT_EQ(Client({"register", "release"}).status, 0);
  Finish();
  std::string log = read_file(sim.log);
  EXPECT_EQ(log.substr(0, log.find('\n') + 1), "dectsim: listening on 127.0.0.1:" + std::to_string(port) + "\n");
  EXPECT_EQ(log.find("conn "), std::string::npos) << log;  // no connection lines
  EXPECT_TRUE(contains(log, "dectsim summary:")) << log;
}

TEST_F(Dectsim, DefaultsIdentifyTheModule) {
  Start();
  ProcResult r = Client({"manufacturer", "version"});
  EXPECT_EQ(r.out, "manufacturer XOL DECT module simulator\nversion 2.0 52.21\n");
  Stop();
}

TEST_F(Dectsim, ProfileErrorIsReported) {
  Start({"--profile-error=0x1009"});
  // libcapi20 hands the error back and leaves the buffer untouched.
  EXPECT_EQ(Client({"profile", "0"}).out, "profile 0x1009 count=0\n");
  Stop();
}

TEST_F(Dectsim, RegistrationCanBeRefused) {
  Start({"--register-error=0x1008"});
  ProcResult r = Client({"register"});
  EXPECT_TRUE(contains(r.out, "register 0x1008")) << r.out;
  std::string json = Finish();  // --once: the refused connection counts
  EXPECT_EQ(json_int(json, "refused_registrations"), 1);
  EXPECT_EQ(json_int(json, "session_count"), 0);
}

TEST_F(Dectsim, VersionQueryAtMessageLevel) {
  Start({"--version-bytes=a1,b2,c3"});
  ProcResult r = Client({"register", "manu", "1", "1", "03040000", "wait", "5000", "wait", "5000",
                         "release"});
  EXPECT_EQ(r.status, 0);
  size_t first = r.out.find('\n') + 1;
  EXPECT_EQ(r.out.substr(0, 16), "register 0x0000 ");
  EXPECT_EQ(r.out.substr(first),
            "put 0x0000\n"
            "msg cmd=ff sub=81 num=1 ctrl=1 manuid=214c4f58 class=0 func=15 data=00\n"
            "msg cmd=ff sub=82 num=1 ctrl=1 manuid=214c4f58 class=0 func=15 data=06040003a1b2c3\n"
            "release 0x0000\n");
  std::string json = Finish();
  EXPECT_EQ(read_file(sim.trace),
            "1c00" + appl_hex(r.out) + "ff80010001000000584f4c21000000000f00000003040000\n");
  EXPECT_EQ(json_int(json, "requests"), 1);
  EXPECT_EQ(json_int(json, "version_requests"), 1);
  EXPECT_EQ(json_int(json, "controller"), 1);
  EXPECT_EQ(json_array_len(json, "violations"), 0);
  EXPECT_EQ(json_str(json, "closed_by"), "client");
}

TEST_F(Dectsim, WholeUpdatesAreReassembled) {
  for (size_t size : {size_t(0), size_t(1), size_t(1024), size_t(1500), size_t(3000)}) {
    SCOPED_TRACE(size);
    Start();
    std::string data = pattern(size), file = WriteFile("image.bin", data);
    size_t chunks = (size + 1023) / 1024;
    ProcResult r = Client({"register", "update", file, "3", "release"});
    EXPECT_TRUE(contains(r.out, "update done chunks=" + std::to_string(chunks) + "\n")) << r.out;
    std::string json = Finish();
    EXPECT_EQ(json_int(json, "start_requests"), 1);
    EXPECT_EQ(json_int(json, "data_chunks"), long(chunks));
    EXPECT_EQ(json_int(json, "end_requests"), 1);
    EXPECT_EQ(json_int(json, "bytes"), long(size));
    EXPECT_EQ(json_int(json, "controller"), 3);
    EXPECT_EQ(json_int(json, "complete"), 1);
    EXPECT_EQ(json_array_len(json, "violations"), 0) << json;
    EXPECT_EQ(json_str(json, "sha256"),
              sha256_hex(reinterpret_cast<const uint8_t *>(data.data()), data.size()));
    EXPECT_EQ(read_file(sim.firmware), data);
    std::string trace = read_file(sim.trace);
    if (size == 1500) {  // the 476-byte chunk keeps both long length forms
      EXPECT_TRUE(contains(trace, "0f000000ffe1010200ffdc01")) << trace.substr(0, 200);
    }
    sim_cleanup(&sim);
  }
}

struct FaultRun {
  const char *fault;
  const char *record;
  const char *expected;  // client lines after "put"
  const char *closed_by;
};

TEST_F(Dectsim, InjectedFaultsReachTheClient) {
  const std::string conf = "msg cmd=ff sub=81 num=1 ctrl=1 manuid=214c4f58 class=0 func=15 data=00\n";
  const std::string ind = "msg cmd=ff sub=82 num=1 ctrl=1 manuid=214c4f58 ";
  const FaultRun runs[] = {
      {"conf-class=3@1", "03010000",
       "msg cmd=ff sub=81 num=1 ctrl=1 manuid=214c4f58 class=3 func=15 data=00\ntimeout\n", "client"},
      {"no-ind@1", "03010000", "CONF" "timeout\n", "client"},
      {"silent@1", "03010000", "timeout\n", "client"},
      {"short-ind@1", "03010000", "CONF" "IND" "class=0 func=15 data=020100\ntimeout\n", "client"},
      {"bad-code=7@1", "03010000", "CONF" "IND" "class=0 func=15 data=03070000\ntimeout\n", "client"},
      {"extra-function@1", "03040000",
       "CONF" "IND" "class=0 func=14 data=06040003edcba9\n"
       "msg cmd=ff sub=82 num=2 ctrl=1 manuid=214c4f58 class=0 func=15 data=06040003123456\ntimeout\n",
       "client"},
      {"extra-class@1", "03010000",
       "CONF" "IND" "class=1 func=15 data=03010000\n"
       "msg cmd=ff sub=82 num=2 ctrl=1 manuid=214c4f58 class=0 func=15 data=03010000\ntimeout\n",
       "client"},
      {"version-short@1", "03040000", "CONF" "IND" "class=0 func=15 data=050400021234\ntimeout\n", "client"},
      {"version-overlong@1", "03040000", "CONF" "IND" "class=0 func=15 data=06040007123456\ntimeout\n",
       "client"},
      {"close@1", "03010000", "error 0x1104\n", "simulator"},
  };
  for (const FaultRun &f : runs) {
    SCOPED_TRACE(f.fault);
    Start({std::string("--fault=") + f.fault});
    ProcResult r = Client({"register", "manu", "1", "1", f.record, "drain", "300"});
    std::string want = f.expected;
    for (size_t p; (p = want.find("CONF")) != std::string::npos;) want.replace(p, 4, conf);
    for (size_t p; (p = want.find("IND")) != std::string::npos;) want.replace(p, 3, ind);
    size_t put = r.out.find("put 0x0000\n");
    ASSERT_NE(put, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(put + 11), want);
    std::string json = Finish();
    EXPECT_EQ(json_int(json, "faults_injected"), 1);
    EXPECT_EQ(json_str(json, "closed_by"), f.closed_by);
    sim_cleanup(&sim);
  }
}

// With a delay, a client that advances on the look-alike indication sends
// its next request before the real indication and is caught.
TEST_F(Dectsim, ReactingToAnExtraIndicationIsAViolation) {
  Start({"--fault=extra-function@1", "--delay=300"});
  ProcResult r = Client({"register", "manu", "1", "1", "03010000", "wait", "5000", "wait", "5000",
                         "manu", "2", "1", "ff08000200ff0300616263", "drain", "1000", "release"});
  EXPECT_TRUE(contains(r.out, "func=14 data=03010000\nput 0x0000\n")) << r.out;
  std::string json = Finish();
  EXPECT_EQ(json_array_len(json, "violations"), 1) << json;
  EXPECT_TRUE(contains(json, "request 2: arrived before the indication for the previous request")) << json;
  EXPECT_EQ(json_int(json, "bytes"), 3);
}

// Raw loopback TCP, for frames libcapi20 would never send.
int connect_to(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct timeval tv = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string unhex(const std::string &h) {
  std::string s;
  for (size_t i = 0; i + 1 < h.size(); i += 2) s.push_back(char(std::stoul(h.substr(i, 2), nullptr, 16)));
  return s;
}

bool send_hex(int fd, const std::string &h) {
  std::string b = unhex(h);
  return send(fd, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
}

// One frame body, or "" on EOF, error or the 5 s receive timeout.
std::string read_frame(int fd) {
  unsigned char head[2];
  if (recv(fd, head, 2, MSG_WAITALL) != 2) return "";
  size_t len = size_t(head[0]) << 8 | head[1];
  std::string body(len - 2, '\0');
  if (len < 2 || recv(fd, &body[0], body.size(), MSG_WAITALL) != ssize_t(body.size())) return "";
  return body;
}

// True when the peer closed (EOF or reset) within the receive timeout.
bool closed_by_peer(int fd) {
  char c;
  ssize_t n = recv(fd, &c, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

const char kRegister[] = "001700000000f2ff000000000000000801000200800002";
const char kProfile[] = "000e00000000e0ff000000000000";

struct Malformed {
  const char *name;
  const char *bytes;
  const char *report;
  bool half_close;  // end the connection after sending
};

TEST_F(Dectsim, MalformedControlFramesAreRefused) {
  Start();
  const Malformed cases[] = {
      {"length 1", "0001", "frame length 1", false},
      {"length 0", "0000aaaa", "frame length 0", false},
      {"oversized", "ffff00000000e0ff", "oversized frame of 65535 bytes", false},
      {"short body", "000600000000", "control frame body of 4 bytes", false},
      {"unknown command", "000e000000001234000000000000", "unknown control command 0x1234", false},
      {"truncated", "000e0000", "truncated frame at close", true},
  };
  for (const Malformed &m : cases) {
    SCOPED_TRACE(m.name);
    int fd = connect_to(sim.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_hex(fd, m.bytes));
    if (m.half_close) shutdown(fd, SHUT_WR);
    EXPECT_TRUE(closed_by_peer(fd));
    close(fd);
  }
  int fd = connect_to(sim.port);  // still serving
  ASSERT_TRUE(send_hex(fd, kProfile));
  EXPECT_EQ(read_frame(fd).substr(0, 10), unhex("00000000e1ff00000000"));
  close(fd);
  std::string json = Stop();
  EXPECT_EQ(json_int(json, "malformed_frames"), long(std::size(cases)));
  for (const Malformed &m : cases) EXPECT_TRUE(contains(json, m.report)) << m.report << "\n" << json;
}

TEST_F(Dectsim, MalformedApplicationFramesAreRefused) {
  const Malformed cases[] = {
      {"short message", "000604000100", "CAPI message of 4 bytes", false},
      {"length word", "000c0b000100ff8001000000", "CAPI length 11 does not match the frame body of 10", false},
  };
  for (const Malformed &m : cases) {
    SCOPED_TRACE(m.name);
    Start();
    int fd = connect_to(sim.port);
    ASSERT_TRUE(send_hex(fd, kRegister));
    EXPECT_EQ(read_frame(fd), unhex("00000000f3ff00000000"));
    ASSERT_TRUE(send_hex(fd, m.bytes));
    EXPECT_TRUE(closed_by_peer(fd));
    close(fd);
    std::string json = Finish();
    EXPECT_EQ(json_int(json, "malformed_frames"), 1);
    EXPECT_TRUE(contains(json, m.report)) << json;
    EXPECT_EQ(json_str(json, "closed_by"), "simulator");
    sim_cleanup(&sim);
  }
}

TEST_F(Dectsim, OtherCapiCommandsAreViolations) {
  Start();
  int fd = connect_to(sim.port);
  ASSERT_TRUE(send_hex(fd, kRegister));
  EXPECT_EQ(read_frame(fd), unhex("00000000f3ff00000000"));
  ASSERT_TRUE(send_hex(fd, "000a080001000280 0100"));  // CONNECT_REQ header only
  ASSERT_TRUE(send_hex(fd, "001e1c000100ff80010001000000584f4c21000000000f00000003040000"));
  EXPECT_EQ(read_frame(fd).substr(4, 2), unhex("ff81"));  // still served
  close(fd);
  std::string json = Finish();
  EXPECT_EQ(json_array_len(json, "violations"), 1);
  EXPECT_TRUE(contains(json, "unexpected CAPI command 0x02 0x80")) << json;
  EXPECT_EQ(json_int(json, "requests"), 1);
}

TEST_F(Dectsim, RecordViolationsThroughLibcapi20) {
  Start();
  ProcResult r = Client({"register", "raw", "1c000100ff8001000100000041424321000000000f00000003040000",
                         "manu", "2", "2", "03040000", "manu", "7", "2", "03040000", "drain", "200",
                         "release"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string json = Finish();
  EXPECT_EQ(json_int(json, "requests"), 3);
  EXPECT_EQ(json_array_len(json, "violations"), 4) << json;
  for (const char *v : {"request 1: ManuID 0x21434241, expected 0x214c4f58",
                        "request 2: controller 2 changed from 1",
                        "request 3: controller 2 changed from 1",
                        "request 3: message number 7, expected 3"})
    EXPECT_TRUE(contains(json, v)) << v << "\n" << json;
}

TEST_F(Dectsim, ServesTwoApplicationsAtOnce) {
  Start();
  std::string file = WriteFile("image.bin", pattern(2000));
  ProcResult r = Client({"register", "register", "app", "0", "getversion", "1", "app", "1", "update",
                         file, "1", "release", "app", "0", "release"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "getversion data=06040003123456\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "update done chunks=2\n")) << r.out;
  std::string json = Finish();
  EXPECT_EQ(json_int(json, "session_count"), 2);
  EXPECT_EQ(json_int(json, "version_requests"), 1);  // first session
  EXPECT_TRUE(contains(json, "\"data_chunks\": 2,")) << json;
  EXPECT_EQ(read_file(sim.firmware), pattern(2000));
}

TEST_F(Dectsim, InterleavedRawConnections) {
  Start();
  int fds[3];
  for (int &fd : fds) {
    fd = connect_to(sim.port);
    ASSERT_GE(fd, 0);
  }
  for (int fd : fds) ASSERT_TRUE(send_hex(fd, "000e00000000fcff000000000000"));
  for (int i = 2; i >= 0; i--) EXPECT_EQ(read_frame(fds[i]).substr(4, 2), unhex("fdff"));
  for (int fd : fds) close(fd);
  EXPECT_EQ(json_int(Stop(), "connections"), 3);
}

// A slow module must not hold up other connections.
TEST_F(Dectsim, DelayedIndicationsDoNotBlock) {
  Start({"--delay=1500"});
  ProcResult slow;
  std::thread client([&] {
    slow = Client({"register", "manu", "1", "1", "03040000", "wait", "5000", "wait", "100", "wait",
                   "5000", "release"});
  });
  // Wait (bounded) until the request reached the simulator.
  for (int i = 0; i < 500 && read_file(sim.trace).empty(); i++) usleep(10000);
  int fd = connect_to(sim.port);
  struct timeval tv = {1, 0};  // well below the delay
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ASSERT_TRUE(send_hex(fd, "000e00000000faff000000000000"));
  EXPECT_EQ(read_frame(fd).substr(4, 2), unhex("fbff"));
  close(fd);
  client.join();
  EXPECT_TRUE(contains(slow.out, "data=00\ntimeout\nmsg cmd=ff sub=82")) << slow.out;
  Finish();
}

TEST_F(Dectsim, ShutsDownOnSignals) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_GT(sim.pid, 0);  // never signal a process group or every process
    kill(sim.pid, sig);
    std::string json = Finish();
    EXPECT_EQ(json_int(json, "session_count"), 0);
    std::string log = read_file(sim.log);
    EXPECT_TRUE(contains(log, "signal " + std::to_string(sig))) << log;
    EXPECT_TRUE(contains(log, "dectsim summary:")) << log;
    sim_cleanup(&sim);
  }
}

TEST_F(Dectsim, ExitsWhenIdle) {
  Start({"--idle-exit=1"});
  Finish(15000);
  EXPECT_TRUE(contains(read_file(sim.log), "no client activity for 1 s")) << read_file(sim.log);
}

// Runs dectsim itself (never through a client wrapper).
ProcResult run_dectsim(const std::vector<std::string> &args) {
  const char *wrapper = getenv("CORDIX_CLIENT_WRAPPER");
  std::string saved = wrapper ? wrapper : "";
  unsetenv("CORDIX_CLIENT_WRAPPER");
  std::vector<std::string> argv = {DECTSIM_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcResult r = run_client(argv, "/nonexistent", 10000);
  if (wrapper) setenv("CORDIX_CLIENT_WRAPPER", saved.c_str(), 1);
  return r;
}

TEST(DectsimOptions, HelpDocumentsEveryOption) {
  ProcResult r = run_dectsim({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char *o : {"--port=", "-p,", "--port-file=", "--firmware-out=", "-o,", "--json=", "-j,",
                        "--trace=", "--once", "--idle-exit=", "--manufacturer=", "--capi-version=",
                        "--manu-version=", "--serial=", "--profile-error=", "--register-error=",
                        "--version-bytes=", "--fault=", "--delay=", "--quiet", "-q,", "--verbose",
                        "-v,", "--help", "conf-class", "close", "silent", "short-ind", "bad-code",
                        "extra-function", "extra-class", "version-short", "version-overlong", "no-ind"})
    EXPECT_TRUE(contains(r.out, o)) << o;
}

TEST(DectsimOptions, BadOptionsExitTwo) {
  for (const char *bad : {"--fault=bogus@1", "--port=x", "--nope", "stray"}) {
    ProcResult r = run_dectsim({bad});
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_TRUE(contains(r.err, "dectsim")) << bad;
  }
}

}  // namespace
