#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""One suite's CTest results, read from the JUnit file `ctest --output-junit`
writes: tests run, passed, failed and skipped, then each reason a test gave
for skipping, one line a reason. Exits 1 when a test skipped for want of
something this machine has (root, or BPF where the kernel runs it), so a green
suite means its tests ran.

    ctest_summary.py JUNIT_FILE SUITE [--can root] [--can bpf]
"""
import argparse
import re
import sys
import xml.etree.ElementTree as ElementTree

# What a skip reason says it lacked, by the words the tests use for it.
NEEDS = {
    "root": re.compile(r"\broot\b|CAP_[A-Z_]+|privilege", re.IGNORECASE),
    "bpf": re.compile(r"\bBPF\b|iterator|libbpf|\bBTF\b|\bstream\b|refuses the programs", re.IGNORECASE),
}


def skip_reason(output):
    """The text GoogleTest prints under "file:line: Skipped"; the test's
    last line of output when it gave none."""
    lines = output.splitlines()
    for i, line in enumerate(lines):
        if line.endswith(": Skipped") and i + 1 < len(lines) and lines[i + 1].strip():
            return lines[i + 1].strip()
    return "no reason given"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("junit")
    parser.add_argument("suite")
    parser.add_argument("--can", action="append", default=[], choices=sorted(NEEDS))
    args = parser.parse_args()

    try:
        cases = ElementTree.parse(args.junit).getroot().iter("testcase")
    except (OSError, ElementTree.ParseError) as error:
        print(f"{args.suite}: no test results to read ({error})")
        return 1
    run = failed = 0
    skipped = {}  # reason -> test names
    for case in cases:
        run += 1
        if case.find("skipped") is not None:
            reason = skip_reason(case.findtext("system-out") or "")
            skipped.setdefault(reason, []).append(case.get("name", "?"))
        elif case.find("failure") is not None or case.find("error") is not None or case.get("status") == "fail":
            failed += 1
    skips = sum(len(names) for names in skipped.values())
    print(f"{args.suite}: {run} tests, {run - failed - skips} passed, {failed} failed, {skips} skipped")
    wrongly = 0
    for reason, names in sorted(skipped.items(), key=lambda item: -len(item[1])):
        lacking = [need for need in args.can if NEEDS[need].search(reason)]
        mark = f" [this machine has {' and '.join(lacking)}: a failure]" if lacking else ""
        print(f"  skipped {len(names)}: {reason}{mark}")
        if lacking:
            wrongly += len(names)
            for name in names:
                print(f"    {name}")
    if wrongly:
        print(f"{args.suite}: {wrongly} tests skipped what this machine can run")
    return 1 if wrongly or failed or run == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
