"""End-to-end tests of the progress line: with standard error on a pseudo-terminal the program
draws "checking ..." there and erases it before any other text and before it exits; through a
pipe standard error carries nothing of it."""

import os
import pty
import re
import select
import subprocess
import time
import tty

from e2e_support import (
    E2ETestCase, Run, arg, command, disk_path, expected_report, file_entry, healthy,
    manifest_doc, posix_only)

DRAW = re.compile(rb"\rchecking (\d[\d,]*) / (\d[\d,]*) files, \d+(?:\.\d)? / \d+(?:\.\d)? "
                  rb"(?:B|KiB|MiB|GiB|TiB), \d+(?:\.\d)? (?:B|KiB|MiB|GiB|TiB)/s( *)")
ERASE = re.compile(rb"\r( +)\r")


def run_on_terminal(args, timeout=120):
    """Runs the program with standard error on a pseudo-terminal (raw, so the bytes arrive as
    written) and standard output on a pipe."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    before = time.time_ns()
    proc = subprocess.Popen(command(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=slave)
    os.close(slave)
    out, err = bytearray(), bytearray()
    streams = {proc.stdout.fileno(): out, master: err}
    deadline = time.monotonic() + timeout
    while streams and time.monotonic() < deadline:
        ready, _, _ = select.select(list(streams), [], [], 1)
        for fd in ready:
            try:
                data = os.read(fd, 65536)
            except OSError:  # the terminal's other side has closed
                data = b""
            if data:
                streams[fd].extend(data)
            else:
                del streams[fd]
    code = proc.wait(timeout=max(1, deadline - time.monotonic()))
    after = time.time_ns()
    os.close(master)
    proc.stdout.close()
    return Run(code, bytes(out), bytes(err), before, after)


def render(data):
    """What a terminal shows after `data`: "\\r" returns to the line's start, "\\n" starts a new
    line, other characters overwrite; trailing blanks dropped."""
    lines, column = [[]], 0
    for ch in data.decode("utf-8"):
        if ch == "\r":
            column = 0
        elif ch == "\n":
            lines.append([])
            column = 0
        else:
            line = lines[-1]
            line[column:column + 1] = [ch]
            column += 1
    return "\n".join("".join(line).rstrip() for line in lines)


@posix_only("a pseudo-terminal is a POSIX device")
class TerminalProgressTest(E2ETestCase):
    def make_scan(self):
        big = bytes(range(256)) * 4096 * 8  # 8 MiB: a few read windows
        files = {"a.txt": b"abc", "data/big.bin": big, "empty": b""}
        self.make_client(files)
        entries = [file_entry(path, data) for path, data in files.items()]
        doc = manifest_doc(entries)
        self.write_manifest(doc)
        return doc, [healthy(f) for f in entries]

    def args(self, *extra):
        return ["--client-dir", arg(self.client_dir), "--manifest", arg(self.manifest_path),
                *extra]

    def assert_drawn_and_erased(self, err, files_total):
        """The draws of the line in `err`, then its erasure as wide as the widest draw; returns
        `err` without them."""
        draws = list(DRAW.finditer(err))
        self.assertTrue(draws, err)
        widths = [m.end() - m.start() - 1 for m in draws]
        for m in draws:
            self.assertEqual(int(m.group(2).replace(b",", b"")), files_total, err)
        erase = ERASE.search(err, draws[-1].end())
        self.assertIsNotNone(erase, err)
        self.assertEqual(erase.start(), draws[-1].end(), err)
        self.assertEqual(len(erase.group(1)), max(widths), err)
        self.assertIsNone(DRAW.search(err, erase.end()), err)
        return err[:draws[0].start()] + err[erase.end():]

    def test_line_is_drawn_and_erased_before_the_run_ends(self):
        doc, verdicts = self.make_scan()
        run = run_on_terminal(self.args())
        self.assertEqual(run.code, 0, run)
        self.assertTrue(run.err.endswith(b" \r"), run)
        self.assertEqual(self.assert_drawn_and_erased(run.err, 3), b"")
        self.assertEqual(render(run.err), "")
        # Standard output is what it always is.
        self.assert_report(run.out, expected_report(self.root(), doc, verdicts), run)

    def test_warning_comes_before_the_line_and_failure_after_its_erasure(self):
        self.make_scan()
        cache = self.dir / "cache.json"
        cache.write_text('{"schemaVersion": "velor-tirn-client-hash-cache.v1", "clientRoot": ""}')
        warning = ("Ignoring outdated client hash cache '%s' with schema "
                   "'velor-tirn-client-hash-cache.v1'.\n" % cache).encode()
        run = run_on_terminal(self.args("--cache", arg(cache)))
        self.assertEqual(run.code, 0, run)
        self.assertTrue(run.err.startswith(warning + b"\r"), run)
        self.assertEqual(self.assert_drawn_and_erased(run.err, 3), warning)
        self.assertEqual(render(run.err), warning.decode())

        # A metadata failure other than "not found" fails the run after the line was drawn.
        long_name = "n" * 300
        self.write_manifest(manifest_doc([file_entry("a.txt", b"abc"),
                                          file_entry(long_name, b"x")]))
        run = run_on_terminal(self.args())
        message = ("Failed to read metadata for '%s': File name too long\n"
                   % disk_path(self.root(), long_name)).encode()
        self.assertEqual((run.code, run.out), (1, b""), run)
        self.assertTrue(run.err.endswith(b" \r" + message), run)
        self.assertEqual(self.assert_drawn_and_erased(run.err, 2), message)
        self.assertEqual(render(run.err), message.decode())

    def test_nothing_of_it_goes_through_a_pipe(self):
        doc, verdicts = self.make_scan()
        for extra in ([], ["--cache", arg(self.dir / "cache.json")]):
            run = self.run_tool(*self.args(*extra))
            self.assertEqual((run.code, run.err), (0, b""), run)
            self.assert_report(run.out, expected_report(self.root(), doc, verdicts), run)
