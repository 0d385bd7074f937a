"""quellor_server started on bad start-up files of every kind (configuration, device map,
register map, access rules) and bad command lines: it ends by itself, with one line on standard
error that names the file (or option) and the fault, exit status 1 (2 for a bad command line),
and no signal, sanitizer report or core. A missing board is no start-up fault: the server serves.

To add a case: a line in CASES (what, a change to the runtime directory, the server's arguments,
the words its one line must hold, the exit status)."""
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rig  # noqa: E402

CONFIG = "quellorctrl_base_config.xml"


def write(name, text):
    return lambda r: r.write(name, text)


def replace(name, old, new):
    def change(r):
        text = r.text(name)
        assert old in text, old
        r.write(name, text.replace(old, new))
    return change


def config_value(key, value):
    return lambda r: r.set_config(key, value)


def folder(name):
    def change(r):
        os.unlink(r.path(name))
        os.mkdir(r.path(name))
    return change


def remove(name):
    return lambda r: os.unlink(r.path(name))


def nothing(r):
    pass


CASES = [
    # configuration
    ("no configuration", remove(CONFIG), [], ["Cannot read configuration file '%s'" % CONFIG], 1),
    ("configuration is a folder", folder(CONFIG), [], ["'%s': it is a directory" % CONFIG], 1),
    ("empty configuration", write(CONFIG, ""), [], [CONFIG, "malformed XML"], 1),
    ("binary configuration", write(CONFIG, "\x00\x01\x02" * 100), [], [CONFIG, "malformed XML"], 1),
    ("configuration cut short", lambda r: r.write(CONFIG, r.text(CONFIG)[:300]), [], [CONFIG, "malformed XML"], 1),
    ("another root element", replace(CONFIG, "configuration>", "settings>"), [], [CONFIG, "<configuration>"], 1),
    ("unknown type", replace(CONFIG, 'name="nChannels" type="int32"', 'name="nChannels" type="int31"'), [], [CONFIG, "unknown type 'int31'"], 1),
    ("number that does not fit", config_value("nChannels", "99999999999"), [], [CONFIG, "not a valid int32"], 1),
    ("duplicate key", replace(CONFIG, "</configuration>",
                              '<value name="nChannels" type="int32">1</value></configuration>'), [],
     [CONFIG, "duplicate key 'nChannels'"], 1),
    ("no channel count", config_value("nChannels", None), [], [CONFIG, "nChannels"], 1),
    ("negative channel count", config_value("nChannels", -1), [], [CONFIG, "nChannels is -1"], 1),
    ("more channels than the board", config_value("nChannels", 9), [],
     [CONFIG, "nChannels is 9", "quellor.map", "/Channel8/"], 1),
    ("no drive range", config_value("maxDriveVoltage", None), [], [CONFIG, "maxDriveVoltage"], 1),
    ("drive range not a number", config_value("maxDriveVoltage", "nan"), [], [CONFIG, "maxDriveVoltage is nan"], 1),
    ("no DC step", config_value("maxDCVoltageStep", None), [], [CONFIG, "maxDCVoltageStep"], 1),
    ("DC step 0", config_value("maxDCVoltageStep", 0), [], [CONFIG, "maxDCVoltageStep is 0"], 1),
    ("negative reset delay", config_value("StateMachine/errorResetDelay", -2), [],
     [CONFIG, "errorResetDelay is -2"], 1),
    ("sample rate 0", config_value("FeedforwardCompensation/controlTableSampleRate", 0), [],
     [CONFIG, "controlTableSampleRate is 0"], 1),
    ("table too short for the default burst", config_value("FeedforwardCompensation/controlTableSampleRate",
                                                           100000000), [],
     [CONFIG, "controlTableLength is 65536", "needs more than 400000 samples"], 1),
    ("DAQ length unlike the board's", config_value("daqTableLength", 8), [],
     [CONFIG, "daqTableLength is 8", "16 elements"], 1),
    # device map
    ("no device map", remove("quellor.dmap"), [], ["quellor.dmap"], 1),
    ("device map is a folder", folder("quellor.dmap"), [], ["quellor.dmap"], 1),
    ("empty device map", write("quellor.dmap", ""), [], ["quellor.dmap", "PiezoDriver"], 1),
    ("no PiezoDriver in the device map", write("quellor.dmap", "Other dummy:?map=quellor.map\n"), [],
     ["quellor.dmap", "PiezoDriver"], 1),
    ("unknown backend", write("quellor.dmap", "PiezoDriver pcie:slot5?map=quellor.map\n"), [],
     ["quellor.dmap", "pcie"], 1),
    ("no register map named", write("quellor.dmap", "PiezoDriver dummy:\n"), [], ["quellor.dmap", "map="], 1),
    # register map
    ("no register map", remove("quellor.map"), [], ["quellor.map"], 1),
    ("register map is a folder", folder("quellor.map"), [], ["quellor.map"], 1),
    ("malformed register", lambda r: r.write("quellor.map", r.text("quellor.map") + "Channel0/x 1 0x0 4 fixed\n"),
     [], ["quellor.map"], 1),
    ("overlapping registers", lambda r: r.write("quellor.map", r.text("quellor.map") +
                                                "Extra/overlap 1 0x1000 4 fixed 32 0 1 rw\n"), [],
     ["quellor.map", "overlap"], 1),
    ("board register missing", replace("quellor.map", "Board/driverBootStatus", "Board/bootWord"), [],
     ["quellor.map", "/Board/driverBootStatus"], 1),
    # access rules
    ("no access rules file", nothing, ["--access", "rules.txt"], ["rules.txt"], 1),
    ("access rules file is a folder", lambda r: os.mkdir(r.path("rules")), ["--access", "rules"], ["rules"], 1),
    # record conventions
    ("no metadata file", nothing, ["--metadata", "site.meta"], ["site.meta", "cannot be read"], 1),
    ("metadata file is a folder", lambda r: os.mkdir(r.path("site.meta")), ["--metadata", "site.meta"],
     ["site.meta", "it is a directory"], 1),
    ("malformed metadata", write("site.meta", "[/Channel0/dcVoltage]\nprecision = many\n"),
     ["--metadata", "site.meta"], ["site.meta:2", "precision"], 1),
    # command line
    ("unknown option", nothing, ["--no-such-option"], ["unknown option '--no-such-option'"], 2),
    ("port out of range", nothing, ["--port", "70000"], ["--port", "70000"], 2),
]


class StartupFiles(unittest.TestCase):
    def test_bad_startup_files_end_the_server_with_one_line(self):
        with rig.Rig() as r:
            pristine = r.path("pristine")
            os.mkdir(pristine)
            for name in (CONFIG, "quellor.dmap", "quellor.map"):
                shutil.copy(r.path(name), pristine)
            for what, change, args, words, expected in CASES:
                with self.subTest(case=what):
                    for leftover in ("rules", "site.meta"):
                        if os.path.isdir(r.path(leftover)):
                            os.rmdir(r.path(leftover))
                        elif os.path.exists(r.path(leftover)):
                            os.unlink(r.path(leftover))
                    for name in os.listdir(pristine):
                        target = r.path(name)
                        if os.path.isdir(target):
                            os.rmdir(target)
                        shutil.copy(os.path.join(pristine, name), target)
                    change(r)
                    status, out, err = r.run_server_to_end(["--persist", "none"] + args)
                    self.assertEqual(status, expected, "%s\n%s" % (out, err))
                    lines = [line for line in err.splitlines() if line.strip()]
                    self.assertEqual(len(lines), 1, err)
                    # Before main() the program's name leads the line; from main() on it is the
                    # event log's line (time, severity, source).
                    self.assertRegex(lines[0], r"^(quellor_server: |\S+ critical server: )")
                    for w in words:
                        self.assertIn(w, lines[0])

    def test_a_missing_board_is_no_startup_fault(self):
        with rig.Rig() as r:
            r.start_server(wait_ready=False)  # no simulator: no register file
            self.assertTrue(rig.wait_until(lambda: r.read("Devices:PiezoDriver:status") == 1))
            r.fresh_client_served()
            self.assertEqual(r.server.stop(), 0, r.server.stderr_text())


if __name__ == "__main__":
    unittest.main()
