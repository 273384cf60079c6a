// SPDX-License-Identifier: MIT
// Arbitrary bytes as a command line through the tokenizer and the option
// interpreter, with the tool's rows and with rows of every type (illegal
// ones too). Linked with --wrap=malloc: the interpreter's heap copies, which
// it never frees, are recorded and released after each input.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmdline/cmd.h"

extern "C" void *__real_malloc(size_t size);

namespace {

bool recording;
std::vector<void *> *copies;

int32_t sw, level, nlist;
uint32_t unit, list[127];
char *name;
OptionEntry rows[] = {{"?", OPT_SWITCH, &sw, nullptr},         {"hilfe", OPT_SWITCH, &sw, nullptr},
                      {"f", OPT_STRING, &name, nullptr},        {"c", OPT_UINT, &unit, nullptr},
                      {"g", OPT_SWITCH, &sw, nullptr},          {nullptr, 0, nullptr, nullptr},
                      {"level", OPT_INT, &level, nullptr},      {"lev2", OPT_INT, &level, nullptr},
                      {"ua", OPT_UINT_ARRAY, list, &nlist},     {"name", OPT_STRING, &name, nullptr},
                      {"nam", OPT_STRING, &name, nullptr},      {"x0", 0, &sw, nullptr},
                      {"x6", 6, &sw, nullptr},                  {nullptr, 0, nullptr, nullptr}};

}  // namespace

extern "C" void *__wrap_malloc(size_t size) {
  void *p = __real_malloc(size);
  if (recording && p) copies->push_back(p);
  return p;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  copies = new std::vector<void *>;
  copies->reserve(1 << 20);  // no growth, so no allocation, while recording
  int fd = open("/dev/null", O_WRONLY);  // the interpreter's messages
  return dup2(fd, STDOUT_FILENO) < 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size >= copies->capacity()) return 0;
  std::string line(reinterpret_cast<const char *>(data), size);
  InitCmdline(line.c_str());
  char *text;
  int len;
  while (Step2(&text, &len) == 0)
    if (text && (len < 0 || size_t(len) > size || text[len] != 0)) abort();
  if (text || len != 0 || Step2(&text, &len) != 1) abort();
  for (OptionEntry *table : {rows, rows + 6}) {
    char *params[4] = {};
    int n = table == rows ? 0 : 4;
    nlist = 0;
    InitCmdline(line.c_str());
    recording = true;
    int errors = Interpret(table, params, &n);
    recording = false;
    if (errors < 0 || n < 0 || n > 4 || nlist < 0 || nlist > 127) abort();
    for (void *p : *copies) free(p);
    copies->clear();
  }
  return 0;
}
