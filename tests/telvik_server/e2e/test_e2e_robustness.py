"""Clients that misbehave, many clients at once, and a client that stops reading."""
import os
import statistics
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from rawca import *  # noqa: E402,F401,F403
import rawca  # noqa: E402

P = harness.PREFIX
server = None


def setUpModule():
    global server
    server = harness.Server(args=["--trigger-rate", "100", "--persist", "none"]).start()


def tearDownModule():
    if server is not None:
        server.kill()


def connected(cid=1, name="Types:doubleSetting"):
    c = rawca.RawClient(server.port)
    c.hello()
    sid, dtype, count, rights = c.create(P + name, cid)
    return c, sid, dtype, count, rights


def still_serving():
    c, sid, dtype, count, rights = connected()
    cmd, dt, n, status, ioid, payload = c.read(sid, DBR_DOUBLE, 1, 77)
    c.close()
    return cmd == READ_NOTIFY and status == ECA_NORMAL and ioid == 77


class Faults(unittest.TestCase):
    def test_framing_faults_close_only_that_circuit(self):
        bystander, sid, _, _, _ = connected()
        faults = {
            "misaligned size": header(ECHO, 5) + b"\0" * 5,
            "garbage": b"\xde\xad\xbe\xef" * 16,
            "extended header with misaligned size": header(WRITE, 0x10001, DBR_DOUBLE, 1, sid, 1),
        }
        for what, data in faults.items():
            with self.subTest(what=what):
                c = rawca.RawClient(server.port)
                c.hello()
                c.send(data)
                self.assertTrue(c.is_closed(), what)
                c.close()
                cmd, _, _, status, _, _ = bystander.read(sid, DBR_DOUBLE, 1, 5)
                self.assertEqual((cmd, status), (READ_NOTIFY, ECA_NORMAL))
        # A message cut off by the end of the stream.
        c = rawca.RawClient(server.port)
        c.hello()
        c.send(header(CREATE_CHAN, 16, 0, 0, 1, 13) + b"Types:do")
        c.sock.shutdown(rawca.socket.SHUT_WR)
        self.assertTrue(c.is_closed())
        c.close()
        bystander.close()
        self.assertTrue(still_serving())

    def test_bad_requests_get_errors_and_keep_the_circuit(self):
        c, sid, dtype, count, rights = connected()
        self.assertEqual((dtype, count, rights), (DBR_DOUBLE, 1, 3))
        # Unknown command, unknown channel, unknown subscription, count far above the channel's.
        c.send(header(99, 0, 0, 0, 1, 2))
        self.assertEqual(c.recv_until(lambda m: m[0] == ERROR)[4], ECA_INTERNAL)
        cmd, _, _, p1, p2, _ = c.read(12345, DBR_DOUBLE, 1, 6)
        self.assertEqual((cmd, p2), (ERROR, ECA_BADCHID))
        c.send(header(EVENT_CANCEL, 0, DBR_DOUBLE, 1, sid, 999))
        self.assertEqual(c.recv_until(lambda m: m[0] == ERROR)[4], ECA_BADMONID)
        cmd, _, _, p1, p2, _ = c.read(sid, DBR_DOUBLE, 0x7FFFFFFF, 8)
        self.assertEqual((cmd, p1, p2), (ERROR, 1, ECA_BADCOUNT))
        c.send(message(EVENT_ADD, struct.pack(">fffHH", 0, 0, 0, 5, 0), DBR_DOUBLE, 0xFFFFFFF0, sid, 3))
        self.assertEqual(c.recv_until(lambda m: m[0] == ERROR)[4], ECA_BADCOUNT)
        # A payload far above the limit is refused before it is read.
        c.send(header(WRITE, 1 << 30, DBR_DOUBLE, 1 << 27, sid, 1))
        self.assertEqual(c.recv_until(lambda m: m[0] == ERROR)[4], ECA_TOLARGE)
        c.close()
        self.assertTrue(still_serving())

    def test_read_only_variables_refuse_writes(self):
        c, sid, dtype, count, rights = connected(name="StateMachine:currentState")
        self.assertEqual(rights, 1)
        before = c.read(sid, DBR_LONG, 1, 1)[5]
        c.send(message(WRITE, struct.pack(">i", 42), DBR_LONG, 1, sid, 1))
        m = c.recv_until(lambda m: m[0] == ERROR)
        self.assertEqual((m[3], m[4]), (1, ECA_NOWTACCESS))
        c.send(message(WRITE_NOTIFY, struct.pack(">i", 42), DBR_LONG, 1, sid, 9))
        m = c.recv_until(lambda m: m[0] == WRITE_NOTIFY)
        self.assertEqual((m[3], m[4]), (ECA_NOWTACCESS, 9))
        self.assertEqual(c.read(sid, DBR_LONG, 1, 2)[5], before)
        # The description field is read-only as well.
        sid2, _, _, rights2 = c.create(P + "Types:doubleSetting.DESC", 2)
        self.assertEqual(rights2, 1)
        c.close()


class Load(unittest.TestCase):
    def test_two_hundred_clients_at_once(self):
        n = 200
        barrier = threading.Barrier(n)
        results = [None] * n

        def one(i):
            try:
                barrier.wait(harness.START_TIMEOUT)
                c = rawca.RawClient(server.port, timeout=120)
                c.hello(user="client%d" % i)
                sid, dtype, count, rights = c.create(P + "Types:int32Setting", i + 1)
                cmd, _, _, status, ioid, payload = c.read(sid, DBR_LONG, 1, i)
                results[i] = (cmd, status, ioid)
                c.close()
            except Exception as e:  # reported below with the client's number
                results[i] = repr(e)

        threads = [threading.Thread(target=one, args=(i,)) for i in range(n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        bad = [(i, r) for i, r in enumerate(results) if r != (READ_NOTIFY, ECA_NORMAL, i)]
        self.assertEqual(bad, [])
        self.assertTrue(server.alive())


def trigger_latencies(client, sub_id, count):
    """Values and delays (arrival minus server time stamp) of `count` trigger updates."""
    values, delays = [], []
    while len(values) < count:
        cmd, dtype, n, status, sid, payload = client.recv()
        if cmd != EVENT_ADD or sid != sub_id:
            continue
        now = time.time()
        severity, stamp, value = rawca.time_double(payload)
        values.append(value)
        delays.append(now - stamp)
    return values, delays


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class SlowClient(unittest.TestCase):
    def test_stalled_array_client_does_not_delay_others(self):
        period = 1 / 100.0
        watcher, sid, _, _, _ = connected(cid=1, name="Server:triggerNumber")
        watcher.send(message(EVENT_ADD, struct.pack(">fffHH", 0, 0, 0, 5, 0), DBR_TIME_DOUBLE, 1, sid, 7))
        trigger_latencies(watcher, 7, 20)  # settle
        base_values, base_delays = trigger_latencies(watcher, 7, 200)

        # A client with a tiny receive buffer subscribes to the 65536-element waveform rewritten on
        # every trigger, and never reads again.
        stalled = rawca.RawClient(server.port, rcvbuf=4096)
        stalled.hello()
        ssid, _, count, _ = stalled.create(P + "Waveform:waveform", 1)
        self.assertEqual(count, 65536)
        stalled.send(message(EVENT_ADD, struct.pack(">fffHH", 0, 0, 0, 5, 0), DBR_DOUBLE, 0, ssid, 1))
        rss_before = vm_rss_kib(server.proc.pid)
        values, delays = trigger_latencies(watcher, 7, 300)
        rss_after = vm_rss_kib(server.proc.pid)

        for v in (base_values, values):
            steps = [b - a for a, b in zip(v, v[1:])]
            self.assertEqual(set(steps), {1.0}, "the watcher missed or repeated triggers")
        med_base, med = statistics.median(base_delays), statistics.median(delays)
        print("\nwatcher delay median: %.2f ms alone, %.2f ms beside the stalled client; server RSS %d -> %d KiB"
              % (med_base * 1e3, med * 1e3, rss_before, rss_after), file=sys.stderr)
        self.assertLessEqual(med, med_base + period)
        # Coalescing keeps the stalled client's backlog to a few waveforms (512 KiB each).
        self.assertLess(rss_after - rss_before, 64 * 1024)
        stalled.close()
        watcher.close()
        self.assertTrue(still_serving())


if __name__ == "__main__":
    unittest.main()
