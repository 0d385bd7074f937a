#!/usr/bin/python3
"""The control server under a service manager: the notify protocol as systemd speaks it.

The test plays systemd's part: it binds the datagram socket named by NOTIFY_SOCKET and reads what
the server sends. READY=1 once the application has started; WATCHDOG=1 while every module loop
takes its updates and the event loop turns; none once a module hangs (the server says which);
STOPPING=1 at SIGTERM. Needs a build with libsystemd (skipped otherwise).
"""
import os
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


class NotifySocket:
    """The service manager's end of the notify protocol."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="telvik-notify-")
        self.path = os.path.join(self.dir, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.messages = []

    def receive(self, timeout):
        """Every message that arrives within timeout seconds (each a dict of its assignments)."""
        end = time.monotonic() + timeout
        got = []
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return got
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                return got
            fields = dict(line.split("=", 1) for line in data.decode().splitlines() if "=" in line)
            got.append(fields)
            self.messages.append(fields)

    def wait_for(self, key, timeout=30.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for m in self.receive(min(0.5, end - time.monotonic())):
                if key in m:
                    return m
        return None

    def close(self):
        self.sock.close()
        os.unlink(self.path)
        os.rmdir(self.dir)


def log(server):
    """The server's standard error so far (Server.stderr_text() waits for the end of the process)."""
    return "\n".join(server.stderr_lines)


def built_with_libsystemd():
    return os.environ.get("QUELLOR_HAVE_LIBSYSTEMD", "") in ("1", "TRUE", "ON", "YES")


class ServiceManagerTest(unittest.TestCase):
    def setUp(self):
        if not built_with_libsystemd():
            self.skipTest("quellor_server is built without libsystemd")
        self.notify = NotifySocket()
        self.addCleanup(self.notify.close)

    def start(self, watchdog_usec=None):
        env = {"NOTIFY_SOCKET": self.notify.path}
        if watchdog_usec:
            env["WATCHDOG_USEC"] = str(watchdog_usec)
        server = harness.Server(port=0, args=["--persist", "none"], env_extra=env).start()
        self.addCleanup(server.kill)
        return server

    def test_ready_then_stopping_without_watchdog(self):
        server = self.start()
        ready = self.notify.wait_for("READY")
        self.assertIsNotNone(ready, "no READY=1: %s" % log(server))
        self.assertRegex(ready.get("STATUS", ""), r"^serving \d+ variables on 127\.0\.0\.1:%d$" % server.port)
        # Without a watchdog nothing more is said until the stop.
        self.assertFalse([m for m in self.notify.receive(1.0) if "WATCHDOG" in m])
        self.assertEqual(server.stop(), 0)
        self.assertTrue(any("STOPPING" in m for m in self.notify.receive(2.0)), self.notify.messages)

    def test_watchdog_is_fed_until_a_module_hangs(self):
        # 0.4 s: fed every 0.1 s, a module busy with one update for 0.2 s counts as hung.
        server = self.start(watchdog_usec=400000)
        self.assertIsNotNone(self.notify.wait_for("READY"), log(server))
        # A service manager that takes nothing for a while (more messages than its socket holds,
        # so every further send blocks) must not stall the server: clients are served meanwhile.
        time.sleep(2.5)
        value = harness.run_client(server, "print(json.dumps(epics.caget(P + 'Types:doubled', timeout=10)))")
        self.assertEqual(value, 0.0)
        fed = [m for m in self.notify.receive(1.5) if m.get("WATCHDOG") == "1"]
        self.assertGreaterEqual(len(fed), 3, self.notify.messages)

        put = harness.run_client(server, "print(json.dumps(epics.caput(P + 'Hang:hang', 1, wait=True, timeout=10)))")
        self.assertEqual(put, 1, "the write of Hang:hang was not answered")
        self.assertTrue(harness.wait_until(lambda: "no longer fed" in log(server), 30), log(server))
        self.assertRegex(log(server), r"module /telviktest/Hang has run \d+ ms without waiting")
        # Drain what was sent before the hang was seen; from then on the watchdog starves, while
        # the event loop still serves clients.
        self.notify.receive(0.3)
        later = self.notify.receive(1.5)
        self.assertFalse([m for m in later if "WATCHDOG" in m], later)
        self.assertTrue(any("no longer fed" in m.get("STATUS", "") for m in self.notify.messages))
        value = harness.run_client(server, "print(json.dumps(epics.caget(P + 'Types:doubled', timeout=10)))")
        self.assertEqual(value, 0.0)
        # The hang is an interruptible wait: the orderly stop still works.
        self.assertEqual(server.stop(), 0)


if __name__ == "__main__":
    unittest.main()
