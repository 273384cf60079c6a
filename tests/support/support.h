// SPDX-License-Identifier: MIT
// Test support: programs run with a deadline, a HOME of their own and a
// private /dev/shm; a dectsim per run, and the numbers of its JSON summary.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

struct Proc {
  int status;       // exit status, 128 + signal, or -1
  bool timed_out;   // killed at the deadline
  std::string out;  // standard output
  long cpu_ms;      // CPU time it used
};

// A new directory under $TMPDIR or /tmp, removed again with remove_tree.
std::string temp_dir();
void remove_tree(const std::string &dir);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
// HOME/.capi20rc naming 127.0.0.1:port, so libcapi20 never looks further.
void write_capi20rc(const std::string &home, int port);

// Runs argv with HOME=home in cwd, stdin from /dev/null, in a mount
// namespace with a tmpfs on /dev/shm when root; SIGKILL at the deadline.
// The words of $CORDIX_CLIENT_WRAPPER go in front (an emulator). With sig,
// the program gets that signal once its output holds sig_after.
Proc run(std::vector<std::string> argv, const std::string &home, const std::string &cwd,
         int timeout_ms, int sig = 0, const std::string &sig_after = "");

// dectsim ($DECTSIM_BIN, else the one built) on a free port, in dir with
// dir/home (its .capi20rc written), dir/summary.json, dir/firmware.bin and
// dir/trace.
struct Sim {
  pid_t pid = -1;
  std::string dir;
};
bool sim_start(Sim *sim, const std::vector<std::string> &args);
// Waits up to ms for dectsim to end by itself, then stops it; removes nothing.
void sim_stop(Sim *sim, int ms);
// First value of "key" in a JSON text; -1 when absent.
long json_int(const std::string &json, const char *key);
