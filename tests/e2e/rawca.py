"""A deliberately minimal CA client on raw sockets, for sending what no well-behaved client sends."""
import socket
import struct

T = 30.0
EPICS_EPOCH = 631152000

VERSION, EVENT_ADD, EVENT_CANCEL, WRITE, ERROR, CLEAR_CHANNEL = 0, 1, 2, 4, 11, 12
READ_NOTIFY, CREATE_CHAN, WRITE_NOTIFY, CLIENT_NAME, HOST_NAME = 15, 18, 19, 20, 21
ACCESS_RIGHTS, ECHO, CREATE_CH_FAIL = 22, 23, 26
DBR_DOUBLE, DBR_LONG, DBR_TIME_DOUBLE = 6, 5, 20

ECA_NORMAL, ECA_TOLARGE, ECA_INTERNAL, ECA_BADCOUNT = 1, 72, 142, 176
ECA_NOWTACCESS, ECA_BADCHID, ECA_BADMONID = 376, 410, 242


def pad(b):
    return b + b"\0" * ((8 - len(b) % 8) % 8)


def header(cmd, size=0, dtype=0, count=0, p1=0, p2=0):
    if size >= 0xFFFF or count >= 0xFFFF:
        return struct.pack(">HHHHIIII", cmd, 0xFFFF, dtype, 0, p1, p2, size, count)
    return struct.pack(">HHHHII", cmd, size, dtype, count, p1, p2)


def message(cmd, payload=b"", dtype=0, count=0, p1=0, p2=0):
    payload = pad(payload)
    return header(cmd, len(payload), dtype, count, p1, p2) + payload


class Closed(Exception):
    pass


class RawClient:
    def __init__(self, port, rcvbuf=None, timeout=T):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf is not None:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", port))
        self.buf = b""

    def send(self, *parts):
        self.sock.sendall(b"".join(parts))

    def _read(self, n):
        while len(self.buf) < n:
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                raise Closed()
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def recv(self):
        """One message: (cmd, dtype, count, p1, p2, payload)."""
        cmd, size, dtype, count, p1, p2 = struct.unpack(">HHHHII", self._read(16))
        if size == 0xFFFF:
            size, count = struct.unpack(">II", self._read(8))
        return cmd, dtype, count, p1, p2, self._read(size)

    def recv_until(self, pred):
        while True:
            m = self.recv()
            if pred(m):
                return m

    def is_closed(self):
        """True when the server closed the circuit (all that is still buffered is skipped)."""
        try:
            while True:
                self.recv()
        except Closed:
            return True
        except socket.timeout:
            return False

    def hello(self, user="tester", host="localhost"):
        self.send(header(VERSION, 0, 0, 13), message(CLIENT_NAME, user.encode() + b"\0"),
                  message(HOST_NAME, host.encode() + b"\0"))

    def create(self, name, cid):
        """Returns (sid, native type, native count, rights) or None when the server refuses."""
        self.send(message(CREATE_CHAN, name.encode() + b"\0", 0, 0, cid, 13))
        rights = None
        while True:
            cmd, dtype, count, p1, p2, _ = self.recv()
            if cmd == ACCESS_RIGHTS and p1 == cid:
                rights = p2
            elif cmd == CREATE_CHAN and p1 == cid:
                return p2, dtype, count, rights
            elif cmd == CREATE_CH_FAIL and p1 == cid:
                return None

    def read(self, sid, dtype, count, ioid):
        self.send(header(READ_NOTIFY, 0, dtype, count, sid, ioid))
        return self.recv_until(lambda m: m[0] in (READ_NOTIFY, ERROR) and (m[0] == ERROR or m[4] == ioid))

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def time_double(payload):
    """(severity, posix time, value) of a DBR_TIME_DOUBLE image."""
    status, severity, secs, nsecs = struct.unpack(">hhII", payload[:12])
    value, = struct.unpack(">d", payload[16:24])
    return severity, secs + EPICS_EPOCH + nsecs * 1e-9, value
