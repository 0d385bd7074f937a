"""The feed-forward table as a Python user would compute it with numpy, timed the same way.

Prints one line per burst length: "<nPeriods> <ns per table>" (process CPU time). Each call makes
fresh temporaries; beyond 128 KiB glibc's allocator takes them from mmap, so the 16-period burst
pays page faults on every call, as plain numpy code does.
"""
import sys
import time
import timeit

import numpy as np

LENGTH = 65536
SAMPLE_RATE = 1e6
FREQUENCY = 250.0
DELAY_MS = 0.0
AMPLITUDE = 1.0


def table(n_periods):
    t0 = DELAY_MS / 1000.0
    start = t0 * SAMPLE_RATE
    end = (n_periods * SAMPLE_RATE) / FREQUENCY + start
    first = int(np.ceil(start))
    last = min(int(np.ceil(end)), LENGTH)
    out = np.zeros(LENGTH)
    i = np.arange(first, last, dtype=np.float64)
    out[first:last] = np.sin((i / SAMPLE_RATE - t0) * (FREQUENCY * 6.283185307179586)) * AMPLITUDE
    return out


def main():
    for n in (int(a) for a in sys.argv[1:]):
        timer = timeit.Timer(lambda: table(n), timer=time.process_time)
        number, _ = timer.autorange()
        best = min(timer.repeat(repeat=7, number=number)) / number
        print(n, best * 1e9, flush=True)


if __name__ == "__main__":
    main()
