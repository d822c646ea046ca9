"""Tests of the Python bindings against the real library and program.

    QUENDAL_LIBRARY=build/libquendal.so QUENDAL_BINARY=build/quendal \
        python3 -m unittest discover -s bindings/python/tests

The report must be the program's bytes for the example client, progress must end at the totals,
a cancel from another thread must give the cancelled outcome and leave the cache file as it was,
and a missing manifest must give the program's message."""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
PACKAGE = HERE.parent
REPO = PACKAGE.parent.parent
sys.path.insert(0, str(PACKAGE))
import quendal  # noqa: E402

BINARY = os.environ.get("QUENDAL_BINARY", str(REPO / "build" / "quendal"))
if os.environ.get("QUENDAL_LIBRARY"):  # the installed package's test runs in another folder
    os.environ["QUENDAL_LIBRARY"] = os.path.abspath(os.environ["QUENDAL_LIBRARY"])
CLIENT, MANIFEST = REPO / "examples" / "client", REPO / "examples" / "manifest.json"
SCANNED_AT = re.compile(rb'"scannedAt":"[^"]*"')


def without_scanned_at(report: bytes) -> bytes:
    """The report with its one value that differs between runs taken out."""
    stripped, count = SCANNED_AT.subn(b'"scannedAt":""', report)
    assert count == 1, report[:200]
    return stripped


def program_run(*args):
    return subprocess.run([BINARY, *map(str, args)], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120)


class BindingTest(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="quendal-python-"))
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def big_client(self):
        """Two sparse files of 1 GiB: seconds of hashing, nothing on the disk. Returns the
        client, its manifest and a valid cache file whose entries will not be used."""
        client = self.dir / "big"
        client.mkdir()
        files = []
        for name in ("a.bin", "b.bin"):
            with open(client / name, "wb") as f:
                f.truncate(1 << 30)
            files.append({"path": name, "size": 1 << 30, "sha256": "00" * 32,
                          "blobPath": "blobs/" + name, "policy": "required"})
        manifest = dict(json.loads(MANIFEST.read_bytes()), files=files)
        (self.dir / "big.json").write_text(json.dumps(manifest))
        cache = self.dir / "cache.json"
        cache.write_text('{\n  "schemaVersion": "velor-tirn-client-hash-cache.v2",\n'
                         '  "clientRoot": "",\n  "manifestSignature": "x",\n'
                         '  "generatedAt": "2026-01-31T00:00:00Z",\n  "entries": {}\n}')
        return client, self.dir / "big.json", cache

    def test_report_is_the_programs_and_progress_ends_at_the_totals(self):
        program = program_run("--client-dir", CLIENT, "--manifest", MANIFEST)
        self.assertEqual((program.returncode, program.stderr), (0, b""))
        seen = []
        result = quendal.scan(CLIENT, MANIFEST, progress=seen.append)
        self.assertEqual(without_scanned_at(result.report_bytes) + b"\n",
                         without_scanned_at(program.stdout))
        self.assertEqual(result.summary, quendal.Summary(8, 5, 1, 2, 1, 262))
        self.assertEqual(result.report["summary"]["bytesToDownload"], 262)
        self.assertIsNone(result.warning)
        checking = [p for p in seen if p.phase == "checking_files"]
        self.assertEqual(checking[-1], quendal.Progress("checking_files", 8, 8, 291, 291))
        self.assertEqual(seen[-1].phase, "encoding")

    def test_cancel_from_another_thread_leaves_the_cache_as_it_was(self):
        client, manifest, cache = self.big_client()
        before = cache.read_bytes()

        def cancel_once_checking(cancel):
            """A progress callback that, at the first call of the checking phase, cancels
            from another thread and waits for it; seconds of hashing are still ahead."""
            threads = []

            def on_progress(p):
                if p.phase == "checking_files" and not threads:
                    threads.append(threading.Thread(target=cancel))
                    threads[0].start()
                    threads[0].join()
            return on_progress, threads

        def with_scan_object():
            holder = []
            on_progress, threads = cancel_once_checking(lambda: holder[0].cancel())
            holder.append(quendal.Scan(client, manifest, cache, on_progress))
            return holder[0].run, threads

        def with_cancel_event():
            # The watcher of scan() sees the event within 50 ms.
            event = threading.Event()
            on_progress, threads = cancel_once_checking(event.set)
            return (lambda: quendal.scan(client, manifest, cache, on_progress, cancel=event),
                    threads)

        for name, make in (("Scan.cancel", with_scan_object), ("cancel event", with_cancel_event)):
            with self.subTest(name):
                run, threads = make()
                with self.assertRaises(quendal.ScanError) as raised:
                    run()
                self.assertEqual((raised.exception.message, raised.exception.kind,
                                  raised.exception.cancelled), ("Scan cancelled.", "cancelled", True))
                self.assertEqual(len(threads), 1)
                self.assertEqual(cache.read_bytes(), before)
                self.assertEqual(sorted(os.listdir(self.dir)), ["big", "big.json", "cache.json"])

    def test_failures_are_the_programs_messages(self):
        absent = self.dir / "absent.json"
        program = program_run("--client-dir", CLIENT, "--manifest", absent)
        message = "Failed to read manifest '%s': No such file or directory" % absent
        self.assertEqual((program.returncode, program.stderr.decode()), (1, message + "\n"))
        with self.assertRaises(quendal.ScanError) as raised:
            quendal.scan(CLIENT, absent)
        self.assertEqual((raised.exception.message, raised.exception.kind,
                          raised.exception.cancelled), (message, "failed", False))
        # An exception in the progress callback cancels the scan and comes out of it.
        with self.assertRaises(ZeroDivisionError):
            quendal.scan(CLIENT, MANIFEST, progress=lambda p: 1 / 0)

    def test_pip_installs_the_package_offline(self):
        # Debian's python3 has setuptools and wheel (python3-setuptools, python3-wheel); a venv
        # that sees them builds the package without the network.
        python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
        venv = self.dir / "venv"
        made = subprocess.run([python, "-m", "venv", "--system-site-packages", str(venv)],
                              capture_output=True, timeout=300)
        if made.returncode != 0:
            self.skipTest("no venv: %s" % made.stderr.decode(errors="replace")[-300:])
        # Built from a copy: setuptools leaves build/ and *.egg-info beside the sources.
        source = self.dir / "source"
        shutil.copytree(PACKAGE, source, ignore=shutil.ignore_patterns("tests", "__pycache__"))
        pip = subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "--no-index",
                              "--no-build-isolation", "--no-deps", str(source)],
                             capture_output=True, timeout=300)
        if pip.returncode != 0 and re.search(rb"No module named '(setuptools|wheel)'|bdist_wheel",
                                             pip.stdout + pip.stderr):
            self.skipTest("pip cannot build the package offline here: install python3-setuptools"
                          " and python3-wheel")
        self.assertEqual(pip.returncode, 0, (pip.stdout + pip.stderr).decode()[-2000:])
        code = ("import quendal, sys; print(quendal.__file__); "
                "print(quendal.scan(sys.argv[1], sys.argv[2]).summary.expected_files)")
        run = subprocess.run([str(venv / "bin" / "python"), "-c", code, str(CLIENT),
                              str(MANIFEST)], cwd=self.dir, capture_output=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr.decode())
        where, expected = run.stdout.decode().splitlines()
        self.assertTrue(where.startswith(str(venv)), where)
        self.assertEqual(expected, "8")


if __name__ == "__main__":
    unittest.main()
