"""End-to-end tests of the progress channel: with QUENDAL_PROGRESS naming a descriptor, a file
or a FIFO, a run writes its progress there as JSON Lines ending with an end event, and its
standard output, standard error, report and exit status stay what they are without it. A
channel that cannot be used is said once on standard error and ignored."""

import json
import os
import socket
import subprocess
import threading
import time
import unittest

from e2e_support import (
    E2ETestCase, Config, Run, WINE_EXIT_NOISE, arg, command, compact, expected_report,
    file_entry, healthy, manifest_doc, missing, posix_only, windows)
from e2e_docs_test import SCHEMAS, jsonschema, require_tools

VARIABLE = "QUENDAL_PROGRESS"
PHASES = ["reading_manifest", "loading_cache", "checking_files", "storing_cache", "encoding"]
PROGRESS_KEYS = ["event", "phase", "filesDone", "filesTotal", "bytesHashed", "bytesToHash"]
END_KEYS = ["event", "exitStatus", "failure"]
BIG = bytes(range(256)) * 4096 * 8  # 8 MiB: several read windows


def run_with(args, setting=None, pass_fds=(), timeout=120):
    """Runs the program with QUENDAL_PROGRESS set to `setting` (unset for None), handing it the
    descriptors `pass_fds`, which are closed here once it runs."""
    env = {k: v for k, v in os.environ.items() if k != VARIABLE}
    if setting is not None:
        env[VARIABLE] = setting
    # Under an emulator a program now and then never starts on a busy machine (Wine exits 1,
    # silently): such a run is tried again, as e2e_support.run_tool does.
    for attempt in range(3 if Config.emulator else 1):
        before = time.time_ns()
        proc = subprocess.Popen(command(args), env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, pass_fds=pass_fds)
        for fd in pass_fds:
            os.close(fd)
        out, err = proc.communicate(timeout=timeout)
        if Config.emulator:
            err = WINE_EXIT_NOISE.sub(b"", err)
        if proc.returncode == 0 or out or err or pass_fds:
            break
    return Run(proc.returncode, out, err, before, time.time_ns())


def read_all(fd):
    chunks = []
    while True:
        try:
            data = os.read(fd, 65536)
        except BlockingIOError:
            data = b""
        if not data:
            break
        chunks.append(data)
    os.close(fd)
    return b"".join(chunks)


class ProgressChannelTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        require_tools("jsonschema")
        schema = json.loads((SCHEMAS / "quendal-progress.schema.json").read_text("utf-8"))
        jsonschema.Draft202012Validator.check_schema(schema)
        cls.validator = jsonschema.Draft202012Validator(schema)

    def setUp(self):
        super().setUp()
        files = {"a.txt": b"abc", "data/big.bin": BIG, "empty": b""}
        self.make_client(files)
        entries = [file_entry(p, d) for p, d in files.items()]
        gone = file_entry("gone.txt", b"xyz")
        self.doc = manifest_doc(entries + [gone])
        self.write_manifest(self.doc)
        self.verdicts = [healthy(f) for f in entries] + [missing(gone)]
        self.bytes_to_hash = 3 + len(BIG)

    def scan_args(self, cache=None):
        args = ["--client-dir", arg(self.client_dir), "--manifest", arg(self.manifest_path)]
        return args + (["--cache", arg(cache)] if cache else [])

    # -- channels: each gives (setting, descriptors to pass, what the reader got after exit) --

    def file_channel(self):
        path = self.dir / "progress.jsonl"
        path.write_bytes(b"earlier line\n")  # appended to, never truncated

        def collect():
            data = path.read_bytes()
            self.assertTrue(data.startswith(b"earlier line\n"), data[:100])
            return data[len(b"earlier line\n"):]
        return arg(path), (), collect

    def pipe_channel(self):
        # Events of one run fit in the pipe, so it is read once the run is over.
        r, w = os.pipe()
        return str(w), (w,), lambda: read_all(r)

    def socket_channel(self):
        # What Node's child_process passes as an extra "pipe".
        ours, theirs = socket.socketpair()
        self.addCleanup(ours.close)
        fd = theirs.detach()
        return str(fd), (fd,), lambda: read_all(os.dup(ours.fileno()))

    def fifo_channel(self):
        path = self.dir / "progress.fifo"
        os.mkfifo(path)
        # Open for reading before the run, as a reader must be; the second end keeps the FIFO
        # from reading as ended before the program has opened it.
        r = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        keeper = os.open(path, os.O_WRONLY)

        def collect():
            os.close(keeper)
            return read_all(r)
        return str(path), (), collect

    # -- checks --------------------------------------------------------------------------------

    def events_of(self, data, exit_status, failure):
        """Checks the channel's bytes: schema-valid compact lines with the keys in order, the
        end event last and only there. Returns the progress events."""
        self.assertTrue(data.endswith(b"\n"), data[-200:])
        lines = data[:-1].split(b"\n")
        events = [json.loads(line) for line in lines]
        for line, event in zip(lines, events):
            self.assertEqual(self.validator.is_valid(event), True, event)
            self.assertEqual(line, compact(event).encode("utf-8"))
            self.assertEqual(list(event),
                             END_KEYS if event["event"] == "end" else PROGRESS_KEYS, event)
        self.assertEqual(events[-1], {"event": "end", "exitStatus": exit_status,
                                      "failure": failure})
        self.assertEqual([e["event"] for e in events[:-1]], ["progress"] * (len(events) - 1))
        return events[:-1]

    def assert_progress_ends_at_the_totals(self, events, phases):
        self.assertEqual(sorted({e["phase"] for e in events}, key=PHASES.index), phases)
        counters = ["filesDone", "filesTotal", "bytesHashed", "bytesToHash"]
        for earlier, later in zip(events, events[1:]):
            self.assertLessEqual(PHASES.index(earlier["phase"]), PHASES.index(later["phase"]))
            for key in counters:
                self.assertLessEqual(earlier[key], later[key], (earlier, later))
        for e in events:
            self.assertLessEqual(e["bytesHashed"], e["bytesToHash"], e)
        last = [e for e in events if e["phase"] == "checking_files"][-1]
        self.assertEqual([last[k] for k in counters],
                         [4, 4, self.bytes_to_hash, self.bytes_to_hash])

    # -- tests ---------------------------------------------------------------------------------

    def channels(self):
        kinds = {"file": self.file_channel}
        if not windows():
            kinds.update(descriptor=self.pipe_channel, socket=self.socket_channel,
                         fifo=self.fifo_channel)
        return kinds

    def test_events_follow_the_run_and_leave_its_output_alone(self):
        expected = expected_report(self.root(), self.doc, self.verdicts)
        plain = run_with(self.scan_args(self.dir / "plain.json"))
        self.assert_scan(plain, expected)
        for name, channel in self.channels().items():
            with self.subTest(name):
                setting, fds, collect = channel()
                run = run_with(self.scan_args(self.dir / (name + ".json")), setting, fds)
                self.assertEqual((run.code, run.err), (plain.code, plain.err), run)
                self.assert_report(run.out, expected, run)
                events = self.events_of(collect(), 0, None)
                self.assert_progress_ends_at_the_totals(events, PHASES)

    def test_a_failed_run_ends_with_its_message(self):
        absent = self.dir / "absent.json"
        args = ["--client-dir", arg(self.client_dir), "--manifest", arg(absent)]
        plain = run_with(args)
        self.assertEqual((plain.code, plain.out), (1, b""), plain)
        self.assertTrue(plain.err.startswith(b"Failed to read manifest '%s': "
                                             % arg(absent).encode()), plain)
        for name, channel in self.channels().items():
            with self.subTest(name):
                setting, fds, collect = channel()
                run = run_with(args, setting, fds)
                self.assertEqual((run.code, run.out, run.err), (1, b"", plain.err), run)
                events = self.events_of(collect(), 1, plain.err.decode("utf-8")[:-1])
                self.assertEqual([e["phase"] for e in events], ["reading_manifest"])

    def test_help_and_malformed_command_lines_write_nothing(self):
        path = self.dir / "progress.jsonl"
        for args, code in ((["--help"], 0), (["--client-dir", arg(self.client_dir)], 2)):
            with self.subTest(args):
                run = run_with(args, arg(path))
                self.assertEqual((run.code, run.err[:7]), (code, b"" if code == 0 else b"Missing"),
                                 run)
                self.assertFalse(path.exists())

    def test_a_channel_that_cannot_be_used_is_said_once_and_ignored(self):
        expected = expected_report(self.root(), self.doc, self.verdicts)

        def closed_pipe():
            r, w = os.pipe()
            os.close(r)
            return str(w), (w,)

        def fifo_without_reader():
            path = self.dir / "unread.fifo"
            os.mkfifo(path)
            return str(path), ()

        # (setting or a function giving it and the descriptors to pass, cause, POSIX only)
        cases = [
            ("7", "Bad file descriptor", False),
            ("99999999999999999999999", "Bad file descriptor", False),
            ("progress.jsonl", "Not an absolute path", False),
            ("12x", "Not an absolute path", False),
            (str(self.dir / "absent" / "p.jsonl"), "No such file or directory", True),
            (str(self.dir), "Is a directory", True),
            (fifo_without_reader, "No such device or address", True),
            ("/dev/full", "No space left on device", True),  # fails at the first event
            (closed_pipe, "Broken pipe", True),
        ]
        for setting, cause, posix in cases:
            if posix and windows():
                continue
            setting, fds = setting() if callable(setting) else (setting, ())
            with self.subTest(setting=setting):
                run = run_with(self.scan_args(), setting, fds)
                self.assertEqual(run.code, 0, run)
                self.assertEqual(run.err.decode("utf-8"),
                                 "Ignoring progress channel '%s=%s': %s\n"
                                 % (VARIABLE, setting, cause))
                self.assert_report(run.out, expected, run)

    @posix_only("a descriptor is handed over by number")
    def test_a_reader_that_goes_away_changes_nothing_else(self):
        expected = expected_report(self.root(), self.doc, self.verdicts)
        r, w = os.pipe()
        first = bytearray()

        def read_one_line_and_close():
            while not first.endswith(b"\n"):
                data = os.read(r, 1)
                if not data:
                    break
                first.extend(data)
            os.close(r)

        reader = threading.Thread(target=read_one_line_and_close)
        reader.start()
        run = run_with(self.scan_args(self.dir / "cache.json"), str(w), (w,))
        reader.join(timeout=60)
        self.assertEqual(run.code, 0, run)
        self.assert_report(run.out, expected, run)
        # Said once if the program wrote after the reader had gone, which it most likely did.
        self.assertIn(run.err, (b"", b"Ignoring progress channel '%s=%d': Broken pipe\n"
                                % (VARIABLE.encode(), w)))
        self.assertEqual(json.loads(first)["phase"], "reading_manifest")


if __name__ == "__main__":
    unittest.main()
