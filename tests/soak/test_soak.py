"""Long runs of quellor_server on the simulated board, by hand (label soak, not in the default run):

  board reboots   the board rebooted through its register file every 0.5 s, directly as the
                  firmware would, while a channel is enabled and holds a DC voltage
  protection      protection trips and resets on every channel of the board
  clients         100 clients monitoring every variable at a 1 kHz trigger, one of them dropped
                  and replaced every 0.5 s

Each prints the faults injected, how many were recovered, the settings lost, and the server's
descriptors and resident memory before and after. QUELLOR_SOAK_CYCLES sets the number of cycles
(default 200; 10000 by hand for a night), QUELLOR_SOAK_CLIENTS the number of clients (100).
"""
import os
import selectors
import socket
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "robustness"))
import rig  # noqa: E402
from rig import DBR_DOUBLE, header, message, rawca  # noqa: E402

CYCLES = int(os.environ.get("QUELLOR_SOAK_CYCLES", "200"))
CLIENTS = int(os.environ.get("QUELLOR_SOAK_CLIENTS", "100"))
PERIOD = 0.5
# Memory a long run may gain before it counts as a leak: queues and caches settle, a leak grows
# with the cycles.
RSS_GROWTH_KIB = 64 * 1024

# Operator settings held through the run, per channel; none of them is touched by the faults.
CHANNEL_SETTINGS = {
    "FeedforwardCompensation:frequency": 1500.0,
    "FeedforwardCompensation:delay": 0.25,
    "FeedforwardCompensation:nPeriods": 2.0,
    "VoltageSumLimiter:acVoltageSetpoint": 0.5,
    "VoltageSumLimiter:dcVoltageSetpoint": 1.0,
}


class Writer:
    """A circuit for acknowledged writes of doubles."""

    def __init__(self, r):
        self.client = r.client()
        self.sids = {}
        self.ioid = 0

    def put(self, name, value):
        if name not in self.sids:
            self.sids[name] = self.client.create(rig.PREFIX + name, len(self.sids) + 1)[0]
        self.ioid += 1
        self.client.send(message(rawca.WRITE_NOTIFY, struct.pack(">d", value), DBR_DOUBLE, 1, self.sids[name],
                                 self.ioid))
        m = self.client.recv_until(lambda m: m[0] == rawca.WRITE_NOTIFY and m[4] == self.ioid)
        assert m[3] == rig.ECA_NORMAL, (name, value, m)

    def close(self):
        self.client.close()


class Watch:
    """Counts the changes of a variable's value through a subscription, in a thread of its own."""

    def __init__(self, r, name):
        self.client = r.client(timeout=None)
        sid = self.client.create(rig.PREFIX + name, 1)[0]
        self.client.send(message(rawca.EVENT_ADD, struct.pack(">fffHH", 0, 0, 0, 5, 0), DBR_DOUBLE, 1, sid, 1))
        self.values = []
        self.lock = threading.Lock()
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        try:
            while True:
                cmd, _, _, _, sub, payload = self.client.recv()
                if cmd == rawca.EVENT_ADD and sub == 1 and len(payload) >= 8:
                    with self.lock:
                        self.values.append(struct.unpack(">d", payload[:8])[0])
        except (rawca.Closed, OSError):
            pass

    def transitions(self, frm, to):
        with self.lock:
            v = list(self.values)
        return sum(1 for a, b in zip(v, v[1:]) if a == frm and b == to)

    def close(self):
        self.client.close()


def settings_of(r, channels):
    return {"Channel%d:%s" % (c, k): r.read("Channel%d:%s" % (c, k)) for c in range(channels) for k in CHANNEL_SETTINGS}


def apply_settings(w, channels):
    for c in range(channels):
        for k, v in CHANNEL_SETTINGS.items():
            w.put("Channel%d:%s" % (c, k), v)


def lost(before, after):
    return sorted(k for k in before if after.get(k) != before[k])


class Figures:
    def __init__(self, what, r):
        self.what = what
        self.pid = r.server.pid
        self.fds_before = rig.descriptors(self.pid)
        self.rss_before = rig.resident_kib(self.pid)
        self.started = time.monotonic()

    def report(self, injected, recovered, settings_lost, extra=""):
        self.fds_after = rig.descriptors(self.pid)
        self.rss_after = rig.resident_kib(self.pid)
        print("\nsoak %s: %d faults injected, %d recovered, %d settings lost; descriptors %d -> %d; "
              "resident memory %d -> %d KiB; %.0f s%s" %
              (self.what, injected, recovered, settings_lost, self.fds_before, self.fds_after, self.rss_before,
               self.rss_after, time.monotonic() - self.started, extra), flush=True)


class Soak(unittest.TestCase):
    def test_board_reboots(self):
        with rig.Rig() as r:
            r.start_sim().start_server(trigger_rate=100)
            w = Writer(r)
            apply_settings(w, 2)
            w.put("Channel0:StateMachine:requestedState", 1)
            self.assertTrue(rig.wait_until(lambda: r.read("Channel0:StateMachine:currentState") == 1))
            before = settings_of(r, 2)
            status = Watch(r, "Devices:PiezoDriver:status")
            reboots_before = r.registers.read_word("Sim/reboots")
            figures = Figures("board reboots", r)
            next_at = time.monotonic()
            for _ in range(CYCLES):
                # Held until the firmware has seen the edge: on a loaded machine it may not tick for
                # a while, and a re-opening of the board writes the word's harmless 0 over it.
                done = r.registers.read_word("Sim/reboots") + 1
                while r.registers.read_word("Sim/reboots") < done and time.monotonic() < next_at + PERIOD:
                    r.registers.write_word("Sim/reboot", 1)
                    time.sleep(0.005)
                r.registers.write_word("Sim/reboot", 0)
                next_at += PERIOD
                time.sleep(max(0.0, next_at - time.monotonic()))
            self.assertTrue(rig.wait_until(lambda: r.read("Devices:PiezoDriver:status") == 0, 60),
                            r.server.stderr_text()[-2000:])
            # The last re-initialisation brought back what the channel had set on the board.
            board = lambda: (r.registers.read_word("Channel0/loadRelayControl"),  # noqa: E731
                             r.registers.read_word("Channel0/dcVoltage") / 65536.0)
            self.assertTrue(rig.wait_until(lambda: board() == (1, 1.0), 30), board())
            injected = r.registers.read_word("Sim/reboots") - reboots_before
            after = settings_of(r, 2)
            # Reboots that come while the board is still faulty (in the back-off after a relapse)
            # are recovered together with it, so recoveries are fewer than reboots.
            figures.report(injected, status.transitions(1.0, 0.0), len(lost(before, after)),
                           " (recoveries; board faults seen %d; channel 0 still %s)" %
                           (status.transitions(0.0, 1.0), r.read("Channel0:StateMachine:currentState")))
            status.close()
            w.close()
            self.assertEqual(injected, CYCLES)
            self.assertEqual(lost(before, after), [])
            self.assertEqual(r.read("Channel0:StateMachine:currentState"), 1)
            self.assertTrue(r.server.alive())
            r.fresh_client_served()
            self.assertLessEqual(figures.fds_after, figures.fds_before + 2)
            self.assertLess(figures.rss_after - figures.rss_before, RSS_GROWTH_KIB)
            self.assertEqual(r.server.stop(), 0)

    def test_protection_trips_and_resets_on_every_channel(self):
        channels = 8
        with rig.Rig(config_edits={"nChannels": channels, "StateMachine/errorResetDelay": 0.05}) as r:
            r.start_sim().start_server(trigger_rate=100)
            w = Writer(r)
            apply_settings(w, channels)
            before = settings_of(r, channels)
            states = lambda: [r.read("Channel%d:StateMachine:currentState" % c) for c in range(channels)]  # noqa
            figures = Figures("protection", r)
            injected = recovered = 0
            for cycle in range(CYCLES):
                for c in range(channels):
                    w.put("Channel%d:StateMachine:requestedState" % c, 1)
                if not rig.wait_until(lambda: states() == [1] * channels, 30):
                    break
                r.registers.write_word("Sim/tripProtection", 1)
                injected += 1
                tripped = rig.wait_until(lambda: states() == [2] * channels, 30)
                r.registers.write_word("Sim/tripProtection", 0)
                if not tripped:
                    break
                for c in range(channels):
                    w.put("Channel%d:StateMachine:resetError" % c, 1)
                if rig.wait_until(lambda: states() == [0] * channels, 30):
                    recovered += 1
                else:
                    break
            after = settings_of(r, channels)
            figures.report(injected, recovered, len(lost(before, after)), "; last states %s" % states())
            w.close()
            self.assertEqual((injected, recovered), (CYCLES, CYCLES))
            self.assertEqual(lost(before, after), [])
            r.fresh_client_served()
            self.assertLessEqual(figures.fds_after, figures.fds_before + 2)
            self.assertLess(figures.rss_after - figures.rss_before, RSS_GROWTH_KIB)
            self.assertEqual(r.server.stop(), 0)

    def test_clients_monitoring_every_variable_at_a_kilohertz_trigger(self):
        with rig.Rig() as r:
            names = [rig.pv_name(v[0]) for v in r.variables()]
            r.start_sim().start_server(trigger_rate=1000)
            w = Writer(r)
            apply_settings(w, 2)
            before = settings_of(r, 2)
            monitors = Monitors(r, names)
            for i in range(CLIENTS):
                monitors.connect(i)
            monitors.start()
            time.sleep(2.0)
            figures = Figures("clients", r)
            dropped = 0
            for cycle in range(CYCLES):
                # One client vanishes without a word and a new one takes its place.
                monitors.replace(cycle % CLIENTS)
                dropped += 1
                time.sleep(PERIOD)
            time.sleep(2.0)
            served = monitors.serving(since=time.monotonic() - 1.5)
            events = monitors.events()
            after = settings_of(r, 2)
            figures.report(dropped, monitors.replacements_served(), len(lost(before, after)),
                           "; %d clients on %d variables each, %d of them updated in the last 1.5 s, %d events"
                           % (CLIENTS, len(names), served, events))
            monitors.close()
            w.close()
            self.assertEqual(served, CLIENTS)
            self.assertEqual(monitors.replacements_served(), dropped)
            self.assertEqual(lost(before, after), [])
            r.fresh_client_served()
            self.assertLessEqual(figures.fds_after, figures.fds_before + 2)
            self.assertLess(figures.rss_after - figures.rss_before, RSS_GROWTH_KIB)
            self.assertEqual(r.server.stop(), 0)


class Monitors:
    """Many circuits, each subscribed to every variable, read by one thread that counts events."""

    def __init__(self, r, names):
        self.rig = r
        self.names = names
        self.sel = selectors.DefaultSelector()
        self.lock = threading.Lock()
        self.socks = {}      # slot -> socket
        self.buffers = {}    # socket -> bytes
        self.counts = {}     # slot -> events
        self.last = {}       # slot -> time of the last event
        self.waiting = set()  # slots whose new circuit has had no event yet
        self.replacements = 0  # new circuits that had their first event
        self.total = 0
        self.stop = False
        self.thread = None

    def connect(self, slot):
        c = rawca.RawClient(self.rig.port, timeout=60)
        c.hello(user="monitor%d" % slot)
        c.send(b"".join(message(rawca.CREATE_CHAN, (rig.PREFIX + n).encode() + b"\0", 0, 0, i + 1, 13)
                        for i, n in enumerate(self.names)))
        created = {}
        while len(created) < len(self.names):
            cmd, dtype, count, p1, p2, _ = c.recv()
            if cmd == rawca.CREATE_CHAN:
                created[p1] = (p2, dtype, count)
            elif cmd == rawca.CREATE_CH_FAIL:
                raise AssertionError("no channel for %s" % self.names[p1 - 1])
        c.send(b"".join(message(rawca.EVENT_ADD, struct.pack(">fffHH", 0, 0, 0, 5, 0), dtype, count, sid, cid)
                        for cid, (sid, dtype, count) in created.items()))
        sock = c.sock
        sock.setblocking(False)
        with self.lock:
            self.socks[slot] = sock
            self.buffers[sock] = c.buf
            self.counts.setdefault(slot, 0)
            self.sel.register(sock, selectors.EVENT_READ, slot)

    def replace(self, slot):
        with self.lock:
            old = self.socks.pop(slot)
            self.sel.unregister(old)
            self.buffers.pop(old, None)
            self.waiting.add(slot)
        old.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        old.close()
        self.connect(slot)

    def start(self):
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stop:
            with self.lock:
                ready = self.sel.select(timeout=0.05)
                for key, _ in ready:
                    sock, slot = key.fileobj, key.data
                    try:
                        chunk = sock.recv(1 << 20)
                    except BlockingIOError:
                        continue
                    except OSError:
                        chunk = b""
                    if not chunk:
                        continue
                    buf = self.buffers[sock] + chunk
                    at, events = 0, 0
                    while len(buf) - at >= 16:
                        cmd, size, _, count = struct.unpack_from(">HHHH", buf, at)
                        head = 16
                        if size == 0xFFFF:
                            if len(buf) - at < 24:
                                break
                            size, count = struct.unpack_from(">II", buf, at + 16)
                            head = 24
                        if len(buf) - at < head + size:
                            break
                        if cmd == rawca.EVENT_ADD:
                            events += 1
                        at += head + size
                    self.buffers[sock] = buf[at:]
                    if events:
                        self.counts[slot] += events
                        self.last[slot] = time.monotonic()
                        self.total += events
                        if slot in self.waiting:
                            self.waiting.discard(slot)
                            self.replacements += 1

    def serving(self, since):
        with self.lock:
            return sum(1 for slot in self.socks if self.last.get(slot, 0) >= since)

    def replacements_served(self):
        with self.lock:
            return self.replacements

    def events(self):
        with self.lock:
            return self.total

    def close(self):
        self.stop = True
        if self.thread is not None:
            self.thread.join(5)
        for sock in self.socks.values():
            sock.close()


if __name__ == "__main__":
    unittest.main()
