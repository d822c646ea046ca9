"""End-to-end tests of the hash cache (--cache): its stored layout, reuse of stored digests,
every state a cache file can be in when a run starts, and runs that are killed or that share
one cache path."""

import collections
import ctypes
import errno
import json
import ntpath
import os
import posixpath
import random
import re
import select
import signal
import struct
import subprocess
import sys
import time
import unittest
from pathlib import Path

from e2e_support import (
    CACHE_SCHEMA, OMIT, SHA_ABC, Config, E2ETestCase, Run, arg, byte_sorted, command, disk_path,
    expected_cache, expected_report, file_entry, hash_mismatch, healthy, manifest_doc, missing,
    posix_only, preserved, sha256_hex, size_mismatch, snapshot, windows)

T = 1700000000  # a last-write second used throughout
SIGNATURE = "live:1.2.0:1769817600:c2ln"  # fingerprint of manifest_doc()'s defaults
STORE_FAILURES = ("Failed to write temporary cache '", "Failed to replace cache '",
                  "Failed to finalize cache '")


def set_mtime(path, ns):
    os.utime(path, ns=(ns, ns))


def cache_input(root, pairs=(), **fields):
    """Cache document text; `pairs` (key, value) are its entries, so keys may repeat; an
    `entries` field replaces them."""
    doc = {"schemaVersion": CACHE_SCHEMA, "clientRoot": root, "manifestSignature": SIGNATURE,
           "generatedAt": "2026-01-31T00:00:00Z"}
    doc.update(fields)
    members = [json.dumps(k) + ": " + json.dumps(v) for k, v in doc.items() if v is not OMIT]
    if "entries" not in fields:
        members.append('"entries": {' + ", ".join(
            json.dumps(k) + ": " + json.dumps(v) for k, v in pairs) + "}")
    return "{" + ",\n".join(members) + "}"


def entry(size, secs, sha):
    return {"size": size, "modifiedUnixSeconds": secs, "sha256": sha}


def stamp_window(run):
    return range(run.before_ns // 10**9, run.after_ns // 10**9 + 1)


def verdicts(report):
    """What a report found, without the cache-dependent flag."""
    files = [{k: v for k, v in f.items() if k != "usedCachedHash"} for f in report["files"]]
    return report["summary"], files, report["repairActions"]


class CacheTestCase(E2ETestCase):
    def planted(self):
        """A client whose one file has a matching cache entry with a wrong digest, so that
        reuse shows as a hash mismatch. Returns (entry pair, report if reused, if hashed)."""
        self.make_client({"a.txt": b"abc"})
        set_mtime(self.client_dir / "a.txt", T * 10**9 + 250_000_000)
        f = file_entry("a.txt", b"abc")
        doc = manifest_doc([f])
        self.write_manifest(doc)
        root = self.root()
        return (("a.txt", entry(3, T, "00" * 32)),
                expected_report(root, doc, [hash_mismatch(f, 3, "00" * 32, cached=True)]),
                expected_report(root, doc, [healthy(f)]))

    def assert_fresh_cache(self, cache, run, digest=SHA_ABC):
        self.assert_cache_file(cache, expected_cache(self.root(), {"a.txt": (3, T, digest)},
                                                     SIGNATURE), run)

    def assert_sibling(self, directory, prefix, run):
        """Exactly one file in `directory` is named prefix + N, N a second of the run."""
        names = [n for n in os.listdir(directory) if n.startswith(prefix)]
        self.assertEqual(len(names), 1, os.listdir(directory))
        m = re.fullmatch(re.escape(prefix) + r"(0|[1-9][0-9]*)", names[0])
        self.assertIsNotNone(m, names[0])
        self.assertIn(int(m.group(1)), stamp_window(run))
        return Path(directory) / names[0]

    def block_names(self, directory, prefix):
        """Directories named prefix + N for every N of the next minute: writing a file under
        such a name fails with EISDIR."""
        now = int(time.time())
        for n in range(now - 2, now + 60):
            (Path(directory) / ("%s%d" % (prefix, n))).mkdir(parents=True)


class CacheStoreTest(CacheTestCase):
    def test_cache_document_bytes(self):
        self.make_client({"abc.txt": b"abc"})
        set_mtime(self.client_dir / "abc.txt", T * 10**9)
        f = file_entry("abc.txt", b"abc")
        doc = manifest_doc([f, file_entry("gone", b"x")], channel="  live  ",
                           signature={"algorithm": "a", "keyId": "k", "signature": "sig"})
        cache = self.dir / "cache.json"
        run = self.scan(doc, cache=cache)
        self.assertEqual((run.code, run.err), (0, b""))
        data = cache.read_bytes()
        m = re.fullmatch(rb'(.*"generatedAt": ")([^"]*)(".*)', data, re.S)
        self.assertIsNotNone(m, data)
        generated = self.assert_timestamp_within(m.group(2).decode(), run.before_ns,
                                                 run.after_ns)
        scanned = json.loads(run.out)["scannedAt"]
        self.assertLessEqual(generated, self.assert_timestamp_within(scanned, run.before_ns,
                                                                     run.after_ns))
        root = self.root().replace("\\", "\\\\")
        self.assertEqual(m.group(1) + b"TS" + m.group(3), (
            '{\n'
            '  "schemaVersion": "velor-tirn-client-hash-cache.v2",\n'
            '  "clientRoot": "' + root + '",\n'
            '  "manifestSignature": "live:1.2.0:1769817600:sig",\n'
            '  "generatedAt": "TS",\n'
            '  "entries": {\n'
            '    "abc.txt": {\n'
            '      "size": 3,\n'
            '      "modifiedUnixSeconds": 1700000000,\n'
            '      "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"\n'
            '    }\n'
            '  }\n'
            '}').encode())
        run = self.scan(manifest_doc([file_entry("gone", b"x")]), cache=cache)
        self.assertEqual((run.code, run.err), (0, b""))
        self.assertTrue(cache.read_bytes().endswith(b',\n  "entries": {}\n}'), cache.read_bytes())

    def test_store_creates_directories_and_keeps_only_this_runs_entries(self):
        content = {"b.txt": b"abc", "B.txt": b"abd", "a/x.txt": b"x", "\u00e9.txt": b"e",
                   "Z.txt": b"z", "short.bin": b"12", "system.cfg": b"mine", "log.txt": b"l",
                   "bad.bin": b"bad!"}
        self.make_client(content)
        times = {"b.txt": T * 10**9 + 750_000_000, "B.txt": 0, "a/x.txt": (T + 1) * 10**9,
                 "\u00e9.txt": -500_000_000, "Z.txt": -10**9, "bad.bin": T * 10**9}
        for name, ns in times.items():
            set_mtime(self.client_dir / name, ns)
        files = [file_entry(p, content[p.replace("\\", "/")]) for p in (
            "b.txt", "B.txt", "a\\x.txt", "\u00e9.txt", "Z.txt")]
        short = file_entry("short.bin", b"123")
        cfg = file_entry("system.cfg", b"shipped")
        gone = file_entry("gone.bin", b"gone")
        bad = file_entry("bad.bin", b"good")
        doc = manifest_doc(files + [short, cfg, gone, bad, file_entry("log.txt", b"l")])
        cache = self.dir / "deep" / "er" / "cache.json"
        run = self.scan(doc, cache=cache)
        self.assert_scan(run, expected_report(
            self.root(), doc, [healthy(f) for f in files] + [
                size_mismatch(short, 2), preserved(cfg, 4), missing(gone),
                hash_mismatch(bad, 4, sha256_hex(b"bad!"))],
            repair=["log.txt", "system.cfg"]))
        self.assertEqual(os.listdir(cache.parent), ["cache.json"])
        stored = {"b.txt": (3, T, sha256_hex(b"abc")), "B.txt": (3, 0, sha256_hex(b"abd")),
                  "a\\x.txt": (1, T + 1, sha256_hex(b"x")),
                  "\u00e9.txt": (1, None, sha256_hex(b"e")), "Z.txt": (1, None, sha256_hex(b"z")),
                  "bad.bin": (4, T, sha256_hex(b"bad!"))}
        self.assert_cache_file(cache, expected_cache(self.root(), stored, SIGNATURE), run)
        self.assertEqual(list(json.loads(cache.read_bytes())["entries"]),
                         ["B.txt", "Z.txt", "a\\x.txt", "b.txt", "bad.bin", "\u00e9.txt"])
        # The next run reuses every stored digest and stores the same entries again.
        run = self.scan(cache=cache)
        self.assert_scan(run, expected_report(
            self.root(), doc, [healthy(f, cached=True) for f in files] + [
                size_mismatch(short, 2), preserved(cfg, 4), missing(gone),
                hash_mismatch(bad, 4, sha256_hex(b"bad!"), cached=True)],
            repair=["log.txt", "system.cfg"]))
        self.assert_cache_file(cache, expected_cache(self.root(), stored, SIGNATURE), run)
        self.assertEqual(os.listdir(cache.parent), ["cache.json"])

    def test_manifests_in_descending_and_random_order(self):
        prefix = "long/" * 40
        content = {"%sd%d/f%03d.bin" % (prefix if i % 2 else "", i % 7, i): b"%d" % i
                   for i in range(300)}
        self.make_client(content)
        for name in content:
            set_mtime(self.client_dir / name, T * 10**9)
        ascending = byte_sorted(content)
        shuffled = list(ascending)
        random.Random(8).shuffle(shuffled)
        stored = {p: (len(content[p]), T, sha256_hex(content[p])) for p in content}
        for order in (ascending[::-1], shuffled):
            cache = self.dir / "cache.json"
            if cache.exists():
                cache.unlink()
            files = [file_entry(p, content[p]) for p in order]
            doc = manifest_doc(files)
            for cached in (False, True):
                run = self.scan(doc, cache=cache)
                self.assert_scan(run, expected_report(
                    self.root(), doc, [healthy(f, cached=cached) for f in files]))
                self.assert_cache_file(cache, expected_cache(self.root(), stored, SIGNATURE), run)

    def test_fingerprint(self):
        self.make_client({})
        cache = self.dir / "cache.json"
        cases = [
            ("  live  ", "1.2.0", "2026-01-31T00:00:00Z", "sig", "live:1.2.0:1769817600:sig"),
            ("\u3000beta:x ", " 2.0\t", "2026-01-31T02:00:00.900+02:00", " s:i:g\n",
             "beta:x:2.0:1769817600:s:i:g"),
            ("live", "1", "1969-12-31T23:59:59.5Z", "sig", "live:1:-1:sig"),
            ("live", "1", "1970-01-01T00:00:00Z", "sig", "live:1:0:sig"),
        ]
        for channel, release, published, sig, expected in cases:
            with self.subTest(expected=expected):
                doc = manifest_doc([file_entry("a", b"a")], channel=channel,
                                   releaseVersion=release, publishedAt=published,
                                   signature={"algorithm": "a", "keyId": "k", "signature": sig})
                run = self.scan(doc, cache=cache)
                self.assertEqual((run.code, run.err), (0, b""))
                self.assertEqual(json.loads(cache.read_bytes())["manifestSignature"], expected)

    def test_bare_file_name_in_the_current_directory(self):
        self.make_client({"a.txt": b"abc"})
        f = file_entry("a.txt", b"abc")
        doc = manifest_doc([f])
        self.write_manifest(doc)
        work = self.dir / "work"
        work.mkdir()
        for name in ("c.json", "hashes"):
            with self.subTest(name=name):
                run = self.run_tool("--client-dir", arg(self.client_dir), "--manifest",
                                    arg(self.manifest_path), "--cache", name, cwd=work)
                self.assert_scan(run, expected_report(self.root(), doc, [healthy(f)]))
                self.assertIn(name, os.listdir(work))
                self.assertFalse([n for n in os.listdir(work) if "tmp" in n])
        self.assertEqual(sorted(os.listdir(self.dir)), ["client", "manifest.json", "work"])

    def test_store_failures(self):
        _, _, fresh = self.planted()
        (self.dir / "blocker").write_bytes(b"a file, not a directory")
        output = self.dir / "report.json"
        blocked = self.dir / "blocker" / "sub" / "cache.json"
        run = self.scan(cache=blocked, output=output)
        self.assert_failure(run, "Failed to create cache directory '%s': " % (
            arg(blocked)[:-len("/cache.json")]), "Not a directory")
        self.assertFalse(output.exists())

        cache_dir = self.dir / "c"
        cache = cache_dir / "hashes.dat"
        self.block_names(cache_dir, "hashes.json.tmp-")
        old = cache_input(self.root(), [("a.txt", entry(3, T, "00" * 32))])
        cache.write_text(old)
        run = self.scan(cache=cache, output=output)
        self.assertEqual((run.code, run.out), (1, b""))
        m = re.fullmatch(re.escape("Failed to write temporary cache '%s" % arg(cache)[:-3]) +
                         r"json\.tmp-(\d+)': (.*)\n", run.err.decode())
        self.assertIsNotNone(m, run.err)
        self.assertIn(int(m.group(1)), stamp_window(run))
        if not windows():
            self.assertEqual(m.group(2), "Is a directory")
        self.assertEqual(cache.read_text(), old)
        self.assertFalse(output.exists())

    def test_cache_is_stored_before_the_report_is_written(self):
        _, _, fresh = self.planted()
        cache = self.dir / "cache.json"
        output = self.dir / "missing-dir" / "r.json"
        run = self.scan(cache=cache, output=output)
        self.assert_failure(run, "Failed to write scan output to '%s': " % arg(output),
                            "No such file or directory")
        self.assert_fresh_cache(cache, run)


class CacheReuseTest(CacheTestCase):
    def test_reuse_rules(self):
        disk = {"reuse.txt": b"abc", "upper.txt": b"abc", "trailing.txt": b"abc",
                "size.txt": b"abc", "mtime.txt": b"abc", "blank.txt": b"abc",
                "data/sky.pak": b"abc", "null.txt": b"abc", "pre1.txt": b"abc",
                "pre2.txt": b"abc", "pre3.txt": b"abc", "short.bin": b"ab", "system.cfg": b"abc", "dup.txt": b"abc",
                "second.txt": b"new1", "min.txt": b"abc"}
        self.make_client(disk)
        for name in disk:
            set_mtime(self.client_dir / name, T * 10**9 + 100_000_000)
        for name in ("pre1.txt", "pre2.txt", "pre3.txt"):
            set_mtime(self.client_dir / name, -500_000_000)
        set_mtime(self.client_dir / "second.txt", T * 10**9 + 900_000_000)
        wrong, up = "00" * 32, SHA_ABC.upper()
        f = {name: file_entry(name, b"abc") for name in disk}
        f["short.bin"] = file_entry("short.bin", b"abc")
        f["system.cfg"] = file_entry("system.cfg", b"shipped")
        f["second.txt"] = file_entry("second.txt", b"old1")
        f["gone.txt"] = file_entry("gone.txt", b"abc")
        entries = [
            ("reuse.txt", dict(entry(3, T, wrong), note=[{"size": 9}])),
            ("upper.txt", entry(3, T, up)),
            ("trailing.txt", entry(3, T, SHA_ABC + " ")), ("size.txt", entry(4, T, wrong)),
            ("mtime.txt", entry(3, T + 1, wrong)), ("blank.txt", entry(3, T, " \u3000 ")),
            ("Data/Sky.pak", entry(3, T, wrong)), ("null.txt", entry(3, None, wrong)),
            ("pre1.txt", entry(3, None, wrong)), ("pre2.txt", entry(3, -1, wrong)),
            ("pre3.txt", {"size": 3, "sha256": wrong}),
            ("short.bin", entry(2, T, SHA_ABC)), ("system.cfg", entry(3, T, wrong)),
            ("dup.txt", entry(3, T, "11" * 32)), ("dup.txt", entry(3, T, "22" * 32)),
            ("second.txt", entry(4, T, sha256_hex(b"old1"))), ("gone.txt", entry(3, T, wrong)),
            ("min.txt", entry(3, -9223372036854775808, wrong)),
            ("unlisted.txt", entry(3, T, wrong)),
        ]
        cache = self.dir / "cache.json"
        root = self.root()
        cache.write_text(cache_input(root, entries, manifestSignature="beta:0.9:1:other",
                                     generatedAt=None, note={"entries": []}))
        doc = manifest_doc(list(f.values()))
        run = self.scan(doc, cache=cache)
        self.assert_scan(run, expected_report(root, doc, [
            hash_mismatch(f["reuse.txt"], 3, wrong, cached=True),
            healthy(f["upper.txt"], up, cached=True),
            hash_mismatch(f["trailing.txt"], 3, SHA_ABC + " ", cached=True),
            healthy(f["size.txt"]), healthy(f["mtime.txt"]), healthy(f["blank.txt"]),
            healthy(f["data/sky.pak"]), healthy(f["null.txt"]),
            hash_mismatch(f["pre1.txt"], 3, wrong, cached=True), healthy(f["pre2.txt"]),
            hash_mismatch(f["pre3.txt"], 3, wrong, cached=True),
            size_mismatch(f["short.bin"], 2), preserved(f["system.cfg"], 3),
            hash_mismatch(f["dup.txt"], 3, "22" * 32, cached=True),
            healthy(f["second.txt"], cached=True), healthy(f["min.txt"]), missing(f["gone.txt"]),
        ], repair=["system.cfg"]))
        self.assert_cache_file(cache, expected_cache(root, {
            "reuse.txt": (3, T, wrong), "upper.txt": (3, T, up),
            "trailing.txt": (3, T, SHA_ABC + " "), "size.txt": (3, T, SHA_ABC),
            "mtime.txt": (3, T, SHA_ABC), "blank.txt": (3, T, SHA_ABC),
            "data/sky.pak": (3, T, SHA_ABC), "null.txt": (3, T, SHA_ABC),
            "pre1.txt": (3, None, wrong), "pre2.txt": (3, None, SHA_ABC),
            "pre3.txt": (3, None, wrong),
            "dup.txt": (3, T, "22" * 32), "second.txt": (4, T, sha256_hex(b"old1")),
            "min.txt": (3, T, SHA_ABC)}, SIGNATURE), run)


class CacheStateTest(CacheTestCase):
    def test_outdated_schema(self):
        planted, reused, fresh = self.planted()
        cache = self.dir / "cache.json"
        # The schema is quoted on one line and in part only.
        for schema, shown in (
                ("velor-tirn-client-hash-cache.v1", "velor-tirn-client-hash-cache.v1"),
                ("VELOR-TIRN-CLIENT-HASH-CACHE.V2", "VELOR-TIRN-CLIENT-HASH-CACHE.V2"), ("", ""),
                (" velor-tirn-client-hash-cache.v3 ", " velor-tirn-client-hash-cache.v3 "),
                ("v1\r\n", "v1\\r\\n"), ("v" * 100000, "v" * 120 + "\u2026")):
            with self.subTest(schema=schema[:40]):
                cache.write_text(cache_input(self.root(), [planted], schemaVersion=schema))
                run = self.scan(cache=cache)
                self.assertEqual(run.err.decode(), "Ignoring outdated client hash cache '%s' with "
                                 "schema '%s'.\n" % (arg(cache), shown))
                self.assertEqual(run.code, 0)
                self.assert_report(run.out, fresh, run)
                self.assert_fresh_cache(cache, run)
                self.assertEqual(sorted(os.listdir(self.dir)),
                                 ["cache.json", "client", "manifest.json"])
        cache.write_text(cache_input(self.root(), [planted],
                                     schemaVersion="\u3000 " + CACHE_SCHEMA + "\t\n"))
        run = self.scan(cache=cache)
        self.assert_scan(run, reused)

    def test_generated_at_only_has_to_read_as_a_timestamp(self):
        planted, reused, _ = self.planted()
        cache = self.dir / "cache.json"
        for generated in ("-292277022657-01-27T08:29:52Z",
                          "+292277026596-12-04T15:30:07.999999999Z",
                          "+292277026596-12-04T16:30:07+01:00", "2026-01-31T02:00:00\u00a0+02:00"):
            with self.subTest(generatedAt=generated):
                cache.write_text(cache_input(self.root(), [planted], generatedAt=generated))
                self.assert_scan(self.scan(cache=cache), reused)

    def test_other_client_directory(self):
        planted, reused, fresh = self.planted()
        root = self.root()
        cache = self.dir / "cache.json"
        swapped = root.translate(str.maketrans("/\\", "\\/"))
        for recorded in (root.upper(), swapped, root + "///", root + "\\/",
                         "  " + root + " \n", "", "   ", "/\\/"):
            with self.subTest(accepted=recorded):
                cache.write_text(cache_input(recorded, [planted]))
                self.assert_scan(self.scan(cache=cache), reused)
        parent = (ntpath if windows() else posixpath).dirname(root)
        for recorded in (root + "x", parent, "/elsewhere", "./client",
                         root.replace("client", "clien")):
            with self.subTest(rejected=recorded):
                cache.write_text(cache_input(recorded, [planted]))
                run = self.scan(cache=cache)
                self.assertEqual(run.err.decode(), "Ignoring client hash cache '%s' because it "
                                 "targets a different client directory.\n" % arg(cache))
                self.assertEqual(run.code, 0)
                self.assert_report(run.out, fresh, run)
                self.assert_fresh_cache(cache, run)

    def test_corrupted_caches_are_set_aside_and_rebuilt(self):
        planted, _, fresh = self.planted()
        root = self.root()
        valid = cache_input(root, [planted])
        e = json.dumps(planted[0])

        def with_entry(value):
            return cache_input(root, entries=OMIT)[:-1] + ',\n"entries": {%s: %s}}' % (e, value)

        cases = [
            "", " ", valid[:len(valid) // 2], valid[:-1], valid + " x", "\ufeff" + valid,
            "[" * 100000, valid[:-1] + ', "note": ' + "[" * 100000 + "]" * 100000 + "}",
            "5", "null", '"cache"',
            with_entry('{"size": 18446744073709551616, "sha256": "00"}'),
            with_entry('{"size": 1e30, "sha256": "00"}'),
            with_entry('{"size": -1, "sha256": "00"}'),
            with_entry('{"size": 1.5, "sha256": "00"}'),
            with_entry('{"size": "3", "sha256": "00"}'),
            with_entry('{"size": 3, "modifiedUnixSeconds": 9223372036854775808, "sha256": "00"}'),
            with_entry('{"size": 3, "modifiedUnixSeconds": -9223372036854775809, "sha256": "0"}'),
            with_entry('{"size": 3, "modifiedUnixSeconds": 1.5, "sha256": "00"}'),
            with_entry('{"size": 3, "modifiedUnixSeconds": "1", "sha256": "00"}'),
            with_entry('{"size": 3}'), with_entry('{"sha256": "00"}'),
            with_entry('{"size": 3, "sha256": null}'), with_entry('{"size": 3, "sha256": 5}'),
            with_entry('{"size": 3, "size": 3, "sha256": "00"}'), with_entry("5"),
            cache_input(root, entries=[]), cache_input(root, entries=None),
            cache_input(root, entries="x"),
            cache_input(root, entries=[], schemaVersion="velor-tirn-client-hash-cache.v1"),
            cache_input(root, [planted], schemaVersion=OMIT),
            cache_input(root, [planted], schemaVersion=None),
            cache_input(root, [planted], clientRoot=OMIT),
            cache_input(root, [planted], clientRoot=5),
            cache_input(root, [planted], manifestSignature=7),
            cache_input(root, [planted], generatedAt="yesterday"),
            cache_input(root, [planted], generatedAt="2026-01-31T00:00:00"),
            cache_input(root, [planted], generatedAt=5),
            valid.replace('"clientRoot"', '"clientRoot": "x",\n"clientRoot"', 1),
        ]
        # Descriptions checked word for word: instants beyond 64-bit seconds, and values quoted
        # on one line and in part only.
        stamp = ("key 'generatedAt' must be a timestamp: '%s' is not an RFC 3339 date-time with "
                 "an offset at line 4, column %d\n")
        described = {
            cache_input(root, [planted], generatedAt="+999999999999-01-01T00:00:00Z"):
                stamp % ("+999999999999-01-01T00:00:00Z", 46),
            cache_input(root, [planted], generatedAt="-292277022657-01-27T08:29:51Z"):
                stamp % ("-292277022657-01-27T08:29:51Z", 46),
            cache_input(root, [planted], generatedAt="9" * (1 << 20)):
                stamp % ("9" * 120 + "\u2026", (1 << 20) + 17),
            # Reading stops at the closing quote of the string value.
            cache_input(root, [planted, ("k\n" * 100000, "s")]):
                "the value of entry '" + "k\\n" * 60 + "\u2026' must be an object at line 5, "
                "column %d\n" % (len('"entries": {%s: %s, "%s": "s' % (
                    e, json.dumps(planted[1]), "k\\n" * 100000)) + 1),
        }
        cases += described
        # Bytes that are not UTF-8 (a torn write, a flipped bit) are no more than a corruption.
        cases += [valid[:-1].encode() + b', "x": "' + bad + b'"}'
                  for bad in (b"\xff", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80")]
        cache = self.dir / "state" / "cache.json"
        for text in cases:
            data = text if isinstance(text, bytes) else text.encode()
            with self.subTest(cache=text[:80]):
                cache.parent.mkdir(exist_ok=True)
                for old in os.listdir(cache.parent):
                    os.remove(cache.parent / old)
                cache.write_bytes(data)
                run = self.scan(cache=cache)
                self.assertEqual(run.code, 0, run)
                self.assert_report(run.out, fresh, run)
                warning = "Ignoring corrupted client hash cache '%s' and rebuilding it: " % (
                    arg(cache))
                err = run.err.decode()
                self.assertTrue(err.startswith(warning), err)
                self.assertRegex(err[len(warning):], r"^[^\n]+ at line \d+, column \d+\n$")
                if text in described:
                    self.assertEqual(err[len(warning):], described[text])
                aside = self.assert_sibling(cache.parent, "cache.json.corrupt-", run)
                self.assertEqual(aside.read_bytes(), data)
                self.assertEqual(len(os.listdir(cache.parent)), 2)
                self.assert_fresh_cache(cache, run)

    def test_set_aside_names(self):
        _, _, fresh = self.planted()
        names = [("cache.json", "cache.json.corrupt-"), ("hashes", "hashes.json.corrupt-"),
                 ("hashes.dat", "hashes.json.corrupt-"), ("a.b.json", "a.b.json.corrupt-"),
                 (".hashes", ".hashes.json.corrupt-")]
        if not windows():  # Win32 drops a trailing dot from file names
            names.append(("a.", "a.json.corrupt-"))
        for name, prefix in names:
            with self.subTest(name=name):
                directory = self.dir / ("d" + name)
                directory.mkdir()
                (directory / name).write_bytes(b"")
                run = self.scan(cache=directory / name)
                self.assertEqual(run.code, 0, run)
                self.assert_report(run.out, fresh, run)
                self.assert_sibling(directory, prefix, run)
                self.assertEqual(len(os.listdir(directory)), 2, os.listdir(directory))

    def test_unreadable_caches_end_the_run(self):
        self.planted()
        state = self.dir / "state"
        (state / "folder.json").mkdir(parents=True)
        sep = "\\" if windows() else "/"
        # The cache argument and the cause; a path with no file name is refused before any
        # client file is read, and nothing is stored under it, in the current directory (state)
        # or anywhere else.
        cases = [(arg(state / "folder.json"), "Is a directory"),
                 ("", "the path names no file"),
                 (arg(state / "absent") + sep, "the path names no file")]
        if not windows():  # Windows takes "absent\.." for "state" itself, a directory
            cases.append((arg(state / "absent") + sep + "..", "the path names no file"))
        output = self.dir / "report.json"
        for path, cause in cases:
            with self.subTest(path=path):
                before = snapshot(self.dir)
                run = self.run_tool("--client-dir", arg(self.client_dir), "--manifest",
                                    arg(self.manifest_path), "--cache", path, "--output",
                                    arg(output), cwd=state)
                message = "Failed to read cache '%s': " % path
                if cause == "Is a directory":
                    self.assert_failure(run, message, cause)
                else:
                    self.assert_failure(run, message + cause)
                self.assertEqual(snapshot(self.dir), before)

    def test_corrupted_cache_that_cannot_be_set_aside(self):
        self.planted()
        cache = self.dir / "state" / "cache.json"
        cache.parent.mkdir()
        cache.write_bytes(b"{")
        self.block_names(cache.parent, "cache.json.corrupt-")
        run = self.scan(cache=cache)
        self.assertEqual((run.code, run.out), (1, b""))
        m = re.fullmatch(re.escape("Failed to preserve corrupted cache '%s' as '%s" % (
            arg(cache), arg(cache))) + r"\.corrupt-(\d+)': (.*)\n", run.err.decode())
        self.assertIsNotNone(m, run.err)
        self.assertIn(int(m.group(1)), stamp_window(run))
        if not windows():
            self.assertEqual(m.group(2), "Is a directory")
        self.assertEqual(cache.read_bytes(), b"{")

    def test_invalid_manifest_leaves_the_cache_alone(self):
        self.make_client({"a.txt": b"abc"})
        cache = self.dir / "state" / "cache.json"
        cache.parent.mkdir()
        f = file_entry("a.txt", b"abc")
        for doc, message in ((manifest_doc([f], channel=" "), "Manifest metadata is incomplete."),
                             (manifest_doc([f, file_entry("../x", b"")]),
                              "Manifest contains an unsafe file path.")):
            for content in (b"{", cache_input(self.root(), []).encode()):
                with self.subTest(message=message, content=content[:10]):
                    cache.write_bytes(content)
                    self.assert_failure(self.scan(doc, cache=cache), message)
                    self.assertEqual(os.listdir(cache.parent), ["cache.json"])
                    self.assertEqual(cache.read_bytes(), content)

    @posix_only()
    def test_failed_scan_leaves_the_cache_as_loaded(self):
        planted, _, _ = self.planted()
        os.symlink("loop", self.client_dir / "loop")
        doc = manifest_doc([file_entry("a.txt", b"abc"), file_entry("loop", b"")])
        message = "Failed to read metadata for '%s': Too many levels of symbolic links" % (
            disk_path(self.root(), "loop"))
        state = self.dir / "state"
        state.mkdir()
        cache = state / "cache.json"
        for content in (cache_input(self.root(), [planted]),
                        cache_input(self.root(), [planted], schemaVersion="old"),
                        cache_input("/elsewhere", [planted])):
            with self.subTest(content=content[:60]):
                cache.write_text(content)
                run = self.scan(doc, cache=cache)
                self.assertEqual(run.code, 1)
                self.assertTrue(run.err.endswith((message + "\n").encode()), run.err)
                self.assertEqual(os.listdir(state), ["cache.json"])
                self.assertEqual(cache.read_text(), content)
        cache.write_text("{")
        run = self.scan(doc, cache=cache)
        self.assertEqual(run.code, 1)
        self.assertTrue(run.err.endswith((message + "\n").encode()), run.err)
        self.assertEqual(run.err.count(b"\n"), 2)  # the corrupted-cache warning, then the failure
        self.assertEqual(self.assert_sibling(state, "cache.json.corrupt-", run).read_bytes(), b"{")
        self.assertEqual(len(os.listdir(state)), 1)
        absent = self.dir / "new" / "dir" / "cache.json"
        self.assert_failure(self.scan(doc, cache=absent), message)
        self.assertFalse((self.dir / "new").exists())


def memory_limit(megabytes):
    """A preexec_fn that caps the child's address space."""
    import resource  # POSIX only

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (megabytes << 20, megabytes << 20))
    return limit


@posix_only("address-space limits, sparse files and tmpfs")
@unittest.skipIf(Config.emulator, "the limit would apply to the emulator")
class ExhaustionTest(CacheTestCase):
    """Memory and disk space that run out: one line naming the step, exit status 1, never an
    abort, and neither a report nor a replaced cache behind the failure."""

    def run_limited(self, args, megabytes, timeout=300):
        before = time.time_ns()
        proc = subprocess.run(command(args), stdin=subprocess.DEVNULL, capture_output=True,
                              preexec_fn=memory_limit(megabytes), timeout=timeout)
        return Run(proc.returncode, proc.stdout, proc.stderr, before, time.time_ns())

    def test_memory_that_runs_out(self):
        if self.run_limited(["--help"], 150).code != 0:
            self.skipTest("this build cannot start under a 150 MB address-space limit (a "
                          "sanitizer reserves its shadow memory)")
        # 400,000 entries, a manifest of about 105 MiB; no client file exists.
        files = []
        for i in range(400_000):
            digest = sha256_hex(b"%d" % i)
            files.append({"path": "d%03d/f%06d.pak" % (i % 1000, i), "size": 1000 + i,
                          "sha256": digest, "blobPath": "blobs/%s/%s" % (digest[:2], digest),
                          "policy": "critical" if i % 100 == 0 else "required"})
        self.write_manifest(manifest_doc(files))
        self.client_dir.mkdir()
        state = self.dir / "state"
        state.mkdir()
        cache = state / "cache.json"
        output = self.dir / "report.json"
        old = cache_input(self.root(), [("d000/f000000.pak", entry(1000, T, "00" * 32))])
        manifest, client = arg(self.manifest_path), self.root()
        steps = [re.escape(line) for line in (
            "Failed to read manifest '%s'" % manifest, "Failed to parse manifest '%s'" % manifest,
            "Failed to validate manifest '%s'" % manifest, "Failed to read cache '%s'" % cache,
            "Failed to build scan list", "Failed to check client files",
            "Failed to fold scan results", "Failed to build scan report",
            "Failed to encode cache '%s'" % cache, "Failed to store cache '%s'" % cache,
            "Failed to encode scan output", "Failed to write scan output to '%s'" % output,
            "Failed to run scan")] + [re.escape("Failed to hash '") + r"[^']*'"]
        outcomes = {}
        for megabytes in (150, 300, 450):
            with self.subTest(megabytes=megabytes):
                cache.write_text(old)
                output.unlink(missing_ok=True)
                run = self.run_limited(["--client-dir", client, "--manifest", manifest,
                                        "--cache", str(cache), "--output", str(output)],
                                       megabytes)
                self.assertIn(run.code, (0, 1), run)
                self.assertEqual(run.out, b"")
                if run.code == 1:
                    err = run.err.decode()
                    self.assertRegex(err, r"\A(%s): out of memory\n\Z" % "|".join(steps))
                    outcomes[megabytes] = err.rstrip()
                    self.assertFalse(output.exists())
                    self.assertEqual(cache.read_text(), old)
                else:
                    self.assertEqual(run.err, b"")
                    report = json.loads(output.read_bytes())
                    self.assertEqual(report["summary"], {
                        "expectedFiles": 400_000, "healthyFiles": 0, "missingFiles": 400_000,
                        "modifiedFiles": 0, "criticalMismatches": 4000,
                        "bytesToDownload": sum(1000 + i for i in range(400_000))})
                    self.assertEqual(len(report["repairActions"]), 400_000)
                    self.assertEqual(report["files"][-1]["path"], "d999/f399999.pak")
                    stored = json.loads(cache.read_bytes())
                    self.assertEqual((stored["schemaVersion"], stored["entries"]),
                                     (CACHE_SCHEMA, {}))
                    outcomes[megabytes] = "report"
                self.assertEqual(os.listdir(state), ["cache.json"])
        print("\n  memory limits: %s" % outcomes, end=" ", file=sys.stderr)

    def test_manifest_larger_than_memory(self):
        # Sparse, so it costs no disk; longer than any memory, so it cannot be held.
        physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        with open(self.manifest_path, "wb") as f:
            f.truncate(max(50 << 30, physical + (1 << 30)))
        self.client_dir.mkdir()
        cache = self.dir / "cache.json"
        output = self.dir / "report.json"
        run = self.scan(cache=cache, output=output, timeout=60)
        self.assert_failure(run, "Failed to read manifest '%s': out of memory" % arg(
            self.manifest_path))
        self.assertEqual(sorted(os.listdir(self.dir)), ["client", "manifest.json"])

    def test_disk_that_fills_while_the_cache_is_written(self):
        disk = self.dir / "disk"
        disk.mkdir()
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(disk)],
                                 capture_output=True)
        if mounted.returncode != 0:
            self.skipTest("cannot mount a 64 KiB tmpfs here: %s" % mounted.stderr.decode(
                "utf-8", "replace").strip())
        self.addCleanup(subprocess.run, ["umount", str(disk)], capture_output=True)
        # 300 files whose cache entries take some 50 KB: more than the disk has left.
        self.make_client({"f%03d.bin" % i: b"%d" % i for i in range(300)})
        self.write_manifest(manifest_doc([file_entry("f%03d.bin" % i, b"%d" % i)
                                          for i in range(300)]))
        cache = disk / "cache.json"
        old = cache_input(self.root(), [("f000.bin", entry(1, T, "00" * 32))])
        cache.write_text(old)
        # Everything but 16 KiB taken.
        filler = os.open(disk / "filler", os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(filler, b"\0" * 4096) == 4096:
                pass
        except OSError as e:
            self.assertEqual(e.errno, errno.ENOSPC)
        os.ftruncate(filler, max(0, os.fstat(filler).st_size - 16384))
        os.close(filler)
        output = self.dir / "report.json"
        run = self.scan(cache=cache, output=output)
        self.assertEqual((run.code, run.out), (1, b""))
        m = re.fullmatch(re.escape("Failed to write temporary cache '%s" % arg(cache)) +
                         r"\.tmp-(\d+)': No space left on device\n", run.err.decode())
        self.assertIsNotNone(m, run.err)
        self.assertIn(int(m.group(1)), stamp_window(run))
        self.assertEqual(sorted(os.listdir(disk)), ["cache.json", "filler"])
        self.assertEqual(cache.read_text(), old)
        self.assertFalse(output.exists())

def make_big_client(test, count, padding=1):
    """A client of `count` small files with some missing, modified and size-mismatched ones.
    Returns (manifest document, number of files that get a cache entry)."""
    files, hashed = [], 0
    for i in range(count):
        name = "d%02d/f%03d.bin" % (i % 10, i)
        data = (b"%d " % i) * (1 + i % 50) * padding
        files.append(file_entry(name, data))
        if i % 17 == 0:
            continue  # missing
        if i % 29 == 0:
            data += b"+"  # size mismatch
        else:
            hashed += 1
            if i % 13 == 0:
                data = b"#" + data[1:]  # same size, other content
        test.make_client({name: data})
    return manifest_doc(files), hashed


class FileEvents:
    """Linux inotify through ctypes: the files that a running process opens, closes, creates and
    renames into place in the watched directories, read while it runs."""

    IN_CLOSE_NOWRITE, IN_OPEN, IN_MOVED_TO, IN_CREATE = 0x10, 0x20, 0x80, 0x100

    def __init__(self):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.directories = {}

    def watch(self, directory, mask):
        wd = self.libc.inotify_add_watch(self.fd, os.fsencode(str(directory)), mask)
        if wd < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch", str(directory))
        self.directories[wd] = str(directory)

    def read(self, timeout=0.0):
        """[(directory, name, mask)] of the events queued now, waiting up to `timeout` for one."""
        select.select([self.fd], [], [], timeout)
        events = []
        while True:
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                return events
            offset = 0
            while offset < len(data):
                wd, mask, _, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].split(b"\0", 1)[0]
                events.append((self.directories.get(wd), name.decode("utf-8", "replace"), mask))
                offset += 16 + length

    def close(self):
        os.close(self.fd)


CRASH_PHASES = ("load", "hashing", "store")


class CacheRobustnessTest(CacheTestCase):
    def crash_client(self):
        """A client of 1,500 small files in ten directories (so that reading and storing the
        cache take a while) and one of 8 MiB, with missing, size- and hash-mismatched files.
        The first six files are the toggled ones: two contents of the same size each, the
        manifest's (healthy) and another (a hash mismatch). Returns the manifest document, the
        toggled paths with both contents, and the number of files that get a cache entry."""
        doc, hashed = make_big_client(self, 1500)
        big = random.Random(9).randbytes(8 << 20)
        toggled = {"big.bin": (big, b"#" + big[1:])}
        for i in range(5):
            data = b"toggled %d " % i * 20
            toggled["d0%d/toggled%d.bin" % (i, i)] = (data, b"#" + data[1:])
        entries = [file_entry(path, contents[0]) for path, contents in toggled.items()]
        doc["files"] = entries + doc["files"]
        self.make_client({path: contents[0] for path, contents in toggled.items()})
        return doc, toggled, hashed + len(toggled)

    @posix_only("SIGKILL and inotify")
    @unittest.skipIf(Config.emulator, "a signal to the emulator may not reach the program")
    def test_killed_runs_leave_a_usable_cache(self):
        doc, toggled, hashed = self.crash_client()
        self.write_manifest(doc)
        state = self.dir / "state"
        state.mkdir()
        cache = state / "cache.json"
        args = ["--client-dir", arg(self.client_dir), "--manifest", arg(self.manifest_path),
                "--cache", arg(cache)]
        mtime = [T]

        def set_toggle(which):
            mtime[0] += 1  # a new last-write second: the stored digests must not be reused
            for path, contents in toggled.items():
                (self.client_dir / path).write_bytes(contents[which])
                set_mtime(self.client_dir / path, mtime[0] * 10**9)

        # What a run without a cache finds, for both states of the toggled files.
        expected = []
        for which in (0, 1):
            set_toggle(which)
            baseline = self.scan()
            self.assertEqual((baseline.code, baseline.err), (0, b""))
            expected.append(verdicts(json.loads(baseline.out)))
        self.assertEqual(expected[0][0]["modifiedFiles"] + len(toggled),
                         expected[1][0]["modifiedFiles"])
        toggle = 1

        events = FileEvents()
        self.addCleanup(events.close)
        client_dirs = {str(self.client_dir)} | {str(self.client_dir / ("d%02d" % i))
                                                for i in range(10)}
        for directory in client_dirs:
            events.watch(directory, FileEvents.IN_OPEN | FileEvents.IN_CLOSE_NOWRITE)
        events.watch(state, FileEvents.IN_CREATE | FileEvents.IN_MOVED_TO)

        def prepare(scenario):
            """Sets up a scenario; returns the number of files the run hashes."""
            nonlocal toggle
            if scenario == "no cache":
                if cache.exists():
                    cache.unlink()
                return hashed
            toggle = 1 - toggle
            set_toggle(toggle)
            return len(toggled)

        def phase(seen, to_hash):
            """The phase a run had reached: by the events it caused before it ended."""
            opens = sum(1 for d, _, m in seen if d in client_dirs and m & FileEvents.IN_OPEN)
            closes = sum(1 for d, _, m in seen
                         if d in client_dirs and m & FileEvents.IN_CLOSE_NOWRITE)
            if any(m & FileEvents.IN_MOVED_TO for d, _, m in seen if d == str(state)):
                return "delivery"
            if any(m & FileEvents.IN_CREATE for d, _, m in seen if d == str(state)):
                return "store"
            if opens == 0:
                return "load"
            return "hashing" if min(opens, closes) < to_hash else "store"

        def watched_run(trigger=None, delay=0.0, to_hash=0):
            """Runs the tool; with a trigger, kills it `delay` seconds after the trigger: "start",
            "opened" (the first file opened for hashing), "hashed" (the last of `to_hash` files
            closed) or "written" (the temporary cache file created). Returns the process, its standard error and the events it caused, each as
            (seconds after the start, directory, name, mask)."""
            events.read()
            start = time.monotonic()
            proc = subprocess.Popen(command(args), stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            seen = []
            opens = closes = 0
            fired = start if trigger == "start" else None
            while proc.poll() is None:
                now = time.monotonic()
                if fired is not None and now >= fired + delay:
                    # Only what happened before the signal counts: dying closes the open files.
                    seen += [(now - start,) + e for e in events.read()]
                    proc.kill()
                    break
                for e in events.read(0.05 if fired is None else fired + delay - now):
                    seen.append((time.monotonic() - start,) + e)
                    if fired is None and trigger == "written" and e[0] == str(state) and (
                            e[2] & FileEvents.IN_CREATE):
                        fired = time.monotonic()
                    if fired is not None or e[0] not in client_dirs:
                        continue
                    opens += 1 if e[2] & FileEvents.IN_OPEN else 0
                    closes += 1 if e[2] & FileEvents.IN_CLOSE_NOWRITE else 0
                    if (trigger == "opened" and opens) or (trigger == "hashed" and
                                                           closes >= to_hash):
                        fired = time.monotonic()
            _, err = proc.communicate(timeout=120)
            if trigger is None or proc.returncode != -signal.SIGKILL:
                seen += [(time.monotonic() - start,) + e for e in events.read()]
            return proc, err, seen

        # The phases of both scenarios as they run here: load until the first file is opened
        # for hashing, hashing until the last one is closed, store until the cache is renamed.
        windows = {}
        for scenario in ("no cache", "changed"):
            bounds = []
            for _ in range(2):
                to_hash = prepare(scenario)
                proc, err, seen = watched_run()
                self.assertEqual((proc.returncode, err), (0, b""))
                client = [t for t, d, _, _ in seen if d in client_dirs]
                moved = [t for t, d, _, m in seen
                         if d == str(state) and m & FileEvents.IN_MOVED_TO]
                self.assertTrue(client and moved, seen[:20])
                bounds.append((min(client), max(client), moved[0]))
            first, last, renamed = (sum(b[i] for b in bounds) / len(bounds) for i in range(3))
            windows[scenario] = {"load": ("start", first), "hashing": ("opened", last - first),
                                 "store": ("hashed", renamed - last)}

        seed = random.randrange(1 << 30)
        rng = random.Random(seed)
        kills = collections.Counter()
        finished = attempts = absent = old = new = 0
        while sum(kills.values()) < 100 and attempts < 250:
            attempts += 1
            # A third of the runs start without a cache; in the others the toggled files changed.
            scenario = "no cache" if attempts % 3 == 0 else "changed"
            trigger, duration = windows[scenario][CRASH_PHASES[attempts // 3 % 3]]
            if trigger == "hashed" and attempts % 2:
                trigger, duration = "written", 0.0  # between the temporary file and the rename
            to_hash = prepare(scenario)
            before = cache.read_bytes() if cache.exists() else None
            # Seeing an event takes a moment: aim at the first 80 % of the phase.
            proc, err, seen = watched_run(trigger, rng.uniform(0, duration * 0.8), to_hash)
            if proc.returncode == -signal.SIGKILL:
                kills[(scenario, phase([e[1:] for e in seen], to_hash))] += 1
            else:
                self.assertEqual((proc.returncode, err), (0, b""))
                finished += 1
            # The cache is absent, the old document or a complete new one, never half of one.
            if not cache.exists():
                absent += 1
            elif cache.read_bytes() == before:
                old += 1
            else:
                new += 1
                stored = json.loads(cache.read_bytes())
                self.assertEqual(stored["schemaVersion"], CACHE_SCHEMA)
                self.assertEqual(len(stored["entries"]), hashed)
            # The next run finds what a run without a cache finds.
            after = self.run_tool(*args)
            self.assertEqual((after.code, after.err), (0, b""))
            self.assertEqual(verdicts(json.loads(after.out)), expected[toggle])
        by_phase = collections.Counter()
        for (_, reached), n in kills.items():
            by_phase[reached] += n
        leftovers = [n for n in os.listdir(state) if n != "cache.json"]
        sys.stderr.write(
            "\n  [crash test] seed %d; phases (ms) %s; %d kills: %s; %d runs finished; cache "
            "afterwards absent %d, old %d, new %d; %d temporary files left\n" % (
                seed, {s: {p: round(w[1] * 1000) for p, w in ws.items()}
                       for s, ws in windows.items()},
                sum(kills.values()), dict(sorted(kills.items())), finished, absent, old, new,
                len(leftovers)))
        self.assertGreaterEqual(sum(kills.values()), 100)
        for reached in CRASH_PHASES:
            self.assertGreaterEqual(by_phase[reached], 10, dict(kills))
        self.assertTrue(any(s == "no cache" for s, _ in kills) and
                        any(s == "changed" for s, _ in kills), dict(kills))

    def test_concurrent_runs_share_a_cache(self):
        doc, hashed = make_big_client(self, 150, padding=40)
        self.write_manifest(doc)
        baseline = self.scan()
        self.assertEqual(baseline.code, 0, baseline)
        expected = verdicts(json.loads(baseline.out))
        cache = self.dir / "state" / "cache.json"
        shown = arg(cache)
        args = ["--client-dir", arg(self.client_dir), "--manifest", arg(self.manifest_path),
                "--cache", shown]
        corrupted = "Ignoring corrupted client hash cache '%s' and rebuilding it: " % shown
        # Runs sharing a cache path are not coordinated: besides the store failures, a run may
        # find the file gone between its metadata and its read, or set aside a document that
        # two stores wrote into the same temporary file.
        allowed = STORE_FAILURES + ("Failed to read cache '", "Failed to remove corrupted cache '",
                                    "Failed to preserve corrupted cache '")
        seen = collections.Counter()
        for _ in range(3):
            procs = [subprocess.Popen(command(args), stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                     for _ in range(6)]
            for proc in procs:
                out, err = proc.communicate(timeout=120)
                text = err.decode("utf-8", "replace")
                if proc.returncode == 0:
                    self.assertEqual(verdicts(json.loads(out)), expected)
                    self.assertTrue(text == "" or (text.startswith(corrupted) and
                                                   text.count("\n") == 1), text)
                    seen["succeeded" + (" after a corrupted-cache warning" if text else "")] += 1
                else:
                    self.assertEqual((proc.returncode, out), (1, b""), text)
                    lines = text.splitlines()
                    self.assertTrue(lines and lines[-1].startswith(allowed), text)
                    seen[lines[-1].split(" '")[0]] += 1
        sys.stderr.write("\n  [concurrency test] %s\n" % dict(seen))
        for _ in range(2):
            after = self.run_tool(*args)
            self.assertEqual(after.code, 0, after)
            self.assertEqual(verdicts(json.loads(after.out)), expected)
        self.assertEqual(after.err, b"")
        self.assertEqual(len(json.loads(cache.read_bytes())["entries"]), hashed)


if __name__ == "__main__":
    unittest.main()
