/* Preloaded into dectsim by bench/run: turns Nagle's algorithm off on every
 * accepted connection. The simulator answers each request with two frames
 * (confirmation, indication) in two writes; with Nagle on, the second waits
 * for the client's delayed ACK, about 40 ms per round trip on loopback. The
 * benchmark compares clients, so the simulator must answer at once. A
 * simulator that sets TCP_NODELAY itself is unaffected by this. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

static int no_delay(int fd) {
  int one = 1;
  if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

int accept(int s, struct sockaddr *a, socklen_t *l) {
  int (*real)(int, struct sockaddr *, socklen_t *) =
      (int (*)(int, struct sockaddr *, socklen_t *))dlsym(RTLD_NEXT, "accept");
  return no_delay(real(s, a, l));
}

int accept4(int s, struct sockaddr *a, socklen_t *l, int flags) {
  int (*real)(int, struct sockaddr *, socklen_t *, int) =
      (int (*)(int, struct sockaddr *, socklen_t *, int))dlsym(RTLD_NEXT, "accept4");
  return no_delay(real(s, a, l, flags));
}
