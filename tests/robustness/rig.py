"""The delivered programs on a private runtime directory: quellor_board_sim on a shared-memory
register file of its own, quellor_server on a free loopback port, raw CA clients to probe them.

Every process is started here and stopped by its PID; nothing else is touched. Only loopback.
"""
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import harness  # noqa: E402
import rawca  # noqa: E402
from rawca import header, message  # noqa: E402

SERVER = os.environ.get("QUELLOR_SERVER", "")
BOARD_SIM = os.environ.get("QUELLOR_BOARD_SIM", "")
XMLGEN = os.environ.get("QUELLOR_XMLGEN", "")
DEPLOY = os.environ.get("QUELLOR_DEPLOY_DIR", os.path.join(HERE, "..", "..", "deploy"))
PREFIX = "QUELLOR:"
# Generous: the machine may be loaded, and the sanitizer builds are slow. Not performance limits.
START_TIMEOUT = 60.0
# "A fresh client is served within 1 s": a functional check with a generous bound.
FRESH_CLIENT_LIMIT = 1.0

SEARCH = 6
DBR_STRING, DBR_SHORT, DBR_FLOAT, DBR_ENUM, DBR_CHAR = 0, 1, 2, 3, 4
DBR_LONG, DBR_DOUBLE = 5, 6
ECA_NORMAL = 1


def loopback_environment(port=None):
    """The CA environment every client and server here runs with: loopback only."""
    env = dict(os.environ)
    env.update({
        "EPICS_CA_AUTO_ADDR_LIST": "NO",
        "EPICS_CA_ADDR_LIST": "127.0.0.1" + (":%d" % port if port else ""),
        "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1",
        "EPICS_CAS_AUTO_BEACON_ADDR_LIST": "NO",
        "EPICS_CAS_BEACON_ADDR_LIST": "127.255.255.255",
    })
    return env


free_port = harness.free_port


def wait_until(predicate, timeout=START_TIMEOUT, step=0.02):
    return harness.wait_until(predicate, timeout, step)


def process_state(pid):
    """The state letter from /proc, or None when the process is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            text = f.read()
    except OSError:
        return None
    return text[text.rindex(")") + 2]


def process_gone(pid):
    return process_state(pid) in (None, "Z", "X")


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


resident_kib = harness.resident_kib


class Program:
    """One process with its output collected in the background."""

    def __init__(self, argv, cwd, env):
        self.proc = subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, text=True, errors="replace")
        self.out_lines = []
        self.err_lines = []
        self._done = [threading.Event(), threading.Event()]
        self._line_seen = threading.Condition()
        for stream, lines, done in ((self.proc.stdout, self.out_lines, self._done[0]),
                                    (self.proc.stderr, self.err_lines, self._done[1])):
            threading.Thread(target=self._pump, args=(stream, lines, done), daemon=True).start()

    def _pump(self, stream, lines, done):
        for line in stream:
            with self._line_seen:
                lines.append(line.rstrip("\n"))
                self._line_seen.notify_all()
        done.set()
        with self._line_seen:
            self._line_seen.notify_all()

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc.poll() is None

    def wait_for_line(self, pattern, timeout=START_TIMEOUT, stream="err"):
        lines = self.err_lines if stream == "err" else self.out_lines
        rx = re.compile(pattern)
        end = time.monotonic() + timeout
        with self._line_seen:
            while True:
                for line in lines:
                    m = rx.search(line)
                    if m:
                        return m
                left = end - time.monotonic()
                if left <= 0 or (not self.alive() and all(d.is_set() for d in self._done)):
                    return None
                self._line_seen.wait(min(left, 0.2))

    def finish(self, timeout=60):
        """Exit status once the process has ended by itself (None if it had to be killed)."""
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            return None
        for d in self._done:
            d.wait(5)
        return status

    def stop(self, sig=signal.SIGTERM, timeout=60):
        if self.alive():
            os.kill(self.proc.pid, sig)
        return self.finish(timeout)

    def kill(self):
        if self.alive():
            os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        for d in self._done:
            d.wait(5)

    def stderr_text(self):
        return "\n".join(self.err_lines)

    def stdout_text(self):
        return "\n".join(self.out_lines)


class RegisterFile:
    """The simulated board's shared-memory register file, written directly as the firmware would."""

    def __init__(self, shm_name, map_file):
        self.path = "/dev/shm/" + shm_name
        self.offsets = {}
        with open(map_file) as f:
            for line in f:
                words = line.split("#", 1)[0].split()
                if len(words) == 9:
                    self.offsets[words[0].lstrip("/")] = int(words[2], 0)

    def write_word(self, register, value):
        with open(self.path, "r+b") as f:
            f.seek(self.offsets[register])
            f.write(struct.pack("<I", value & 0xFFFFFFFF))

    def read_word(self, register):
        with open(self.path, "rb") as f:
            f.seek(self.offsets[register])
            return struct.unpack("<I", f.read(4))[0]


class Rig:
    """A runtime directory (a copy of deploy/ on a private register file) and the programs on it."""

    def __init__(self, config_edits=None, init_script=None):
        for program in (SERVER, BOARD_SIM, XMLGEN):
            if not program or not os.path.exists(program):
                raise RuntimeError("QUELLOR_SERVER, QUELLOR_BOARD_SIM and QUELLOR_XMLGEN must name the programs")
        self.dir = tempfile.mkdtemp(prefix="quellor-robust-")
        self.shm = "quellor-robust-%d-%d" % (os.getpid(), id(self) & 0xFFFFFF)
        self.programs = []  # every process started, for their sanitizer reports
        try:
            self._prepare(config_edits, init_script)
        except BaseException:
            shutil.rmtree(self.dir, ignore_errors=True)
            raise
        self.sim = None
        self.server = None
        self.port = None

    def _prepare(self, config_edits, init_script):
        for name in os.listdir(DEPLOY):
            if name.endswith((".xml", ".dmap", ".map", ".py", ".req")) and name != "quellorctrl.xml":
                shutil.copy(os.path.join(DEPLOY, name), self.dir)
        self.edit("quellor.dmap", lambda t: t.replace("shm:quellor-board?", "shm:%s?" % self.shm))
        for key, value in (config_edits or {}).items():
            self.set_config(key, value)
        if init_script is not None:
            self.write("initHardware.py", init_script, executable=True)
        self.registers = RegisterFile(self.shm, os.path.join(self.dir, "quellor.map"))

    # --- files -----------------------------------------------------------------------------------
    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text, executable=False):
        mode = "wb" if isinstance(text, bytes) else "w"
        with open(self.path(name), mode) as f:
            f.write(text)
        if executable:
            os.chmod(self.path(name), 0o755)

    def text(self, name):
        with open(self.path(name)) as f:
            return f.read()

    def edit(self, name, change):
        self.write(name, change(self.text(name)))

    def set_config(self, key, value):
        """Sets <value name="key"> (the last part of a grouped key); None removes it."""
        name = key.split("/")[-1]
        rx = re.compile(r'(\s*<value name="%s" type="[^"]*">)[^<]*(</value>\n?)' % re.escape(name))
        text = self.text("quellorctrl_base_config.xml")
        if not rx.search(text):
            raise KeyError(key)
        self.write("quellorctrl_base_config.xml",
                   rx.sub("" if value is None else (lambda m: m.group(1) + str(value) + m.group(2)), text))

    def variables(self):
        """[(path, type, elements, direction)] of the served application, from quellor_xmlgen."""
        subprocess.run([XMLGEN], cwd=self.dir, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       timeout=START_TIMEOUT)
        root = ElementTree.parse(self.path("quellorctrl.xml")).getroot()
        return [(v.get("path"), v.get("type"), int(v.get("elements")), v.get("direction")) for v in root]

    # --- programs --------------------------------------------------------------------------------
    def start_sim(self, tick_rate=1000):
        self.sim = Program([BOARD_SIM, "--tick-rate", str(tick_rate)], self.dir, loopback_environment())
        self.programs.append(self.sim)
        if not self.sim.wait_for_line("board rebooted", stream="out"):
            raise RuntimeError("quellor_board_sim did not start:\n" + self.sim.stdout_text() +
                               self.sim.stderr_text())
        return self

    def server_argv(self, port, args=()):
        return [SERVER, "--port", str(port), "--beacon-address", "127.255.255.255:%d" % free_port()] + list(args)

    def start_server(self, args=("--persist", "none"), trigger_rate=100, wait_ready=True):
        self.port = free_port()
        argv = self.server_argv(self.port, ["--trigger-rate", str(trigger_rate)] + list(args))
        self.server = Program(argv, self.dir, loopback_environment(self.port))
        self.programs.append(self.server)
        if not self.server.wait_for_line(r"serving \d+ channels with prefix \S+ on [0-9.]+:%d" % self.port):
            self.server.kill()
            raise RuntimeError("quellor_server did not start:\n" + self.server.stderr_text())
        if wait_ready and not wait_until(lambda: self.read("Devices:PiezoDriver:status") == 0):
            raise RuntimeError("the board did not come up:\n" + self.server.stderr_text())
        return self

    def run_server_to_end(self, args=(), timeout=START_TIMEOUT):
        """Starts the server where it is expected to refuse; returns (status, stdout, stderr)."""
        port = free_port()
        program = Program(self.server_argv(port, args), self.dir, loopback_environment(port))
        self.programs.append(program)
        status = program.finish(timeout)
        return status, program.stdout_text(), program.stderr_text()

    def close(self):
        reports = []
        for p in self.programs:
            p.kill()
            reports += sanitizer_reports(p)
        try:
            os.unlink("/dev/shm/" + self.shm)
        except OSError:
            pass
        shutil.rmtree(self.dir, ignore_errors=True)
        return reports

    def __enter__(self):
        return self

    def __exit__(self, exc_type, *exc):
        reports = self.close()
        # A sanitizer's finding in a program is a failure even when every check passed.
        if reports and exc_type is None:
            raise AssertionError("sanitizer reports:\n" + "\n".join(reports))

    # --- clients ---------------------------------------------------------------------------------
    def client(self, timeout=rawca.T):
        c = rawca.RawClient(self.port, timeout=timeout)
        c.hello()
        return c

    def read(self, name, dtype=DBR_DOUBLE, count=1):
        """One value by a short-lived client: a number, a string (DBR_STRING) or None."""
        c = self.client()
        try:
            created = c.create(PREFIX + name, 1)
            if created is None:
                return None
            cmd, dt, n, status, ioid, payload = c.read(created[0], dtype, count, 1)
            if cmd != rawca.READ_NOTIFY or status != ECA_NORMAL:
                return None
            return decode(dtype, payload, count)
        finally:
            c.close()

    def read_text(self, name):
        """A text variable in full (its long-string form NAME$); None when it cannot be read."""
        c = self.client()
        try:
            created = c.create(PREFIX + name + "$", 1)
            if created is None:
                return None
            sid, _, count, _ = created
            cmd, _, n, status, _, payload = c.read(sid, DBR_CHAR, count, 1)
            if cmd != rawca.READ_NOTIFY or status != ECA_NORMAL:
                return None
            return decode(DBR_CHAR, payload, n)
        finally:
            c.close()

    def fresh_client_served(self, name="Server:triggerNumber"):
        """Seconds a new client needs from its search to a value read, or raises AssertionError."""
        start = time.monotonic()
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        u.settimeout(FRESH_CLIENT_LIMIT)
        try:
            u.sendto(header(rawca.VERSION, 0, 1, 13, 1, 0) +
                     message(SEARCH, (PREFIX + name).encode() + b"\0", 5, 13, 77, 77), ("127.0.0.1", self.port))
            reply = u.recv(1000)
        except socket.timeout:
            raise AssertionError("no answer to a search within %.1f s" % FRESH_CLIENT_LIMIT)
        finally:
            u.close()
        found = [struct.unpack(">HHHHII", reply[i:i + 16]) for i in range(0, len(reply) - 15, 16)]
        if not any(m[0] == SEARCH for m in found):
            raise AssertionError("the search was not answered: %r" % reply)
        left = max(0.05, FRESH_CLIENT_LIMIT - (time.monotonic() - start))
        try:
            c = rawca.RawClient(self.port, timeout=left)
            c.hello()
            sid = c.create(PREFIX + name, 1)[0]
            cmd, _, _, status, _, _ = c.read(sid, DBR_DOUBLE, 1, 5)
            c.close()
        except (socket.timeout, OSError, rawca.Closed) as e:
            raise AssertionError("a fresh client was not served: %r" % e)
        elapsed = time.monotonic() - start
        if cmd != rawca.READ_NOTIFY or status != ECA_NORMAL:
            raise AssertionError("a fresh client's read failed: command %d status %d" % (cmd, status))
        if elapsed > FRESH_CLIENT_LIMIT:
            raise AssertionError("a fresh client took %.2f s" % elapsed)
        return elapsed


def sanitizer_reports(program):
    """The sanitizer reports a program printed (first lines of each)."""
    lines = program.err_lines + program.out_lines
    marks = ("ERROR: AddressSanitizer", "WARNING: ThreadSanitizer", "ERROR: LeakSanitizer", "runtime error: ")
    return ["\n".join(lines[i:i + 12]) for i, line in enumerate(lines) if any(m in line for m in marks)]


def decode(dtype, payload, count):
    if dtype == DBR_STRING:
        return payload[:40].split(b"\0", 1)[0].decode(errors="replace")
    if dtype == DBR_CHAR:
        return payload[:count].split(b"\0", 1)[0].decode(errors="replace")
    fmt = {DBR_DOUBLE: "d", DBR_LONG: "i", DBR_FLOAT: "f", DBR_SHORT: "h", DBR_ENUM: "H"}[dtype]
    values = struct.unpack(">%d%s" % (count, fmt), payload[:count * struct.calcsize(fmt)])
    return values[0] if count == 1 else list(values)


def pv_name(path):
    return path.lstrip("/").replace("/", ":")
