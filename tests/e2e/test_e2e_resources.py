"""What the server holds for its clients stays bounded: silent and half-sent connections,
descriptors, and memory per subscription, per message and for replies nobody reads."""
import os
import resource
import socket
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
MiB = 1024 * 1024
# A fresh client must be served while the others hold on; this only bounds how long the test waits
# for that on a loaded machine, it is not a performance limit.
SERVE_TIMEOUT = 30.0
TABLE = "Types:controlTable"  # 65536 doubles, written by operators only
# The budget every memory test keeps the server's growth within.
MEMORY_BOUND = 64 * MiB


def status_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def rss(pid):
    return status_kib(pid, "VmRSS") * 1024


def peak(pid):
    return status_kib(pid, "VmHWM") * 1024


def reset_peak(pid):
    """Starts VmHWM afresh at the current resident size."""
    with open("/proc/%d/clear_refs" % pid, "w") as f:
        f.write("5")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def open_files_limit(pid):
    with open("/proc/%d/limits" % pid) as f:
        for line in f:
            if line.startswith("Max open files"):
                soft, hard = line.split()[3:5]
                return int(soft), int(hard)
    return None


def sanitized(pid):
    with open("/proc/%d/maps" % pid) as f:
        return any("libasan" in line or "libtsan" in line for line in f)


def served(port, timeout=SERVE_TIMEOUT):
    """True when a fresh client connects, creates a channel and reads it."""
    c = rawca.RawClient(port, timeout=timeout)
    try:
        c.hello()
        sid, _, _, _ = c.create(P + "Types:int32Setting", 1)
        cmd, _, _, status, ioid, _ = c.read(sid, DBR_LONG, 1, 5)
        return (cmd, status, ioid) == (READ_NOTIFY, ECA_NORMAL, 5)
    finally:
        c.close()


def closed_by_server(sock, timeout=SERVE_TIMEOUT):
    sock.settimeout(timeout)
    try:
        while sock.recv(65536):
            pass
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def subscribe(client, sid, dtype, sub_id):
    client.send(message(EVENT_ADD, struct.pack(">fffHH", 0, 0, 0, 5, 0), dtype, 0, sid, sub_id))


def own_open_files(wanted):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < wanted:
        soft = min(wanted, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    return soft


def table_server(**kw):
    # Without EPICS_CA_MAX_ARRAY_BYTES (which the harness sets for the clients) the largest variable
    # alone sets how much a message may carry.
    return harness.Server(args=["--trigger-rate", "0", "--persist", "none"] + kw.pop("args", []),
                          env_remove=["EPICS_CA_MAX_ARRAY_BYTES"], **kw).start()


class Connections(unittest.TestCase):
    def test_silent_and_trickling_connections_do_not_lock_out_a_fresh_client(self):
        if own_open_files(1400) < 1300:
            self.skipTest("this test process may not open 1300 descriptors")
        s = harness.Server(args=["--trigger-rate", "0", "--persist", "none", "--idle-timeout", "1",
                                 "--echo-timeout", "0.5"]).start()
        idle, slow, stop = [], None, threading.Event()
        try:
            idle = [socket.create_connection(("127.0.0.1", s.port), timeout=SERVE_TIMEOUT) for _ in range(1100)]
            # A header announcing a name, then its bytes one by one, never quite a message.
            slow = socket.create_connection(("127.0.0.1", s.port), timeout=SERVE_TIMEOUT)
            trickle = header(CREATE_CHAN, 4096, 0, 0, 1, 13) + b"x" * 4096

            def dribble():
                for b in trickle:
                    if stop.wait(0.05):
                        return
                    try:
                        slow.send(bytes([b]))
                    except OSError:
                        return

            threading.Thread(target=dribble, daemon=True).start()
            self.assertTrue(served(s.port))
            self.assertTrue(closed_by_server(slow))
            self.assertTrue(all(closed_by_server(c) for c in idle[:10] + idle[-10:]))
            self.assertTrue(served(s.port))
            self.assertTrue(s.alive())
            text = s.stderr_text() if not s.alive() else "\n".join(s.stderr_lines)
            self.assertIn("circuits in use; new connections wait", text)
            self.assertIn("closed: silent for 1 s and no answer to an echo", text)
        finally:
            stop.set()
            for c in idle + ([slow] if slow else []):
                c.close()
            s.kill()

    def test_running_out_of_descriptors_neither_spins_nor_stops_serving(self):
        s = harness.Server(args=["--trigger-rate", "0", "--persist", "none"], open_files=(128, 128)).start()
        conns = []
        try:
            if sanitized(s.proc.pid):
                # The sanitizers' run-time needs descriptors to check memory; with none left it
                # takes every virtual call for undefined behaviour and stops the server.
                self.skipTest("a sanitizer cannot run without descriptors")
            conns = [socket.create_connection(("127.0.0.1", s.port), timeout=SERVE_TIMEOUT) for _ in range(160)]
            said = lambda: [line for line in s.stderr_lines if "cannot accept connections" in line]  # noqa: E731
            self.assertTrue(harness.wait_until(said), "\n".join(s.stderr_lines))
            # Out of descriptors, an accept loop that does not back off takes a whole core.
            wall, cpu = time.monotonic(), cpu_seconds(s.proc.pid)
            time.sleep(2)
            used = (cpu_seconds(s.proc.pid) - cpu) / (time.monotonic() - wall)
            self.assertLess(used, 0.5, "the server spins while it cannot accept")
            self.assertEqual(len(said()), 1, "said once, not per attempt")
            for c in conns:
                c.close()
            conns = []
            self.assertTrue(served(s.port))
            self.assertTrue(any("accepting connections again" in line for line in s.stderr_lines))
        finally:
            for c in conns:
                c.close()
            s.kill()

    def test_the_soft_limit_of_open_files_is_raised_as_far_as_the_hard_one_allows(self):
        s = harness.Server(args=["--trigger-rate", "0", "--persist", "none"], open_files=(256, 4096)).start()
        try:
            self.assertEqual(open_files_limit(s.proc.pid), (4096, 4096))
        finally:
            s.kill()

    def test_quiet_and_monitoring_libca_clients_are_never_taken_for_silent(self):
        # libca sends its own ECHO after EPICS_CA_CONN_TMO without input and never answers one of
        # the server's; the one client is kept by that, the other by the updates it takes.
        s = harness.Server(args=["--trigger-rate", "100", "--persist", "none", "--idle-timeout", "2",
                                 "--echo-timeout", "0.5"]).start()
        try:
            r = harness.run_client(s, """
import time
events = []
def conn(pvname=None, conn=None, **kw): events.append((pvname, conn))
quiet = epics.PV(P + 'Types:doubleSetting', auto_monitor=True, connection_callback=conn)
count = [0]
busy = epics.PV(P + 'Server:triggerNumber', auto_monitor=True, connection_callback=conn,
                callback=lambda **kw: count.__setitem__(0, count[0] + 1))
quiet.wait_for_connection(30); busy.wait_for_connection(30)
time.sleep(6)
print(json.dumps([[c for _, c in events], count[0] > 100, quiet.connected, busy.connected]))
""", env_extra={"EPICS_CA_CONN_TMO": "1"})
            self.assertEqual(r, [[True, True], True, True, True])
            # The event log notes every circuit that ends; only the clients may have ended theirs.
            self.assertFalse([line for line in s.stderr_lines
                              if "closed" in line and "closed: the client closed it" not in line])
        finally:
            s.kill()


class Memory(unittest.TestCase):
    def setUp(self):
        self.server = table_server()
        self.pid = self.server.proc.pid
        self.bounded = not sanitized(self.pid)  # a sanitizer holds freed memory back

    def tearDown(self):
        self.server.kill()

    def assertGrowthWithin(self, before, after, what):
        print("\n%s: server memory %+.1f MiB" % (what, (after - before) / MiB), file=sys.stderr)
        if self.bounded:
            self.assertLess(after - before, MEMORY_BOUND, what)

    def fence(self, client, setting_sid):
        """Returns once the server has handled all `client` sent, without it reading a thing:
        its last message is a write that another client waits to see."""
        self.mark = getattr(self, "mark", 0) + 1
        client.send(message(WRITE, struct.pack(">i", self.mark), DBR_LONG, 1, setting_sid, 999))
        c = rawca.RawClient(self.server.port)
        c.hello()
        sid = c.create(P + "Types:int32Setting", 1)[0]
        seen = lambda: struct.unpack(">i", c.read(sid, DBR_LONG, 1, 2)[5][:4])[0] == self.mark  # noqa: E731
        self.assertTrue(harness.wait_until(seen))
        c.close()

    def test_subscriptions_share_one_converted_value(self):
        watcher = rawca.RawClient(self.server.port, rcvbuf=4096)
        watcher.hello()
        sid, _, count, _ = watcher.create(P + TABLE, 1)
        self.assertEqual(count, 65536)
        setting = watcher.create(P + "Types:int32Setting", 2)[0]
        before = rss(self.pid)
        reset_peak(self.pid)
        for i in range(2000):
            subscribe(watcher, sid, DBR_DOUBLE if i % 2 else DBR_TIME_DOUBLE, i + 1)
        self.fence(watcher, setting)
        self.assertGrowthWithin(before, peak(self.pid), "2000 subscriptions to a 65536-element table")
        # A new value reaches every one of them, still in bounded memory.
        writer = rawca.RawClient(self.server.port)
        writer.hello()
        wsid = writer.create(P + TABLE, 1)[0]
        writer.send(message(WRITE_NOTIFY, struct.pack(">65536d", *([1.5] * 65536)), DBR_DOUBLE, 65536, wsid, 3))
        self.assertEqual(writer.recv_until(lambda m: m[0] == WRITE_NOTIFY)[3], ECA_NORMAL)
        self.fence(watcher, setting)
        self.assertGrowthWithin(before, peak(self.pid), "and a new value for them")
        watcher.close()
        writer.close()
        self.assertTrue(served(self.server.port))

    def test_a_message_larger_than_any_variable_is_refused_unread(self):
        clients = []
        before = rss(self.pid)
        reset_peak(self.pid)
        size = 15 * MiB
        for i in range(8):
            c = rawca.RawClient(self.server.port)
            c.hello()
            sid = c.create(P + TABLE, 1)[0]
            c.send(header(WRITE, size, DBR_DOUBLE, size // 8, sid, 1) + bytes(size // 2))
            clients.append(c)
        for c in clients:
            self.assertEqual(c.recv_until(lambda m: m[0] == ERROR)[4], ECA_TOLARGE)
        self.assertGrowthWithin(before, peak(self.pid), "8 circuits each half-way through a 15 MiB message")
        for c in clients:
            c.close()
        self.assertTrue(served(self.server.port))

    def test_memory_of_closed_circuits_is_given_back(self):
        # Half of the largest write that is allowed, on many circuits: held while they are open.
        clients = []
        before = rss(self.pid)
        payload = 65536 * 8
        for i in range(48):
            c = rawca.RawClient(self.server.port)
            c.hello()
            sid = c.create(P + TABLE, 1)[0]
            c.send(header(WRITE, payload, DBR_DOUBLE, 65536, sid, 1) + bytes(payload // 2))
            clients.append(c)
        self.assertTrue(harness.wait_until(lambda: rss(self.pid) - before > 8 * MiB, timeout=10))
        held = rss(self.pid) - before
        for c in clients:
            c.close()
        self.assertTrue(served(self.server.port))
        given_back = harness.wait_until(lambda: rss(self.pid) - before < held / 4, timeout=10)
        print("\n48 half-sent writes: server memory %+.1f MiB while open, %+.1f MiB after they closed"
              % (held / MiB, (rss(self.pid) - before) / MiB), file=sys.stderr)
        if self.bounded:
            self.assertTrue(given_back)

    def test_replies_nobody_reads_are_bounded(self):
        before = rss(self.pid)
        reset_peak(self.pid)
        silent = []
        for i in range(16):
            c = rawca.RawClient(self.server.port, rcvbuf=4096)
            c.hello()
            sid = c.create(P + TABLE, 1)[0]
            c.send(b"".join(header(READ_NOTIFY, 0, DBR_DOUBLE, 0, sid, n) for n in range(64)))
            silent.append(c)
        # A client that reads gets every reply it asked for, whatever the others leave unread.
        reader = rawca.RawClient(self.server.port)
        reader.hello()
        rsid = reader.create(P + TABLE, 1)[0]
        reader.send(b"".join(header(READ_NOTIFY, 0, DBR_DOUBLE, 0, rsid, n) for n in range(64)))
        got = [reader.recv_until(lambda m: m[0] == READ_NOTIFY)[4] for _ in range(64)]
        self.assertEqual(got, list(range(64)))
        reader.close()
        self.assertTrue(served(self.server.port))
        self.assertGrowthWithin(before, peak(self.pid), "16 circuits leaving 64 table reads each unread")
        for c in silent:
            c.close()


if __name__ == "__main__":
    unittest.main()
