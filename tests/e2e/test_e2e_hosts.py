"""Several servers on one host and port as libca finds them; the health variables; the event log.

Three servers, one per board, share a free loopback port. A client searching by broadcast
(127.255.255.255) and one searching at the host's address (127.0.0.1) must each find every
server's variables, also while one of them stops and after it comes back.
"""
import json
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import rawca  # noqa: E402

T = 30.0  # seconds; only a guard against hanging
BOARDS = ("TQA:", "TQB:", "TQC:")
GROUP = "224.0.0.128"


def client_env(server, address):
    env = server.env()
    env["EPICS_CA_ADDR_LIST"] = "%s:%d" % (address, server.port)
    return env


def run_pyepics(env, code, timeout=120):
    """pyepics code in a fresh process (its own CA context); returns what it prints last, as JSON."""
    prelude = "import json, sys\nimport epics\n"
    out = subprocess.run([sys.executable, "-c", prelude + code], env=env, capture_output=True, text=True,
                         timeout=timeout)
    if out.returncode != 0:
        raise RuntimeError("client failed (%d): %s %s" % (out.returncode, out.stdout, out.stderr))
    return json.loads(out.stdout.strip().splitlines()[-1])


READ_EVERY_BOARD = """
names = %r
pvs = [epics.PV(n) for n in names]
found = [pv.wait_for_connection(%f) for pv in pvs]
print(json.dumps([pv.get(timeout=%f, use_monitor=False, as_string=True) if ok else None for pv, ok in zip(pvs, found)]))
"""


def read_every_board(server, address, boards=BOARDS):
    names = [b + "Server:version" for b in boards]
    return run_pyepics(client_env(server, address), READ_EVERY_BOARD % (names, T, T))


class LeavingLoopback:
    """Counts packets of the test's port or of the forwarding group on interfaces other than lo.

    Needs a packet socket (root); `available` is False where the system refuses one.
    """

    def __init__(self, port):
        self.port = port
        self.count = 0
        self.on_loopback = 0  # proof that the capture sees the test's packets at all
        self.available = True
        try:
            self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.ntohs(0x0003))
        except (PermissionError, AttributeError, OSError):
            self.available = False
            return
        self.sock.settimeout(0.2)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        group = socket.inet_aton(GROUP)
        while not self.stop.is_set():
            try:
                data, addr = self.sock.recvfrom(65535)
            except socket.timeout:
                continue
            if len(data) < 14 + 28 or data[12:14] != b"\x08\x00":
                continue
            ip = data[14:]
            if ip[9] != 17:  # UDP
                continue
            header = (ip[0] & 0x0F) * 4
            sport, dport = int.from_bytes(ip[header:header + 2], "big"), int.from_bytes(ip[header + 2:header + 4], "big")
            if ip[16:20] == group or self.port in (sport, dport):
                if addr[0] == "lo":
                    self.on_loopback += 1
                else:
                    self.count += 1

    def close(self):
        if self.available:
            self.stop.set()
            self.thread.join()
            self.sock.close()


class SeveralServersOnOnePort(unittest.TestCase):
    def setUp(self):
        self.port = harness.free_udp_port()
        self.repeater = harness.free_udp_port()
        self.servers = {}
        for b in BOARDS:
            self.servers[b] = self.start(b)

    def start(self, board):
        return harness.Server(port=self.port, repeater_port=self.repeater,
                              args=["--prefix", board, "--trigger-rate", "10", "--persist", "none"]).start()

    def tearDown(self):
        for s in self.servers.values():
            s.kill()

    def test_found_by_broadcast_and_at_the_hosts_address_while_each_restarts(self):
        first = self.servers[BOARDS[0]]
        self.assertEqual({s.port for s in self.servers.values()}, {self.port})
        tcp = [s.tcp_port for s in self.servers.values()]
        self.assertEqual(len(set(tcp)), 3)  # two of them on free TCP ports of their own
        taken = [s for s in self.servers.values() if "TCP port %d is taken" % self.port in s.stderr_text()]
        self.assertEqual(len(taken), 2)
        for s in taken:  # said once
            self.assertEqual(s.stderr_text().count("is taken"), 1)

        leaving = LeavingLoopback(self.port)
        version = read_every_board(first, "127.0.0.1")[0]
        self.assertTrue(version)
        self.assertEqual(read_every_board(first, "127.255.255.255"), [version] * 3)
        self.assertEqual(read_every_board(first, "127.0.0.1"), [version] * 3)

        # A client that stays connected to the others watches their heartbeats while one goes.
        watch = subprocess.Popen([sys.executable, "-c", WATCH_HEARTBEATS % ([b + "Server:heartbeat" for b in BOARDS], T)],
                                 env=client_env(first, "127.0.0.1"), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 text=True)
        self.assertEqual(watch.stdout.readline().strip(), "connected")
        for board in BOARDS:
            with self.subTest(stopped=board):
                self.assertEqual(self.servers[board].stop(), 0)
                self.servers[board].kill()  # closes its pipes
                others = [b for b in BOARDS if b != board]
                self.assertEqual(read_every_board(first, "127.0.0.1", others), [version] * 2)
                self.assertEqual(read_every_board(first, "127.255.255.255", others), [version] * 2)
                self.servers[board] = self.start(board)
                self.assertEqual(read_every_board(self.servers[board], "127.0.0.1"), [version] * 3)
                self.assertEqual(read_every_board(self.servers[board], "127.255.255.255"), [version] * 3)
        watch.stdin.write("done\n")
        watch.stdin.flush()
        beats = json.loads(watch.stdout.readline())
        watch.wait(T)
        watch.stdin.close()
        watch.stdout.close()
        # Each server's heartbeat went on while the others stopped: it came back each time.
        for name, (disconnects, last) in beats.items():
            self.assertLessEqual(disconnects, 1, name)  # only its own stop
            self.assertGreater(last, 0, name)

        leaving.close()
        if leaving.available:
            self.assertGreater(leaving.on_loopback, 0)
            self.assertEqual(leaving.count, 0, "packets of the test left the loopback interface")


WATCH_HEARTBEATS = """
import json, sys, epics
names, timeout = %r, %f
state = {n: [0, 0] for n in names}
def changed(pvname=None, value=None, **kw):
    state[pvname][1] = value
def connection(pvname=None, conn=None, **kw):
    if not conn:
        state[pvname][0] += 1
pvs = [epics.PV(n, callback=changed, connection_callback=connection, auto_monitor=True) for n in names]
for pv in pvs:
    pv.wait_for_connection(timeout)
print("connected", flush=True)
sys.stdin.readline()
print(json.dumps(state), flush=True)
"""


class HealthAndLog(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = harness.Server(args=["--trigger-rate", "10", "--persist", "none"]).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()

    def test_health_variables_change_and_are_read_only(self):
        P = harness.PREFIX
        result = run_pyepics(self.server.env(), """
import time
P = %r
names = ["uptime", "heartbeat", "clients", "channels", "openDescriptors", "residentMemory", "cpuLoad",
         "lostValues", "version", "startTime"]
pvs = {n: epics.PV(P + "Server:" + n) for n in names}
for pv in pvs.values():
    pv.wait_for_connection(%f)
def read():
    return {n: pvs[n].get(use_monitor=False, timeout=%f, as_string=n in ("version", "startTime")) for n in names}
first = read()
time.sleep(2.5)
second = read()
print(json.dumps({"first": first, "second": second, "write_access": pvs["heartbeat"].write_access}))
""" % (P, T, T))
        first, second = result["first"], result["second"]
        self.assertGreater(second["heartbeat"], first["heartbeat"])
        self.assertGreater(second["uptime"], first["uptime"])
        self.assertGreaterEqual(second["clients"], 1)  # this client
        self.assertGreaterEqual(second["channels"], 10)  # its channels
        self.assertGreater(second["openDescriptors"], 3)
        self.assertGreater(second["residentMemory"], 1.0)  # MiB
        self.assertGreaterEqual(second["cpuLoad"], 0.0)
        self.assertEqual(second["lostValues"], 0)
        self.assertRegex(second["version"], r"^\d+\.\d+")
        self.assertRegex(second["startTime"], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d")
        self.assertFalse(result["write_access"])

    def test_writes_and_circuits_are_in_the_event_log(self):
        P = harness.PREFIX
        run_pyepics(self.server.env(), """
import numpy
P = %r
epics.caput(P + "Types:doubleSetting", 1.25, wait=True, timeout=%f)
epics.caput(P + "Types:doubleSetting", 2.5, wait=True, timeout=%f)
table = numpy.zeros(65536)
table[100:103] = [1.5, 2.5, 3.5]
epics.caput(P + "Types:controlTable", table, wait=True, timeout=%f)
print(json.dumps(True))
""" % (P, T, T, T))
        # libca does not send a write that the access rights forbid; a raw client does.
        raw = rawca.RawClient(self.server.tcp_port)
        raw.hello(user="mallory")
        sid = raw.create(P + "StateMachine:currentState", 1)[0]
        raw.send(rawca.message(rawca.WRITE, struct.pack(">i", 3), rawca.DBR_LONG, 1, sid, 1))
        raw.recv_until(lambda m: m[0] == rawca.ERROR)
        raw.close()
        host = socket.gethostname()
        lines = lambda: self.server.stderr_lines
        put = re.compile(r" notice ca: [^@ ]+@%s.* wrote %sTypes:doubleSetting: 1\.25 -> 2\.5$" %
                         (re.escape(host), re.escape(P)))
        self.assertTrue(harness.wait_until(lambda: any(put.search(l) for l in lines()), T), "\n".join(lines()))
        table = re.compile(r"wrote %sTypes:controlTable: 65536 elements, 3 changed, the first at \[100\]: 0 -> 1\.5$" %
                           re.escape(P))
        self.assertTrue(any(table.search(l) for l in lines()), "\n".join(lines()))
        refused = re.compile(r" warning ca: write to %sStateMachine:currentState by mallory@.* refused: no write access" %
                             re.escape(P))
        self.assertTrue(harness.wait_until(lambda: any(refused.search(l) for l in lines()), T), "\n".join(lines()))
        self.assertTrue(harness.wait_until(
            lambda: any(re.search(r" info ca: circuit from 127\.0\.0\.1:\d+ of [^@ ]+@%s.* closed: the client closed it" %
                                  re.escape(host), l) for l in lines()), T), "\n".join(lines()))
        self.assertTrue(any(re.search(r" info ca: circuit from 127\.0\.0\.1:\d+ opened$", l) for l in lines()))
        summary = [l for l in lines() if " notice server: serving " in l]
        self.assertEqual(len(summary), 1)
        self.assertIn("with prefix %s on 127.0.0.1:" % P, summary[0])
        self.assertIn("settings file none", summary[0])


if __name__ == "__main__":
    unittest.main()
