// SPDX-License-Identifier: MIT
// End to end: the real cordix binary against dectsim through the real
// libcapi20. Each row of the table is one run: what the simulator does, the
// image, the command line, and what must come of it. Every run has a
// deadline, a HOME of its own and a private /dev/shm.
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Proc {
  int status;       // exit status, 128 + signal, or -1
  bool timed_out;   // killed at the deadline
  std::string out;  // standard output
  long cpu_ms;      // CPU time it used
};

// dectsim ($DECTSIM_BIN, else the one built) on a free port, in dir with
// dir/home (its .capi20rc written), dir/summary.json, dir/firmware.bin,
// dir/trace, dir/log (its output) and dir/state (--state; seeded if given).
struct Sim {
  pid_t pid = -1;
  std::string dir;
  ~Sim();
};

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

// In a child: libcapi20's application ids live in /dev/shm and cordix's
// locks in /run; a tmpfs of its own on each keeps them from leaking into or
// out of the machine. A run joined to another's (join) shares both.
void private_shm(pid_t join) {
  int ns = join > 0 ? open(("/proc/" + std::to_string(join) + "/ns/mnt").c_str(), O_RDONLY) : -1;
  // qemu-user runs threads: the filesystem context must be the child's own first.
  if (geteuid() == 0 && join > 0 && (ns < 0 || unshare(CLONE_FS) || setns(ns, CLONE_NEWNS))) _exit(126);
  if (geteuid() != 0 || join > 0 || unshare(CLONE_NEWNS) != 0) return;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
    mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777"), mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
}

// closed: the digits of the descriptors the program starts without.
[[noreturn]] void exec_words(const std::vector<std::string> &words, int out_fd, const std::string &closed = "") {
  int null_fd = open("/dev/null", O_RDONLY);
  dup2(null_fd, 0);
  dup2(out_fd, 1);
  for (char fd : closed) close(fd - '0');
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

// act(pid) runs once the transcript holds after; an empty after: once the
// program printed nothing for a second.
Proc run(std::vector<std::string> argv, const std::string &home, const std::string &cwd, int timeout_ms,
         const std::string &after = "", std::function<void(pid_t)> act = nullptr, const std::string &closed = "",
         pid_t join = 0) {
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
    private_shm(join);
    exec_words(words, p[1], closed);
  }
  close(p[1]);
  pollfd fd = {p[0], POLLIN, 0};
  char buf[4096];
  ssize_t n = 1;
  for (int ready; pid > 0 && n > 0 && now_ms() < deadline; ) {
    if ((ready = poll(&fd, 1, int(std::clamp(deadline - now_ms(), 0LL, act ? 1000LL : 1LL << 30)))) < 0) break;
    if (ready > 0 && (n = read(p[0], buf, sizeof buf)) > 0) r.out.append(buf, size_t(n));
    if (act && (after.empty() ? ready == 0 : r.out.find(after) != std::string::npos)) act(pid), act = nullptr;
  }
  close(p[0]);
  if (pid > 0 && (r.status = wait_until(pid, deadline, &r.cpu_ms)) < 0) {
    r.timed_out = true;
    kill(pid, SIGKILL);
    r.status = wait_until(pid, now_ms() + 10000);
  }
  return r;
}

bool sim_start(Sim *sim, const std::vector<std::string> &args, const std::string &state) {
  sim->dir = temp_dir();
  const std::string d = sim->dir, port_file = d + "/port";
  if (d.empty() || mkdir((d + "/home").c_str(), 0700) != 0) return false;
  if (!state.empty()) write_file(d + "/state", state);
  std::vector<std::string> words = {env_or("DECTSIM_BIN", DECTSIM_PATH), "--port=0",
                                    "--port-file=" + port_file, "--once", "--idle-exit=60",
                                    "--json=" + d + "/summary.json", "--firmware-out=" + d +
                                    "/firmware.bin", "--trace=" + d + "/trace", "--state=" + d + "/state"};
  words.insert(words.end(), args.begin(), args.end());
  int log = open((d + "/log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if ((sim->pid = fork()) == 0) dup2(log, 2), exec_words(words, log);
  close(log);
  // dectsim renames the port file into place once it listens.
  for (long long end = now_ms() + 10000; sim->pid > 0 && now_ms() < end; usleep(2000)) {
    std::string port = read_file(port_file);
    if (!port.empty()) return write_capi20rc(d + "/home", atoi(port.c_str())), true;
    if (wait_until(sim->pid, 0) >= 0) sim->pid = -1;
  }
  return false;
}

// Its exit status.
int sim_stop(Sim *sim, int ms) {
  int status = sim->pid <= 0 ? 0 : wait_until(sim->pid, now_ms() + ms);
  if (status < 0) {
    kill(sim->pid, SIGTERM);  // it still writes its results
    if ((status = wait_until(sim->pid, now_ms() + 5000)) < 0) kill(sim->pid, SIGKILL), wait_until(sim->pid, now_ms() + 5000);
  }
  sim->pid = -1;
  return status;
}

Sim::~Sim() { sim_stop(this, 0), remove_tree(dir); }  // also when a row stops early

long json_int(const std::string &json, const char *key) {
  size_t at = json.find("\"" + std::string(key) + "\": ");
  return at == std::string::npos ? -1 : atol(json.c_str() + at + std::string(key).size() + 4);
}

struct Row {
  std::string name;
  std::vector<std::string> sim;   // dectsim options; {"none"}: no controller
  long image;                     // bytes of the image IMG, -1: no image
  std::vector<std::string> args;  // cordix's arguments; "IMG" is the image's path
  int status;                     // exit status; -1: still waiting at the deadline
  std::string out;                // transcript, or "..." before the parts it holds in order
  std::string json;               // "key=value ..." of the summary; complete=1: image whole
  std::string absent;             // a text the transcript must not hold
  std::string arrives;            // the file (among decoys) that must arrive instead of IMG
  int sig;                        // sent once the transcript holds what the row expects before
                                  // "stopped by signal"
  // dectsim's state file before ("" none) and after the run; "...part...":
  // dectsim's output holds the parts in order
  std::string state, state_after, log;
  std::string closed;               // descriptors cordix starts without ("012": all three)
  std::vector<std::string> second;  // a second run's arguments, started once the first waits for the
                                    // start indication: refused by cordix's lock, or with -c2 by the module
};

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

std::vector<Row> rows() {
  const std::string version = kHeader +
      "state_machine: cmsg((nil)) state(6)\nState(get_version)\nwarte auf start ind\n"
      "state_machine: cmsg(PTR) state(7)\nstate_machine: cmsg(PTR) state(7)\nState(version_req)\n"
      "version ind empfangen(12.34.56)\n        Version(564) Designcode(86) Beta Status(1)\n"
      "        RealDectVersion(234561)\n";
  const std::string not_opened = " konnte nicht ge\xf6" "ffnet werden\n";
  const std::string kNoMessage = "capi20_waitformessage: no message within 1 s\n";
  const std::string help = "Blafasel Hilfe\n\ncordix [-f FILE] [-c N] [-g] [-t N]...\n  -f FILE ...\n  -c N ...\n  -g ...\n"
      "  -t N, -timeout N\n...\n  -?, -hilfe ...\nExit status: 0 update complete...9 controller in use...12 release failed";
  std::vector<Row> r = {
      {"update", {}, 1500, {"-f", "IMG"}, 0, update({1024, 476}),
       "bytes=1500 start_requests=1 data_chunks=2 end_requests=1 complete=1 appl_id=1 max_logical_connections=1 max_b_data_blocks=2 max_b_data_len=128"},
      {"empty_image", {}, 0, {"-fIMG"}, 3, "Datei \"IMG\" ist leer\n", "session_count=0"},
      {"one_chunk", {}, 1024, {"-fIMG"}, 0, update({1024}), "bytes=1024 data_chunks=1 complete=1"},
      {"version", {"--version-bytes=12,34,56"}, -1, {"-g"}, 0x12, version, "version_requests=1"},
      {"other_maker", {"--manufacturer=Other", "--capi-version=3.1"}, -1, {"-g"}, 0x12,
       "...\nCAPI Version: 3.1        Manufacturer version: 52.21\n\n"},
      {"help", {}, -1, {"-?"}, 0, "..." + help, "session_count=0"},
      {"help_long", {}, -1, {"--help"}, 0, "..." + help},
      {"option_error_before_help", {}, -1, {"-hilfe", "-x"}, 1, "unknown option /x\n"},
      {"missing_image", {}, -1, {"-f", "IMG"}, 3, "Datei \"IMG\"" + not_opened, "session_count=0"},
      {"default_image", {}, -1, {}, 3, "Datei \"cordix.bin\"" + not_opened},
      {"no_capi", {"none"}, 10, {"-fIMG"}, 4, "...capi not installed ("},
      {"profile_says_no_capi", {"--profile-error=0x1009"}, 10, {"-f", "IMG"}, 5, "CAPI nicht gefunden\n"},
      {"profile_error_ignored", {"--profile-error=0x1008"}, 10, {"-f", "IMG"}, 0, "...", "complete=1"},
      {"registration_refused", {"--register-error=0x1008"}, 10, {"-f", "IMG"}, 7,
       "...ApplID: 0x0000\n\ncapi_register: error 0x1008\n", "session_count=0"},
      {"longest_line", {}, -1, {"-f", std::string(267, 'b')}, 3, "...\"" + not_opened},
      {"controller_0_is_1", {}, 10, {"-f", "IMG", "-c0"}, 0, "...", "controller=1 complete=1"},
      {"directory_as_image", {}, -1, {"-f", "."}, 3, "Datei \".\" ist ein Verzeichnis\n", "session_count=0"},
      // One run at a time: the second sends nothing; the module gets one whole image.
      {"two_updates", {"--delay=300"}, 2500, {"-fIMG"}, 0, "...end ind", "session_count=1 start_requests=1 complete=1", "", "", 0, "", "", "", "", {"-fIMG"}},
      // Another controller reaches the same module: its start request is refused, the first's update goes on.
      {"second_controller", {"--delay=300", "-q"}, 2500, {"-fIMG", "-c1"}, 0, "...end ind", "session_count=2 start_requests=1 complete=1", "", "",
       0, "", "", "...violation: request 1: start request during the update of session 1: refused\n...summary", "", {"-fIMG", "-c2"}},
      {"query_during_update", {"--delay=300"}, 2500, {"-fIMG"}, 0, "...end ind", "session_count=1 version_requests=0 complete=1", "", "", 0, "", "", "", "", {"-g"}},
      // Closed standard descriptors: nothing reaches the shared memory (ApplID 1) or the socket.
      {"closed_stdout", {}, 2500, {"-fIMG"}, 0, "", "appl_id=1 complete=1 malformed_frames=0", "", "", 0, "", "", "", "12"},
      // A stopped controller ("STOP": dectsim gets SIGSTOP before cordix starts).
      {"stopped_controller", {"STOP"}, 10, {"-fIMG", "-t1"}, 11, "controller not answering within 1 s\n", "session_count=0"},
      {"stopped_controller_signal", {"STOP"}, -1, {"-g"}, 10, "stopped by signal 15\n", "session_count=0", "", "", SIGTERM},
      {"silent_waits_for_ever", {"--fault=silent@1"}, 10, {"-fIMG"}, -1, "..."},
      {"silent_at_5", {"--fault=silent@5"}, 2500, {"-f", "IMG", "-timeout", "1"}, 8,
       "...warte auf end ind\n" + kNoMessage + kIncomplete},
      {"silent_version", {"--fault=silent@1"}, -1, {"-g", "-t", "1"}, 0, "...warte auf start ind\n" + kNoMessage},
      {"slow_within_the_limit", {"--delay=400"}, 2500, {"-f", "IMG", "-t", "1"}, 0, "...", "complete=1"},
      {"sigterm", {"--fault=silent@2"}, 2500, {"-f", "IMG"}, 8,
       "...1024 Byte aus Datei(IMG) gelesen\nstopped by signal 15\n" + kIncomplete, "", "", "", SIGTERM},
      {"sigint", {"--fault=silent@3"}, 2500, {"-f", "IMG"}, 8,
       "...state(3)\nState(data)\n1024 Byte aus Datei(IMG) gelesen\nstopped by signal 2\n" + kIncomplete, "",
       "", "", SIGINT},
      {"sighup", {"--fault=silent@1"}, -1, {"-g"}, 0, "...warte auf start ind\nstopped by signal 1\n", "", "", "",
       SIGHUP},
      {"opening_request_fails", {"--fault=reset@0"}, 100, {"-f", "IMG"}, 8, "...", "", "", "", 0, "", "",
       "...fault injected after registration\n"},
  };
  // Too long, counting every escape the join adds (the last three fit without).
  for (std::string f : {std::string(300, 'a'), std::string(200, '-'), std::string(266, 'b') + "~", "\"" + std::string(266, 'b')})
    r.push_back({"too_long_" + std::to_string(r.size()), {}, -1, {"-f", f}, 1, "command line too long (at most 271 bytes)\n"});
  for (long size : {1L, 255L, 1023L, 1025L, 2048L, 2049L, 4L << 20})
    r.push_back({"image_" + std::to_string(size), {}, size, {"-fIMG"}, 0, "...",
                 "bytes=" + std::to_string(size) + " complete=1"});
  // -v logs the answers' bytes: ManuID, Class, Function and ManuData of the confirmation, then the indication.
  for (auto f : std::vector<std::pair<std::string, std::string>>{{"version-short", "050400021234"}, {"version-overlong", "06040007123456"}})
    r.push_back({f.first, {"--fault=" + f.first + "@1", "-v"}, -1, {"-g"}, 0, "...Fehler(0x0001) in der Statemachine\n", "",
                 "version ind empfangen", "", 0, "", "", "...584f4c21000000000f00000000\n...584f4c21000000000f000000" + f.second + "\n"});
  // Faults of the module at the first, a middle and the last request of an
  // update of three chunks (1 start, 2-4 chunks, 5 end); "(S)" stands for
  // the state the tool is in then. An extra indication is one more message
  // between the confirmation and the indication.
  const std::string extra = "...state(S)\nstate_machine: cmsg(PTR) state(S)\nstate_machine: cmsg(PTR) state(S)\nState(";
  struct Fault { const char *kind; int status; std::string out; const char *json; } faults[] = {
      {"conf-class=3", 8, "...MANUFACTURER_REQ(CORDIX) Fehler(3)\nFehler(0x0002) in der Statemachine\n", ""},
      {"close", 8, "...capi20_get_message: controller lost", ""},
      {"short-ind", 8, "...Fehler(0x0001) in der Statemachine\n", ""},
      {"extra-function", 0, extra, "complete=1"},
      {"extra-class", 0, extra, "complete=1"},
      {"close-after", 8, "...", ""},
      {"no-ind", 8, "...no message within 1 s\n", ""},
      {"bad-code", 8, "...no message within 1 s\n", ""},
  };
  for (const Fault &f : faults)
    for (int k : {1, 3, 5}) {
      bool last_answered = k == 5 && std::string(f.kind) == "close-after";
      std::string out = f.out;
      for (size_t at; (at = out.find("(S)")) != std::string::npos;) out.replace(at + 1, 1, std::to_string(k / 2 + 2));
      r.push_back({std::string(f.kind) + "_at_" + std::to_string(k),
                   {std::string("--fault=") + f.kind + "@" + std::to_string(k)}, 2500,
                   {"-f", "IMG", "-t", "1"}, last_answered ? 0 : f.status, out, f.json});
    }
  // Every argument is one word, taken literally, whatever blanks, dashes,
  // quotes or escapes it holds; decoys lie where another reading would lead.
  const struct {
    std::vector<std::string> args;
    const char *arrives;
    int controller;
  } words[] = {{{"-f", "my file.bin"}, "my file.bin", 1},     {{"-fsub-dir/dect-module-2.bin"}, "sub-dir/dect-module-2.bin", 1},
               {{"-f", "fw-g.bin"}, "fw-g.bin", 1},           {{"-fmy~-file.bin"}, "my~-file.bin", 1},
               {{"-f", "\"my-file\""}, "\"my-file\"", 1},    {{"-f", "\"my file", "-c2"}, "\"my file", 2},
               {{"-f", "fw~1.bin"}, "fw~1.bin", 1},           {{"-f", "fw~~1.bin"}, "fw~~1.bin", 1},
               {{"-f", "a^Ab"}, "a^Ab", 1},                   {{"-f", "fw\"q.bin"}, "fw\"q.bin", 1},
               {{"-f~lead.bin"}, "~lead.bin", 1}};
  for (const auto &w : words)
    r.push_back({"word_" + w.args.back(), {}, -1, w.args, 0, "...",
                 "complete=1 controller=" + std::to_string(w.controller), "", w.arrives});
  r.push_back({"word_quotes_kept", {}, -1, {"-c\"5 \""}, 1, "Option /c, type unsigned integer: invalid value \"\"5 \"\"\n"});
  r.push_back({"word_only_quotes", {}, -1, {"-f", "\"\""}, 3, "Datei \"\"\"\"" + not_opened});
  r.push_back({"word_empty", {}, -1, {"-f", ""}, 3, "Datei \"\"" + not_opened});
  // A word that belongs to no option is refused after the options' own lines.
  r.push_back({"stray_after_help", {}, -1, {"-hilfe", "foo"}, 1, "unexpected argument: foo\n"});
  r.push_back({"stray_words", {}, 10, {"x", "-fIMG", "-q", "b.bin", "", "a-x"}, 1,
               "unknown option /q\nunexpected argument: x\nunexpected argument: b.bin\nunexpected argument: \n"
               "unexpected argument: a-x\n"});
  // The module's firmware across restarts of dectsim (--state): a cut update
  // leaves it in its boot loader, which then answers version queries; a
  // complete one takes it out (no --version-of: the version stays).
  const std::string was = "version 12.34.56\nboot-loader ", v010203 = "version 01.02.03\nboot-loader ";
  r.push_back({"state_cut_update", {"--fault=close@3"}, 2500, {"-fIMG", "-t1"}, 8, "...lost", "", "", "", 0, "",
               was + "yes\n", "...conn 1 opened\n...update started, the module runs its boot loader\n...fault injected at request 3\n"
               "...update aborted after 2048 bytes, the module stays in its boot loader\n"});
  r.push_back({"state_in_boot_loader", {"--boot-loader-version=01.02.03", "-j/nonexistent/json"}, -1, {"-g"}, 1,
               "...version ind empfangen(01.02.03)\n", "", "", "", 0, was + "yes\n", was + "yes\n",
               "...session 1 (closed by client)...cannot write /nonexistent/json: No such file or directory\n"});
  r.push_back({"state_update_completes", {"--version-bytes=ab,cd,ef"}, 2500, {"-fIMG"}, 0, "...", "", "", "", 0,
               v010203 + "yes\n", v010203 + "no\n", "...update complete: 2500 bytes, sha256 "
               "b2d282a929ce9176c2d22e244a385457a30768dfc091f1bdc6542d36792ac438, module version 01.02.03\n...c438, update complete\n"});
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

// Each part of want ("...part...part") is in text, in this order.
void expect_parts(const std::string &text, const std::string &want) {
  size_t at = 0;
  for (size_t from = 3; from < want.size();) {
    size_t to = want.find("...", from);
    std::string part = want.substr(from, to - from);
    EXPECT_NE(at = text.find(part, at), std::string::npos) << "missing: " << part << "\n" << text;
    from = to == std::string::npos ? want.size() : to + 3;
  }
}

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

class EndToEnd : public testing::TestWithParam<Row> {};

TEST_P(EndToEnd, Run) {
  const Row &row = GetParam();
  Sim sim;
  bool controller = row.sim.empty() || row.sim[0] != "none", stop = !row.sim.empty() && row.sim[0] == "STOP";
  if (controller) {
    ASSERT_TRUE(sim_start(&sim, std::vector<std::string>(row.sim.begin() + stop, row.sim.end()), row.state));
    if (stop) kill(sim.pid, SIGSTOP);
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
    for (const char *name : {"my file.bin", "\"my file", "my file", "fw-g.bin", "my-file.bin", "my~-file.bin",
                             "my-file", "\"my-file\"", "cordix.bin", "fw1.bin", "fw~1.bin", "fw~~1.bin", "a^Ab",
                             "a\001b", "fw\"q.bin", "fw", "~lead.bin", "lead.bin", "sub-dir/dect-module-2.bin"})
      write_file(dir + "/" + name, std::string(size_t(n), char(n))), n += 100;
    data = read_file(dir + "/" + row.arrives);
  }
  auto argv = [&](std::vector<std::string> v) {  // cordix and its arguments, "IMG" the image's path
    for (std::string &a : v) a = a == "IMG" ? image : a.find("IMG") == 2 ? a.substr(0, 2) + image : a;
    return v.insert(v.begin(), std::getenv("CORDIX_BIN") ? std::getenv("CORDIX_BIN") : CORDIX_PATH), v;
  };
  size_t from = row.out.rfind("...", 0) == 0 ? 3 : 0;
  std::string sig_after = row.out.substr(from, row.out.find("stopped by signal") - from);
  if (sig_after.find("IMG") != std::string::npos) sig_after.replace(sig_after.find("IMG"), 3, image);
  pid_t first = 0;
  Proc second{};
  auto act = [&](pid_t pid) {
    if (row.sig) kill(pid, row.sig);
    if (!row.second.empty()) second = run(argv(row.second), home, dir, kRunMs, "", nullptr, "", first = pid);
  };
  Proc p = run(argv(row.args), home, dir, row.status < 0 ? kWaitMs : kRunMs, row.second.empty() ? sig_after : "warte auf start ind\n",
               row.sig || !row.second.empty() ? std::function<void(pid_t)>(act) : nullptr, row.closed);
  std::string refused = row.second.empty() ? "0" : row.second.back() != "-c2" ? "controller 1 in use by process " + std::to_string(first) + "\n9"
                                                 : "...MANUFACTURER_REQ(CORDIX) Fehler(8193)\n..." + kIncomplete + "8";
  if (refused[0] == '.') expect_parts(second.out + std::to_string(second.status), refused); else EXPECT_EQ(second.out + std::to_string(second.status), refused);
  if (stop) kill(sim.pid, SIGCONT);
  // dectsim ends by itself once a registered client has gone.
  bool registered = p.out.find("ApplID: 0x") != std::string::npos && p.out.find("ApplID: 0x0000") == std::string::npos;
  EXPECT_EQ(sim_stop(&sim, registered || !row.closed.empty() ? 5000 : 0), 0) << "dectsim's exit status";
  std::string out = mask(p.out, image), json = read_file(dir + "/summary.json");

  EXPECT_EQ(p.timed_out, row.status < 0) << out;
  EXPECT_TRUE(row.status < 0 || p.status == row.status) << "status " << p.status << "\n" << out;
  if (row.out.compare(0, 3, "...") == 0) expect_parts(out, row.out); else EXPECT_EQ(out, row.out);
  expect_parts(read_file(dir + "/log"), row.log);
  EXPECT_EQ(row.state_after.empty() ? "" : read_file(dir + "/state"), row.state_after);
  EXPECT_EQ(out.find(kIncomplete) != std::string::npos, row.status == 8) << out;
  bool waited = out.find("no message within") != std::string::npos;
  EXPECT_LT(waited ? p.cpu_ms : 0, 500) << "the wait must not spin";
  EXPECT_EQ(row.absent.empty() ? std::string::npos : out.find(row.absent), std::string::npos) << out;
  std::istringstream want(row.json);
  for (std::string kv; want >> kv;) {
    std::string key = kv.substr(0, kv.find('='));
    EXPECT_EQ(json_int(json, key.c_str()), atol(kv.c_str() + key.size() + 1)) << key << "\n" << json;
    EXPECT_TRUE(kv != "complete=1" || (!access((dir + "/firmware.bin").c_str(), F_OK) && read_file(dir + "/firmware.bin") == data));
  }
  EXPECT_EQ(json.find("\"violations\": [\n") == std::string::npos, row.log.find("violation:") == std::string::npos) << json;
  long faults = std::count_if(row.sim.begin(), row.sim.end(), [](const std::string &a) { return !a.find("--fault="); });
  EXPECT_EQ(faults ? json_int(json, "faults_injected") : 0, faults) << "every fault happens";
  std::string trace = read_file(dir + "/trace");  // one line a request, whatever dectsim made of it
  long requests = 0, traced = std::count(trace.begin(), trace.end(), '\n');
  for (size_t at = 0; (at = json.find("\"requests\": ", at)) != std::string::npos; at++) requests += atol(json.c_str() + at + 12);
  EXPECT_TRUE(json.empty() || traced == requests) << traced << " traced, " << requests << " requests";
}

std::string row_name(const testing::TestParamInfo<Row> &info) {
  std::string name = info.param.name;
  for (char &c : name) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, EndToEnd, testing::ValuesIn(rows()), row_name);

}  // namespace
