#!/usr/bin/python3
"""Draws what the live demo recorded (scripts/demo_ca.py --record) into a PNG.

    demo_plot.py RECORD.json OUT.png

Left: the DC voltage on the board against the trigger number, the step limiter's ramp. Right:
the feed-forward table over the table's time window, and the board's DAC samples, which show the
table over the DC bias, evenly decimated. Exit status 0 when the PNG is written, 1 otherwise.
"""
import json
import sys


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    try:
        import matplotlib
        matplotlib.use("Agg")  # no display needed
        import matplotlib.pyplot as plt
    except ImportError:
        print("demo_plot: matplotlib is missing for /usr/bin/python3 (Debian package python3-matplotlib)",
              file=sys.stderr)
        return 1
    with open(argv[0]) as f:
        record = json.load(f)
    ramp, table, dac = record["ramp"], record["table"], record["dac"]
    missing = [name for name, data in (("DC ramp", ramp), ("control table", table), ("DAC samples", dac)) if not data]
    if missing:
        print("demo_plot: the recording has no %s" % ", ".join(missing), file=sys.stderr)
        return 1

    rate = float(record.get("tableSampleRate") or 1e6)
    per_volt = float(record.get("dacCodesPerVolt") or 1000.0)
    dc = float(record.get("dc") or 0.0)
    table_ms = [1000.0 * k / rate for k in range(len(table))]
    # The simulator's DAQ buffer holds element k * length / n of the table for each of its n samples.
    dac_ms = [1000.0 * (k * len(table) // len(dac)) / rate for k in range(len(dac))]

    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 4.8), constrained_layout=True)
    fig.suptitle("Quellor live demo: Channel0 on the simulated board")

    triggers = [t for t, _ in ramp]
    left.step(triggers, [v for _, v in ramp], where="post", color="tab:blue", marker="o", label="Channel0:dcVoltage")
    left.set_xlabel("trigger number (Server:triggerNumber)")
    left.set_ylabel("DC voltage on the board [V]")
    left.set_title("DC ramp: at most 0.5 V per trigger")
    left.grid(True, alpha=0.3)
    left.legend(loc="lower right")

    right.plot(table_ms, table, color="tab:orange", label="feed-forward table (Channel0:controlTable)")
    right.plot(table_ms, [dc + v for v in table], color="tab:green", alpha=0.5, linestyle="--",
               label="table + DC bias %.1f V" % dc)
    right.plot(dac_ms, [v / per_volt for v in dac], color="tab:red", marker="o", linestyle="none",
               label="DAC samples (Channel0:dacVoltage)")
    right.set_xlabel("time after the trigger [ms]")
    right.set_ylabel("voltage [V]")
    right.set_title("Feed-forward table and DAC samples")
    right.grid(True, alpha=0.3)
    right.legend(loc="lower left", fontsize="small")

    fig.savefig(argv[1], dpi=100)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
