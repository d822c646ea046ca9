#!/usr/bin/env python3
"""Times quendal against reference tools on generated corpora.

large   quendal over a few big files vs. two parallel `openssl dgst -sha256` processes
small   quendal over 100,000 small files vs. the same openssl pair
game    quendal over a game-like client (a few big archives, a few thousand assets) vs. the
        same openssl pair
cached  quendal rescan with a filled hash cache vs. `git status -uno` on a git index

Every comparison reads its tree once, runs one untimed warm-up of each command (and checks that
both agree with the manifest), then times interleaved rounds and reports medians.

--cold  times large, small and game with the page cache dropped before every timed run:
        quendal vs. the openssl pair and `cat` with 8 and with 32 parallel readers (the device's
        own limit for these files).
"""

import argparse
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
TIME = "/usr/bin/time"

# Arguments handed to one openssl process at a time; xargs' default 128 KiB command buffer
# would cut the batches to a few thousand names.
XARGS_BATCH = ["-n", "10000", "-s", "1048576"]

TARGETS = {"large": 1.05, "small": 0.9, "game": 0.85, "cached": 3.0}
ALIASES = {"a": "large", "b": "small", "c": "cached", "d": "game"}

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
    command = ["cmake", "--build", BUILD, "--target", "quendal", "quendal_make_corpus"]
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
        subprocess.run(git + ["init", "-q"], env=environment, check=True)
        subprocess.run(git + ["add", "-A"], env=environment, check=True)
        open(stamp, "w", encoding="utf-8").close()
    argv = git + ["status", "-uno"]
    return Command("git status", lambda: run_checked(argv, env=environment), lambda: None)


def peak_rss_kib(argv):
    """Peak resident set size of one run of argv, as /usr/bin/time -v reports it."""
    if not os.path.exists(TIME):
        log(f"{TIME} is missing; installing the 'time' package")
        subprocess.run(["apt-get", "install", "-y", "-q", "time"], stdout=subprocess.DEVNULL)
        if not os.path.exists(TIME):
            return None
    done = subprocess.run([TIME, "-v"] + argv, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        die(f"{' '.join(argv)} exited with {done.returncode}:\n{done.stderr}")
    for line in done.stderr.splitlines():
        if "Maximum resident set size" in line:
            return int(line.rsplit(":", 1)[1])
    return None


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
    return {"name": name, "label": label, "quendal": ours_median,
            "reference": reference_median, "ratio": ratio, "target": TARGETS[name],
            "pass": ratio <= TARGETS[name], "rss": rss}


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


def bench_cached(directory, rounds, scratch):
    files = manifest_files(directory)
    label = f"cached: {len(files)} files rescanned"
    log(f"\n== {label}: quendal --cache vs. git status -uno")
    all_list = os.path.join(scratch, "cached-all.lst")
    write_list(all_list, [entry["path"] for entry in files])
    read_tree(os.path.join(directory, "client"), all_list)
    reference = git_command(directory)
    cache = os.path.join(directory, "cache.json")
    if os.path.exists(cache):
        os.remove(cache)
    report = os.path.join(scratch, "cached-report.json")
    fill = quendal_command(directory, report, expect_cached=False, cache=cache)
    fill_seconds = timed(fill)
    fill.check()
    log(f"  cache filled in {fill_seconds:.3f} s ({os.path.getsize(cache)} bytes)")
    ours = quendal_command(directory, report, expect_cached=True, cache=cache)
    ours_times, reference_times = compare(ours, reference, rounds)
    rss = peak_rss_kib(quendal_argv(directory, report, cache))
    return result("cached", label, ours_times, reference_times, rss)


def print_table(results):
    reference_names = {"large": "openssl x2", "small": "openssl x2", "game": "openssl x2",
                       "cached": "git status"}
    rows = [("benchmark", "quendal", "reference", "ratio", "target", "result", "peak RSS")]
    for r in results:
        rss = "n/a" if r["rss"] is None else f"{r['rss'] / 1024:.1f} MiB"
        rows.append((r["label"], f"{r['quendal']:.3f} s",
                     f"{r['reference']:.3f} s ({reference_names[r['name']]})",
                     f"{r['ratio']:.3f}", f"<= {r['target']:g}",
                     "PASS" if r["pass"] else "FAIL", rss))
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
    parser.add_argument("--only", choices=["large", "small", "game", "cached", "a", "b", "c", "d"],
                        help="run one comparison only")
    parser.add_argument("--cold", action="store_true",
                        help="drop the page cache before every timed run (large, small, game)")
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds (default 5)")
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
    options = parser.parse_args()
    if options.rounds < 1:
        parser.error("--rounds must be at least 1")
    only = ALIASES.get(options.only, options.only)
    kinds = ("large", "small", "game") if options.cold else ("large", "small", "game", "cached")
    selected = [name for name in kinds if only in (None, name)]
    if not selected:
        parser.error(f"--only {only} has no cold run")

    if not options.no_build:
        build()
    for binary in (QUENDAL, MAKE_CORPUS):
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

    if options.cold:
        dropper = CacheDropper()
        results = []
        with tempfile.TemporaryDirectory(prefix="quendal-bench-") as scratch:
            for name, directory in (("large", large), ("small", small), ("game", game)):
                if name in selected:
                    results.append(bench_cold(name, directory, options.rounds, scratch, dropper))
        print_cold_table(results, dropper.method)
        return 0 if all(c[3] for r in results for c in r["checks"]) else 1

    results = []
    with tempfile.TemporaryDirectory(prefix="quendal-bench-") as scratch:
        if "large" in selected:
            results.append(bench_hashing("large", large, options.rounds, scratch))
        if "small" in selected:
            results.append(bench_hashing("small", small, options.rounds, scratch))
        if "game" in selected:
            results.append(bench_hashing("game", game, options.rounds, scratch))
        if "cached" in selected:
            results.append(bench_cached(small, options.rounds, scratch))
    print_table(results)
    return 0 if all(r["pass"] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
