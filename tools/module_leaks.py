"""Reads LeakSanitizer logs of an interpreter run and reports the leaks
allocated through the extension: records whose stack passes through the
_vrim module or the project's sources. The interpreter's own leftovers at
exit are counted but not judged. Exits 1 when the extension leaked.

    python3 tools/module_leaks.py ROOT LOG...
"""

import re
import sys

RECORD = re.compile(r"^(Direct|Indirect) leak of .*?(?=^(?:Direct|Indirect) leak of |^SUMMARY|\Z)",
                    re.M | re.S)


def records(text):
    return [m.group(0).rstrip() for m in RECORD.finditer(text)]


def main(root, logs):
    markers = ["_vrim", root.rstrip("/") + "/src/", root.rstrip("/") + "/python/src/"]
    ours, others = [], 0
    for path in logs:
        with open(path, errors="replace") as f:
            for record in records(f.read()):
                if any(marker in record for marker in markers):
                    ours.append(record)
                else:
                    others += 1
    for record in ours:
        print(record, end="\n\n")
    print(f"leaks through the extension: {len(ours)}; "
          f"interpreter leftovers at exit: {others}")
    return 1 if ours else 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2:]))
