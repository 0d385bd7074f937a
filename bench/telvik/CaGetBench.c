/* CA get round trip with a C client on libca: ca_array_get + ca_pend_io on one connected
 * channel, N times. The server and the CA environment (loopback only) are set by the caller.
 *
 *   bench_ca_get PV [ROUND_TRIPS]
 * Prints the median and p99 in microseconds: "median_us p99_us". */
#include "../server/LibCa.h"
#include "RoundTrips.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: bench_ca_get PV [ROUND_TRIPS]\n");
    return 2;
  }
  const long n = argc > 2 ? atol(argv[2]) : 5000;
  if (ca_context_create(0) != ECA_NORMAL) return 1;
  chid channel;
  ca_create_channel(argv[1], NULL, NULL, 0, &channel);
  if (ca_pend_io(30.0) != ECA_NORMAL) {
    fprintf(stderr, "bench_ca_get: %s did not connect\n", argv[1]);
    return 1;
  }
  double value = 0;
  for (int i = 0; i < 200; ++i) {
    ca_array_get(QCA_DBR_DOUBLE, 1, channel, &value);
    ca_pend_io(10.0);
  }
  double* t = malloc(sizeof(double) * (size_t)n);
  for (long i = 0; i < n; ++i) {
    const double t0 = nowUs();
    ca_array_get(QCA_DBR_DOUBLE, 1, channel, &value);
    if (ca_pend_io(10.0) != ECA_NORMAL) {
      fprintf(stderr, "bench_ca_get: get timed out\n");
      return 1;
    }
    t[i] = nowUs() - t0;
  }
  qsort(t, (size_t)n, sizeof(double), byValue);
  printf("%.2f %.2f\n", t[n / 2], t[(n * 99) / 100]);
  free(t);
  ca_clear_channel(channel);
  ca_context_destroy();
  return 0;
}
