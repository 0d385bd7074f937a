/* The few calls of the EPICS Channel Access client library (libca) that the benchmarks use.
 * Debian's libca-dev ships the library without its headers, so the documented C interface is
 * declared here; the names and types are those of the library's public API. */
#ifndef QUELLOR_BENCH_LIBCA_H
#define QUELLOR_BENCH_LIBCA_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct oldChannelNotify* chid;
typedef long chtype;
typedef double ca_real;
typedef unsigned capri;

enum { ECA_NORMAL = 1 };
enum { QCA_DBR_STRING = 0, QCA_DBR_LONG = 5, QCA_DBR_DOUBLE = 6 };

int ca_context_create(int preemptiveCallbackSelect); /* 0: no preemptive callbacks */
void ca_context_destroy(void);
int ca_create_channel(const char* name, void* connectionCallback, void* userPrivate, capri priority,
                      chid* channel);
int ca_clear_channel(chid channel);
int ca_array_get(chtype type, unsigned long count, chid channel, void* value);
int ca_array_put(chtype type, unsigned long count, chid channel, const void* value);
int ca_pend_io(ca_real timeout);
int ca_pend_event(ca_real timeout);
int ca_flush_io(void);

#ifdef __cplusplus
}
#endif

#endif
