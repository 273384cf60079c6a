// SPDX-License-Identifier: MIT
// The shared harness itself: client runs, time limits, private /dev/shm and
// the JSON accessors the end-to-end tests rely on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "harness.h"

namespace {

// These runs start host tools, so a client wrapper (an emulator for
// cross-built clients) must not be put in front of them.
class Harness : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *w = getenv("CORDIX_CLIENT_WRAPPER");
    had_wrapper_ = w != nullptr;
    if (w) wrapper_ = w;
    unsetenv("CORDIX_CLIENT_WRAPPER");
  }
  void TearDown() override {
    if (had_wrapper_) setenv("CORDIX_CLIENT_WRAPPER", wrapper_.c_str(), 1);
  }

 private:
  bool had_wrapper_ = false;
  std::string wrapper_;
};

TEST_F(Harness, RunClientCapturesOutputStatusAndHome) {
  std::string dir = make_temp_dir("harness");
  ASSERT_FALSE(dir.empty());
  ProcResult r = run_client({"/bin/sh", "-c", "echo \"$HOME\"; pwd; echo oops >&2; exit 3"}, dir, 10000, "/");
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.out, dir + "\n/\n");
  EXPECT_EQ(r.err, "oops\n");
  rm_tree(dir);
  struct stat st;
  EXPECT_NE(stat(dir.c_str(), &st), 0);
}

TEST_F(Harness, RunClientKillsAtTheLimit) {
  ProcResult r = run_client({"/bin/sleep", "30"}, "/tmp", 200);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.status, 128 + 9);
}

TEST_F(Harness, ClientsGetAPrivateShm) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  ProcResult r = run_client({"/bin/sh", "-c", "touch /dev/shm/harness-probe && ls -A /dev/shm"}, "/tmp", 10000);
  if (r.out != "harness-probe\n") GTEST_SKIP() << "no private /dev/shm here: " << r.out;
  EXPECT_NE(access("/dev/shm/harness-probe", F_OK), 0);  // never reached the real one
}

TEST_F(Harness, ClosedPortRefusesConnections) {
  int port = closed_port();
  ASSERT_GT(port, 0);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_NE(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  close(fd);
}

TEST_F(Harness, CapiConfigNamesLoopback) {
  std::string dir = make_temp_dir("harness");
  write_capi20rc(dir, 4711);
  EXPECT_EQ(read_file(dir + "/.capi20rc"), "REMOTE rcapi 127.0.0.1 4711\n");
  rm_tree(dir);
}

TEST_F(Harness, JsonAccessors) {
  const std::string json =
      "{\n\"sessions\": [\n{\n\"requests\": 12,\n\"controller\": -1,\n"
      "\"violations\": [\n\"a, [b]\",\n\"c \\\"d\\\"\"\n],\n\"none\": [],\n"
      "\"closed_by\": \"client\"\n}\n],\n\"malformed\": [\n\"x\"\n]\n}\n";
  EXPECT_EQ(json_int(json, "requests"), 12);
  EXPECT_EQ(json_int(json, "controller"), -1);
  EXPECT_EQ(json_int(json, "missing"), -1);
  EXPECT_EQ(json_int(json, "closed_by"), -1);
  EXPECT_EQ(json_str(json, "closed_by"), "client");
  EXPECT_EQ(json_str(json, "requests"), "");
  EXPECT_EQ(json_array_len(json, "violations"), 2);
  EXPECT_EQ(json_array_len(json, "none"), 0);
  EXPECT_EQ(json_array_len(json, "malformed"), 1);
  EXPECT_EQ(json_array_len(json, "sessions"), 1);
  EXPECT_EQ(json_array_len(json, "missing"), -1);
}

}  // namespace
