"""Every writable variable of quellor_server on the simulated board takes a matrix of bad writes:
numbers no setting can hold, wrong element counts, strings from empty to 64 KiB and every wrong
DBR type. Each write is answered, the server stays up, a fresh client is served within 1 s after
each variable, every variable still takes a good value, and no setting is lost, also across a
restart. Read-only variables refuse every write."""
import math
import os
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rig  # noqa: E402
from rig import DBR_CHAR, DBR_DOUBLE, DBR_ENUM, DBR_FLOAT, DBR_LONG, DBR_SHORT, DBR_STRING  # noqa: E402
from rig import header, message, rawca  # noqa: E402

INF = math.inf
NAN = math.nan


def packed(fmt, values):
    return struct.pack(">%d%s" % (len(values), fmt), *values)


def string_payload(text):
    raw = text.encode() if isinstance(text, str) else text
    return raw + b"\0" * (40 - len(raw)) if len(raw) < 40 else raw[:40]


def bad_writes(count):
    """(what, DBR type, element count, payload) of every bad write for a variable of `count` elements."""
    w = []
    for v in (NAN, INF, -INF, 1e308, -1e308, 2.0 ** 53 + 1, -2.0 ** 63, 2.0 ** 64, 5e-324, -0.0):
        w.append(("double %r" % v, DBR_DOUBLE, 1, packed("d", [v])))
    for v in (2 ** 31 - 1, -2 ** 31):
        w.append(("long %d" % v, DBR_LONG, 1, packed("i", [v])))
    for v in (NAN, INF, -INF, 3.4e38):
        w.append(("float %r" % v, DBR_FLOAT, 1, packed("f", [v])))
    for v in (32767, -32768):
        w.append(("short %d" % v, DBR_SHORT, 1, packed("h", [v])))
    for v in (65535, 2):
        w.append(("enum index %d" % v, DBR_ENUM, 1, packed("H", [v])))
    w.append(("char 255", DBR_CHAR, 1, b"\xff"))
    for text in ("", "abc", "nan", "1e999", "-1e308", "0x7fffffffffffffff", " 1 2 ", b"x" * 40):
        w.append(("string %r" % (text[:12],), DBR_STRING, 1, string_payload(text)))
    w.append(("64 KiB string", DBR_CHAR, 65536, b"x" * 65536))
    w.append(("64 KiB digits", DBR_CHAR, 65536, b"1" * 65535 + b"\0"))
    # Wrong counts: none, one more than the variable has, a string array for a scalar.
    w.append(("count 0", DBR_DOUBLE, 0, b""))
    w.append(("count %d" % (count + 1), DBR_DOUBLE, count + 1, packed("d", [0.0] * (count + 1))))
    w.append(("three strings", DBR_STRING, 3, string_payload("1") * 3))
    if count > 1:
        w.append(("all NaN", DBR_DOUBLE, count, packed("d", [NAN] * count)))
        w.append(("all +Inf floats", DBR_FLOAT, count, packed("f", [INF] * count)))
        w.append(("all int32 minimum", DBR_LONG, count, packed("i", [-2 ** 31] * count)))
    # Wrong DBR types: a time and a control image, the class name, alarm acknowledgements, none at all.
    w.append(("DBR_TIME_DOUBLE", 20, 1, b"\0" * 16 + packed("d", [1.0])))
    w.append(("DBR_CTRL_DOUBLE", 34, 1, b"\0" * 80 + packed("d", [1.0])))
    w.append(("DBR_PUT_ACKT", 35, 1, packed("H", [1]) + b"\0" * 6))
    w.append(("DBR_PUT_ACKS", 36, 1, packed("H", [3]) + b"\0" * 6))
    w.append(("DBR_CLASS_NAME", 38, 1, string_payload("ai")))
    w.append(("type 99", 99, 1, packed("d", [1.0])))
    w.append(("type 0xFFFF", 0xFFFF, 1, packed("d", [1.0])))
    return w


# Writes the server itself must refuse (an error status, the value unchanged), by the variable's
# native DBR type; the others may be taken and left to the modules to judge.
NUMERIC = (DBR_SHORT, DBR_FLOAT, DBR_ENUM, DBR_LONG, DBR_DOUBLE)
MUST_REFUSE = [
    (lambda what, native, count: what == "count %d" % (count + 1), "more elements than the variable has"),
    (lambda what, native, count: what in ("type 99", "type 0xFFFF"), "no DBR type"),
    (lambda what, native, count: native in NUMERIC and what == "string 'abc'", "a text that is no number"),
    (lambda what, native, count: native == DBR_ENUM and what == "enum index 65535", "an index without a state"),
]


def must_refuse(what, native, count):
    return next((why for rule, why in MUST_REFUSE if rule(what, native, count)), None)


# Good values the modules accept, for the settings they guard (set before the matrix, expected after
# it and after a restart). Every other variable gets back the value it had.
GOOD = {
    "FeedforwardCompensation/frequency": 1000.0,
    "FeedforwardCompensation/delay": 0.5,
    "FeedforwardCompensation/nPeriods": 3.0,
    "VoltageSumLimiter/acVoltageSetpoint": 1.5,
    "VoltageSumLimiter/dcVoltageSetpoint": 2.0,
}


def good_value(path):
    for suffix, value in GOOD.items():
        if path.endswith("/" + suffix):
            return value
    return None


class Writer:
    """One circuit that writes with acknowledgement and reopens itself when the server closes it."""

    def __init__(self, r):
        self.rig = r
        self.client = None
        self.channels = {}
        self.ioid = 0
        self.reopened = 0

    def channel(self, name):
        if self.client is None:
            self.client = self.rig.client()
            self.channels = {}
        if name not in self.channels:
            created = self.client.create(rig.PREFIX + name, len(self.channels) + 1)
            if created is None:
                raise AssertionError("no channel " + name)
            self.channels[name] = created
        return self.channels[name]

    def write(self, name, dtype, count, payload):
        """The reply: ("status", eca) for a write answered, ("error", eca) for an error message."""
        sid, _, _, _ = self.channel(name)
        self.ioid += 1
        try:
            self.client.send(message(rawca.WRITE_NOTIFY, payload, dtype, count, sid, self.ioid))
            m = self.client.recv_until(lambda m: (m[0] == rawca.WRITE_NOTIFY and m[4] == self.ioid) or
                                       m[0] == rawca.ERROR)
        except rawca.Closed:
            self.client.close()
            self.client = None
            self.reopened += 1
            return ("closed", 0)
        return ("status", m[3]) if m[0] == rawca.WRITE_NOTIFY else ("error", m[4])

    def close(self):
        if self.client is not None:
            self.client.close()


def native_of(r, name):
    c = r.client()
    try:
        sid, dtype, count, rights = c.create(rig.PREFIX + name, 1)
        cmd, _, _, status, _, payload = c.read(sid, dtype, count, 1)
        return dtype, count, rights, payload
    finally:
        c.close()


class BadValues(unittest.TestCase):
    def test_every_writable_variable_survives_the_bad_value_matrix(self):
        with rig.Rig() as r:
            variables = r.variables()
            r.start_sim().start_server(args=["--persist", r.path("settings.persist")])
            writable = [v for v in variables if v[3] != "to_operator"]
            readonly = [v for v in variables if v[3] == "to_operator"]
            self.assertGreater(len(writable), 20)

            writer = Writer(r)
            settled = {}
            for path, _, _, _ in writable:
                value = good_value(path)
                if value is not None:
                    self.assertEqual(writer.write(rig.pv_name(path), DBR_DOUBLE, 1, packed("d", [value])),
                                     ("status", rig.ECA_NORMAL), path)
                    settled[path] = value
            for path, value in settled.items():
                self.assertTrue(rig.wait_until(lambda: r.read(rig.pv_name(path)) == value, 10), path)

            writes = 0
            for path, _, elements, _ in writable:
                name = rig.pv_name(path)
                dtype, count, rights, original = native_of(r, name)
                self.assertEqual(rights & 2, 2, path)
                for what, wtype, wcount, payload in bad_writes(count):
                    reply = writer.write(name, wtype, wcount, payload)
                    writes += 1
                    self.assertNotEqual(reply[0], "closed", "%s: %s closed the circuit" % (path, what))
                    why = must_refuse(what, dtype, count)
                    if why is not None:
                        self.assertNotEqual(reply, ("status", rig.ECA_NORMAL), "%s took %s: %s" % (path, what, why))
                self.assertTrue(r.server.alive(), "%s: the server died:\n%s" % (path, r.server.stderr_text()))
                r.fresh_client_served()
                # The variable still takes a good value: its setting, or what it held before.
                good = settled.get(path)
                if good is not None:
                    reply = writer.write(name, DBR_DOUBLE, 1, packed("d", [good]))
                else:
                    reply = writer.write(name, dtype, count, original)
                self.assertEqual(reply, ("status", rig.ECA_NORMAL), path)
            print("%d bad writes to %d writable variables; %d circuits reopened" %
                  (writes, len(writable), writer.reopened))
            self.assertEqual(writer.reopened, 0)

            # Every module-guarded setting holds its good value: refused writes were set back.
            for path, value in settled.items():
                self.assertTrue(rig.wait_until(lambda: r.read(rig.pv_name(path)) == value, 10),
                                "%s is %r, not %r" % (path, r.read(rig.pv_name(path)), value))

            # Read-only variables refuse writes, whatever they are.
            for path, _, _, _ in readonly:
                reply = writer.write(rig.pv_name(path), DBR_DOUBLE, 1, packed("d", [1.0]))
                self.assertIn(reply, (("status", 376), ("error", 376)), path)  # ECA_NOWTACCESS
            writer.close()

            # Nothing was lost on the way to the settings file either.
            self.assertEqual(r.server.stop(), 0, r.server.stderr_text())
            r.start_server(args=["--persist", r.path("settings.persist")])
            for path, value in settled.items():
                self.assertEqual(r.read(rig.pv_name(path)), value, path)
            r.fresh_client_served()


if __name__ == "__main__":
    unittest.main()
