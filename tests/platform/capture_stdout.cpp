// SPDX-License-Identifier: MIT
// Runs a function with standard output sent to a temporary file and returns
// what it printed.
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

std::string capture_stdout(const std::function<void()> &fn) {
  std::fflush(stdout);
  std::FILE *tmp = std::tmpfile();
  if (tmp == nullptr) return "<tmpfile failed>";
  const int saved = dup(STDOUT_FILENO);
  dup2(fileno(tmp), STDOUT_FILENO);
  fn();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string out;
  std::rewind(tmp);
  char chunk[256];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, tmp)) > 0) out.append(chunk, n);
  std::fclose(tmp);
  return out;
}
