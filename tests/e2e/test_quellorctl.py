#!/usr/bin/python3
"""quellorctl against quellor_server on the board simulator: what an operator types and sees.

    test_quellorctl.py QUELLORCTL SIM_PROGRAM SERVER_PROGRAM [unittest options]
"""
import importlib.machinery
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import harness  # noqa: E402
from harness import wait_until  # noqa: E402
from test_e2e_service import NotifySocket  # noqa: E402

QUELLORCTL = SIM = SERVER = None
DEPLOY = os.path.join(HERE, "..", "..", "deploy")
PREFIX = "QUELLOR:"


def board(**options):
    """The server on the simulated board; its temporary runtime directory goes with the test."""
    b = harness.QuellorOnSimulatedBoard(SIM, SERVER, DEPLOY, **options)
    b.prefix = PREFIX
    return b


def remove(b):
    b.stop()
    shutil.rmtree(b.workdir, ignore_errors=True)


def quellorctl(env, *args, timeout=60):
    """Runs the tool as an operator would; returns (exit status, standard output, standard error)."""
    out = subprocess.run(["/usr/bin/python3", QUELLORCTL] + [str(a) for a in args], env=env, capture_output=True,
                         text=True, timeout=timeout)
    return out.returncode, out.stdout, out.stderr


def status(env, *extra):
    code, out, err = quellorctl(env, "--json", "status", *extra)
    if code != 0:
        raise AssertionError("status failed (%d): %s %s" % (code, out, err))
    return json.loads(out)


def channel(env, n):
    return status(env)["channels"][n]


class Operating(unittest.TestCase):
    """One server, operated through a whole scenario: the order of the steps is the point."""

    @classmethod
    def setUpClass(cls):
        cls.rig = board().start()
        cls.env = cls.rig.env()
        # The server answers before the board's registers flow: wait for the init script's report.
        if not wait_until(lambda: "initialised" in status(cls.env)["board"]["initScriptOutput"], 30):
            raise RuntimeError("board not initialised:\n" + cls.rig.server_text())

    @classmethod
    def tearDownClass(cls):
        remove(cls.rig)

    def ok(self, *args):
        code, out, err = quellorctl(self.env, *args)
        self.assertEqual(code, 0, "quellorctl %s: %s %s" % (" ".join(map(str, args)), out, err))
        # libca's complaint about the missing caRepeater is kept off the operator's terminal.
        self.assertNotIn("caRepeater", err)
        return out

    def refused(self, expected, *args):
        code, out, err = quellorctl(self.env, *args)
        self.assertEqual(code, 1, "quellorctl %s should be refused: %s %s" % (" ".join(map(str, args)), out, err))
        self.assertIn(expected, err)
        return err

    def test_status_then_a_channel_through_enable_ramp_refusals_error_and_reset(self):
        text = self.ok("status")
        self.assertRegex(text, r"(?m)^0\s+DISABLED\s+0\.000 V\s+0\.000 V\s+off\s+-$")
        self.assertRegex(text, r"(?m)^1\s+DISABLED")
        self.assertIn("board:  device ok", text)
        self.assertIn("init script: initHardware.py: set Board/driverBootStatus = 1: board initialised", text)
        self.assertRegex(text, r"server: .*triggerNumber \d+")

        self.assertIn("channel 0: DISABLED -> ENABLED", self.ok("enable", 0))
        self.assertIn("already ENABLED", self.ok("enable", 0))
        self.assertIn("Channel0:VoltageSumLimiter:dcVoltageSetpoint = 2", self.ok("set", 0, "dc", 2))
        self.assertTrue(wait_until(lambda: channel(self.env, 0)["dcVoltage"] == 2, 30))

        # A setpoint beyond the drive range: refused with the sum limiter's words, setpoint kept.
        err = self.refused("DC voltage setpoint 150.000000 rejected. Set back to 2.000000", "set", 0, "dc", 150)
        self.assertRegex(err, r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d: DC voltage")
        row = channel(self.env, 0)
        self.assertEqual(row["dcSetpoint"], 2)
        self.assertIn("DC voltage setpoint 150.000000 rejected", row["inputRejected"])
        self.assertIsInstance(row["inputRejectedTime"], float)
        self.assertIn("last rejected: ", self.ok("status"))

        self.refused("Invalid  /Channel0/FeedforwardCompensation/frequency, resetting to previous 250.000000",
                     "ff", 0, "frequency", 0.5)
        self.ok("ff", 0, "frequency", 1000)
        self.ok("ff", 0, "periods", 3)
        self.ok("ff", 0, "amplitude", 1.5)
        self.ok("ff", 0, "on")
        detail = status(self.env, 0)["channels"][0]
        self.assertEqual((detail["frequency"], detail["periods"], detail["amplitude"]), (1000, 3, 1.5))
        self.assertTrue(detail["feedforward"])
        self.assertTrue(detail["loadRelay"])
        self.assertEqual(len(detail["dacVoltage"]), 16)
        self.refused("AC voltage setpoint 119.000000 rejected", "set", 0, "ac", 119)

        # Emergency off, then what the state machine refuses in ERROR, then the way out.
        self.assertIn("ENABLED -> ERROR (EmergencyOff was pressed.)", self.ok("off", 0))
        self.assertEqual(channel(self.env, 0)["errorMessage"], "EmergencyOff was pressed.")
        self.refused("Requested state change rejected. Reset the ERROR state first.", "enable", 0)
        self.refused("Requested state change rejected. Reset the ERROR state first.", "disable", 0)
        self.assertIn("already in ERROR", self.ok("off", 0))
        self.assertIn("ERROR -> DISABLED", self.ok("reset", 0, "--wait", 30))
        self.assertIn("already DISABLED", self.ok("disable", 0))
        self.assertIn("not in ERROR", self.ok("reset", 0))
        self.assertEqual(channel(self.env, 0)["errorMessage"], "")

        # Enabling while the DAC is not at zero is a hardware danger: the channel goes to ERROR.
        self.ok("enable", 1)
        self.ok("set", 1, "dc", 1)
        self.assertTrue(wait_until(lambda: channel(self.env, 1)["dcVoltage"] == 1, 30))
        self.ok("off", 1)
        self.ok("reset", 1, "--wait", 30)

    def test_epics_tool_look_alikes(self):
        p = self.rig.prefix
        values = json.loads(self.ok("--json", "get", p + "Configuration:nChannels", p + "Channel0:dacVoltage",
                                    p + "PiezoInitHandler:initScriptOutput"))
        self.assertEqual(values[p + "Configuration:nChannels"], 8)
        self.assertEqual(len(values[p + "Channel0:dacVoltage"]), 16)
        self.assertIn("initHardware.py", values[p + "PiezoInitHandler:initScriptOutput"])
        self.assertRegex(self.ok("get", p + "Configuration:maxDriveVoltage"), r"Configuration:maxDriveVoltage\s+120")

        self.refused("is read-only", "put", p + "Channel0:StateMachine:currentState", 1)
        text = self.ok("put", p + "Sim:protectionLimit", 100)
        self.assertRegex(text, r"Old : \S+Sim:protectionLimit 0")
        self.assertRegex(text, r"New : \S+Sim:protectionLimit 100")
        self.ok("put", p + "Sim:protectionLimit", 0)

        info = json.loads(self.ok("--json", "info", p + "Channel0:dcVoltage"))
        self.assertEqual((info["units"], info["count"], info["access"]), ("V", 1, "read"))
        self.assertEqual(info["description"], "The current voltage")
        info = json.loads(self.ok("--json", "info", p + "Channel1:StateMachine:currentState"))
        if "states" in info:  # a server that serves the channel state as an enumeration
            self.assertEqual(info["states"], ["DISABLED", "ENABLED", "ERROR", "DISABLING"])
        self.assertEqual(info["description"], "[DISABLED=0,ENABLED=1,ERROR=2,DISABLING=3]")
        self.assertIn(info["severity"], ("NO_ALARM", "MINOR", "MAJOR"))
        lines = self.ok("monitor", "-n", 3, p + "Server:triggerNumber").splitlines()
        self.assertEqual(len(lines), 3)
        self.assertTrue(all(line.startswith(p + "Server:triggerNumber ") for line in lines), lines)

        frames = self.ok("watch", "--updates", 2, "--interval", 0.2)
        self.assertEqual(frames.count("quellorctl watch %s" % p), 2)
        self.assertIn("board:  device ok", frames)
        self.assertIn("feed-forward: frequency", self.ok("watch", 1, "--updates", 1))

    def test_usage_errors_and_a_board_named_by_its_runtime_directory(self):
        code, _, err = quellorctl(self.env, "enable", 8)
        self.assertEqual(code, 2)
        self.assertIn("there is no channel 8: the server has channels 0 to 7", err)
        code, _, err = quellorctl(self.env, "ff", 0, "periods")
        self.assertEqual(code, 2)
        self.assertIn("needs a value", err)

        config = tempfile.mkdtemp(prefix="quellorctl-config-")
        os.mkdir(os.path.join(config, "board7"))
        with open(os.path.join(config, "board7", "quellor.env"), "w") as f:
            f.write("# board 7\nQUELLOR_PREFIX=%s\nEPICS_CAS_SERVER_PORT=%d\nEPICS_CAS_INTF_ADDR_LIST=127.0.0.1\n" %
                    (self.rig.prefix, self.rig.port))
        env = {k: v for k, v in self.env.items() if k != "EPICS_CA_ADDR_LIST"}
        self.assertIn("board:  device ok", self.ok_env(env, "--config-dir", config, "--board", "board7", "status"))
        code, _, err = quellorctl(env, "--config-dir", config, "--board", "board8", "status")
        self.assertEqual(code, 2)
        self.assertIn("board8/quellor.env", err)

    def ok_env(self, env, *args):
        code, out, err = quellorctl(env, *args)
        self.assertEqual(code, 0, "%s %s" % (out, err))
        return out


class Unreachable(unittest.TestCase):
    def test_no_server_exits_with_3_and_says_where_it_searched(self):
        env = harness.ca_environment(harness.free_port(), harness.free_udp_port())
        started = time.monotonic()
        code, out, err = quellorctl(env, "--timeout", 1, "status")
        self.assertEqual(code, 3, out + err)
        self.assertIn("no answer from a Quellor server with prefix QUELLOR: within 1 s (searched 127.0.0.1:", err)
        self.assertNotIn("caRepeater", err)
        self.assertLess(time.monotonic() - started, 30)
        code, out, _ = quellorctl(env, "--timeout", 1, "--json", "enable", 0)
        self.assertEqual(code, 3)
        self.assertEqual(json.loads(out)["status"], 3)


class BoardAway(unittest.TestCase):
    """The server without its board: it serves, says why the board is faulty, and counts as started."""

    def test_status_shows_the_fault_and_the_service_manager_hears_ready(self):
        notify = NotifySocket()
        self.addCleanup(notify.close)
        r = board(start_sim=False, env_extra={"NOTIFY_SOCKET": notify.path})
        self.addCleanup(remove, r)
        # A register file that is not there yet (a shared-memory object the server would create).
        board_file = os.path.join(r.workdir, "board-registers")
        with open(os.path.join(r.workdir, "quellor.dmap"), "w") as f:
            f.write("PiezoDriver  mmap:board-registers?map=quellor.map\n")
        # No firmware runs behind a plain file to count the heartbeat: with the check the board
        # would be a hung one again five triggers after every opening.
        map_file = os.path.join(r.workdir, "quellor.map")
        with open(map_file) as f:
            lines = [line for line in f if not line.startswith("heartbeat ")]
        with open(map_file, "w") as f:
            f.writelines(lines)
        r.start()
        ready = notify.wait_for("READY", 60)
        self.assertIsNotNone(ready, r.server_text())
        self.assertIn("serving", ready["STATUS"])
        report = status(r.env())
        self.assertEqual(report["board"]["deviceStatus"], 1)
        self.assertIn("board-registers", report["board"]["deviceMessage"])
        self.assertFalse(report["board"]["valuesValid"])
        code, out, _ = quellorctl(r.env(), "status")
        self.assertEqual(code, 0)
        self.assertIn("board:  device FAULTY (last fault: ", out)
        self.assertIn("values INVALID while the device is faulty", out)
        # The board arrives: the server opens it at its next attempt and initHardware.py marks it.
        with open(board_file, "wb") as f:
            f.truncate(16 << 20)  # sparse; more than the map needs
        self.assertTrue(wait_until(lambda: status(r.env())["board"]["deviceStatus"] == 0, 60), r.server_text())
        self.assertEqual(status(r.env())["board"]["bootStatus"], 1)


class Helpers(unittest.TestCase):
    """Channel states read the same whether the server serves them as numbers or as enums."""

    def test_state_names_from_numbers_and_enums(self):
        loader = importlib.machinery.SourceFileLoader("quellorctl_module", QUELLORCTL)
        spec = importlib.util.spec_from_loader(loader.name, loader)
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
        self.assertEqual(module.state_name_of((1, "1", 0.0)), "ENABLED")
        self.assertEqual(module.state_name_of((2, "ERROR", 0.0)), "ERROR")
        self.assertEqual(module.state_name_of((7, "7", 0.0)), "state 7")
        self.assertEqual(module.number(3.0), 3)
        self.assertEqual(module.last_line("a\nb\n\n"), "b")


if __name__ == "__main__":
    QUELLORCTL, SIM, SERVER = (os.path.abspath(a) for a in sys.argv[1:4])
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
