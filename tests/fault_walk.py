#!/usr/bin/env python3
"""The fault-injection walk: runs quendal_faults, the test build that fails the Nth call of a
chosen kind (src/platform/fault_point.h), once for every call that a cached scan makes.

    python3 tests/fault_walk.py --binary build/quendal_faults [--kinds open,read,...] [-v]

Each variant (a valid cache with one changed file, a corrupted cache, a cache in a directory that
does not exist yet; the report to a file or to standard output) is run once counting its calls,
then once per call N of each kind with that call failed by EIO, and by ENOSPC, EACCES and ENOMEM
for the first and the last N; then with ENOSPC on every call of the kind from the first and from
the middle one on, as a disk that stays full (for allocations: memory that stays exhausted).
Every faulted run must
  - exit with status 1 and exactly one message besides the variant's corrupted-cache warning:
    the message of the step that owns the failed call (with a lasting fault, of one of the
    failed calls), ending in the error's system text; or, for the calls whose failure the run
    survives by design, exit 0 with a report of the right verdicts;
  - never crash, hang or leave a report behind a failure;
  - leave the cache as it was, absent, or a complete new document with the right entries;
and the next run without a fault must succeed with the right verdicts and store a complete
cache. Expected verdicts and digests come from the fixture, through hashlib.

The allocation kind fails the Nth operator new with std::bad_alloc. Its message is that of
whichever step owned the allocation, "Failed to ...: out of memory"; an allocation whose failure
the run survives (a worker thread that cannot be started: the pool goes on with fewer) must give
exit 0 and the right report, like the survivable I/O calls. Allocations are walked with one
error only: the error number means nothing to an allocation.
"""

import argparse
import errno
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

IO_KINDS = ["open", "read", "write", "rename", "remove", "create_directory", "metadata"]
ALL_KINDS = IO_KINDS + ["allocation"]
ERRORS = {"EIO": errno.EIO, "ENOSPC": errno.ENOSPC, "EACCES": errno.EACCES,
          "ENOMEM": errno.ENOMEM}
CACHE_SCHEMA = "velor-tirn-client-hash-cache.v2"
STDOUT_LABEL = "(standard output)"
T = 1700000000  # last-write second of the client files


def sha(data):
    return hashlib.sha256(data).hexdigest()


def patterned(size):
    return bytes((i * 131 + i // 8191) % 251 for i in range(size))


# path: (content on disk or None, content the manifest lists, policy)
CLIENT = {
    "a.txt": (b"abc", b"abc", "required"),
    "data/b.bin": (patterned(300_000), patterned(300_000), "required"),
    # Longer than one 8 MiB read window, so that one of its reads fails in the middle of the file.
    "data/big.pak": (patterned(300_000) * 28, patterned(300_000) * 28, "required"),
    "data/c.txt": (b"hello world!", b"HELLO WORLD!", "critical"),
    "d.txt": (b"12345", b"1234", "optional"),
    "e.txt": (None, b"gone", "required"),
    "system.cfg": (b"user settings", b"defaults", "required"),  # protected: kept as it is
}


def expected_verdicts():
    """(summary, [(path, status, actualSize, actualSha256)], [(path, reason)])."""
    files, actions = [], []
    for path, (disk, listed, _) in CLIENT.items():
        if disk is None:
            files.append((path, "missing", None, None))
            actions.append((path, "missing"))
        elif path == "system.cfg":
            files.append((path, "healthy", len(disk), None))
        elif len(disk) != len(listed):
            files.append((path, "modified", len(disk), None))
            actions.append((path, "size_mismatch"))
        elif sha(disk) != sha(listed):
            files.append((path, "modified", len(disk), sha(disk)))
            actions.append((path, "hash_mismatch"))
        else:
            files.append((path, "healthy", len(disk), sha(disk)))
    bad = [p for p, status, _, _ in files if status != "healthy"]
    summary = {"expectedFiles": len(files), "healthyFiles": len(files) - len(bad),
               "missingFiles": sum(f[1] == "missing" for f in files),
               "modifiedFiles": sum(f[1] == "modified" for f in files),
               "criticalMismatches": sum(CLIENT[p][2] == "critical" for p in bad),
               "bytesToDownload": sum(len(CLIENT[p][1]) for p in bad)}
    return summary, files, actions


def report_verdicts(report):
    return (report["summary"],
            [(f["path"], f["status"], f["actualSize"], f["actualSha256"]) for f in report["files"]],
            [(a["path"], a["reason"]) for a in report["repairActions"]])


class Variant:
    def __init__(self, name, cache_rel, output, prepare):
        self.name, self.cache_rel, self.output, self.prepare = name, cache_rel, output, prepare


VARIANTS = [
    # A cache stored by a clean run, then a.txt touched so that it alone is hashed again.
    Variant("valid cache, report to a file", "state/cache.json", "out/report.json", "valid"),
    Variant("corrupted cache, report to standard output", "state/cache.json", None, "corrupted"),
    Variant("cache in a new directory, report to a file", "state/new/deeper/cache.json",
            "out/report.json", "absent"),
]


class Walk:
    def __init__(self, binary, verbose):
        self.binary = os.path.abspath(binary)
        self.verbose = verbose
        self.passed = 0
        self.skipped = 0  # allocation calls that a run did not reach
        self.survived = 0  # allocation failures the run survived with the right report
        self.failures = []
        self.runs = 0
        self.coverage = {}  # (variant, kind) -> number of calls walked
        self.dir = Path(os.path.realpath(tempfile.mkdtemp(prefix="quendal-faults-")))
        self.client = self.dir / "client"
        self.manifest = self.dir / "manifest.json"
        self.expected = expected_verdicts()
        self.make_fixture()

    # -- fixture ---------------------------------------------------------------------------------

    def make_fixture(self):
        files = []
        for path, (disk, listed, policy) in CLIENT.items():
            files.append({"path": path, "size": len(listed), "sha256": sha(listed),
                          "blobPath": "blobs/" + sha(listed), "policy": policy})
            if disk is not None:
                p = self.client / path
                p.parent.mkdir(parents=True, exist_ok=True)
                p.write_bytes(disk)
                os.utime(p, (T, T))
        doc = {"schemaVersion": "velor-tirn-manifest.v3", "channel": "live",
               "releaseVersion": "1.2.0", "publishedAt": "2026-01-31T00:00:00Z",
               "hashAlgorithm": "sha256", "downloadBaseUrl": "https://cdn.example.invalid/",
               "files": files,
               "signature": {"algorithm": "ed25519", "keyId": "k", "signature": "c2ln"}}
        self.manifest.write_text(json.dumps(doc, indent=2))
        self.hashed = {p: (len(d), sha(d)) for p, (d, listed, _) in CLIENT.items()
                       if d is not None and p != "system.cfg" and len(d) == len(listed)}
        # The valid cache: stored by a clean run, then a.txt gets a new last-write second.
        self.valid_cache = None
        cache = self.dir / "state" / "cache.json"
        self.reset(VARIANTS[0], cache_bytes=None)
        run = self.run(VARIANTS[0])
        if run.returncode != 0:
            raise SystemExit("fault walk: the clean run failed: %r" % (run.stderr,))
        self.valid_cache = cache.read_bytes()
        os.utime(self.client / "a.txt", (T + 60, T + 60))

    def reset(self, variant, cache_bytes="from variant"):
        for name in ("state", "out"):
            shutil.rmtree(self.dir / name, ignore_errors=True)
        (self.dir / "out").mkdir()
        cache = self.dir / variant.cache_rel
        if cache_bytes == "from variant":
            cache_bytes = {"valid": self.valid_cache, "corrupted": b"{", "absent": None}[
                variant.prepare]
        if cache_bytes is not None:
            cache.parent.mkdir(parents=True, exist_ok=True)
            cache.write_bytes(cache_bytes)
        return cache_bytes

    # -- running ---------------------------------------------------------------------------------

    def args(self, variant):
        args = ["--client-dir", str(self.client), "--manifest", str(self.manifest),
                "--cache", str(self.dir / variant.cache_rel)]
        if variant.output:
            args += ["--output", str(self.dir / variant.output)]
        return args

    def run(self, variant, plan=None):
        env = {k: v for k, v in os.environ.items() if k != "QUENDAL_FAULTS"}
        if plan:
            env["QUENDAL_FAULTS"] = plan
        self.runs += 1
        return subprocess.run([self.binary] + self.args(variant), cwd=self.dir, env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)

    def read_log(self, path):
        calls = []
        if path.exists():
            for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
                kind, number, call_path = line.split("\t", 2)
                calls.append((kind, int(number), call_path))
            path.unlink()
        return calls

    # -- expectations ----------------------------------------------------------------------------

    def expectation(self, variant, kind, number, path):
        """A regular expression for the one failure message, "silent" for a call whose failure
        the run survives, or None when nothing is known about the call."""
        cache = str(self.dir / variant.cache_rel)
        client = str(self.client)

        def message(prefix, *paths, tail="': "):
            return re.escape(prefix % paths + tail)

        client_file = path.startswith(client + "/")
        tmp = re.escape(cache.rsplit(".", 1)[0]) + r"\.json\.tmp-[0-9]+"
        if kind == "allocation":
            return r"Failed to [^\n]*: out of memory"
        if kind == "metadata":
            if path in (cache, client):
                return "silent"  # no cache / the root as typed / the rename replaces anyway
            if client_file:
                return message("Failed to read metadata for '%s", path)
        if kind in ("open", "read"):
            if path == str(self.manifest):
                return message("Failed to read manifest '%s", path)
            if path == cache:
                return message("Failed to read cache '%s", path)
            if client_file:
                return message(("Failed to open '%s" if kind == "open" else "Failed to read '%s"),
                               path)
        # A new sibling file starts with the removal of whatever stands at its name.
        if kind in ("open", "write", "remove"):
            if re.fullmatch(re.escape(cache.rsplit(".", 1)[0]) + r"\.json\.corrupt-[0-9]+", path):
                return message("Failed to preserve corrupted cache '%s' as '%s", cache, path)
            if re.fullmatch(tmp, path):
                return message("Failed to write temporary cache '%s", path)
            if variant.output and path == str(self.dir / variant.output):
                return message("Failed to write scan output to '%s", path)
            if kind == "write" and path == STDOUT_LABEL and not variant.output:
                return re.escape("Failed to write scan output to standard output: ")
        if kind == "remove" and path == cache:
            # The corrupted file is removed at load, and the store then finds no file to replace.
            if variant.prepare == "corrupted":
                return message("Failed to remove corrupted cache '%s", cache)
            return message("Failed to replace cache '%s", cache)
        if kind == "rename" and path == cache:
            return message("Failed to finalize cache '%s", cache, tail="' from '") + tmp + "': "
        parent = os.path.dirname(cache)
        if kind == "create_directory" and (parent + "/").startswith(path + "/"):
            # Each missing directory above the parent is one more call; the message names the
            # directory the store asked for.
            return message("Failed to create cache directory '%s", parent)
        return None

    # -- checks ----------------------------------------------------------------------------------

    def check_cache(self, variant, before, allow_old=True):
        """The cache is absent, the bytes it had before (when allowed) or a complete new document
        with this client's entries. Returns a fault description or None."""
        cache = self.dir / variant.cache_rel
        if not cache.exists():
            return None if allow_old else "no cache after a clean run"
        data = cache.read_bytes()
        if allow_old and data == before:
            return None
        try:
            doc = json.loads(data)
        except ValueError as e:
            return "cache is neither old nor a complete document (%s): %r" % (e, data[:80])
        entries = {p: (e["size"], e["sha256"]) for p, e in doc.get("entries", {}).items()}
        if doc.get("schemaVersion") != CACHE_SCHEMA or doc.get("clientRoot") != str(self.client):
            return "cache document has the wrong schema or root: %r" % data[:120]
        if entries != self.hashed:
            return "cache entries %r, expected %r" % (entries, self.hashed)
        return None

    def check_report(self, variant, run):
        """The report of a successful run, from standard output or the output file."""
        if variant.output:
            data = (self.dir / variant.output).read_bytes() if (
                self.dir / variant.output).exists() else b""
            if run.stdout:
                return "standard output is not empty: %r" % run.stdout[:80]
        else:
            data = run.stdout
            if not data.endswith(b"\n"):
                return "report on standard output does not end in a line feed"
        try:
            verdicts = report_verdicts(json.loads(data))
        except (ValueError, KeyError) as e:
            return "no readable report (%s): %r" % (e, data[:80])
        if verdicts != self.expected:
            return "wrong verdicts %r" % (verdicts,)
        return None

    def split_stderr(self, variant, err):
        """The lines of standard error without the variant's corrupted-cache warning, or a fault
        description."""
        lines = err.decode("utf-8", "replace").split("\n")
        if lines[-1] != "":
            return None, "standard error does not end in a line feed: %r" % err
        lines = lines[:-1]
        warning = "Ignoring corrupted client hash cache '%s' and rebuilding it: " % (
            self.dir / variant.cache_rel)
        if lines and variant.prepare == "corrupted" and lines[0].startswith(warning):
            lines = lines[1:]
        return lines, None

    def faulted_run(self, variant, kind, number, error_name, repeat=False):
        """Fails call `number` of `kind` (and with `repeat` every later one too). Returns the
        problems found (None when the run never made that call) and the faulted run."""
        before = self.reset(variant)
        log = self.dir / "fault.log"
        plan = "kind=%s;call=%d;error=%s;log=%s" % (kind, number, error_name, log)
        run = self.run(variant, plan + (";repeat" if repeat else ""))
        failed = self.read_log(log)
        problems = []
        if run.returncode not in (0, 1):
            problems.append("exit status %d (a crash?)" % run.returncode)
        if b"Sanitizer" in run.stderr or b"runtime error" in run.stderr:
            problems.append("sanitizer report")
        if not failed and kind == "allocation":
            return None, run  # how often the workers allocate varies from run to run
        if not failed or (len(failed) > 1 and not repeat):
            problems.append("the plan failed %d calls, not one: %r" % (len(failed), failed))
            return problems, run
        # With a repeated fault the message is that of one of the failed calls: the first one
        # in scan-list order, whichever thread made it first.
        expectations = [self.expectation(variant, kind, n, path) for _, n, path in failed]
        unknown = [call for call, e in zip(failed, expectations) if e is None]
        messages = [e for e in expectations if e not in (None, "silent")]
        lines, fault = self.split_stderr(variant, run.stderr)
        if kind == "allocation" and run.returncode == 0 and not fault:
            messages = []  # survived: judged like a failure the run survives by design
            self.survived += 1
        if fault:
            problems.append(fault)
        elif unknown:
            problems.append("no expectation for the failed calls %r" % unknown)
        elif not messages:
            if run.returncode != 0 or lines:
                problems.append("a failure the run survives gave exit %d and %r" % (
                    run.returncode, lines))
            else:
                problems += filter(None, [self.check_report(variant, run)])
        else:
            cause = "" if kind == "allocation" else os.strerror(ERRORS[error_name])
            if run.returncode != 1:
                problems.append("exit status %d, expected 1" % run.returncode)
            if len(lines) != 1 or not any(re.fullmatch(m + re.escape(cause), lines[0])
                                          for m in messages):
                problems.append("messages %r, expected one matching one of %r (then %r)" % (
                    lines, messages, cause))
            if run.stdout:
                problems.append("standard output after a failure: %r" % run.stdout[:80])
            output = self.dir / variant.output if variant.output else None
            if output and output.exists() and not (
                    any(path == str(output) for _, _, path in failed) and
                    output.read_bytes() == b""):
                problems.append("a report file was left behind a failure")
        problems += filter(None, [self.check_cache(variant, before)])

        # The next run, without a fault, must be a good scan and store a complete cache.
        clean = self.run(variant)
        lines, fault = self.split_stderr(variant, clean.stderr)
        if clean.returncode != 0 or fault or lines:
            problems.append("the next clean run gave exit %d and %r" % (clean.returncode,
                                                                         clean.stderr))
        else:
            problems += filter(None, [self.check_report(variant, clean),
                                      self.check_cache(variant, None, allow_old=False)])
        return problems, run

    def walk(self, kinds):
        for variant in VARIANTS:
            self.reset(variant)
            log = self.dir / "count.log"
            run = self.run(variant, "count;log=%s" % log)
            calls = self.read_log(log)
            problem = self.check_report(variant, run)
            if run.returncode != 0 or problem:
                self.fail(variant, "count", 0, "", ["counting run: exit %d, %s, %r" % (
                    run.returncode, problem, run.stderr)])
                continue
            for kind in kinds:
                count = sum(1 for k, _, _ in calls if k == kind)
                self.coverage[(variant.name, kind)] = count
                runs = []
                for number in range(1, count + 1):
                    runs.append((number, "EIO", False))
                    if kind != "allocation" and number in (1, count):
                        runs += [(number, e, False) for e in ("ENOSPC", "EACCES", "ENOMEM")]
                # A fault that stays (a full disk, memory that stays exhausted): every call from
                # the first or the middle on.
                if count:
                    runs += [(n, "EIO" if kind == "allocation" else "ENOSPC", True)
                             for n in sorted({1, count // 2 + 1})]
                for number, error_name, repeat in runs:
                    problems, faulted = self.faulted_run(variant, kind, number, error_name,
                                                         repeat)
                    if problems is None:
                        self.skipped += 1
                    elif problems:
                        self.fail(variant, kind, number, error_name, problems, faulted)
                    else:
                        self.passed += 1
                        if self.verbose:
                            print("ok   %-45s %s #%d%s %s" % (variant.name, kind, number,
                                                            "+" if repeat else "", error_name))

    def fail(self, variant, kind, number, error_name, problems, run=None):
        self.failures.append((variant.name, kind, number, error_name))
        print("FAIL %s: %s call %d (%s)" % (variant.name, kind, number, error_name))
        for problem in problems:
            print("     - %s" % problem)
        if run is not None and self.verbose:
            print("     stderr: %r" % run.stderr[:500])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True, help="path of quendal_faults")
    parser.add_argument("--kinds", default="all",
                        help="comma-separated kinds to walk (default: all, the I/O kinds and "
                             "allocation)")
    parser.add_argument("-v", "--verbose", action="store_true")
    options = parser.parse_args()
    kinds = ALL_KINDS if options.kinds == "all" else options.kinds.split(",")
    unknown = [k for k in kinds if k not in ALL_KINDS]
    if unknown or not os.path.exists(options.binary):
        print("fault walk: unknown kinds %r or no binary %s" % (unknown, options.binary),
              file=sys.stderr)
        return 2
    start = time.monotonic()
    walk = Walk(options.binary, options.verbose)
    try:
        walk.walk(kinds)
    finally:
        shutil.rmtree(walk.dir, ignore_errors=True)
    print("fault walk: calls walked per variant and kind:")
    for variant in VARIANTS:
        print("  %-45s %s" % (variant.name, ", ".join(
            "%s %d" % (k, walk.coverage.get((variant.name, k), 0)) for k in kinds)))
    print("fault walk: %d runs in %.1f s" % (walk.runs, time.monotonic() - start))
    print("faults: %d passed (%d allocation failures survived), %d failed, %d skipped" % (
        walk.passed, walk.survived, len(walk.failures), walk.skipped))
    return 0 if not walk.failures and walk.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
