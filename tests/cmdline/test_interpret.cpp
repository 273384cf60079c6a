// SPDX-License-Identifier: MIT
// Option interpreter: the tool's table, other tables, number ranges,
// positional parameters, long values and allocation failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmdline/cmd.h"

// This executable is linked with --wrap=malloc and --wrap=realloc: while a
// test window is open, every allocation is recorded (so heap copies that the
// interpreter overwrites can still be released) and a chosen one can fail.
extern "C" void *__real_malloc(size_t size);
extern "C" void *__real_realloc(void *p, size_t size);

namespace {
bool window;
int failAt = -1;  // index of the allocation in the window that fails
int calls;
void *tracked[4096];
int ntracked;

bool FailNow() {
  if (!window) return false;
  return calls++ == failAt;
}
}  // namespace

extern "C" void *__wrap_malloc(size_t size) {
  if (FailNow()) return nullptr;
  void *p = __real_malloc(size);
  if (window && p && ntracked < 4096) tracked[ntracked++] = p;
  return p;
}

extern "C" void *__wrap_realloc(void *p, size_t size) {
  if (FailNow()) return nullptr;
  return __real_realloc(p, size);
}

namespace {

struct Outcome {
  int result;
  std::string out;
};

// Hands line to the tokenizer and interprets it, capturing stdout.
Outcome RunLine(OptionEntry *table, const std::string &line, char **params = nullptr,
            int *nparams = nullptr, int fail = -1) {
  static std::string keep;  // the tokenizer reads the line in place
  keep = line;
  InitCmdline(keep.c_str());
  testing::internal::CaptureStdout();
  calls = 0;
  failAt = fail;
  window = true;
  int r = Interpret(table, params, nparams);
  window = false;
  return {r, testing::internal::GetCapturedStdout()};
}

class Interp : public testing::Test {
 protected:
  void TearDown() override {
    for (int i = 0; i < ntracked; ++i) free(tracked[i]);
    ntracked = 0;
  }
};

// The tool's option table, with its own targets.
struct Tool {
  int32_t help = 0;
  char *file = nullptr;
  uint32_t controller = 0;
  int32_t get_version = 0;
  OptionEntry rows[6] = {{"?", OPT_SWITCH, &help, nullptr},
                         {"hilfe", OPT_SWITCH, &help, nullptr},
                         {"f", OPT_STRING, &file, nullptr},
                         {"c", OPT_UINT, &controller, nullptr},
                         {"g", OPT_SWITCH, &get_version, nullptr},
                         {nullptr, 0, nullptr, nullptr}};
};

struct ToolCase {
  const char *line;
  int result;
  const char *out;
  int32_t help;
  const char *file;  // null: not set
  uint32_t controller;
  int32_t get_version;
};

const ToolCase kToolCases[] = {
    {"", 0, "", 0, nullptr, 0, 0},
    {"-c5 ", 0, "", 0, nullptr, 5, 0},
    {"-c 5 ", 0, "", 0, nullptr, 5, 0},
    {"-c0x1f ", 0, "", 0, nullptr, 31, 0},
    {"-c 0x1f ", 0, "", 0, nullptr, 31, 0},
    {"-c0o37 ", 0, "", 0, nullptr, 31, 0},
    {"-c 0o37 ", 0, "", 0, nullptr, 31, 0},
    {"-c0b11111 ", 0, "", 0, nullptr, 31, 0},
    {"-c 010 ", 0, "", 0, nullptr, 10, 0},
    {"-c0X1f ", 1, "Option /c, type unsigned integer: invalid value \"0X1f\"\n", 0, nullptr, 0, 0},
    {"-c0x ", 1, "Option /c, type unsigned integer: invalid value \"0x\"\n", 0, nullptr, 0, 0},
    {"-c 0b ", 1, "Option /c, type unsigned integer: invalid value \"0b\"\n", 0, nullptr, 0, 0},
    {"-c0x1g ", 1, "Option /c, type unsigned integer: invalid value \"1g\"\n", 0, nullptr, 0, 0},
    {"-c 0b102 ", 1, "Option /c, type unsigned integer: invalid value \"102\"\n", 0, nullptr, 0,
     0},
    {"-c 12ab ", 1, "Option /c, type unsigned integer: invalid value \"12ab\"\n", 0, nullptr, 0,
     0},
    {"-c 4294967295 ", 0, "", 0, nullptr, 4294967295u, 0},
    {"-c 0xffffffff ", 0, "", 0, nullptr, 4294967295u, 0},
    {"-c 4294967296 -c 7 ", 1,
     "Option /c, type unsigned integer: invalid value \"4294967296\"\n", 0, nullptr, 7, 0},
    {"-c 0x100000000 -c 8 ", 1,
     "Option /c, type unsigned integer: invalid value \"100000000\"\n", 0, nullptr, 8, 0},
    {"-c 18446744073709551615 -c 9 ", 1,
     "Option /c, type unsigned integer: invalid value \"18446744073709551615\"\n", 0, nullptr, 9,
     0},
    {"-c 99999999999999999999 -c 6 ", 1,
     "Option /c, type unsigned integer: invalid value \"99999999999999999999\"\n", 0, nullptr, 6,
     0},
    {"-c -1 ", 1, "Option /c, type unsigned integer: positive values only\n", 0, nullptr, 0, 0},
    {"-c~-1 ", 1, "Option /c, type unsigned integer: positive values only\n", 0, nullptr, 0, 0},
    {"\"-c-1\" ", 1, "Option /c, type unsigned integer: positive values only\n", 0, nullptr, 0, 0},
    {"\"-c -1\" ", 1, "Option /c, type unsigned integer: invalid value \" -1\"\n", 0, nullptr, 0,
     0},
    {"-c ", 1, "Option /c, type unsigned integer: missing value\n", 0, nullptr, 0, 0},
    {"-f \"\" ", 1, "Option /f, type string: missing value\n", 0, nullptr, 0, 0},
    {"-f -g ", 0, "", 0, "-g", 0, 0},
    {"-f a -f b ", 0, "", 0, "b", 0, 0},
    {"-f my-file ", 0, "", 0, "ile", 0, 0},
    {"-f \"my-file\" ", 0, "", 0, "my-file", 0, 0},
    {"-fmy~-file.bin ", 0, "", 0, "my-file.bin", 0, 0},
    {"-h ", 0, "", 1, nullptr, 0, 0},
    {"-hilf ", 0, "", 1, nullptr, 0, 0},
    {"-? ", 0, "", 1, nullptr, 0, 0},
    {"-hilfex ", 0, "Option /hilfe, type switch, appended value will be ignored: x\n", 1, nullptr,
     0, 0},
    {"-g5 ", 0, "Option /g, type switch, appended value will be ignored: 5\n", 0, nullptr, 0, 1},
    {"-gc ", 0, "Option /g, type switch, appended value will be ignored: c\n", 0, nullptr, 0, 1},
    {"- ", 0, "  ignoring empty option\n", 0, nullptr, 0, 0},
    {"-x ", 1, "unknown option /x\n", 0, nullptr, 0, 0},
    {"-5 ", 1, "unknown option /5\n", 0, nullptr, 0, 0},
    {"-G ", 1, "unknown option /G\n", 0, nullptr, 0, 0},
    {"-hilfa ", 1, "unknown option /hilfa\n", 0, nullptr, 0, 0},
    {"update /g ", 0, "", 0, nullptr, 0, 0},
    {"-x -c 3 -y -g ", 2, "unknown option /x\nunknown option /y\n", 0, nullptr, 3, 1},
    {"-f fw.bin -c 2 -g ", 0, "", 0, "fw.bin", 2, 1},
    {"-c 5 ~", 0, "", 0, nullptr, 5, 0},
    {"-f ~", 1, "Option /f, type string: missing value\n", 0, nullptr, 0, 0},
};

TEST_F(Interp, ToolTable) {
  for (const ToolCase &c : kToolCases) {
    SCOPED_TRACE(std::string("line: [") + c.line + "]");
    Tool t;
    Outcome o = RunLine(t.rows, c.line);
    EXPECT_EQ(o.result, c.result);
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(t.help, c.help);
    if (c.file)
      EXPECT_STREQ(t.file, c.file);
    else
      EXPECT_EQ(t.file, nullptr);
    EXPECT_EQ(t.controller, c.controller);
    EXPECT_EQ(t.get_version, c.get_version);
  }
}

TEST_F(Interp, LongFilePathsWhole) {
  std::string path = "/fw/" + std::string(292, 'p') + ".bin";  // 300 bytes
  ASSERT_EQ(path.size(), 300u);
  for (const std::string &line : {"-f " + path + " -c 2 ", "-f" + path + " -c 2 ",
                                  "-c 2 -f \"" + path + "\""}) {
    Tool t;
    Outcome o = RunLine(t.rows, line);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "");
    ASSERT_NE(t.file, nullptr);
    EXPECT_EQ(std::string(t.file), path);
    EXPECT_EQ(t.controller, 2u);
  }
}

TEST_F(Interp, StringKeepsEmbeddedZeroAndEmptyValue) {
  char *str = nullptr;
  OptionEntry table[] = {{"s", OPT_STRING, &str, nullptr}, {nullptr, 0, nullptr, nullptr}};
  Outcome o = RunLine(table, "-s a^@b ");
  EXPECT_EQ(o.result, 0);
  ASSERT_NE(str, nullptr);
  EXPECT_EQ(std::string(str, 4), std::string("a\0b\0", 4));
  o = RunLine(table, "-s ^ ");
  EXPECT_EQ(o.result, 0);
  ASSERT_NE(str, nullptr);
  EXPECT_STREQ(str, "");
}

struct TableCase {
  const char *line;
  int result;
  const char *out;
};

TEST_F(Interp, AmbiguousNames) {
  char *file = nullptr;
  char *filter = nullptr;
  OptionEntry rows[] = {{"file", OPT_STRING, &file, nullptr},
                        {"filter", OPT_STRING, &filter, nullptr},
                        {nullptr, 0, nullptr, nullptr}};
  char *params[4] = {};
  int n = 4;
  Outcome o = RunLine(rows, "-fil 5 ", params, &n);
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.out, "Option /fil, supply more characters\n\xaf" "file\xae\n\xaf" "filter\xae\n");
  ASSERT_EQ(n, 1);
  EXPECT_STREQ(params[0], "5");
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(filter, nullptr);

  char *f = nullptr;
  OptionEntry three[] = {{"f", OPT_STRING, &f, nullptr},
                         {"file", OPT_STRING, &file, nullptr},
                         {"fi", OPT_SWITCH, &n, nullptr},
                         {nullptr, 0, nullptr, nullptr}};
  o = RunLine(three, "-file x ");
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.out,
            "Option /file, supply more characters\n\xaf" "f\xae\n\xaf" "file\xae\n\xaf"
            "fi\xae\n");
  EXPECT_EQ(f, nullptr);

  OptionEntry two[] = {{"f", OPT_STRING, &f, nullptr},
                       {"file", OPT_STRING, &file, nullptr},
                       {nullptr, 0, nullptr, nullptr}};
  o = RunLine(two, "-fi ");
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.out, "");
  EXPECT_STREQ(f, "i");
}

TEST_F(Interp, IntegerRowAndRanges) {
  int32_t level = 99;
  OptionEntry rows[] = {{"level", OPT_INT, &level, nullptr}, {nullptr, 0, nullptr, nullptr}};
  struct {
    const char *line;
    int result;
    const char *out;
    int32_t level;
  } cases[] = {
      {"-level3 ", 0, "", 3},
      {"-lev3 ", 0, "", 3},
      {"-lev 3 ", 0, "", 3},
      {"-lev -3 ", 0, "", -3},
      {"-lev 0x1F ", 0, "", 31},
      {"-lev 0b101 ", 0, "", 5},
      {"-lev 0o17 ", 0, "", 15},
      {"-lev 2147483647 ", 0, "", 2147483647},
      {"-lev -2147483648 ", 0, "", INT32_MIN},
      {"-lev 0x7fffffff ", 0, "", 2147483647},
      {"-lev -0x10 ", 1, "Option /level, type integer: invalid value \"-0x10\"\n", 99},
      {"-lev0b101 ", 1, "unknown option /lev0b101\n", 99},
      {"-lev 2147483648 -lev 7 ", 1,
       "Option /level, type integer: invalid value \"2147483648\"\n", 7},
      {"-lev -2147483649 -lev 8 ", 1,
       "Option /level, type integer: invalid value \"-2147483649\"\n", 8},
      {"-lev 0x80000000 ", 1, "Option /level, type integer: invalid value \"80000000\"\n", 99},
      {"-lev 99999999999999999999 -lev 4 ", 1,
       "Option /level, type integer: invalid value \"99999999999999999999\"\n", 4},
      {"-lev 1^@ ", 1, "Option /level, type integer: invalid value \"1\"\n", 99},
      {"-lev ^ ", 1, "Option /level, type integer: invalid value \"\"\n", 99},
      {"-lev ", 1, "Option /level, type integer: missing value\n", 99},
      {"-level ", 1, "Option /level, type integer: missing value\n", 99},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string("line: [") + c.line + "]");
    level = 99;
    Outcome o = RunLine(rows, c.line);
    EXPECT_EQ(o.result, c.result);
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(level, c.level);
  }
}

TEST_F(Interp, ArrayHolds127) {
  uint32_t values[128] = {};
  int32_t count = 0;
  OptionEntry rows[] = {{"a", OPT_UINT_ARRAY, values, &count}, {nullptr, 0, nullptr, nullptr}};
  std::string line;
  for (int i = 0; i < 127; ++i) line += "-a " + std::to_string(i * 3) + " ";
  line += "-a 0x11 ";
  Outcome o = RunLine(rows, line);
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.out, "Option /a, type unsigned integer array: too many elements  \"11\"\n");
  EXPECT_EQ(count, 127);
  for (int i = 0; i < 127; ++i) EXPECT_EQ(values[i], static_cast<uint32_t>(i * 3));
  EXPECT_EQ(values[127], 0u);

  count = 5;
  o = RunLine(rows, "-a zz -a -4 -a~-4 -a 4294967296 -a7 -a ");
  EXPECT_EQ(o.result, 5);
  EXPECT_EQ(o.out,
            "Option /a, type unsigned integer array: invalid value \"zz\"\n"
            "Option /a, type unsigned integer array: positive values only\n"
            "Option /a, type unsigned integer array: positive values only\n"
            "Option /a, type unsigned integer array: invalid value \"4294967296\"\n"
            "Option /a, type unsigned integer array: missing value\n");
  EXPECT_EQ(count, 6);
  EXPECT_EQ(values[5], 7u);

  count = -1;  // compared as unsigned: full
  o = RunLine(rows, "-a 1 ");
  EXPECT_EQ(o.out, "Option /a, type unsigned integer array: too many elements  \"1\"\n");
  EXPECT_EQ(count, -1);
}

TEST_F(Interp, IllegalTypesTakeNoValue) {
  int32_t sw = 0;
  OptionEntry rows[] = {{"zero", 0, &sw, nullptr},
                        {"six", 6, &sw, nullptr},
                        {"neg", -1, &sw, nullptr},
                        {"w", OPT_SWITCH, &sw, nullptr},
                        {nullptr, 0, nullptr, nullptr}};
  char *params[2] = {};
  int n = 2;
  Outcome o = RunLine(rows, "-zero -w -six 5 -neg ", params, &n);
  EXPECT_EQ(o.result, 3);
  EXPECT_EQ(o.out,
            "Option /zero, illegal optiontype  0 !!\n"
            "Option /six, illegal optiontype  6 !!\n"
            "Option /neg, illegal optiontype  -1 !!\n");
  EXPECT_EQ(sw, 1);
  ASSERT_EQ(n, 1);
  EXPECT_STREQ(params[0], "5");
}

TEST_F(Interp, PositionalParameters) {
  OptionEntry rows[] = {{nullptr, 0, nullptr, nullptr}};
  char *params[3] = {};
  int n = 2;
  Outcome o = RunLine(rows, "a b c ", params, &n);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.out, "");
  ASSERT_EQ(n, 2);
  EXPECT_STREQ(params[0], "a");
  EXPECT_STREQ(params[1], "b");
  EXPECT_EQ(params[2], nullptr);
  EXPECT_EQ(MaxParams, 2);

  // The tokenizer is exhausted: a second call stores nothing.
  n = 3;
  EXPECT_EQ(Interpret(rows, params, &n), 0);
  EXPECT_EQ(n, 0);

  for (int cap : {0, -3}) {
    n = cap;
    o = RunLine(rows, "a b ", params, &n);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(n, 0);
  }
  o = RunLine(rows, "a b ", params, nullptr);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(MaxParams, 0);
}

// Runs in a fresh process: no command line has been handed over there.
void InterpretWithoutLine() {
  OptionEntry rows[] = {{nullptr, 0, nullptr, nullptr}};
  int n = 5;
  MaxParams = 9;
  testing::internal::CaptureStdout();
  int r = Interpret(rows, nullptr, &n);
  std::string out = testing::internal::GetCapturedStdout();
  bool ok = r == 1 && out == "Commandline not initialised\n" && n == 5 && MaxParams == 9;
  std::exit(ok ? 0 : 1);
}

TEST_F(Interp, NoCommandLineEverHandedOver) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(InterpretWithoutLine(), testing::ExitedWithCode(0), "");
}

TEST_F(Interp, StringAllocationFailure) {
  Tool t;
  char fallback[] = "cordix.bin";
  t.file = fallback;
  Outcome o = RunLine(t.rows, "-f fw.bin -c 3 ", nullptr, nullptr, 0);
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.out, "Option /f, type string: out of memory\n");
  EXPECT_EQ(t.file, fallback);
  EXPECT_EQ(t.controller, 3u);
}

TEST_F(Interp, ParameterAllocationFailure) {
  OptionEntry rows[] = {{nullptr, 0, nullptr, nullptr}};
  char *params[2] = {};
  int n = 2;
  Outcome o = RunLine(rows, "a b ", params, &n, 0);
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.out, "parameter \"a\": out of memory\n");
  ASSERT_EQ(n, 1);
  EXPECT_STREQ(params[0], "b");
}

TEST_F(Interp, TokenBufferAllocationFailure) {
  // Larger than any token of the other tests, so the buffer must grow here.
  std::string path(100000, 'p');
  Tool t;
  Outcome o = RunLine(t.rows, "-f " + path + " -g ", nullptr, nullptr, 0);
  EXPECT_EQ(o.result, 2);
  EXPECT_EQ(o.out,
            "command line: no memory for a token of 100000 bytes\n"
            "Option /f, type string: missing value\n");
  EXPECT_EQ(t.file, nullptr);
  EXPECT_EQ(t.get_version, 0);

  o = RunLine(t.rows, "-f " + path + " -g ");
  EXPECT_EQ(o.result, 0);
  ASSERT_NE(t.file, nullptr);
  EXPECT_EQ(std::string(t.file), path);
  EXPECT_EQ(t.get_version, 1);
}

}  // namespace
