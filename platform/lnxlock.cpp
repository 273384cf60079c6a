// SPDX-License-Identifier: MIT
#include "platform/lnxlock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kSharedDir[] = "/run/cordix";

// Why dir cannot hold the lock, or null. A link or a folder that strangers
// may write could have files planted in it for root; its group may write
// (a packager may open it to the group that uses CAPI).
const char *unfit(const std::string &dir, bool own_only) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return strerror(errno);
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (!S_ISDIR(st.st_mode)) return strerror(ENOTDIR);
  if (st.st_uid != geteuid() && (own_only || st.st_uid != 0)) return "owned by another user";
  if (st.st_mode & S_IWOTH) return "writable by everyone";
  if (st.st_uid != geteuid() && access(dir.c_str(), W_OK) != 0) return strerror(errno);
  return nullptr;
}

// The folder for the lock; on failure *why says what is wrong with it.
std::string lock_dir(const char **why) {
  if (geteuid() == 0) mkdir(kSharedDir, 0755);
  if (!(*why = unfit(kSharedDir, false)) || geteuid() == 0) return kSharedDir;
  const char *runtime = getenv("XDG_RUNTIME_DIR");
  if (!runtime || *runtime != '/') return kSharedDir;  // the shared folder's reason stands
  std::string own = std::string(runtime) + "/cordix";
  mkdir(own.c_str(), 0700);
  *why = unfit(own, true);
  return own;
}

// A lock file a planted link, FIFO or device cannot stand in for. Files of a
// folder its group may write are the group's too. On failure *why says why.
int open_lock_file(const std::string &path, bool group, const char **why) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                group ? 0664 : 0644);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return *why = strerror(errno), -1;
  if (!S_ISREG(st.st_mode)) return close(fd), *why = "not a regular file", -1;
  if (group && st.st_uid == geteuid()) fchmod(fd, 0664);  // whatever the umask took
  return fd;
}

}  // namespace

// Another holder may let go between the two calls; then the lock is tried again.
int lock_controller(unsigned controller) {
  const char *why = nullptr;
  std::string dir = lock_dir(&why), path = dir + "/controller-" + std::to_string(controller) + ".lock";
  struct stat st;
  int fd = -1;
  if (!why) {
    bool group = stat(dir.c_str(), &st) == 0 && (st.st_mode & S_IWGRP);
    if ((fd = open_lock_file(path, group, &why)) < 0) dir = path;
  }
  if (fd < 0) {
    printf("cannot lock controller %u: %s: %s\n", controller, dir.c_str(), why);
    return 1;
  }
  struct flock lk = {};
  for (int tries = 0; tries < 3; tries++) {
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lk) == 0) return 0;  // the descriptor stays open: the lock with it
    if (errno != EAGAIN && errno != EACCES) break;
    if (fcntl(fd, F_GETLK, &lk) == 0 && lk.l_type != F_UNLCK) {
      printf("controller %u in use by process %ld\n", controller, static_cast<long>(lk.l_pid));
      return 1;
    }
  }
  printf("cannot lock controller %u: %s: %s\n", controller, path.c_str(), strerror(errno));
  return 1;
}
