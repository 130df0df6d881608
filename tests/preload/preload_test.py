#!/usr/bin/env python3
"""Unmodified programs under tools/quorrick-run (the preloaded library).

Real programs from Debian packages give the output and exit status of a plain run and no
report, with the defaults and with call stacks, histogram and trace identifiers on;
planted bugs give their exact reports; the leak report, symbolized by the launcher, names
the leaking function and line with both call-stack walks; forking, many threads and
constructors that allocate before main (and a library finalised after the unload) run
clean; a process tree writes one folder per process into the run folder and nothing into
its working directories. Every case runs in a directory of its own, every launcher run
(-o) in a run folder of its own.

    preload_test.py --launcher tools/quorrick-run --library libquorrick-preload.so \\
        --bin-dir DIR --source-dir tests/preload [unittest arguments]
"""

import argparse
import atexit
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

ARGS = None
RUNS = None  # the run folders of this test program's launcher runs
TRACKING = "use_callstack 1 use_histogram 1 use_traceIdentifiers 1"
SETTINGS = [("defaults", ""), ("tracking", TRACKING)]


def run(command, cwd, settings=None, launcher=True, stdin=None, library=True, output=True):
    """The command, under the launcher unless `launcher` is false. `output`: True for a new
    run folder (-o), a path for that folder, None for the launcher's default. The result's
    run_dir is the folder given with -o (None without)."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("QUORRICK_SETTINGS", "LD_PRELOAD", "QUORRICK_RUN_DIR")}
    env["PYTHONHASHSEED"] = "0"
    if library:
        env["QUORRICK_PRELOAD"] = ARGS.library
    else:
        env.pop("QUORRICK_PRELOAD", None)
    if settings:
        env["QUORRICK_SETTINGS"] = settings
    run_dir = None
    if launcher and output is not None:
        run_dir = tempfile.mkdtemp(prefix="run-", dir=RUNS) if output is True else output
    full = ([ARGS.launcher] + (["-o", run_dir] if run_dir else []) + command
            if launcher else command)
    result = subprocess.run(full, cwd=cwd, env=env, input=stdin, capture_output=True, timeout=600)
    result.run_dir = run_dir
    return result


def reports(stderr):
    return [line for line in stderr.decode(errors="replace").splitlines()
            if line.startswith("QJ7 Memory Error")]


def pointer_pid(stderr):
    """The process id the launcher's error lines name."""
    m = re.search(r"^quorrick-run: \S+ \(pid (\d+)\)", stderr, re.M)
    return int(m.group(1)) if m else -1


def program(name):
    return os.path.join(ARGS.bin_dir, name)


def process_folders(run_dir):
    """pid -> folder of each process of a launcher run (NAME.PID)."""
    found = {}
    for entry in os.listdir(run_dir):
        m = re.match(r"^.+\.(\d+)$", entry)
        if m and os.path.isdir(os.path.join(run_dir, entry)):
            found[int(m.group(1))] = os.path.join(run_dir, entry)
    return found


def read_text(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def source_line(file_name, mark):
    """The line number of the first line of a test program's source that holds `mark`."""
    with open(os.path.join(ARGS.source_dir, file_name)) as f:
        return next(n for n, text in enumerate(f, 1) if mark in text)


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
        before = sorted(os.listdir(self.dir))
        for label, settings in SETTINGS:
            with self.subTest(settings=label):
                guarded = run(command, self.dir, settings, stdin=stdin)
                self.assertClean(guarded, label)
                self.assertEqual(guarded.returncode, plain.returncode, guarded.stderr)
                self.assertEqual(guarded.stdout, plain.stdout)
                # The library's lines for a person at a debugger go to the run folder.
                self.assertEqual(guarded.stderr, plain.stderr)
                self.assertEqual(sorted(os.listdir(self.dir)), before)

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
    """Each mistake gives its exact report, through the default callback (abort), under the
    defaults and with call stacks and memory names on."""

    # mode, the report's text for each setting ({p}: the pointer the program printed,
    # {p-N}: N bytes below it) or None (no report, exit status 0), and the requested size
    # the launcher names (None: the pointer is no block's).
    OVERRUN_DEFAULT = "Quorrick.dll: tailguard: block tail corruption detected: actual block size 25 at {p-8}"
    OVERRUN_TRACKING = "Quorrick.dll: tailguard: block tail corruption detected: actual block size 33 at {p-16}"
    CASES = [
        ("overrun", {"defaults": OVERRUN_DEFAULT, "tracking": OVERRUN_TRACKING}, 13),
        ("underrun", "memory.dll: memory before the block was overwritten {p}", 13),
        ("write-after-release", "memory.dll: block {p} was written after its release: byte 0 changed", 40),
        ("double", "memory.dll: free() called twice for memory {p}", 24),
        ("stack", "memory.dll: free() ptr outside range of memoryDLL allocations, ptr:{p}", None),
        ("realloc-released", "memory.dll: realloc() called for memory already released {p}", 24),
        ("middle", "memory.dll: trying to free non DLL allocated memory {p}", None),
        ("free-new", "memory.dll: free() called for memory allocated with operator new {p}", 4),
        ("free-new[]", "memory.dll: free() called for memory allocated with operator new[] {p}", 20),
        ("realloc-new", "memory.dll: realloc() called for memory allocated with operator new {p}", 4),
        ("delete-malloc", "memory.dll: operator delete called for memory allocated with malloc() {p}", 4),
        ("delete-new[]", "memory.dll: operator delete called for memory allocated with operator new[] {p}", 20),
        ("delete[]-malloc", "memory.dll: operator delete[] called for memory allocated with malloc() {p}", 16),
        ("delete[]-new", "memory.dll: operator delete[] called for memory allocated with operator new {p}", 4),
        ("leak", None, None),
    ]

    @staticmethod
    def expand(text, pointer):
        return re.sub(r"\{p(-\d+)?\}", lambda m: "0x%x" % (pointer + int(m.group(1) or 0)), text)

    def test_each_mistake_gives_its_report(self):
        for mode, texts, size in self.CASES:
            for label, settings in SETTINGS:
                with self.subTest(mode=mode, settings=label):
                    result = run([program("preload_planted"), mode], self.dir, settings)
                    m = re.match(rb"pointer 0x([0-9a-f]+)\n$", result.stdout)
                    self.assertIsNotNone(m, result.stdout)
                    pointer = int(m.group(1), 16)
                    text = texts.get(label) if isinstance(texts, dict) else texts
                    if text is None:
                        self.assertEqual((reports(result.stderr), result.returncode), ([], 0))
                        continue
                    expected = "QJ7 Memory Error: " + self.expand(text, pointer)
                    self.assertEqual(reports(result.stderr), [expected], result.stderr)
                    self.assertEqual(result.returncode, -signal.SIGABRT)
                    # The launcher's lines after it: the program, the pointer, its size and,
                    # with call stacks, where the block was allocated (in planted.cpp).
                    stderr = result.stderr.decode(errors="replace")
                    named = "quorrick-run: preload_planted (pid %d): pointer 0x%x (%s)" % (
                        pointer_pid(stderr), pointer,
                        "size unknown" if size is None else "%d bytes" % size)
                    self.assertIn(named, stderr)
                    if label == "tracking" and size is not None:
                        self.assertRegex(stderr, r"  allocated at:\n    #0 0x[0-9a-f]+ in \S.* at \S*planted\.cpp:\d+ ")

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
        line = source_line("planted.cpp", "// site: leak")
        for walk in ("callstack_unwind 0", "callstack_unwind 1"):
            with self.subTest(walk=walk):
                result = run([program("preload_planted"), "leak"], self.dir,
                             "use_callstack 1 leakreport leaks.txt " + walk)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertClean(result, walk)
                [folder] = process_folders(result.run_dir).values()
                self.assertRegex(os.path.basename(folder), r"^preload_planted\.\d+$")
                lines = read_text(os.path.join(folder, "leaks.symbolized.txt")).splitlines()
                # The 40-byte block (56 bytes gross): its site line, then its innermost frame.
                site = next(i for i, text in enumerate(lines)
                            if text.startswith("alloc ") and "currentTotalSize=56 " in text)
                self.assertRegex(lines[site + 1],
                                 r"^    #0 0x[0-9a-f]+ in .*leakyFunction\(unsigned long\) at "
                                 r"\S*planted\.cpp:%d " % line)


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
                     b"symbolized", b"-o DIR", b"QUORRICK_RUN_DIR", b"log.txt", b"error.txt",
                     b"release_quarantine 4194304"):
            self.assertIn(word, result.stdout)

    def test_streams_and_exit_status_pass_through(self):
        result = run(["/bin/sh", "-c", "cat; echo err >&2; exit 7"], self.dir, stdin=b"in\n")
        self.assertEqual((result.returncode, result.stdout, result.stderr), (7, b"in\n", b"err\n"))
        # A program ended by a signal ends the launcher by it, and the launcher's shell adds
        # no line of its own ("Aborted") to standard error.
        for name in ("TERM", "ABRT", "SEGV"):
            with self.subTest(signal=name):
                result = run(["/bin/sh", "-c", "ulimit -c 0; echo err >&2; kill -%s $$" % name],
                             self.dir)
                self.assertEqual((result.returncode, result.stderr),
                                 (-getattr(signal, "SIG" + name), b"err\n"))

    def test_finds_the_library_in_the_build_tree(self):
        root = os.path.dirname(os.path.dirname(os.path.abspath(ARGS.launcher)))
        default = os.path.join(root, "build", "linux-release", "preload", "libquorrick-preload.so")
        if not os.path.exists(default):
            self.skipTest("no build tree at " + default)
        result = run(["/bin/sh", "-c", 'printf %s "$LD_PRELOAD"'], self.dir, library=False)
        self.assertEqual(result.stdout.decode(), os.path.realpath(default))

    def test_settings_variable_wins_over_the_file(self):
        self.write("MemorySettings.dat", "use_callstack 1 leakreport file.txt\n")
        result = run([program("preload_planted"), "leak"], self.dir, "leakreport env.txt")
        self.assertEqual(result.returncode, 0, result.stderr)
        [folder] = process_folders(result.run_dir).values()
        self.assertEqual(sorted(n for n in os.listdir(folder) if n.startswith(("env", "file"))),
                         ["env.symbolized.txt", "env.txt"])
        self.assertEqual(os.listdir(self.dir), ["MemorySettings.dat"])
        # What the program read: the file, then the variable behind the launcher's
        # quarantine, so that the user's own quarantine would win.
        self.assertEqual(read_text(os.path.join(result.run_dir, "settings.txt")),
                         "use_callstack 1 leakreport file.txt\n\n"
                         "release_quarantine 4194304 leakreport env.txt\n")
        # The page finds the report the variable named, symbolized.
        page = read_text(os.path.join(result.run_dir, "report.html"))
        self.assertIn('<section id="p0-leaks" class="present">', page)
        self.assertRegex(page, r"leakyFunction\(unsigned long\) at \S*planted\.cpp:\d+")


class RunFolder(Case):
    """The launcher's run folder: one folder per process of the tree, nothing written where
    the processes run, standard error as a plain run's unless a report was made."""

    def tree(self, *extra, settings):
        """preload_tree in self.dir, its two children in self.dir/one and self.dir/two:
        the result, the three directories, and the pids of main and children."""
        dirs = [self.dir, os.path.join(self.dir, "one"), os.path.join(self.dir, "two")]
        for d in dirs[1:]:
            os.mkdir(d)
        before = self.listing()
        result = run([program("preload_tree")] + dirs[1:] + list(extra), self.dir, settings)
        self.assertEqual(self.listing(), before, "written where the processes run")
        pids = [int(p) for p in re.findall(rb"^(?:main|child) (\d+)$", result.stdout, re.M)]
        self.assertEqual(len(pids), 3, result.stdout)
        return result, dirs, pids

    def listing(self):
        return sorted((root, sorted(files), sorted(folders))
                      for root, folders, files in os.walk(self.dir))

    def test_process_tree_writes_one_folder_per_process(self):
        result, dirs, pids = self.tree(settings="use_callstack 1 leakreport leaks.txt")
        main, first, second = pids
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.endswith(b"child %d exit 0\nchild %d exit 0\n" % (first, second)),
                        result.stdout)
        # Leak reports were written: where they are, and nothing else, on standard error.
        run_dir = os.path.realpath(result.run_dir)
        self.assertEqual(result.stderr.decode().splitlines(),
                         ["quorrick-run: reports in " + run_dir,
                          "quorrick-run: report page " + os.path.join(run_dir, "report.html")])
        folders = process_folders(result.run_dir)
        self.assertEqual(sorted(folders), sorted(pids))
        for pid, directory, parent, function, mark in (
                (main, dirs[0], None, "keepInMain", "// site: main"),
                (first, dirs[1], main, "keepInChild", "// site: child"),
                (second, dirs[2], main, "keepInChild", "// site: child")):
            with self.subTest(pid=pid):
                folder = folders[pid]
                self.assertEqual(os.path.basename(folder), "preload_tree.%d" % pid)
                process = dict(line.partition(" ")[::2] for line in
                               read_text(os.path.join(folder, "process.txt")).splitlines())
                self.assertEqual((process["program"], process["pid"], process["directory"]),
                                 ("preload_tree", str(pid), directory))
                if parent is not None:
                    self.assertEqual(process["parent"], str(parent))
                self.assertTrue(os.path.isfile(os.path.join(folder, "leaks.txt")))
                # Each process's own report: its own site, not another process's.
                leaks = read_text(os.path.join(folder, "leaks.symbolized.txt"))
                self.assertRegex(leaks, r"(?m)^    #0 0x[0-9a-f]+ in .*%s\(\) at \S*tree\.cpp:%d "
                                 % (function, source_line("tree.cpp", mark)))
                other = "keepInChild" if function == "keepInMain" else "keepInMain"
                self.assertNotIn(other, leaks)
        # The page: every process, the main program first, then by pid.
        page = read_text(os.path.join(result.run_dir, "report.html"))
        groups = re.findall(r'<section id="p\d+" class="process[^"]*" data-program="([^"]*)" '
                            r'data-pid="(\d+)"', page)
        self.assertEqual(groups, [("preload_tree", str(p)) for p in [main] + sorted([first, second])])

    def test_error_in_a_child_names_its_program_pid_and_sites(self):
        result, _, (main, first, second) = self.tree("fail", settings="use_callstack 1")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.endswith(b"child %d signal %d\n" % (second, signal.SIGABRT)),
                        result.stdout)
        lines = result.stderr.decode().splitlines()
        self.assertEqual(len(reports(result.stderr)), 1, result.stderr)
        self.assertRegex(reports(result.stderr)[0],
                         r"^QJ7 Memory Error: memory.dll: free\(\) called twice for memory 0x")
        # After the program's own line, the launcher's: program, pid, block and its site.
        head = next((i for i, line in enumerate(lines)
                     if line.startswith("quorrick-run: preload_tree (pid %d): " % second)), None)
        self.assertIsNotNone(head, result.stderr)
        self.assertGreater(head, lines.index(reports(result.stderr)[0]))
        self.assertRegex(lines[head], r": pointer 0x[0-9a-f]+ \(24 bytes\)$")
        self.assertEqual(lines[head + 1], "  allocated at:")
        self.assertRegex(lines[head + 2], r"^    #0 0x[0-9a-f]+ in .*releaseTwice\(\) at \S*tree\.cpp:%d "
                         % source_line("tree.cpp", "// site: twice"))
        self.assertIn("quorrick-run: reports in " + os.path.realpath(result.run_dir), lines)
        folders = process_folders(result.run_dir)
        self.assertEqual([pid for pid, folder in folders.items()
                          if os.path.exists(os.path.join(folder, "error.txt"))], [second])
        self.assertTrue(os.path.isfile(os.path.join(folders[second], "error.symbolized.txt")))

    def test_default_folder_and_a_clean_run_leaves_stderr_as_a_plain_run(self):
        command = ["/bin/sh", "-c", "echo out; echo err >&2; exit 3"]
        plain = run(command, self.dir, launcher=False)
        for _ in range(2):
            guarded = run(command, self.dir, "use_callstack 1 use_histogram 1", output=None)
            self.assertEqual((guarded.returncode, guarded.stdout, guarded.stderr),
                             (plain.returncode, plain.stdout, plain.stderr))
        # Two runs, two folders (in one second the second name gets .1).
        names = sorted(os.listdir(self.dir))
        self.assertEqual(len(names), 2, names)
        for name in names:
            self.assertRegex(name, r"^quorrick-run\.sh\.\d{8}-\d{6}(\.\d+)?$")
            folders = process_folders(os.path.join(self.dir, name))
            self.assertEqual(len(folders), 1, name)
            [folder] = folders.values()
            # The library's lines went to the process's log.txt, not to standard error.
            self.assertIn("dep: callstack: ", read_text(os.path.join(folder, "log.txt")))

    def test_page_puts_the_main_program_first_whatever_the_pids(self):
        # Pids wrap: a child can have a lower pid than the program that started it.
        run_dir = os.path.join(self.dir, "run")
        for name, pid, parent in (("cc", 300, 900), ("make", 900, 5), ("ld", 1200, 900)):
            os.makedirs(os.path.join(run_dir, "%s.%d" % (name, pid)))
            with open(os.path.join(run_dir, "%s.%d" % (name, pid), "process.txt"), "w") as f:
                f.write("program %s\npid %d\nparent %d\ndirectory /\ncommand %s -x\n"
                        % (name, pid, parent, name))
        reporter = os.path.join(os.path.dirname(ARGS.launcher), "quorrick-report")
        done = subprocess.run([sys.executable, reporter, run_dir], capture_output=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        page = read_text(os.path.join(run_dir, "report.html"))
        groups = re.findall(r'<section id="p\d+" class="process[^"]*" data-program="([^"]*)" '
                            r'data-pid="(\d+)"><h2>[^<]*</h2><p>[^<]*<code>[^<]*</code>; '
                            r'directory <code>/</code></p><p class="command">([^<]*)</p>', page)
        self.assertEqual(groups, [("make", "900", "make -x"), ("cc", "300", "cc -x"),
                                  ("ld", "1200", "ld -x")])

    def test_reused_folder_reports_only_this_runs_processes(self):
        run_dir = os.path.join(self.dir, "reused", "run")
        failed = run([program("preload_planted"), "double"], self.dir, "use_callstack 1",
                     output=run_dir)
        self.assertEqual(failed.returncode, -signal.SIGABRT)
        self.assertIn(b"quorrick-run: reports in ", failed.stderr)
        clean = run([program("preload_planted"), "leak"], self.dir, output=run_dir)
        self.assertEqual((clean.returncode, clean.stderr), (0, b""))
        self.assertEqual(len(process_folders(run_dir)), 2)


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
    global RUNS
    RUNS = tempfile.mkdtemp(prefix="qjruns-")
    atexit.register(shutil.rmtree, RUNS, ignore_errors=True)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
