"""quellor_board_sim and quellor_server together on a private copy of a runtime directory.

Own shared-memory object, a free loopback port, the EPICS loopback variables set; both processes
are started here and stopped by their PIDs, nothing else is touched.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading

from harness import wait_until  # noqa: F401 (the tests take it from here too)

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PYTHON = "/usr/bin/python3"


def free_port():
    """A port free for both TCP and UDP on loopback (CA uses both)."""
    for _ in range(50):
        t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        t.bind(("127.0.0.1", 0))
        port = t.getsockname()[1]
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            u.bind(("127.0.0.1", port))
            return port
        except OSError:
            continue
        finally:
            u.close()
            t.close()
    raise RuntimeError("no free loopback port")


def loopback_environment(port, repeater_port):
    env = dict(os.environ)
    env.update({
        "EPICS_CA_AUTO_ADDR_LIST": "NO",
        "EPICS_CA_ADDR_LIST": "127.0.0.1:%d" % port,
        "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1",
        "EPICS_CAS_AUTO_BEACON_ADDR_LIST": "NO",
        "EPICS_CAS_BEACON_ADDR_LIST": "127.255.255.255",
        "EPICS_CAS_SERVER_PORT": str(port),
        "EPICS_CA_REPEATER_PORT": str(repeater_port),
        "EPICS_CAS_BEACON_PORT": str(repeater_port),
    })
    return env


class Process:
    """A child whose output is collected line by line."""

    def __init__(self, argv, cwd, env):
        self.proc = subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True)
        self.lines = []
        self.done = threading.Event()
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))
        self.done.set()

    def text(self):
        return "\n".join(self.lines)

    def alive(self):
        return self.proc.poll() is None

    def stop(self, timeout=30):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.done.wait(5)
        self.proc.stdout.close()
        return self.proc.returncode


class Rig:
    """The simulator and the server on a copy of `runtime_dir` (default: the source tree's deploy/)."""

    def __init__(self, sim, server, runtime_dir=None, prefix="QUELLOR:", server_args=(), env_extra=None,
                 start_sim=True, in_place=False, run_as=(), persist="none"):
        """in_place: run in `runtime_dir` itself (its dmap is rewritten) instead of a copy.
        run_as: words put before each program (runuser -u USER --)."""
        self.sim_bin = os.path.abspath(sim)
        self.server_bin = os.path.abspath(server)
        self.in_place = in_place
        if in_place:
            self.workdir = runtime_dir
        else:
            self.workdir = tempfile.mkdtemp(prefix="quellor-rig-")
            shutil.copytree(runtime_dir or os.path.join(SOURCE_DIR, "deploy"), self.workdir, dirs_exist_ok=True)
            for leftover in ("quellorctrl.xml", "quellorctrl.persist"):
                if os.path.exists(os.path.join(self.workdir, leftover)):
                    os.unlink(os.path.join(self.workdir, leftover))
        self.run_as = list(run_as)
        self.persist = persist
        self.shm = "quellor-rig-%d-%d" % (os.getpid(), id(self) % 100000)
        dmap = os.path.join(self.workdir, "quellor.dmap")
        with open(dmap) as f:
            text = f.read()
        with open(dmap, "w") as f:
            f.write(re.sub(r"shm:[^?\s]+\?", "shm:%s?" % self.shm, text))
        self.prefix = prefix
        self.port = free_port()
        self.env = loopback_environment(self.port, free_port())
        self.env.update(env_extra or {})
        self.server_args = list(server_args)
        self.start_sim = start_sim
        self.sim = None
        self.server = None

    def start(self):
        if self.start_sim:
            self.start_simulator()
        self.server = Process(self.run_as + [self.server_bin, "--prefix", self.prefix, "--port", str(self.port),
                                             "--persist", self.persist, "--trigger-rate", "10"] + self.server_args,
                              self.workdir, self.env)
        if not wait_until(lambda: "serving" in self.server.text() or not self.server.alive(), 60):
            raise RuntimeError("quellor_server did not start:\n" + self.server.text())
        if not self.server.alive():
            raise RuntimeError("quellor_server ended:\n" + self.server.text())
        return self

    def start_simulator(self):
        self.sim = Process(self.run_as + [self.sim_bin, "--tick-rate", "1000"], self.workdir, self.env)
        if not wait_until(lambda: os.path.exists("/dev/shm/" + self.shm) and "board rebooted" in self.sim.text(), 30):
            raise RuntimeError("quellor_board_sim did not start:\n" + self.sim.text())

    def stop(self):
        status = None
        if self.server is not None:
            status = self.server.stop()
        if self.sim is not None:
            self.sim.stop()
        if os.path.exists("/dev/shm/" + self.shm):
            os.unlink("/dev/shm/" + self.shm)
        if not self.in_place:
            shutil.rmtree(self.workdir, ignore_errors=True)
        return status
