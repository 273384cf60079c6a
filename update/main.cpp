// SPDX-License-Identifier: MIT
// cordix: updates the firmware of the DECT module behind a CAPI 2.0
// controller, or asks the module for its version.
#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <ctime>

#include "cmdline/cmd.h"
#include "platform/lnxcapi.h"
#include "platform/lnxexec.h"
#include "platform/lnxtime.h"
#include "update/cordix.h"

OptionEntry table[] = {
    {"?", OPT_SWITCH, &config.help, nullptr},
    {"hilfe", OPT_SWITCH, &config.help, nullptr},
    {"f", OPT_STRING, &config.file, nullptr},
    {"c", OPT_UINT, &config.controller, nullptr},
    {"g", OPT_SWITCH, &config.get_version, nullptr},
    {"timeout", OPT_UINT, &config.timeout, nullptr},
    {nullptr, 0, nullptr, nullptr},
};

namespace {

const char kBanner[] = "cordix 0.1  (c) 2026 the cordix developers";
const char kRule[] =
    "-------------------------------------------------------------------------------";
constexpr size_t kLineSize = 272;
constexpr unsigned kProfileNoCapi = 0x1009;
// Registration: CAPI message buffer, logical connections, B-data blocks
// and their size.
constexpr unsigned kMsgBufSize = 8192, kMaxLogicalConnections = 1, kMaxBDataBlocks = 2,
                   kMaxBDataLen = 128;
constexpr unsigned kRegisterAllFailed = 0xFFFFFFFFu;

// Exit statuses of a run.
enum {
  EXIT_OK = 0,
  EXIT_OPTIONS = 1,
  EXIT_FILE = 3,
  EXIT_NO_CAPI = 4,
  EXIT_PROFILE = 5,
  EXIT_REGISTER_ALL = 6,
  EXIT_REGISTER = 7,
  EXIT_INCOMPLETE = 8,
  EXIT_RELEASE = 12,
};

char line[kLineSize];
int IsXOL;

// Appends byte c to the line; false when it no longer fits.
bool put(size_t *used, char c) {
  if (*used + 1 >= kLineSize) return false;
  line[(*used)++] = c;
  return true;
}

// Writes one argument so that the tokenizer hands it back as one word with
// every byte as given: a "~" goes before each blank, tab, quote, "~" and
// "^", and before a "-" after the first byte (a leading one makes the
// argument an option). An empty argument becomes "^", an empty word.
bool put_word(size_t *used, const char *arg) {
  if (!*arg && !put(used, '^')) return false;
  for (const char *p = arg; *p; p++) {
    bool escape = strchr(" \t\"~^", *p) || (*p == '-' && p != arg);
    if ((escape && !put(used, '~')) || !put(used, *p)) return false;
  }
  return put(used, ' ');
}

// Joins the arguments after the program name, each followed by one blank.
// A line that does not fit is refused whole (false): a cut could name
// another file.
bool join_arguments(int argc, char **argv) {
  size_t used = 0;
  for (int i = 1; i < argc; i++) {
    if (!put_word(&used, argv[i])) {
      printf("command line too long (at most %zu bytes)\n", kLineSize - 1);
      return false;
    }
  }
  line[used] = '\0';
  return true;
}

// Every option is read; a word that belongs to no option is refused, since
// it is most likely an image named without -f.
int read_options() {
  static char *words[kLineSize / 2];  // a line holds at most this many words
  int nwords = static_cast<int>(sizeof words / sizeof words[0]);
  memset(&config, 0, sizeof config);
  InitCmdline(line);
  int errors = Interpret(table, words, &nwords);
  for (int i = 0; i < nwords; i++) printf("unexpected argument: %s\n", words[i]);
  return errors + nwords != 0 ? EXIT_OPTIONS : EXIT_OK;
}

void apply_defaults() {
  static char default_file[] = "cordix.bin";
  if (config.controller == 0) config.controller = 1;
  if (!config.file) config.file = default_file;
}

// The image must be a file with something in it: a directory opens under
// Linux but is no image, and for an empty file (a truncated download) the
// module would erase its firmware and get nothing in its place.
bool open_firmware() {
  struct stat st;
  InputFile = fopen(config.file, "rb");
  bool opened = InputFile && fstat(fileno(InputFile), &st) == 0 && !S_ISDIR(st.st_mode);
  bool empty = opened && S_ISREG(st.st_mode) && st.st_size == 0;
  if (opened && !empty) return true;
  if (InputFile) fclose(InputFile);
  InputFile = nullptr;
  if (empty)
    printf("Datei \"%s\" ist leer\n", config.file);
  else
    printf("Datei \"%s\" konnte nicht ge\xf6" "ffnet werden\n", config.file);
  return false;
}

int check_capi() {
  if (!capi_is_installed()) return EXIT_NO_CAPI;
  if (capi_get_profile(0, buf) == kProfileNoCapi) {
    printf("CAPI nicht gefunden\n");
    return EXIT_PROFILE;
  }
  return EXIT_OK;
}

void print_header() {
  char date[16], clock[16];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(date, sizeof date, "%d %b %Y", &local);
  strftime(clock, sizeof clock, "%H:%M:%S", &local);
  printf("%s\n%s     %s - %s\n", kRule, kBanner, date, clock);
  memset(buf, 0, sizeof buf);
  capi_get_manufacturer(buf);
  buf[sizeof buf - 1] = '\0';
  IsXOL = strstr(reinterpret_cast<char *>(buf), "XOL") != nullptr;
  capi_get_version(buf);
  print_version(IsXOL, buf);
  printf("\n%s\n", kRule);
  fflush(stdout);  // the header is in the log before the registration waits
}

int register_application() {
  unsigned error = 0;
  ApplID = capi_register(kMsgBufSize, kMaxLogicalConnections, kMaxBDataBlocks, kMaxBDataLen,
                         &error);
  if (ApplID == 0 && error == kRegisterAllFailed) return EXIT_REGISTER_ALL;
  printf("ApplID: 0x%04x\n", ApplID);
  if (ApplID != 0) return EXIT_OK;
  printf("\ncapi_register: error 0x%04X\n", error);
  return EXIT_REGISTER;
}

// Sends the opening request and runs the pump in this thread until the
// protocol ends. A failed opening request leaves nothing to wait for; after
// a signal nothing is started.
void run_protocol() {
  set_state(config.get_version ? ST_GET_VERSION : ST_DO_UPDATE);
  if (!exec_signal()) state_machine(nullptr);
  if (!exec_signal() && get_state() != ST_TERMINATE) {
    config.background = 1;
    start_exec(ApplID);
  }
  if (exec_signal() && !protocol_finished()) printf("stopped by signal %d\n", exec_signal());
}

void close_firmware() {
  if (InputFile) fclose(InputFile);
  InputFile = nullptr;
  stop_exec();
}

int release_application() {
  unsigned r = capi_release(ApplID);
  if (r == 0) return EXIT_OK;
  printf("\ncapi_release: error %04X\n", r);
  return EXIT_RELEASE;
}

// Version mode: the version bytes; update mode: 0, or 8 when the module
// never confirmed the end of the update.
int final_status() {
  if (config.get_version)
    return DectVersion[0] | DectVersion[1] << 8 | DectVersion[2] << 16 | DectVersion[3] << 24;
  if (protocol_finished()) return EXIT_OK;
  printf("update did not complete\n");
  return EXIT_INCOMPLETE;
}

}  // namespace

int main(int argc, char **argv) {
  // A controller that closed its connection must fail a send, not end the run.
  signal(SIGPIPE, SIG_IGN);
  if (!join_arguments(argc, argv)) return EXIT_OPTIONS;
  set_zero_time();
  int rc;
  if ((rc = read_options())) return rc;
  if (config.help) {
    printf("Blafasel Hilfe\n\n");
    return EXIT_OK;
  }
  apply_defaults();
  if (!config.get_version && !open_firmware()) return EXIT_FILE;
  catch_signals();
  if ((rc = check_capi())) return rc;
  print_header();
  if ((rc = register_application())) return rc;
  run_protocol();
  close_firmware();
  if ((rc = release_application())) return rc;
  return final_status();
}
