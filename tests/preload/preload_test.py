#!/usr/bin/env python3
"""Unmodified programs under tools/quorrick-run (the preloaded library).

Real programs from Debian packages give the output and exit status of a plain run and no
report, with the defaults and with call stacks, histogram and trace identifiers on;
planted bugs give their exact reports; the leak report, symbolized by the launcher, names
the leaking function and line with both call-stack walks; forking, many threads and
constructors that allocate before main (and a library finalised after the unload) run
clean. Every case runs in a directory of its own.

    preload_test.py --launcher tools/quorrick-run --library libquorrick-preload.so \\
        --bin-dir DIR --source-dir tests/preload [unittest arguments]
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

ARGS = None
DEP_LINE = b"dep: callstack: using internal callstack resolving (fast, but requires frame pointers)"
TRACKING = "use_callstack 1 use_histogram 1 use_traceIdentifiers 1"
SETTINGS = [("defaults", ""), ("tracking", TRACKING)]


def run(command, cwd, settings=None, launcher=True, stdin=None, library=True):
    env = {k: v for k, v in os.environ.items() if k not in ("QUORRICK_SETTINGS", "LD_PRELOAD")}
    env["PYTHONHASHSEED"] = "0"
    if library:
        env["QUORRICK_PRELOAD"] = ARGS.library
    else:
        env.pop("QUORRICK_PRELOAD", None)
    if settings:
        env["QUORRICK_SETTINGS"] = settings
    full = [ARGS.launcher] + command if launcher else command
    return subprocess.run(full, cwd=cwd, env=env, input=stdin, capture_output=True, timeout=600)


def without_library_lines(stderr):
    return b"\n".join(line for line in stderr.split(b"\n") if line != DEP_LINE)


def reports(stderr):
    return [line for line in stderr.decode(errors="replace").splitlines()
            if line.startswith("QJ7 Memory Error")]


def program(name):
    return os.path.join(ARGS.bin_dir, name)


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qjpreload-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def write(self, name, text):
        mode = "wb" if isinstance(text, bytes) else "w"
        with open(os.path.join(self.dir, name), mode) as f:
            f.write(text)

    def assertClean(self, result, what):
        self.assertEqual(reports(result.stderr), [], what)


PYTHON_SCRIPT = r"""
import json, re, threading, collections
class Node:
    def __init__(self, key, children):
        self.key, self.children = key, children
def tree(depth, key=0):
    return Node(key, [tree(depth - 1, key * 3 + i) for i in range(3)] if depth else [])
def walk(node):
    yield node.key
    for child in node.children:
        yield from walk(child)
keys = list(walk(tree(7)))
words = collections.Counter(re.findall(r"[a-z]+", " ".join("w%sx%s" % (k % 97, k % 13) for k in keys)))
results = [0] * 4
def work(i):
    results[i] = sum(len(json.dumps({str(k): [k] * (k % 5)})) for k in range(i, 20000, 4))
threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
for t in threads: t.start()
for t in threads: t.join()
try:
    {}["missing"]
except KeyError as error:
    print("caught", error)
print(len(keys), sum(keys), words.most_common(3), results)
"""

SQL_SCRIPT = """
create table t(id integer primary key, name text, v real);
with recursive c(x) as (select 1 union all select x + 1 from c where x < 20000)
  insert into t select x, 'name' || (x % 97), x * 0.5 from c;
create index ti on t(name);
select name, count(*), sum(v) from t group by name order by name limit 5;
select count(*), length(group_concat(name)) from t where name like 'name1%';
update t set name = upper(name) where id % 3 = 0;
delete from t where id % 5 = 0;
select count(*), sum(v) from t;
"""

LUA_SCRIPT = r"""
local t = {}
for i = 1, 30000 do t[i] = string.format("item%05d", (i * 7919) % 30000) end
table.sort(t)
local words = {}
for i = 1, #t, 7 do words[#words + 1] = t[i]:gsub("%d", function(d) return string.char(97 + d) end) end
local counts = setmetatable({}, {__index = function() return 0 end})
for _, w in ipairs(words) do counts[w:sub(1, 6)] = counts[w:sub(1, 6)] + 1 end
local keys = {}
for k in pairs(counts) do keys[#keys + 1] = k end
table.sort(keys)
local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
print(#t, t[1], t[#t], #words, keys[1], counts[keys[1]], fib(20), table.concat(words, ","):len())
"""


class RealPrograms(Case):
    """Debian programs: identical streams and exit status, no report."""

    def compare(self, command, stdin=None):
        for path in command[:1]:
            self.assertTrue(os.path.exists(path), path + " is not installed")
        plain = run(command, self.dir, launcher=False, stdin=stdin)
        self.assertEqual(plain.returncode, 0, plain.stderr)
        for label, settings in SETTINGS:
            with self.subTest(settings=label):
                guarded = run(command, self.dir, settings, stdin=stdin)
                self.assertClean(guarded, label)
                self.assertEqual(guarded.returncode, plain.returncode, guarded.stderr)
                self.assertEqual(guarded.stdout, plain.stdout)
                self.assertEqual(without_library_lines(guarded.stderr), plain.stderr)

    def test_python_interpreter_running_a_script(self):
        self.write("script.py", PYTHON_SCRIPT)
        self.compare(["/usr/bin/python3", "script.py"])

    def test_sqlite_shell(self):
        self.compare(["/usr/bin/sqlite3", ":memory:"], stdin=SQL_SCRIPT.encode())

    def test_lua_interpreter(self):
        self.write("script.lua", LUA_SCRIPT)
        self.compare(["/usr/bin/lua5.4", "script.lua"])

    def test_threaded_compressor(self):
        # Four compressing threads over blocks of 64 KiB of varied text.
        text = "".join("%d %s\n" % (i, "abcdefghij"[i % 10] * (i % 37)) for i in range(60000))
        self.write("data.txt", text)
        self.compare(["/usr/bin/xz", "-1", "-T4", "--block-size=65536", "-c", "data.txt"])


class PlantedBugs(Case):
    """Each mistake gives its exact report, through the default callback (abort)."""

    CASES = [
        ("overrun", -8, "Quorrick.dll: tailguard: block tail corruption detected: actual block size 25 at 0x%x"),
        ("double", 0, "memory.dll: free() called twice for memory 0x%x"),
        ("middle", 0, "memory.dll: trying to free non DLL allocated memory 0x%x"),
        ("free-new", 0, "memory.dll: free() called for memory allocated with operator new 0x%x"),
        ("free-new[]", 0, "memory.dll: free() called for memory allocated with operator new[] 0x%x"),
        ("realloc-new", 0, "memory.dll: realloc() called for memory allocated with operator new 0x%x"),
        ("delete-malloc", 0, "memory.dll: operator delete called for memory allocated with malloc() 0x%x"),
        ("delete-new[]", 0, "memory.dll: operator delete called for memory allocated with operator new[] 0x%x"),
        ("delete[]-malloc", 0, "memory.dll: operator delete[] called for memory allocated with malloc() 0x%x"),
        ("delete[]-new", 0, "memory.dll: operator delete[] called for memory allocated with operator new 0x%x"),
    ]

    def test_each_mistake_gives_its_report(self):
        for mode, offset, text in self.CASES:
            with self.subTest(mode=mode):
                result = run([program("preload_planted"), mode], self.dir)
                m = re.match(rb"pointer 0x([0-9a-f]+)\n$", result.stdout)
                self.assertIsNotNone(m, result.stdout)
                expected = "QJ7 Memory Error: " + text % (int(m.group(1), 16) + offset)
                self.assertEqual(reports(result.stderr), [expected])
                self.assertEqual(result.returncode, -signal.SIGABRT)

    def test_unreadable_release_reports_with_the_programs_own_fault_handler(self):
        # The program installs its SIGSEGV handler after the library: a release of
        # unreadable memory is still reported, and a real fault still goes to the program.
        result = run([program("preload_planted"), "wild-after-handler"], self.dir)
        m = re.match(rb"pointer 0x([0-9a-f]+)\n$", result.stdout)
        self.assertIsNotNone(m, result.stdout)
        expected = "QJ7 Memory Error: memory.dll: trying to free non DLL allocated memory 0x%x" % int(m.group(1), 16)
        self.assertEqual(reports(result.stderr), [expected])
        self.assertEqual(result.returncode, -signal.SIGABRT)
        result = run([program("preload_planted"), "fault-after-handler"], self.dir)
        self.assertEqual(result.stdout, b"program handler\n")
        self.assertEqual(result.returncode, 3)

    def test_symbolized_leak_report_names_function_and_line_with_both_walks(self):
        with open(os.path.join(ARGS.source_dir, "planted.cpp")) as f:
            line = next(n for n, text in enumerate(f, 1) if "// site: leak" in text)
        for walk in ("callstack_unwind 0", "callstack_unwind 1"):
            with self.subTest(walk=walk):
                result = run([program("preload_planted"), "leak"], self.dir,
                             "use_callstack 1 leakreport leaks.txt " + walk)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertClean(result, walk)
                with open(os.path.join(self.dir, "leaks.symbolized.txt")) as f:
                    lines = f.read().splitlines()
                # The 40-byte block (56 bytes gross): its site line, then its innermost frame.
                site = next(i for i, text in enumerate(lines)
                            if text.startswith("alloc ") and "currentTotalSize=56 " in text)
                self.assertRegex(lines[site + 1],
                                 r"^    #0 0x[0-9a-f]+ in .*leakyFunction\(unsigned long\) at "
                                 r"\S*planted\.cpp:%d " % line)
                os.remove(os.path.join(self.dir, "leaks.symbolized.txt"))


class ProcessesAndThreads(Case):
    def test_forking_program_allocates_and_reports_in_the_child(self):
        for label, settings in SETTINGS:
            with self.subTest(settings=label):
                result = run([program("preload_forking")], self.dir, settings)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, b"children ok: 20\nreporting child: aborted\n")
                self.assertEqual(len(reports(result.stderr)), 1, result.stderr)
                self.assertRegex(reports(result.stderr)[0],
                                 r"^QJ7 Memory Error: memory.dll: free\(\) called twice for memory 0x")

    def test_many_threads(self):
        for label, settings in SETTINGS:
            with self.subTest(settings=label):
                result = run([program("preload_threads")], self.dir, settings)
                self.assertClean(result, label)
                self.assertEqual((result.returncode, result.stdout), (0, b"threads ok\n"),
                                 result.stderr)

    def test_constructors_allocate_before_main(self):
        for label, settings in SETTINGS:
            with self.subTest(settings=label):
                result = run([program("preload_constructors")], self.dir, settings)
                self.assertClean(result, label)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, b"made before main, 100 entries\nreleased\n")


class Launcher(Case):
    def test_help_names_the_settings_that_matter(self):
        result = run(["--help"], self.dir)
        self.assertEqual(result.returncode, 0)
        for word in (b"QUORRICK_SETTINGS", b"use_callstack", b"callstack_unwind", b"leakreport",
                     b"symbolized"):
            self.assertIn(word, result.stdout)

    def test_streams_and_exit_status_pass_through(self):
        result = run(["/bin/sh", "-c", "cat; echo err >&2; exit 7"], self.dir, stdin=b"in\n")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (7, b"in\n", b"err\n"))
        result = run(["/bin/sh", "-c", "kill -TERM $$"], self.dir)
        self.assertEqual(result.returncode, -signal.SIGTERM)

    def test_finds_the_library_in_the_build_tree(self):
        root = os.path.dirname(os.path.dirname(os.path.abspath(ARGS.launcher)))
        default = os.path.join(root, "build", "linux-release", "preload", "libquorrick-preload.so")
        if not os.path.exists(default):
            self.skipTest("no build tree at " + default)
        result = run(["/bin/sh", "-c", 'printf %s "$LD_PRELOAD"'], self.dir, library=False)
        self.assertEqual(result.stdout.decode(), os.path.realpath(default))

    def test_settings_variable_wins_over_the_file(self):
        self.write("MemorySettings.dat", "use_callstack 1 leakreport file.txt\n")
        run([program("preload_planted"), "leak"], self.dir, "leakreport env.txt")
        self.assertTrue(os.path.exists(os.path.join(self.dir, "env.symbolized.txt")))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "file.txt")))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    ARGS, rest = parser.parse_known_args()
    for name in ("launcher", "library", "bin_dir", "source_dir"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
