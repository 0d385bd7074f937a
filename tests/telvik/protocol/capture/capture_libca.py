#!/usr/bin/python3
"""Records the bytes the real libca (through pyepics) sends to a CA server.

The literal vectors marked "libca" in tests/telvik/protocol/FramingTest.cpp, MessagesTest.cpp and
DbrLayoutTest.cpp come from a run of this script (output: libca-7.0.3.1.log): it serves, by hand and only as far as the client
needs, a DOUBLE, a STRING, an ENUM and a CHAR[256] PV, lets pyepics get, monitor, put and
disconnect, and prints every message in both directions as hex. libca accepting the replies (the
client prints the values it decoded) is what vouches for the server-side vectors.

Run by hand, not from ctest (it needs timeouts, and its output is meant to be read):
    /usr/bin/python3 tests/telvik/protocol/capture/capture_libca.py
Loopback only; the client is a child process that ends by itself and is killed by PID otherwise.
"""
import os
import select
import socket
import struct
import subprocess
import sys
import time

HOST = "127.0.0.1"


def bind_pair():
    """A TCP listener and a UDP socket on one free loopback port."""
    for _ in range(50):
        tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        tcp.bind((HOST, 0))
        port = tcp.getsockname()[1]
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            udp.bind((HOST, port))
        except OSError:
            tcp.close()
            udp.close()
            continue
        tcp.listen(4)
        return tcp, udp, port
    raise RuntimeError("no free port pair")


def free_udp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((HOST, 0))
    port = s.getsockname()[1]
    s.close()
    return port


def pad8(b):
    return b + b"\0" * (-len(b) % 8)


def header(cmd, size, dtype, count, p1, p2):
    if size >= 0xFFFF or count >= 0xFFFF:
        return struct.pack(">HHHHIIII", cmd, 0xFFFF, dtype, 0, p1, p2, size, count)
    return struct.pack(">HHHHII", cmd, size, dtype, count, p1, p2)


def message(cmd, dtype, count, p1, p2, payload=b"", min_size=0):
    payload = pad8(payload)
    if len(payload) < min_size:
        payload += b"\0" * (min_size - len(payload))
    return header(cmd, len(payload), dtype, count, p1, p2) + payload


def parse(buf):
    """Splits complete messages off the front of buf; returns (messages, rest)."""
    out = []
    while len(buf) >= 16:
        cmd, size, dtype, count, p1, p2 = struct.unpack(">HHHHII", buf[:16])
        hsize = 16
        if size == 0xFFFF:
            if len(buf) < 24:
                break
            size, count = struct.unpack(">II", buf[16:24])
            hsize = 24
        if len(buf) < hsize + size:
            break
        out.append((cmd, dtype, count, p1, p2, buf[hsize:hsize + size], buf[:hsize + size]))
        buf = buf[hsize + size:]
    return out, buf


# ---- the PVs, with the metadata the CTRL replies carry -------------------------------------------

STAMP = (1000000000, 500)  # seconds since 1990, nanoseconds
PVS = {
    "TS:DOUBLE": {"type": 6, "count": 1, "value": [1.5], "units": b"mm", "prec": 3,
                  "limits": [10.0, -10.0, 9.0, 8.0, -8.0, -9.0, 10.0, -10.0]},
    "TS:STR": {"type": 0, "count": 1, "value": [b"hello"]},
    "TS:ENUM": {"type": 3, "count": 1, "value": [1], "states": [b"Off", b"On"]},
    "TS:WAVE": {"type": 4, "count": 256, "value": list(b"hello world\0")},
}


def sts(pv):
    return struct.pack(">hh", 0, 0)


def values(pv, base, n):
    vals = pv["value"][:n]
    fmt = {1: ">h", 2: ">f", 3: ">H", 4: ">B", 5: ">i", 6: ">d"}
    out = b""
    for v in vals:
        if base == 0:
            out += (v if isinstance(v, bytes) else str(v).encode())[:39].ljust(40, b"\0")
        else:
            out += struct.pack(fmt[base], v)
    size = {0: 40, 1: 2, 2: 4, 3: 2, 4: 1, 5: 4, 6: 8}[base]
    return out + b"\0" * (size * (n - len(vals)))


def dbr(pv, dtype, n):
    """The DBR image for the few types pyepics asks for; None for anything else."""
    fam, base = divmod(dtype, 7)
    if base != pv["type"] or dtype > 34:
        return None
    if fam == 0:
        return values(pv, base, n)
    if fam == 1:
        pad = {0: 0, 3: 0, 4: 1, 6: 4}[base]
        return sts(pv) + b"\0" * pad + values(pv, base, n)
    if fam == 2:
        pad = {0: 0, 3: 2, 4: 3, 6: 4}[base]
        return sts(pv) + struct.pack(">II", *STAMP) + b"\0" * pad + values(pv, base, n)
    if fam == 4:
        if base == 6:
            meta = struct.pack(">hh", pv["prec"], 0) + pv["units"].ljust(8, b"\0")
            meta += struct.pack(">8d", *pv["limits"])
            return sts(pv) + meta + values(pv, base, n)
        if base == 3:
            states = b"".join(s.ljust(26, b"\0") for s in pv["states"]).ljust(16 * 26, b"\0")
            return sts(pv) + struct.pack(">h", len(pv["states"])) + states + values(pv, base, n)
        if base == 4:
            return sts(pv) + b"\0" * 8 + b"\0" * 8 + b"\0" + values(pv, base, n)
        if base == 0:
            return sts(pv) + values(pv, base, n)
    return None


def element_count(pv, requested):
    if requested:
        return requested
    if pv["type"] == 4:
        return pv["value"].index(0) + 1
    return len(pv["value"])


CLIENT = r"""
import sys, time, epics
v = epics.caget("TS:DOUBLE", timeout=5)
print("CLIENT caget TS:DOUBLE ->", v, flush=True)
pv = epics.PV("TS:DOUBLE")
pv.wait_for_connection(5)
c = pv.get_ctrlvars(timeout=5)
print("CLIENT ctrl TS:DOUBLE ->", c and (c["units"], c["precision"], c["upper_disp_limit"], c["lower_ctrl_limit"]), flush=True)
print("CLIENT caput wait ->", epics.caput("TS:DOUBLE", 2.25, wait=True, timeout=5), flush=True)
print("CLIENT caput nowait ->", epics.caput("TS:DOUBLE", 3.5), flush=True)
print("CLIENT caput str ->", epics.caput("TS:STR", "abc", wait=True, timeout=5), flush=True)
print("CLIENT caget str ->", epics.caget("TS:STR", timeout=5), flush=True)
print("CLIENT enum ->", epics.caget("TS:ENUM", as_string=True, timeout=5), flush=True)
print("CLIENT wave ->", epics.caget("TS:WAVE", as_string=True, timeout=5), flush=True)
print("CLIENT caput wave ->", epics.caput("TS:WAVE", "new", wait=True, timeout=5), flush=True)
time.sleep(1.6)  # EPICS_CA_CONN_TMO=1: one silent second makes libca send ECHO
epics.ca.finalize_libca()
print("CLIENT done", flush=True)
"""


def show(direction, transport, raw, note=""):
    print(f"{direction} {transport} {raw.hex()} {note}".rstrip(), flush=True)


def main():
    tcp, udp, port = bind_pair()
    env = dict(os.environ)
    env.update({
        "EPICS_CA_AUTO_ADDR_LIST": "NO",
        "EPICS_CA_ADDR_LIST": f"{HOST}:{port}",
        "EPICS_CA_SERVER_PORT": str(port),
        "EPICS_CA_REPEATER_PORT": str(free_udp_port()),
        "EPICS_CAS_INTF_ADDR_LIST": HOST,
        "EPICS_CAS_AUTO_BEACON_ADDR_LIST": "NO",
        "EPICS_CAS_BEACON_ADDR_LIST": "127.255.255.255",
        "EPICS_CA_CONN_TMO": "1",
    })
    client = subprocess.Popen(["/usr/bin/python3", "-c", CLIENT], env=env)
    conns = {}
    sids = {}
    next_sid = 100
    deadline = time.monotonic() + 60
    try:
        while client.poll() is None and time.monotonic() < deadline:
            ready, _, _ = select.select([tcp, udp] + list(conns), [], [], 0.2)
            for s in ready:
                if s is tcp:
                    c, _ = tcp.accept()
                    conns[c] = b""
                    v = message(0, 0, 13, 0, 0)
                    show("S>C", "tcp", v, "VERSION")
                    c.sendall(v)
                elif s is udp:
                    data, src = udp.recvfrom(0x10010)
                    show("C>S", "udp", data, "datagram")
                    msgs, _ = parse(data)
                    seq = 0
                    reply = b""
                    for cmd, dtype, count, p1, p2, payload, raw in msgs:
                        if cmd == 0:
                            seq = p1
                        elif cmd == 6 and payload.split(b"\0")[0].decode() in PVS:
                            reply += message(6, port, 0, 0xFFFFFFFF, p2, struct.pack(">H", 13))
                    if reply:
                        reply = message(0, 1, 13, seq, 0) + reply
                        show("S>C", "udp", reply, "search reply")
                        udp.sendto(reply, src)
                else:
                    data = s.recv(65536)
                    if not data:
                        del conns[s]
                        s.close()
                        continue
                    msgs, conns[s] = parse(conns[s] + data)
                    for cmd, dtype, count, p1, p2, payload, raw in msgs:
                        show("C>S", "tcp", raw, f"cmd={cmd}")
                        out = b""
                        if cmd == 18:
                            name = payload.split(b"\0")[0].decode()
                            pv = PVS[name]
                            sid = next_sid
                            next_sid += 1
                            sids[sid] = pv
                            out = message(22, 0, 0, p1, 3) + message(18, pv["type"], pv["count"], p1, sid)
                        elif cmd in (1, 15):
                            pv = sids[p1]
                            n = element_count(pv, count)
                            data_ = dbr(pv, dtype, n)
                            if data_ is None:
                                out = message(cmd, dtype, 0, 114, p2)
                            else:
                                out = message(cmd, dtype, n, 1, p2, data_, 8 if cmd == 1 else 0)
                        elif cmd == 2:
                            out = message(1, dtype, count, p1, p2)
                        elif cmd == 12:
                            out = message(12, 0, 0, p1, p2)
                        elif cmd == 19:
                            out = message(19, dtype, count, 1, p2)
                        elif cmd == 23:
                            out = raw
                        if out:
                            show("S>C", "tcp", out)
                            s.sendall(out)
    finally:
        if client.poll() is None:
            client.kill()
        client.wait()
        for c in conns:
            c.close()
        tcp.close()
        udp.close()
    return client.returncode


if __name__ == "__main__":
    sys.exit(main())
