// SPDX-License-Identifier: MIT
// dectsim: a stand-in CAPI controller with a DECT module behind it.
// Shared types of the simulator's modules: options, the one module behind
// the controller, what it saw of each application session, and the frames
// it answers with.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Injected failures, each at one request number of the application connection.
enum SimFaultKind {
  FAULT_CONF_CLASS = 1,   // confirmation with Class value, no indication
  FAULT_CLOSE,            // close the connection on receipt, send nothing
  FAULT_SILENT,           // send nothing for this and every later request
  FAULT_SHORT_IND,        // indication ManuData shorter than 3 bytes
  FAULT_BAD_CODE,         // indication with code value instead of the expected one
  FAULT_EXTRA_FUNCTION,   // an extra indication with Function 14 first
  FAULT_EXTRA_CLASS,      // an extra indication with Class 1 first
  FAULT_VERSION_SHORT,    // inner struct holding only 2 bytes
  FAULT_VERSION_OVERLONG, // inner struct claiming more than the outer holds
  FAULT_NO_IND,           // confirmation only
  FAULT_CLOSE_AFTER,      // answer at once, then close the connection
  FAULT_RESET,            // reset the connection on receipt (at 0: right after
                          // the registration reply), send nothing
};

struct SimFault {
  int kind;
  unsigned at;     // 1-based request number
  unsigned value;  // Class for conf-class, code for bad-code
};

// An image the module knows: after an update with exactly these bytes it
// reports version.
struct SimImageVersion {
  std::string image;
  uint8_t version[3];
};

struct SimOptions {
  int port = 0;
  std::string port_file, firmware_out, json, trace;
  bool once = false;
  unsigned idle_exit = 0;
  std::string manufacturer = "XOL DECT module simulator";
  unsigned capi_version[2] = {2, 0};
  unsigned manu_version[2] = {52, 21};
  std::string serial = "1234567";
  unsigned profile_error = 0;
  unsigned register_error = 0;
  // The module's firmware when the simulator starts (--version-bytes, or the
  // --state file): its version, and whether it sits in its boot loader.
  uint8_t version_bytes[3] = {0x12, 0x34, 0x56};
  bool boot_loader = false;
  uint8_t boot_loader_version[3] = {0, 0, 0};
  std::string state;  // the file that keeps the firmware's state, or ""
  std::vector<SimImageVersion> version_of;
  std::vector<SimFault> faults;
  unsigned delay_ms = 0;
  int verbosity = 1;  // 0 quiet, 1 normal, 2 one line per frame
};

// Parses the command line, then reads the --state file if there is one.
// 0: run; 1: help printed, exit 0; 2: bad options or an unreadable or
// damaged state file (a message on stderr).
int sim_parse_options(int argc, char **argv, SimOptions *opt);

// The state file's text for a firmware: "version B0.B1.B2" (hex, as
// cordix -g prints it) and "boot-loader no" or "yes", one line each.
std::string sim_state_text(const uint8_t *version, bool boot_loader);
// Takes the firmware's state from text into *opt; false, leaving *opt as
// it was, unless text is exactly what sim_state_text writes.
bool sim_state_parse(const std::string &text, SimOptions *opt);

// Where the update of one application connection stands.
enum SimPhase {
  PHASE_IDLE,      // the module took no start request from it
  PHASE_DATA,      // the module took its start request, no end request yet
  PHASE_COMPLETE,  // its end request completed the update
};

// What the module saw on one application connection.
struct SimSession {
  unsigned id = 0;  // the session's number, from 1
  unsigned requests = 0, start_requests = 0, data_chunks = 0, end_requests = 0;
  unsigned version_requests = 0, faults_injected = 0;
  long controller = -1;
  long appl_id = -1;
  SimPhase phase = PHASE_IDLE;
  bool silent = false;       // a silent fault: nothing is answered any more
  bool ind_pending = false;  // a real indication is scheduled but not sent yet
  unsigned ind_number = 0;   // message number of the last indication sent
  std::vector<std::string> violations;
  std::string firmware;  // the data the module took from this session
  std::string closed_by;
};

// The one DECT module behind the controller, whichever application or
// controller number a request comes through: its firmware and its one
// update state machine. An update belongs to the session that started it;
// only that session sends its data and ends it.
struct SimModule {
  uint8_t version[3] = {};     // the firmware's version, changed by completed updates
  bool boot_loader = false;    // from an accepted start until an update completes
  unsigned owner = 0;          // the session whose update runs; 0: none
  std::string image;           // what that update received so far
  bool completed = false;      // an update completed: last_image holds its image
  std::string last_image;
  std::vector<std::string> events;  // what the module did, for the log; the caller empties it
};

// The module as the options (and the --state file) describe it at start.
SimModule sim_module_init(const SimOptions &opt);

// The session's connection closed: an update it owned is aborted, the
// module stays in its boot loader and takes a new start from anyone. True
// when an update was aborted.
bool sim_session_closed(SimModule *m, const SimSession &s);

// One answer frame body (a CAPI message) and when to send it.
struct SimReply {
  std::string msg;
  unsigned delay_ms;
  bool real_ind;  // the indication the request asked for (clears ind_pending)
};

// What becomes of the connection after a message.
enum SimAfter { AFTER_KEEP, AFTER_CLOSE, AFTER_RESET };

// Handles one CAPI message received on session s's connection: checks it,
// steps the module m, appends the answers to *out. A request the module
// cannot take now (a start during another session's update, data or an
// end request outside the session's own update) is a violation and gets a
// confirmation with Class kSimRefused and no indication.
constexpr unsigned kSimRefused = 0x2001;  // CAPI: message not supported in current state
SimAfter sim_handle_message(const SimOptions &opt, SimModule *m, SimSession *s, const uint8_t *msg,
                            size_t len, std::vector<SimReply> *out);

// Framing of the remote-CAPI stream: a 2-byte big-endian length that counts
// itself, then the body: a control request (app false) or, once registered,
// a CAPI message. FRAME_OK: the n bytes at in begin with a frame of *len
// bytes; FRAME_MORE: not yet a whole frame; FRAME_BAD: *why says why not.
enum SimFrame { FRAME_OK, FRAME_MORE, FRAME_BAD };
SimFrame sim_next_frame(const uint8_t *in, size_t n, bool app, size_t *len, std::string *why);

// Control requests before registration (bytes 4-5 of the body).
enum : unsigned {
  CTRL_REGISTER = 0xf2ff, CTRL_MANUFACTURER = 0xfaff, CTRL_VERSION = 0xfcff,
  CTRL_SERIAL = 0xfeff, CTRL_PROFILE = 0xe0ff,
};
// Builds the reply body for a control request (body of len bytes) and
// reports its command; false for a short body or an unknown command.
bool sim_control_reply(const SimOptions &opt, const uint8_t *body, size_t len,
                       std::string *reply, unsigned *command);

// Summary of the run: a human-readable block and JSON.
struct SimTotals {
  unsigned connections = 0, registrations = 0, refused_registrations = 0;
  unsigned control_requests = 0;
  // What the last register request asked for.
  unsigned max_logical_connections = 0, max_b_data_blocks = 0, max_b_data_len = 0;
  std::vector<std::string> malformed;
};
std::string sim_summary_text(const SimTotals &t, const std::vector<SimSession> &s);
std::string sim_summary_json(const SimTotals &t, const std::vector<SimSession> &s);

// Writes data to path whole or not at all: a fresh name beside it, created
// exclusively (a link planted there is never followed), synced, renamed into
// place. False with errno set on failure.
bool sim_write_file(const std::string &path, const std::string &data);

// The 16-bit little-endian word at p.
unsigned sim_get16(const uint8_t *p);
// Lower-case hex of bytes.
std::string sim_hex(const uint8_t *p, size_t n);
// Lower-case hex SHA-256 of bytes.
std::string sim_sha256(const std::string &bytes);
// prefix followed by the printf-style text of fmt and ap, cut to 200 bytes.
std::string sim_vformat(const std::string &prefix, const char *fmt, va_list ap);
