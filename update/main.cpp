// SPDX-License-Identifier: MIT
// cordix: updates the firmware of the DECT module behind a CAPI 2.0
// controller, or asks the module for its version.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "cmdline/cmd.h"
#include "platform/lnxcapi.h"
#include "platform/lnxexec.h"
#include "platform/lnxlock.h"
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
  EXIT_BUSY = 9,
  EXIT_STOPPED = 10,
  EXIT_SILENT = 11,
  EXIT_RELEASE = 12,
};

const char kHelp[] =
    "Blafasel Hilfe\n"
    "\n"
    "cordix [-f FILE] [-c N] [-g] [-t N] [-? | -hilfe | --help]\n"
    "  -f FILE     firmware image to stream to the DECT module (default cordix.bin)\n"
    "  -c N        CAPI controller (default 1; 0 means 1)\n"
    "  -g          ask the module for its version instead\n"
    "  -t N, -timeout N\n"
    "              give up a wait for the controller after N s (default 0: never)\n"
    "  -?, -hilfe  this help\n"
    "Exit status: 0 update complete (-g: the version's first byte), 1 options,\n"
    "3 image file, 4 no CAPI, 5 profile says no CAPI, 6 and 7 registration failed,\n"
    "8 update did not complete (the module may have changed), 9 controller in use\n"
    "or not lockable, 10 stopped by a signal, 11 controller not answering,\n"
    "12 release failed. With 1, 3-7 and 9-11 nothing reached the module.\n";

char line[kLineSize];
int IsXOL;
bool began;  // the opening request went out: the module may have changed

// Standard descriptors closed by whoever started cordix would be taken by the
// next files opened (libcapi20's shared memory, the controller's socket), and
// what cordix prints would land in them. This runs from the executable's
// .preinit_array, before any library's initialiser.
void open_standard_descriptors(int, char **, char **) {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // Without /dev/null a directory will do: writes to it fail.
    if (open("/dev/null", O_RDWR) != fd && open("/", O_RDONLY | O_DIRECTORY) != fd) _exit(EXIT_OPTIONS);
  }
  // libcapi20 keeps its application ids in /dev/shm and ends the process from
  // its initialiser, before main, when it cannot.
  struct statvfs fs;
  int err = statvfs("/dev/shm", &fs) != 0 ? errno : (fs.f_flag & ST_RDONLY) ? EROFS : 0;
  if (err) {
    char text[128];
    int n = snprintf(text, sizeof text, "/dev/shm: %s (libcapi20 needs a writable /dev/shm)\n",
                     strerror(err));
    if (write(STDOUT_FILENO, text, size_t(n)) < 0) _exit(EXIT_NO_CAPI);
    _exit(EXIT_NO_CAPI);
  }
}
__attribute__((section(".preinit_array"), used)) void (*const preinit)(int, char **, char **) =
    open_standard_descriptors;

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
  bool directory = InputFile && !opened;
  if (opened && !empty) return true;
  if (InputFile) fclose(InputFile);
  InputFile = nullptr;
  if (empty)
    printf("Datei \"%s\" ist leer\n", config.file);
  else if (directory)
    printf("Datei \"%s\" ist ein Verzeichnis\n", config.file);
  else
    printf("Datei \"%s\" konnte nicht ge\xf6" "ffnet werden\n", config.file);
  return false;
}

// Each call that waits for the controller is bounded by -t, and a stop
// signal ends it; nothing has gone to the module yet.
void guard() { guard_calls(EXIT_STOPPED, EXIT_SILENT); }

int check_capi() {
  guard();
  if (!capi_is_installed()) return EXIT_NO_CAPI;
  guard();
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
  guard();
  capi_get_manufacturer(buf);
  buf[sizeof buf - 1] = '\0';
  IsXOL = strstr(reinterpret_cast<char *>(buf), "XOL") != nullptr;
  guard();
  capi_get_version(buf);
  print_version(IsXOL, buf);
  printf("\n%s\n", kRule);
  fflush(stdout);  // the header is in the log before the registration waits
}

int register_application() {
  unsigned error = 0;
  guard();
  ApplID = capi_register(kMsgBufSize, kMaxLogicalConnections, kMaxBDataBlocks, kMaxBDataLen,
                         &error);
  unguard_calls();  // from here a signal is noted: the application is released
  if (ApplID == 0 && error == kRegisterAllFailed) return EXIT_REGISTER_ALL;
  printf("ApplID: 0x%04x\n", ApplID);
  if (ApplID == 0) printf("\ncapi_register: error 0x%04X\n", error);
  return ApplID == 0 ? EXIT_REGISTER : EXIT_OK;
}

// Sends the opening request and runs the pump in this thread until the
// protocol ends. A failed opening request leaves nothing to wait for; after
// a signal nothing is started.
void run_protocol() {
  set_state(config.get_version ? ST_GET_VERSION : ST_DO_UPDATE);
  began = !exec_signal();
  if (began) state_machine(nullptr);
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
// never confirmed the end of the update; 10 when a signal came first.
int final_status() {
  if (!began) return EXIT_STOPPED;
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
  catch_signals();
  guard();  // a signal ends the run at once until the application is registered
  // The joined line would read "--help" as the unknown option "-help".
  if (argc == 2 && strcmp(argv[1], "--help") == 0) config.help = 1;
  int rc;
  if (!config.help && !join_arguments(argc, argv)) return EXIT_OPTIONS;
  set_zero_time();
  if (!config.help && (rc = read_options())) return rc;
  if (config.help) {
    fputs(kHelp, stdout);
    return EXIT_OK;
  }
  apply_defaults();
  if (!config.get_version && !open_firmware()) return EXIT_FILE;
  if (lock_controller(config.controller)) return EXIT_BUSY;
  if ((rc = check_capi())) return rc;
  print_header();
  if ((rc = register_application())) return rc;
  run_protocol();
  close_firmware();
  int status = final_status();
  guard_calls(status, EXIT_RELEASE);  // the run's status stands; a hung release is bounded
  if ((rc = release_application())) return rc;
  return status;
}
