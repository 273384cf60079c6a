// SPDX-License-Identifier: MIT
// Process and file helpers of the tests; every wait is bounded.
#include "tests/support/support.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Waits until deadline for pid; its status, or -1 if it still runs. Adds
// the CPU time it used to *cpu_ms.
int wait_until(pid_t pid, long long deadline, long *cpu_ms = nullptr) {
  for (;;) {
    int st;
    rusage ru;
    pid_t r = wait4(pid, &st, WNOHANG, &ru);
    if (r == pid && cpu_ms)
      *cpu_ms += (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000L + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000;
    if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (r < 0 || now_ms() >= deadline) return r < 0 ? 255 : -1;
    usleep(2000);
  }
}

// In a child: libcapi20's application ids live in /dev/shm; a tmpfs of its
// own there keeps them from leaking into or out of the machine.
void private_shm() {
  if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0) return;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
    mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
}

[[noreturn]] void exec_words(const std::vector<std::string> &words, int out_fd) {
  int null_fd = open("/dev/null", O_RDONLY);
  dup2(null_fd, 0);
  dup2(out_fd, 1);
  std::vector<char *> args;
  for (const std::string &w : words) args.push_back(const_cast<char *>(w.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

std::string env_or(const char *name, const char *fallback) {
  const char *v = getenv(name);
  return v && *v ? v : fallback;
}

}  // namespace

std::string temp_dir() {
  // No "-" in the name: on the command line it would split a path.
  std::string t = env_or("TMPDIR", "/tmp") + "/cordix_test.XXXXXX";
  return mkdtemp(&t[0]) ? t : "";
}

void remove_tree(const std::string &dir) {
  if (dir.size() < 2) return;
  nftw(dir.c_str(), [](const char *p, const struct stat *, int, FTW *) { return remove(p); }, 16,
       FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string &path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary) << data;
}

void write_capi20rc(const std::string &home, int port) {
  write_file(home + "/.capi20rc", "REMOTE rcapi 127.0.0.1 " + std::to_string(port) + "\n");
}

Proc run(std::vector<std::string> argv, const std::string &home, const std::string &cwd,
         int timeout_ms, int sig, const std::string &sig_after) {
  Proc r{-1, false, "", 0};
  std::istringstream wrapper(env_or("CORDIX_CLIENT_WRAPPER", ""));
  std::vector<std::string> words;
  for (std::string w; wrapper >> w;) words.push_back(w);
  words.insert(words.end(), argv.begin(), argv.end());
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return r;
  long long deadline = now_ms() + timeout_ms;
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(127);
    setenv("HOME", home.c_str(), 1);
    private_shm();
    exec_words(words, p[1]);
  }
  close(p[1]);
  pollfd fd = {p[0], POLLIN, 0};
  char buf[4096];
  ssize_t n = 1;
  while (pid > 0 && n > 0 && now_ms() < deadline && poll(&fd, 1, int(deadline - now_ms())) > 0) {
    if ((n = read(p[0], buf, sizeof buf)) > 0) r.out.append(buf, size_t(n));
    if (sig && r.out.find(sig_after) != std::string::npos) kill(pid, sig), sig = 0;
  }
  close(p[0]);
  if (pid > 0 && (r.status = wait_until(pid, deadline, &r.cpu_ms)) < 0) {
    r.timed_out = true;
    kill(pid, SIGKILL);
    r.status = wait_until(pid, now_ms() + 10000);
  }
  return r;
}

bool sim_start(Sim *sim, const std::vector<std::string> &args) {
  sim->dir = temp_dir();
  const std::string d = sim->dir, port_file = d + "/port";
  if (d.empty() || mkdir((d + "/home").c_str(), 0700) != 0) return false;
  std::vector<std::string> words = {env_or("DECTSIM_BIN", DECTSIM_PATH), "--port=0",
                                    "--port-file=" + port_file, "--once", "--idle-exit=60",
                                    "--json=" + d + "/summary.json", "--firmware-out=" + d +
                                    "/firmware.bin", "--trace=" + d + "/trace", "--quiet"};
  words.insert(words.end(), args.begin(), args.end());
  int log = open((d + "/log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if ((sim->pid = fork()) == 0) exec_words(words, log);
  close(log);
  // dectsim renames the port file into place once it listens.
  for (long long end = now_ms() + 10000; sim->pid > 0 && now_ms() < end; usleep(2000)) {
    std::string port = read_file(port_file);
    if (!port.empty()) return write_capi20rc(d + "/home", atoi(port.c_str())), true;
    if (wait_until(sim->pid, 0) >= 0) sim->pid = -1;
  }
  return false;
}

void sim_stop(Sim *sim, int ms) {
  if (sim->pid <= 0) return;
  if (wait_until(sim->pid, now_ms() + ms) < 0) {
    kill(sim->pid, SIGTERM);  // it still writes its results
    if (wait_until(sim->pid, now_ms() + 5000) < 0) kill(sim->pid, SIGKILL), wait_until(sim->pid, now_ms() + 5000);
  }
  sim->pid = -1;
}

long json_int(const std::string &json, const char *key) {
  size_t at = json.find("\"" + std::string(key) + "\": ");
  return at == std::string::npos ? -1 : atol(json.c_str() + at + std::string(key).size() + 4);
}
