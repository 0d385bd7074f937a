#!/usr/bin/env python3
"""Brings the piezo driver board into its working state.

quellor_server runs this script (no arguments, in its working directory) every time it opens the
board: at start-up and after every recovery, for example after a reboot of the board. It finds the
board through the device map, maps its register file, reports what it finds and marks the board
initialised by writing a non-zero Board/driverBootStatus; a board that reboots clears the word, and
the server's reboot watchdog sees the 0.

Exit status 0 when the board is initialised, 1 on any failure (with one line saying why on
standard error), 2 on bad options. Python 3 standard library only.
"""

import argparse
import mmap
import os
import stat
import struct
import sys

DEFAULT_DMAP = "quellor.dmap"
DEFAULT_ALIAS = "PiezoDriver"
BOOT_STATUS = "Board/driverBootStatus"
CHANNEL_REPORT = ("loadRelayControl", "dcVoltage", "controlTableMode", "appliedTableMode")


class InitError(Exception):
    """A failure that makes the initialisation fail; the text says what and where."""


class Register:
    def __init__(self, path, elements, offset, nbytes, kind, width, frac, signed, access, line):
        self.path = path
        self.elements = elements
        self.offset = offset
        self.nbytes = nbytes
        self.kind = kind
        self.width = width
        self.frac = frac
        self.signed = signed
        self.access = access
        self.line = line

    @property
    def end(self):
        return self.offset + self.elements * self.nbytes

    def decode(self, words):
        """The value of one element from its 32-bit words (low word first)."""
        raw = words[0] | (words[1] << 32 if len(words) > 1 else 0)
        if self.kind == "ieee754":
            if self.width == 32:
                return struct.unpack("=f", struct.pack("=I", raw & 0xFFFFFFFF))[0]
            return struct.unpack("=d", struct.pack("=Q", raw))[0]
        raw &= (1 << self.width) - 1
        if self.signed and raw >> (self.width - 1):
            raw -= 1 << self.width
        return raw if self.frac == 0 else raw / 2.0 ** self.frac

    def encode(self, value):
        """The words of one element holding value, rounded to nearest and clamped to the range."""
        if self.kind == "ieee754":
            if self.width == 32:
                return [struct.unpack("=I", struct.pack("=f", value))[0]]
            raw = struct.unpack("=Q", struct.pack("=d", value))[0]
        else:
            scaled = value * 2.0 ** self.frac
            raw = int(scaled + 0.5) if scaled >= 0 else -int(-scaled + 0.5)
            low = -(1 << (self.width - 1)) if self.signed else 0
            high = (1 << (self.width - 1)) - 1 if self.signed else (1 << self.width) - 1
            raw = max(low, min(high, raw)) & ((1 << self.width) - 1)
        return [raw & 0xFFFFFFFF] if self.nbytes == 4 else [raw & 0xFFFFFFFF, raw >> 32]


def normalise(path):
    return path if path.startswith("/") else "/" + path


def tokens_of(line):
    return line.split("#", 1)[0].split()


def read_text(path, what):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError as e:
        raise InitError("cannot read the %s %s: %s" % (what, path, e.strerror or e)) from None


def find_device(dmap_file, alias):
    """(URI, backend, target, map file) of alias; relative paths from the dmap's directory."""
    base = os.path.dirname(os.path.abspath(dmap_file))
    known = []
    for number, line in enumerate(read_text(dmap_file, "device map").splitlines(), 1):
        tokens = tokens_of(line)
        if not tokens:
            continue
        if len(tokens) != 2:
            raise InitError("%s:%d: expected 'ALIAS URI'" % (dmap_file, number))
        known.append(tokens[0])
        if tokens[0] != alias:
            continue
        uri = tokens[1]
        scheme, colon, rest = uri.partition(":")
        if not colon:
            raise InitError("%s:%d: URI '%s' names no backend" % (dmap_file, number, uri))
        target, _, query = rest.partition("?")
        map_file = None
        for param in filter(None, query.split("&")):
            key, _, value = param.partition("=")
            if key == "map" and value:
                map_file = os.path.normpath(os.path.join(base, value))
        if map_file is None:
            raise InitError("%s:%d: URI '%s' has no map=FILE parameter" % (dmap_file, number, uri))
        if scheme == "dummy":
            raise InitError("%s:%d: device '%s' (%s) is the in-process dummy of the server; "
                            "this script cannot reach its registers" % (dmap_file, number, alias, uri))
        if scheme == "shm":
            if not target or "/" in target:
                raise InitError("%s:%d: bad shm object name in URI '%s'" % (dmap_file, number, uri))
            return uri, scheme, "/dev/shm/" + target, map_file
        if scheme == "mmap":
            if not target:
                raise InitError("%s:%d: mmap: needs a file path in URI '%s'" % (dmap_file, number, uri))
            return uri, scheme, os.path.normpath(os.path.join(base, target)), map_file
        raise InitError("%s:%d: unknown backend '%s' in URI '%s'" % (dmap_file, number, scheme, uri))
    raise InitError("%s: no device '%s' (devices: %s)" % (dmap_file, alias, ", ".join(known) or "none"))


def parse_map(map_file):
    """{path or alias: Register} of a register map."""
    registers = {}
    aliases = []
    for number, line in enumerate(read_text(map_file, "register map").splitlines(), 1):
        t = tokens_of(line)
        if not t:
            continue
        where = "%s:%d" % (map_file, number)
        if t[0] == "alias":
            if len(t) != 3:
                raise InitError("%s: an alias line reads 'alias ALIASPATH TARGETPATH'" % where)
            aliases.append((normalise(t[1]), normalise(t[2]), where))
            continue
        if t[0] in ("operator", "heartbeat"):
            # How the server uses a register; the server checks these lines, nothing to do here.
            if len(t) != 2:
                raise InitError("%s: a %s line reads '%s PATH'" % (where, t[0], t[0]))
            continue
        if len(t) != 9:
            raise InitError("%s: expected 9 columns, found %d" % (where, len(t)))
        try:
            reg = Register(normalise(t[0]), int(t[1], 0), int(t[2], 0), int(t[3], 0), t[4], int(t[5], 0),
                           int(t[6], 0), t[7] == "1", t[8], number)
        except ValueError:
            raise InitError("%s: bad number in '%s'" % (where, line.strip())) from None
        if reg.nbytes not in (4, 8) or reg.offset % 4 or reg.elements < 1:
            raise InitError("%s: register '%s' has a bad size or offset" % (where, reg.path))
        if reg.kind not in ("fixed", "ieee754", "void"):
            raise InitError("%s: unknown type '%s'" % (where, reg.kind))
        if reg.kind == "fixed" and not 1 <= reg.width <= 8 * reg.nbytes:
            raise InitError("%s: bad width %d" % (where, reg.width))
        if reg.kind == "ieee754" and reg.width != 8 * reg.nbytes:
            raise InitError("%s: bad ieee754 width %d" % (where, reg.width))
        registers[reg.path] = reg
    for alias, target, where in aliases:
        if target not in registers:
            raise InitError("%s: alias '%s' names unknown register '%s'" % (where, alias, target))
        registers[alias] = registers[target]
    if not registers:
        raise InitError("%s: no registers" % map_file)
    return registers


class Board:
    """The mapped register file; every access is one aligned 32-bit word."""

    def __init__(self, file_name, size, backend):
        try:
            fd = os.open(file_name, os.O_RDWR)
        except OSError as e:
            # Only the simulator makes a shared-memory board; the server never does.
            hint = " (is quellor_board_sim running?)" if backend == "shm" else ""
            raise InitError("cannot open the register file %s: %s%s" % (file_name, e.strerror, hint)) from None
        try:
            info = os.fstat(fd)
            # A device file (UIO, PCIe resource) has no meaningful size; a plain file or a
            # shared-memory object that is too short would fault on access.
            if stat.S_ISREG(info.st_mode) and info.st_size < size:
                raise InitError("the register file %s is %d bytes, its map needs %d" % (file_name, info.st_size, size))
            try:
                self.memory = mmap.mmap(fd, size, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
            except (OSError, ValueError) as e:
                raise InitError("cannot map %d bytes of %s: %s" % (size, file_name, e)) from None
        finally:
            os.close(fd)

    def words(self, reg, element=0):
        n = reg.nbytes // 4
        base = reg.offset + element * reg.nbytes
        return [struct.unpack_from("=I", self.memory, base + 4 * k)[0] for k in range(n)]

    def read(self, reg, element=0):
        return reg.decode(self.words(reg, element))

    def write(self, reg, value, element=0):
        base = reg.offset + element * reg.nbytes
        for k, word in enumerate(reg.encode(value)):
            struct.pack_into("=I", self.memory, base + 4 * k, word)

    def close(self):
        self.memory.close()


def show(value):
    return "%g" % value if isinstance(value, float) else str(value)


def initialise(dmap_file, alias, boot_status, out):
    uri, backend, file_name, map_file = find_device(dmap_file, alias)
    registers = parse_map(map_file)
    if "/" + BOOT_STATUS not in registers:
        raise InitError("%s: no register '/%s', which marks the board initialised" % (map_file, BOOT_STATUS))
    size = max(r.end for r in registers.values())
    out("device %s: %s, from %s" % (alias, uri, dmap_file))
    out("register map %s: %d registers, %d bytes" % (map_file, len(set(map(id, registers.values()))), size))

    board = Board(file_name, size, backend)
    try:
        status = registers["/" + BOOT_STATUS]
        before = board.read(status)
        out("register file %s mapped; %s reads %s (%s)" %
            (file_name, BOOT_STATUS, show(before), "the board needs initialising" if before == 0 else "initialised before"))
        monitor = registers.get("/Board/hwProtectionMonitor")
        if monitor is not None and monitor.kind != "void":
            out("Board/hwProtectionMonitor: %s" % ("tripped" if board.read(monitor) else "ok"))
        n = 0
        while "/Channel%d/dcVoltage" % n in registers:
            parts = []
            for name in CHANNEL_REPORT:
                reg = registers.get("/Channel%d/%s" % (n, name))
                if reg is not None and reg.kind != "void":
                    parts.append("%s %s" % (name, show(board.read(reg))))
            out("Channel%d: %s" % (n, ", ".join(parts)))
            n += 1
        out("%d channels on the board" % n)

        board.write(status, boot_status)
        after = board.read(status)
        if after != boot_status:
            raise InitError("%s reads %s after writing %d to it" % (BOOT_STATUS, show(after), boot_status))
        out("set %s = %d: board initialised" % (BOOT_STATUS, boot_status))
    finally:
        board.close()


def main(argv):
    parser = argparse.ArgumentParser(
        prog="initHardware.py",
        description="Initialise the piezo driver board named by a device map: map its register file, "
                    "print a report and set %s non-zero." % BOOT_STATUS)
    parser.add_argument("--dmap", default=os.environ.get("QUELLOR_DMAP", DEFAULT_DMAP),
                        help="device map file (default: $QUELLOR_DMAP, else %s in the working directory)" % DEFAULT_DMAP)
    parser.add_argument("--alias", default=DEFAULT_ALIAS, help="device alias (default %s)" % DEFAULT_ALIAS)
    parser.add_argument("--boot-status", type=int, default=1, metavar="N",
                        help="value that marks the board initialised, 1..4294967295 (default 1)")
    args = parser.parse_args(argv)
    if not 1 <= args.boot_status <= 0xFFFFFFFF:
        parser.error("--boot-status must be 1..4294967295: a 0 means a board that has just rebooted")

    def out(line):
        print("initHardware.py: " + line, flush=True)

    try:
        initialise(args.dmap, args.alias, args.boot_status, out)
    except InitError as e:
        print("initHardware.py: error: %s" % e, file=sys.stderr, flush=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
