"""Raw protocol abuse against quellor_server on the simulated board: broken framing, lying sizes,
requests for what does not exist, floods of channels, subscriptions and circuits, and datagrams
of every wrong shape. After each case the server is alive, a circuit opened before it still
works, and a fresh client is served within 1 s.

To add a case: a function taking the running rig (and returning nothing) in CASES below."""
import os
import socket
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rig  # noqa: E402
from rig import DBR_DOUBLE, header, message, rawca  # noqa: E402

ECHO, WRITE, EVENT_ADD, EVENT_CANCEL = rawca.ECHO, rawca.WRITE, rawca.EVENT_ADD, rawca.EVENT_CANCEL
READ_NOTIFY, CREATE_CHAN, CLIENT_NAME = rawca.READ_NOTIFY, rawca.CREATE_CHAN, rawca.CLIENT_NAME
NAME = rig.PREFIX + "Server:triggerNumber"


def subscription(sid, sub, dtype=DBR_DOUBLE, count=1):
    return message(EVENT_ADD, struct.pack(">fffHH", 0, 0, 0, 5, 0), dtype, count, sid, sub)


def closes(r, data, half_close=False):
    """Sends `data` on a fresh circuit; the server must close that circuit."""
    c = r.client()
    c.send(data)
    if half_close:
        c.sock.shutdown(socket.SHUT_WR)
    assert c.is_closed(), "the circuit stayed open after %r" % data[:32]
    c.close()


def answers(r, request, status):
    """Sends request(sid of a channel) on a fresh circuit; the server must answer with an error of
    that status and keep the circuit."""
    c = r.client()
    sid = c.create(NAME, 1)[0]
    data = request(sid)
    c.send(data)
    m = c.recv_until(lambda m: m[0] == rawca.ERROR)
    assert m[4] == status, "status %d, not %d, for %r" % (m[4], status, data[:32])
    cmd, _, _, read_status, _, _ = c.read(sid, DBR_DOUBLE, 1, 99)
    assert (cmd, read_status) == (READ_NOTIFY, rig.ECA_NORMAL), "the circuit did not survive %r" % data[:32]
    c.close()


def datagram(r, data):
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        u.sendto(data, ("127.0.0.1", r.port))
    finally:
        u.close()


# --- TCP framing --------------------------------------------------------------------------------
def misaligned_size(r):
    closes(r, header(ECHO, 5) + b"\0" * 5)


def garbage(r):
    closes(r, b"\xde\xad\xbe\xef" * 64)


def extended_header_misaligned(r):
    closes(r, header(WRITE, 0x10001, DBR_DOUBLE, 1, 1, 1))


def cut_off_by_end_of_stream(r):
    closes(r, header(CREATE_CHAN, 16, 0, 0, 1, 13) + b"Server:t", half_close=True)


def one_byte_then_end(r):
    closes(r, b"\x00", half_close=True)


def payload_of_a_gigabyte_announced(r):
    c = r.client()
    sid = c.create(NAME, 1)[0]
    c.send(header(WRITE, 1 << 30, DBR_DOUBLE, 1 << 27, sid, 1))
    m = c.recv_until(lambda m: m[0] == rawca.ERROR)
    assert m[4] == rawca.ECA_TOLARGE, m
    c.close()


# --- requests for what does not exist -----------------------------------------------------------
def unknown_command(r):
    answers(r, lambda sid: header(99, 0, 0, 0, 1, 2), rawca.ECA_INTERNAL)


def unknown_channel(r):
    answers(r, lambda sid: header(READ_NOTIFY, 0, DBR_DOUBLE, 1, sid + 12345, 6), rawca.ECA_BADCHID)


def unknown_subscription(r):
    answers(r, lambda sid: header(EVENT_CANCEL, 0, DBR_DOUBLE, 1, sid, 999), rawca.ECA_BADMONID)


def huge_counts(r):
    answers(r, lambda sid: header(READ_NOTIFY, 0, DBR_DOUBLE, 0x7FFFFFFF, sid, 8), rawca.ECA_BADCOUNT)
    answers(r, lambda sid: subscription(sid, 3, DBR_DOUBLE, 0xFFFFFFF0), rawca.ECA_BADCOUNT)


def bad_channel_names(r):
    c = r.client()
    for cid, name in enumerate([b"", b"x" * 10000, b"NO:SUCH:PV", b"\xff\xfe\x00", NAME.encode() + b".NOFIELD",
                                NAME.encode() + b"$$$"], start=10):
        c.send(message(CREATE_CHAN, name + b"\0", 0, 0, cid, 13))
        c.recv_until(lambda m: m[0] in (rawca.CREATE_CH_FAIL, CREATE_CHAN, rawca.ERROR) and m[3] == cid or
                     m[0] == rawca.ERROR)
    assert c.create(NAME, 99) is not None
    c.close()


def name_without_terminator(r):
    c = r.client()
    c.send(message(CREATE_CHAN, b"Q" * 24, 0, 0, 5, 13))
    c.send(message(CLIENT_NAME, b"u" * 60000))
    c.sock.settimeout(2)
    try:
        while True:
            c.recv()
    except (socket.timeout, rawca.Closed):
        pass
    c.close()


# --- floods -------------------------------------------------------------------------------------
def ten_thousand_channels_on_one_circuit(r):
    c = r.client()
    c.send(b"".join(message(CREATE_CHAN, NAME.encode() + b"\0", 0, 0, cid, 13) for cid in range(1, 10001)))
    answered = 0
    c.sock.settimeout(30)
    while answered < 10000:
        m = c.recv()
        if m[0] in (CREATE_CHAN, rawca.CREATE_CH_FAIL) or (m[0] == rawca.ERROR):
            answered += 1
    c.close()


def twenty_thousand_subscriptions(r):
    c = r.client()
    sid = c.create(NAME, 1)[0]
    c.send(b"".join(subscription(sid, sub) for sub in range(1, 20001)))
    # Whatever the server makes of it (subscriptions or refusals), the circuit must keep answering.
    c.sock.settimeout(30)
    c.send(header(ECHO))
    c.recv_until(lambda m: m[0] == ECHO)
    c.close()


def three_hundred_idle_circuits(r):
    held = []
    try:
        for _ in range(300):
            s = socket.create_connection(("127.0.0.1", r.port), timeout=10)
            held.append(s)
        r.fresh_client_served()
    finally:
        for s in held:
            s.close()


def five_hundred_connect_and_reset(r):
    for _ in range(500):
        s = socket.create_connection(("127.0.0.1", r.port), timeout=10)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()


def a_client_that_never_reads(r):
    c = rawca.RawClient(r.port, rcvbuf=4096)
    c.hello()
    sid = c.create(rig.PREFIX + "Channel0:controlTable", 1)[0]
    c.send(b"".join(header(READ_NOTIFY, 0, DBR_DOUBLE, 65536, sid, i) for i in range(50)))
    r.fresh_client_served()
    c.close()


# --- datagrams ----------------------------------------------------------------------------------
def datagrams_of_every_wrong_shape(r):
    search = rig.SEARCH
    for data in [b"", b"\x00", b"\x00\x06\x00\x05garbage", b"\xff" * 65507,
                 header(search, 0xFFF0, 5, 13, 1, 1),
                 header(rawca.VERSION, 0, 1, 13, 7, 0) + message(search, b"x" * 10000 + b"\0", 5, 13, 1, 1),
                 b"".join(message(search, NAME.encode() + b"\0", 5, 13, i, i) for i in range(900)),
                 header(search, 8, 5, 13, 1, 1) + b"NOTERMIN"]:
        datagram(r, data)


CASES = [
    misaligned_size, garbage, extended_header_misaligned, cut_off_by_end_of_stream, one_byte_then_end,
    payload_of_a_gigabyte_announced, unknown_command, unknown_channel, unknown_subscription, huge_counts,
    bad_channel_names, name_without_terminator, ten_thousand_channels_on_one_circuit,
    twenty_thousand_subscriptions, three_hundred_idle_circuits, five_hundred_connect_and_reset,
    a_client_that_never_reads, datagrams_of_every_wrong_shape,
]


class ProtocolAbuse(unittest.TestCase):
    def test_every_case_leaves_the_server_serving(self):
        with rig.Rig() as r:
            r.start_sim().start_server()
            bystander = r.client()
            sid = bystander.create(NAME, 1)[0]
            for case in CASES:
                with self.subTest(case=case.__name__):
                    case(r)
                    self.assertTrue(r.server.alive(), r.server.stderr_text())
                    cmd, _, _, status, _, _ = bystander.read(sid, DBR_DOUBLE, 1, 1)
                    self.assertEqual((cmd, status), (READ_NOTIFY, rig.ECA_NORMAL))
                    r.fresh_client_served()
            bystander.close()
            self.assertEqual(r.server.stop(), 0, r.server.stderr_text())


if __name__ == "__main__":
    unittest.main()
