#!/usr/bin/python3
"""The Phoebus displays of deploy/displays: well-formed, written by their generator, and every PV
they name (with the macros each display is opened or embedded with) one that the server serves.

    test_displays.py XMLGEN_PROGRAM [unittest options]

The server's PV list is the variable list quellor_xmlgen writes for the example runtime directory
deploy/, with the default prefix: the same tree the server publishes.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DISPLAYS = os.path.join(SOURCE_DIR, "deploy", "displays")
XMLGEN = None
PV_TAGS = ("pv_name", "x_pv", "y_pv", "err_pv", "trigger_pv")
MACRO = re.compile(r"\$\((\w+)\)")


def server_pvs(prefix="QUELLOR:"):
    work = tempfile.mkdtemp(prefix="quellor-displays-")
    try:
        shutil.copytree(os.path.join(SOURCE_DIR, "deploy"), work, dirs_exist_ok=True)
        out = subprocess.run([XMLGEN], cwd=work, capture_output=True, text=True)
        if out.returncode != 0:
            raise RuntimeError("quellor_xmlgen failed: %s" % out.stderr)
        root = ET.parse(os.path.join(work, "quellorctrl.xml")).getroot()
        names = set()
        for v in root.iter("variable"):
            name = prefix + v.get("path").lstrip("/").replace("/", ":")
            names.add(name)
            # The server serves every text in full as a char array under NAME$ beside it.
            if v.get("type") == "string":
                names.add(name + "$")
        return names
    finally:
        shutil.rmtree(work)


def expand(text, macros, where):
    def one(m):
        if m.group(1) not in macros:
            raise AssertionError("%s: macro $(%s) has no value" % (where, m.group(1)))
        return macros[m.group(1)]
    for _ in range(5):  # macros may name macros ($(CH) given as "$(CH)" by a parent)
        text = MACRO.sub(one, text)
    return text


def macros_of(element):
    block = element.find("macros")
    return {} if block is None else {m.tag: (m.text or "") for m in block}


class Displays(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pvs = server_pvs()
        cls.files = sorted(f for f in os.listdir(DISPLAYS) if f.endswith(".bob"))
        cls.trees = {f: ET.parse(os.path.join(DISPLAYS, f)) for f in cls.files}

    def test_each_file_is_a_well_formed_display(self):
        self.assertEqual(self.files, ["quellor_board.bob", "quellor_channel.bob", "quellor_channel_row.bob",
                                      "quellor_overview.bob"])
        for name, tree in self.trees.items():
            root = tree.getroot()
            self.assertEqual(root.tag, "display", name)
            self.assertEqual(root.get("version"), "2.0.0", name)
            widgets = list(root.iter("widget"))
            self.assertTrue(widgets, name)
            names = [w.findtext("name") for w in widgets]
            self.assertEqual(len(names), len(set(names)), "%s: widget names repeat" % name)
            for w in widgets:
                self.assertTrue(w.get("type") and w.get("version"), name)
                for geometry in ("x", "y", "width", "height"):
                    self.assertRegex(w.findtext(geometry) or "", r"^\d+$", "%s: %s of %s" % (name, geometry,
                                                                                          w.findtext("name")))
            # Every display or embedded file a display opens is one of these.
            for f in root.iter("file"):
                self.assertIn(f.text, self.files, name)

    def uses(self):
        """(file, macros) for each file on its own and for every place that embeds or opens it."""
        out = []
        for name, tree in self.trees.items():
            own = macros_of(tree.getroot())
            out.append((name, own))
            for parent in tree.getroot().iter():
                f = parent.find("file")
                if f is None or parent.tag not in ("widget", "action"):
                    continue
                child_defaults = macros_of(self.trees[f.text].getroot())
                given = {k: expand(v, own, name) for k, v in macros_of(parent).items()}
                out.append((f.text, {**child_defaults, **own, **given}))
        return out

    def test_every_pv_is_served_with_the_macros_of_every_use(self):
        checked = set()
        for name, macros in self.uses():
            root = self.trees[name].getroot()
            for tag in PV_TAGS:
                for element in root.iter(tag):
                    if not (element.text or "").strip():
                        continue
                    pv = expand(element.text.strip(), macros, name)
                    checked.add(pv)
                    self.assertIn(pv, self.pvs, "%s (macros %s) names %s, which the server does not serve" %
                                  (name, macros, pv))
        # Both channels of the example configuration appear, through the overview's rows.
        for n in (0, 1):
            self.assertIn("QUELLOR:Channel%d:StateMachine:emergencyOff" % n, checked)
        # What the screens promise: plots of the DAC samples and the table, the board's words.
        for pv in ("QUELLOR:Channel0:dacVoltage", "QUELLOR:Channel0:controlTable",
                   "QUELLOR:PiezoInitHandler:initScriptOutput$", "QUELLOR:Board:driverBootStatus",
                   "QUELLOR:Devices:PiezoDriver:message$", "QUELLOR:Server:triggerNumber"):
            self.assertIn(pv, checked)
        print("%d distinct PVs checked against the %d the server serves" % (len(checked), len(self.pvs)))

    def test_buttons_write_what_the_state_machine_takes(self):
        row = self.trees["quellor_channel_row.bob"].getroot()
        writes = {(a.findtext("description"), a.findtext("pv_name"), a.findtext("value"))
                  for a in row.iter("action") if a.get("type") == "write_pv"}
        self.assertEqual(writes, {
            ("Enable", "$(P)Channel$(CH):StateMachine:requestedState", "1"),
            ("Disable", "$(P)Channel$(CH):StateMachine:requestedState", "0"),
            ("Reset", "$(P)Channel$(CH):StateMachine:resetError", "1"),
            ("Emergency off", "$(P)Channel$(CH):StateMachine:emergencyOff", "1"),
        })

    def test_the_files_are_what_the_generator_writes(self):
        out = tempfile.mkdtemp(prefix="quellor-displays-")
        try:
            subprocess.run([sys.executable, os.path.join(DISPLAYS, "make_displays.py"), "--output", out], check=True,
                           capture_output=True)
            for name in self.files:
                with open(os.path.join(out, name)) as generated, open(os.path.join(DISPLAYS, name)) as kept:
                    self.assertEqual(generated.read(), kept.read(),
                                     "%s differs from make_displays.py's output: run it again" % name)
        finally:
            shutil.rmtree(out)


if __name__ == "__main__":
    XMLGEN = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:])
