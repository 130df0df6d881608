#!/usr/bin/env python3
"""Turns a Quorrick leak or error report into call stacks a person can read.

Every site line of a leak report keeps its statistics; below it each return address
becomes

    #N 0xADDRESS in function at file:line [module+0xOFFSET]

An error report (error.txt) lists the addresses of its sites one per line below the
headings "allocated at" and "released at": each becomes such a frame line.

The report's module list says which binary holds an address and where it was loaded;
llvm-symbolizer (Debian package llvm) or binutils' addr2line reads the binary's debug
information. llvm-symbolizer names inlined functions better and is used when installed.
Binaries are looked up by the
path the report names, then by file name in each --search-dir (reports from Windows name
modules by file name only). Frames without debug information keep their module offset.

    python3 tools/symbolize_leaks.py leaks.txt
    python3 tools/symbolize_leaks.py leaks.txt --search-dir build/examples --strip-prefix "$PWD/"
    python3 tools/symbolize_leaks.py RUN_DIR/prog.4242/error.txt -o error.symbolized.txt

On a terminal, work that takes more than a second shows its progress on standard error as
one updating line ("symbolizing: 12,000 / 131,000 addresses"); nothing is shown otherwise.
"""

import argparse
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
import time

MODULE_LINE = re.compile(r"^module (.*) 0x([0-9a-fA-F]+) 0x([0-9a-fA-F]+)$")
SITE_LINE = re.compile(r"^(alloc depth=(\d+) .*?maxAllocSize=-?\d+) ?(.*)$")
ADDRESS_LINE = re.compile(r"^0x[0-9a-fA-F]+$")
# An error report's site headings; the address lines below one are its frames.
STACK_HEADING = re.compile(r"^(allocated|released) at$")
# The name field of a module entry holds 79 characters; longer paths are cut there.
NAME_FIELD = 79


class Progress:
    """One line on standard error, rewritten in place ("LABEL: DONE / TOTAL UNIT"), when
    standard error is a terminal and once the work has taken more than a second, then
    ended with a newline. QJ_PROGRESS_AFTER sets the second. A program that runs this one
    and shows a line of its own names its terminal's descriptor in QJ_PROGRESS_FD: the
    line goes there and is cleared at the end, for the caller's line to go on."""

    def __init__(self):
        self.stream = None
        self.nested = "QJ_PROGRESS_FD" in os.environ
        try:
            self.after = float(os.environ.get("QJ_PROGRESS_AFTER", "1"))
            stream = (os.fdopen(int(os.environ["QJ_PROGRESS_FD"]), "w", closefd=False)
                      if self.nested else sys.stderr)
            if stream.isatty():
                self.stream = stream
        except (ValueError, OSError):
            pass
        self.start = time.monotonic()
        self.next = self.start + self.after
        self.width = 0

    def show(self, label, done, total, unit):
        if self.stream is None:
            return
        now = time.monotonic()
        if now < self.next and (done < total or now - self.start < self.after):
            return
        text = "%s: %s / %s %s" % (label, format(done, ","), format(total, ","), unit)
        self.stream.write("\r" + text.ljust(self.width))
        self.stream.flush()
        self.width = len(text)
        self.next = now + 0.1

    def clear(self):
        """Erases the line, for another to take its place."""
        if self.stream is not None and self.width:
            self.stream.write("\r" + " " * self.width + "\r")
            self.stream.flush()
            self.width = 0

    def end(self):
        if self.nested:
            self.clear()
        elif self.stream is not None and self.width:
            self.stream.write("\n")
            self.stream.flush()
            self.width = 0


# Items between two looks at the clock.
STEP = 4096


class Module:
    def __init__(self, name, base, size):
        self.name = name
        self.base = base
        self.size = size
        self.path = None
        self.image_base = 0  # preferred load address of a PE image, 0 for ELF

    def label(self):
        return os.path.basename(self.name) or self.name


def pe_image_base(path):
    """Preferred load address of a PE image, or None when the file is not one."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
    except OSError:
        return None
    if head[:2] != b"MZ" or len(head) < 0x40:
        return None
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if head[pe:pe + 4] != b"PE\0\0":
        return None
    optional = pe + 24
    magic = struct.unpack_from("<H", head, optional)[0]
    if magic == 0x10B:
        return struct.unpack_from("<I", head, optional + 28)[0]
    if magic == 0x20B:
        return struct.unpack_from("<Q", head, optional + 24)[0]
    return None


def resolve(module, search_dirs):
    candidates = [module.name]
    base_name = os.path.basename(module.name.replace("\\", "/"))
    candidates += [os.path.join(d, base_name) for d in search_dirs]
    for path in candidates:
        if os.path.isfile(path):
            return path
    if len(module.name) >= NAME_FIELD:
        # A path cut at the end of its field: take the one file that continues it.
        matches = [p for p in glob.glob(glob.escape(module.name) + "*") if os.path.isfile(p)]
        if len(matches) == 1:
            return matches[0]
    return None


def run_symbolizer(tool, path, addresses, answered=lambda count: None):
    """Maps each address (a link-time address in `path`) to [(function, location), ...],
    innermost inlined function first. Both tools answer in the same form: the address,
    then a function line and a file:line line per inlining level. `answered` is told the
    count of addresses answered so far as the answers come."""
    text = "".join("0x%x\n" % a for a in addresses)
    if "llvm-symbolizer" in os.path.basename(tool):
        command = [tool, "--obj=" + path, "--inlining", "--demangle", "--output-style=GNU",
                   "-a", "-f"]
    else:
        command = [tool, "-e", path, "-a", "-f", "-C", "-i"]
    try:
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
    except OSError as error:
        sys.exit("symbolize_leaks: cannot run %s: %s" % (tool, error))

    def feed():
        try:
            process.stdin.write(text)
            process.stdin.close()
        except OSError:
            pass  # the tool stopped reading: its answers so far are used

    # The addresses go in while the answers come out, so that neither pipe fills up.
    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    results = {}
    current = None
    pending = None
    for line in process.stdout:
        line = line.rstrip("\n")
        if pending is None and ADDRESS_LINE.match(line):
            current = int(line, 16)
            results[current] = []
            if len(results) % STEP == 0:
                answered(len(results))
        elif current is not None and pending is None:
            pending = line
        elif current is not None:
            location = re.sub(r" \(discriminator \d+\)$", "", line)
            results[current].append((pending, location))
            pending = None
    feeder.join()
    process.wait()
    answered(len(results))
    return demangle_rest(results)


def demangle_rest(results):
    """llvm-symbolizer leaves C++ names of 32-bit Windows images mangled (it takes them
    for the platform compiler's); c++filt, from binutils like addr2line, reads them."""
    names = sorted({f for frames in results.values() for f, _ in frames if f.startswith("_Z")})
    if not names or not shutil.which("c++filt"):
        return results
    out = subprocess.run(["c++filt"], input="\n".join(names) + "\n", capture_output=True,
                         text=True, check=False).stdout.splitlines()
    if len(out) != len(names):
        return results
    readable = dict(zip(names, out))
    return {a: [(readable.get(f, f), l) for f, l in frames] for a, frames in results.items()}


def known(function, location):
    return function != "??" or not location.startswith("??")


def shorten(location, prefixes):
    for prefix in prefixes:
        if location.startswith(prefix):
            return location[len(prefix):]
    return location


def stacks(lines, progress):
    """Line index -> return addresses, innermost first: a leak report's site lines, and the
    address lines of an error report below "allocated at" or "released at" (each one a
    frame of its own, numbered from the heading)."""
    found = {}
    under_heading = None
    for index, line in enumerate(lines):
        if index % STEP == 0:
            progress.show("symbolizing", index, len(lines), "lines read")
        if STACK_HEADING.match(line):
            under_heading = 0
            continue
        if under_heading is not None and ADDRESS_LINE.match(line):
            found[index] = (under_heading, [int(line, 16)])
            under_heading += 1
            continue
        under_heading = None
        m = SITE_LINE.match(line)
        if m:
            found[index] = (0, [int(a, 16) for a in m.group(3).split("<-")] if m.group(3) else [])
    return found


def symbolize(lines, search_dirs, tool, prefixes, progress):
    modules = []
    for line in lines:
        m = MODULE_LINE.match(line)
        if m:
            modules.append(Module(m.group(1), int(m.group(2), 16), int(m.group(3), 16)))
    frames_at = stacks(lines, progress)

    def module_of(address):
        for module in modules:
            if module.base <= address < module.base + module.size:
                return module
        return None

    # One symbolizer run per binary. A return address points after its call; the call's
    # own line is found one byte earlier.
    wanted = {}
    for number, (_, frames) in enumerate(frames_at.values()):
        if number % STEP == 0:
            progress.show("symbolizing", number, len(frames_at), "stacks")
        for address in frames:
            module = module_of(address)
            if module is not None:
                wanted.setdefault(id(module), (module, set()))[1].add(address)
    names = {}
    for module, _ in wanted.values():
        module.path = resolve(module, search_dirs)
    found = [(m, a) for m, a in wanted.values() if m.path is not None]
    total = sum(len(a) for _, a in found)
    done = 0
    for module, addresses in found:
        module.image_base = pe_image_base(module.path) or 0
        lookup = {module.image_base + a - module.base - 1: a for a in addresses}
        answered = (lambda count, before=done:
                    progress.show("symbolizing", before + count, total, "addresses"))
        for link, entries in run_symbolizer(tool, module.path, sorted(lookup),
                                            answered).items():
            if link in lookup:
                names[lookup[link]] = entries
        done += len(addresses)

    def frame(index, address):
        module = module_of(address)
        where = ("[%s+0x%x]" % (module.label(), address - module.base)
                 if module else "[no module]")
        entries = [e for e in names.get(address, []) if known(*e)]
        if not entries:
            return ["    #%d 0x%08x ?? %s" % (index, address, where)]
        function, location = entries[0]
        text = ["    #%d 0x%08x in %s at %s %s"
                % (index, address, function, shorten(location, prefixes), where)]
        for function, location in entries[1:]:
            text.append("        inlined into %s at %s" % (function, shorten(location, prefixes)))
        return text

    out = []
    for number, line in enumerate(lines):
        if number % STEP == 0:
            progress.show("symbolizing", number, len(lines), "report lines")
        if number not in frames_at:
            out.append(line)
            if line.startswith("# Leak report format"):
                out.append("# Symbolized: one frame per line, innermost first")
            continue
        first, frames = frames_at[number]
        m = SITE_LINE.match(line)
        if m:
            out.append(m.group(1))
        for index, address in enumerate(frames, first):
            out.extend(frame(index, address))
    progress.show("symbolizing", len(lines), len(lines), "report lines")
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("report", help="leak or error report file, or - for standard input")
    parser.add_argument("-o", "--output", help="write here instead of standard output")
    parser.add_argument("--search-dir", action="append", default=[], metavar="DIR",
                        help="also look for module files here by file name (repeatable)")
    parser.add_argument("--strip-prefix", action="append", default=[], metavar="PREFIX",
                        help="print source paths without this leading text (repeatable)")
    parser.add_argument("--symbolizer", metavar="PROGRAM",
                        default="llvm-symbolizer" if shutil.which("llvm-symbolizer")
                        else "addr2line",
                        help="llvm-symbolizer or an addr2line (default: llvm-symbolizer "
                             "when installed, else addr2line)")
    args = parser.parse_args()

    progress = Progress()
    if args.report == "-":
        text = sys.stdin.read()
    else:
        with open(args.report, encoding="utf-8", errors="replace") as f:
            text = f.read()
    result = "\n".join(symbolize(text.splitlines(), args.search_dir, args.symbolizer,
                                 args.strip_prefix, progress)) + "\n"
    progress.end()
    if args.output:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(result)
    else:
        sys.stdout.write(result)


if __name__ == "__main__":
    main()
