#!/usr/bin/python3
"""Writes the Phoebus operator displays of a Quellor server.

    make_displays.py [--channels N] [--prefix P] [--output DIR]

quellor_overview.bob       every channel: state in its colour, enable, disable, reset, emergency off,
                           DC setpoint and read-back, error and rejected-input texts
quellor_channel_row.bob    one row of the overview (macros P, CH), embedded once per channel
quellor_channel.bob        one channel for experts (macros P, CH): feed-forward parameters, the DAC
                           samples and the control table as plots, relays and table modes
quellor_board.bob          the board (macro P): device status and message, boot status, protection
                           monitor, init script output, server health, configuration

The files in this folder are written for the two channels of deploy/quellorctrl_base_config.xml;
a board with more channels gets its overview with --channels. Every display names its PVs through
the macro P (default QUELLOR:), so one set of files serves every board of a host.
Python 3 standard library only.
"""

import argparse
import os
import sys
from xml.sax.saxutils import escape

STATE_COLOURS = [  # value, name, colour (red, green, blue)
    (0, "DISABLED", (160, 160, 160)),
    (1, "ENABLED", (0, 180, 0)),
    (2, "ERROR", (220, 0, 0)),
    (3, "DISABLING", (240, 170, 0)),
]
# Health variables of the server's directory "Server" shown on the board screen. More join here
# when the server publishes them.
SERVER_HEALTH = [("Trigger number", "Server:triggerNumber", "")]
CONFIGURATION = [
    ("Channels", "Configuration:nChannels", ""),
    ("Max. drive voltage", "Configuration:maxDriveVoltage", "V"),
    ("Max. DC step per trigger", "Configuration:maxDCVoltageStep", "V"),
    ("Error reset delay", "Configuration:StateMachine:errorResetDelay", "s"),
    ("DAC off threshold", "Configuration:StateMachine:dacVoltageOffThreshold", "mV"),
    ("Protection reports ignored", "Configuration:maxHwMonitorIgnores", ""),
    ("DAC samples", "Configuration:daqTableLength", ""),
    ("Table length", "Configuration:FeedforwardCompensation:controlTableLength", ""),
    ("Table sample rate", "Configuration:FeedforwardCompensation:controlTableSampleRate", "Hz"),
]


def colour(rgb, name=None):
    named = ' name="%s"' % name if name else ""
    return '<color%s red="%d" green="%d" blue="%d"></color>' % (named, rgb[0], rgb[1], rgb[2])


class Display:
    def __init__(self, title, width, height, macros):
        self.title = title
        self.width = width
        self.height = height
        self.macros = macros
        self.widgets = []
        self.count = 0

    def add(self, kind, version, x, y, w, h, body, name=None):
        self.count += 1
        name = name or "%s_%d" % (kind, self.count)
        self.widgets.append(
            '  <widget type="%s" version="%s">\n    <name>%s</name>\n%s    <x>%d</x>\n    <y>%d</y>\n'
            '    <width>%d</width>\n    <height>%d</height>\n  </widget>\n' %
            (kind, version, escape(name), body, x, y, w, h))

    # -- widgets ---------------------------------------------------------------------------------

    def label(self, x, y, w, text, h=20, bold=False, size=14):
        font = ""
        if bold or size != 14:
            font = ('    <font>\n      <font family="Liberation Sans" style="%s" size="%.1f"></font>\n    </font>\n' %
                    ("BOLD" if bold else "REGULAR", size))
        self.add("label", "2.0.0", x, y, w, h, "    <text>%s</text>\n%s" % (escape(text), font))

    def update(self, x, y, w, pv, h=20, text=False, units=True, wrap=False, colour_rules=None):
        # A text's bare name reads as a DBR_STRING of 39 characters; NAME$ is the whole text, a
        # character array shown as a string.
        body = "    <pv_name>%s</pv_name>\n" % escape(pv + "$" if text else pv)
        if text:
            body += "    <format>6</format>\n"
        if not units:
            body += "    <show_units>false</show_units>\n"
        if wrap:
            body += "    <wrap_words>true</wrap_words>\n    <vertical_alignment>0</vertical_alignment>\n"
        if colour_rules:
            body += colour_rules
        self.add("textupdate", "2.0.0", x, y, w, h, body)

    def entry(self, x, y, w, pv, h=22):
        self.add("textentry", "3.0.0", x, y, w, h, "    <pv_name>%s</pv_name>\n" % escape(pv))

    def led(self, x, y, pv, on=(220, 0, 0), off=(0, 180, 0), size=20):
        self.add("led", "2.0.0", x, y, size, size,
                 "    <pv_name>%s</pv_name>\n    <off_color>\n      %s\n    </off_color>\n"
                 "    <on_color>\n      %s\n    </on_color>\n" % (escape(pv), colour(off), colour(on)))

    def state(self, x, y, w, pv, h=22):
        """The channel state as text on its colour, read as a number or as an enum alike."""
        rules = "    <rules>\n"
        rules += '      <rule name="state colour" prop_id="background_color" out_exp="false">\n'
        for value, _, rgb in STATE_COLOURS:
            rules += '        <exp bool_exp="pv0 == %d">\n          <value>%s</value>\n        </exp>\n' % (value, colour(rgb))
        rules += "        <pv_name>%s</pv_name>\n      </rule>\n    </rules>\n" % escape(pv)
        states = "".join("      <state>\n        <value>%d</value>\n        <label>%s</label>\n"
                         "        <color>%s</color>\n      </state>\n" % (v, n, colour(c))
                         for v, n, c in STATE_COLOURS)
        self.add("multi_state_led", "2.0.0", x, y, h, h,
                 "    <pv_name>%s</pv_name>\n    <states>\n%s    </states>\n" % (escape(pv), states))
        self.update(x + h + 6, y, w - h - 6, pv, h, units=False,
                    colour_rules=rules + "    <transparent>false</transparent>\n    <horizontal_alignment>1</horizontal_alignment>\n")

    def button(self, x, y, w, text, pv, value, h=24, confirm=None, background=None):
        action = ('      <action type="write_pv">\n        <pv_name>%s</pv_name>\n        <value>%s</value>\n'
                  '        <description>%s</description>\n      </action>\n' % (escape(pv), value, escape(text)))
        body = "    <actions>\n%s    </actions>\n    <text>%s</text>\n" % (action, escape(text))
        body += "    <tooltip>%s = %s</tooltip>\n" % (escape(pv), value)
        if confirm:
            body += "    <confirm_dialog>true</confirm_dialog>\n    <confirm_message>%s</confirm_message>\n" % escape(confirm)
        if background:
            body += "    <background_color>\n      %s\n    </background_color>\n" % colour(background)
        self.add("action_button", "3.0.0", x, y, w, h, body)

    def open_button(self, x, y, w, text, file, macros, h=24):
        m = "".join("<%s>%s</%s>" % (k, escape(v), k) for k, v in macros.items())
        body = ('    <actions>\n      <action type="open_display">\n        <file>%s</file>\n'
                '        <macros>%s</macros>\n        <target>tab</target>\n        <description>%s</description>\n'
                '      </action>\n    </actions>\n    <text>%s</text>\n' % (file, m, escape(text), escape(text)))
        self.add("action_button", "3.0.0", x, y, w, h, body)

    def embed(self, x, y, w, h, file, macros):
        m = "".join("      <%s>%s</%s>\n" % (k, escape(v), k) for k, v in macros.items())
        self.add("embedded", "2.0.0", x, y, w, h,
                 "    <file>%s</file>\n    <macros>\n%s    </macros>\n    <resize>2</resize>\n" % (file, m))

    def plot(self, x, y, w, h, title, pv, x_title, y_title, trace):
        body = ("    <title>%s</title>\n    <show_legend>false</show_legend>\n"
                "    <x_axis>\n      <title>%s</title>\n      <autoscale>true</autoscale>\n    </x_axis>\n"
                "    <y_axes>\n      <y_axis>\n        <title>%s</title>\n        <autoscale>true</autoscale>\n"
                "      </y_axis>\n    </y_axes>\n"
                "    <traces>\n      <trace>\n        <name>%s</name>\n        <x_pv></x_pv>\n"
                "        <y_pv>%s</y_pv>\n        <err_pv></err_pv>\n        <axis>0</axis>\n"
                "        <trace_type>1</trace_type>\n        <color>%s</color>\n        <line_width>2</line_width>\n"
                "      </trace>\n    </traces>\n" % (escape(title), escape(x_title), escape(y_title), escape(trace),
                                                     escape(pv), colour((0, 90, 200))))
        self.add("xyplot", "3.0.0", x, y, w, h, body)

    def text(self):
        macros = "".join("    <%s>%s</%s>\n" % (k, escape(v), k) for k, v in self.macros.items())
        return ('<?xml version="1.0" encoding="UTF-8"?>\n<!-- Written by deploy/displays/make_displays.py -->\n'
                '<display version="2.0.0">\n  <name>%s</name>\n  <macros>\n%s  </macros>\n  <width>%d</width>\n'
                '  <height>%d</height>\n%s</display>\n' %
                (escape(self.title), macros, self.width, self.height, "".join(self.widgets)))


ROW_HEIGHT = 62
ROW_WIDTH = 1380


def channel_row(prefix):
    d = Display("Quellor channel $(CH)", ROW_WIDTH, ROW_HEIGHT, {"P": prefix, "CH": "0"})
    c = "$(P)Channel$(CH):"
    d.label(4, 4, 90, "Channel $(CH)", h=22, bold=True)
    d.state(96, 4, 130, c + "StateMachine:currentState")
    d.button(236, 3, 70, "Enable", c + "StateMachine:requestedState", 1)
    d.button(310, 3, 70, "Disable", c + "StateMachine:requestedState", 0)
    d.button(384, 3, 70, "Reset", c + "StateMachine:resetError", 1)
    d.button(458, 3, 110, "Emergency off", c + "StateMachine:emergencyOff", 1,
             confirm="Open the load relay of channel $(CH) and put it into ERROR?", background=(230, 60, 40))
    d.label(580, 5, 40, "DC")
    d.entry(612, 4, 90, c + "VoltageSumLimiter:dcVoltageSetpoint")
    d.update(708, 5, 100, c + "dcVoltage")
    d.open_button(1300, 3, 76, "Expert", "quellor_channel.bob", {"CH": "$(CH)"})
    d.label(4, 34, 50, "Error:")
    d.update(52, 34, 500, c + "StateMachine:errorMessage", text=True, units=False)
    d.label(560, 34, 70, "Rejected:")
    d.update(630, 34, 746, c + "inputRejectedMessage", text=True, units=False)
    return d


def overview(prefix, channels):
    top = 70
    d = Display("Quellor overview", ROW_WIDTH + 20, top + channels * (ROW_HEIGHT + 6) + 20, {"P": prefix})
    d.label(10, 8, 500, "Quellor piezo driver $(P)", h=30, bold=True, size=20)
    d.label(10, 42, 60, "Board:")
    d.led(62, 42, "$(P)Devices:PiezoDriver:status")
    d.update(90, 42, 900, "$(P)Devices:PiezoDriver:message", text=True, units=False)
    d.label(1000, 42, 120, "Protection:")
    d.led(1080, 42, "$(P)Board:hwProtectionMonitor")
    d.open_button(1300, 38, 90, "Board", "quellor_board.bob", {})
    for n in range(channels):
        d.embed(10, top + n * (ROW_HEIGHT + 6), ROW_WIDTH, ROW_HEIGHT, "quellor_channel_row.bob", {"CH": str(n)})
    return d


def section(d, y, title, rows):
    """A heading and one line per (title, pv, kind): an entry (True), a read-back (False) or a
    lamp (None). Returns where the next line goes."""
    d.label(10, y, 300, title, bold=True)
    for i, (text, pv, kind) in enumerate(rows):
        yy = y + 26 + i * 26
        d.label(10, yy, 170, text)
        if kind is None:
            d.led(180, yy, pv, on=(0, 180, 0), off=(160, 160, 160))
        else:
            (d.entry if kind else d.update)(180, yy, 120, pv)
    return y + 26 + len(rows) * 26


def switch(d, y, title, pv):
    """A Boolean operator setting: its value and an On and an Off button. Returns the next line."""
    d.label(10, y, 170, title)
    d.update(180, y, 60, pv, units=False)
    d.button(244, y - 1, 40, "On", pv, 1, h=22)
    d.button(288, y - 1, 40, "Off", pv, 0, h=22)
    return y + 26


def channel_expert(prefix):
    d = Display("Quellor channel $(CH) expert", 1240, 880, {"P": prefix, "CH": "0"})
    c = "$(P)Channel$(CH):"
    d.label(10, 8, 600, "Channel $(CH) of $(P)", h=30, bold=True, size=20)
    d.state(10, 48, 160, c + "StateMachine:currentState")
    d.button(180, 47, 70, "Enable", c + "StateMachine:requestedState", 1)
    d.button(254, 47, 70, "Disable", c + "StateMachine:requestedState", 0)
    d.button(328, 47, 70, "Reset", c + "StateMachine:resetError", 1)
    d.button(402, 47, 120, "Emergency off", c + "StateMachine:emergencyOff", 1,
             confirm="Open the load relay of channel $(CH) and put it into ERROR?", background=(230, 60, 40))

    setpoints = [
        ("DC setpoint", c + "VoltageSumLimiter:dcVoltageSetpoint", True),
        ("AC amplitude setpoint", c + "VoltageSumLimiter:acVoltageSetpoint", True),
        ("DC setpoint (limited)", c + "StateMachine:dcVoltageSetpoint", False),
        ("DC setpoint (applied)", c + "DcVoltageStepLimiter:dcVoltageSetpoint", False),
        ("DC on the board", c + "dcVoltage", False),
    ]
    section(d, 90, "Setpoints", setpoints)
    ff = [
        ("Frequency", c + "FeedforwardCompensation:frequency", True),
        ("Delay", c + "FeedforwardCompensation:delay", True),
        ("Periods", c + "FeedforwardCompensation:nPeriods", True),
        ("Amplitude (limited)", c + "FeedforwardCompensation:amplitude", False),
        ("Table mode requested", c + "controlTableMode", False),
        ("Table mode applied", c + "appliedTableMode", False),
        ("Table buffer", c + "swapControlTable", False),
    ]
    y = section(d, 260, "Feed-forward", ff)
    y = switch(d, y, "Feed-forward to output", c + "StateMachine:enableFeedforward")
    switch(d, y, "User table instead", c + "FeedforwardCompensation:disableFFComputation")

    relays = [
        ("Load relay closed", c + "loadRelayControl", None),
        ("Actuator/sensor swapped", c + "actuatorSensorRelayControl", None),
        ("Firmware feedback", c + "enableFeedback", None),
    ]
    y = section(d, 560, "Relays and feedback", relays)
    y = switch(d, y, "Swap request", c + "StateMachine:actuatorSensorRelayControl")
    switch(d, y, "Feedback request", c + "StateMachine:enableFeedback")

    d.plot(360, 48, 860, 330, "DAC output (dacVoltage)", c + "dacVoltage", "sample", "DAC code (1 mV)",
           "dacVoltage")
    d.plot(360, 390, 860, 330, "Feed-forward table (controlTable)", c + "controlTable",
           "sample (at the table sample rate)", "V", "controlTable")

    y = 735
    d.label(10, y, 110, "Error:")
    d.update(120, y, 1100, c + "StateMachine:errorMessage", text=True, units=False)
    d.label(10, y + 26, 110, "Rejected:")
    d.update(120, y + 26, 1000, c + "inputRejectedMessage", text=True, units=False)
    d.button(1126, y + 25, 94, "Clear", c + "clearInputRejectedMessage", 1)
    d.label(10, y + 52, 110, "State machine:")
    d.update(120, y + 52, 1100, c + "StateMachine:inputRejectedMessage", text=True, units=False)
    d.label(10, y + 78, 110, "Limiter / FF:")
    d.update(120, y + 78, 545, c + "VoltageSumLimiter:inputRejectedMessage", text=True, units=False)
    d.update(675, y + 78, 545, c + "FeedforwardCompensation:inputRejectedMessage", text=True, units=False)
    return d


def board(prefix):
    d = Display("Quellor board", 900, 700, {"P": prefix})
    d.label(10, 8, 600, "Board of $(P)", h=30, bold=True, size=20)
    d.label(10, 50, 150, "Device faulty")
    d.led(160, 50, "$(P)Devices:PiezoDriver:status")
    d.label(10, 76, 150, "Last fault")
    d.update(160, 76, 720, "$(P)Devices:PiezoDriver:message", h=40, text=True, units=False, wrap=True)
    d.label(10, 124, 150, "Boot status")
    d.update(160, 124, 120, "$(P)Board:driverBootStatus", units=False)
    d.label(300, 124, 180, "(0: rebooted, not initialised)")
    d.label(10, 150, 150, "Protection tripped")
    d.led(160, 150, "$(P)Board:hwProtectionMonitor")
    d.label(10, 180, 300, "Init script output (initHardware.py)", bold=True)
    d.update(10, 204, 870, "$(P)PiezoInitHandler:initScriptOutput", h=200, text=True, units=False, wrap=True)

    d.label(10, 420, 300, "Server", bold=True)
    for i, (title, pv, _) in enumerate(SERVER_HEALTH):
        d.label(10, 446 + i * 26, 190, title)
        d.update(200, 446 + i * 26, 140, "$(P)" + pv, units=False)
    y = 446 + len(SERVER_HEALTH) * 26 + 16
    d.label(10, y, 300, "Configuration", bold=True)
    for i, (title, pv, _) in enumerate(CONFIGURATION):
        col, row = divmod(i, 5)
        d.label(10 + col * 440, y + 26 + row * 26, 190, title)
        d.update(200 + col * 440, y + 26 + row * 26, 140, "$(P)" + pv)
    return d


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--channels", type=int, default=2, help="rows of the overview (default 2)")
    parser.add_argument("--prefix", default="QUELLOR:", help="default of the macro P (default QUELLOR:)")
    parser.add_argument("--output", default=os.path.dirname(os.path.abspath(__file__)),
                        help="folder to write to (default: this script's)")
    args = parser.parse_args(argv)
    if args.channels < 1:
        parser.error("--channels must be at least 1")
    files = {
        "quellor_overview.bob": overview(args.prefix, args.channels),
        "quellor_channel_row.bob": channel_row(args.prefix),
        "quellor_channel.bob": channel_expert(args.prefix),
        "quellor_board.bob": board(args.prefix),
    }
    os.makedirs(args.output, exist_ok=True)
    for name, display in files.items():
        with open(os.path.join(args.output, name), "w", encoding="utf-8") as f:
            f.write(display.text())
    print("wrote %s to %s" % (", ".join(files), args.output))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
