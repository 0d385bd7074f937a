"""quellor_server on quellor_board_sim as an operator meets it over CA: nothing drives a piezo
around a channel's state machine, runs a channel on a board that is not there, or misses a hung
or rebooted board.

Each test has a private copy of deploy/ with a shared-memory object of its own and a free port;
every process it starts is stopped by its PID.
"""
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import rawca  # noqa: E402
from rawca import DBR_DOUBLE, ECA_NOWTACCESS, WRITE_NOTIFY, message  # noqa: E402

P = harness.PREFIX

# Client-side helpers, run in the client process before each test's own code.
WAIT = """
import time
def wait(name, condition, timeout=30):
    end = time.monotonic() + timeout
    value = None
    while time.monotonic() < end:
        value = epics.caget(P + name, timeout=3)
        if value is not None and condition(value):
            return value
        time.sleep(0.05)
    return value
def text(name):  # the whole text: NAME$ (the bare name gives its first 39 characters)
    return epics.caget(P + name + "$", as_string=True, timeout=3) or ""
def severity(name):
    pv = epics.PV(P + name, form="time")
    pv.wait_for_connection(timeout=5)
    pv.get(timeout=3)
    return pv.severity
"""


class Board(harness.QuellorOnSimulatedBoard):
    """The deployment with the channel count, trigger rate and heartbeat window a test needs."""

    prefix = P

    def __init__(self, channels=None, trigger_rate=10, heartbeat_timeout=None):
        super().__init__(os.environ["QUELLOR_BOARD_SIM"], os.environ["QUELLOR_SERVER"],
                         os.environ["QUELLOR_DEPLOY_DIR"],
                         server_args=["--prefix", P, "--trigger-rate", str(trigger_rate)])
        config = "quellorctrl_base_config.xml"
        if channels is not None:
            self.edit(config, r'(name="nChannels" type="int32">)\d+', r"\g<1>%d" % channels)
        if heartbeat_timeout is not None:
            self.edit(config, r'(name="heartbeatTimeoutTriggers" type="uint32">)\d+', r"\g<1>%d" % heartbeat_timeout)

    def client(self, code, timeout=120):
        return harness.run_client(self, WAIT + code, timeout)

    def server_said(self):
        return "\n".join(self.server_lines)

    def close(self):
        self.stop()
        shutil.rmtree(self.workdir, ignore_errors=True)


class Safety(unittest.TestCase):
    def board(self, **kwargs):
        b = Board(**kwargs)
        self.addCleanup(b.close)
        return b

    def test_without_the_simulator_there_is_no_board_and_no_channel_runs(self):
        b = self.board()
        b.start_server()
        seen = b.client("""
status = wait("Devices:PiezoDriver:status", lambda v: v == 1)
message = text("Devices:PiezoDriver:message")
epics.caput(P + "Channel0:StateMachine:requestedState", 1, wait=True, timeout=3)
time.sleep(1)
print(json.dumps([status, message, epics.caget(P + "Channel0:StateMachine:currentState", timeout=3)]))
""")
        self.assertEqual(seen[0], 1)
        self.assertIn("shared memory /%s does not exist (is the board simulator running?)" % b.shm, seen[1])
        self.assertEqual(seen[2], 0, "a channel went ENABLED with no board behind it")
        self.assertFalse(b.shm_exists(), "the server made the register file it was looking for")

        # The simulator brings the board; the server's retry finds it and initialises it.
        b.start_simulator()
        seen = b.client("""
print(json.dumps([wait("Devices:PiezoDriver:status", lambda v: v == 0),
                  wait("Board:driverBootStatus", lambda v: v != 0)]))
""")
        self.assertEqual(seen, [0, 1])

    def test_registers_of_channels_without_a_group_refuse_writes(self):
        b = self.board(channels=2)
        b.start()
        self.assertIn("channels without a channel group (nChannels is 2): Channel2, Channel3, Channel4, "
                      "Channel5, Channel6, Channel7", b.server_said())
        c = rawca.RawClient(b.port)
        c.hello()
        rights = {}
        for cid, name in enumerate(["Channel2:dcVoltage", "Channel7:loadRelayControl", "Channel2:controlTableMode",
                                    "Channel0:dcVoltage", "Sim:freeze"], 1):
            rights[name] = c.create(P + name, cid)[3]
        self.assertEqual(rights, {"Channel2:dcVoltage": 1, "Channel7:loadRelayControl": 1,
                                  "Channel2:controlTableMode": 1, "Channel0:dcVoltage": 1, "Sim:freeze": 3})
        sid = c.create(P + "Channel2:dcVoltage", 9)[0]
        c.send(message(WRITE_NOTIFY, rawca.struct.pack(">d", 5.0), DBR_DOUBLE, 1, sid, 7))
        reply = c.recv_until(lambda m: m[0] == WRITE_NOTIFY)
        self.assertEqual((reply[3], reply[4]), (ECA_NOWTACCESS, 7))
        self.assertEqual(rawca.struct.unpack(">d", c.read(sid, DBR_DOUBLE, 1, 8)[5][:8])[0], 0.0)
        c.close()

    def test_a_frozen_firmware_makes_the_board_invalid_until_it_runs_again(self):
        b = self.board()
        b.start()
        seen = b.client("""
ok = wait("Devices:PiezoDriver:status", lambda v: v == 0) == 0 and severity("Channel0:dacVoltage") == 0
epics.caput(P + "Sim:freeze", 1, wait=True, timeout=3)
hung = wait("Devices:PiezoDriver:status", lambda v: v == 1)
why = text("Devices:PiezoDriver:message")
invalid = severity("Channel0:dacVoltage")
epics.caput(P + "Sim:freeze", 0, wait=True, timeout=3)
back = wait("Devices:PiezoDriver:status", lambda v: v == 0)
print(json.dumps([ok, hung, why, invalid, back, severity("Channel0:dacVoltage")]))
""")
        self.assertTrue(seen[0])
        self.assertEqual(seen[1], 1)
        self.assertIn("heartbeat register /Board/firmwareHeartbeat of device 'PiezoDriver' has not changed for 5 "
                      "triggers", seen[2])
        self.assertEqual(seen[3], 3, "values of a hung board must be INVALID")
        self.assertEqual(seen[4], 0)
        self.assertEqual(seen[5], 0)

    def test_a_rebooted_board_gets_its_dc_voltage_back_in_steps(self):
        # 100 triggers a second, so that 200 steps of 0.5 V take two seconds; the heartbeat window
        # is widened to the same half second that the deployment's 5 triggers at 10 Hz give.
        b = self.board(channels=1, trigger_rate=100, heartbeat_timeout=50)
        b.start()
        seen = b.client("""
wait("Devices:PiezoDriver:status", lambda v: v == 0)
epics.caput(P + "Channel0:StateMachine:requestedState", 1, wait=True, timeout=3)
wait("Channel0:StateMachine:currentState", lambda v: v == 1)
epics.caput(P + "Channel0:VoltageSumLimiter:dcVoltageSetpoint", 100.0, wait=True, timeout=3)
before = int(wait("Channel0:dacVoltage", lambda v: v[0] == 100000)[0])
samples = []
monitor = epics.PV(P + "Channel0:dacVoltage", callback=lambda value=None, **_: samples.append(int(value[0])),
                   auto_monitor=True)
monitor.wait_for_connection(timeout=5)
epics.caput(P + "Sim:reboot", 1, wait=True, timeout=3)
wait("Sim:reboots", lambda v: v >= 1)
end = time.monotonic() + 60
while time.monotonic() < end and not (0 in samples and samples[-1] == 100000):
    time.sleep(0.05)
monitor.clear_callbacks()
state = int(epics.caget(P + "Channel0:StateMachine:currentState", timeout=3))
epics.caput(P + "Sim:reboot", 0, wait=True, timeout=3)
epics.caput(P + "Channel0:StateMachine:requestedState", 0, wait=True, timeout=3)
disabled = wait("Channel0:StateMachine:currentState", lambda v: v == 0, 60)
print(json.dumps([before, samples, state, disabled]))
""")
        before, samples, state, disabled = seen
        self.assertEqual(before, 100000)
        self.assertIn(0, samples, "the reboot did not show on the DAC")
        after = samples[len(samples) - 1 - samples[::-1].index(0):]
        self.assertEqual(after[-1], 100000, samples)
        climbing = [v for v in after if 0 < v < 100000]
        # In one write the DAC would go from 0 to 100 V with nothing in between.
        self.assertGreater(len(set(climbing)), 20, after)
        self.assertEqual(after, sorted(after), "the DC voltage went down on its way back")
        self.assertEqual(state, 1, "the channel left ENABLED")
        self.assertEqual(disabled, 0, "disabling after the climb did not end in DISABLED")


if __name__ == "__main__":
    unittest.main()
