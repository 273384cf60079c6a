// SPDX-License-Identifier: MIT
// capi_is_installed against the real libcapi20 with no CAPI reachable. The
// library reads $HOME/.capi20rc on its first call; that file points it at a
// closed loopback port, so it never looks beyond this machine. This
// executable holds this one test so that HOME is set before any library call.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "platform/lnxcapi.h"

std::string capture_stdout(const std::function<void()> &fn);

namespace {

// A loopback port that nothing listens on: bound, read, then closed again.
int closed_loopback_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

TEST(LnxCapiReal, NotInstalledWhenTheRemoteIsClosed) {
  char home[] = "/tmp/cordix-capi-XXXXXX";
  ASSERT_NE(mkdtemp(home), nullptr);
  const std::string rc = std::string(home) + "/.capi20rc";
  const int port = closed_loopback_port();
  ASSERT_GT(port, 0);
  std::FILE *f = std::fopen(rc.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fprintf(f, "REMOTE rcapi 127.0.0.1 %d\n", port);
  std::fclose(f);
  ASSERT_EQ(setenv("HOME", home, 1), 0);

  int r = -1;
  const std::string out = capture_stdout([&] { r = capi_is_installed(); });
  std::remove(rc.c_str());
  rmdir(home);

  EXPECT_EQ(r, 0);
  const std::string prefix = "capi not installed (";
  ASSERT_GT(out.size(), prefix.size() + 2) << out;
  EXPECT_EQ(out.compare(0, prefix.size(), prefix), 0) << out;
  EXPECT_EQ(out.substr(out.size() - 2), ")\n") << out;
  // One line, with a non-empty reason inside the parentheses.
  EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  EXPECT_NE(out[prefix.size()], ')') << out;
}

}  // namespace
