#!/usr/bin/env python3
"""Checks that the README's settings table says what src/frame/settings.inc defines.

Each row must name the keys of settings.inc in their order, with the key's default, the
values its kind accepts and the line of what it controls. Run from anywhere; exits 1
and names every row that disagrees.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
ENTRY = re.compile(
    r'QJ_SETTING\(\s*(\w+),\s*(\w+),\s*(\w+),\s*(\w+),\s*(\w+),\s*"((?:[^"\\]|\\.)*)"\s*\)')
CONSTANT = re.compile(r'constexpr std::int32_t (k\w+) = ([^;]+);')
ROW = re.compile(r'^\| `(\w+)` \| ([^|]*) \| ([^|]*) \| (.*) \|$')


def number(token, constants):
    return int(eval(constants.get(token, token), {"__builtins__": {}}))


def expected_rows():
    inc = "\n".join(line for line in (ROOT / "src/frame/settings.inc").read_text().splitlines()
                    if not line.lstrip().startswith("//"))
    header = (ROOT / "src/frame/settings.h").read_text()
    constants = dict(CONSTANT.findall(header))
    rows = []
    previous = None
    for kind, key, default, low, high, doc in ENTRY.findall(inc):
        low, high = number(low, constants), number(high, constants)
        doc = doc.replace('\\"', '"')
        if kind == "Flag":
            accepted = ["as above"] if previous == "Flag" else ["any integer; on when not 0"]
            value = str(number(default, constants))
        elif kind == "Range":
            accepted = [f"{low} to {high}", f"{low} to {high} ("]  # a note may follow
            value = str(number(default, constants))
        elif kind == "Capped":
            accepted = [f"{low} to {high} (larger values are cut to {high})"]
            value = str(number(default, constants))
        elif kind in ("Name", "GivenName"):
            accepted = [f"one token of up to {high} characters"]
            value = "none"
        else:
            sys.exit(f"settings.inc: unknown kind {kind} of {key}")
        rows.append((key, value, accepted, doc))
        previous = kind
    return rows


def main():
    readme = (ROOT / "README.md").read_text().splitlines()
    found = [m.groups() for m in map(ROW.match, readme) if m]
    want = expected_rows()
    problems = []
    if [f[0] for f in found] != [w[0] for w in want]:
        problems.append("keys: README has %s, settings.inc has %s"
                        % ([f[0] for f in found], [w[0] for w in want]))
    for (key, value, accepted, doc), row in zip(want, found):
        if row[0] != key:
            continue
        if row[1] != value:
            problems.append(f"{key}: default {row[1]!r}, settings.inc says {value!r}")
        if not (row[2] == accepted[0] or (len(accepted) > 1 and row[2].startswith(accepted[1])
                                          and row[2].endswith(")"))):
            problems.append(f"{key}: accepted values {row[2]!r}, settings.inc says {accepted[0]!r}")
        if row[3] != doc:
            problems.append(f"{key}: {row[3]!r}, settings.inc says {doc!r}")
    for p in problems:
        print("README settings table:", p)
    if not want:
        problems.append("no keys found in settings.inc")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
