// SPDX-License-Identifier: MIT
// Command-line tokenizer and table-driven option interpreter.
#pragma once
#include <cstdint>

// Option types of an OptionEntry row.
constexpr int32_t OPT_SWITCH = 1;     // target: int32_t, stores 1
constexpr int32_t OPT_INT = 2;        // target: int32_t
constexpr int32_t OPT_UINT = 3;       // target: uint32_t
constexpr int32_t OPT_UINT_ARRAY = 4; // target: uint32_t[127], count: elements held
constexpr int32_t OPT_STRING = 5;     // target: char *, receives a heap copy

// One row of an option table; a row with a null name ends the table.
struct OptionEntry {
  const char *name;
  int32_t type;
  void *target;
  int32_t *count;
};

// Capacity of the positional-parameter array during one Interpret call.
extern int MaxParams;

// Hands a zero-terminated line to the tokenizer and restarts the scan at
// its first byte; the caller keeps the line alive and unchanged. A null
// line changes nothing. Always returns 0.
int InitCmdline(const char *line);

// Raw scan: next raw token (text, length >= 1) and 0, or null/0 and 1.
int Step1(char **text, int *len);

// Refined token: quotes, "~" escapes and "^" control prefixes resolved.
// 0 with the token, or null/0 and 1 when the line is exhausted. The text
// is valid until the next tokenizer call and may contain 0x00 bytes.
// Tokens are handed out whole whatever their length: a raw token longer
// than 127 bytes is held in a heap buffer that the module keeps. Should that
// buffer not grow for lack of memory, the line ends there and Interpret
// reports it as an error.
int Step2(char **text, int *len);

// Copies count bytes from src to src - distance, ascending, byte by byte.
void moveleft(char *src, int count, int distance);

// Interprets the remaining tokens against table; returns the error count.
int Interpret(OptionEntry *table, char **params, int *nparams);
