// SPDX-License-Identifier: MIT
// The message pump: its wake-up and stop cases, and what it hands the state
// machine; the terminal modes and the background start; the access layer's
// own answers. The CAPI calls used and state_machine are test doubles
// defined here; libcapi20 only encodes and decodes. The stop flag is never
// cleared, so every case runs in a child process of its own.
#include <capi20.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/lnxcapi.h"
#include "platform/lnxexec.h"
#include "platform/lnxlock.h"
#include "update/cordix.h"

Config config;
unsigned ApplID;

namespace {

using Bytes = std::vector<unsigned char>;
constexpr unsigned kAppl = 0x10203;  // wider than 16 bits: passed on whole

struct Step {
  unsigned wait, get;  // results of the wait and of the fetch
  Bytes msg;
};
std::deque<Step> script;
std::deque<int> replies;  // state machine results; +0x10000: also stop
Bytes current;
std::string calls;  // one line per state machine call
unsigned waits, gets;
int gate = -1;  // when set, the first wait blocks until it is readable

}  // namespace

unsigned capi20_waitformessage(unsigned applid, struct timeval *timeout) {
  char g;
  if (waits++ == 0 && gate >= 0 && read(gate, &g, 1) != 1) return 0x1101;
  // Every wait is a short slice, so that a signal ends it promptly.
  if (script.empty() || applid != kAppl || !timeout || timeout->tv_sec || timeout->tv_usec > 200000) return 0x1101;
  return script.front().wait;
}

unsigned capi20_get_message(unsigned applid, unsigned char **buf) {
  gets++;
  Step s = script.front();
  script.pop_front();
  current = s.msg;
  *buf = current.data();
  return applid == kAppl ? s.get : 0x1101;
}

unsigned capi20_isinstalled() { return 0; }

// Answers buf + controller.
unsigned char *capi20_get_serial_number(unsigned controller, unsigned char *buf) { return buf + controller; }

int state_machine(_cmsg *m) {
  char line[120];
  snprintf(line, sizeof line, "%02x/%02x a%x #%u c%u %x %u/%u %s ", m->Command, m->Subcommand, m->ApplId,
           m->Messagenumber, unsigned(m->adr.adrController), unsigned(m->ManuID),
           unsigned(m->Class), unsigned(m->Function), m == &cmsg ? "" : "(copy)");
  calls += line;
  for (int i = 0; m->ManuData && i < 1 + m->ManuData[0] && i < 6; i++)
    calls += std::to_string(m->ManuData[i]) + ",";
  calls += "\n";
  int r = replies.empty() ? 0 : replies.front();
  if (!replies.empty()) replies.pop_front();
  if (r & 0x10000) stop_exec();
  return r & 0xFFFF;
}

namespace {

// A manufacturer message encoded by libcapi20.
Bytes manu(unsigned sub, unsigned cls, Bytes data, unsigned number = 7) {
  _cmsg c;
  capi_cmsg_header(&c, 0x0203, 0xFF, sub, number, 1);
  c.ManuID = 0x214C4F58;
  c.Class = cls;
  c.Function = 15;
  c.ManuData = data.data();
  Bytes m(32 + data.size());
  capi_cmsg2message(&c, m.data());
  m.resize(m[0] | m[1] << 8);
  return m;
}

// A raw message of size bytes whose length field says len.
Bytes raw(unsigned command, unsigned sub, unsigned len, unsigned size) {
  Bytes m(size > 12 ? size : 12, 9);
  m[0] = len & 0xFF, m[1] = len >> 8, m[4] = command, m[5] = sub;
  m.resize(size);
  return m;
}

const Step kInd = {0, 0, manu(0x82, 0, {3, 2, 0, 0})};
const Step kEmpty = {0, 0x1104, {}};
const char kIndCall[] = "ff/82 a203 #7 c1 214c4f58 0/15  3,2,0,0,\n";

struct Case {
  const char *name;
  std::vector<Step> script;
  std::deque<int> replies;
  bool stop_first;
  int result;
  std::string out, calls;
  unsigned waits, gets;
};

std::vector<Case> cases() {
  std::vector<Step> empties(999, kEmpty);
  std::vector<Step> lost(1000, kEmpty), slow = empties;
  lost.push_back(kInd);
  Bytes cut = raw(0xFF, 0x82, 26, 26);  // a long-form ManuData cut short
  cut[24] = 0xFF;
  slow.push_back(kInd);
  slow.insert(slow.end(), empties.begin(), empties.end());
  slow.push_back(kInd);
  return {
      {"stop before the start: one wait", {kInd}, {}, true, 0, "", "", 1, 0},
      {"999 empty wake-ups twice", slow, {0, 0x10000}, false, 0, "", std::string(kIndCall) + kIndCall, 2000, 2000},
      {"wait error: quiet end", {{0x1101, 0, {}}, kInd}, {}, false, 0, "", "", 1, 0},
      {"get error", {{0, 0x110A, {}}, kInd}, {}, false, 0, "capi20_get_message: error 0x110A\n", "", 1, 1},
      {"1000 empty wake-ups: lost", lost, {}, false, 0,
       "capi20_get_message: controller lost (queue empty after 1000 wake-ups)\n", "", 1000, 1000},
      {"queue overflow", {{0, 0x1105, {}}, kInd}, {}, false, 0,
       "capi20_get_message: error 0x1105\ncapi queue overflow\n", "", 1, 1},
      {"error wins over stop", {kInd}, {0x10abc}, false, 0xabc, "Fehler(0x0abc) in der Statemachine\n",
       kIndCall, 1, 1},
      {"malformed messages skipped",
       {{0, 0, raw(0xFF, 0x82, 7, 7)}, {0, 0, raw(0xFF, 0x82, 0, 2)}, kInd}, {0x10000}, false, 0,
       "capi20_get_message: malformed message ignored\ncapi20_get_message: malformed message ignored\n",
       kIndCall, 3, 3},
      {"decoded in full or header only",
       {{0, 0, raw(0x02, 0x82, 8, 12)}, {0, 0, raw(0x02, 0x82, 12, 12)}, {0, 0, manu(0x81, 3, {0}, 9)}, {0, 0, raw(0xFF, 0x82, 24, 24)},
        {0, 0, cut}, {0, 0, manu(0x82, 0, {0xFF, 3, 0, 4, 0, 0}, 0xFFFF)}, {0, 0, manu(0x84, 0, {3, 2, 0, 0})}},
       {}, false, 0, "",
       "02/82 a909 #2313 c0 0 0/0  \n02/82 a909 #2313 c151587081 0 0/0  \nff/81 a203 #9 c1 214c4f58 3/15  0,\n"
       "ff/82 a909 #2313 c151587081 0 0/0  \nff/82 a909 #2313 c151587081 0 0/0  \n"
       "ff/82 a203 #65535 c1 214c4f58 0/15  255,3,0,4,0,0,\nff/84 a203 #7 c1 0 0/0  \n",
       8, 7},
  };
}

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

// One case in the calling thread; its exit status tells whether it held.
int run_case(const Case &c) {
  script.assign(c.script.begin(), c.script.end());
  replies = c.replies;
  if (c.stop_first) stop_exec();
  config.background = 1;
  testing::internal::CaptureStdout();
  int r = start_exec(kAppl);
  std::string out = testing::internal::GetCapturedStdout();
  fprintf(stderr, "result %d out [%s] calls [%s] waits %u gets %u", r, out.c_str(), calls.c_str(), waits,
          gets);
  return r == c.result && out == c.out && calls == c.calls && waits == c.waits && gets == c.gets ? 0 : 1;
}

// In a thread of its own: start_exec returns at once, wait_exec hands over
// the result; a stop from the caller ends the pump after its wait.
int run_thread() {
  int fds[2];
  if (pipe(fds) != 0) return 2;
  gate = fds[0];
  script = {kInd, kInd};
  replies = {0x77};
  int r = start_exec(kAppl);  // config.background is 0
  bool held = calls.empty();
  if (write(fds[1], "g", 1) != 1) return 3;
  int result = wait_exec(), again = wait_exec();
  waits = 0;
  script = {kInd, kInd};
  start_exec(kAppl);
  if (stop_exec() != 1) return 4;
  if (write(fds[1], "g", 1) != 1) return 3;
  return r == 0 && held && result == 0x77 && again == 0 && wait_exec() == 0 && script.size() == 2 ? 0 : 1;
}

class Pump : public testing::TestWithParam<Case> {};

TEST_P(Pump, InTheCallingThread) { EXPECT_EXIT(exit(run_case(GetParam())), testing::ExitedWithCode(0), ""); }

INSTANTIATE_TEST_SUITE_P(Cases, Pump, testing::ValuesIn(cases()));

TEST(Pump, DecodeRefusesWhatIsNotThereAccessPassesOn) {
  Bytes m = manu(0x82, 0, {3, 2, 0, 0});
  _cmsg c;
  EXPECT_EQ(decode_message(m.data(), unsigned(m.size() - 1), &c), 1);
  EXPECT_EQ(decode_message(m.data(), 7, &c), 1);
  EXPECT_EQ(decode_message(m.data(), unsigned(m.size()), &c), 0);
  EXPECT_TRUE(capi_is_installed() == 1 && capi_get_serial_number(m.data()) == m.data());  // of controller 0
}

// Whether standard input hands over single keys, without echo or signals.
bool single_keys() {
  termios t;
  return tcgetattr(0, &t) == 0 && !(t.c_lflag & (ICANON | ECHO | ISIG)) && t.c_cc[VMIN] == 1;
}

// A pseudo-terminal as standard input and output, and a /var/run of this
// process's own. Without background, init_exec makes the terminal hand over
// single keys, so main_loop takes one key alone; cookmode shows what was
// printed and gives back the settings. The background start takes the
// terminal into single-key mode again and writes the child's pid; a pid file
// it cannot create is reported and not written.
int terminal_and_background() {
  alarm(10);  // a terminal still in line mode would hold main_loop for ever
  int master = posix_openpt(O_RDWR | O_NOCTTY), st;
  termios before, after;
  char out[4];
  if (master < 0 || grantpt(master) || unlockpt(master) || dup2(open(ptsname(master), O_RDWR | O_NOCTTY), 0) ||
      dup2(0, 1) != 1 || tcgetattr(0, &before) || unshare(CLONE_NEWNS) ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) || mount("tmpfs", "/var/run", "tmpfs", 0, nullptr))
    return 2;
  init_exec();
  bool raw = single_keys() && (before.c_lflag & ICANON);
  if (write(master, "kq", 2) != 2 || main_loop() != 0 || getchar() != 'q') return 3;
  printf("x");  // after the reads: reading the terminal flushes what is printed
  pollfd p = {master, POLLIN, 0};
  bool cooked = cookmode() == 0 && tcgetattr(0, &after) == 0 && after.c_lflag == before.c_lflag;
  bool shown = poll(&p, 1, 2000) == 1 && read(master, out, sizeof out) == 1 && out[0] == 'x';
  config.background = 1;
  mkdir("/var/run/mtrail.pid", 0700);
  testing::internal::CaptureStdout();
  int first = init_exec();
  if (first == 0) _exit(0);  // the child
  wait(&st);
  bool reported = testing::internal::GetCapturedStdout() == "/var/run/mtrail.pid: Is a directory\n" && single_keys();
  rmdir("/var/run/mtrail.pid");
  int r = init_exec();
  if (r == 0) _exit(0);
  unsigned child = unsigned(wait(&st)), pid = 0;
  FILE *f = fopen("/var/run/mtrail.pid", "r");
  bool written = r == 1 && f && fscanf(f, "%u", &pid) == 1 && pid == child;
  return raw && cooked && shown && first == 1 && reported && written ? 0 : 1;
}

TEST(Pump, TerminalModesAndBackgroundStart) {
  EXPECT_EXIT(exit(terminal_and_background()), testing::ExitedWithCode(0), "");
}

TEST(Pump, InAThreadOfItsOwn) { EXPECT_EXIT(exit(run_thread()), testing::ExitedWithCode(0), ""); }

// The controller's lock, in a /run of this process's own after plant ran:
// a link, file or FIFO planted there is refused, and a second holder is
// named ("PID": this process's id).
int lock_case(const char *plant, std::string want) {
  if (unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
      mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") || system(plant) != 0)
    return 2;
  if (want.rfind("nobody:", 0) == 0 && (want.erase(0, 7), setgid(65534) || setuid(65534))) return 2;
  if (want.find("PID") != std::string::npos) want.replace(want.find("PID"), 3, std::to_string(getpid()));
  setenv("XDG_RUNTIME_DIR", "/run/user", 1);  // root never goes there
  testing::internal::CaptureStdout();
  int r = lock_controller(1) + fflush(stdout), st = -1;
  if (r == 0 && fork() == 0) _exit(lock_controller(1) + fflush(stdout));
  if (r == 0) wait(&st);
  struct stat lk = {};
  stat("/run/cordix/controller-1.lock", &lk);
  std::string out = testing::internal::GetCapturedStdout() + (r ? "" : std::to_string(lk.st_mode & 0777));
  return out == want && st == (r == 0 ? 1 << 8 : -1) && r == (want.find("in use") == std::string::npos) ? 0 : 1;
}

TEST(Pump, ControllerLock) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (a /run of its own)";
  const std::string no = "cannot lock controller 1: /run/cordix";
  const std::pair<const char *, std::string> cases[] = {
      {"true", "controller 1 in use by process PID\n420"},  // 0644; in a folder its group may write, 0664
      {"umask 0 && mkdir -m 2775 /run/cordix", "controller 1 in use by process PID\n436"},
      {"mkdir -m 2770 /run/cordix && chgrp 65534 /run/cordix", "nobody:controller 1 in use by process PID\n436"},
      {"mkdir /run/cordix && chown 65534 /run/cordix", no + ": owned by another user\n"},
      {"mkdir /run/d && ln -s /run/d /run/cordix", no + ": a symbolic link\n"},
      {"touch /run/cordix", no + ": Not a directory\n"},
      {"mkdir -m 777 /run/cordix", no + ": writable by everyone\n"},
      {"mkdir /run/cordix && ln -s /run/x /run/cordix/controller-1.lock", no + "/controller-1.lock: Too many levels of symbolic links\n"},
      {"mkdir /run/cordix && mkfifo /run/cordix/controller-1.lock", no + "/controller-1.lock: not a regular file\n"}};
  for (const auto &c : cases) EXPECT_EXIT(exit(lock_case(c.first, c.second)), testing::ExitedWithCode(0), "") << c.first;
}

}  // namespace
