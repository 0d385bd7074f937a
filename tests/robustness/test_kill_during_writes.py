"""quellor_server killed with SIGKILL in the middle of bursts of acknowledged operator writes, the
large feed-forward tables among them, so that some kills land inside a save of the settings
file. After every kill the file is whole (the old save or the new one, never a mix or a stub),
the next start takes it without complaint, and every setting acknowledged long enough before the
kill to have been saved comes back."""
import os
import random
import signal
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rig  # noqa: E402
from rig import DBR_DOUBLE, DBR_FLOAT, message, rawca  # noqa: E402

ROUNDS = int(os.environ.get("QUELLOR_KILL_ROUNDS", "8"))
# Settings are saved about a second after a change; a write acknowledged this long before the kill
# must be in the file. Generous, for loaded machines and sanitizer builds.
SAVED_AFTER = 3.0
FORMAT_LINE = "# quellor settings v1"

# The settings written in every burst, each with values that only grow, so that "at least the
# value acknowledged before" is a plain comparison. All are accepted by their modules.
SETTINGS = [
    ("Channel0:FeedforwardCompensation:frequency", lambda k: 1000.0 + k),
    ("Channel1:FeedforwardCompensation:frequency", lambda k: 2000.0 + k),
    ("Channel0:FeedforwardCompensation:delay", lambda k: 0.0001 * k),
    ("Channel0:VoltageSumLimiter:dcVoltageSetpoint", lambda k: 0.0001 * k),
]
TABLES = ["Channel0:FeedforwardCompensation:ffCompensation", "Channel1:FeedforwardCompensation:ffCompensation"]


def check_whole(path):
    """The settings file parses line by line as the server writes it; returns {path: elements}."""
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode()
    assert text.endswith("\n"), "the file ends in the middle of a line"
    lines = text.split("\n")[:-1]
    assert lines[0] == FORMAT_LINE, lines[0][:80]
    values = {}
    for n, line in enumerate(lines[1:], start=2):
        fields = line.split("\t")
        assert len(fields) >= 3 and int(fields[2]) == len(fields) - 3, "line %d is broken" % n
        values[fields[0]] = fields[3:]
    return values


class KillDuringWrites(unittest.TestCase):
    def test_settings_survive_sigkill_in_write_bursts(self):
        random.seed(int(os.environ.get("QUELLOR_KILL_SEED", "20240305")))
        with rig.Rig() as r:
            r.start_sim()
            settings = r.path("settings.persist")
            k = 0
            guaranteed = {}  # name -> value acknowledged at least SAVED_AFTER before a kill
            writes = kills_in_save = 0
            for round_ in range(ROUNDS):
                r.start_server(args=["--persist", settings])
                self.assertNotIn("corrupt", r.server.stderr_text())
                for name, value in guaranteed.items():
                    got = r.read(name)
                    self.assertIsNotNone(got, name)
                    self.assertGreaterEqual(got + 1e-9, value, "round %d: %s lost its setting" % (round_, name))
                r.fresh_client_served()

                c = r.client()
                sids = {name: c.create(rig.PREFIX + name, i + 1)[0] for i, name in
                        enumerate([s for s, _ in SETTINGS] + TABLES)}
                acknowledged = []  # (time, name, value)
                burst = random.uniform(0.3, SAVED_AFTER + 1.5)
                end = time.monotonic() + burst
                ioid = 0
                while time.monotonic() < end:
                    k += 1
                    for name, value_of in SETTINGS:
                        ioid += 1
                        c.send(message(rawca.WRITE_NOTIFY, struct.pack(">d", value_of(k)), DBR_DOUBLE, 1,
                                       sids[name], ioid))
                        m = c.recv_until(lambda m: m[0] == rawca.WRITE_NOTIFY and m[4] == ioid)
                        self.assertEqual(m[3], rig.ECA_NORMAL, name)
                        acknowledged.append((time.monotonic(), name, value_of(k)))
                        writes += 1
                    if k % 5 == 0:
                        for table in TABLES:
                            ioid += 1
                            c.send(message(rawca.WRITE_NOTIFY, struct.pack(">65536f", *([float(k % 7)] * 65536)),
                                           DBR_FLOAT, 65536, sids[table], ioid))
                            c.recv_until(lambda m: m[0] == rawca.WRITE_NOTIFY and m[4] == ioid)
                            writes += 1
                if round_ % 2 == 1:
                    # Into the save that follows the burst: the moment its temporary file appears.
                    rig.wait_until(lambda: os.path.exists(settings + ".tmp"), SAVED_AFTER, step=0.0005)
                if os.path.exists(settings + ".tmp"):
                    kills_in_save += 1
                os.kill(r.server.pid, signal.SIGKILL)
                killed_at = time.monotonic()
                r.server.finish()
                c.close()

                for at, name, value in acknowledged:
                    if at <= killed_at - SAVED_AFTER:
                        guaranteed[name] = max(value, guaranteed.get(name, value))
                if os.path.exists(settings):
                    saved = check_whole(settings)
                    for name, value in guaranteed.items():
                        path = "/" + name.replace(":", "/")
                        self.assertIn(path, saved)
                        self.assertGreaterEqual(float(saved[path][0]) + 1e-9, value, path)
            print("%d rounds, %d acknowledged writes, %d kills with a save under way, %d settings held"
                  % (ROUNDS, writes, kills_in_save, len(guaranteed)))
            self.assertTrue(guaranteed, "no burst was long enough to prove a save")


if __name__ == "__main__":
    unittest.main()
