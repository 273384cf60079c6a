// SPDX-License-Identifier: MIT
// Tokenizer: raw scan, refinement, restart and long tokens.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cmdline/cmd.h"

namespace {

// Marks a token handed out as null text with result 0 (emptied by "~").
const std::string kNull = "<null>";

struct Case {
  std::string line;
  std::vector<std::string> tokens;
};

// Reads every token of line with Step2 and checks the end is sticky.
std::vector<std::string> Tokens(const std::string &line) {
  InitCmdline(line.c_str());
  std::vector<std::string> out;
  for (int guard = 0; guard < 1000; ++guard) {
    char *text = reinterpret_cast<char *>(1);
    int len = -1;
    int r = Step2(&text, &len);
    if (r == 1) {
      EXPECT_EQ(text, nullptr);
      EXPECT_EQ(len, 0);
      break;
    }
    EXPECT_EQ(r, 0);
    if (!text) {
      EXPECT_EQ(len, 0);
      out.push_back(kNull);
      continue;
    }
    EXPECT_EQ(text[len], '\0') << "token not zero-terminated";
    out.emplace_back(text, static_cast<size_t>(len));
  }
  for (int i = 0; i < 2; ++i) {
    char *text = reinterpret_cast<char *>(1);
    int len = -1;
    EXPECT_EQ(Step2(&text, &len), 1);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(Step1(&text, &len), 1);
    EXPECT_EQ(text, nullptr);
  }
  return out;
}

const Case kCases[] = {
    {"", {}},
    {"a b c ", {"a", "b", "c"}},
    {"a \"b c\" d ", {"a", "b c", "d"}},
    {"-f-c ", {"-f", "-c"}},
    {"--x ", {"-", "-x"}},
    {"a-b ", {"a", "-b"}},
    {"-\"x y\" ", {"-", "x y"}},
    {"\"-x\" ", {"-x"}},
    {"-fmy~-file.bin ", {"-fmy-file.bin"}},
    {"-f\"my-file.bin\" ", {"-f", "my-file.bin"}},
    {"ab\"cd\"ef ", {"ab", "cd", "ef"}},
    {"\"a b\"c ", {"a b", "c"}},
    {"a\"b c", {"a", "b c"}},
    {"a~ b ", {"a b"}},
    {"~ ", {" "}},
    {"~\"abc ", {"\"abc"}},
    {"\"a~\"b\" ", {"a\"b"}},
    {"\"abc ", {"abc "}},
    {"\"abc~\"", {"abc"}},
    {"\"\" b ", {"b"}},
    {"x^a^Z^@y ", {std::string("x\x01\x1a\0y", 5)}},
    {"^^ ", {"\x1e"}},
    {"^1x ", {"x"}},
    {"^1^a ", {"\x01"}},
    {"~^a ", {"^a"}},
    {"~~ ", {"~"}},
    {"^ ", {""}},
    {"^1 ", {""}},
    {"a ~", {"a", kNull}},
    {"\"~\"", {kNull}},
    {"\"~\" b ", {"\" b "}},
    {"a  ", {"a"}},
    {"\ta\t\t", {"a"}},
    {"    ", {}},
    {"a \"", {"a"}},
    {"\"", {}},
    {"a~", {"a"}},
    {"a^", {"a"}},
    {"\"a b\"\"c\" ", {"a b", "c"}},
    {"x^[^\\^]^_^` ", {"x\x1b\x1c\x1d\x1f"}},
    {"^\xc4z ", {"z"}},
    {"\xe4\xf6\xfc ", {"\xe4\xf6\xfc"}},
    {"\"a\tb\" c\td", {"a\tb", "c", "d"}},
};

TEST(Tokenizer, EdgeCaseTable) {
  for (const Case &c : kCases) {
    SCOPED_TRACE("line: [" + c.line + "]");
    EXPECT_EQ(Tokens(c.line), c.tokens);
  }
}

TEST(Tokenizer, RawTokensKeepQuotesAndEscapes) {
  InitCmdline("a~ b \"x y\" -f\"q ~~ \"open");
  const char *expected[] = {"a~ b", "\"x y\"", "-f", "\"q ~~ \"", "open"};
  for (const char *e : expected) {
    char *text = nullptr;
    int len = 0;
    ASSERT_EQ(Step1(&text, &len), 0);
    EXPECT_EQ(std::string(text, static_cast<size_t>(len)), e);
  }
  char *text = nullptr;
  int len = 1;
  EXPECT_EQ(Step1(&text, &len), 1);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(len, 0);
}

TEST(Tokenizer, NullLineKeepsPositionAndSameLineRestarts) {
  static const char line[] = "x y z ";
  char *text;
  int len;
  InitCmdline(line);
  ASSERT_EQ(Step2(&text, &len), 0);
  EXPECT_STREQ(text, "x");
  EXPECT_EQ(InitCmdline(nullptr), 0);
  ASSERT_EQ(Step2(&text, &len), 0);
  EXPECT_STREQ(text, "y");
  InitCmdline(line);
  ASSERT_EQ(Step2(&text, &len), 0);
  EXPECT_STREQ(text, "x");
}

TEST(Tokenizer, NullLineAfterEndStaysExhausted) {
  EXPECT_EQ(Tokens("a ").size(), 1u);
  InitCmdline(nullptr);
  char *text;
  int len;
  EXPECT_EQ(Step2(&text, &len), 1);
}

TEST(Tokenizer, NoLineEverHandedOver) {
  // A fresh process, so that no earlier test has handed over a line.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        char *text = reinterpret_cast<char *>(1);
        int len = 7;
        int r2 = Step2(&text, &len);
        bool ok = r2 == 1 && !text && len == 0;
        InitCmdline(nullptr);
        ok = ok && Step1(&text, &len) == 1 && !text;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Tokens longer than the 127 bytes of the small buffer come out whole.
TEST(Tokenizer, LongTokensWhole) {
  std::string path = "/" + std::string(298, 'p') + "x";  // 300 bytes
  EXPECT_EQ(Tokens(path + " b "), (std::vector<std::string>{path, "b"}));
  std::string quoted = std::string(200, 'q') + " " + std::string(100, 'r');
  EXPECT_EQ(Tokens("a \"" + quoted + "\" -" + path),
            (std::vector<std::string>{"a", quoted, "-" + path}));
  std::string escaped;
  for (int i = 0; i < 150; ++i) escaped += "~-";
  EXPECT_EQ(Tokens(escaped + " "), (std::vector<std::string>{std::string(150, '-')}));
  // Exactly at the small buffer's edge and just past it.
  for (size_t n : {126u, 127u, 128u, 129u}) {
    std::string t(n, 'k');
    EXPECT_EQ(Tokens(t + " " + t), (std::vector<std::string>{t, t}));
  }
}

TEST(Moveleft, AscendingOverlapAndEmptyCounts) {
  char b[] = "abcdef";
  moveleft(b + 1, 6, 1);
  EXPECT_STREQ(b, "bcdef");
  char c[] = "abcdef";
  moveleft(c + 2, 3, 2);
  EXPECT_EQ(std::string(c, 6), "cdedef");
  char d[] = "abc";
  moveleft(d + 1, 0, 1);
  moveleft(d + 1, -5, 1);
  EXPECT_STREQ(d, "abc");
}

}  // namespace
