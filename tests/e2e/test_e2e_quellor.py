"""quellor_server on quellor_board_sim, driven over CA as an operator would: nothing gets round the
state machine or the drive range, and a restart brings back settings, never requests."""
import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

board = None

# Polls a state with a generous limit (the machine may be loaded); prints the states seen.
WAIT_STATE = """
def wait_state(pv, wanted, limit=30.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if pv.get(use_monitor=False, timeout=10) == wanted:
            return True
        time.sleep(0.02)
    return False
"""


def on_simulated_board(*server_args):
    return harness.QuellorOnSimulatedBoard(os.environ["QUELLOR_SIM"], os.environ["QUELLOR_SERVER"],
                                           os.environ["QUELLOR_DEPLOY"], server_args=server_args)


def setUpModule():
    global board
    board = on_simulated_board("--trigger-rate", "50").start()


def tearDownModule():
    if board is not None:
        board.stop()


class StateMachine(unittest.TestCase):
    def test_bursts_of_dc_setpoints_then_disable_end_disabled(self):
        # Twenty tries with setpoints written without waiting, the last one a thousand of them;
        # the request to disable follows on the same circuit.
        r = harness.run_client(board, WAIT_STATE + """
state = epics.PV(P + 'Channel0:StateMachine:currentState', auto_monitor=False)
request = epics.PV(P + 'Channel0:StateMachine:requestedState', auto_monitor=False)
dc = epics.PV(P + 'Channel0:VoltageSumLimiter:dcVoltageSetpoint', auto_monitor=False)
assert all(p.wait_for_connection(30) for p in (state, request, dc))
tries = []
for n in [39] * 19 + [1000]:
    request.put(1, wait=True, timeout=30)
    enabled = wait_state(state, 1)
    for i in range(n):
        dc.put(0.001 * (i % 997 + 1), wait=False)
    request.put(0, wait=True, timeout=30)
    disabled = wait_state(state, 0)
    tries.append([n, enabled, disabled, state.get(use_monitor=False)])
    if not disabled:
        break
print(json.dumps(tries))
""", timeout=600)
        self.assertEqual(len(r), 20, r)
        for n, enabled, disabled, last in r:
            self.assertTrue(enabled and disabled, "after %d setpoints the state stayed %s" % (n, last))
        self.assertIsNone(board.server.poll(), "\n".join(board.server_lines))


class FeedforwardTable(unittest.TestCase):
    def test_an_operators_table_beyond_the_drive_range_never_reaches_the_board(self):
        r = harness.run_client(board, """
ff = P + 'Channel1:FeedforwardCompensation:'
def changed(name, old, limit=30.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        v = epics.caget(P + name, use_monitor=False, timeout=10)
        if v != old:
            return v
        time.sleep(0.02)
    return old
assert epics.caput(ff + 'disableFFComputation', 1, wait=True, timeout=30) == 1
swap = epics.caget(P + 'Channel1:swapControlTable', use_monitor=False, timeout=10)
assert epics.caput(ff + 'ffCompensation', [5.0] * 65536, wait=True, timeout=30) == 1
swap = changed('Channel1:swapControlTable', swap)
accepted = list(epics.caget(P + 'Channel1:controlTable', use_monitor=False, timeout=30)[:3])
assert epics.caput(ff + 'ffCompensation', [-1000.0] * 65536, wait=True, timeout=30) == 1
message = ''
end = time.monotonic() + 30
while not message and time.monotonic() < end:
    message = epics.caget(ff + 'inputRejectedMessage$', as_string=True, use_monitor=False, timeout=10)
    time.sleep(0.02)
print(json.dumps([accepted, message,
                  epics.caget(P + 'Channel1:inputRejectedMessage$', as_string=True, use_monitor=False, timeout=10),
                  list(epics.caget(P + 'Channel1:controlTable', use_monitor=False, timeout=30)[:3]),
                  epics.caget(P + 'Channel1:swapControlTable', use_monitor=False, timeout=10) == swap]))
""")
        accepted, message, collected, table, sameBuffer = r
        self.assertEqual(accepted, [5.0, 5.0, 5.0])
        refusal = ("Invalid  /Channel1/FeedforwardCompensation/ffCompensation, keeping the previous table "
                   "(abs(1000.000000) + abs(0.000000) > 120.000000).")
        self.assertEqual(message, refusal)
        self.assertTrue(collected.endswith(": " + refusal), collected)
        self.assertEqual(table, [5.0, 5.0, 5.0])
        self.assertTrue(sameBuffer)


class Restart(unittest.TestCase):
    def test_settings_come_back_requests_and_simulator_controls_do_not(self):
        own = on_simulated_board("--trigger-rate", "50", "--persist", "quellorctrl.persist")
        try:
            own.start()
            r = harness.run_client(own, WAIT_STATE + """
puts = [(P + 'Channel0:VoltageSumLimiter:dcVoltageSetpoint', 2.5),
        (P + 'Channel0:VoltageSumLimiter:acVoltageSetpoint', 1.0),
        (P + 'Channel0:FeedforwardCompensation:frequency', 500.0),
        (P + 'Channel0:StateMachine:requestedState', 1),
        (P + 'Channel0:StateMachine:resetError', 1),
        (P + 'Channel0:clearInputRejectedMessage', 1),
        (P + 'Sim:protectionLimit', 50.0)]
done = [epics.caput(name, value, wait=True, timeout=30) for name, value in puts]
state = epics.PV(P + 'Channel0:StateMachine:currentState', auto_monitor=False)
print(json.dumps([done, wait_state(state, 1)]))
""")
            self.assertEqual(r, [[1] * 7, True])
            self.assertEqual(own.stop_server(signal.SIGINT), 0)
            settings = os.path.join(own.workdir, "quellorctrl.persist")
            with open(settings) as f:
                saved = f.read()
            self.assertIn("/Channel0/VoltageSumLimiter/dcVoltageSetpoint\tdouble\t1\t2.5\n", saved)
            self.assertIn("/Channel0/FeedforwardCompensation/frequency\tdouble\t1\t500\n", saved)
            # (The file's text stays out of the failure messages: an unrequested table is 600 kB.)
            for never in ("requestedState", "resetError", "clearInputRejectedMessage", "/Sim/", "ffCompensation",
                          "/Channel7/dcVoltage\t"):
                self.assertFalse(never in saved, "%s is in the settings file" % never)
            self.assertLess(os.path.getsize(settings), 4096)

            own.start_server()
            r = harness.run_client(own, WAIT_STATE + """
names = ['Channel0:VoltageSumLimiter:dcVoltageSetpoint', 'Channel0:VoltageSumLimiter:acVoltageSetpoint',
         'Channel0:FeedforwardCompensation:frequency', 'Channel0:StateMachine:requestedState',
         'Sim:protectionLimit']
state = epics.PV(P + 'Channel0:StateMachine:currentState', auto_monitor=False)
print(json.dumps([[epics.caget(P + n, use_monitor=False, timeout=30) for n in names], wait_state(state, 0),
                  epics.caget(P + 'Server:settingsMessage$', as_string=True, timeout=30)]))
""")
            self.assertEqual(r, [[2.5, 1.0, 500.0, 0, 0.0], True, ""])
        finally:
            own.stop()


if __name__ == "__main__":
    unittest.main()
