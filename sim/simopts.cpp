// SPDX-License-Identifier: MIT
// Command line of dectsim (getopt_long).
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/simcore.h"

namespace {

enum {
  OPT_PORT_FILE = 256, OPT_TRACE, OPT_ONCE, OPT_IDLE_EXIT, OPT_MANUFACTURER,
  OPT_CAPI_VERSION, OPT_MANU_VERSION, OPT_SERIAL, OPT_PROFILE_ERROR,
  OPT_REGISTER_ERROR, OPT_VERSION_BYTES, OPT_VERSION_OF, OPT_BOOT_LOADER_VERSION, OPT_STATE,
  OPT_FAULT, OPT_DELAY, OPT_HELP,
};

const struct option kLongOptions[] = {
    {"port", required_argument, nullptr, 'p'},
    {"port-file", required_argument, nullptr, OPT_PORT_FILE},
    {"firmware-out", required_argument, nullptr, 'o'},
    {"json", required_argument, nullptr, 'j'},
    {"trace", required_argument, nullptr, OPT_TRACE},
    {"once", no_argument, nullptr, OPT_ONCE},
    {"idle-exit", required_argument, nullptr, OPT_IDLE_EXIT},
    {"manufacturer", required_argument, nullptr, OPT_MANUFACTURER},
    {"capi-version", required_argument, nullptr, OPT_CAPI_VERSION},
    {"manu-version", required_argument, nullptr, OPT_MANU_VERSION},
    {"serial", required_argument, nullptr, OPT_SERIAL},
    {"profile-error", required_argument, nullptr, OPT_PROFILE_ERROR},
    {"register-error", required_argument, nullptr, OPT_REGISTER_ERROR},
    {"version-bytes", required_argument, nullptr, OPT_VERSION_BYTES},
    {"version-of", required_argument, nullptr, OPT_VERSION_OF},
    {"boot-loader-version", required_argument, nullptr, OPT_BOOT_LOADER_VERSION},
    {"state", required_argument, nullptr, OPT_STATE},
    {"fault", required_argument, nullptr, OPT_FAULT},
    {"delay", required_argument, nullptr, OPT_DELAY},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, OPT_HELP},
    {},
};

const char kHelp[] =
    "Usage: dectsim [OPTION]...\n"
    "Plays a CAPI 2.0 controller with a DECT module behind it, reachable through\n"
    "libcapi20's remote driver (.capi20rc line: REMOTE rcapi 127.0.0.1 PORT).\n"
    "\n"
    "  -p, --port=N             TCP port on 127.0.0.1 (default 0: a free port)\n"
    "      --port-file=FILE     write the bound port and a newline to FILE\n"
    "  -o, --firmware-out=FILE  write the image of the last completed update at exit\n"
    "  -j, --json=FILE          write the summary as JSON to FILE at exit\n"
    "      --trace=FILE         append each CAPI message received on application\n"
    "                           connections as one line of lower-case hex\n"
    "      --once               exit when the first application connection closed\n"
    "      --idle-exit=SECONDS  exit after SECONDS without client activity\n"
    "                           (default 0: never)\n"
    "      --manufacturer=TEXT  manufacturer text (default \"XOL DECT module simulator\")\n"
    "      --capi-version=MAJ.MIN   CAPI version (default 2.0)\n"
    "      --manu-version=MAJ.MIN   manufacturer version (default 52.21)\n"
    "      --serial=TEXT        serial number, up to 7 characters (default 1234567)\n"
    "      --profile-error=CODE answer profile requests with CODE (default 0)\n"
    "      --register-error=CODE    refuse registrations with CODE\n"
    "      --version-bytes=B0,B1,B2 module version bytes in hex (default 12,34,56)\n"
"      --version-of=FILE:B0.B1.B2  after a completed update whose image equals\n"
    "                           FILE's bytes, report version B0.B1.B2 (hex, as\n"
    "                           cordix -g prints it) until the next completed\n"
    "                           update; other images leave the version as it is\n"
    "                           (repeatable)\n"
    "      --boot-loader-version=B0.B1.B2\n"
    "                           version the module's boot loader reports, from a\n"
    "                           start request until an end request completes the\n"
    "                           update (hex, default 00.00.00)\n"
    "      --state=FILE         keep the module's version and whether it sits in its\n"
    "                           boot loader in FILE across restarts: read at start\n"
    "                           (wins over --version-bytes), rewritten at each change\n"
    "      --fault=KIND@K       inject a fault at the K-th manufacturer request of\n"
    "                           the application connection (repeatable); KIND:\n"
    "                             conf-class[=N]    confirmation with Class N (1),\n"
    "                                               no indication\n"
    "                             close             close the connection, send nothing\n"
    "                             silent            send nothing from request K on\n"
    "                             short-ind         indication shorter than 3 bytes\n"
    "                             bad-code[=C]      indication with code C (9)\n"
    "                             extra-function    extra indication with Function 14\n"
    "                             extra-class       extra indication with Class 1\n"
    "                                               (extras go out at once, the real\n"
    "                                               indication after any --delay)\n"
    "                             version-short     inner version struct of 2 bytes\n"
    "                             version-overlong  inner struct longer than the outer\n"
    "                             no-ind            confirmation only\n"
    "                             close-after       answer, then close the connection\n"
    "                             reset             reset the connection, send nothing;\n"
    "                                               reset@0: right after registration\n"
    "      --delay=MS           wait MS milliseconds before each indication\n"
    "  -q, --quiet              no connection log lines (the listening line,\n"
    "                           refused frames and the summary remain)\n"
    "  -v, --verbose            one log line per frame\n"
    "      --help               show this help and exit\n"
    "\n"
    "Exits 0 on a clean shutdown (also on SIGTERM and SIGINT), 2 for bad options\n"
    "or a state file it cannot read.\n";

// Unsigned number with base prefix (0x.., 0.., decimal) up to max.
bool parse_uint(const char *s, unsigned long max, unsigned *out) {
  if (!s || !*s || *s == '-' || *s == '+') return false;
  char *end = nullptr;
  errno = 0;
  unsigned long v = strtoul(s, &end, 0);
  if (errno || *end || v > max) return false;
  *out = unsigned(v);
  return true;
}

bool parse_pair(const char *s, unsigned *out) {
  unsigned a, b;
  char tail;
  if (sscanf(s, "%u.%u%c", &a, &b, &tail) != 2) return false;
  out[0] = a;
  out[1] = b;
  return true;
}

bool parse_version_bytes(const char *s, uint8_t *out) {
  unsigned v[3];
  char tail;
  if (sscanf(s, "%x,%x,%x%c", &v[0], &v[1], &v[2], &tail) != 3) return false;
  for (int i = 0; i < 3; i++) {
    if (v[i] > 0xff) return false;
    out[i] = uint8_t(v[i]);
  }
  return true;
}

// B0.B1.B2 in hex, as cordix -g prints it.
bool parse_version(const char *s, uint8_t *out) {
  unsigned v[3];
  char tail;
  if (sscanf(s, "%2x.%2x.%2x%c", &v[0], &v[1], &v[2], &tail) != 3) return false;
  for (int i = 0; i < 3; i++) out[i] = uint8_t(v[i]);
  return true;
}

// The file at path, or its beginning once more than max bytes are in;
// false with errno set when it cannot be read.
bool read_file(const char *path, std::string *data, size_t max = SIZE_MAX) {
  FILE *f = fopen(path, "rb");
  if (!f) return false;
  char chunk[4096];
  size_t n;
  while (data->size() <= max && (n = fread(chunk, 1, sizeof chunk, f)) > 0) data->append(chunk, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// FILE:B0.B1.B2; the file is read now, so the match needs no disk later.
bool parse_version_of(const char *s, SimImageVersion *iv) {
  const char *colon = strrchr(s, ':');
  return colon && parse_version(colon + 1, iv->version) &&
         read_file(std::string(s, size_t(colon - s)).c_str(), &iv->image);
}

// The module's firmware from the --state file; a missing file leaves it.
bool read_state(SimOptions *opt) {
  const char *path = opt->state.c_str();
  std::string text;
  if (!read_file(path, &text, 64)) {
    if (errno == ENOENT) return true;
    fprintf(stderr, "dectsim: cannot read state file %s: %s\n", path, strerror(errno));
    return false;
  }
  if (sim_state_parse(text, opt)) return true;
  fprintf(stderr, "dectsim: damaged state file %s: expected the lines \"version B0.B1.B2\" and "
          "\"boot-loader no|yes\"\n", path);
  return false;
}

// A kind with a default value takes a value.
struct FaultName {
  const char *name;
  int kind;
  unsigned default_value = 0;
};
constexpr FaultName kFaults[] = {
    {"conf-class", FAULT_CONF_CLASS, 1},
    {"close", FAULT_CLOSE},
    {"silent", FAULT_SILENT},
    {"short-ind", FAULT_SHORT_IND},
    {"bad-code", FAULT_BAD_CODE, 9},
    {"extra-function", FAULT_EXTRA_FUNCTION},
    {"extra-class", FAULT_EXTRA_CLASS},
    {"version-short", FAULT_VERSION_SHORT},
    {"version-overlong", FAULT_VERSION_OVERLONG},
    {"no-ind", FAULT_NO_IND},
    {"close-after", FAULT_CLOSE_AFTER},
    {"reset", FAULT_RESET},
};

// KIND[=VALUE]@K
bool parse_fault(const char *s, SimFault *f) {
  const char *at = strrchr(s, '@');
  if (!at || !parse_uint(at + 1, 0xffffffffUL, &f->at)) return false;
  const char *eq = static_cast<const char *>(memchr(s, '=', size_t(at - s)));
  size_t name_len = size_t((eq ? eq : at) - s);
  for (const FaultName &n : kFaults) {
    if (strlen(n.name) != name_len || strncmp(n.name, s, name_len) != 0) continue;
    if (f->at == 0 && n.kind != FAULT_RESET) return false;
    f->kind = n.kind;
    f->value = n.default_value;
    if (!eq) return true;
    if (!n.default_value) return false;
    std::string value(eq + 1, size_t(at - eq - 1));
    return parse_uint(value.c_str(), 0xffffffffUL, &f->value);
  }
  return false;
}

bool bad(const char *what, const char *arg) {
  fprintf(stderr, "dectsim: invalid %s: '%s'\n", what, arg);
  return false;
}

// Applies one option; false on a bad value.
bool apply(int c, const char *arg, SimOptions *opt) {
  unsigned v;
  SimFault f{};
  switch (c) {
    case 'p':
      if (!parse_uint(arg, 65535, &v)) return bad("port", arg);
      opt->port = int(v);
      return true;
    case OPT_PORT_FILE: opt->port_file = arg; return true;
    case 'o': opt->firmware_out = arg; return true;
    case 'j': opt->json = arg; return true;
    case OPT_TRACE: opt->trace = arg; return true;
    case OPT_ONCE: opt->once = true; return true;
    case OPT_IDLE_EXIT:
      if (!parse_uint(arg, 86400 * 365, &opt->idle_exit)) return bad("idle time", arg);
      return true;
    case OPT_MANUFACTURER:
      if (strlen(arg) > 63) return bad("manufacturer text (63 bytes at most)", arg);
      opt->manufacturer = arg;
      return true;
    case OPT_CAPI_VERSION:
      return parse_pair(arg, opt->capi_version) || bad("CAPI version", arg);
    case OPT_MANU_VERSION:
      return parse_pair(arg, opt->manu_version) || bad("manufacturer version", arg);
    case OPT_SERIAL:
      if (strlen(arg) > 7) return bad("serial number (7 bytes at most)", arg);
      opt->serial = arg;
      return true;
    case OPT_PROFILE_ERROR:
      return parse_uint(arg, 0xffff, &opt->profile_error) || bad("profile error", arg);
    case OPT_REGISTER_ERROR:
      if (!parse_uint(arg, 0xffff, &opt->register_error) || opt->register_error == 0)
        return bad("register error", arg);
      return true;
    case OPT_VERSION_BYTES:
      return parse_version_bytes(arg, opt->version_bytes) || bad("version bytes", arg);
    case OPT_VERSION_OF: {
      SimImageVersion iv;
      if (!parse_version_of(arg, &iv)) return bad("version-of (FILE:B0.B1.B2, FILE readable)", arg);
      opt->version_of.push_back(iv);
      return true;
    }
    case OPT_BOOT_LOADER_VERSION:
      return parse_version(arg, opt->boot_loader_version) || bad("boot loader version", arg);
    case OPT_STATE: opt->state = arg; return true;
    case OPT_FAULT:
      if (!parse_fault(arg, &f)) return bad("fault", arg);
      opt->faults.push_back(f);
      return true;
    case OPT_DELAY:
      return parse_uint(arg, 3600000, &opt->delay_ms) || bad("delay", arg);
    case 'q': opt->verbosity = 0; return true;
    case 'v': opt->verbosity = 2; return true;
    default: return false;
  }
}

}  // namespace

int sim_parse_options(int argc, char **argv, SimOptions *opt) {
  optind = 0;  // full re-initialisation of getopt (the tests parse repeatedly)
  int c;
  while ((c = getopt_long(argc, argv, "p:o:j:qv", kLongOptions, nullptr)) != -1) {
    if (c == OPT_HELP) {
      fputs(kHelp, stdout);
      return 1;
    }
    if (c == '?' || !apply(c, optarg, opt)) {
      fputs("Try 'dectsim --help' for more information.\n", stderr);
      return 2;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "dectsim: unexpected argument '%s'\n", argv[optind]);
    return 2;
  }
  // Last, so that an existing file wins over --version-bytes wherever it stands.
  return opt->state.empty() || read_state(opt) ? 0 : 2;
}
