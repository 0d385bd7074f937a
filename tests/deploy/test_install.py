#!/usr/bin/python3
"""`cmake --install` of the build into a scratch prefix: where everything lands, and the systemd
units it writes (paths of that prefix, hardening within the exposure the product promises).

    test_install.py BUILD_DIR [unittest options]
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD_DIR = None
# systemd-analyze security's overall exposure (0 safe .. 10 unsafe) that the units must not exceed.
EXPOSURE_LIMIT = 3.0

PROGRAMS = ["quellor_server", "quellor_xmlgen", "quellor_board_sim", "quellorctl"]
RUNTIME_FILES = ["quellorctrl_base_config.xml", "quellor.dmap", "quellor.map", "quellorctrl.req", "quellorctrl.meta", "quellor.env",
                 "initHardware.py"]
DOCS = ["README.md", "operating.md", "integrating.md", "commissioning.md"]
DISPLAYS = ["quellor_overview.bob", "quellor_channel.bob", "quellor_channel_row.bob", "quellor_board.bob"]
UNITS = ["quellor@.service", "quellor-board-sim@.service"]


def unit_settings(path):
    """{key: [values]} of a unit file (comments and sections dropped)."""
    settings = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;[":
                continue
            key, _, value = line.partition("=")
            settings.setdefault(key, []).append(value)
    return settings


def exposure(unit_path):
    out = subprocess.run(["systemd-analyze", "security", "--offline=true", "--no-pager", unit_path],
                         capture_output=True, text=True)
    m = re.search(r"Overall exposure level for \S+: ([0-9.]+)", out.stdout + out.stderr)
    if not m:
        raise AssertionError("no exposure level from systemd-analyze: %s %s" % (out.stdout, out.stderr))
    return float(m.group(1)), out.stdout


class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="quellor-install-")
        out = subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", cls.prefix], capture_output=True, text=True)
        if out.returncode != 0:
            raise RuntimeError("cmake --install failed: %s %s" % (out.stdout, out.stderr))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.prefix, *parts)

    def test_programs_runtime_directories_displays_and_docs_where_promised(self):
        for p in PROGRAMS:
            self.assertTrue(os.access(self.path("bin", p), os.X_OK), p)
        for f in RUNTIME_FILES:
            self.assertTrue(os.path.isfile(self.path("share", "quellor", "deploy", f)), f)
            # The first board's runtime directory, under PREFIX/etc for any prefix but /usr.
            self.assertTrue(os.path.isfile(self.path("etc", "quellor", "board0", f)), f)
        for script in (self.path("etc", "quellor", "board0", "initHardware.py"),
                       self.path("share", "quellor", "deploy", "initHardware.py")):
            self.assertTrue(os.access(script, os.X_OK), script)
        for d in DISPLAYS:
            self.assertTrue(os.path.isfile(self.path("share", "quellor", "displays", d)), d)
        for d in DOCS:
            doc = self.path("share", "doc", "quellor", d)
            self.assertTrue(os.path.isfile(doc), d)
            self.assertGreater(os.path.getsize(doc), 1000, d)
        for u in UNITS:
            self.assertTrue(os.path.isfile(self.path("lib", "systemd", "system", u)), u)

    def test_the_installed_programs_run(self):
        out = subprocess.run(["/usr/bin/python3", self.path("bin", "quellorctl"), "--help"], capture_output=True,
                             text=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("status", out.stdout)
        # The server and the generator read their configuration when they start, so they run in a
        # board's runtime directory (a copy of the installed one), as the units run them.
        work = tempfile.mkdtemp(prefix="quellor-installed-")
        try:
            shutil.copytree(self.path("etc", "quellor", "board0"), work, dirs_exist_ok=True)
            out = subprocess.run([self.path("bin", "quellor_server"), "--version"], cwd=work, capture_output=True,
                                 text=True)
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertRegex(out.stdout, r"quellor_server \d+\.\d+\.\d+")
            out = subprocess.run([self.path("bin", "quellor_xmlgen")], cwd=work, capture_output=True, text=True)
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertTrue(os.path.isfile(os.path.join(work, "quellorctrl.xml")))
            out = subprocess.run([self.path("bin", "quellor_board_sim"), "--help"], capture_output=True, text=True)
            self.assertEqual(out.returncode, 0, out.stderr)
        finally:
            shutil.rmtree(work)

    def test_units_name_this_prefix_and_are_hardened(self):
        for u in UNITS:
            path = self.path("lib", "systemd", "system", u)
            with open(path) as f:
                self.assertNotIn("@QUELLOR_", f.read(), u)
            s = unit_settings(path)
            program = s["ExecStart"][0].split()[0]
            self.assertEqual(os.path.dirname(program), self.path("bin"), u)
            self.assertTrue(os.access(program, os.X_OK), program)
            self.assertEqual(s["WorkingDirectory"], [self.path("etc", "quellor") + "/%i"], u)
            self.assertEqual(s["User"], ["quellor"], u)
            for key, value in (("NoNewPrivileges", "yes"), ("ProtectSystem", "strict"), ("ProtectHome", "yes"),
                               ("PrivateTmp", "yes"), ("CapabilityBoundingSet", "")):
                self.assertEqual(s.get(key), [value], "%s: %s" % (u, key))
        server = unit_settings(self.path("lib", "systemd", "system", "quellor@.service"))
        self.assertEqual(server["Type"], ["notify"])
        self.assertEqual(server["StateDirectory"], ["quellor/%i"])
        self.assertIn("--persist %S/quellor/%i/quellorctrl.persist", server["ExecStart"][0])
        self.assertTrue(server["WatchdogSec"][0])
        # One descriptor per client circuit (1024) and the server's own.
        self.assertGreaterEqual(int(server["LimitNOFILE"][0]), 1024 + 64)

    @unittest.skipUnless(shutil.which("systemd-analyze"), "systemd-analyze is not installed")
    def test_security_exposure_and_unit_syntax(self):
        for u in UNITS:
            path = self.path("lib", "systemd", "system", u)
            level, report = exposure(path)
            print("%s: exposure %.1f (limit %.1f)" % (u, level, EXPOSURE_LIMIT))
            self.assertLessEqual(level, EXPOSURE_LIMIT, report)
            # An instance of the template, as systemd would load it.
            instance = os.path.join(self.prefix, u.replace("@", "@board0"))
            shutil.copy(path, instance)
            out = subprocess.run(["systemd-analyze", "verify", "--man=no", instance], capture_output=True, text=True)
            os.unlink(instance)
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
            self.assertNotIn("Unknown key", out.stderr)
            self.assertNotIn("Invalid", out.stderr)


if __name__ == "__main__":
    BUILD_DIR = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:])
