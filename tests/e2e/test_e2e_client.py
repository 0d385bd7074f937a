"""The test control server seen through pyepics (Debian's python3-pyepics over the real libca)."""
import os
import queue
import signal
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

T = 30.0  # seconds; only a guard against hanging

server = None
epics = None


def setUpModule():
    global server, epics
    server = harness.Server(args=["--trigger-rate", "10"]).start()
    os.environ.update(server.env())
    import epics as e  # the CA context reads the environment when it is created
    epics = e


def tearDownModule():
    if epics is not None:
        epics.ca.finalize_libca()
    if server is not None:
        server.kill()


def name(path):
    return harness.PREFIX + path


class Updates:
    """Collects monitor callbacks of one PV into a queue."""

    def __init__(self, pvname, **kw):
        self.q = queue.Queue()
        kw.setdefault("auto_monitor", True)
        self.pv = epics.PV(pvname, callback=self._cb, **kw)
        if not self.pv.wait_for_connection(T):
            raise AssertionError("%s did not connect" % pvname)

    def _cb(self, value=None, **kw):
        self.q.put((value, kw))

    def next(self):
        return self.q.get(timeout=T)

    def until(self, pred):
        while True:
            value, kw = self.next()
            if pred(value):
                return value, kw

    def close(self):
        self.pv.clear_auto_monitor()
        self.pv.disconnect()


class ReadWrite(unittest.TestCase):
    def test_scalars_of_each_type_round_trip(self):
        cases = [("Types:int32Setting", -123456, -123456),
                 ("Types:uint32Setting", 4000000000, 4000000000),
                 ("Types:int64Setting", 2 ** 52 + 1, 2 ** 52 + 1),
                 ("Types:doubleSetting", 2.25, 2.25),
                 ("Types:floatSetting", 1.5, 1.5)]
        for path, written, expected in cases:
            with self.subTest(path=path):
                self.assertEqual(epics.caput(name(path), written, wait=True, timeout=T), 1)
                self.assertEqual(epics.caget(name(path), timeout=T, use_monitor=False), expected)
        # The module's output follows the operator's double.
        d = Updates(name("Types:doubled"))
        d.until(lambda v: v == 4.5)
        d.close()

    def test_native_types_and_counts(self):
        expected = {"Types:int32Setting": ("long", 1), "Types:uint32Setting": ("double", 1),
                    "Types:floatSetting": ("float", 1), "Types:doubleSetting": ("double", 1),
                    "Types:flag": ("enum", 1), "Types:text": ("string", 1), "Types:text$": ("char", 16384),
                    "Types:controlTable": ("double", 65536), "Types:dacVoltage": ("long", 16),
                    "Types:event": ("long", 1), "Server:triggerNumber": ("double", 1)}
        for path, (ftype, count) in expected.items():
            with self.subTest(path=path):
                pv = epics.PV(name(path), auto_monitor=False)
                self.assertTrue(pv.wait_for_connection(T))
                self.assertEqual(epics.dbr.Name(pv.ftype).lower().replace("time_", ""), ftype)
                self.assertEqual(pv.nelm, count)
                pv.disconnect()

    def test_boolean_is_an_enum_false_true(self):
        pv = epics.PV(name("Types:flag"), auto_monitor=False)
        self.assertTrue(pv.wait_for_connection(T))
        ctrl = pv.get_ctrlvars(timeout=T)
        self.assertEqual(list(ctrl["enum_strs"])[:2], ["false", "true"])
        self.assertEqual(pv.put("true", wait=True, timeout=T), 1)
        self.assertEqual(pv.get(use_monitor=False, timeout=T), 1)
        self.assertEqual(pv.get(as_string=True, use_monitor=False, timeout=T), "true")
        self.assertEqual(pv.put(0, wait=True, timeout=T), 1)
        self.assertEqual(pv.get(use_monitor=False, timeout=T), 0)
        pv.disconnect()

    def test_long_string(self):
        # The whole text through "NAME$", a char array; the bare name is a DBR_STRING of 39.
        text = "a text well beyond the forty characters of a CA string: " + "x" * 200
        self.assertEqual(epics.caput(name("Types:text$"), text, wait=True, timeout=T), 1)
        self.assertEqual(epics.caget(name("Types:text$"), as_string=True, timeout=T, use_monitor=False), text)
        msg = Updates(name("Types:message$"))
        value, _ = msg.until(lambda v: bytes(v).rstrip(b"\0").decode() == "Received: " + text)
        msg.close()
        self.assertEqual(epics.caget(name("Types:text"), timeout=T, use_monitor=False), text[:39])
        # (pyepics strips the blank that happens to be the 39th character)
        self.assertEqual(epics.caget(name("Types:message"), timeout=T, use_monitor=False),
                         ("Received: " + text)[:39].rstrip())
        # A short text written by the bare name arrives whole.
        self.assertEqual(epics.caput(name("Types:text"), "short text", wait=True, timeout=T), 1)
        self.assertEqual(epics.caget(name("Types:text$"), as_string=True, timeout=T, use_monitor=False), "short text")

    def test_arrays(self):
        table = [float(i) * 0.5 for i in range(65536)]
        pv = epics.PV(name("Types:controlTable"), auto_monitor=False)
        self.assertTrue(pv.wait_for_connection(T))
        self.assertEqual(pv.put(table, wait=True, timeout=T), 1)
        got = pv.get(use_monitor=False, timeout=T)
        self.assertEqual(len(got), 65536)
        self.assertEqual(list(got[:3]), [0.0, 0.5, 1.0])
        self.assertEqual(got[65535], 65535 * 0.5)
        pv.disconnect()
        s = Updates(name("Types:tableSum"))
        s.until(lambda v: v == sum(table))
        s.close()
        self.assertEqual(epics.caput(name("Types:int32Setting"), 3, wait=True, timeout=T), 1)
        dac = Updates(name("Types:dacVoltage"))
        value, _ = dac.until(lambda v: len(v) == 16 and v[15] == 45)
        self.assertEqual(list(value[:4]), [0, 3, 6, 9])
        dac.close()

    def test_metadata_fields(self):
        pv = epics.PV(name("Types:doubleSetting"), auto_monitor=False)
        self.assertTrue(pv.wait_for_connection(T))
        ctrl = pv.get_ctrlvars(timeout=T)
        self.assertEqual(ctrl["units"], "V")
        pv.disconnect()
        self.assertEqual(epics.caget(name("Types:doubleSetting.DESC"), timeout=T), "A double setting")
        self.assertEqual(epics.caget(name("Types:doubleSetting.EGU"), timeout=T), "V")
        self.assertEqual(epics.caget(name("Types:floatSetting.EGU"), timeout=T), "mm")
        self.assertEqual(epics.caget(name("Types:doubleSetting.VAL"), timeout=T, use_monitor=False),
                         epics.caget(name("Types:doubleSetting"), timeout=T, use_monitor=False))
        # Unknown fields are not served.
        self.assertIsNone(epics.caget(name("Types:doubleSetting.HIHI"), timeout=2.0))

    def test_timestamps_and_invalid_severity(self):
        self.assertEqual(epics.caput(name("Types:flag"), 1, wait=True, timeout=T), 1)
        h = Updates(name("Types:health"), form="time")
        value, kw = h.until(lambda v: v == 1.0)
        self.assertEqual(kw["severity"], 3)  # INVALID
        self.assertGreater(kw["timestamp"], 1.7e9)
        self.assertEqual(epics.caput(name("Types:flag"), 0, wait=True, timeout=T), 1)
        value, kw = h.until(lambda v: v == 0.0)
        self.assertEqual(kw["severity"], 0)
        h.close()

    def test_alarm_only_subscription_sees_severity_changes_only(self):
        self.assertEqual(epics.caput(name("Types:flag"), 0, wait=True, timeout=T), 1)
        settle = Updates(name("Types:health"), form="time")
        while True:  # start from a healthy value, whatever earlier tests left
            v, kw = settle.next()
            if v == 0.0 and kw["severity"] == 0:
                break
        settle.close()
        alarms = Updates(name("Types:health"), form="time", auto_monitor=epics.dbr.DBE_ALARM)
        values = Updates(name("Types:health"), form="time", auto_monitor=epics.dbr.DBE_VALUE)
        alarms.next()  # the first update comes whatever the mask
        values.next()
        for v in (1, 1, 0):  # the second write repeats the value and the severity
            self.assertEqual(epics.caput(name("Types:flag"), v, wait=True, timeout=T), 1)
        # Value events only where the value changed: the repeated 1.0 is none.
        seen_values = [values.next()[0]]
        while seen_values[-1] != 0.0:
            seen_values.append(values.next()[0])
        self.assertEqual(seen_values, [1.0, 0.0])
        seen = [alarms.next()]
        while not (seen[-1][0] == 0.0 and seen[-1][1]["severity"] == 0):
            seen.append(alarms.next())
        self.assertEqual([(v, kw["severity"]) for v, kw in seen], [(1.0, 3), (0.0, 0)])
        alarms.close()
        values.close()

    def test_read_only_refuses_writes(self):
        pv = epics.PV(name("StateMachine:currentState"), auto_monitor=False)
        self.assertTrue(pv.wait_for_connection(T))
        self.assertTrue(pv.read_access)
        self.assertFalse(pv.write_access)
        before = pv.get(use_monitor=False, timeout=T)
        # libca refuses locally on the announced rights; the server refuses a raw write too
        # (see the robustness tests).
        try:
            pv.put(before + 5, wait=True, timeout=5)
        except Exception:
            pass
        self.assertEqual(pv.get(use_monitor=False, timeout=T), before)
        pv.disconnect()
        self.assertFalse(epics.PV(name("Types:doubleSetting.DESC")).wait_for_connection(T) and
                         epics.PV(name("Types:doubleSetting.DESC")).write_access)

    def test_void_write_is_one_event(self):
        c = Updates(name("Types:eventCount"))
        start, _ = c.next()
        for _ in range(3):
            self.assertEqual(epics.caput(name("Types:event"), 7, wait=True, timeout=T), 1)
        c.until(lambda v: v == start + 3)
        c.close()


class Behaviour(unittest.TestCase):
    def test_requested_state_moves_current_state(self):
        seen = queue.Queue()
        epics.camonitor(name("StateMachine:currentState"), callback=lambda value=None, **kw: seen.put(value))
        self.assertEqual(epics.caput(name("StateMachine:requestedState"), 1, wait=True, timeout=T), 1)
        while seen.get(timeout=T) != 1:
            pass
        epics.camonitor_clear(name("StateMachine:currentState"))
        cur = Updates(name("StateMachine:currentState"))
        # A refused request is written back and leaves the state.
        req = Updates(name("StateMachine:requestedState"))
        self.assertEqual(epics.caput(name("StateMachine:requestedState"), 99, wait=True, timeout=T), 1)
        req.until(lambda v: v == 99)
        req.until(lambda v: v == 1)
        self.assertEqual(epics.caget(name("StateMachine:currentState"), use_monitor=False, timeout=T), 1)
        req.close()
        cur.close()

    def test_monitor_sees_every_ramp_step(self):
        v = Updates(name("DcVoltageStepLimiter:dcVoltage"))
        start, _ = v.next()
        target = start + 5.0
        self.assertEqual(epics.caput(name("DcVoltageStepLimiter:dcVoltageSetpoint"), target, wait=True,
                                     timeout=T), 1)
        seen = []
        while not seen or seen[-1] != target:
            value, _ = v.next()
            seen.append(value)
        self.assertEqual(seen, [start + 0.5 * (i + 1) for i in range(10)])
        v.close()

    def test_trigger_counts_up(self):
        t = Updates(name("Server:triggerNumber"))
        a, _ = t.next()
        b, _ = t.next()
        c, _ = t.next()
        self.assertEqual([b - a, c - b], [1, 1])
        t.close()


class Conventions(unittest.TestCase):
    def test_metadata_file_in_the_runtime_directory(self):
        workdir = harness.tempfile.mkdtemp(prefix="telvik-meta-")
        with open(os.path.join(workdir, "telviktest.meta"), "w") as f:
            f.write("[/Types/doubleSetting]\nprecision = 2\ndeadband = 0.5\n"
                    "[/Types/int32Setting]\nstates = ZERO, ONE, TWO\n")
        s = harness.Server(workdir=workdir, args=["--trigger-rate", "0", "--persist", "none"]).start()
        try:
            self.assertIn("record conventions from telviktest.meta", "\n".join(s.stderr_lines))
            r = harness.run_client(s, """
import queue
q = queue.Queue()
pv = epics.PV(P + 'Types:doubleSetting', callback=lambda value=None, **kw: q.put(value))
pv.wait_for_connection(30)
first = q.get(timeout=30)
for v in (0.3, 0.45, 0.6, 1.0, 1.2):
    epics.caput(P + 'Types:doubleSetting', v, wait=True, timeout=30)
seen = [q.get(timeout=30)]
while seen[-1] != 1.2:
    seen.append(q.get(timeout=30))
ctrl = pv.get_ctrlvars(timeout=30)
states = epics.PV(P + 'Types:int32Setting', auto_monitor=False)
states.wait_for_connection(30)
print(json.dumps([first, seen, ctrl['precision'], list(states.get_ctrlvars(timeout=30)['enum_strs']),
                  epics.caput(P + 'Types:int32Setting', 'TWO', wait=True, timeout=30),
                  epics.caget(P + 'Types:int32Setting', as_string=True, use_monitor=False, timeout=30)]))
""")
            # Each value event is at least the deadband away from the last one posted.
            self.assertEqual(r, [0.0, [0.6, 1.2], 2, ["ZERO", "ONE", "TWO"], 1, "TWO"])
        finally:
            s.kill()
        with open(os.path.join(workdir, "telviktest.meta"), "w") as f:
            f.write("[/Types/doubleSetting]\nstates = A, B\n")
        s = harness.Server(workdir=workdir, args=["--persist", "none"])
        with self.assertRaises(RuntimeError):
            s.start()
        self.assertIn("telviktest.meta:2: states of /Types/doubleSetting", s.stderr_text())
        s.kill()


def request_file(workdir, *patterns):
    with open(os.path.join(workdir, "quellorctrl.req"), "w") as f:
        f.write("# settings kept across restarts\n" + "".join(p + "\n" for p in patterns))


class Persistence(unittest.TestCase):
    def test_restart_restores_operator_setting(self):
        workdir = harness.tempfile.mkdtemp(prefix="telvik-persist-")
        request_file(workdir, "/Types/*")
        s1 = harness.Server(workdir=workdir, args=["--trigger-rate", "0"]).start()
        try:
            r = harness.run_client(s1, "print(json.dumps([epics.caput(P+'Types:doubleSetting', 17.125, wait=True, timeout=30),"
                                       " epics.caput(P+'Types:text', 'kept across restarts', wait=True, timeout=30)]))")
            self.assertEqual(r, [1, 1])
            self.assertEqual(s1.stop(signal.SIGINT), 0)
            port = s1.port
        finally:
            s1.kill()
        with open(os.path.join(workdir, "quellorctrl.persist")) as f:
            saved = f.read()
        self.assertIn("/Types/doubleSetting\tdouble\t1\t17.125", saved)
        s2 = harness.Server(workdir=workdir, port=port, args=["--trigger-rate", "0"]).start()
        try:
            # Connections apart from reads, so that a failure says which of the two it was.
            r = harness.run_client(s2, "pvs = [epics.PV(P + n, auto_monitor=False) for n in"
                                       " ('Types:doubleSetting', 'Types:text', 'Types:doubled')]\n"
                                       "connected = [p.wait_for_connection(60) for p in pvs]\n"
                                       "print(json.dumps([connected, pvs[0].get(timeout=30),"
                                       " pvs[1].get(as_string=True, timeout=30), pvs[2].get(timeout=30)]))")
            self.assertEqual(r[0], [True, True, True], "\n".join(s2.stderr_lines))
            # The restored value is the initial value: the module saw it before anything else.
            self.assertEqual(r[1:], [17.125, "kept across restarts", 34.25])
            self.assertEqual(s2.stop(), 0)
        finally:
            s2.kill()

    def test_settings_are_saved_while_running(self):
        # Saved shortly after the write, so that even a killed server keeps the setting.
        workdir = harness.tempfile.mkdtemp(prefix="telvik-debounce-")
        persist = os.path.join(workdir, "quellorctrl.persist")
        request_file(workdir, "Types/int32Setting")
        s1 = harness.Server(workdir=workdir, args=["--trigger-rate", "0"]).start()
        try:
            r = harness.run_client(s1, "print(json.dumps(epics.caput(P+'Types:int32Setting', 4242, wait=True, timeout=30)))")
            self.assertEqual(r, 1)

            def saved():
                try:
                    with open(persist) as f:
                        return "/Types/int32Setting\tint32\t1\t4242\n" in f.read()
                except OSError:
                    return False
            self.assertTrue(harness.wait_until(saved, timeout=T))
            self.assertFalse(os.path.exists(persist + ".tmp"))
        finally:
            s1.kill()
        s2 = harness.Server(workdir=workdir, args=["--trigger-rate", "0"]).start()
        try:
            r = harness.run_client(s2, "print(json.dumps(epics.caget(P+'Types:int32Setting', timeout=30)))")
            self.assertEqual(r, 4242)
        finally:
            s2.kill()

    def test_corrupt_entry_is_reported_and_the_rest_kept(self):
        workdir = harness.tempfile.mkdtemp(prefix="telvik-corrupt-")
        request_file(workdir, "/Types/*")
        with open(os.path.join(workdir, "quellorctrl.persist"), "w") as f:
            f.write("# quellor settings v1\n/Types/doubleSetting\tdouble\t1\tnot-a-number\n"
                    "/Types/int32Setting\tint32\t1\t77\n")
        s = harness.Server(workdir=workdir, args=["--trigger-rate", "0"]).start()
        try:
            r = harness.run_client(s, "print(json.dumps([epics.caget(P+'Types:doubleSetting', timeout=30),"
                                      " epics.caget(P+'Types:int32Setting', timeout=30)]))")
            self.assertEqual(r, [0.0, 77])
            copies = [n for n in os.listdir(workdir) if n.startswith("quellorctrl.persist.corrupt-")]
            self.assertEqual(len(copies), 1, os.listdir(workdir))
            self.assertIn("quellorctrl.persist:2: the value of '/Types/doubleSetting' does not convert",
                          "\n".join(s.stderr_lines))
            self.assertEqual(s.stop(), 0)
        finally:
            s.kill()

    def test_commands_are_never_kept_and_without_request_nothing_is(self):
        workdir = harness.tempfile.mkdtemp(prefix="telvik-commands-")
        request_file(workdir, "/**")
        s1 = harness.Server(workdir=workdir, args=["--trigger-rate", "0"]).start()
        try:
            r = harness.run_client(s1, "print(json.dumps([epics.caput(P+'StateMachine:requestedState', 1, wait=True, timeout=30),"
                                       " epics.caput(P+'Types:floatSetting', 2.5, wait=True, timeout=30)]))")
            self.assertEqual(r, [1, 1])
            self.assertEqual(s1.stop(signal.SIGINT), 0)
        finally:
            s1.kill()
        with open(os.path.join(workdir, "quellorctrl.persist")) as f:
            saved = f.read()
        self.assertIn("/Types/floatSetting\tfloat\t1\t2.5\n", saved)
        self.assertNotIn("requestedState", saved)
        self.assertNotIn("/Server/", saved)
        self.assertNotIn("/Types/event", saved)

        # The request file gone: the settings file stays as it is, nothing is restored, and the
        # reason is said once and published.
        os.remove(os.path.join(workdir, "quellorctrl.req"))
        s2 = harness.Server(workdir=workdir, args=["--trigger-rate", "0"]).start()
        try:
            r = harness.run_client(s2, "print(json.dumps([epics.caget(P+'Types:floatSetting', timeout=30),"
                                       " epics.caput(P+'Types:floatSetting', 4.0, wait=True, timeout=30),"
                                       " epics.caget(P+'Server:settingsMessage$', as_string=True, timeout=30)]))")
            self.assertEqual(r[:2], [0.0, 1])
            self.assertIn("no request file 'quellorctrl.req'", r[2])
            self.assertEqual(s2.stop(signal.SIGINT), 0)
            told = [line for line in s2.stderr_lines if "no request file" in line]
            self.assertEqual(len(told), 1, s2.stderr_lines)
        finally:
            s2.kill()
        with open(os.path.join(workdir, "quellorctrl.persist")) as f:
            self.assertEqual(f.read(), saved)

    def test_an_unwritable_settings_file_is_told_once_and_published(self):
        workdir = harness.tempfile.mkdtemp(prefix="telvik-unwritable-")
        request_file(workdir, "/Types/*")
        s = harness.Server(workdir=workdir, args=["--trigger-rate", "0", "--persist", "gone/quellorctrl.persist"]).start()
        try:
            r = harness.run_client(s, "print(json.dumps([epics.caput(P+'Types:int32Setting', i, wait=True, timeout=30)"
                                      " for i in range(3)] + [epics.caget(P+'Server:settingsMessage$', as_string=True,"
                                      " timeout=30)]))")
            self.assertEqual(r[:3], [1, 1, 1])
            self.assertIn("cannot write 'gone/quellorctrl.persist.tmp'", r[3])
            # The save at the stop fails as well, without a word more.
            self.assertEqual(s.stop(), 0)
            told = [line for line in s.stderr_lines if "cannot write" in line]
            self.assertEqual(len(told), 1, s.stderr_lines)
        finally:
            s.kill()


if __name__ == "__main__":
    unittest.main()
