// SPDX-License-Identifier: MIT
// Tests of the message pump and its execution controls. lnxexec is linked
// on its own against scripted capi20_waitformessage / capi20_get_message and
// a recording state machine defined here. The stop flag is never cleared, so
// every scenario that touches module state runs in a forked child and reports
// back through pipes: each one starts fresh, whatever order the tests run in.
#include "platform/lnxexec.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <capi20.h>
#include <gtest/gtest.h>

#include "update/cordix.h"

// The globals the pump reads; the update engine is not linked.
Config config;
unsigned ApplID;

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned kQueueEmpty = 0x1104;
constexpr unsigned kScriptEnd = 0x1101;  // wait result once the script is used up
constexpr unsigned kAppl = 0x10203;      // wider than 16 bits: passed through whole

// libcapi20 reads $HOME/.capi20rc on its first connecting call; point it at a
// closed loopback port although these tests only use its message codec.
const bool home_set = setenv("HOME", CAPI_TEST_HOME, 1) == 0;

// ---- scripted CAPI ---------------------------------------------------------

// One wake-up: the wait's result, then what capi20_get_message hands out.
struct Step {
  unsigned wait;
  unsigned get;
  Bytes msg;
  bool gate;  // the wait blocks until the test opens the gate
};

// What the state machine does on one call.
struct Reply {
  int result;
  bool stop;
};

std::deque<Step> script;
std::deque<Reply> replies;
Bytes current;              // the message last handed out
bool have_step;
Step step;
unsigned waits, gets, overruns;
bool applid_ok = true, pointer_ok = true;
pthread_t waiter;           // thread of the last wait
int gate_fd = -1;           // read end the gated wait blocks on
std::vector<std::string> calls;

void add(const Step &s, unsigned times = 1) {
  for (unsigned i = 0; i < times; i++) script.push_back(s);
}

}  // namespace

unsigned capi20_waitformessage(unsigned applid, struct timeval *timeout) {
  waits++;
  waiter = pthread_self();
  // Every wait is a short slice, so that a signal ends it promptly.
  if (applid != kAppl || !timeout || timeout->tv_sec != 0 || timeout->tv_usec > 200000)
    applid_ok = false;
  if (script.empty()) {
    overruns++;
    have_step = false;
    return kScriptEnd;
  }
  step = script.front();
  script.pop_front();
  have_step = true;
  if (step.gate) {
    pollfd p{gate_fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return kScriptEnd;
  }
  return step.wait;
}

unsigned capi20_get_message(unsigned applid, unsigned char **buf) {
  gets++;
  if (applid != kAppl) applid_ok = false;
  if (!have_step) return kScriptEnd;
  have_step = false;
  if (step.get != 0) return step.get;
  current = step.msg;
  *buf = current.data();
  return 0;
}

int state_machine(_cmsg *m) {
  if (m != &cmsg) pointer_ok = false;
  char line[160];
  int n = snprintf(line, sizeof line, "%02x/%02x #%u ctrl=%u manu=%x class=%x fn=%u data=",
                   m->Command, m->Subcommand, m->Messagenumber, m->adr.adrController,
                   m->ManuID, m->Class, m->Function);
  if (!m->ManuData) {
    snprintf(line + n, sizeof line - n, "-");
  } else {
    const unsigned char *d = m->ManuData;
    unsigned size = d[0] == 0xFF ? 3 + (d[1] | d[2] << 8) : 1 + d[0];
    for (unsigned i = 0; i < size && i < 8; i++)
      n += snprintf(line + n, sizeof line - n, "%02x", d[i]);
  }
  calls.push_back(line);
  Reply r{0, false};
  if (!replies.empty()) {
    r = replies.front();
    replies.pop_front();
  }
  if (r.stop) stop_exec();
  return r.result;
}

namespace {

// ---- messages --------------------------------------------------------------

// A manufacturer message built by libcapi20's encoder.
Bytes manu(unsigned sub, unsigned cls, unsigned fn, Bytes data, unsigned number = 7) {
  _cmsg c;
  capi_cmsg_header(&c, 0x0203, CAPI_MANUFACTURER, sub, number, 1);
  c.ManuID = 0x214C4F58;
  c.Class = cls;
  c.Function = fn;
  c.ManuData = data.data();
  Bytes m(32 + data.size());
  capi_cmsg2message(&c, m.data());
  m.resize(m[0] | m[1] << 8);
  return m;
}

Bytes indication(unsigned code) { return manu(CAPI_IND, 0, 15, {3, (unsigned char)code, 0, 0}); }

// A raw message of size bytes whose length field says len (it may lie).
Bytes raw(unsigned command, unsigned sub, unsigned len, unsigned size) {
  Bytes m(size < 12 ? 12 : size, 0);
  for (unsigned i = 8; i < m.size(); i++) m[i] = static_cast<unsigned char>(i);
  m[0] = len & 0xFF;
  m[1] = len >> 8;
  m[2] = 0x03;
  m[3] = 0x02;
  m[4] = command;
  m[5] = sub;
  m[6] = 0x11;
  m.resize(size);
  return m;
}

// ---- forked scenarios -------------------------------------------------------

struct Outcome {
  int code = -1;    // exit status, or -1 when killed
  int signal = 0;
  std::string out;  // everything the child wrote to standard output
  std::string report;
};

int report_fd = -1;

void report(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vdprintf(report_fd, fmt, ap);
  va_end(ap);
}

void drain(int fd, std::string &to, bool &open) {
  char chunk[4096];
  ssize_t n = read(fd, chunk, sizeof chunk);
  if (n > 0) to.append(chunk, n);
  else if (n == 0 || errno != EINTR) open = false;
}

// Runs body in a forked child (bounded by alarm) with its standard output on
// a pipe; body reports through report() and returns the exit status.
Outcome run_child(const std::function<int()> &body) {
  Outcome o;
  int out[2], rep[2];
  if (pipe(out) != 0 || pipe(rep) != 0) {
    o.report = "pipe failed";
    return o;
  }
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(10);
    close(out[0]);
    close(rep[0]);
    dup2(out[1], STDOUT_FILENO);
    close(out[1]);
    report_fd = rep[1];
    int code = body();
    fflush(stdout);
    _exit(code);
  }
  close(out[1]);
  close(rep[1]);
  bool out_open = pid > 0, rep_open = pid > 0;
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (out_open || rep_open) {
    pollfd p[2] = {{out_open ? out[0] : -1, POLLIN, 0}, {rep_open ? rep[0] : -1, POLLIN, 0}};
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec > 20) break;
    if (poll(p, 2, 1000) < 0 && errno != EINTR) break;
    if (p[0].revents) drain(out[0], o.out, out_open);
    if (p[1].revents) drain(rep[0], o.report, rep_open);
  }
  close(out[0]);
  close(rep[0]);
  if (pid <= 0) return o;
  if (out_open || rep_open) kill(pid, SIGKILL);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(st)) o.code = WEXITSTATUS(st);
  if (WIFSIGNALED(st)) o.signal = WTERMSIG(st);
  return o;
}

// The counters and calls of a pump run, as the child reports them.
std::string pump_report(int result, unsigned nwaits, unsigned ngets, unsigned noverruns,
                        const std::vector<std::string> &ncalls) {
  std::string s = "result=" + std::to_string(result) + " waits=" + std::to_string(nwaits) +
                  " gets=" + std::to_string(ngets) + " overruns=" + std::to_string(noverruns) +
                  "\n";
  for (const std::string &c : ncalls) s += c + "\n";
  return s;
}

void report_pump(int result) {
  std::string s = pump_report(result, waits, gets, overruns, calls);
  if (!applid_ok) s += "wrong application id or timeout\n";
  if (!pointer_ok) s += "state machine not handed cmsg\n";
  report("%s", s.c_str());
}

const char kIndData[] = "ff/82 #7 ctrl=1 manu=214c4f58 class=0 fn=15 data=03020000";

// ---- pump loop, run in the calling thread -----------------------------------

struct PumpCase {
  const char *name;
  std::function<void()> setup;  // fills script and replies
  bool stop_first;              // stop_exec before start_exec
  int result;
  const char *out;
  unsigned waits, gets, overruns;
  std::vector<std::string> calls;
};

std::vector<PumpCase> pump_cases() {
  const Step msg{0, 0, indication(2), false};
  const Step empty{0, kQueueEmpty, {}, false};
  auto get_error = [msg](unsigned e) {
    return [msg, e] {
      add({0, e, {}, false});
      add(msg);
    };
  };
  return {
      {"stop from the state machine ends the loop without another wait",
       [msg] {
         add(msg, 2);
         replies = {{0, true}};
       },
       false, 0, "", 1, 1, 0, {kIndData}},
      {"stop before the start still waits once", [msg] { add(msg, 2); }, true, 0, "", 1, 0, 0,
       {}},
      {"isolated empty wake-up is nothing to do",
       [msg, empty] {
         add(empty);
         add(msg);
         replies = {{0, true}};
       },
       false, 0, "", 2, 2, 0, {kIndData}},
      {"999 empty wake-ups, a message, 999 more do not end the loop",
       [msg, empty] {
         add(empty, 999);
         add(msg);
         add(empty, 999);
         add(msg);
         replies = {{0, false}, {0, true}};
       },
       false, 0, "", 2000, 2000, 0, {kIndData, kIndData}},
      {"1000 empty wake-ups in a row mean the controller is lost",
       [msg, empty] {
         add(empty, 1000);
         add(msg);
       },
       false, 0, "capi20_get_message: controller lost (queue empty after 1000 wake-ups)\n",
       1000, 1000, 0, {}},
      {"wait error ends quietly",
       [msg] {
         add({0x1101, 0, {}, false});
         add(msg);
       },
       false, 0, "", 1, 0, 0, {}},
      {"get error 0x1101", get_error(0x1101), false, 0, "capi20_get_message: error 0x1101\n",
       1, 1, 0, {}},
      {"get error 0x110A in upper case", get_error(0x110A), false, 0,
       "capi20_get_message: error 0x110A\n", 1, 1, 0, {}},
      {"queue overflow", get_error(0x1105), false, 0,
       "capi20_get_message: error 0x1105\ncapi queue overflow\n", 1, 1, 0, {}},
      {"state machine error 1",
       [msg] {
         add(msg, 2);
         replies = {{1, false}};
       },
       false, 1, "Fehler(0x0001) in der Statemachine\n", 1, 1, 0, {kIndData}},
      {"state machine error 0xabc in lower case",
       [msg] {
         add(msg, 2);
         replies = {{0xabc, false}};
       },
       false, 0xabc, "Fehler(0x0abc) in der Statemachine\n", 1, 1, 0, {kIndData}},
      {"state machine error wins over its stop",
       [msg] {
         add(msg, 2);
         replies = {{0x1108, true}};
       },
       false, 0x1108, "Fehler(0x1108) in der Statemachine\n", 1, 1, 0, {kIndData}},
      {"malformed messages are skipped",
       [msg] {
         add({0, 0, raw(0xFF, 0x82, 7, 7), false});
         add({0, 0, raw(0xFF, 0x82, 0, 2), false});
         add(msg);
         replies = {{0, true}};
       },
       false, 0,
       "capi20_get_message: malformed message ignored\n"
       "capi20_get_message: malformed message ignored\n",
       3, 3, 0, {kIndData}},
      {"decoded records reach the state machine",
       [] {
         add({0, 0, raw(0x02, 0x82, 12, 12), false});
         add({0, 0, manu(CAPI_CONF, 3, 15, {0}, 9), false});
         add({0, 0, raw(0xFF, 0x82, 24, 24), false});
         add({0, 0, manu(CAPI_IND, 0, 15, {0xFF, 3, 0, 4, 0, 0}, 0xFFFF), false});
       },
       false, 0, "", 5, 4, 1,
       {"02/82 #17 ctrl=185207048 manu=0 class=0 fn=0 data=-",
        "ff/81 #9 ctrl=1 manu=214c4f58 class=3 fn=15 data=00",
        "ff/82 #17 ctrl=185207048 manu=0 class=0 fn=0 data=-",
        "ff/82 #65535 ctrl=1 manu=214c4f58 class=0 fn=15 data=ff0300040000"}},
  };
}

TEST(Pump, RunsInTheCallingThread) {
  for (const PumpCase &c : pump_cases()) {
    SCOPED_TRACE(c.name);
    Outcome o = run_child([&c] {
      c.setup();
      config.background = 1;
      if (c.stop_first) stop_exec();
      int r = start_exec(kAppl);
      if (!pthread_equal(waiter, pthread_self())) report("pump ran in another thread\n");
      report_pump(r);
      return 0;
    });
    EXPECT_EQ(o.code, 0) << "signal " << o.signal;
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.report, pump_report(c.result, c.waits, c.gets, c.overruns, c.calls));
  }
}

// ---- pump loop in its own thread --------------------------------------------

// Opens a gate that the first scripted wait blocks on.
int open_gate_pipe(int fds[2]) {
  if (pipe(fds) != 0) return -1;
  gate_fd = fds[0];
  return 0;
}

TEST(Pump, ThreadStartReturnsAtOnceAndWaitYieldsResult) {
  Outcome o = run_child([] {
    int gate[2];
    if (open_gate_pipe(gate) != 0) return 1;
    add({0, 0, indication(2), true});
    add({0, 0, indication(2), false});
    replies = {{0x77, false}};
    config.background = 0;
    int r = start_exec(kAppl);
    // The pump is held in its first wait: start_exec did not run the loop.
    report("start=%d calls=%zu\n", r, calls.size());
    if (write(gate[1], "g", 1) != 1) return 1;
    int w = wait_exec();
    report("wait=%#x again=%d own_thread=%d\n", w, wait_exec(),
           !pthread_equal(waiter, pthread_self()));
    report_pump(w);
    return 0;
  });
  EXPECT_EQ(o.code, 0) << "signal " << o.signal;
  EXPECT_EQ(o.out, "Fehler(0x0077) in der Statemachine\n");
  EXPECT_EQ(o.report, "start=0 calls=0\nwait=0x77 again=0 own_thread=1\n" +
                          pump_report(0x77, 1, 1, 0, {kIndData}));
}

TEST(Pump, StopFromAnotherThreadEndsTheThreadAfterItsWait) {
  Outcome o = run_child([] {
    int gate[2];
    if (open_gate_pipe(gate) != 0) return 1;
    add({0, 0, indication(2), true});
    add({0, 0, indication(2), false});
    config.background = 0;
    int r = start_exec(kAppl);
    stop_exec();
    if (write(gate[1], "g", 1) != 1) return 1;
    report("start=%d wait=%d\n", r, wait_exec());
    report_pump(0);
    return 0;
  });
  EXPECT_EQ(o.code, 0) << "signal " << o.signal;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.report, "start=0 wait=0\n" + pump_report(0, 1, 0, 0, {}));
}

TEST(Pump, CallingThreadStartReturnsWhenTheLoopEnds) {
  Outcome o = run_child([] {
    add({0, kQueueEmpty, {}, false});
    add({0, 0, indication(2), false});
    add({0, 0, indication(2), false});
    replies = {{0, false}, {0x42, false}};
    config.background = 1;
    int r = start_exec(kAppl);
    report("start=%#x left=%zu wait=%d\n", r, script.size(), wait_exec());
    return 0;
  });
  EXPECT_EQ(o.code, 0) << "signal " << o.signal;
  EXPECT_EQ(o.out, "Fehler(0x0042) in der Statemachine\n");
  EXPECT_EQ(o.report, "start=0x42 left=0 wait=0\n");
}

TEST(Pump, WaitWithoutThreadReturnsZero) {
  Outcome o = run_child([] {
    report("wait=%d waits=%u\n", wait_exec(), waits);
    return 0;
  });
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.report, "wait=0 waits=0\n");
}

// ---- decode_message ---------------------------------------------------------

// A record full of garbage, so that fields a decoder leaves alone show up.
_cmsg dirty() {
  _cmsg c;
  memset(&c, 0xA5, sizeof c);
  return c;
}

void expect_header_only(const Bytes &m, const _cmsg &c) {
  EXPECT_EQ(c.ApplId, m[2] | m[3] << 8);
  EXPECT_EQ(c.Command, m[4]);
  EXPECT_EQ(c.Subcommand, m[5]);
  EXPECT_EQ(c.Messagenumber, m[6] | m[7] << 8);
  uint32_t ctrl = 0;
  if (m.size() >= 12) memcpy(&ctrl, m.data() + 8, 4);
  EXPECT_EQ(c.adr.adrController, ctrl);
  EXPECT_EQ(c.ManuID, 0u);
  EXPECT_EQ(c.Class, 0u);
  EXPECT_EQ(c.Function, 0u);
  EXPECT_EQ(c.ManuData, nullptr);
  EXPECT_EQ(c.m, m.data());
  EXPECT_EQ(c.l, m.size());
}

TEST(Decode, ManufacturerMessagesInFull) {
  struct Case {
    unsigned sub;
    Bytes data;
  };
  const Case cases[] = {
      {CAPI_IND, {3, 1, 0, 0}},
      {CAPI_IND, {6, 4, 0, 3, 0x12, 0x34, 0x56}},
      {CAPI_CONF, {0}},
      {CAPI_REQ, {1, 9}},
      {CAPI_RESP, {0}},
      {CAPI_IND, {0xFF, 3, 0, 2, 0, 0}},
  };
  for (const Case &k : cases) {
    Bytes m = manu(k.sub, 0x01020304, 15, k.data, 0x4321);
    SCOPED_TRACE(testing::Message() << "sub " << k.sub << " size " << m.size());
    _cmsg c = dirty();
    ASSERT_EQ(decode_message(m.data(), m.size(), &c), 0);
    EXPECT_EQ(c.ApplId, 0x0203);
    EXPECT_EQ(c.Command, CAPI_MANUFACTURER);
    EXPECT_EQ(c.Subcommand, k.sub);
    EXPECT_EQ(c.Messagenumber, 0x4321);
    EXPECT_EQ(c.adr.adrController, 1u);
    EXPECT_EQ(c.ManuID, 0x214C4F58u);
    EXPECT_EQ(c.Class, 0x01020304u);
    EXPECT_EQ(c.Function, 15u);
    ASSERT_EQ(c.ManuData, m.data() + 24);
    EXPECT_EQ(Bytes(c.ManuData, c.ManuData + k.data.size()), k.data);
    EXPECT_EQ(c.m, m.data());
    EXPECT_EQ(c.l, m.size());
  }
}

TEST(Decode, HeaderOnlyForOtherAndTruncatedMessages) {
  Bytes good = manu(CAPI_IND, 0, 15, {0xFF, 3, 0, 2, 0, 0});
  auto cut = [&good](unsigned len) {
    Bytes m(good.begin(), good.begin() + len);
    m[0] = len;
    return m;
  };
  Bytes short_form = manu(CAPI_IND, 0, 15, {3, 1, 0, 0});
  Bytes past_prefix(short_form.begin(), short_form.begin() + 25);
  past_prefix[0] = 25;
  past_prefix[24] = 0xFE;  // a struct of 254 bytes: prefix inside, content not
  struct Case {
    const char *name;
    Bytes msg;
    bool whole;
  };
  const Case cases[] = {
      {"connect indication", raw(0x02, 0x82, 40, 40), false},
      {"unknown command", raw(0x77, 0x82, 30, 30), false},
      {"manufacturer, unknown subcommand", raw(0xFF, 0x84, 30, 30), false},
      {"header alone", raw(0xFF, 0x82, 8, 8), false},
      {"header and part of the controller", raw(0xFF, 0x82, 11, 11), false},
      {"fixed parameters cut", cut(20), false},
      {"no data struct", cut(24), false},
      {"long form, length cut", cut(25), false},
      {"long form, length half there", cut(26), false},
      {"long form, prefix inside", cut(27), true},
      {"short prefix inside, content outside", past_prefix, true},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    _cmsg c = dirty();
    ASSERT_EQ(decode_message(const_cast<unsigned char *>(k.msg.data()), k.msg.size(), &c), 0);
    if (!k.whole) {
      expect_header_only(k.msg, c);
      continue;
    }
    EXPECT_EQ(c.Function, 15u);
    EXPECT_EQ(c.ManuData, k.msg.data() + 24);
    EXPECT_EQ(c.l, k.msg.size());
  }
}

TEST(Decode, RefusesMessagesThatDoNotFit) {
  struct Case {
    const char *name;
    Bytes msg;
    unsigned avail;
  };
  Bytes ind = indication(1);
  const Case cases[] = {
      {"length 7", raw(0xFF, 0x82, 7, 8), 8},
      {"length 0", raw(0xFF, 0x82, 0, 8), 8},
      {"less than a header readable", raw(0xFF, 0x82, 8, 7), 7},
      {"nothing readable", raw(0xFF, 0x82, 8, 0), 0},
      {"longer than readable", ind, static_cast<unsigned>(ind.size() - 1)},
      {"length 0xFFFF", raw(0xFF, 0x82, 0xFFFF, 64), 64},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    Bytes m = k.msg;
    _cmsg c = dirty();
    EXPECT_EQ(decode_message(m.data(), k.avail, &c), 1);
  }
  _cmsg c = dirty();
  EXPECT_EQ(decode_message(ind.data(), ind.size(), &c), 0) << "exact fit";
}

// ---- init_exec, terminal modes, main_loop -----------------------------------

// Makes a pseudo-terminal slave standard input; returns the master or -1.
int pty_as_stdin() {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (slave < 0 || dup2(slave, STDIN_FILENO) < 0) return -1;
  close(slave);
  return master;
}

// Differences between two terminal settings, VMIN and the flags in lflag_mask
// excepted; empty when equal.
std::string tty_diff(const termios &a, const termios &b, tcflag_t lflag_mask) {
  std::string d;
  if (a.c_iflag != b.c_iflag) d += " iflag";
  if (a.c_oflag != b.c_oflag) d += " oflag";
  if (a.c_cflag != b.c_cflag) d += " cflag";
  if ((a.c_lflag & ~lflag_mask) != (b.c_lflag & ~lflag_mask)) d += " lflag";
  for (int i = 0; i < NCCS; i++)
    if (i != VMIN && a.c_cc[i] != b.c_cc[i]) d += " cc" + std::to_string(i);
  return d.empty() ? "none" : d;
}

TEST(Terminal, InitWithoutBackgroundSetsSingleKeyModeAndCookmodeRestores) {
  Outcome o = run_child([] {
    if (pty_as_stdin() < 0) return 2;
    termios before;
    tcgetattr(STDIN_FILENO, &before);
    before.c_lflag |= ISIG | ICANON | ECHO | ECHOE | IEXTEN;
    before.c_cc[VMIN] = 4;
    tcsetattr(STDIN_FILENO, TCSANOW, &before);
    tcgetattr(STDIN_FILENO, &before);
    config.background = 0;
    int r = init_exec();
    termios raw_tty;
    tcgetattr(STDIN_FILENO, &raw_tty);
    const tcflag_t keys = ISIG | ICANON | ECHO;
    report("init=%d cleared=%d vmin=%d other=%s\n", r, (raw_tty.c_lflag & keys) == 0,
           raw_tty.c_cc[VMIN], tty_diff(before, raw_tty, keys).c_str());
    printf("pending");  // cookmode must flush it: the child ends without a flush
    int c = cookmode();
    termios after;
    tcgetattr(STDIN_FILENO, &after);
    report("cook=%d restored=%d changed=%s\n", c, after.c_cc[VMIN] == before.c_cc[VMIN],
           tty_diff(before, after, 0).c_str());
    _exit(0);
  });
  EXPECT_EQ(o.code, 0) << "signal " << o.signal;
  EXPECT_EQ(o.out, "pending");
  EXPECT_EQ(o.report, "init=0 cleared=1 vmin=1 other=none\ncook=0 restored=1 changed=none\n");
}

TEST(Terminal, MainLoopReadsOneCharacter) {
  Outcome o = run_child([] {
    int p[2];
    if (pipe(p) != 0 || write(p[1], "xy", 2) != 2) return 2;
    close(p[1]);
    dup2(p[0], STDIN_FILENO);
    int r = main_loop();
    int next = getchar();
    report("main_loop=%d next=%c\n", r, next);
    return 0;
  });
  EXPECT_EQ(o.code, 0) << "signal " << o.signal;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.report, "main_loop=0 next=y\n");
}

// Background start in a private mount namespace with a fresh tmpfs where
// /var/run leads, so the machine's pid files are never touched. The child
// prints "before " ahead of the fork; the forked process flushes and ends at
// once. Reports "skip: why" when the namespace cannot be had.
Outcome background_start(bool read_only) {
  return run_child([read_only] {
    if (geteuid() != 0) {
      report("skip: needs root for a mount namespace\n");
      return 0;
    }
    char dir[PATH_MAX];
    struct stat st;
    if (lstat("/var/run", &st) != 0 || !realpath("/var/run", dir)) {
      report("skip: no /var/run\n");
      return 0;
    }
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir, "tmpfs", read_only ? MS_RDONLY : 0, "size=64k") != 0) {
      report("skip: mount namespace: %s\n", strerror(errno));
      return 0;
    }
    if (pty_as_stdin() < 0) return 2;
    config.background = 1;
    printf("before ");
    pid_t me = getpid();
    int r = init_exec();
    if (getpid() != me) {
      fflush(stdout);
      _exit(r == 0 ? 0 : 3);
    }
    int status = -1;
    pid_t child = waitpid(-1, &status, 0);
    termios t;
    tcgetattr(STDIN_FILENO, &t);
    std::string want = std::to_string(child), got = "<none>";
    if (FILE *f = fopen((std::string(dir) + "/mtrail.pid").c_str(), "rb")) {
      char b[64];
      got.assign(b, fread(b, 1, sizeof b, f));
      fclose(f);
    }
    report("init=%d forked_ok=%d raw=%d pidfile=%s\n", r,
           WIFEXITED(status) && WEXITSTATUS(status) == 0, (t.c_lflag & ICANON) == 0,
           got == want ? "child pid" : got.c_str());
    return 0;
  });
}

TEST(Background, ParentWritesChildPid) {
  Outcome o = background_start(false);
  if (o.report.rfind("skip:", 0) == 0) GTEST_SKIP() << o.report;
  EXPECT_EQ(o.code, 0) << "signal " << o.signal;
  EXPECT_EQ(o.out, "before ");
  EXPECT_EQ(o.report, "init=1 forked_ok=1 raw=1 pidfile=child pid\n");
}

TEST(Background, UnwritablePidFileIsReportedAndNotWritten) {
  Outcome o = background_start(true);
  if (o.report.rfind("skip:", 0) == 0) GTEST_SKIP() << o.report;
  EXPECT_EQ(o.code, 0) << "signal " << o.signal;
  EXPECT_EQ(o.out, std::string("before /var/run/mtrail.pid: ") + strerror(EROFS) + "\n");
  EXPECT_EQ(o.report, "init=1 forked_ok=1 raw=1 pidfile=<none>\n");
}

TEST(Environment, HomeIsSet) { EXPECT_TRUE(home_set); }

}  // namespace
