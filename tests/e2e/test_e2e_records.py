"""quellor_server on the simulated board seen by real libca (pyepics, and libca's own calls through
ctypes where pyepics has no words for a request): the record conventions of deploy/quellorctrl.meta
as a control room's tools expect them."""
import ctypes
import os
import queue
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import rawca  # noqa: E402

T = 30.0  # seconds; only a guard against hanging
P = "QUELLOR:"
DBR_STRING, DBR_ENUM, DBR_CTRL_DOUBLE, DBR_CLASS_NAME = 0, 3, 34, 38
ECA_NOCONVERT, ECA_BADTYPE = 400, 114
NO_ALARM, MINOR, MAJOR, INVALID = 0, 1, 2, 3
STATE, COMM = 7, 9

board = None
epics = None


def setUpModule():
    global board, epics
    board = harness.QuellorOnSimulatedBoard(os.environ["QUELLOR_SIM"], os.environ["QUELLOR_SERVER"],
                                            os.environ["QUELLOR_DEPLOY"]).start()
    os.environ.update(board.env())
    import epics as e  # the CA context reads the environment when it is created
    epics = e
    # The server answers before the board is open; its registers flow once it is initialised.
    if not harness.wait_until(lambda: (epics.caget(P + "Sim:ticks", timeout=3) or 0) > 0, T):
        raise AssertionError("no register values from the board")


def tearDownModule():
    if epics is not None:
        epics.ca.finalize_libca()
    if board is not None:
        board.stop()


class Updates:
    """Monitor callbacks of one PV, with their metadata, in a queue."""

    def __init__(self, name, mask=None, form="time"):
        self.q = queue.Queue()
        self.pv = epics.PV(P + name, form=form, auto_monitor=mask if mask is not None else True,
                           callback=lambda value=None, **kw: self.q.put((value, kw)))
        if not self.pv.wait_for_connection(T):
            raise AssertionError(name + " did not connect")

    def next(self):
        return self.q.get(timeout=T)

    def until(self, pred):
        while True:
            value, kw = self.next()
            if pred(value, kw):
                return value, kw

    def drain(self):
        out = []
        while not self.q.empty():
            out.append(self.q.get_nowait())
        return out

    def close(self):
        self.pv.clear_auto_monitor()
        self.pv.disconnect()


def put(name, value):
    if epics.caput(P + name, value, wait=True, timeout=T) != 1:
        raise AssertionError("caput %s %r failed" % (name, value))


def state():
    return epics.caget(P + "Channel0:StateMachine:currentState", as_string=True, use_monitor=False, timeout=T)


def to_disabled():
    """Back to DISABLED from wherever an earlier test left the channel."""
    if state() == "ERROR":
        put("Channel0:StateMachine:resetError", "RESET")
    if state() == "ENABLED":
        put("Channel0:StateMachine:requestedState", "DISABLED")
    if not harness.wait_until(lambda: state() == "DISABLED", T):
        raise AssertionError("channel stays " + state())


def raw_write(name, dtype, payload, count=1):
    """WRITE_NOTIFY with a raw payload; the status the server answers."""
    c = rawca.RawClient(board.port)
    c.hello()
    sid, _, _, _ = c.create(P + name, 1)
    c.send(rawca.message(rawca.WRITE_NOTIFY, payload, dtype, count, sid, 5))
    status = c.recv_until(lambda m: m[0] == rawca.WRITE_NOTIFY)[3]
    c.close()
    return status


class StatesAndCommands(unittest.TestCase):
    def test_states_are_enums_written_by_name_or_index(self):
        to_disabled()
        cur = epics.PV(P + "Channel0:StateMachine:currentState", auto_monitor=False)
        self.assertTrue(cur.wait_for_connection(T))
        self.assertEqual(epics.dbr.Name(cur.ftype).replace("TIME_", ""), "ENUM")
        self.assertEqual(list(cur.get_ctrlvars(timeout=T)["enum_strs"]),
                         ["DISABLED", "ENABLED", "ERROR", "DISABLING"])
        req = epics.PV(P + "Channel0:StateMachine:requestedState", auto_monitor=False)
        self.assertTrue(req.wait_for_connection(T))
        self.assertEqual(list(req.get_ctrlvars(timeout=T)["enum_strs"]), ["DISABLED", "ENABLED", "ERROR"])
        put("Channel0:StateMachine:requestedState", "ENABLED")  # by name
        self.assertTrue(harness.wait_until(lambda: state() == "ENABLED", T))
        self.assertEqual(cur.get(use_monitor=False, timeout=T), 1)
        put("Channel0:StateMachine:requestedState", 0)  # by index
        self.assertTrue(harness.wait_until(lambda: state() == "DISABLED", T))
        cur.disconnect()
        req.disconnect()

    def test_an_index_or_name_without_a_state_is_refused(self):
        to_disabled()
        name = "Channel0:StateMachine:requestedState"
        before = epics.caget(P + name, use_monitor=False, timeout=T)
        self.assertEqual(raw_write(name, rawca.DBR_LONG, struct.pack(">i", 3)), ECA_NOCONVERT)
        self.assertEqual(raw_write(name, DBR_ENUM, struct.pack(">H", 7)), ECA_NOCONVERT)
        self.assertEqual(raw_write(name, rawca.DBR_DOUBLE, struct.pack(">d", -1.0)), ECA_NOCONVERT)
        self.assertEqual(raw_write(name, DBR_STRING, b"ENABLE\0"), ECA_NOCONVERT)
        self.assertEqual(epics.caget(P + name, use_monitor=False, timeout=T), before)
        self.assertEqual(state(), "DISABLED")
        # Momentary commands have their two states; anything else no longer reaches the module.
        for command, states in (("Channel0:StateMachine:emergencyOff", ["IDLE", "OFF"]),
                                ("Channel0:StateMachine:resetError", ["IDLE", "RESET"]),
                                ("Channel0:clearInputRejectedMessage", ["IDLE", "CLEAR"])):
            with self.subTest(command=command):
                pv = epics.PV(P + command, auto_monitor=False)
                self.assertTrue(pv.wait_for_connection(T))
                self.assertEqual(list(pv.get_ctrlvars(timeout=T)["enum_strs"]), states)
                self.assertEqual(raw_write(command, rawca.DBR_LONG, struct.pack(">i", 2)), ECA_NOCONVERT)
                pv.disconnect()
        self.assertEqual(state(), "DISABLED")


class Alarms(unittest.TestCase):
    def test_severities_follow_the_channel_state(self):
        to_disabled()
        alarms = Updates("Channel0:StateMachine:currentState", mask=epics.dbr.DBE_ALARM)
        message = Updates("Channel0:StateMachine:errorMessage")
        alarms.next()
        message.until(lambda v, kw: v == "" and kw["severity"] == NO_ALARM)
        put("Channel0:StateMachine:requestedState", "ENABLED")
        self.assertTrue(harness.wait_until(lambda: state() == "ENABLED", T))
        put("Channel0:StateMachine:emergencyOff", "OFF")
        _, kw = message.until(lambda v, kw: v == "EmergencyOff was pressed.")
        self.assertEqual((kw["severity"], kw["status"]), (MAJOR, STATE))
        put("Channel0:StateMachine:emergencyOff", "IDLE")
        put("Channel0:StateMachine:resetError", "RESET")
        self.assertTrue(harness.wait_until(lambda: state() == "DISABLED", T))
        _, kw = message.until(lambda v, kw: v == "")
        self.assertEqual(kw["severity"], NO_ALARM)
        # An alarm-only subscriber sees each change of severity, and nothing else: ENABLED raised
        # none, so its first event is ERROR.
        seen = []
        while not seen or seen[-1][1] != NO_ALARM:
            value, kw = alarms.next()
            seen.append((value, kw["severity"], kw["status"]))
        self.assertEqual(seen, [(2, MAJOR, STATE), (3, MINOR, STATE), (0, NO_ALARM, NO_ALARM)])
        alarms.close()
        message.close()

    def test_rejected_input_flag_is_minor(self):
        flag = Updates("Channel0:inputRejectedFlag")
        put("Channel0:VoltageSumLimiter:dcVoltageSetpoint", 500.0)
        _, kw = flag.until(lambda v, kw: v == 1)
        self.assertEqual((kw["severity"], kw["status"]), (MINOR, STATE))
        put("Channel0:clearInputRejectedMessage", "CLEAR")
        _, kw = flag.until(lambda v, kw: v == 0)
        self.assertEqual(kw["severity"], NO_ALARM)
        flag.close()

    def test_faulty_device_is_a_major_comm_alarm(self):
        status = Updates("Devices:PiezoDriver:status")
        value, kw = status.next()
        self.assertEqual((value, kw["severity"]), (0, NO_ALARM))
        self.assertEqual(list(status.pv.get_ctrlvars(timeout=T)["enum_strs"]), ["OK", "FAULTY"])
        put("Sim:reboot", 0)
        put("Sim:reboot", 1)  # the reboot watchdog reports the fault, the board is re-initialised
        _, kw = status.until(lambda v, kw: v == 1)
        self.assertEqual((kw["severity"], kw["status"]), (MAJOR, COMM))
        _, kw = status.until(lambda v, kw: v == 0)
        self.assertEqual(kw["severity"], NO_ALARM)
        put("Sim:reboot", 0)
        status.close()


class LimitsAndFields(unittest.TestCase):
    def test_ctrl_metadata_carries_drive_range_and_precision(self):
        for name in ("Channel0:VoltageSumLimiter:dcVoltageSetpoint", "Channel0:VoltageSumLimiter:acVoltageSetpoint",
                     "Channel0:dcVoltage"):
            with self.subTest(name=name):
                pv = epics.PV(P + name, auto_monitor=False)
                self.assertTrue(pv.wait_for_connection(T))
                ctrl = pv.get_ctrlvars(timeout=T)
                self.assertEqual((ctrl["lower_disp_limit"], ctrl["upper_disp_limit"]), (-120.0, 120.0))
                self.assertEqual((ctrl["lower_ctrl_limit"], ctrl["upper_ctrl_limit"]), (-120.0, 120.0))
                self.assertEqual((ctrl["precision"], ctrl["units"]), (3, "V"))
                pv.disconnect()
        # The same bytes as libca gets them, at the DBR_CTRL_DOUBLE offsets.
        c = rawca.RawClient(board.port)
        c.hello()
        sid, _, _, _ = c.create(P + "Channel0:VoltageSumLimiter:dcVoltageSetpoint", 1)
        payload = c.read(sid, DBR_CTRL_DOUBLE, 1, 3)[5]
        self.assertEqual(struct.unpack(">h", payload[4:6])[0], 3)
        self.assertEqual(struct.unpack(">8d", payload[16:80]), (120.0, -120.0, 0, 0, 0, 0, 120.0, -120.0))
        c.close()

    def test_record_fields(self):
        base = P + "Channel0:VoltageSumLimiter:dcVoltageSetpoint"
        expected = {"VAL": epics.caget(base, timeout=T, use_monitor=False), "DESC": "Volatge setpoint of the DC bias",
                    "EGU": "V", "SEVR": "NO_ALARM", "STAT": "NO_ALARM", "NAME": base[:39], "PREC": 3, "HOPR": 120.0,
                    "LOPR": -120.0, "DRVH": 120.0, "DRVL": -120.0, "RTYP": "ao"}
        for field, value in expected.items():
            with self.subTest(field=field):
                as_string = field in ("SEVR", "STAT")
                self.assertEqual(epics.caget(base + "." + field, as_string=as_string, timeout=T, use_monitor=False),
                                 value)
        self.assertEqual(epics.caget(base + ".NAME$", as_string=True, timeout=T), base)
        # Numbers have no states and states no limits, as in records.
        self.assertIsNone(epics.caget(P + "Channel0:StateMachine:currentState.HOPR", timeout=2.0))

    def test_class_names_tell_the_kind_of_record(self):
        libca = epics.ca.initialize_libca()
        expected = {"Channel0:StateMachine:currentState": b"mbbi", "Channel0:StateMachine:requestedState": b"mbbo",
                    "Channel0:inputRejectedFlag": b"bi", "Channel0:StateMachine:enableFeedback": b"bo",
                    "Channel0:VoltageSumLimiter:dcVoltageSetpoint": b"ao", "Channel0:dcVoltage": b"ai",
                    "Channel0:StateMachine:errorMessage": b"lsi", "Channel0:dacVoltage": b"waveform"}
        for name, record in expected.items():
            with self.subTest(name=name):
                chid = epics.ca.create_channel(P + name, connect=True, auto_cb=False)
                buf = ctypes.create_string_buffer(40)
                self.assertEqual(libca.ca_array_get(DBR_CLASS_NAME, 1, chid, buf), 1)
                self.assertEqual(libca.ca_pend_io(ctypes.c_double(T)), 1)
                self.assertEqual(buf.value, record)
                # Not cleared: pyepics keeps one channel per name for its other calls.

    def test_long_text_by_bare_name_and_in_full_with_dollar(self):
        put("Channel0:VoltageSumLimiter:dcVoltageSetpoint", 300.0)
        name = P + "Channel0:inputRejectedMessage"
        full = None
        end = time.monotonic() + T
        while time.monotonic() < end and not (full and "300.000000" in full):
            full = epics.caget(name + "$", as_string=True, timeout=T, use_monitor=False)
        self.assertIn("DC voltage setpoint 300.000000 rejected", full)
        self.assertGreater(len(full), 39)
        bare = epics.PV(name, auto_monitor=False)
        self.assertTrue(bare.wait_for_connection(T))
        self.assertEqual(epics.dbr.Name(bare.ftype).replace("TIME_", ""), "STRING")
        self.assertEqual(bare.get(use_monitor=False, timeout=T), full[:39])
        bare.disconnect()
        self.assertEqual(epics.caget(name + ".VAL$", as_string=True, timeout=T, use_monitor=False), full)
        self.assertEqual(epics.caget(name + ".DESC$", as_string=True, timeout=T), "Information that user input has been discarded.")
        put("Channel0:clearInputRejectedMessage", 1)

    def test_severity_field_is_monitored(self):
        to_disabled()
        sevr = Updates("Channel0:StateMachine:currentState.SEVR")
        self.assertEqual(sevr.next()[0], NO_ALARM)
        put("Channel0:StateMachine:emergencyOff", "OFF")
        sevr.until(lambda v, kw: v == MAJOR)
        put("Channel0:StateMachine:emergencyOff", "IDLE")
        put("Channel0:StateMachine:resetError", "RESET")
        sevr.until(lambda v, kw: v == NO_ALARM)
        sevr.close()


class Deadbands(unittest.TestCase):
    def test_unchanged_polled_register_posts_no_event_over_ten_triggers(self):
        triggers = Updates("Server:triggerNumber")
        # Polled on every trigger by the device thread, constant while the channel is DISABLED.
        values = Updates("Channel0:appliedTableMode", mask=epics.dbr.DBE_VALUE | epics.dbr.DBE_LOG)
        boot = Updates("Board:driverBootStatus")
        first, _ = values.next()
        boot.next()
        start, _ = triggers.next()
        triggers.until(lambda v, kw: v >= start + 10)
        self.assertEqual(values.drain(), [])
        self.assertEqual(boot.drain(), [])
        self.assertEqual(first, epics.caget(P + "Channel0:appliedTableMode", use_monitor=False, timeout=T))
        for u in (triggers, values, boot):
            u.close()

    def test_a_change_of_the_polled_register_is_posted(self):
        to_disabled()
        mode = Updates("Channel0:appliedTableMode")
        self.assertEqual(mode.next()[0], 0)
        put("Channel0:StateMachine:enableFeedforward", 1)
        put("Channel0:StateMachine:requestedState", "ENABLED")
        # The firmware applies the table mode a tick after the state machine requests it.
        mode.until(lambda v, kw: v == 1)
        put("Channel0:StateMachine:requestedState", "DISABLED")
        mode.until(lambda v, kw: v == 0)
        self.assertTrue(harness.wait_until(lambda: state() == "DISABLED", T))
        put("Channel0:StateMachine:enableFeedforward", 0)
        mode.close()


if __name__ == "__main__":
    unittest.main()
