// SPDX-License-Identifier: MIT
// Message pump for the tool's CAPI application, its start and stop
// controls, a background start with a pid file and single-key terminal mode.
#include "platform/lnxexec.h"

#include <pthread.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <capi20.h>

#include "platform/capiwire.h"
#include "update/engine.h"

_cmsg cmsg;

namespace {

constexpr unsigned kQueueEmpty = 0x1104;
constexpr unsigned kQueueOverflow = 0x1105;
// A wait that keeps reporting a message while the queue stays empty means the
// connection to the controller is gone (libcapi20's remote driver does so
// once its socket has been closed); a single empty wake-up is harmless.
constexpr unsigned kLostAfter = 1000;
// Offsets in a CAPI message: the header (length, ApplId, command,
// subcommand, number), the controller, and a manufacturer message's data
// after its ManuID, Class and Function.
constexpr unsigned kApplIdAt = 2, kCommandAt = 4, kSubcommandAt = 5, kNumberAt = 6;
constexpr unsigned kHeaderLen = 8, kControllerAt = 8, kManuDataAt = 24;
const char kPidFile[] = "/var/run/mtrail.pid";
// A wait lasts at most this long, so that a caught signal ends it promptly
// even when it arrived just before the wait began.
constexpr long kSliceUs = 100000;
constexpr unsigned kWaitStopped = 0xFFFF;  // no CAPI code: the pump is to end
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<int> thread_exit{0};
volatile sig_atomic_t caught_signal;
// In a guarded call (guard_calls), a stop signal or the timer ends the
// process with these statuses; -1: not guarded.
volatile sig_atomic_t guard_stop = -1, guard_silent = -1;
char silent_line[64];
size_t silent_len;
pthread_t thread;
bool thread_started;
int thread_result;
termios term_orig, term_vi;

// Fills only the header fields of out from msg.
void decode_header(unsigned char *msg, unsigned len, _cmsg *out) {
  memset(out, 0, sizeof *out);
  out->ApplId = get16(msg + kApplIdAt);
  out->Command = msg[kCommandAt];
  out->Subcommand = msg[kSubcommandAt];
  out->Messagenumber = get16(msg + kNumberAt);
  if (len >= kControllerAt + 4) memcpy(&out->adr.adrController, msg + kControllerAt, 4);
  out->m = msg;
  out->l = len;
}

bool has_manufacturer_command(const unsigned char *msg) {
  unsigned sub = msg[kSubcommandAt];
  return msg[kCommandAt] == CAPI_MANUFACTURER && sub >= CAPI_REQ && sub <= CAPI_RESP;
}

// Decodes one received message and hands it to the state machine.
int handle_message(unsigned char *msg) {
  if (decode_message(msg, get16(msg), &cmsg) != 0) {
    printf("capi20_get_message: malformed message ignored\n");
    return 0;
  }
  int r = state_machine(&cmsg);
  if (r != 0) printf("Fehler(0x%04x) in der Statemachine\n", r);
  return r;
}

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void write_out(const char *text, size_t len) {
  while (len > 0) {
    ssize_t n = write(STDOUT_FILENO, text, len);
    if (n <= 0 && errno != EINTR) return;
    if (n > 0) text += n, len -= size_t(n);
  }
}

// In a guarded call the first stop signal ends the process here: a blocking
// receive inside libcapi20 is restarted and would never see a flag. Outside
// one it is noted for the pump; a second one ends the process at once.
void on_stop_signal(int sig) {
  if (guard_stop >= 0) {
    char line[] = "stopped by signal 00\n";
    char *end = line + sizeof line - 4;
    if (sig >= 10) *end++ = char('0' + sig / 10 % 10);
    *end++ = char('0' + sig % 10);
    *end++ = '\n';
    write_out(line, size_t(end - line));
    _exit(guard_stop);
  }
  caught_signal = sig;
  for (int s : kStopSignals) signal(s, SIG_DFL);
}

void on_alarm(int) {
  if (guard_silent < 0) return;
  write_out(silent_line, silent_len);
  _exit(guard_silent);
}

// Waits for the next message in short slices. Returns the result of
// capi20_waitformessage, or kWaitStopped after a signal or when config.timeout
// seconds passed without a message.
unsigned wait_message(unsigned applid) {
  long long deadline = now_ms() + config.timeout * 1000LL;
  for (;;) {
    if (caught_signal) return kWaitStopped;
    timeval slice = {0, kSliceUs};
    unsigned e = capi20_waitformessage(applid, &slice);
    if (e != kQueueEmpty) return e;
    if (config.timeout && now_ms() >= deadline) {
      printf("capi20_waitformessage: no message within %u s\n", config.timeout);
      return kWaitStopped;
    }
  }
}

// The pump: waits for messages of applid and feeds them to the state
// machine until a stop is requested, the state machine fails or CAPI
// reports an error.
int capi_thread(unsigned applid) {
  unsigned empty = 0;
  for (;;) {
    fflush(stdout);  // what was printed is in the log before the wait
    if (wait_message(applid) != 0) return 0;
    if (thread_exit) return 0;
    unsigned char *msg = nullptr;
    unsigned e = capi20_get_message(applid, &msg);
    if (e == 0) {
      empty = 0;
      int r = handle_message(msg);
      if (r != 0) return r;
    } else if (e == kQueueEmpty) {
      if (++empty >= kLostAfter) {
        printf("capi20_get_message: controller lost (queue empty after %u wake-ups)\n",
               empty);
        return 0;
      }
    } else {
      printf("capi20_get_message: error 0x%04X\n", e);
      if (e == kQueueOverflow) printf("capi queue overflow\n");
      return 0;
    }
    if (thread_exit) return 0;
  }
}

void *pump_thread(void *arg) {
  thread_result = capi_thread(static_cast<unsigned>(reinterpret_cast<uintptr_t>(arg)));
  return nullptr;
}

// Writes pid to the pid file; a file that cannot be created is reported.
void write_pid_file(pid_t pid) {
  FILE *f = fopen(kPidFile, "w");
  if (!f) {
    printf("%s: %s\n", kPidFile, strerror(errno));
    return;
  }
  fprintf(f, "%u", static_cast<unsigned>(pid));
  fclose(f);
}

}  // namespace

int decode_message(unsigned char *msg, unsigned avail, _cmsg *out) {
  if (avail < kHeaderLen) return 1;
  unsigned len = get16(msg);
  if (len < kHeaderLen || len > avail) return 1;
  // libcapi20's decoder reads the fixed parameters and the data struct's
  // prefix without a check of the length.
  bool whole = has_manufacturer_command(msg) && len >= kManuDataAt &&
               struct_prefix(msg + kManuDataAt, len - kManuDataAt) != 0;
  if (!whole) {
    decode_header(msg, len, out);
    return 0;
  }
  capi_message2cmsg(out, msg);
  return 0;
}

int start_exec(unsigned applid) {
  if (config.background) return capi_thread(applid);
  int r = pthread_create(&thread, nullptr, pump_thread,
                         reinterpret_cast<void *>(static_cast<uintptr_t>(applid)));
  thread_started = (r == 0);
  return r;
}

int wait_exec() {
  if (!thread_started) return 0;
  pthread_join(thread, nullptr);
  thread_started = false;
  return thread_result;
}

void catch_signals() {
  struct sigaction sa = {};
  sa.sa_handler = on_stop_signal;
  sa.sa_flags = SA_RESTART;  // library calls go on; the pump's wait wakes anyway
  sigfillset(&sa.sa_mask);  // no handler runs inside another
  for (int s : kStopSignals) sigaction(s, &sa, nullptr);
  sa.sa_handler = on_alarm;
  sigaction(SIGALRM, &sa, nullptr);
}

void guard_calls(int stop_status, int silent_status) {
  fflush(stdout);  // the handlers end the process without stdio
  silent_len = size_t(snprintf(silent_line, sizeof silent_line,
                               "controller not answering within %u s\n", config.timeout));
  guard_silent = silent_status;
  guard_stop = stop_status;
  alarm(config.timeout);
}

void unguard_calls() {
  alarm(0);
  guard_stop = guard_silent = -1;
}

int exec_signal() { return caught_signal; }

int stop_exec() {
  thread_exit = 1;
  return 1;
}

int init_exec() {
  if (!config.background) {
    rawmode();
    return 0;
  }
  fflush(stdout);  // the child must not print the parent's buffered lines again
  pid_t pid = fork();
  if (pid < 0) return pid;
  if (pid == 0) return 0;
  rawmode();
  write_pid_file(pid);
  return 1;
}

void rawmode() {
  tcgetattr(STDIN_FILENO, &term_orig);
  term_vi = term_orig;
  term_vi.c_lflag &= ~(ISIG | ICANON | ECHO);
  term_vi.c_cc[VMIN] = 1;
  tcsetattr(STDIN_FILENO, TCSANOW, &term_vi);
}

int cookmode() {
  fflush(stdout);
  return tcsetattr(STDIN_FILENO, TCSANOW, &term_orig);
}

int main_loop() {
  getchar();
  return 0;
}
