"""quellor_server started on settings files broken in every way a crash, a hand edit or a full
disk leaves them: the server starts, says what is wrong with the file by name, serves a fresh
client within 1 s, restores what it can, and saves a whole file again after the next change.

To add a case: a line in CASES (what, the file's content or a function making it, the settings
that must come back, and whether a note naming the file is due)."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rig  # noqa: E402

FILE = "settings.persist"
HEADER = "# quellor settings v1\n"
FREQUENCY = "/Channel0/FeedforwardCompensation/frequency"
DELAY = "/Channel0/FeedforwardCompensation/delay"
PERIODS = "/Channel0/FeedforwardCompensation/nPeriods"
# A burst the module accepts at start-up, so that it keeps the values instead of its defaults.
GOOD = "%s\tdouble\t1\t1234\n%s\tdouble\t1\t0.25\n%s\tuint32\t1\t2\n" % (FREQUENCY, DELAY, PERIODS)
KEPT = {FREQUENCY: 1234.0, DELAY: 0.25, PERIODS: 2.0}


def folder(path):
    os.mkdir(path)


def dangling_link(path):
    os.symlink(path + ".nowhere", path)


CASES = [
    # what, content (text, bytes or a function of the path), settings restored, note due
    ("empty file", "", {}, True),
    ("header only", HEADER, {}, False),
    ("another kind of file", "<?xml version='1.0'?>\n" + GOOD, {}, True),
    ("binary garbage", bytes(range(256)) * 16, {}, True),
    ("cut in the middle of a line", HEADER + GOOD[:-12], {}, True),
    ("NUL bytes", HEADER + GOOD.replace("1234", "12\0\0"), {}, True),
    ("a variable no longer served", HEADER + "/Channel9/Gone/x\tdouble\t1\t1\n" + GOOD, KEPT, True),
    ("a read-only variable", HEADER + "/Channel0/StateMachine/currentState\tint32\t1\t2\n" + GOOD, KEPT, True),
    ("a number that is none", HEADER + GOOD.replace("1234", "12x4"), {}, True),
    ("a count that lies", HEADER + GOOD.replace("\t1\t1234", "\t3\t1234"), {}, True),
    ("a count beyond any size", HEADER + GOOD.replace("\t1\t1234", "\t99999999999999999999\t1234"), {}, True),
    ("a bad escape", HEADER + GOOD.replace("1234", "12\\q4"), {}, True),
    ("a line of a mebibyte", HEADER + GOOD + "/Channel0/FeedforwardCompensation/ffCompensation\tfloat\t1\t" +
     "9" * (1 << 20) + "\n", {}, True),
    ("a folder", folder, {}, True),
    ("a dangling link", dangling_link, {}, False),
]


class SettingsFiles(unittest.TestCase):
    def test_broken_settings_files_never_stop_the_server(self):
        with rig.Rig() as r:
            r.start_sim()
            path = r.path(FILE)
            for what, content, restored, noted in CASES:
                with self.subTest(case=what):
                    for leftover in (path, path + ".corrupt", path + ".tmp", path + ".nowhere"):
                        if os.path.islink(leftover) or os.path.isfile(leftover):
                            os.unlink(leftover)
                        elif os.path.isdir(leftover):
                            os.rmdir(leftover)
                    if callable(content):
                        content(path)
                    else:
                        r.write(FILE, content)
                    r.start_server(args=["--persist", path])
                    r.fresh_client_served()
                    notes = r.server.stderr_text()
                    if noted:
                        self.assertIn(FILE, notes)
                    for pv, value in restored.items():
                        self.assertEqual(r.read(rig.pv_name(pv)), value, pv)
                    if what == "a folder":
                        # Not the server's to remove: it says so once and keeps serving without
                        # saving until someone clears the path.
                        self.assertIn("is a directory", notes)
                        self.assertTrue(r.server.alive())
                        self.assertEqual(r.server.stop(), 0, r.server.stderr_text())
                        continue
                    # Saving works again: the next change reaches a whole file.
                    c = r.client()
                    sid = c.create(rig.PREFIX + rig.pv_name(FREQUENCY), 1)[0]
                    c.send(rig.message(rig.rawca.WRITE, rig.struct.pack(">d", 777.0), rig.DBR_DOUBLE, 1, sid, 1))
                    c.close()
                    self.assertTrue(rig.wait_until(lambda: os.path.isfile(path) and
                                                   "frequency\tdouble\t1\t777\n" in r.text(FILE), 15),
                                    notes)
                    self.assertTrue(r.server.alive())
                    self.assertEqual(r.server.stop(), 0, r.server.stderr_text())
                    self.assertTrue(r.text(FILE).startswith(HEADER))


if __name__ == "__main__":
    unittest.main()
