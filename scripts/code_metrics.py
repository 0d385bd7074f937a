#!/usr/bin/env python3
"""Size figures of the C++ tree, for comparing two commits: files and lines, the longest files and
the longest functions (a definition whose body opens at the end of an unindented line, measured
by matching braces; member functions defined inside a class are not counted).

    scripts/code_metrics.py [CHECKOUT]        (default: this checkout)
"""
import os
import subprocess
import sys


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    if len(sys.argv) > 2 or root in ("-h", "--help"):
        print(__doc__.strip())
        return 0 if root in ("-h", "--help") else 2
    listed = subprocess.run(["git", "-C", root, "ls-files", "*.cpp", "*.hpp", "*.h", "*.cc"],
                            capture_output=True, text=True, check=True).stdout.split()
    sizes, functions = [], []
    for name in listed:
        lines = open(os.path.join(root, name), errors="replace").read().split("\n")
        sizes.append((len(lines), name))
        i = 0
        while i < len(lines):
            line = lines[i]
            opens_body = (line and not line[0].isspace() and line.rstrip().endswith("{")
                          and "(" in "".join(lines[max(0, i - 4):i + 1])
                          and not line.startswith(("namespace", "struct", "class", "enum", "union",
                                                   "extern", "#", "//"))
                          and "=" not in line.split("(")[0])
            if not opens_body:
                i += 1
                continue
            depth, j = 0, i
            while j < len(lines):
                depth += lines[j].count("{") - lines[j].count("}")
                if depth <= 0 and "}" in lines[j]:
                    break
                j += 1
            functions.append((j - i + 1, f"{name}:{i + 1}", line.strip()[:90]))
            i = j + 1
    sizes.sort(reverse=True)
    functions.sort(reverse=True)
    print("files:", len(sizes), "lines:", sum(n for n, _ in sizes))
    print("longest files:")
    for entry in sizes[:5]:
        print("  %5d %s" % entry)
    print("longest functions:")
    for entry in functions[:5]:
        print("  %5d %s  %s" % entry)
    return 0


if __name__ == "__main__":
    sys.exit(main())
