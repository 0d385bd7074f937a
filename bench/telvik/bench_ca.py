"""CA server benchmarks, each figure beside a baseline measured in the same run.

1. get round trip: a C client on libca (bench_ca_get: ca_array_get + ca_pend_io) beside a bare
   loopback TCP round trip between two C processes (bench_tcp_echo), and a CA ECHO round trip.
2. monitor throughput, one double written in a tight loop by a module: updates delivered to one
   subscriber per second, beside the module's writes per second.
3. 64 channels rewritten on every trigger at 1 kHz: updates delivered per second beside the
   64000 offered, and the server's CPU share.

Usage: bench_ca.py SERVER_BINARY [--quick] [--ca-get BENCH_CA_GET --tcp-echo BENCH_TCP_ECHO]
Every figure is also printed as a "RESULT {json}" line for bench/run.sh.
"""
import json
import os
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
import harness  # noqa: E402
import rawca  # noqa: E402

QUICK = "--quick" in sys.argv
P = harness.PREFIX

ECHO_SERVER = r"""
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 0)); s.listen(1)
print(s.getsockname()[1], flush=True)
c, _ = s.accept(); c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
while True:
    d = c.recv(65536)
    if not d: break
    c.sendall(d)
"""


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def recv_exact(sock, n):
    b = b""
    while len(b) < n:
        chunk = sock.recv(n - len(b))
        if not chunk:
            raise EOFError
        b += chunk
    return b


def bare_round_trip(n):
    proc = subprocess.Popen([sys.executable, "-c", ECHO_SERVER], stdout=subprocess.PIPE, text=True)
    try:
        port = int(proc.stdout.readline())
        s = socket.create_connection(("127.0.0.1", port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        msg = b"\0" * 16
        for _ in range(100):
            s.sendall(msg)
            recv_exact(s, 16)
        t0 = time.perf_counter()
        for _ in range(n):
            s.sendall(msg)
            recv_exact(s, 16)
        dt = (time.perf_counter() - t0) / n
        s.close()
        return dt
    finally:
        proc.kill()
        proc.wait()


def ca_echo_round_trip(server, n):
    c = rawca.RawClient(server.port)
    c.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    c.hello()
    echo = rawca.header(rawca.ECHO)
    for _ in range(100):
        c.send(echo)
        c.recv_until(lambda m: m[0] == rawca.ECHO)
    t0 = time.perf_counter()
    for _ in range(n):
        c.send(echo)
        c.recv_until(lambda m: m[0] == rawca.ECHO)
    dt = (time.perf_counter() - t0) / n
    c.close()
    return dt


def caget_round_trip(server, n):
    code = r"""
import time, epics
pv = epics.PV(P + "Types:doubleSetting", auto_monitor=False)
assert pv.wait_for_connection(30)
for _ in range(100): pv.get(use_monitor=False)
t0 = time.perf_counter()
for _ in range(%d): pv.get(use_monitor=False)
print(json.dumps((time.perf_counter() - t0) / %d))
""" % (n, n)
    return harness.run_client(server, code)


class Counter:
    """Counts EVENT_ADD updates per subscription id on a raw circuit, parsing in bulk."""

    def __init__(self, client):
        self.c = client
        self.counts = {}
        self.last = {}

    def pump_until(self, done, timeout=120):
        end = time.monotonic() + timeout
        buf = self.c.buf
        self.c.buf = b""
        sock = self.c.sock
        while not done() and time.monotonic() < end:
            chunk = sock.recv(65536)
            if not chunk:
                raise EOFError
            buf += chunk
            pos = 0
            while len(buf) - pos >= 16:
                cmd, size, dtype, count, p1, p2 = struct.unpack_from(">HHHHII", buf, pos)
                if len(buf) - pos < 16 + size:
                    break
                if cmd == rawca.EVENT_ADD and size >= 8:
                    self.counts[p2] = self.counts.get(p2, 0) + 1
                    self.last[p2] = struct.unpack_from(">d", buf, pos + 16)[0]
                pos += 16 + size
            buf = buf[pos:]
        self.c.buf = buf
        return done()


def subscribe(c, sid, sub_id):
    # Channels are all created before the first subscription, so that create() never reads
    # (and drops) an update.
    c.send(rawca.message(rawca.EVENT_ADD, struct.pack(">fffHH", 0, 0, 0, 5, 0), rawca.DBR_DOUBLE, 1, sid, sub_id))


def tight_loop(server, writes):
    c = rawca.RawClient(server.port)
    c.hello()
    value_sid = c.create(P + "Load:spinValue", 1)[0]
    writes_sid = c.create(P + "Load:spinWrites", 2)[0]
    spin_sid = c.create(P + "Load:spin", 3)[0]
    trig_sid = c.create(P + "Server:triggerNumber", 4)[0]
    subscribe(c, value_sid, 1)
    subscribe(c, writes_sid, 2)
    counter = Counter(c)
    counter.pump_until(lambda: 1 in counter.counts and 2 in counter.counts, 30)
    base = dict(counter.counts)
    c.send(rawca.message(rawca.WRITE_NOTIFY, struct.pack(">i", writes), rawca.DBR_LONG, 1, spin_sid, 10))
    t0 = time.perf_counter()
    c.send(rawca.message(rawca.WRITE_NOTIFY, struct.pack(">d", 1.0), rawca.DBR_DOUBLE, 1, trig_sid, 11))
    counter.pump_until(lambda: counter.last.get(1, 0) >= writes)
    dt = time.perf_counter() - t0
    delivered = counter.counts[1] - base[1]
    c.close()
    return delivered, dt


def sixty_four_channels(server, seconds):
    c = rawca.RawClient(server.port)
    c.hello()
    sids = [c.create(P + "Load:value%d" % i, i + 1)[0] for i in range(64)]
    trig_sid = c.create(P + "Server:triggerNumber", 100)[0]
    for i, sid in enumerate(sids):
        subscribe(c, sid, i + 1)
    subscribe(c, trig_sid, 100)
    counter = Counter(c)
    counter.pump_until(lambda: len(counter.counts) == 65, 30)
    start_counts = sum(v for k, v in counter.counts.items() if k != 100)
    start_trigger = counter.last[100]
    cpu0, t0 = cpu_seconds(server.proc.pid), time.perf_counter()
    counter.pump_until(lambda: time.perf_counter() - t0 >= seconds, seconds + 30)
    dt = time.perf_counter() - t0
    cpu = cpu_seconds(server.proc.pid) - cpu0
    delivered = sum(v for k, v in counter.counts.items() if k != 100) - start_counts
    # Offered: what the module wrote, from the triggers that really happened (a loaded machine
    # makes the generator skip rather than burst).
    offered = 64 * (counter.last[100] - start_trigger)
    c.close()
    return delivered / dt, offered / dt, cpu / dt


def option(name):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else None


def result(figure, value, unit, baseline, baseline_value):
    print("RESULT " + json.dumps({"figure": figure, "value": value, "unit": unit, "baseline": baseline,
                                  "baseline_value": baseline_value}), flush=True)


def c_round_trips(server, ca_get, tcp_echo, n):
    """(median, p99) in us of the C clients; the CA one against the running server."""
    get = subprocess.run([ca_get, P + "Types:doubleSetting", str(n)], env=server.env(), capture_output=True,
                         text=True, timeout=300, check=True).stdout.split()
    bare = subprocess.run([tcp_echo, str(n)], capture_output=True, text=True, timeout=300,
                          check=True).stdout.split()
    return [float(x) for x in get], [float(x) for x in bare]


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    harness.SERVER = os.path.abspath(sys.argv[1])
    n = 300 if QUICK else 3000

    s = harness.Server(args=["--trigger-rate", "0", "--persist", "none"]).start()
    try:
        ca_get, tcp_echo = option("--ca-get"), option("--tcp-echo")
        if ca_get and tcp_echo:
            get, bare = c_round_trips(s, ca_get, tcp_echo, n)
            print("get round trip:   C client on libca median %.1f us p99 %.1f us, bare TCP (two C processes) "
                  "median %.1f us p99 %.1f us" % (get[0], get[1], bare[0], bare[1]))
            result("CA get round trip (C client on libca) median", get[0], "us", "bare loopback TCP round trip",
                   bare[0])
            result("CA get round trip (C client on libca) p99", get[1], "us", "bare loopback TCP round trip",
                   bare[1])
        else:
            bare = bare_round_trip(n)
            echo = ca_echo_round_trip(s, n)
            get = caget_round_trip(s, n)
            print("get round trip:   pyepics PV.get %.1f us, CA ECHO %.1f us, bare TCP %.1f us"
                  % (get * 1e6, echo * 1e6, bare * 1e6))
            print("                  ratio get/bare %.2f, echo/bare %.2f" % (get / bare, echo / bare))
        writes = 200000 if QUICK else 2000000
        delivered, dt = tight_loop(s, writes)
        print("tight loop:       %d writes, %d updates delivered in %.3f s: %.0f updates/s beside %.0f writes/s "
              "(ratio %.3f; the rest coalesced)" % (writes, delivered, dt, delivered / dt, writes / dt,
                                                    delivered / writes))
        result("monitor updates delivered", delivered / dt, "updates/s", "module writes", writes / dt)
    finally:
        s.stop()
        s.kill()

    s = harness.Server(args=["--trigger-rate", "1000", "--persist", "none"]).start()
    try:
        rate, offered, cpu = sixty_four_channels(s, 2 if QUICK else 10)
        print("64 ch at 1 kHz:   %.0f updates/s delivered beside %.0f written (ratio %.3f; nominal 64000), "
              "server CPU %.0f %%" % (rate, offered, rate / offered, cpu * 100))
        result("64ch at 1 kHz delivered", rate, "updates/s", "written by the module", offered)
        result("64ch at 1 kHz server CPU", cpu * 100, "% of a core", "one core", 100)
    finally:
        s.stop()
        s.kill()
    return 0


if __name__ == "__main__":
    sys.exit(main())
