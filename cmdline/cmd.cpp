// SPDX-License-Identifier: MIT
// Command-line tokenizer (raw scan, refinement) and the option interpreter.
#include "cmdline/cmd.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int MaxParams;

namespace {

// Line handed over by InitCmdline; never copied, never written.
const char *cmdline;
int cmdlen;
int Init;

// Raw scan state. Tokens shorter than 128 bytes go to s; a longer one
// goes whole into a heap buffer that grows as needed and is kept.
char s[128];
char *big;
int bigsize;
const char *pos;
int state;
int ende;

// Length of a token that could not be held for lack of memory, or 0.
int lost;

// Error count of the running interpretation.
int errors;

const char *const TypeWord[] = {"", "switch", "integer", "unsigned integer",
                                "unsigned integer array", "string"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Returns a buffer that holds size bytes, or null when memory is short.
char *TokenBuffer(int size) {
  if (size <= static_cast<int>(sizeof s)) return s;
  if (size > bigsize) {
    void *p = realloc(big, static_cast<size_t>(size));
    if (!p) return nullptr;
    big = static_cast<char *>(p);
    bigsize = size;
  }
  return big;
}

// Hands out start..stop as the current raw token.
int HandOut(const char *start, const char *stop, char **text, int *len) {
  int n = static_cast<int>(stop - start);
  char *buf = TokenBuffer(n + 1);
  if (!buf) {
    // Neither cut nor dropped silently: the line ends here and the
    // interpreter reports the loss.
    lost = n;
    pos = nullptr;
    ende = 1;
    *text = nullptr;
    *len = 0;
    return 1;
  }
  memcpy(buf, start, static_cast<size_t>(n));
  buf[n] = 0;
  *text = buf;
  *len = n;
  return 0;
}

int Exhausted(char **text, int *len) {
  *text = nullptr;
  *len = 0;
  pos = nullptr;
  ende = 1;
  return 1;
}

// Consumes the byte at pos; a "~" takes the following byte with it.
void Consume(const char *end) {
  if (*pos == '~' && pos + 1 < end) ++pos;
  ++pos;
}

// Heap copy of len bytes plus a terminating zero; null when memory is short.
char *CopyText(const char *text, int len) {
  char *p = static_cast<char *>(malloc(static_cast<size_t>(len) + 1));
  if (!p) return nullptr;
  memcpy(p, text, static_cast<size_t>(len));
  p[len] = 0;
  return p;
}

}  // namespace

int InitCmdline(const char *line) {
  if (!line) return 0;
  size_t n = strlen(line);
  cmdline = line;
  // Lengths are ints; a token's length plus its zero must still fit.
  cmdlen = n > INT_MAX - 1 ? INT_MAX - 1 : static_cast<int>(n);
  lost = 0;
  char *text;
  int len;
  Init = 1;
  Step1(&text, &len);
  Init = 0;
  return 0;
}

int Step1(char **text, int *len) {
  if (Init) {
    state = 0;
    pos = cmdline;
    ende = 0;
    return 0;
  }
  if (!cmdline || ende) {
    *text = nullptr;
    *len = 0;
    return 1;
  }
  const char *end = cmdline + cmdlen;
  while (pos < end && IsBlank(*pos)) ++pos;
  if (pos >= end) return Exhausted(text, len);
  const char *start = pos;
  state = *pos == '"' ? 2 : 1;
  Consume(end);
  for (;;) {
    if (pos >= end) {
      // The line ends inside the token: it is the last one.
      int r = HandOut(start, end, text, len);
      pos = nullptr;
      ende = 1;
      return r;
    }
    char c = *pos;
    if (state == 1 && IsBlank(c)) {
      state = 0;
      ++pos;
      return HandOut(start, pos - 1, text, len);
    }
    if (state == 1 && (c == '"' || c == '-')) {
      state = 0;
      return HandOut(start, pos, text, len);
    }
    if (state == 2 && c == '"') {
      state = 0;
      ++pos;
      return HandOut(start, pos, text, len);
    }
    Consume(end);
  }
}

void moveleft(char *src, int count, int distance) {
  for (int i = 0; i < count; ++i) src[i - distance] = src[i];
}

int Step2(char **text, int *len) {
  for (;;) {
    if (Step1(text, len)) return 1;
    char *t = *text;
    int n = *len;
    if (t[0] == '"') {
      moveleft(t + 1, n, 1);
      --n;
      if (n > 0 && t[n - 1] == '"') t[--n] = 0;
    }
    if (n == 0) continue;  // only quotes: no token
    int i = 0;
    while (i < n) {
      if (t[i] == '^') {
        moveleft(t + i + 1, n - i, 1);
        --n;
        if (i >= n) break;
        unsigned char c = static_cast<unsigned char>(t[i]);
        if (c >= 0x40 && c <= 0x5F) {
          t[i++] = static_cast<char>(c - 0x40);
        } else if (c >= 'a' && c <= 'z') {
          t[i++] = static_cast<char>(c - 0x60);
        } else {
          moveleft(t + i + 1, n - i, 1);  // no control character: drop it too
          --n;
        }
      } else if (t[i] == '~') {
        moveleft(t + i + 1, n - i, 1);
        --n;
        if (i >= n) {
          if (n == 0) t = nullptr;
          break;
        }
        ++i;  // the escaped byte stays as it is
      } else {
        ++i;
      }
    }
    *text = t;
    *len = n;
    return 0;
  }
}

namespace {

// Next token for the interpreter; null text at the end of the line (a
// token emptied by a trailing "~" can only stand there).
void NextToken(char **text, int *len) {
  Step2(text, len);
  if (!*text && lost) {
    printf("command line: no memory for a token of %d bytes\n", lost);
    lost = 0;
    ++errors;
  }
}

void AddParam(const char *text, int len, char **params, int *nparams) {
  if (MaxParams == 0 || *nparams >= MaxParams) return;
  char *p = CopyText(text, len);
  if (!p) {
    printf("parameter \"%s\": out of memory\n", text);
    ++errors;
    return;
  }
  params[(*nparams)++] = p;
}

int TrailingDigits(const char *word, int len) {
  int d = 0;
  while (d < len && word[len - 1 - d] >= '0' && word[len - 1 - d] <= '9') ++d;
  return d;
}

// Offset of the appended value in word when name matches word in the given
// pass (0 full name, 1 abbreviation, 2 abbreviation with number), else -1.
int MatchOffset(const char *name, const char *word, int len, int pass) {
  size_t namelen = strlen(name);
  int n = namelen > INT_MAX ? INT_MAX : static_cast<int>(namelen);
  int head = len;
  if (pass == 0) {
    head = n;
    if (n > len) return -1;
  } else if (pass == 2) {
    int d = TrailingDigits(word, len);
    if (d == len) return -1;
    head = len - d;
  }
  if (head > n || memcmp(name, word, static_cast<size_t>(head)) != 0) return -1;
  return pass == 1 ? len : head;
}

// Finds the row for an option word; reports unknown and ambiguous words.
const OptionEntry *FindOption(const OptionEntry *table, const char *word,
                              int len, int *offset) {
  for (int pass = 0; pass < 3; ++pass) {
    const OptionEntry *first = nullptr;
    int matches = 0;
    for (const OptionEntry *row = table; row->name; ++row) {
      int o = MatchOffset(row->name, word, len, pass);
      if (o < 0) continue;
      if (++matches == 1) {
        first = row;
        *offset = o;
        continue;
      }
      if (matches == 2) {
        printf("Option /%s, supply more characters\n\257%s\256\n", word, first->name);
        ++errors;
      }
      printf("\257%s\256\n", row->name);
    }
    if (matches == 1) return first;
    if (matches > 1) return nullptr;
  }
  printf("unknown option /%s\n", word);
  ++errors;
  return nullptr;
}

void Invalid(const OptionEntry *row, const char *value) {
  printf("Option /%s, type %s: invalid value \"%s\"\n", row->name, TypeWord[row->type], value);
  ++errors;
}

// Converts a value of types 2 to 4 into a 32-bit number; on failure
// reports it and returns 1. *text becomes the text handed to the conversion.
int ConvertNumber(const OptionEntry *row, const char **text, int len, long long *number) {
  const char *v = *text;
  int base = 10;
  // A prefix needs something after it: a bare "0x" is read in base 10, which
  // refuses it as it stands.
  if (len >= 3 && v[0] == '0') {
    if (v[1] == 'x') base = 16;
    if (v[1] == 'b') base = 2;
    if (v[1] == 'o') base = 8;
  }
  if (base != 10) {
    v += 2;
    len -= 2;
  }
  *text = v;
  char *stop = nullptr;
  bool ok;
  errno = 0;
  if (row->type == OPT_INT) {
    // 64-bit conversions on every platform, then the 32-bit range check.
    long long x = strtoll(v, &stop, base);
    ok = x >= INT32_MIN && x <= INT32_MAX;
    *number = x;
  } else {
    unsigned long long x = strtoull(v, &stop, base);
    ok = x <= UINT32_MAX;
    *number = static_cast<long long>(x);
  }
  if (errno == ERANGE || !ok || stop == v || stop != v + len) {
    Invalid(row, v);
    return 1;
  }
  return 0;
}

void StoreNumber(const OptionEntry *row, const char *value, int len) {
  if (row->type != OPT_INT && value[0] == '-') {
    printf("Option /%s, type %s: positive values only\n", row->name, TypeWord[row->type]);
    ++errors;
    return;
  }
  long long x;
  if (ConvertNumber(row, &value, len, &x)) return;
  if (row->type == OPT_INT) {
    *static_cast<int32_t *>(row->target) = static_cast<int32_t>(x);
  } else if (row->type == OPT_UINT) {
    *static_cast<uint32_t *>(row->target) = static_cast<uint32_t>(x);
  } else if (row->count && static_cast<uint32_t>(*row->count) < 127) {
    static_cast<uint32_t *>(row->target)[*row->count] = static_cast<uint32_t>(x);
    ++*row->count;
  } else {
    printf("Option /%s, type unsigned integer array: too many elements  \"%s\"\n", row->name,
           value);
    ++errors;
  }
}

void StoreString(const OptionEntry *row, const char *value, int len) {
  char *p = CopyText(value, len);
  if (!p) {
    printf("Option /%s, type string: out of memory\n", row->name);
    ++errors;
    return;
  }
  *static_cast<char **>(row->target) = p;
}

// Applies a found row; value/len is the appended value (len 0: none).
void Apply(const OptionEntry *row, const char *value, int len) {
  if (row->type == OPT_SWITCH) {
    *static_cast<int32_t *>(row->target) = 1;
    if (len > 0)
      printf("Option /%s, type switch, appended value will be ignored: %s\n", row->name, value);
    return;
  }
  if (row->type < OPT_INT || row->type > OPT_STRING) {
    printf("Option /%s, illegal optiontype  %d !!\n", row->name, static_cast<int>(row->type));
    ++errors;
    return;
  }
  if (len == 0) {
    char *next;
    NextToken(&next, &len);
    if (!next) {
      printf("Option /%s, type %s: missing value\n", row->name, TypeWord[row->type]);
      ++errors;
      return;
    }
    value = next;
  }
  if (row->type == OPT_STRING)
    StoreString(row, value, len);
  else
    StoreNumber(row, value, len);
}

}  // namespace

int Interpret(OptionEntry *table, char **params, int *nparams) {
  if (!cmdline) {
    printf("Commandline not initialised\n");
    return 1;
  }
  MaxParams = 0;
  if (nparams) {
    MaxParams = *nparams;
    *nparams = 0;
  }
  errors = 0;
  for (;;) {
    char *text;
    int len;
    NextToken(&text, &len);
    if (!text) return errors;
    if (text[0] != '-') {
      AddParam(text, len, params, nparams);
    } else if (len == 1) {
      printf("  ignoring empty option\n");
    } else {
      int offset = 0;
      const OptionEntry *row = FindOption(table, text + 1, len - 1, &offset);
      if (row) Apply(row, text + 1 + offset, len - 1 - offset);
    }
  }
}
