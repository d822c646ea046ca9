#!/usr/bin/env python3
"""Times quendal against reference tools on generated corpora.

large   quendal over a few big files vs. two parallel `openssl dgst -sha256` processes
small   quendal over 100,000 small files vs. the same openssl pair
game    quendal over a game-like client (a few big archives, a few thousand assets) vs. the
        same openssl pair
cached  quendal rescan with a filled hash cache vs. `git status -uno` on a git index
million quendal over a client of 1,000,000 files of 0-256 bytes: the full scan vs. a two-thread
        loop of stat, open, read, SHA-256 and close (million-full), and the cached rescan vs.
        `git status -uno` (million-cached), with the time split of one cached rescan
scattered the same million files written in a shuffled order, so that folder entries and inodes
        follow no order of the names: the same two comparisons (scattered-full,
        scattered-cached)

Every comparison reads its tree once, runs one untimed warm-up of each command (and checks that
both agree with the manifest), then times interleaved rounds and reports medians.

--cold  times large, small and game with the page cache dropped before every timed run:
        quendal vs. the openssl pair and `cat` with 8 and with 32 parallel readers (the device's
        own limit for these files).
"""

import argparse
import ctypes
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(REPO, "build")
QUENDAL = os.path.join(BUILD, "quendal")
MAKE_CORPUS = os.path.join(BUILD, "quendal_make_corpus")
FLOOR_LOOP = os.path.join(BUILD, "quendal_floor_loop")
LIBRARY = os.path.join(BUILD, "libquendal.so")
TIME = "/usr/bin/time"

# Arguments handed to one openssl process at a time; xargs' default 128 KiB command buffer
# would cut the batches to a few thousand names.
XARGS_BATCH = ["-n", "10000", "-s", "1048576"]

MILLION_SHAPES = ("million", "scattered")
TARGETS = {"large": 1.05, "small": 0.85, "game": 0.85, "cached": 1.4}
# Peak resident memory targets of quendal, in bytes.
RSS_TARGETS = {"cached": 90e6}
REFERENCE_NAMES = {"large": "openssl x2", "small": "openssl x2", "game": "openssl x2",
                   "cached": "git status"}
for shape in MILLION_SHAPES:
    TARGETS.update({f"{shape}-full": 1.25, f"{shape}-cached": 1.4})
    RSS_TARGETS.update({f"{shape}-full": 566e6, f"{shape}-cached": 780e6})
    REFERENCE_NAMES.update({f"{shape}-full": "floor loop", f"{shape}-cached": "git status"})
ALIASES = {"a": "large", "b": "small", "c": "cached", "d": "game"}
MILLION_ROUNDS = 3

# Cold targets: quendal's median over the faster cat median, and over the openssl pair's.
COLD_TARGETS = {"game": {"cat": 1.15, "openssl x2": 0.75}, "small": {"cat": 1.3}, "large": {}}
CAT_READERS = (8, 32)


def log(text):
    print(text, flush=True)


def die(text):
    sys.stderr.write("bench: " + text + "\n")
    sys.exit(1)


# ---- build and corpora ----


def cache_value(name):
    try:
        with open(os.path.join(BUILD, "CMakeCache.txt"), encoding="utf-8") as cache:
            for line in cache:
                if line.startswith(name + ":"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


def build():
    configured = os.path.exists(os.path.join(BUILD, "build.ninja"))
    if (not configured or cache_value("CMAKE_BUILD_TYPE") != "Release"
            or cache_value("QUENDAL_BUILD_BENCH") != "ON"):
        command = ["cmake", "-S", REPO, "-B", BUILD]
        if not os.path.exists(os.path.join(BUILD, "CMakeCache.txt")):
            command += ["-G", "Ninja"]
        command += ["-DCMAKE_BUILD_TYPE=Release", "-DQUENDAL_BUILD_BENCH=ON"]
        log("$ " + " ".join(command))
        subprocess.run(command, check=True)
    command = ["cmake", "--build", BUILD, "--parallel", "2", "--target", "quendal",
               "quendal_make_corpus", "quendal_floor_loop", "quendal_shared"]
    log("$ " + " ".join(command))
    subprocess.run(command, check=True)


def corpus(root, kind, arguments):
    """Generates root/kind unless it exists with the same generator arguments."""
    directory = os.path.join(root, kind)
    stamp = os.path.join(directory, "corpus.stamp")
    wanted = " ".join([kind] + arguments) + "\n"
    try:
        with open(stamp, encoding="utf-8") as existing:
            if existing.read() == wanted:
                return directory
    except OSError:
        pass
    if os.path.isdir(directory):
        log(f"removing stale corpus {directory}")
        shutil.rmtree(directory)
    os.makedirs(directory)
    command = [MAKE_CORPUS, kind, directory] + arguments
    log("$ " + " ".join(command))
    subprocess.run(command, check=True)
    with open(stamp, "w", encoding="utf-8") as out:
        out.write(wanted)
    return directory


def manifest_files(directory):
    with open(os.path.join(directory, "manifest.json"), encoding="utf-8") as manifest:
        return json.load(manifest)["files"]


def write_list(path, names):
    with open(path, "wb") as out:
        out.write(b"".join(name.encode() + b"\0" for name in names))


def read_tree(client, list_path):
    """Brings every listed file into the page cache."""
    with open(list_path, "rb") as names:
        subprocess.run(["xargs", "-0"] + XARGS_BATCH + ["cat"], cwd=client, stdin=names,
                       stdout=subprocess.DEVNULL, check=True)


# ---- commands ----


class Command:
    """One side of a comparison: a way to run it once, and a way to check its result."""

    def __init__(self, name, run, check):
        self.name = name
        self.run = run
        self.check = check


def run_checked(argv, **kwargs):
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, **kwargs)
    if done.returncode != 0:
        die(f"{' '.join(argv)} exited with {done.returncode}:\n"
            + done.stderr.decode(errors="replace"))


def quendal_argv(directory, report, cache=None):
    argv = [QUENDAL, "--client-dir", os.path.join(directory, "client"),
            "--manifest", os.path.join(directory, "manifest.json")]
    if cache is not None:
        argv += ["--cache", cache]
    return argv + ["--output", report]


def quendal_command(directory, report, expect_cached, cache=None):
    argv = quendal_argv(directory, report, cache)

    def check():
        with open(report, encoding="utf-8") as text:
            document = json.load(text)
        summary = document["summary"]
        if summary["healthyFiles"] != summary["expectedFiles"]:
            die(f"quendal found unhealthy files: {summary}")
        cached = sum(1 for entry in document["files"] if entry["usedCachedHash"])
        wanted = summary["expectedFiles"] if expect_cached else 0
        if cached != wanted:
            die(f"quendal reused {cached} cached digests, expected {wanted}")

    return Command("quendal", lambda: run_checked(argv), check)


def openssl_command(directory, halves, scratch):
    client = os.path.join(directory, "client")
    outputs = [os.path.join(scratch, f"openssl-{i}.txt") for i in range(len(halves))]

    def run(capture=False):
        processes = []
        for half, output in zip(halves, outputs):
            with open(half, "rb") as names, \
                    open(output if capture else os.devnull, "wb") as out:
                processes.append(subprocess.Popen(
                    ["xargs", "-0"] + XARGS_BATCH + ["openssl", "dgst", "-sha256"],
                    cwd=client, stdin=names, stdout=out))
        for process in processes:
            if process.wait() != 0:
                die(f"openssl exited with {process.returncode}")

    def check():
        run(capture=True)
        expected = {entry["path"]: entry["sha256"] for entry in manifest_files(directory)}
        seen = {}
        for output in outputs:
            with open(output, encoding="utf-8") as text:
                for line in text:
                    # SHA2-256(path)= digest
                    head, digest = line.rstrip("\n").rsplit("= ", 1)
                    seen[head[head.index("(") + 1:-1]] = digest
        if seen != expected:
            die("openssl digests do not match the manifest")

    return Command("openssl x2", run, check)


def git_command(directory):
    git_dir = os.path.join(directory, "git-index")
    work_tree = os.path.join(directory, "client")
    environment = dict(os.environ, GIT_CONFIG_NOSYSTEM="1", GIT_CONFIG_GLOBAL=os.devnull)
    git = ["git", "--git-dir", git_dir, "--work-tree", work_tree]
    stamp = os.path.join(directory, "git-index.stamp")
    if not os.path.exists(stamp):
        if os.path.isdir(git_dir):
            shutil.rmtree(git_dir)
        log(f"indexing {work_tree} with git (once)")
        start = time.perf_counter()
        subprocess.run(git + ["init", "-q"], env=environment, check=True)
        subprocess.run(git + ["add", "-A"], env=environment, check=True)
        open(stamp, "w", encoding="utf-8").close()
        log(f"  git index built in {time.perf_counter() - start:.1f} s")
    argv = git + ["status", "-uno"]
    return Command("git status", lambda: run_checked(argv, env=environment), lambda: None)


def resource_use(argv):
    """What /usr/bin/time -v reports of one run of argv: peak resident set size in KiB ("rss"),
    user and system CPU seconds, elapsed seconds; None without /usr/bin/time."""
    if not os.path.exists(TIME):
        log(f"{TIME} is missing; installing the 'time' package")
        subprocess.run(["apt-get", "install", "-y", "-q", "time"], stdout=subprocess.DEVNULL)
        if not os.path.exists(TIME):
            return None
    done = subprocess.run([TIME, "-v"] + argv, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        die(f"{' '.join(argv)} exited with {done.returncode}:\n{done.stderr}")
    use = {}
    for line in done.stderr.splitlines():
        key, _, value = line.strip().rpartition(": ")
        if key == "Maximum resident set size (kbytes)":
            use["rss"] = int(value)
        elif key == "User time (seconds)":
            use["user"] = float(value)
        elif key == "System time (seconds)":
            use["system"] = float(value)
        elif key.startswith("Elapsed (wall clock) time"):
            seconds = 0.0
            for part in value.split(":"):  # [h:]m:s
                seconds = seconds * 60 + float(part)
            use["elapsed"] = seconds
    return use if "rss" in use else None


def peak_rss_kib(argv):
    """Peak resident set size of one run of argv, as /usr/bin/time -v reports it."""
    use = resource_use(argv)
    return None if use is None else use["rss"]


# ---- timing ----


def timed(command):
    start = time.perf_counter()
    command.run()
    return time.perf_counter() - start


def compare(ours, reference, rounds):
    """Warm-up and checks, then interleaved rounds; returns the two lists of seconds."""
    for command in (ours, reference):
        command.run()
        command.check()
    ours_times, reference_times = [], []
    for round_index in range(rounds):
        pair = [(ours, ours_times), (reference, reference_times)]
        if round_index % 2:
            pair.reverse()
        for command, times in pair:
            times.append(timed(command))
        log(f"  round {round_index + 1}: {ours.name} {ours_times[-1]:.3f} s, "
            f"{reference.name} {reference_times[-1]:.3f} s")
    return ours_times, reference_times


def size_text(size):
    if size >= 2**30:
        return f"{size / 2**30:.2f} GiB"
    return f"{size / 2**20:.1f} MiB"


def result(name, label, ours, reference, rss, total=None):
    ours_median = statistics.median(ours)
    reference_median = statistics.median(reference)
    ratio = ours_median / reference_median
    line = f"  median: quendal {ours_median:.3f} s, reference {reference_median:.3f} s"
    if total is not None:
        line += (f" ({total / ours_median / 1e9:.2f} vs. {total / reference_median / 1e9:.2f}"
                 " GB/s)")
    log(line + f", ratio {ratio:.3f}")
    rss_target = RSS_TARGETS.get(name)
    # A memory target that could not be measured is not met.
    rss_pass = rss_target is None or (rss is not None and rss * 1024 <= rss_target)
    return {"name": name, "label": label, "quendal": ours_median,
            "reference": reference_median, "ratio": ratio, "target": TARGETS[name],
            "pass": ratio <= TARGETS[name] and rss_pass, "time_pass": ratio <= TARGETS[name],
            "rss": rss, "rss_target": rss_target, "rss_pass": rss_pass}


def bench_hashing(name, directory, rounds, scratch):
    files = manifest_files(directory)
    names = [entry["path"] for entry in files]
    total = sum(entry["size"] for entry in files)
    label = f"{name}: {len(names)} files, {size_text(total)}"
    log(f"\n== {label}: quendal vs. two parallel openssl dgst -sha256")
    all_list = os.path.join(scratch, f"{name}-all.lst")
    write_list(all_list, names)
    halves = [os.path.join(scratch, f"{name}-half{i}.lst") for i in range(2)]
    write_list(halves[0], names[:len(names) // 2])
    write_list(halves[1], names[len(names) // 2:])
    read_tree(os.path.join(directory, "client"), all_list)
    report = os.path.join(scratch, f"{name}-report.json")
    ours = quendal_command(directory, report, expect_cached=False)
    reference = openssl_command(directory, halves, scratch)
    ours_times, reference_times = compare(ours, reference, rounds)
    rss = peak_rss_kib(quendal_argv(directory, report))
    return result(name, label, ours_times, reference_times, rss, total)


def bench_cached(directory, rounds, scratch, name="cached", count=None):
    """The rescan with a filled cache against git status. A caller that passes the number of
    files has already brought the tree into the page cache."""
    if count is None:
        names = [entry["path"] for entry in manifest_files(directory)]
        count = len(names)
        all_list = os.path.join(scratch, f"{name}-all.lst")
        write_list(all_list, names)
        read_tree(os.path.join(directory, "client"), all_list)
    label = f"{name}: {count} files rescanned"
    log(f"\n== {label}: quendal --cache vs. git status -uno")
    reference = git_command(directory)
    cache = os.path.join(directory, "cache.json")
    if os.path.exists(cache):
        os.remove(cache)
    report = os.path.join(scratch, f"{name}-report.json")
    fill = quendal_command(directory, report, expect_cached=False, cache=cache)
    fill_seconds = timed(fill)
    fill.check()
    log(f"  cache filled in {fill_seconds:.3f} s ({os.path.getsize(cache)} bytes)")
    ours = quendal_command(directory, report, expect_cached=True, cache=cache)
    ours_times, reference_times = compare(ours, reference, rounds)
    argv = quendal_argv(directory, report, cache)
    use = resource_use(argv)
    if use is not None:
        log(f"  one more run under {TIME} -v: {use['elapsed']:.3f} s, user {use['user']:.2f} s,"
            f" system {use['system']:.2f} s, peak RSS {use['rss'] / 1024:.1f} MiB")
    return result(name, label, ours_times, reference_times, None if use is None else use["rss"])


# ---- a million files ----


def floor_command(directory, list_path, digests):
    """The floor loop over the list; its check compares every digest with the manifest's."""
    client = os.path.join(directory, "client")
    argv = [FLOOR_LOOP, client, list_path]

    def check():
        done = subprocess.run(argv + ["--digests"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if done.returncode != 0:
            die(f"{' '.join(argv)} exited with {done.returncode}:\n"
                + done.stderr.decode(errors="replace"))
        if done.stdout.decode().split("\n")[:-1] != digests:
            die("the floor loop's digests do not match the manifest")

    return Command("floor loop", lambda: run_checked(argv), check)


def floor_once(directory, list_path, flag):
    """Seconds of one run of the floor loop with `flag`, after an untimed one."""
    command = Command(f"floor loop {flag}", lambda: run_checked(
        [FLOOR_LOOP, os.path.join(directory, "client"), list_path, flag]), lambda: None)
    command.run()
    return timed(command)


def bench_million_full(shape, directory, list_path, digests, total, rounds, scratch):
    label = f"{shape}-full: {len(digests)} files, {size_text(total)}"
    log(f"\n== {label}: quendal vs. the floor loop (stat, open, read, SHA-256, close; 2 threads)")
    report = os.path.join(scratch, f"{shape}-full-report.json")
    ours = quendal_command(directory, report, expect_cached=False)
    reference = floor_command(directory, list_path, digests)
    ours_times, reference_times = compare(ours, reference, rounds)
    # The same loop with the check that the file opened is the file stat described, which a
    # scan that publishes digests cannot leave out: the floor for quendal's checking phase.
    log(f"  the floor loop with --check-identity (one more query per file, on the open file):"
        f" {floor_once(directory, list_path, '--check-identity'):.3f} s, once")
    use = resource_use(quendal_argv(directory, report))
    if use is not None:
        log(f"  one more run under {TIME} -v: {use['elapsed']:.3f} s, user {use['user']:.2f} s,"
            f" system {use['system']:.2f} s, peak RSS {use['rss'] / 1024:.1f} MiB")
    return result(f"{shape}-full", label, ours_times, reference_times,
                  None if use is None else use["rss"], total)


class ScanProgress(ctypes.Structure):
    _fields_ = [("phase", ctypes.c_int32), ("reserved", ctypes.c_uint32),
                ("files_done", ctypes.c_uint64), ("files_total", ctypes.c_uint64),
                ("bytes_hashed", ctypes.c_uint64), ("bytes_to_hash", ctypes.c_uint64)]


PROGRESS_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.POINTER(ScanProgress), ctypes.c_void_p)


class ScanOptions(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint64),
                ("client_dir", ctypes.c_char_p), ("client_dir_length", ctypes.c_uint64),
                ("manifest_path", ctypes.c_char_p), ("manifest_path_length", ctypes.c_uint64),
                ("cache_path", ctypes.c_char_p), ("cache_path_length", ctypes.c_uint64),
                ("progress", PROGRESS_CALLBACK), ("user_data", ctypes.c_void_p)]


PHASE_NAMES = ["reading manifest", "loading cache", "checking files", "storing cache",
               "encoding report"]
# The work between the end of one phase and the start of the next, by the next phase.
GAP_NAMES = {2: "client root, scan list", 3: "fold, report and cache records",
             4: "fold, report records"}


def phase_times(directory, cache):
    """One scan through libquendal, the library the program is built from, split at its
    progress calls; None when the library is missing. Every phase ends with a call; its start is
    seen only when more than the report interval (50 ms) has passed since the previous call, so
    a shorter gap before a phase is counted in the phase."""
    if not os.path.exists(LIBRARY):
        return None
    library = ctypes.CDLL(LIBRARY)
    library.quendal_scan_create.restype = ctypes.c_void_p
    library.quendal_scan_create.argtypes = [ctypes.POINTER(ScanOptions)]
    library.quendal_scan_run.restype = ctypes.c_int32
    library.quendal_scan_run.argtypes = [ctypes.c_void_p]
    library.quendal_scan_failure.restype = ctypes.c_char_p
    library.quendal_scan_failure.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    library.quendal_scan_destroy.restype = None
    library.quendal_scan_destroy.argtypes = [ctypes.c_void_p]
    calls = []

    def progress(counters, _user_data):
        calls.append((counters.contents.phase, time.perf_counter()))
        return 0

    callback = PROGRESS_CALLBACK(progress)
    texts = [os.path.join(directory, "client").encode(),
             os.path.join(directory, "manifest.json").encode(), cache.encode()]
    options = ScanOptions(ctypes.sizeof(ScanOptions), texts[0], len(texts[0]), texts[1],
                          len(texts[1]), texts[2], len(texts[2]), callback, None)
    scan = library.quendal_scan_create(ctypes.byref(options))
    if not scan:
        die("quendal_scan_create failed")
    start = time.perf_counter()
    status = library.quendal_scan_run(scan)
    ran = time.perf_counter() - start
    ended = start + ran
    if status != 0:
        die(f"the library's scan failed: {library.quendal_scan_failure(scan, None)}")
    start = time.perf_counter()
    library.quendal_scan_destroy(scan)
    destroyed = time.perf_counter() - start
    phases = []
    previous_end = start
    for phase in sorted({phase for phase, _ in calls}):
        times = [when for seen, when in calls if seen == phase]
        begin = times[0] if len(times) > 1 else previous_end
        if begin - previous_end > 0:
            phases.append((GAP_NAMES.get(phase, f"before {PHASE_NAMES[phase]}"),
                           begin - previous_end))
        phases.append((PHASE_NAMES[phase], times[-1] - begin))
        previous_end = times[-1]
    return {"phases": phases, "after": ended - previous_end, "destroy": destroyed}


def print_split(directory, list_path, cache, cached, count):
    """The time split of one cached rescan, beside the command line's median and the stat of
    every file (the floor loop's --stat-only)."""
    log(f"\n== time split of one cached rescan of {count} files through {LIBRARY}")
    split = phase_times(directory, cache)
    if split is None:
        log(f"  {LIBRARY} is missing: no split")
        return
    rows = split["phases"] + [
        ("up to the end of the last phase", sum(seconds for _, seconds in split["phases"])),
        ("then the run's data freed", split["after"]),
        ("then the scan handle freed", split["destroy"])]
    for name, seconds in rows:
        log(f"  {name:<32} {seconds:7.3f} s")
    log("  (the library hands the report over in memory, where the program writes its file; the"
        " program leaves its data to the process's exit)")
    log(f"  {'the command line, median':<32} {cached['quendal']:7.3f} s")
    stat_only = floor_once(directory, list_path, "--stat-only")
    log(f"  {'stat only, for comparison':<32} {stat_only:7.3f} s  (the floor loop's"
        " --stat-only: one stat per file on 2 threads)")


def bench_million(shape, directory, selected, rounds, scratch):
    files = manifest_files(directory)
    names = [entry["path"] for entry in files]
    digests = [entry["sha256"] for entry in files]
    total = sum(entry["size"] for entry in files)
    del files
    count = len(names)
    list_path = os.path.join(scratch, f"{shape}-all.lst")
    write_list(list_path, names)
    log(f"\n== {shape}: reading {len(names)} files into the page cache")
    read_tree(os.path.join(directory, "client"), list_path)
    results = []
    if f"{shape}-full" in selected:
        results.append(bench_million_full(shape, directory, list_path, digests, total, rounds,
                                          scratch))
    del names, digests
    if f"{shape}-cached" in selected:
        cached = bench_cached(directory, rounds, scratch, f"{shape}-cached", count)
        results.append(cached)
        print_split(directory, list_path, os.path.join(directory, "cache.json"), cached, count)
    return results


def print_table(results):
    rows = [("benchmark", "quendal", "reference", "ratio", "target", "result", "peak RSS",
             "RSS target", "RSS result")]
    for r in results:
        rss = "n/a" if r["rss"] is None else f"{r['rss'] * 1024 / 1e6:.1f} MB"
        if r["rss_target"] is None:
            rss_target = rss_result = "-"
        else:
            rss_target = (f"<= {r['rss_target'] / 1e9:g} GB" if r["rss_target"] >= 1e9 / 2
                          else f"<= {r['rss_target'] / 1e6:g} MB")
            rss_result = "PASS" if r["rss_pass"] else "FAIL"
        rows.append((r["label"], f"{r['quendal']:.3f} s",
                     f"{r['reference']:.3f} s ({REFERENCE_NAMES[r['name']]})",
                     f"{r['ratio']:.3f}", f"<= {r['target']:g}",
                     "PASS" if r["time_pass"] else "FAIL", rss, rss_target, rss_result))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    log("")
    for index, row in enumerate(rows):
        log("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
        if index == 0:
            log("  ".join("-" * width for width in widths))


# ---- cold runs ----


class CacheDropper:
    """Empties the page cache before a timed run: all of it through /proc/sys/vm/drop_caches
    when the kernel lets us, otherwise each listed file's data through POSIX_FADV_DONTNEED
    (which leaves directory entries and inodes cached)."""

    def __init__(self):
        self.method = None

    def drop(self, client, names):
        os.sync()
        if self.method in (None, "drop_caches"):
            try:
                with open("/proc/sys/vm/drop_caches", "w", encoding="ascii") as control:
                    control.write("3\n")
                self.method = "drop_caches"
                return
            except OSError as error:
                log(f"  /proc/sys/vm/drop_caches refused ({error.strerror}): evicting each file's"
                    " data with posix_fadvise(POSIX_FADV_DONTNEED) instead; directory entries"
                    " and inodes stay cached")
                self.method = "fadvise"
        for name in names:
            fd = os.open(os.path.join(client, name), os.O_RDONLY)
            try:
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)


def cat_command(directory, list_path, count, readers):
    """`cat` over the list with `readers` processes at a time: reads only, no hashing."""
    client = os.path.join(directory, "client")
    # Small batches, so that no reader is left with a long tail of the list.
    batch = str(max(1, min(10000, count // (4 * readers))))

    def run():
        with open(list_path, "rb") as names:
            done = subprocess.run(["xargs", "-0", "-P", str(readers), "-n", batch, "-s",
                                   "1048576", "cat"], cwd=client, stdin=names,
                                  stdout=subprocess.DEVNULL)
        if done.returncode != 0:
            die(f"cat exited with {done.returncode}")

    return Command(f"cat x{readers}", run, lambda: None)


def bench_cold(name, directory, rounds, scratch, dropper):
    files = manifest_files(directory)
    names = [entry["path"] for entry in files]
    total = sum(entry["size"] for entry in files)
    label = f"{name}: {len(names)} files, {size_text(total)}"
    log(f"\n== cold {label}: quendal vs. two openssl dgst -sha256, cat x"
        + " and cat x".join(str(r) for r in CAT_READERS))
    client = os.path.join(directory, "client")
    all_list = os.path.join(scratch, f"cold-{name}-all.lst")
    write_list(all_list, names)
    halves = [os.path.join(scratch, f"cold-{name}-half{i}.lst") for i in range(2)]
    write_list(halves[0], names[:len(names) // 2])
    write_list(halves[1], names[len(names) // 2:])
    report = os.path.join(scratch, f"cold-{name}-report.json")
    commands = [quendal_command(directory, report, expect_cached=False),
                openssl_command(directory, halves, scratch)]
    commands += [cat_command(directory, all_list, len(names), r) for r in CAT_READERS]
    for command in commands:  # results checked once, from the page cache
        command.run()
        command.check()
    times = {command.name: [] for command in commands}
    for round_index in range(rounds):
        shift = round_index % len(commands)
        line = []
        for command in commands[shift:] + commands[:shift]:
            dropper.drop(client, names)
            times[command.name].append(timed(command))
            line.append(f"{command.name} {times[command.name][-1]:.3f} s")
        log(f"  round {round_index + 1}: " + ", ".join(line))
    commands[0].check()
    dropper.drop(client, names)
    rss = peak_rss_kib(quendal_argv(directory, report))
    medians = {command: statistics.median(seconds) for command, seconds in times.items()}
    fastest_cat = min((medians[f"cat x{r}"], f"cat x{r}") for r in CAT_READERS)
    log("  medians: " + ", ".join(f"{command} {m:.3f} s ({total / m / 1e9:.2f} GB/s)"
                                  for command, m in medians.items()))
    checks = []
    for reference, target in COLD_TARGETS[name].items():
        reference_name = fastest_cat[1] if reference == "cat" else reference
        ratio = medians["quendal"] / medians[reference_name]
        checks.append((reference_name, ratio, target, ratio <= target))
    return {"label": label, "medians": medians, "checks": checks, "rss": rss}


def print_cold_table(results, method):
    log(f"\ncold runs: page cache emptied before every timed run through {method}")
    names = ["quendal", "openssl x2"] + [f"cat x{r}" for r in CAT_READERS]
    rows = [["benchmark"] + names + ["quendal /", "ratio", "target", "result", "peak RSS"]]
    for r in results:
        rss = "n/a" if r["rss"] is None else f"{r['rss'] / 1024:.1f} MiB"
        medians = [f"{r['medians'][n]:.3f} s" for n in names]
        checks = r["checks"] or [("openssl x2", r["medians"]["quendal"]
                                  / r["medians"]["openssl x2"], None, True)]
        for index, (reference, ratio, target, passed) in enumerate(checks):
            first = index == 0
            rows.append([r["label"] if first else ""] + (medians if first else [""] * len(names))
                        + [reference, f"{ratio:.3f}", "-" if target is None else f"<= {target:g}",
                           "-" if target is None else ("PASS" if passed else "FAIL"),
                           rss if first else ""])
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for index, row in enumerate(rows):
        log("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
        if index == 0:
            log("  ".join("-" * width for width in widths))


def main():
    parser = argparse.ArgumentParser(prog="bench/run", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", choices=["large", "small", "game", "cached"]
                        + [shape + part for shape in MILLION_SHAPES
                           for part in ("", "-full", "-cached")] + list(ALIASES),
                        help="run one comparison only (million: both million-full and"
                        " million-cached; scattered: both of its comparisons)")
    parser.add_argument("--cold", action="store_true",
                        help="drop the page cache before every timed run (large, small, game)")
    parser.add_argument("--rounds", type=int,
                        help=f"timed rounds (default 5; {MILLION_ROUNDS} for the million and"
                        " scattered shapes)")
    parser.add_argument("--corpus", default=os.path.join(REPO, "bench", "corpus"),
                        help="where the corpora live (default bench/corpus)")
    parser.add_argument("--no-build", action="store_true", help="use build/ as it is")
    parser.add_argument("--small-count", type=int, default=100000,
                        help="files in the small corpus (for development)")
    parser.add_argument("--large-count", type=int, default=6,
                        help="files in the large corpus (for development)")
    parser.add_argument("--large-mib", type=int, default=256,
                        help="MiB per large file (for development)")
    parser.add_argument("--game-count", type=int, default=3456,
                        help="files in the game-like corpus (for development)")
    parser.add_argument("--million-count", type=int, default=1000000,
                        help="files in the million and scattered corpora (for development)")
    options = parser.parse_args()
    if options.rounds is not None and options.rounds < 1:
        parser.error("--rounds must be at least 1")
    if not 1 <= options.million_count <= 1000000:
        parser.error("--million-count must be from 1 to 1000000")
    rounds = 5 if options.rounds is None else options.rounds
    million_rounds = MILLION_ROUNDS if options.rounds is None else options.rounds
    only = ALIASES.get(options.only, options.only)
    kinds = (("large", "small", "game") if options.cold
             else ("large", "small", "game", "cached")
             + tuple(f"{shape}-{part}" for shape in MILLION_SHAPES for part in ("full", "cached")))
    selected = [name for name in kinds
                if only in (None, name) or (only in MILLION_SHAPES and name.startswith(only + "-"))]
    million_selected = [name for name in selected if name.split("-")[0] in MILLION_SHAPES]
    if not selected:
        parser.error(f"--only {only} has no cold run")

    if not options.no_build:
        build()
    for binary in (QUENDAL, MAKE_CORPUS) + ((FLOOR_LOOP,) if million_selected else ()):
        if not os.access(binary, os.X_OK):
            die(f"{binary} is missing; build it first")
    for tool in ("openssl", "xargs", "git"):
        if shutil.which(tool) is None:
            die(f"{tool} is not installed")

    root = os.path.abspath(options.corpus)
    os.makedirs(root, exist_ok=True)
    large = small = None
    if "large" in selected:
        large = corpus(root, "large", ["--count", str(options.large_count),
                                       "--mib", str(options.large_mib)])
    if "small" in selected or "cached" in selected:
        small = corpus(root, "small", ["--count", str(options.small_count)])
    game = None
    if "game" in selected:
        game = corpus(root, "game", ["--count", str(options.game_count)])
    shapes = {}
    for shape in MILLION_SHAPES:
        if any(name.startswith(shape + "-") for name in million_selected):
            shapes[shape] = corpus(root, shape, ["--count", str(options.million_count)])

    if options.cold:
        dropper = CacheDropper()
        results = []
        with tempfile.TemporaryDirectory(prefix="quendal-bench-") as scratch:
            for name, directory in (("large", large), ("small", small), ("game", game)):
                if name in selected:
                    results.append(bench_cold(name, directory, rounds, scratch, dropper))
        print_cold_table(results, dropper.method)
        return 0 if all(c[3] for r in results for c in r["checks"]) else 1

    results = []
    with tempfile.TemporaryDirectory(prefix="quendal-bench-") as scratch:
        if "large" in selected:
            results.append(bench_hashing("large", large, rounds, scratch))
        if "small" in selected:
            results.append(bench_hashing("small", small, rounds, scratch))
        if "game" in selected:
            results.append(bench_hashing("game", game, rounds, scratch))
        if "cached" in selected:
            results.append(bench_cached(small, rounds, scratch))
        for shape, directory in shapes.items():
            results += bench_million(shape, directory, million_selected, million_rounds, scratch)
    print_table(results)
    return 0 if all(r["pass"] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
