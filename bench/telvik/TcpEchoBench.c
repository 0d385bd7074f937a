/* The floor of a CA round trip: 16 bytes there and 16 back over loopback TCP between two C
 * processes (a forked echo process), TCP_NODELAY on both sides, as a CA circuit has it.
 *
 *   bench_tcp_echo [ROUND_TRIPS]     prints "median_us p99_us" */
#include "RoundTrips.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

static int exact(int fd, char* buf, int n, int writing) {
  int done = 0;
  while (done < n) {
    const ssize_t r =
        writing ? write(fd, buf + done, (size_t)(n - done)) : read(fd, buf + done, (size_t)(n - done));
    if (r <= 0) return -1;
    done += (int)r;
  }
  return 0;
}

int main(int argc, char** argv) {
  const long n = argc > 1 ? atol(argv[1]) : 5000;
  const int one = 1;
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {0};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener, (struct sockaddr*)&a, sizeof a) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, (struct sockaddr*)&a, &len) != 0)
    return 1;
  const pid_t echo = fork();
  if (echo == 0) {
    const int c = accept(listener, NULL, NULL);
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char buf[16];
    while (exact(c, buf, 16, 0) == 0 && exact(c, buf, 16, 1) == 0) {
    }
    _exit(0);
  }
  close(listener);
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(s, (struct sockaddr*)&a, sizeof a) != 0) return 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char buf[16] = {0};
  for (int i = 0; i < 200; ++i)
    if (exact(s, buf, 16, 1) != 0 || exact(s, buf, 16, 0) != 0) return 1;
  double* t = malloc(sizeof(double) * (size_t)n);
  for (long i = 0; i < n; ++i) {
    const double t0 = nowUs();
    if (exact(s, buf, 16, 1) != 0 || exact(s, buf, 16, 0) != 0) return 1;
    t[i] = nowUs() - t0;
  }
  close(s);
  waitpid(echo, NULL, 0);
  qsort(t, (size_t)n, sizeof(double), byValue);
  printf("%.2f %.2f\n", t[n / 2], t[(n * 99) / 100]);
  free(t);
  return 0;
}
