"""Shared fixtures for the end-to-end tests: they run the real quendal binary on real
temporary directories and compare exact bytes of its outputs.

Expected JSON is built with the small encoders below, written from the report's and the
cache's encoding rules (compact: no whitespace, only " \\ \\b \\t \\n \\f \\r escaped by letter,
other control characters as lower-case \\u00XX, everything else raw UTF-8; indented: two
spaces per level, ": " after keys, "{}" for an empty object). Digests come from hashlib.
"""

import calendar
import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

U64_MAX = 18446744073709551615

USAGE = (
    "Usage: quendal --client-dir <PATH> --manifest <PATH> [--cache <PATH>] [--output <PATH>]\n"
    "\n"
    "Implicit exclusions include .velor-updater, velor-tirn.exe, quendal.exe, tools/quendal.exe,"
    " and log.txt.\n"
    "Protected root files are preserved when present and only repaired when missing."
)

IMPLICIT_EXCLUSIONS = ["log.txt", "quendal.exe", "tools/quendal.exe", "velor-tirn.exe"]
REPORT_SCHEMA = "velor-tirn-client-scan.v1"
CACHE_SCHEMA = "velor-tirn-client-hash-cache.v2"

# Known SHA-256 vectors (FIPS 180-4 examples).
SHA_ABC = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
SHA_EMPTY = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"

class _Omit:
    def __repr__(self):
        return "OMIT"


OMIT = _Omit()  # field value that removes the key from a built document


class Config:
    binary = os.environ.get("QUENDAL_BINARY", "build/quendal")
    emulator: list = []
    platform = "posix"


def configure(binary, emulator=None, platform="posix"):
    Config.binary = os.path.abspath(binary)
    Config.emulator = shlex.split(emulator) if emulator else []
    Config.platform = platform


def windows():
    return Config.platform == "windows"


def posix_only(reason="needs a POSIX file system fault"):
    return unittest.skipIf(windows(), reason)


def sha256_hex(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


# ---------------------------------------------------------------------------------------------
# Paths as the tool sees them


def arg(path) -> str:
    """The text of a local path as it is passed on the command line."""
    text = os.fspath(path)
    if not windows() or os.name == "nt":
        return text
    if not os.path.isabs(text):
        return text.replace("/", "\\")
    return "Z:" + text.replace("/", "\\")  # Wine maps the Unix root to drive Z:


def root_text(directory) -> str:
    """The clientRoot text for an existing client directory."""
    real = os.path.realpath(directory)
    if not windows():
        return real
    return "\\\\?\\" + (real if os.name == "nt" else arg(real))


def disk_path(root: str, manifest_path: str) -> str:
    """The on-disk path of a manifest entry as shown in messages ("." segments are left out of
    the Windows form)."""
    segments = [s for s in re.split(r"[/\\]", manifest_path)
                if s.strip() and not (windows() and s == ".")]
    sep = "\\" if windows() else "/"
    return sep.join([root] + segments)


# ---------------------------------------------------------------------------------------------
# JSON encoders for expected bytes

_LETTER_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n",
                   "\f": "\\f", "\r": "\\r"}


def json_string(text: str) -> str:
    out = []
    for ch in text:
        if ch in _LETTER_ESCAPES:
            out.append(_LETTER_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append("\\u%04x" % ord(ch))
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def _scalar(value) -> str:
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str):
        return json_string(value)
    raise TypeError(value)


def compact(value) -> str:
    if isinstance(value, dict):
        return "{" + ",".join(json_string(k) + ":" + compact(v) for k, v in value.items()) + "}"
    if isinstance(value, list):
        return "[" + ",".join(compact(v) for v in value) + "]"
    return _scalar(value)


def indented(value, level=0) -> str:
    if isinstance(value, dict):
        if not value:
            return "{}"
        pad = "  " * (level + 1)
        members = [pad + json_string(k) + ": " + indented(v, level + 1) for k, v in value.items()]
        return "{\n" + ",\n".join(members) + "\n" + "  " * level + "}"
    return _scalar(value)


def byte_sorted(keys):
    return sorted(keys, key=lambda k: k.encode("utf-8"))


# ---------------------------------------------------------------------------------------------
# Timestamps

TIMESTAMP_RE = re.compile(
    r"^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(?:\.(\d{3}|\d{6}|\d{9}))?Z$")


def timestamp_ns(text: str):
    """Nanoseconds since the epoch of a timestamp text in the tool's written form, or None
    when the text is not in that form (fraction of 0, 3, 6 or 9 digits, shortest exact)."""
    m = TIMESTAMP_RE.match(text)
    if not m:
        return None
    fraction = m.group(7) or ""
    if fraction and fraction.endswith("000"):
        return None
    seconds = calendar.timegm(tuple(int(g) for g in m.groups()[:6]))
    return seconds * 1_000_000_000 + int(fraction.ljust(9, "0") or 0)


# ---------------------------------------------------------------------------------------------
# Manifests and expected reports


def file_entry(path, content=b"", *, size=None, sha256=None, blob=None, policy="required"):
    digest = sha256_hex(content) if sha256 is None else sha256
    return {"path": path, "size": len(content) if size is None else size, "sha256": digest,
            "blobPath": "blobs/" + digest[:2] + "/" + digest if blob is None else blob,
            "policy": policy}


def manifest_doc(files, **fields):
    doc = {
        "schemaVersion": "velor-tirn-manifest.v3",
        "channel": "live",
        "releaseVersion": "1.2.0",
        "publishedAt": "2026-01-31T00:00:00Z",
        "minimumLauncherVersion": "3.0.1",
        "hashAlgorithm": "sha256",
        "downloadBaseUrl": "https://cdn.example.invalid/live/1.2.0/",
        "releaseNotes": ["Bug fixes."],
        "excludedPaths": [],
        "repairIfMissingPaths": [],
        "files": files,
        "signature": {"algorithm": "ed25519", "keyId": "release-2026", "signature": "c2ln"},
    }
    for key, value in fields.items():
        if value is OMIT:
            doc.pop(key, None)
        else:
            doc[key] = value
    return doc


def _result(f, actual_size, actual_sha, status, cached):
    return {"path": f["path"], "policy": f["policy"], "expectedSize": f["size"],
            "expectedSha256": f["sha256"], "actualSize": actual_size, "actualSha256": actual_sha,
            "status": status, "usedCachedHash": cached}


def _action(f, reason):
    return {"path": f["path"], "policy": f["policy"], "reason": reason,
            "expectedSize": f["size"], "expectedSha256": f["sha256"], "blobPath": f["blobPath"]}


def healthy(f, digest=None, cached=False):
    return _result(f, f["size"], f["sha256"] if digest is None else digest, "healthy", cached), None


def preserved(f, actual_size):
    return _result(f, actual_size, None, "healthy", False), None


def missing(f):
    return _result(f, None, None, "missing", False), _action(f, "missing")


def size_mismatch(f, actual_size):
    return _result(f, actual_size, None, "modified", False), _action(f, "size_mismatch")


def hash_mismatch(f, actual_size, digest, cached=False):
    return _result(f, actual_size, digest, "modified", cached), _action(f, "hash_mismatch")


def summary(expected, healthy_n, missing_n, modified_n, critical, download):
    return {"expectedFiles": expected, "healthyFiles": healthy_n, "missingFiles": missing_n,
            "modifiedFiles": modified_n, "criticalMismatches": critical,
            "bytesToDownload": download}


def summary_of(verdicts):
    files = [v[0] for v in verdicts]
    bad = [f for f in files if f["status"] != "healthy"]
    return summary(len(files), len(files) - len(bad),
                   sum(f["status"] == "missing" for f in files),
                   sum(f["status"] == "modified" for f in files),
                   sum(f["policy"] == "critical" for f in bad),
                   min(U64_MAX, sum(f["expectedSize"] for f in bad)))


SCANNED_MARK = "\0scannedAt\0"
GENERATED_MARK = "\0generatedAt\0"


def expected_report(root, doc, verdicts, *, excluded=None, repair=(), published=None,
                    counters=None):
    sig = doc["signature"]
    return {
        "schemaVersion": REPORT_SCHEMA,
        "clientRoot": root,
        "scannedAt": SCANNED_MARK,
        "manifest": {
            "channel": doc["channel"],
            "releaseVersion": doc["releaseVersion"],
            "publishedAt": published or doc["publishedAt"],
            "minimumLauncherVersion": doc.get("minimumLauncherVersion"),
            "hashAlgorithm": doc["hashAlgorithm"],
            "downloadBaseUrl": doc["downloadBaseUrl"],
            "releaseNotes": list(doc.get("releaseNotes", [])),
            "excludedPaths": list(IMPLICIT_EXCLUSIONS if excluded is None else excluded),
            "repairIfMissingPaths": list(repair),
            "signature": {"algorithm": sig["algorithm"], "keyId": sig["keyId"],
                          "signature": sig["signature"]},
        },
        "summary": counters or summary_of(verdicts),
        "files": [v[0] for v in verdicts],
        "repairActions": [v[1] for v in verdicts if v[1] is not None],
    }


def fingerprint_seconds(text):
    return calendar.timegm(time.strptime(text, "%Y-%m-%dT%H:%M:%SZ"))


def expected_cache(root, entries, signature):
    """entries: {path: (size, modified seconds or None, digest)}."""
    return {
        "schemaVersion": CACHE_SCHEMA,
        "clientRoot": root,
        "manifestSignature": signature,
        "generatedAt": GENERATED_MARK,
        "entries": {k: {"size": entries[k][0], "modifiedUnixSeconds": entries[k][1],
                        "sha256": entries[k][2]} for k in byte_sorted(entries)},
    }


# ---------------------------------------------------------------------------------------------
# Running the binary


class Run:
    def __init__(self, code, out, err, before_ns, after_ns):
        self.code, self.out, self.err = code, out, err
        self.before_ns, self.after_ns = before_ns, after_ns

    def __repr__(self):
        return "Run(code=%r, out=%r, err=%r)" % (self.code, self.out[:2000], self.err[:2000])


def command(args):
    return Config.emulator + [Config.binary] + list(args)


# What Wine itself prints now and then when a busy machine tears a finished process down, after
# everything the program wrote ("wine client error:1a4: sendmsg: Socket operation on
# non-socket", or only its start). quendal never writes such a text.
WINE_EXIT_NOISE = re.compile(rb"wine client error:[0-9a-f]+: [^\n]*\n?")


def run_tool(args, *, cwd=None, stdout=None, timeout=120):
    # quendal never exits non-zero without a message. Under an emulator, now and then the
    # program never starts when the machine is busy (Wine exits 1, silently): such a run is
    # tried again, at most twice; and Wine's own exit noise is taken out of standard error.
    # Without an emulator every run counts as it is.
    for attempt in range(3 if Config.emulator else 1):
        before = time.time_ns()
        proc = subprocess.run(command(args), cwd=cwd, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE if stdout is None else stdout,
                              stderr=subprocess.PIPE, timeout=timeout)
        after = time.time_ns()
        if Config.emulator:
            proc.stderr = WINE_EXIT_NOISE.sub(b"", proc.stderr)
        if proc.returncode == 0 or proc.stderr or proc.stdout:
            break
    return Run(proc.returncode, proc.stdout or b"", proc.stderr, before, after)


def snapshot(directory):
    """Every file and directory below `directory` with its bytes and modification time."""
    state = {}
    for dirpath, dirnames, filenames in os.walk(directory):
        for name in dirnames + filenames:
            p = os.path.join(dirpath, name)
            st = os.lstat(p)
            data = None
            if os.path.isfile(p) and not os.path.islink(p):
                data = Path(p).read_bytes()
            state[os.path.relpath(p, directory)] = (st.st_mode, st.st_mtime_ns, data)
    return state


class E2ETestCase(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.dir = Path(os.path.realpath(tempfile.mkdtemp(prefix="quendal-e2e-")))
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.client_dir = self.dir / "client"
        self.manifest_path = self.dir / "manifest.json"

    # -- fixtures ------------------------------------------------------------------------------

    def make_client(self, files, directory=None):
        """files: {relative path: bytes}; returns the client directory."""
        root = Path(directory or self.client_dir)
        root.mkdir(parents=True, exist_ok=True)
        for rel, data in files.items():
            p = root / rel
            p.parent.mkdir(parents=True, exist_ok=True)
            p.write_bytes(data)
        return root

    def write_manifest(self, doc, path=None):
        """doc: a dict (written with python's json module) or the exact bytes/text."""
        path = Path(path or self.manifest_path)
        if isinstance(doc, dict):
            doc = json.dumps(doc, ensure_ascii=False, indent=2)
        path.write_bytes(doc.encode("utf-8") if isinstance(doc, str) else doc)
        return path

    def root(self, directory=None):
        return root_text(directory or self.client_dir)

    # -- running -------------------------------------------------------------------------------

    def run_tool(self, *args, **kwargs):
        return run_tool(args, **kwargs)

    def scan(self, doc=None, *, client=None, cache=None, output=None, cwd=None, stdout=None,
             timeout=120):
        """Writes `doc` (when given) as the manifest and runs a scan."""
        if doc is not None:
            self.write_manifest(doc)
        args = ["--client-dir", arg(client or self.client_dir), "--manifest",
                arg(self.manifest_path)]
        if cache is not None:
            args += ["--cache", arg(cache)]
        if output is not None:
            args += ["--output", arg(output)]
        return run_tool(args, cwd=cwd, stdout=stdout, timeout=timeout)

    # -- assertions ----------------------------------------------------------------------------

    def assert_usage_error(self, run, message):
        self.assertEqual((run.code, run.out, run.err.decode("utf-8", "replace")),
                         (2, b"", message + "\n\n" + USAGE + "\n"))

    def assert_failure(self, run, message, cause=None):
        """The run failed with `message` followed by the OS text `cause`: compared exactly on
        POSIX; on Windows only the fixed part is compared."""
        self.assertEqual(run.out, b"", run)
        self.assertEqual(run.code, 1, run)
        err = run.err.decode("utf-8", "replace")
        if cause is None or not windows():
            self.assertEqual(err, message + (cause or "") + "\n")
        else:
            self.assertTrue(err.startswith(message) and err.endswith("\n"), err)
            self.assertEqual(err.count("\n"), 1, err)
            self.assertGreater(len(err), len(message) + 1, err)

    def assert_timestamp_within(self, text, before_ns, after_ns):
        ns = timestamp_ns(text)
        self.assertIsNotNone(ns, "not a timestamp text: %r" % text)
        # The Windows clock has 100 ns ticks; allow that much truncation.
        self.assertGreaterEqual(ns, before_ns - 1000, text)
        self.assertLessEqual(ns, after_ns + 1000, text)
        return ns

    def _split_stamp(self, data: bytes, key: str, mark: str):
        text = data.decode("utf-8")
        m = re.search(re.escape(json_string(key)) + r':\s?"([^"]*)"', text)
        self.assertIsNotNone(m, "no %s in %r" % (key, text[:300]))
        stamp = m.group(1)
        return text[:m.start(1) - 1] + json_string(mark) + text[m.end(1) + 1:], stamp

    def assert_report(self, data: bytes, expected: dict, run, newline=True):
        """Compares report bytes with `expected`; scannedAt must be a timestamp text within
        the run. Returns the parsed report."""
        if newline:
            self.assertTrue(data.endswith(b"}\n"), data[-200:])
            self.assertEqual(data.count(b"\n"), 1, "report must be one line")
            data = data[:-1]
        else:
            self.assertTrue(data.endswith(b"}"), data[-200:])
        text, stamp = self._split_stamp(data, "scannedAt", SCANNED_MARK)
        self.assertEqual(text, compact(expected))
        self.assert_timestamp_within(stamp, run.before_ns, run.after_ns)
        return json.loads(data)

    def assert_scan(self, run, expected):
        self.assertEqual((run.code, run.err), (0, b""), run)
        return self.assert_report(run.out, expected, run)

    def assert_cache_file(self, path, expected, run):
        """Compares the stored cache document with `expected` (indented layout, no final line
        feed); generatedAt must be a timestamp text within the run. Returns generatedAt."""
        data = Path(path).read_bytes()
        text, stamp = self._split_stamp(data, "generatedAt", GENERATED_MARK)
        self.assertEqual(text, indented(expected))
        self.assert_timestamp_within(stamp, run.before_ns, run.after_ns)
        return stamp
