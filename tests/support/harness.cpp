// SPDX-License-Identifier: MIT
// Process and file helpers for the tests; every wait is bounded.
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <dirent.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

int status_code(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

// A descriptor that becomes readable when pid exits; -1 if unsupported.
int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return int(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// Waits up to ms for pid to exit; true and *status (and its CPU time in
// *cpu_ms if given) when it did.
bool wait_exit(pid_t pid, int pidfd, long long ms, int *status, long *cpu_ms = nullptr) {
  long long deadline = now_ms() + ms;
  for (;;) {
    int st;
    struct rusage ru;
    pid_t r = wait4(pid, &st, WNOHANG, &ru);
    if (r == pid) {
      *status = status_code(st);
      if (cpu_ms)
        *cpu_ms = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000L +
                  (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000;
      return true;
    }
    if (r < 0) return false;
    long long left = deadline - now_ms();
    if (left <= 0) return false;
    if (pidfd >= 0) {
      struct pollfd p = {pidfd, POLLIN, 0};
      poll(&p, 1, int(left));
    } else {
      usleep(left < 10 ? useconds_t(left * 1000) : 10000);  // no pidfd: short polling
    }
  }
}

// In the child: a mount namespace of its own with a fresh /dev/shm, so
// libcapi20's shared application ids cannot leak into other runs.
bool private_shm() {
  if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  return mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
}

std::vector<std::string> split_words(const char *s) {
  std::vector<std::string> w;
  std::string cur;
  for (; s && *s; s++) {
    if (*s == ' ' || *s == '\t') {
      if (!cur.empty()) w.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(*s);
    }
  }
  if (!cur.empty()) w.push_back(cur);
  return w;
}

[[noreturn]] void exec_child(const std::vector<std::string> &words) {
  std::vector<char *> args;
  for (const std::string &w : words) args.push_back(const_cast<char *>(w.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  fprintf(stderr, "exec %s: %s\n", args[0], strerror(errno));
  _exit(127);
}

// Writes to fd the names of the files in /dev/shm that hold pid as a 32-bit
// word: libcapi20 keeps the owner of every taken application id there.
void report_leftovers(pid_t pid, int fd) {
  DIR *d = opendir("/dev/shm");
  if (!d) return;
  uint32_t v = uint32_t(pid);
  std::string word(reinterpret_cast<const char *>(&v), sizeof v);
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string data = read_file("/dev/shm/" + name);
    if (data.find(word) == std::string::npos) continue;
    name += "\n";
    if (write(fd, name.data(), name.size()) < 0) break;
  }
  closedir(d);
}

pid_t held_client;

void pass_on(int sig) { kill(held_client, sig); }

// Keeps the private /dev/shm alive around the client: runs it in a child,
// passes stop signals on, then reports what the client left there on fd.
[[noreturn]] void hold_namespace(const std::vector<std::string> &words, int fd) {
  held_client = fork();
  if (held_client == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a killed holder takes the client along
    exec_child(words);
  }
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, pass_on);
  int st = 0;
  while (held_client > 0 && waitpid(held_client, &st, 0) < 0 && errno == EINTR) {
  }
  report_leftovers(held_client, fd);
  _exit(WIFSIGNALED(st) ? 128 + WTERMSIG(st) : WEXITSTATUS(st));
}

void redirect_stdin() {
  int fd = open("/dev/null", O_RDONLY);
  if (fd >= 0) dup2(fd, 0);
}

// Reads the pipes (output, errors, leftovers) until EOF, the child's exit or
// the deadline; sends sig to pid once the output holds sig_after.
void collect(const int fds[3], pid_t pid, int pidfd, long long deadline, ProcResult *r,
             int sig, const std::string &sig_after) {
  struct pollfd p[4] = {
      {fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {fds[2], POLLIN, 0}, {pidfd, POLLIN, 0}};
  std::string *dest[3] = {&r->out, &r->err, &r->shm};
  int open_pipes = 3;
  while (open_pipes > 0) {
    if (sig && r->out.find(sig_after) != std::string::npos) {
      kill(pid, sig);
      sig = 0;
    }
    long long left = deadline - now_ms();
    if (left <= 0) return;
    if (poll(p, pidfd >= 0 ? 4 : 3, int(left)) < 0 && errno != EINTR) return;
    for (int i = 0; i < 3; i++) {
      if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = read(p[i].fd, buf, sizeof buf);
      if (n > 0) {
        dest[i]->append(buf, size_t(n));
      } else if (n == 0 || errno != EINTR) {
        p[i].fd = -1;
        open_pipes--;
      }
    }
  }
}

}  // namespace

std::string make_temp_dir(const char *tag) {
  const char *base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/" + tag + ".XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return "";
  return buf.data();
}

void rm_tree(const std::string &dir) {
  if (dir.empty() || dir == "/") return;
  nftw(
      dir.c_str(),
      [](const char *path, const struct stat *, int, struct FTW *) {
        remove(path);
        return 0;
      },
      16, FTW_DEPTH | FTW_PHYS);
}

void write_capi20rc(const std::string &home, int port) {
  FILE *f = fopen((home + "/.capi20rc").c_str(), "w");
  if (!f) return;
  fprintf(f, "REMOTE rcapi 127.0.0.1 %d\n", port);
  fclose(f);
}

int closed_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

ProcResult run_client(const std::vector<std::string> &argv, const std::string &home,
                      int timeout_ms, const std::string &cwd, int sig,
                      const std::string &sig_after) {
  ProcResult r{-1, false, "", "", "", 0};
  std::vector<std::string> words = split_words(getenv("CORDIX_CLIENT_WRAPPER"));
  words.insert(words.end(), argv.begin(), argv.end());
  int pipes[3][2], n = 0;
  while (n < 3 && pipe2(pipes[n], O_CLOEXEC) == 0) n++;
  pid_t pid = words.empty() || n < 3 ? -1 : fork();
  if (pid == 0) {
    dup2(pipes[0][1], 1);
    dup2(pipes[1][1], 2);
    redirect_stdin();
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    setenv("HOME", home.c_str(), 1);
    if (private_shm()) hold_namespace(words, pipes[2][1]);
    exec_child(words);
  }
  for (int i = 0; i < n; i++) close(pipes[i][1]);
  if (pid > 0) {
    long long deadline = now_ms() + timeout_ms;
    int pidfd = open_pidfd(pid);
    int fds[3] = {pipes[0][0], pipes[1][0], pipes[2][0]};
    collect(fds, pid, pidfd, deadline, &r, sig, sig_after);
    if (!wait_exit(pid, pidfd, deadline - now_ms(), &r.status, &r.cpu_ms)) {
      r.timed_out = true;
      kill(pid, SIGKILL);
      wait_exit(pid, pidfd, 10000, &r.status);
    }
    if (pidfd >= 0) close(pidfd);
  }
  for (int i = 0; i < n; i++) close(pipes[i][0]);
  return r;
}

namespace {

bool read_port_file(const std::string &path, int *port) {
  std::string s = read_file(path);
  if (s.empty() || s.back() != '\n') return false;
  *port = atoi(s.c_str());
  return *port > 0;
}

// Waits (bounded) for dectsim to rename its port file into place.
bool wait_port(SimProc *sim, const std::string &path, int inotify_fd, long long ms) {
  long long deadline = now_ms() + ms;
  for (;;) {
    if (read_port_file(path, &sim->port)) return true;
    int st;
    if (waitpid(sim->pid, &st, WNOHANG) == sim->pid) {
      sim->pid = -1;
      return false;
    }
    long long left = deadline - now_ms();
    if (left <= 0) return false;
    struct pollfd p = {inotify_fd, POLLIN, 0};
    if (inotify_fd < 0) usleep(10000);  // no inotify: short polling
    else if (poll(&p, 1, int(left < 100 ? left : 100)) > 0) {
      char buf[4096];
      if (read(inotify_fd, buf, sizeof buf) < 0) usleep(1000);
    }
  }
}

pid_t spawn_sim(const std::vector<std::string> &args, const std::string &log) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
  }
  redirect_stdin();
  exec_child(args);
}

}  // namespace

bool sim_start(SimProc *sim, const std::vector<std::string> &extra_args) {
  *sim = SimProc{-1, 0, "", "", "", "", "", ""};
  sim->dir = make_temp_dir("dectsim");
  if (sim->dir.empty()) return false;
  sim->home = sim->dir + "/home";
  sim->json = sim->dir + "/summary.json";
  sim->firmware = sim->dir + "/firmware.bin";
  sim->trace = sim->dir + "/trace.txt";
  sim->log = sim->dir + "/log.txt";
  std::string port_file = sim->dir + "/port";
  if (mkdir(sim->home.c_str(), 0700) != 0) return false;
  const char *bin = getenv("DECTSIM_BIN");
  std::vector<std::string> args = {bin && *bin ? bin : DECTSIM_PATH, "--port", "0",
                                   "--port-file", port_file, "--once", "--idle-exit", "60",
                                   "--json", sim->json, "--firmware-out", sim->firmware,
                                   "--trace", sim->trace};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  int ino = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (ino >= 0) inotify_add_watch(ino, sim->dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
  sim->pid = spawn_sim(args, sim->log);
  bool ok = sim->pid > 0 && wait_port(sim, port_file, ino, 10000);
  if (ino >= 0) close(ino);
  if (!ok) return false;
  write_capi20rc(sim->home, sim->port);
  return true;
}

int sim_finish(SimProc *sim, int timeout_ms) {
  if (sim->pid <= 0) return -1;
  int pidfd = open_pidfd(sim->pid);
  int status = -1;
  if (!wait_exit(sim->pid, pidfd, timeout_ms, &status)) {
    kill(sim->pid, SIGTERM);
    if (!wait_exit(sim->pid, pidfd, 5000, &status)) {
      kill(sim->pid, SIGKILL);
      wait_exit(sim->pid, pidfd, 5000, &status);
    }
  }
  if (pidfd >= 0) close(pidfd);
  sim->pid = -1;
  return status;
}

void sim_cleanup(SimProc *sim) {
  if (sim->pid > 0) sim_finish(sim, 0);
  rm_tree(sim->dir);
  sim->dir.clear();
}

std::string read_file(const std::string &path) {
  std::string s;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return s;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

namespace {

// Position just after "key": and blanks, or npos.
size_t value_pos(const std::string &json, const char *key) {
  std::string pat = std::string("\"") + key + "\":";
  size_t p = json.find(pat);
  if (p == std::string::npos) return p;
  p += pat.size();
  while (p < json.size() && (json[p] == ' ' || json[p] == '\n' || json[p] == '\t')) p++;
  return p;
}

}  // namespace

long json_int(const std::string &json, const char *key) {
  size_t p = value_pos(json, key);
  if (p == std::string::npos || p >= json.size()) return -1;
  char *end = nullptr;
  long v = strtol(json.c_str() + p, &end, 10);
  return end == json.c_str() + p ? -1 : v;
}

std::string json_str(const std::string &json, const char *key) {
  size_t p = value_pos(json, key);
  if (p == std::string::npos || p >= json.size() || json[p] != '"') return "";
  std::string v;
  for (p++; p < json.size() && json[p] != '"'; p++) {
    if (json[p] != '\\' || p + 1 >= json.size()) {
      v.push_back(json[p]);
    } else if (json[++p] == 'u' && p + 4 < json.size()) {
      v.push_back(char(strtol(json.substr(p + 1, 4).c_str(), nullptr, 16)));
      p += 4;
    } else {
      v.push_back(json[p] == 'n' ? '\n' : json[p]);
    }
  }
  return v;
}

int json_array_len(const std::string &json, const char *key) {
  size_t p = value_pos(json, key);
  if (p == std::string::npos || p >= json.size() || json[p] != '[') return -1;
  int depth = 0, count = 0;
  bool in_string = false, any = false;
  for (; p < json.size(); p++) {
    char c = json[p];
    if (in_string) {
      if (c == '\\') p++;
      else if (c == '"') in_string = false;
      continue;
    }
    if (c == '"') in_string = true;
    if (c == '[' || c == '{') depth++;
    if (c == ']' || c == '}') {
      if (--depth == 0) break;
    }
    if (depth == 1 && c == ',') count++;
    if (depth >= 1 && !(c == '[' && depth == 1) && c != ' ' && c != '\n' && c != ',') any = true;
  }
  return any ? count + 1 : 0;
}
