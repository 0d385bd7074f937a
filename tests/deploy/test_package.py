#!/usr/bin/python3
"""The Debian package: built with CPack from the build directory, unpacked into a scratch root
(`dpkg -x`) whose programs then serve the simulated board, and, where the test runs as root on a
machine without Quellor, installed for real with dpkg and removed again.

    test_package.py BUILD_DIR [unittest options]

The real installation is made safe for a developer's machine by its conditions and its clean-up:
it runs only as root, only when no package "quellor" is installed and no /etc/quellor exists (so
nothing of an existing installation is touched or purged), never calls systemctl (the package's
scripts call it only where systemd runs, and then only for instances, none of which exist), runs
its server as a board directory of its own (/etc/quellor/qtest-PID, on a private shared-memory
object and a free loopback port), and purges the package afterwards, removing the user and group
"quellor" when it created them. QUELLOR_TEST_SYSTEM_INSTALL=0 leaves it out.
"""
import grp
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
from harness import wait_until  # noqa: E402

BUILD_DIR = None
CONFFILES = ["quellorctrl_base_config.xml", "quellor.dmap", "quellor.map", "quellorctrl.req", "quellorctrl.meta", "quellor.env",
             "initHardware.py"]


def run(argv, **kw):
    out = subprocess.run(argv, capture_output=True, text=True, **kw)
    if out.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s\n%s" % (" ".join(argv), out.returncode, out.stdout, out.stderr))
    return out.stdout


def built_with_libsystemd():
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as f:
        return re.search(r"^QUELLOR_HAVE_LIBSYSTEMD:INTERNAL=(1|TRUE|ON)$", f.read(), re.M) is not None


def package_installed():
    out = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "quellor"], capture_output=True, text=True)
    return out.returncode == 0 and "installed" in out.stdout and "not-installed" not in out.stdout


def quellorctl(program, env, *args):
    return subprocess.run(["/usr/bin/python3", program] + [str(a) for a in args], env=env, capture_output=True, text=True,
                          timeout=120)


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="quellor-package-")
        run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", cls.out])
        debs = [f for f in os.listdir(cls.out) if f.endswith(".deb")]
        if len(debs) != 1:
            raise RuntimeError("expected one .deb in %s, found %s" % (cls.out, debs))
        cls.deb = os.path.join(cls.out, debs[0])
        print("package: %s, %d bytes" % (debs[0], os.path.getsize(cls.deb)))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, ignore_errors=True)

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name]).strip()

    def test_control_data_dependencies_conffiles_and_scripts(self):
        self.assertEqual(self.field("Package"), "quellor")
        self.assertRegex(self.field("Version"), r"^\d+\.\d+\.\d+-\d+$")
        depends = self.field("Depends")
        for dep in ("python3", "python3-pyepics", "libpugixml1v5", "libboost-thread"):
            self.assertIn(dep, depends)
        if built_with_libsystemd():
            self.assertIn("libsystemd0", depends)
        control = tempfile.mkdtemp(prefix="quellor-control-")
        try:
            run(["dpkg-deb", "-e", self.deb, control])
            with open(os.path.join(control, "conffiles")) as f:
                conffiles = f.read().split()
            self.assertEqual(sorted(conffiles), sorted("/etc/quellor/board0/" + c for c in CONFFILES))
            for script in ("postinst", "prerm", "postrm"):
                path = os.path.join(control, script)
                self.assertTrue(os.access(path, os.X_OK), script)
                run(["sh", "-n", path])
        finally:
            shutil.rmtree(control)
        listing = run(["dpkg-deb", "-c", self.deb])
        for path in ("./usr/bin/quellor_server", "./usr/bin/quellorctl", "./usr/bin/quellor_board_sim",
                     "./usr/lib/systemd/system/quellor@.service", "./usr/lib/systemd/system/quellor-board-sim@.service",
                     "./usr/share/quellor/displays/quellor_overview.bob", "./usr/share/doc/quellor/operating.md",
                     "./etc/quellor/board0/quellor.dmap"):
            self.assertRegex(listing, r"(?m) %s$" % re.escape(path))

    def test_unpacked_programs_serve_the_simulated_board(self):
        root = tempfile.mkdtemp(prefix="quellor-root-")
        try:
            run(["dpkg-deb", "-x", self.deb, root])
            usr = os.path.join(root, "usr", "bin")
            with open(os.path.join(root, "usr/lib/systemd/system/quellor@.service")) as f:
                unit = f.read()
            self.assertIn("ExecStart=/usr/bin/quellor_server ", unit)
            self.assertIn("WorkingDirectory=/etc/quellor/%i", unit)
            r = harness.QuellorOnSimulatedBoard(os.path.join(usr, "quellor_board_sim"),
                                                os.path.join(usr, "quellor_server"),
                                                os.path.join(root, "etc", "quellor", "board0"))
            try:
                r.start()
                self.assertTrue(wait_until(lambda: self.board_ready(usr, r.env()), 60), r.server_text())
                done = quellorctl(os.path.join(usr, "quellorctl"), r.env(), "enable", 0)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            finally:
                r.stop()
                shutil.rmtree(r.workdir, ignore_errors=True)
        finally:
            shutil.rmtree(root)

    @staticmethod
    def board_ready(bindir, env):
        out = quellorctl(os.path.join(bindir, "quellorctl"), env, "status")
        return out.returncode == 0 and "board:  device ok" in out.stdout and "board initialised" in out.stdout

    def test_installed_for_real_then_purged(self):
        reason = self.why_not_install_for_real()
        if reason:
            self.skipTest(reason)
        user_existed = self.exists(pwd.getpwnam, "quellor")
        group_existed = self.exists(grp.getgrnam, "quellor")
        board = "qtest-%d" % os.getpid()
        try:
            run(["dpkg", "-i", self.deb])
            # Installing the same version again runs the upgrade path of the scripts.
            run(["dpkg", "-i", self.deb])
            user = pwd.getpwnam("quellor")
            self.assertEqual(user.pw_dir, "/var/lib/quellor")
            self.assertEqual(os.stat("/var/lib/quellor/board0").st_uid, user.pw_uid)
            for c in CONFFILES:
                self.assertTrue(os.path.isfile("/etc/quellor/board0/" + c), c)

            # A board of the test's own, run by the quellor user as the unit would run it.
            shutil.copytree("/etc/quellor/board0", "/etc/quellor/" + board)
            state = "/var/lib/quellor/" + board
            os.makedirs(state)
            os.chown(state, user.pw_uid, user.pw_gid)
            r = harness.QuellorOnSimulatedBoard("/usr/bin/quellor_board_sim", "/usr/bin/quellor_server",
                                                "/etc/quellor/" + board, in_place=True,
                                                run_as=["runuser", "-u", "quellor", "--"],
                                                persist=state + "/quellorctrl.persist")
            try:
                r.start()
                self.assertTrue(wait_until(lambda: self.board_ready("/usr/bin", r.env()), 60), r.server_text())
                done = quellorctl("/usr/bin/quellorctl", r.env(), "set", 0, "dc", 1.5)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                # The operator's setting is saved in the board's state directory, by the quellor user.
                self.assertTrue(wait_until(lambda: os.path.exists(state + "/quellorctrl.persist"), 30))
                self.assertEqual(os.stat(state + "/quellorctrl.persist").st_uid, user.pw_uid)
            finally:
                r.stop()
        finally:
            shutil.rmtree("/etc/quellor/" + board, ignore_errors=True)
            subprocess.run(["dpkg", "--purge", "quellor"], capture_output=True)
            if not user_existed and self.exists(pwd.getpwnam, "quellor"):
                subprocess.run(["userdel", "quellor"], capture_output=True)
            if not group_existed and self.exists(grp.getgrnam, "quellor"):
                subprocess.run(["groupdel", "quellor"], capture_output=True)
        self.assertFalse(package_installed())
        self.assertFalse(os.path.exists("/var/lib/quellor"))
        self.assertFalse(os.path.exists("/usr/bin/quellor_server"))

    @staticmethod
    def exists(lookup, name):
        try:
            lookup(name)
            return True
        except KeyError:
            return False

    @staticmethod
    def why_not_install_for_real():
        if os.environ.get("QUELLOR_TEST_SYSTEM_INSTALL", "1") == "0":
            return "QUELLOR_TEST_SYSTEM_INSTALL=0"
        if os.geteuid() != 0:
            return "not root: the package is only unpacked"
        if os.environ.get("QUELLOR_SANITIZED") == "1":
            return "a sanitizer build is no product to install"
        if package_installed() or os.path.exists("/etc/quellor"):
            return "Quellor is installed on this machine already; it is left alone"
        if not shutil.which("runuser"):
            return "runuser is missing"
        missing = [p for p in ("python3-pyepics",)
                   if "install ok installed" not in subprocess.run(["dpkg-query", "-W", "-f=${Status}", p],
                                                                   capture_output=True, text=True).stdout]
        if missing:
            return "the package's dependencies are missing: %s" % ", ".join(missing)
        return None


if __name__ == "__main__":
    BUILD_DIR = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:])
