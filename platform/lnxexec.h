// SPDX-License-Identifier: MIT
// Message pump for the tool's CAPI application and its start/stop controls.
#pragma once
#include <capiutils.h>

// The one decoded-message record, overwritten by every received message.
extern _cmsg cmsg;

// Runs the pump for applid: in the calling thread when config.background is
// set (returns the pump's result), else in a new thread (returns the
// thread-creation result at once). Each wait for a message ends after
// config.timeout seconds without one (0: no limit), or after a caught
// signal; the pump then ends with 0.
int start_exec(unsigned applid);
// Waits for a pump started in its own thread to end; returns its result
// (0 when no thread was started).
int wait_exec();
// Has SIGINT, SIGTERM and SIGHUP end the pump's wait instead of the process;
// the first of them restores the default action of all three.
void catch_signals();
// Until unguard_calls: the first stop signal prints "stopped by signal S"
// and ends the process with stop_status; with config.timeout set, a call
// still running config.timeout seconds from now prints "controller not
// answering within N s" and ends it with silent_status. Call it again before
// each call that waits for the controller: each wait gets the full limit.
// Needs catch_signals.
void guard_calls(int stop_status, int silent_status);
// Stop signals are noted again for the pump; the timer is off.
void unguard_calls();
// The stop signal caught, or 0.
int exec_signal();
// Asks the pump to stop after the current wait or message. Returns 1.
int stop_exec();
// Decodes the CAPI message at msg, of which avail bytes are readable, into
// out. Manufacturer messages are decoded in full once their fixed parameters
// and the prefix of their data struct lie inside the message; any other
// message gets its header only (the update protocol ignores it). Returns 0,
// or 1 for a message shorter than its header or longer than avail.
int decode_message(unsigned char *msg, unsigned avail, _cmsg *out);
// Background start: with config.background set, forks; the parent writes the
// child's pid to the pid file and returns 1, the child returns 0. A failed
// fork returns its negative result. Without background, only sets rawmode.
int init_exec();
// Puts standard input into single-key mode (no echo, no signals, VMIN 1).
void rawmode();
// Flushes standard output and restores the terminal settings saved by rawmode.
int cookmode();
// Waits for one character on standard input; returns 0.
int main_loop();
