// SPDX-License-Identifier: MIT
// Shared test harness: temporary directories, client runs with their own
// HOME (and a private /dev/shm when possible), and a dectsim per test.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

struct ProcResult {
  int status;      // exit code, or 128 + signal
  bool timed_out;  // killed after the time limit
  std::string out; // standard output
  std::string err; // standard error
  std::string shm; // files of the private /dev/shm still holding the client's pid
  long cpu_ms;     // CPU time the client used
};

// Temporary directory (mkdtemp under $TMPDIR or /tmp); removed by rm_tree.
// Empty string on failure.
std::string make_temp_dir(const char *tag);
void rm_tree(const std::string &dir);
// Writes HOME/.capi20rc with "REMOTE rcapi 127.0.0.1 PORT".
void write_capi20rc(const std::string &home, int port);
// A loopback port that is closed right now.
int closed_port();
// Runs argv (argv[0] a path) with HOME=home, PATH inherited, cwd optional,
// stdin from /dev/null, in a private /dev/shm when possible (root: own mount
// namespace with a tmpfs on /dev/shm). Words of env CORDIX_CLIENT_WRAPPER
// are put in front of argv. SIGKILL after timeout_ms. With sig, the client
// gets that signal once its output holds sig_after.
ProcResult run_client(const std::vector<std::string> &argv, const std::string &home,
                      int timeout_ms, const std::string &cwd = "", int sig = 0,
                      const std::string &sig_after = "");

struct SimProc {
  pid_t pid;
  int port;
  std::string dir, home, json, firmware, trace, log;
};
// Starts dectsim (env DECTSIM_BIN, else DECTSIM_PATH) with a free port,
// --once, --idle-exit 60 and its result files in a new temp dir; HOME
// (dir/home) gets a .capi20rc for its port. False on failure.
bool sim_start(SimProc *sim, const std::vector<std::string> &extra_args);
// Waits up to timeout_ms for dectsim to exit, else SIGTERM (then SIGKILL);
// returns its exit status (128 + signal if killed). Files stay.
int sim_finish(SimProc *sim, int timeout_ms);
// Stops dectsim if still running and removes its directory.
void sim_cleanup(SimProc *sim);

std::string read_file(const std::string &path);
// Value of "key" in the summary JSON: -1 / "" when absent.
long json_int(const std::string &json, const char *key);
std::string json_str(const std::string &json, const char *key);
// Element count of the array "key"; -1 when absent.
int json_array_len(const std::string &json, const char *key);
