// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes as a command line through the tokenizer and the
// option interpreter, with the tool's option table and with a table that
// holds every option type (plus illegal ones).
//
// Linked with --wrap=malloc: the interpreter's heap copies are recorded while
// it runs and released afterwards, including those it overwrote.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "cmdline/cmd.h"

extern "C" void *__real_malloc(size_t size);

namespace {

// Every token makes at most one copy, so a line of n bytes makes at most n.
bool recording;
void **copies;
size_t ncopies;
size_t maxcopies;

void ReleaseCopies() {
  for (size_t i = 0; i < ncopies; ++i) free(copies[i]);
  ncopies = 0;
}

// The tool's five rows.
int32_t help;
char *file;
uint32_t controller;
int32_t get_version;
OptionEntry toolTable[] = {{"?", OPT_SWITCH, &help, nullptr},
                           {"hilfe", OPT_SWITCH, &help, nullptr},
                           {"f", OPT_STRING, &file, nullptr},
                           {"c", OPT_UINT, &controller, nullptr},
                           {"g", OPT_SWITCH, &get_version, nullptr},
                           {nullptr, 0, nullptr, nullptr}};

// Every type, with names that share beginnings and end in digits.
int32_t sw;
int32_t level;
uint32_t unit;
uint32_t list[127];
int32_t nlist;
char *name;
OptionEntry allTable[] = {{"s", OPT_SWITCH, &sw, nullptr},
                          {"level", OPT_INT, &level, nullptr},
                          {"lev2", OPT_INT, &level, nullptr},
                          {"u", OPT_UINT, &unit, nullptr},
                          {"ua", OPT_UINT_ARRAY, list, &nlist},
                          {"name", OPT_STRING, &name, nullptr},
                          {"nam", OPT_STRING, &name, nullptr},
                          {"x0", 0, &sw, nullptr},
                          {"x6", 6, &sw, nullptr},
                          {"xneg", -7, &sw, nullptr},
                          {nullptr, 0, nullptr, nullptr}};

// Walks the tokens and checks what the tokenizer promises of each.
void CheckTokens(const char *line, size_t size) {
  InitCmdline(line);
  char *text;
  int len;
  while (Step2(&text, &len) == 0) {
    if (!text) continue;
    if (len < 0 || static_cast<size_t>(len) > size || text[len] != 0) abort();
  }
  if (text || len != 0 || Step2(&text, &len) != 1) abort();
}

void RunTable(const char *line, OptionEntry *table, int capacity) {
  char *params[4] = {};
  int n = capacity;
  InitCmdline(line);
  recording = true;
  int errors = Interpret(table, params, &n);
  recording = false;
  if (errors < 0 || n < 0 || n > capacity || nlist < 0 || nlist > 127) abort();
  ReleaseCopies();
}

}  // namespace

extern "C" void *__wrap_malloc(size_t size) {
  void *p = __real_malloc(size);
  if (recording && p) {
    if (ncopies == maxcopies) abort();
    copies[ncopies++] = p;
  }
  return p;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The interpreter's messages are not needed; libFuzzer reports on stderr.
  int fd = open("/dev/null", O_WRONLY);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char *line = static_cast<char *>(__real_malloc(size + 1));
  if (!line) return 0;
  memcpy(line, data, size);
  line[size] = 0;
  maxcopies = size + 1;
  copies = static_cast<void **>(__real_malloc(maxcopies * sizeof *copies));
  if (!copies) {
    free(line);
    return 0;
  }
  CheckTokens(line, size);
  file = nullptr;
  RunTable(line, toolTable, 0);
  name = nullptr;
  nlist = 0;
  RunTable(line, allTable, 4);
  free(copies);
  free(line);
  return 0;
}
