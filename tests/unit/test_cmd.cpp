// SPDX-License-Identifier: MIT
// Tokenizer and option interpreter: their edge cases, one table each.
// malloc and realloc are wrapped in this program so that a chosen
// allocation of an interpretation can fail.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cmdline/cmd.h"

extern "C" void *__real_malloc(size_t size);
extern "C" void *__real_realloc(void *p, size_t size);
namespace {
int fail_at = -1;  // allocation number that fails; -1: none
void *copies[16];  // the heap copies of an interpretation, released after it
int ncopies;
bool recording;
}
extern "C" void *__wrap_malloc(size_t size) {
  void *p = fail_at-- == 0 ? nullptr : __real_malloc(size);
  if (p && recording && ncopies < 16) copies[ncopies++] = p;
  return p;
}
extern "C" void *__wrap_realloc(void *p, size_t size) {
  return fail_at-- == 0 ? nullptr : __real_realloc(p, size);
}

namespace {

// Every token of line, "<null>" for a null text with result 0.
std::vector<std::string> tokens(const std::string &line) {
  InitCmdline(line.c_str());
  std::vector<std::string> out;
  char *t;
  int n;
  while (Step2(&t, &n) == 0) out.push_back(t ? std::string(t, size_t(n)) : "<null>");
  EXPECT_TRUE(t == nullptr && n == 0 && Step2(&t, &n) == 1 && Step1(&t, &n) == 1);  // the end stays
  return out;
}

TEST(Tokenizer, EdgeCases) {
  const std::string k = std::string(127, 'k'), l = std::string(300, 'l');
  const struct {
    std::string line;
    std::vector<std::string> tokens;
  } cases[] = {
      {"", {}}, {"a b c ", {"a", "b", "c"}}, {"a \"b c\" d ", {"a", "b c", "d"}},
      {"-f-c ", {"-f", "-c"}}, {"--x ", {"-", "-x"}}, {"a-b ", {"a", "-b"}},
      {"-\"x y\" ", {"-", "x y"}}, {"\"-x\" ", {"-x"}}, {"-fmy~-file.bin ", {"-fmy-file.bin"}},
      {"-f\"my-file.bin\" ", {"-f", "my-file.bin"}}, {"ab\"cd\"ef ", {"ab", "cd", "ef"}},
      {"\"a b\"c ", {"a b", "c"}}, {"a\"b c", {"a", "b c"}}, {"a~ b ", {"a b"}}, {"~ ", {" "}},
      {"~\"abc ", {"\"abc"}}, {"\"a~\"b\" ", {"a\"b"}}, {"\"abc ", {"abc "}}, {"\"abc~\"", {"abc"}},
      {"\"\" b ", {"b"}}, {"x^a^Z^@y ", {std::string("x\x01\x1a\0y", 5)}}, {"^^ ", {"\x1e"}},
      {"^1x ", {"x"}}, {"^1^a ", {"\x01"}}, {"~^a ", {"^a"}}, {"~~ ", {"~"}}, {"^ ", {""}},
      {"^1 ", {""}}, {"a ~", {"a", "<null>"}}, {"\"~\"", {"<null>"}}, {"a  ", {"a"}},
      {"\ta\t\t", {"a"}}, {"    ", {}}, {"a \"", {"a"}}, {"a~", {"a"}}, {"a^", {"a"}},
      {"x^[^\\^]^_^`^{ ", {"x\x1b\x1c\x1d\x1f"}}, {"^\xc4z \xe4 ", {"z", "\xe4"}},
      {k.substr(4) + "^a~b " + k + "x \"" + l + " " + l + "\"", {k.substr(4) + "\x01" "b", k + "x", l + " " + l}},
  };
  for (const auto &c : cases) EXPECT_EQ(tokens(c.line), c.tokens) << "[" << c.line << "]";
}

TEST(Tokenizer, RawTokensNullLineAndRestart) {
  static const char line[] = "a~ b \"x y\" -f\"q\"open ";
  char *t;
  int n;
  InitCmdline(line);
  for (const char *raw : {"a~ b", "\"x y\"", "-f"}) {
    ASSERT_EQ(Step1(&t, &n), 0);
    EXPECT_EQ(std::string(t, size_t(n)), raw);
  }
  EXPECT_EQ(InitCmdline(nullptr), 0);  // keeps the position
  ASSERT_EQ(Step2(&t, &n), 0);
  EXPECT_STREQ(t, "q");
  InitCmdline(line);
  ASSERT_EQ(Step2(&t, &n), 0);
  EXPECT_STREQ(t, "a b");
  char b[] = "abcdef";
  moveleft(b + 2, 3, 2);
  moveleft(b + 1, 0, 1);
  EXPECT_STREQ(b, "cdedef");
}

TEST(Tokenizer, NoLineEverHandedOver) {
  auto run = [] {
    char *t = nullptr;
    int n = 7;
    dup2(2, 1);  // the message, where the death test reads
    exit(Step2(&t, &n) == 1 && n == 0 && Interpret(nullptr, nullptr, nullptr) == 1 ? 0 : 1);
  };
  EXPECT_EXIT(run(), testing::ExitedWithCode(0), "^Commandline not initialised\n$");
}

// Targets of every table below, shown as one text after a run.
int32_t help, sw, level;
char *file, *filter;
uint32_t ctrl, arr[128];
int32_t count;

OptionEntry tool[] = {{"?", OPT_SWITCH, &help, nullptr}, {"hilfe", OPT_SWITCH, &help, nullptr},
                      {"f", OPT_STRING, &file, nullptr}, {"c", OPT_UINT, &ctrl, nullptr},
                      {"g", OPT_SWITCH, &sw, nullptr},   {nullptr, 0, nullptr, nullptr}};
OptionEntry other[] = {{"file", OPT_STRING, &file, nullptr}, {"filter", OPT_STRING, &filter, nullptr},
                       {"level", OPT_INT, &level, nullptr},  {"a", OPT_UINT_ARRAY, arr, &count},
                       {"zero", 0, &sw, nullptr},            {"six", 6, &sw, nullptr},
                       {nullptr, 0, nullptr, nullptr}};
OptionEntry f_and_file[] = {{"f", OPT_STRING, &file, nullptr}, {"file", OPT_STRING, &filter, nullptr},
                            {nullptr, 0, nullptr, nullptr}};

struct Case {
  OptionEntry *table;
  std::string line;
  int errors;
  std::string out;
  std::string targets;  // see show()
  int fail = -1;        // allocation that fails
};

// The targets that were set, and the parameters.
std::string show(char **params, int n) {
  std::string s;
  for (auto [name, v] : {std::pair<const char *, long long>{"h", help}, {"g", sw}, {"c", ctrl}, {"l", level}, {"a", count}})
    if (v) s += std::string(" ") + name + std::to_string(v);
  if (count > 0) s += ":" + std::to_string(arr[count - 1]);
  for (auto [name, v] : {std::pair<const char *, char *>{"f", file}, {"fi", filter}, {"p", params[0]}, {"p", params[1]}})
    if (v && (name[0] != 'p' || n-- > 0)) s += std::string(" ") + name + "=" + v;
  return s;
}

const char kNone[] = "";
const std::string kU = "Option /c, type unsigned integer: ", kL = "Option /level, type integer: ",
                  kA = "Option /a, type unsigned integer array: ";

TEST(Interpreter, EdgeCases) {
  std::string many;
  for (int i = 0; i < 127; i++) many += "-a " + std::to_string(i) + " ";
  const std::string big(100000, 'p'), mid(1000, 'm');  // a second mid reuses the first's buffer
  const Case cases[] = {
      {tool, "", 0, "", kNone},
      {tool, "-c5 -c 5 ", 0, "", " c5"},        {tool, "-c0x1f ", 0, "", " c31"},
      {tool, "-c 0o37 ", 0, "", " c31"},        {tool, "-c0b11111 ", 0, "", " c31"},
      {tool, "-c 0x1 -c 010 ", 0, "", " c10"},         {tool, "-c0X1f -c0x -c0x1g -c 0b102 ", 4,
       kU + "invalid value \"0X1f\"\n" + kU + "invalid value \"0x\"\n" + kU + "invalid value \"1g\"\n" +
           kU + "invalid value \"102\"\n", kNone},
      {tool, "-c 4294967296 -c 0x100000000 -c 7 ", 2,
       kU + "invalid value \"4294967296\"\n" + kU + "invalid value \"100000000\"\n", " c7"},
      {tool, "-c -1 -c~-2 ", 2, kU + "positive values only\n" + kU + "positive values only\n", kNone},
      {tool, "-c ", 1, kU + "missing value\n", kNone},
      {tool, "-f \"\" ", 1, "Option /f, type string: missing value\n", kNone},
      {tool, "-f -g ", 0, "", " f=-g"},         {tool, "-f a -f my-file ", 0, "", " f=ile"},
      {tool, "-f \"my-file\" ", 0, "", " f=my-file"}, {tool, "-h ", 0, "", " h1"},
      {tool, "-hilfex ", 0, "Option /hilfe, type switch, appended value will be ignored: x\n", " h1"},
      {tool, "-gc ", 0, "Option /g, type switch, appended value will be ignored: c\n", " g1"},
      {tool, "- -x -5 -G -hilfa update /g ", 4,
       "  ignoring empty option\nunknown option /x\nunknown option /5\nunknown option /G\n"
       "unknown option /hilfa\n", kNone},
      {tool, "-f ~", 1, "Option /f, type string: missing value\n", kNone},
      {tool, "-f " + big + " -g ", 2, "command line: no memory for a token of 100000 bytes\n"
       "Option /f, type string: missing value\n", kNone, 0},
      {tool, "-f " + big, 2, "command line: no memory for a token of 100000 bytes\n"
       "Option /f, type string: missing value\n", kNone, 0},
      {tool, "-f " + mid + " -f " + mid + " -c 3 ", 1, "Option /f, type string: out of memory\n", " c3 f=" + mid, 2},
      {other, "a b ", 1, "parameter \"a\": out of memory\n", " p=b", 0},
      {other, "-fil 5 a b c ", 1, "Option /fil, supply more characters\n\xaf" "file\xae\n\xaf" "filter\xae\n",
       " p=5 p=a"},
      {f_and_file, "-file x -fi ", 1, "Option /file, supply more characters\n\xaf" "f\xae\n\xaf" "file\xae\n",
       " f=i p=x"},
      {other, "-level3 ", 0, "", " l3"},        {other, "-lev31 -lev -3 ", 0, "", " l-3"},
      {other, "-lev 0x1F ", 0, "", " l31"},
      {other, "-lev 0b101 -lev -2147483648 ", 0, "", " l-2147483648"},
      {other, "-lev -0x10 -lev0b101 -lev 2147483648 -lev 1^@ -lev ", 5,
       kL + "invalid value \"-0x10\"\nunknown option /lev0b101\n" + kL + "invalid value \"2147483648\"\n" +
           kL + "invalid value \"1\"\n" + kL + "missing value\n", kNone},
      {other, many + "-a 0x11 ", 1, kA + "too many elements  \"11\"\n", " a127:126"},
      {other, "-a zz -a -4 -a 4294967296 -a7 -a ", 4,
       kA + "invalid value \"zz\"\n" + kA + "positive values only\n" + kA +
           "invalid value \"4294967296\"\n" + kA + "missing value\n", " a1:7"},
      {other, "-zero -six 5 ", 2, "Option /zero, illegal optiontype  0 !!\nOption /six, illegal optiontype  6 !!\n", " p=5"},
  };
  for (const Case &c : cases) {
    help = sw = level = count = 0;
    ctrl = 0;
    file = filter = nullptr;
    char *params[2] = {};
    int n = 2;
    InitCmdline(c.line.c_str());
    testing::internal::CaptureStdout();
    fail_at = c.fail, recording = true;
    int errors = Interpret(c.table, params, c.table == tool ? nullptr : &n);
    fail_at = -1, recording = false;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.line.substr(0, 80);
    EXPECT_EQ(errors, c.errors) << c.line.substr(0, 80);
    EXPECT_EQ(show(params, c.table == tool ? 0 : n), c.targets) << c.line.substr(0, 80);
    while (ncopies > 0) free(copies[--ncopies]);
  }
  int n = 5;  // the line is used up: nothing found, nothing stored, the capacity kept
  EXPECT_TRUE(Interpret(tool, nullptr, &n) == 0 && n == 0 && MaxParams == 5);
}

}  // namespace
