#!/usr/bin/python3
"""A few Channel Access steps against quellor_server on the board simulator, printed as it goes.

Run by scripts/demo_live.sh with the EPICS loopback variables set. Exit status 0 when every step
saw what it expected, 1 otherwise.
"""

import argparse
import json
import sys
import time

try:
    import epics
except ImportError:
    print("demo: pyepics is not installed for /usr/bin/python3 (Debian package python3-pyepics)")
    sys.exit(1)

failures = []
# What the plot shows, filled as the steps go.
record = {"ramp": [], "dac": [], "table": [], "dc": None, "tableSampleRate": None, "dacCodesPerVolt": 1000.0}


def pv(name):
    return ARGS.prefix + name


def get(name, as_string=False):
    return epics.caget(pv(name), timeout=3, as_string=as_string)


def put(name, value):
    print("  caput %s %s" % (pv(name), value))
    if epics.caput(pv(name), value, wait=True, timeout=3) is None:
        failures.append("caput %s failed" % pv(name))


def wait_for(what, condition, timeout):
    """Polls condition() until it is true; the demo may wait, it only has to say what it waited for."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    failures.append(what)
    print("  ! no %s within %g s" % (what, timeout))
    return None


def state():
    return {0: "DISABLED", 1: "ENABLED", 2: "ERROR", 3: "DISABLING"}.get(get("Channel0:StateMachine:currentState"), "?")


def step(title):
    print("\n== " + title)


def main():
    step("connect to %s (trigger)" % pv("Server:triggerNumber"))
    if not wait_for("connection to the server", lambda: get("Server:triggerNumber") is not None, 15):
        return
    # The server answers before the board is open; its registers flow once initHardware.py has run.
    wait_for("register values from the board", lambda: (get("Sim:ticks") or 0) > 0, 15)
    print("  trigger %s, board boot status %s, protection monitor %s, simulator cycles %s" %
          (get("Server:triggerNumber"), get("Board:driverBootStatus"), get("Board:hwProtectionMonitor"),
           get("Sim:ticks")))
    output = get("PiezoInitHandler:initScriptOutput$", as_string=True) or ""
    print("  init script said: %s" % (output.strip().splitlines() or ["(nothing)"])[-1])

    step("enable Channel0")
    print("  state %s" % state())
    put("Channel0:StateMachine:requestedState", 1)
    wait_for("ENABLED state", lambda: state() == "ENABLED", 5)
    print("  state %s, load relay %s" % (state(), get("Channel0:loadRelayControl")))

    step("DC setpoint 3 V: the step limiter ramps Channel0:dcVoltage by 0.5 V per trigger")
    # Every value the step limiter writes carries the version of the trigger it stepped on, so the
    # time stamps pair each board voltage with its trigger number.
    triggers = {}
    ramp = []
    trigger_pv = epics.PV(pv("Server:triggerNumber"),
                          callback=lambda value=None, timestamp=None, **_: triggers.__setitem__(timestamp, value))
    dc_pv = epics.PV(pv("Channel0:dcVoltage"),
                     callback=lambda value=None, timestamp=None, **_: ramp.append((timestamp, value)))
    trigger_pv.wait_for_connection(timeout=3)
    dc_pv.wait_for_connection(timeout=3)
    put("Channel0:VoltageSumLimiter:dcVoltageSetpoint", 3.0)
    seen = []

    def ramped():
        v = get("Channel0:dcVoltage")
        if v is not None and (not seen or v != seen[-1]):
            seen.append(v)
            dac = get("Channel0:dacVoltage")
            print("  dcVoltage %5.2f V   DAC sample %s codes (1 mV each)" % (v, dac[0] if dac is not None else "?"))
        return v is not None and abs(v - 3.0) < 1e-9

    wait_for("ramp to 3 V", ramped, 10)
    time.sleep(0.3)  # two more triggers: the flat end of the ramp
    trigger_pv.clear_callbacks()
    dc_pv.clear_callbacks()
    latest = None
    for stamp, volts in ramp:
        latest = triggers.get(stamp, latest)
        if latest is not None:
            record["ramp"].append((latest, volts))
    # The value before the ramp comes from before the first step: one trigger earlier.
    if ramp and record["ramp"] and triggers.get(ramp[0][0]) is None:
        record["ramp"].insert(0, (record["ramp"][0][0] - 1, ramp[0][1]))

    step("feed-forward: a one-period 20 Hz sine of 2 V, 5 ms after the trigger, played over the DC bias")
    put("Channel0:FeedforwardCompensation:frequency", 20.0)
    put("Channel0:FeedforwardCompensation:delay", 5.0)
    put("Channel0:FeedforwardCompensation:nPeriods", 1)
    put("Channel0:VoltageSumLimiter:acVoltageSetpoint", 2.0)
    put("Channel0:StateMachine:enableFeedforward", 1)
    wait_for("table mode SYNC in the firmware", lambda: get("Channel0:appliedTableMode") == 1, 5)

    def dac_follows_the_table():
        dac = get("Channel0:dacVoltage")
        return dac is not None and max(dac) - min(dac) > 1000 and list(dac)

    dac = wait_for("DAC samples of the sine", dac_follows_the_table, 5)
    table = get("Channel0:controlTable")
    if dac:
        print("  DAC samples (mV): %s" % " ".join("%d" % v for v in dac))
        record["dac"] = [int(v) for v in dac]
    if table is not None:
        print("  controlTable: %d samples, from %.3f V to %.3f V" % (len(table), min(table), max(table)))
        record["table"] = [float(v) for v in table]
    record["dc"] = get("Channel0:dcVoltage")
    record["tableSampleRate"] = get("Configuration:FeedforwardCompensation:controlTableSampleRate")
    put("Channel0:StateMachine:enableFeedforward", 0)

    step("a setpoint beyond the drive range is refused")
    put("Channel0:VoltageSumLimiter:dcVoltageSetpoint", 150.0)
    message = wait_for("input-rejected message",
                       lambda: get("Channel0:inputRejectedMessage$", as_string=True), 5)
    print("  Channel0:inputRejectedMessage: %s" % message)
    print("  setpoint back at %s V" % get("Channel0:VoltageSumLimiter:dcVoltageSetpoint"))

    step("fault injection: the simulator trips the hardware protection")
    put("Sim:tripProtection", 1)
    wait_for("ERROR state", lambda: state() == "ERROR", 5)
    print("  state %s: %s" % (state(), get("Channel0:StateMachine:errorMessage$", as_string=True)))
    put("Sim:tripProtection", 0)
    delay = get("Configuration:StateMachine:errorResetDelay") or 2.0
    print("  waiting for the error reset delay (%g s)" % delay)
    time.sleep(delay + 0.5)
    put("Channel0:StateMachine:resetError", 1)
    wait_for("DISABLED state after the reset", lambda: state() == "DISABLED", 10)
    print("  state %s, protection monitor %s" % (state(), get("Board:hwProtectionMonitor")))

    step("fault injection: the board reboots; the server notices and runs initHardware.py again")
    reboots = get("Sim:reboots") or 0
    statuses = []
    monitor = epics.PV(pv("Board:driverBootStatus"), callback=lambda value=None, **_: statuses.append(value))
    monitor.wait_for_connection(timeout=3)
    put("Sim:reboot", 1)
    wait_for("reboot in the simulator", lambda: (get("Sim:reboots") or 0) > reboots, 5)
    # The server's poll sees the 0, its watchdog makes the device recover, and the init script
    # marks the board again.
    wait_for("boot status 0, then non-zero", lambda: 0 in statuses and statuses[-1] != 0, 15)
    monitor.clear_callbacks()
    print("  boot status as the server published it: %s" % " -> ".join("%g" % v for v in statuses))
    print("  simulator reboots %s, boot status %s" % (get("Sim:reboots"), get("Board:driverBootStatus")))
    output = get("PiezoInitHandler:initScriptOutput$", as_string=True) or ""
    print("  init script said: %s" % (output.strip().splitlines() or ["(nothing)"])[-1])
    put("Sim:reboot", 0)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--prefix", default="QUELLOR:")
    parser.add_argument("--record", metavar="FILE", help="write what the plot shows as JSON")
    ARGS = parser.parse_args()
    main()
    if ARGS.record:
        with open(ARGS.record, "w") as f:
            json.dump(record, f)
    if failures:
        print("\ndemo: %d step(s) did not show what they should: %s" % (len(failures), "; ".join(failures)))
        sys.exit(1)
    print("\ndemo: every step showed what it should")
