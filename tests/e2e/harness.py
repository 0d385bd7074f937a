"""Starts the test control server on free loopback ports and prepares the CA client environment.

Every server is started by this module and stopped by its PID; nothing else is touched.
"""
import json
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SERVER = os.path.abspath(os.environ.get("TELVIK_TEST_SERVER", "")) if os.environ.get("TELVIK_TEST_SERVER") else ""
PREFIX = "TQ:"
# Generous: the machine may be loaded; these are not performance limits.
START_TIMEOUT = 60.0


def free_udp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def ca_environment(server_port, repeater_port):
    env = dict(os.environ)
    env.update({
        "EPICS_CA_AUTO_ADDR_LIST": "NO",
        "EPICS_CA_ADDR_LIST": "127.0.0.1:%d" % server_port,
        "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1",
        "EPICS_CAS_AUTO_BEACON_ADDR_LIST": "NO",
        "EPICS_CAS_BEACON_ADDR_LIST": "127.255.255.255",
        "EPICS_CA_REPEATER_PORT": str(repeater_port),
        "EPICS_CAS_BEACON_PORT": str(repeater_port),
        "EPICS_CA_MAX_ARRAY_BYTES": "16777216",
    })
    return env


class Server:
    """One server process in its own working directory."""

    prefix = PREFIX

    def __init__(self, workdir=None, port=0, args=(), repeater_port=None, env_extra=None, env_remove=(),
                 open_files=None):
        """`env_remove` names variables the server must not see; `open_files` is its (soft, hard)
        limit of open descriptors."""
        self.env_extra = dict(env_extra or {})
        self.env_remove = tuple(env_remove)
        self.open_files = open_files
        if not SERVER or not os.path.exists(SERVER):
            raise RuntimeError("TELVIK_TEST_SERVER does not name the test server binary")
        self.workdir = workdir or tempfile.mkdtemp(prefix="telvik-e2e-")
        self.repeater_port = repeater_port or free_udp_port()
        self.requested_port = port
        self.args = list(args)
        self.proc = None
        self.port = None  # the search port
        self.tcp_port = None  # the circuits' port: another one when a server of this host had it
        self.stderr_lines = []
        self._stderr_done = threading.Event()

    def start(self):
        env = ca_environment(self.requested_port, self.repeater_port)
        env.update(self.env_extra)
        for name in self.env_remove:
            env.pop(name, None)
        limits = None
        if self.open_files is not None:
            limits = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, self.open_files)  # noqa: E731
        cmd = [SERVER, "--prefix", PREFIX, "--interface", "127.0.0.1", "--port", str(self.requested_port),
               "--beacon-address", "127.255.255.255:%d" % self.repeater_port] + self.args
        self.proc = subprocess.Popen(cmd, cwd=self.workdir, env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, preexec_fn=limits)
        found = threading.Event()

        def pump():
            for line in self.proc.stderr:
                self.stderr_lines.append(line.rstrip("\n"))
                m = re.search(r"serving \d+ channels .* on [0-9.]+:(\d+).* \(TCP port (\d+)\)", line)
                if m:
                    self.port = int(m.group(1))
                    self.tcp_port = int(m.group(2))
                    found.set()
            found.set()
            self._stderr_done.set()

        threading.Thread(target=pump, daemon=True).start()
        threading.Thread(target=self.proc.stdout.read, daemon=True).start()
        if not found.wait(START_TIMEOUT) or self.port is None:
            self.kill()
            raise RuntimeError("server did not start: %s" % "\n".join(self.stderr_lines))
        return self

    def env(self):
        return ca_environment(self.port, self.repeater_port)

    def stop(self, sig=signal.SIGTERM, timeout=60):
        """Signals the server by PID and returns its exit status."""
        if self.proc is None or self.proc.poll() is not None:
            return None if self.proc is None else self.proc.returncode
        os.kill(self.proc.pid, sig)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            return None

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        if self.proc is not None:
            self._stderr_done.wait(5)
            for f in (self.proc.stdout, self.proc.stderr):
                try:
                    f.close()
                except Exception:
                    pass

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stderr_text(self):
        self._stderr_done.wait(5)
        return "\n".join(self.stderr_lines)


def run_client(server, code, timeout=120, env_extra=None):
    """Runs pyepics code in a fresh process (its own CA context) and returns what it prints as JSON."""
    prelude = "import json, sys, time\nimport epics\nP = %r\n" % server.prefix
    env = server.env()
    env.update(env_extra or {})
    out = subprocess.run([sys.executable, "-c", prelude + code], env=env, capture_output=True,
                         text=True, timeout=timeout)
    if out.returncode != 0:
        raise RuntimeError("client failed (%d): %s %s" % (out.returncode, out.stdout, out.stderr))
    return json.loads(out.stdout.strip().splitlines()[-1])


def wait_until(predicate, timeout=30.0, step=0.02):
    """Polls a condition with a generous limit; the limit only guards against hanging."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def free_port():
    """A port free for both TCP and UDP on loopback (CA uses both)."""
    for _ in range(50):
        t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        t.bind(("127.0.0.1", 0))
        port = t.getsockname()[1]
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            u.bind(("127.0.0.1", port))
        except OSError:
            continue
        finally:
            u.close()
            t.close()
        return port
    raise RuntimeError("no free loopback port")


class QuellorOnSimulatedBoard:
    """quellor_board_sim and quellor_server in a private copy of deploy/ (own shared-memory object,
    free loopback port), as scripts/demo_live.sh runs them. Both are stopped by their PIDs.

    For the operator tool and the installed package also: `env_extra` for both programs,
    `start_sim=False` (start() leaves the board out; it arrives later, start_simulator()),
    `in_place` (run in `deploy` itself, a board's runtime directory, instead of a copy), `run_as`
    (words put before each program: runuser -u USER --), `persist` (the settings file)."""

    prefix = "QUELLOR:"

    def __init__(self, sim, server, deploy, server_args=(), meta=None, env_extra=None, start_sim=True,
                 in_place=False, run_as=(), persist="none"):
        import shutil
        self.in_place = in_place
        if in_place:
            self.workdir = deploy
        else:
            self.workdir = tempfile.mkdtemp(prefix="quellor-e2e-")
            shutil.copytree(deploy, self.workdir, dirs_exist_ok=True)
            for f in ("quellorctrl.xml", "quellorctrl.persist"):
                if os.path.exists(os.path.join(self.workdir, f)):
                    os.remove(os.path.join(self.workdir, f))
        if meta is not None:
            with open(os.path.join(self.workdir, "quellorctrl.meta"), "w") as f:
                f.write(meta)
        self.shm = "quellor-e2e-%d-%d" % (os.getpid(), id(self))
        dmap = os.path.join(self.workdir, "quellor.dmap")
        with open(dmap) as f:
            text = f.read()
        with open(dmap, "w") as f:
            f.write(text.replace("shm:quellor-board?", "shm:%s?" % self.shm))
        self.sim_bin, self.server_bin, self.server_args = sim, server, list(server_args)
        self.env_extra, self.start_sim, self.run_as, self.persist = dict(env_extra or {}), start_sim, list(run_as), persist
        self.port = free_port()
        self.repeater_port = free_udp_port()
        self.sim = self.server = None
        self.server_lines = []

    def env(self):
        env = ca_environment(self.port, self.repeater_port)
        env["EPICS_CAS_SERVER_PORT"] = str(self.port)
        env.update(self.env_extra)
        return env

    def server_text(self):
        return "\n".join(self.server_lines)

    def edit(self, name, pattern, replacement):
        """Changes a file of the runtime directory before the start (a regular expression)."""
        import re
        path = os.path.join(self.workdir, name)
        with open(path) as f:
            text = f.read()
        changed = re.sub(pattern, replacement, text)
        if changed == text:
            raise RuntimeError("%s: nothing matches %s" % (name, pattern))
        with open(path, "w") as f:
            f.write(changed)

    def shm_exists(self):
        return os.path.exists("/dev/shm/" + self.shm)

    def start(self):
        if self.start_sim:
            self.start_simulator()
            subprocess.run(self.run_as + ["./initHardware.py"], cwd=self.workdir, env=self.env(), check=True,
                           capture_output=True)
        return self.start_server()

    def start_simulator(self):
        """The board alone; a server that runs meanwhile opens it and runs its init script itself."""
        self.sim_log = open(os.path.join(self.workdir, "sim.log"), "w+")
        self.sim = subprocess.Popen(self.run_as + [self.sim_bin, "--tick-rate", "1000"], cwd=self.workdir,
                                    env=self.env(), stdout=self.sim_log, stderr=subprocess.STDOUT)
        if not wait_until(lambda: os.path.exists("/dev/shm/" + self.shm) and "board rebooted" in
                          open(self.sim_log.name).read(), START_TIMEOUT):
            self.stop()
            raise RuntimeError("quellor_board_sim did not start: " + open(self.sim_log.name).read())
        return self

    def start_server(self):
        """The server alone (again, after stop_server(); also without a simulator: it waits for its
        board then), on the same board and port."""
        self.server_lines = []
        self.server = subprocess.Popen(self.run_as + [self.server_bin, "--port", str(self.port), "--persist",
                                                      self.persist, "--trigger-rate", "10"] + self.server_args,
                                       cwd=self.workdir, env=self.env(), stdout=subprocess.DEVNULL,
                                       stderr=subprocess.PIPE, text=True)
        started = threading.Event()

        def pump():
            for line in self.server.stderr:
                self.server_lines.append(line.rstrip("\n"))
                if "serving" in line:
                    started.set()
            started.set()

        threading.Thread(target=pump, daemon=True).start()
        if not started.wait(START_TIMEOUT) or self.server.poll() is not None:
            self.stop()
            raise RuntimeError("quellor_server did not start: " + "\n".join(self.server_lines))
        return self

    def stop_server(self, sig=signal.SIGTERM):
        """Signals quellor_server by its PID and returns its exit status."""
        self.server.send_signal(sig)
        try:
            return self.server.wait(60)
        except subprocess.TimeoutExpired:
            os.kill(self.server.pid, signal.SIGKILL)
            return self.server.wait()

    def stop(self):
        for proc in (self.server, self.sim):
            if proc is not None and proc.poll() is None:
                os.kill(proc.pid, signal.SIGTERM)
                try:
                    proc.wait(60)
                except subprocess.TimeoutExpired:
                    os.kill(proc.pid, signal.SIGKILL)
                    proc.wait()
        if os.path.exists("/dev/shm/" + self.shm):
            os.remove("/dev/shm/" + self.shm)


def resident_kib(pid):
    """Resident memory of a process, KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0
