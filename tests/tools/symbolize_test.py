#!/usr/bin/env python3
"""The symbolizer on a real leak report: runs the leak host with call-stack tracking,
symbolizes its report with each available tool and checks every frame of both leaks by
function, file and line (the lines marked "site:" in the host's source), and that the
statistics and the rest of the report pass through unchanged. A Windows host runs under
--runner (Wine); its report names each module by file name, found in --search-dir."""

import argparse
import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = None


def marked_lines(source):
    marks = {}
    with open(source) as f:
        for number, line in enumerate(f, 1):
            m = re.search(r"// site: (.+)$", line)
            if m:
                marks[m.group(1).strip()] = number
    return marks


class Symbolize(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="qjsym-")
        with open(os.path.join(cls.dir, "MemorySettings.dat"), "w") as f:
            f.write("use_callstack 1\nleakreport leaks.txt\n")
        runner = [ARGS.runner] if ARGS.runner else []
        subprocess.run(runner + [ARGS.host], cwd=cls.dir, check=True, capture_output=True)
        with open(os.path.join(cls.dir, "leaks.txt")) as f:
            cls.report = f.read().splitlines()
        cls.marks = marked_lines(ARGS.source)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def command(self, tool):
        search = ["--search-dir=" + d for d in ARGS.search_dir]
        return [sys.executable, ARGS.tool, os.path.join(self.dir, "leaks.txt"),
                "--symbolizer", tool] + search

    def symbolize(self, tool):
        result = subprocess.run(self.command(tool), check=True, capture_output=True, text=True)
        return result.stdout.splitlines()

    def sites(self, lines):
        """Site statistics line -> its frame lines."""
        sites, current = {}, None
        for line in lines:
            if line.startswith("alloc "):
                current = sites.setdefault(line, [])
            elif line.startswith("    #") and current is not None:
                current.append(line)
            else:
                current = None
        return sites

    def check(self, tool):
        out = self.symbolize(tool)
        # Everything but the frames passes through: drop our note and the frame lists.
        kept = [l for l in out if not l.startswith("    ") and not l.startswith("# Symbolized")]
        original = [re.sub(r" ?(0x[0-9a-f]+(<-)?)*$", "", l) if l.startswith("alloc ") else l
                    for l in self.report]
        self.assertEqual(kept, original)

        # Gross sizes: the request plus 16 bytes (used tag, header, AllocInfo word, guard).
        sites = self.sites(out)
        stats = {"texture": "alloc depth=%d peakSize=80 peakNumAllocs=1 currentNumAllocs=1 "
                            "currentTotalSize=80 minAllocSize=80 maxAllocSize=80",
                 "sound": "alloc depth=%d peakSize=216 peakNumAllocs=1 currentNumAllocs=1 "
                          "currentTotalSize=216 minAllocSize=216 maxAllocSize=216"}
        expected = {"texture": [("makeTexture", "makeTexture"),
                                ("loadLevel", "loadLevel texture"), ("main", "main")],
                    "sound": [("makeSound", "makeSound"),
                              ("loadLevel", "loadLevel sound"), ("main", "main")]}
        self.assertEqual(len(sites), 2, out)  # the released block's site is not listed
        source = os.path.basename(ARGS.source)
        for leak, frames in expected.items():
            matches = [(line, lines) for line, lines in sites.items()
                       if re.fullmatch(stats[leak] % len(lines), line)]
            self.assertEqual(len(matches), 1, "%s in %s" % (leak, out))
            lines = matches[0][1]
            self.assertGreaterEqual(len(lines), len(frames))
            for index, (function, mark) in enumerate(frames):
                pattern = (r"    #%d 0x[0-9a-f]{8,} in (.*::)?%s(\(.*\))? at \S*/%s:%d "
                           r"\[leak_host(\.exe)?\+0x[0-9a-f]+\]"
                           % (index, function, re.escape(source), self.marks[mark]))
                self.assertRegex(lines[index], pattern)

    def test_llvm_symbolizer(self):
        if not shutil.which("llvm-symbolizer"):
            self.skipTest("llvm-symbolizer not installed")
        self.check("llvm-symbolizer")

    def test_addr2line(self):
        self.check("addr2line")

    def test_progress_only_on_a_terminal(self):
        # QJ_PROGRESS_AFTER=0: the line shows from the start, however short the work.
        env = dict(os.environ, QJ_PROGRESS_AFTER="0")
        piped = subprocess.run(self.command("addr2line"), env=env, check=True,
                               capture_output=True, text=True)
        self.assertEqual(piped.stderr, "")

        terminal, other_end = pty.openpty()
        process = subprocess.Popen(self.command("addr2line"), env=env, stdout=subprocess.PIPE,
                                   stderr=other_end, text=True)
        os.close(other_end)
        shown = b""
        while True:
            try:
                chunk = os.read(terminal, 4096)
            except OSError:  # the program has ended: no writer is left
                break
            if not chunk:
                break
            shown += chunk
        os.close(terminal)
        out = process.communicate()[0]
        self.assertEqual(process.returncode, 0)
        self.assertEqual(out, piped.stdout)  # the output is the same either way
        # Rewritten in place, ended with the last count equal to the total and a newline.
        self.assertRegex(shown.decode(), r"^\rsymbolizing: .*"
                                         r"\rsymbolizing: ([\d,]+) / \1 report lines\r?\n$")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--runner", help="program that runs the host (Wine)")
    parser.add_argument("--search-dir", action="append", default=[])
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
