"""Turns the RESULT lines of bench/run.sh into one table and a JSON file.

Usage: report.py RESULTS_FILE JSON_FILE COMMIT
"""
import json
import os
import sys


def main():
    rows = [json.loads(line[len("RESULT "):]) for line in open(sys.argv[1]) if line.startswith("RESULT ")]
    for r in rows:
        v, b = r["value"], r["baseline_value"]
        r["ratio"] = (v / b) if b not in (0, None) and v is not None and v >= 0 else None
    meta = {"commit": sys.argv[3], "cores": os.cpu_count(), "load_average": os.getloadavg()}
    with open(sys.argv[2], "w") as f:
        json.dump({"meta": meta, "figures": rows}, f, indent=1)
    print("commit %s, %d cores, load average %.2f %.2f %.2f (a shared machine)"
          % ((meta["commit"], meta["cores"]) + tuple(meta["load_average"])))
    w = max(len(r["figure"]) for r in rows)
    print("%-*s | %18s | %-40s | %8s" % (w, "figure", "value", "baseline (same run)", "ratio"))
    print("-" * (w + 76))
    for r in rows:
        value = "n/a" if r["value"] is not None and r["value"] < 0 else "%.4g %s" % (r["value"], r["unit"])
        base = "%s %.4g" % (r["baseline"], r["baseline_value"])
        ratio = "-" if r["ratio"] is None else "%.3g" % r["ratio"]
        print("%-*s | %18s | %-40s | %8s" % (w, r["figure"], value, base[:40], ratio))
    print("JSON: %s" % sys.argv[2])


if __name__ == "__main__":
    main()
