// SPDX-License-Identifier: MIT
// The simulator's event loop: one thread, poll() over the listening socket
// and every client; delayed indications are timers in the same loop, so a
// slow module never blocks other connections.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sim/simcore.h"
#include "sim/simserver.h"

namespace {

constexpr size_t kFrameHeader = 2;   // big-endian length, counting itself
constexpr size_t kMaxFrame = 4096;   // far above the largest legal frame (1058)
constexpr size_t kMinControl = 12;   // a control request's fixed part
constexpr size_t kRegisterParamsAt = kMinControl;  // 16-bit little-endian words
constexpr size_t kCapiHeader = 8;    // length, ApplId, command, subcommand, number
constexpr size_t kCommandAt = 4, kSubcommandAt = 5;
constexpr uint8_t kManufacturer = 0xff, kRequest = 0x80;
constexpr size_t kMaxPending = 1 << 20;  // unsent bytes before a client counts as stuck

struct Conn {
  int fd = -1;
  unsigned id = 0;
  bool registered = false;  // sent a register request: the application connection
  bool app = false;         // registration accepted: frames are CAPI messages
  int session = -1;
  std::string in, out;
  bool dead = false;
};

struct Timer {
  long long due;
  unsigned conn;
  std::string msg;
  bool real_ind;
};

const SimOptions *g_opt;
SimModule g_module;  // the one module every application reaches
SimTotals g_totals;
std::vector<SimSession> g_sessions;
std::vector<Conn> g_conns;
std::vector<Timer> g_timers;
unsigned g_next_id = 1, g_first_app = 0;
bool g_done = false;
long long g_last_activity;
FILE *g_trace;
volatile sig_atomic_t g_signal;

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void on_signal(int sig) { g_signal = sig; }

void log_line(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void log_line(int level, const char *fmt, ...) {
  if (g_opt->verbosity < level) return;
  va_list ap;
  va_start(ap, fmt);
  fputs("dectsim: ", stdout);
  vprintf(fmt, ap);
  fputc('\n', stdout);
  fflush(stdout);
  va_end(ap);
}

void write_or_complain(const std::string &path, const std::string &data) {
  if (!path.empty() && !sim_write_file(path, data))
    fprintf(stderr, "dectsim: cannot write %s: %s\n", path.c_str(), strerror(errno));
}

// After every change of the module's firmware, for the next start.
std::string module_state() { return sim_state_text(g_module.version, g_module.boot_loader); }
void save_state() { write_or_complain(g_opt->state, module_state()); }

// What the module did for conn c's last request, one log line each.
void log_events(const Conn *c) {
  for (const std::string &e : g_module.events) log_line(1, "conn %u %s", c->id, e.c_str());
  g_module.events.clear();
}

Conn *find_conn(unsigned id) {
  for (Conn &c : g_conns)
    if (c.id == id && !c.dead) return &c;
  return nullptr;
}

void flush_out(Conn *c) {
  while (!c->out.empty()) {
    ssize_t n = send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;  // full: POLLOUT resumes; broken: poll reports it and the read closes
    c->out.erase(0, size_t(n));
  }
}

void send_frame(Conn *c, const std::string &body) {
  log_line(2, "conn %u send %s", c->id,
           sim_hex(reinterpret_cast<const uint8_t *>(body.data()), body.size()).c_str());
  size_t len = body.size() + 2;
  c->out.push_back(char(len >> 8));
  c->out.push_back(char(len & 0xff));
  c->out += body;
  flush_out(c);
  if (c->out.size() > kMaxPending) {
    log_line(0, "conn %u does not read its replies, closing", c->id);
    c->dead = true;
  }
}

void close_conn(Conn *c, const char *by) {
  if (c->dead && c->fd < 0) return;
  if (c->session >= 0 && g_sessions[size_t(c->session)].closed_by.empty())
    g_sessions[size_t(c->session)].closed_by = by;
  log_line(1, "conn %u closed by %s", c->id, by);
  if (c->session >= 0 && sim_session_closed(&g_module, g_sessions[size_t(c->session)])) log_events(c);
  close(c->fd);
  c->fd = -1;
  c->dead = true;
  if (c->registered && c->id == g_first_app && g_opt->once) g_done = true;
}

// Closes with a reset instead of an orderly shutdown: the client's next
// send then fails at once.
void reset_conn(Conn *c) {
  struct linger hard = {1, 0};
  setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close_conn(c, "simulator");
}

void malformed(Conn *c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void malformed(Conn *c, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = sim_vformat("conn " + std::to_string(c->id) + ": ", fmt, ap);
  va_end(ap);
  g_totals.malformed.push_back(text);
  log_line(0, "malformed frame refused, %s", text.c_str());
  close_conn(c, "simulator");
}

void handle_register(Conn *c, unsigned error) {
  g_totals.registrations++;
  if (!g_first_app) g_first_app = c->id;
  c->registered = true;
  if (error) {
    g_totals.refused_registrations++;
    log_line(1, "conn %u registration refused with 0x%04x", c->id, error);
    return;
  }
  c->app = true;
  c->session = int(g_sessions.size());
  g_sessions.emplace_back();
  g_sessions.back().id = unsigned(g_sessions.size());
  log_line(1, "conn %u registered, session %zu", c->id, g_sessions.size());
  for (const SimFault &f : g_opt->faults) {
    if (f.kind != FAULT_RESET || f.at != 0) continue;  // reset@0: right after registration
    g_sessions.back().faults_injected++;
    log_line(1, "conn %u fault injected after registration", c->id);
    return reset_conn(c);
  }
}

void handle_control(Conn *c, const uint8_t *body, size_t len) {
  std::string reply;
  unsigned cmd = 0;
  if (!sim_control_reply(*g_opt, body, len, &reply, &cmd))
    return malformed(c, "unknown control command 0x%04x", cmd);
  g_totals.control_requests++;
  send_frame(c, reply);
  if (cmd != CTRL_REGISTER) return;
  if (len >= kRegisterParamsAt + 8) {  // message buffer size, then the three limits
    const uint8_t *p = body + kRegisterParamsAt + 2;
    g_totals.max_logical_connections = sim_get16(p);
    g_totals.max_b_data_blocks = sim_get16(p + 2);
    g_totals.max_b_data_len = sim_get16(p + 4);
  }
  handle_register(c, g_opt->register_error);
}

void trace_message(const uint8_t *body, size_t len) {
  if (!g_trace) return;
  fprintf(g_trace, "%s\n", sim_hex(body, len).c_str());
  fflush(g_trace);
}

void handle_app(Conn *c, const uint8_t *body, size_t len) {
  trace_message(body, len);
  SimSession *s = &g_sessions[size_t(c->session)];
  if (body[kCommandAt] != kManufacturer || body[kSubcommandAt] != kRequest) {
    s->violations.push_back("unexpected CAPI command 0x" + sim_hex(body + kCommandAt, 1) + " 0x" +
                            sim_hex(body + kSubcommandAt, 1));
    return log_line(0, "conn %u violation: %s", c->id, s->violations.back().c_str());
  }
  std::vector<SimReply> replies;
  size_t faults = s->faults_injected, violations = s->violations.size();
  std::string state = module_state();
  SimAfter after = sim_handle_message(*g_opt, &g_module, s, body, len, &replies);
  for (auto v = s->violations.begin() + long(violations); v != s->violations.end(); ++v)
    log_line(0, "conn %u violation: %s", c->id, v->c_str());
  log_events(c);
  if (module_state() != state) save_state();
  if (s->faults_injected != faults) log_line(1, "conn %u fault injected at request %u", c->id, s->requests);
  if (after != AFTER_KEEP) {
    if (after == AFTER_RESET) return reset_conn(c);
    // Whatever was answered goes out at once, before the connection closes.
    for (SimReply &r : replies) send_frame(c, r.msg);
    return close_conn(c, "simulator");
  }
  for (SimReply &r : replies) {
    if (r.delay_ms == 0) {
      send_frame(c, r.msg);
      if (r.real_ind) s->ind_pending = false;
    } else {
      g_timers.push_back({now_ms() + r.delay_ms, c->id, r.msg, r.real_ind});
    }
  }
}

void process_input(Conn *c) {
  while (!c->dead) {
    size_t len = 0;
    std::string why;
    SimFrame f = sim_next_frame(reinterpret_cast<const uint8_t *>(c->in.data()), c->in.size(), c->app,
                                &len, &why);
    if (f == FRAME_MORE) return;
    if (f == FRAME_BAD) return malformed(c, "%s", why.c_str());
    std::string body = c->in.substr(kFrameHeader, len - kFrameHeader);
    c->in.erase(0, len);
    const uint8_t *b = reinterpret_cast<const uint8_t *>(body.data());
    log_line(2, "conn %u recv %s", c->id, sim_hex(b, body.size()).c_str());
    if (c->app) handle_app(c, b, body.size());
    else handle_control(c, b, body.size());
  }
}

void read_conn(Conn *c) {
  char buf[4096];
  ssize_t n = recv(c->fd, buf, sizeof buf, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  g_last_activity = now_ms();
  if (n <= 0) {
    if (!c->in.empty()) {
      g_totals.malformed.push_back("conn " + std::to_string(c->id) + ": truncated frame at close");
    }
    return close_conn(c, "client");
  }
  c->in.append(buf, size_t(n));
  process_input(c);
}

void accept_conn(int lfd) {
  int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  // A confirmation and its indication go out as two small writes: without
  // this the second waits for the client's delayed acknowledgement.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  g_last_activity = now_ms();
  Conn c;
  c.fd = fd;
  c.id = g_next_id++;
  g_conns.push_back(c);
  g_totals.connections++;
  log_line(1, "conn %u opened", c.id);
}

void fire_timers() {
  long long now = now_ms();
  // The due ones leave the list, in their order, before any is sent.
  auto due = std::stable_partition(g_timers.begin(), g_timers.end(), [now](const Timer &t) { return t.due > now; });
  std::vector<Timer> fire(due, g_timers.end());
  g_timers.erase(due, g_timers.end());
  for (const Timer &t : fire) {
    Conn *c = find_conn(t.conn);
    if (!c) continue;
    g_last_activity = now;
    send_frame(c, t.msg);
    if (t.real_ind) g_sessions[size_t(c->session)].ind_pending = false;
  }
}

// Milliseconds until the next timer or idle deadline; -1 for none.
long long next_wakeup() {
  long long due = LLONG_MAX;
  for (const Timer &t : g_timers) due = std::min(due, t.due);
  if (g_opt->idle_exit) due = std::min(due, g_last_activity + g_opt->idle_exit * 1000LL);
  return due == LLONG_MAX ? -1 : std::max(due - now_ms(), 0LL);
}

void drop_dead() {
  for (Conn &c : g_conns)
    if (c.dead) close_conn(&c, "simulator");  // close_conn passes over one already closed
  g_conns.erase(std::remove_if(g_conns.begin(), g_conns.end(), [](const Conn &c) { return c.dead; }), g_conns.end());
}

void poll_once(int lfd, const sigset_t *mask) {
  std::vector<struct pollfd> fds;
  fds.push_back({lfd, POLLIN, 0});
  for (Conn &c : g_conns) fds.push_back({c.fd, short(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
  long long wait = next_wakeup();
  struct timespec ts = {time_t(wait / 1000), long(wait % 1000 * 1000000)};
  int n = ppoll(fds.data(), fds.size(), wait < 0 ? nullptr : &ts, mask);
  if (n < 0) return;
  fire_timers();
  size_t count = g_conns.size();  // accept_conn may grow the vector
  for (size_t i = 0; i < count; i++) {
    Conn *c = &g_conns[i];
    short ev = fds[i + 1].revents;
    if (c->dead) continue;
    if (ev & POLLOUT) flush_out(c);
    if (ev & (POLLIN | POLLHUP | POLLERR)) read_conn(c);
  }
  if (fds[0].revents & POLLIN) accept_conn(lfd);
  drop_dead();
}

int listen_on(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || listen(fd, 16) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int bound_port(int fd) {
  struct sockaddr_in a {};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  return ntohs(a.sin_port);
}

void write_results() {
  for (Conn &c : g_conns) close_conn(&c, "simulator");
  g_conns.clear();
  fputs(sim_summary_text(g_totals, g_sessions).c_str(), stdout);
  fflush(stdout);
  write_or_complain(g_opt->json, sim_summary_json(g_totals, g_sessions));
  if (g_module.completed) write_or_complain(g_opt->firmware_out, g_module.last_image);
}

// Blocks SIGTERM/SIGINT except inside ppoll, so a signal always ends the wait.
void setup_signals(sigset_t *poll_mask) {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  sigprocmask(SIG_BLOCK, &block, poll_mask);
  sigdelset(poll_mask, SIGTERM);
  sigdelset(poll_mask, SIGINT);
}

}  // namespace

SimFrame sim_next_frame(const uint8_t *in, size_t n, bool app, size_t *len, std::string *why) {
  if (n < kFrameHeader) return FRAME_MORE;
  *len = size_t(in[0]) << 8 | in[1];
  size_t body = *len - kFrameHeader;
  char text[100];
  if (*len <= kFrameHeader) snprintf(text, sizeof text, "frame length %zu", *len);
  else if (*len > kMaxFrame) snprintf(text, sizeof text, "oversized frame of %zu bytes", *len);
  else if (n < *len) return FRAME_MORE;
  else if (!app && body < kMinControl)
    snprintf(text, sizeof text, "control frame body of %zu bytes (%zu needed)", body, kMinControl);
  else if (app && body < kCapiHeader)
    snprintf(text, sizeof text, "CAPI message of %zu bytes (%zu needed)", body, kCapiHeader);
  else if (app && sim_get16(in + 2) != body)
    snprintf(text, sizeof text, "CAPI length %u does not match the frame body of %zu bytes",
             sim_get16(in + 2), body);
  else return FRAME_OK;
  *why = text;
  return FRAME_BAD;
}

int sim_run(const SimOptions &opt) {
  g_opt = &opt;
  g_module = sim_module_init(opt);
  sigset_t poll_mask;
  setup_signals(&poll_mask);
  int lfd = listen_on(opt.port);
  if (lfd < 0) {
    fprintf(stderr, "dectsim: cannot listen on 127.0.0.1:%d: %s\n", opt.port, strerror(errno));
    return 1;
  }
  int port = bound_port(lfd);
  if (!opt.trace.empty() && !(g_trace = fopen(opt.trace.c_str(), "a")))
    fprintf(stderr, "dectsim: cannot open %s: %s\n", opt.trace.c_str(), strerror(errno));
  printf("dectsim: listening on 127.0.0.1:%d\n", port);
  fflush(stdout);
  write_or_complain(opt.port_file, std::to_string(port) + "\n");
  g_last_activity = now_ms();
  while (!g_done && !g_signal) {
    poll_once(lfd, &poll_mask);
    if (opt.idle_exit && now_ms() - g_last_activity >= opt.idle_exit * 1000LL) {
      log_line(1, "no client activity for %u s, exiting", opt.idle_exit);
      break;
    }
  }
  if (g_signal) log_line(1, "signal %d, exiting", int(g_signal));
  close(lfd);
  write_results();
  if (g_trace) fclose(g_trace);
  return 0;
}
