#!/usr/bin/env python3
"""Line and branch coverage of the sources below a folder, from the gcov data
of a build made with WAVORA_COVERAGE=ON after its tests have run.

    coverage.py BUILD_DIR [SOURCE_DIR] [--uncovered]

Runs gcov (JSON output) on every .gcda file of the build, merges the counts
of a source line over all objects that compiled it (headers are compiled
into many), and prints one row per file and the total. Branches on
exception paths are not counted: they are the compiler's unwinding edges,
not decisions of the code. --uncovered also lists the lines never run and
the lines with a branch never taken.
"""

import json
import os
import subprocess
import sys
from collections import defaultdict


def gcov_records(build_dir):
    """Yields the JSON record of every .gcda file below build_dir."""
    for folder, _, names in os.walk(build_dir):
        data_files = sorted(name for name in names if name.endswith(".gcda"))
        if not data_files:
            continue
        result = subprocess.run(
            ["gcov", "--stdout", "--json-format", "--branch-probabilities"] + data_files,
            cwd=folder, capture_output=True, text=True, check=False)
        for line in result.stdout.splitlines():
            line = line.strip()
            if line.startswith("{"):
                yield json.loads(line)


def collect(build_dir, source_dir):
    """Per file and line: the execution count and the taken count of each branch."""
    source_dir = os.path.realpath(source_dir) + os.sep
    lines = defaultdict(lambda: defaultdict(int))      # file -> line -> count
    branches = defaultdict(dict)                       # file -> (line, shape, index) -> taken
    for record in gcov_records(build_dir):
        for entry in record.get("files", []):
            # A compiler launcher that rewrites paths (ccache with a base
            # directory) leaves them relative to the compiler's directory.
            path = entry["file"]
            if not os.path.isabs(path):
                path = os.path.join(record.get("current_working_directory", build_dir), path)
            path = os.path.realpath(path)
            if not path.startswith(source_dir):
                continue
            for line in entry["lines"]:
                number = line["line_number"]
                lines[path][number] += line["count"]
                real = [b for b in line["branches"] if not b.get("throw", False)]
                # The same line compiled into several objects has the same
                # branches; the shape (their number) tells the copies apart
                # where inlining made them differ.
                for index, branch in enumerate(real):
                    key = (number, len(real), index)
                    branches[path][key] = branches[path].get(key, 0) + branch["count"]
    return lines, branches


def percent(part, whole):
    return 100.0 * part / whole if whole else 100.0


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    show_uncovered = "--uncovered" in argv
    if not args:
        print(__doc__)
        return 2
    build_dir = args[0]
    source_dir = args[1] if len(args) > 1 else os.path.join(os.path.dirname(__file__), "..", "src")
    lines, branches = collect(build_dir, source_dir)
    if not lines:
        print("no coverage data found below " + build_dir)
        return 1

    root = os.path.realpath(source_dir)
    total = [0, 0, 0, 0]
    print("%-44s %15s %17s" % ("file", "lines", "branches"))
    for path in sorted(lines):
        file_lines = lines[path]
        hit = sum(1 for count in file_lines.values() if count > 0)
        file_branches = branches.get(path, {})
        taken = sum(1 for count in file_branches.values() if count > 0)
        row = (hit, len(file_lines), taken, len(file_branches))
        total = [a + b for a, b in zip(total, row)]
        print("%-44s %5d/%-5d %5.1f%% %5d/%-5d %5.1f%%" % (
            os.path.relpath(path, root), row[0], row[1], percent(row[0], row[1]),
            row[2], row[3], percent(row[2], row[3])))
        if show_uncovered:
            missed = sorted(n for n, count in file_lines.items() if count == 0)
            partial = sorted({key[0] for key, count in file_branches.items()
                              if count == 0 and file_lines.get(key[0], 0) > 0})
            if missed:
                print("    lines never run: " + ", ".join(map(str, missed)))
            if partial:
                print("    branches never taken on lines: " + ", ".join(map(str, partial)))
    print("%-44s %5d/%-5d %5.1f%% %5d/%-5d %5.1f%%" % (
        "TOTAL", total[0], total[1], percent(total[0], total[1]),
        total[2], total[3], percent(total[2], total[3])))
    print("Line coverage: %.1f%%  Branch coverage: %.1f%%" % (
        percent(total[0], total[1]), percent(total[2], total[3])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
