"""End-to-end tests of a scan without a hash cache: command line, manifest reading and
validation, path rules, hashing, verdicts, the report's bytes and its delivery."""

import json
import os
import re
import subprocess
import unittest
from pathlib import Path

from e2e_support import (
    IMPLICIT_EXCLUSIONS, OMIT, SHA_ABC, SHA_EMPTY, U64_MAX, USAGE, E2ETestCase, arg,
    disk_path, expected_report, file_entry, hash_mismatch, healthy, manifest_doc, missing,
    posix_only, preserved, sha256_hex, size_mismatch, snapshot, summary, windows)

LOCATION = r" at line (\d+), column (\d+)\n$"


def simple_client(test):
    """A client with one healthy file; returns (manifest document, verdicts)."""
    test.make_client({"a.txt": b"abc"})
    f = file_entry("a.txt", b"abc")
    return manifest_doc([f]), [healthy(f)]


class CommandLineTest(E2ETestCase):
    def test_help_prints_usage_and_runs_nothing(self):
        self.write_manifest(b"not json")
        m = arg(self.manifest_path)
        for args in (["-h"], ["--help"], ["--client-dir", "c", "--manifest", m, "-h"],
                     ["--client-dir", "c", "--help", "--manifest"], ["-h", "--bogus"],
                     ["--cache", "x", "--help", ""]):
            run = self.run_tool(*args)
            self.assertEqual((run.code, run.out, run.err), (0, (USAGE + "\n").encode(), b""),
                             args)

    def test_malformed_command_lines(self):
        cases = [
            ([], "Missing required argument --client-dir"),
            (["--manifest", "m.json"], "Missing required argument --client-dir"),
            (["--client-dir", "c"], "Missing required argument --manifest"),
            (["--client-dir", "c", "--manifest", "m.json", "--cache"], "Missing value for --cache"),
            (["--client-dir"], "Missing value for --client-dir"),
            (["--manifest", "m", "--manifest"], "Missing value for --manifest"),
            (["--output", "--cache"], "Missing required argument --client-dir"),
            (["--client-dir", "--manifest", "m.json"], "Unknown argument: m.json"),
            (["--client-dir", "c", "extra", "--manifest"], "Unknown argument: extra"),
            ([""], "Unknown argument: "),
            (["-"], "Unknown argument: -"),
            (["--"], "Unknown argument: --"),
            (["--client-dir=c", "--manifest", "m"], "Unknown argument: --client-dir=c"),
            (["--Client-Dir", "c"], "Unknown argument: --Client-Dir"),
            (["--client", "c"], "Unknown argument: --client"),
            (["-H"], "Unknown argument: -H"),
            (["--HELP"], "Unknown argument: --HELP"),
            (["--bogus", "-h"], "Unknown argument: --bogus"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assert_usage_error(self.run_tool(*args), message)

    def test_last_value_wins_and_values_are_taken_verbatim(self):
        doc, verdicts = simple_client(self)
        self.write_manifest(doc)
        # "-h" after --output is the output path; a repeated flag silently takes the last value.
        run = self.run_tool("--client-dir", arg(self.dir / "elsewhere"), "--output", "-h",
                            "--manifest", arg(self.manifest_path), "--client-dir",
                            arg(self.client_dir), cwd=self.dir)
        self.assertEqual((run.code, run.out, run.err), (0, b"", b""))
        self.assert_report((self.dir / "-h").read_bytes(),
                           expected_report(self.root(), doc, verdicts), run, newline=False)

    @posix_only("arguments reach Windows programs as UTF-16")
    def test_arguments_that_are_not_utf8(self):
        m = arg(self.manifest_path)
        cases = [
            ([b"\xff"], 1),
            ([b"\x80", "--bogus"], 1),
            (["--client-dir", b"c\xff", "--manifest", m], 2),
            (["--client-dir", "c", b"--manifest\xed\xa0\x80", m], 3),
            (["--output", b"\xf4\x90\x80\x80"], 2),
            (["--client-dir", "c", "--manifest", m, b"\xe2\x82"], 5),
            (["--client-dir", "c", "--manifest", m, "--cache", b"a\xc0\xafb"], 6),
        ]
        for args, n in cases:
            with self.subTest(args=args):
                self.assert_usage_error(self.run_tool(*args),
                                        "Argument %d is not valid UTF-8" % n)
        run = self.run_tool("-h", b"\xff")
        self.assertEqual((run.code, run.out, run.err), (0, (USAGE + "\n").encode(), b""))
        self.assert_usage_error(self.run_tool("--bogus", b"\xff"), "Unknown argument: --bogus")


class ManifestReadingTest(E2ETestCase):
    def assert_parse_failure(self, run, description_re=".*"):
        """Returns (line, column) of a "Failed to parse manifest" failure."""
        self.assertEqual((run.code, run.out), (1, b""), run)
        prefix = "Failed to parse manifest '%s': " % arg(self.manifest_path)
        err = run.err.decode("utf-8")
        self.assertTrue(err.startswith(prefix), err)
        self.assertEqual(err.count("\n"), 1, err)
        m = re.fullmatch("(" + description_re + ")" + LOCATION, err[len(prefix):], re.S)
        self.assertIsNotNone(m, err)
        return int(m.group(2)), int(m.group(3))

    def test_manifest_that_cannot_be_read(self):
        self.make_client({})
        (self.dir / "folder.json").mkdir()
        cases = [(self.dir / "absent.json", "No such file or directory"),
                 (self.dir / "no" / "dir" / "m.json", "No such file or directory"),
                 (self.dir / "folder.json", "Is a directory")]
        cache = self.dir / "cache" / "c.json"
        for path, cause in cases:
            with self.subTest(path=path):
                run = self.run_tool("--client-dir", arg(self.client_dir), "--manifest", arg(path),
                                    "--cache", arg(cache))
                self.assert_failure(run, "Failed to read manifest '%s': " % arg(path), cause)
        self.assertFalse((self.dir / "cache").exists())

    def test_manifest_that_is_not_utf8(self):
        good = json.dumps(manifest_doc([file_entry("a.txt", b"abc")])).encode()
        for bad in (b"\xff", b"\x80", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xe2\x82",
                    b"\xf4\x90\x80\x80", b"\xf8\x88\x80\x80\x80"):
            with self.subTest(bytes=bad):
                self.write_manifest(good[:-1] + b', "note": "x' + bad + b'y"}')
                self.assert_failure(self.scan(), "Failed to read manifest '%s': the file is not "
                                    "valid UTF-8" % arg(self.manifest_path))
        self.write_manifest(b"\xff" + good)
        self.assert_failure(self.scan(), "Failed to read manifest '%s': the file is not valid "
                            "UTF-8" % arg(self.manifest_path))

    def test_syntax_errors_give_line_and_column_in_characters(self):
        self.make_client({})
        good = json.dumps(manifest_doc([file_entry("a.txt", b"abc")]))
        cases = [
            ("\ufeff" + good, 1, 1),
            ("", 1, 1),
            ('{"a":"\u00e9\u00e9\u00e9"x}', 1, 11),
            ('{"a": [1, 2,]}', 1, 13),
            ('{\t\tx}', 1, 4),
            ('{\n  "a": 1,\n  "b": 2\n  "c": 3\n}', 4, 3),
            (good + "\r\n\r\n  x", 3, 3),
            (good + " x", 1, len(good) + 2),
            ('{"note": ' + "[" * 100000 + "]" * 100000 + "}", 1, None),
            ('{"note": ' + "[" * 100000, 1, None),
        ]
        for text, line, column in cases:
            with self.subTest(text=text[:60]):
                self.write_manifest(text)
                where = self.assert_parse_failure(self.scan())
                self.assertEqual(where[0], line)
                if column is not None:
                    self.assertEqual(where[1], column)

    def test_faults_name_the_key_or_value(self):
        self.make_client({})
        f = file_entry("a.txt", b"abc")
        size_msg = "key 'size' must be an integer from 0 to 18446744073709551615"
        cases = [
            (manifest_doc([f], channel=OMIT), "missing required key 'channel'"),
            (manifest_doc([f], channel=OMIT, signature=OMIT), "missing required key 'channel'"),
            (manifest_doc([f], schemaVersion=OMIT), "missing required key 'schemaVersion'"),
            (manifest_doc([f], publishedAt=OMIT), "missing required key 'publishedAt'"),
            (manifest_doc([f], hashAlgorithm=OMIT), "missing required key 'hashAlgorithm'"),
            (manifest_doc([f], downloadBaseUrl=OMIT), "missing required key 'downloadBaseUrl'"),
            (manifest_doc([f], signature=OMIT), "missing required key 'signature'"),
            (manifest_doc([f], signature={"algorithm": "a", "signature": "s"}),
             "missing required key 'keyId'"),
            (manifest_doc([{"path": "a"}]), "missing required key 'size'"),
            (manifest_doc([{k: v for k, v in f.items() if k not in ("sha256", "policy")}]),
             "missing required key 'sha256'"),
            (manifest_doc([{k: v for k, v in f.items() if k != "policy"}]),
             "missing required key 'policy'"),
            (manifest_doc([dict(f, policy="Required")]), "unknown policy 'Required'"),
            (manifest_doc([dict(f, policy="CRITICAL")]), "unknown policy 'CRITICAL'"),
            (manifest_doc([dict(f, policy="")]), "unknown policy ''"),
            # Quoted values stay on one line and are cut after 120 characters.
            (manifest_doc([dict(f, policy="required\n")]), "unknown policy 'required\\n'"),
            (manifest_doc([dict(f, policy="x" * (1 << 20))]),
             "unknown policy '" + "x" * 120 + "\u2026'"),
            (manifest_doc([dict(f, policy="\u00e9" * 120)]),
             "unknown policy '" + "\u00e9" * 120 + "'"),
            (manifest_doc([dict(f, policy="\u00e9" * 121)]),
             "unknown policy '" + "\u00e9" * 120 + "\u2026'"),
        ]
        stamp_msg = ("key 'publishedAt' must be a timestamp: '%s' is not an RFC 3339 date-time "
                     "with an offset")
        # Years that fit twelve digits but not 64-bit seconds, the first instants past either
        # end (also by an offset), and a character that is no white space before the offset.
        for text in ("+999999999999-01-01T00:00:00Z", "-999999999999-01-01T00:00:00Z",
                     "+292277026596-12-04T15:30:08Z", "-292277022657-01-27T08:29:51Z",
                     "+292277026596-12-04T15:30:07-00:01", "-292277022657-01-27T08:29:52+00:01",
                     "2026-03-01T10:00:00\u200b+02:00"):
            cases.append((manifest_doc([f], publishedAt=text), stamp_msg % text))
        cases.append((manifest_doc([f], publishedAt="2026-01-31T00:00:00Z" + "0" * (1 << 20)),
                      stamp_msg % ("2026-01-31T00:00:00Z" + "0" * 100 + "\u2026")))
        for raw in ("-1", "1.0", "1e3", "1E3", "18446744073709551616", "99999999999999999999999"):
            text = json.dumps(manifest_doc([dict(f, size=1234567)]), indent=2)
            cases.append((text.replace("1234567", raw), size_msg))
        for doc, description in cases:
            with self.subTest(description=description, doc=str(doc)[-80:]):
                text = doc if isinstance(doc, str) else json.dumps(doc, indent=2)
                self.write_manifest(text)
                line, _ = self.assert_parse_failure(self.scan(), re.escape(description))
                if "policy '" in description or description == size_msg or (
                        description.startswith("key 'publishedAt'")):
                    key = ('"policy"' if "policy" in description else
                           '"size"' if description == size_msg else '"publishedAt"')
                    self.assertEqual(line, text.split("\n").index(
                        next(l for l in text.split("\n") if key in l)) + 1)

    def test_duplicate_keys(self):
        self.make_client({})
        text = json.dumps(manifest_doc([file_entry("a.txt", b"abc")]), indent=2)
        lines = text.split("\n")
        for dup, description in (('  "channel": "beta",', "duplicate key 'channel'"),
                                 ('      "size": 3,', "duplicate key 'size'")):
            with self.subTest(description=description):
                at = next(i for i, l in enumerate(lines) if l.startswith(dup.split(":")[0] + ":"))
                self.write_manifest("\n".join(lines[:at + 1] + [dup] + lines[at + 1:]))
                line, _ = self.assert_parse_failure(self.scan(), re.escape(description))
                self.assertEqual(line, at + 2)

    def test_wrong_types_and_nulls_fail_the_parse(self):
        self.make_client({})
        f = file_entry("a.txt", b"abc")
        cases = [
            manifest_doc(None), manifest_doc({}), manifest_doc(["a.txt"]),
            manifest_doc([f], channel=None), manifest_doc([f], channel=5),
            manifest_doc([f], releaseNotes=None), manifest_doc([f], releaseNotes="x"),
            manifest_doc([f], releaseNotes=[1]), manifest_doc([f], excludedPaths=None),
            manifest_doc([f], excludedPaths={"a": 1}), manifest_doc([f], repairIfMissingPaths=None),
            manifest_doc([f], signature=None), manifest_doc([f], signature="sig"),
            manifest_doc([f], minimumLauncherVersion=3), manifest_doc([f], publishedAt=None),
            manifest_doc([f], publishedAt="2026-01-31T00:00:00"),
            manifest_doc([f], publishedAt="2026-01-31"),
            manifest_doc([f], publishedAt="yesterday"),
            manifest_doc([dict(f, path=None)]), manifest_doc([dict(f, size="3")]),
            manifest_doc([dict(f, size=None)]), manifest_doc([dict(f, size=True)]),
            manifest_doc([dict(f, policy=None)]), manifest_doc([dict(f, sha256=7)]),
            "5", '"manifest"', "null",
        ]
        for doc in cases:
            with self.subTest(doc=str(doc)[-100:]):
                self.write_manifest(doc if isinstance(doc, str) else json.dumps(doc))
                self.assert_parse_failure(self.scan())


class ManifestValidationTest(E2ETestCase):
    def test_validation_messages_in_order(self):
        self.make_client({"a.txt": b"abc"})
        f = file_entry("a.txt", b"abc")
        sig = manifest_doc([])["signature"]
        meta = "Manifest metadata is incomplete."
        none = "Manifest does not list any client files."
        entry = "Manifest contains an incomplete file entry."

        def algo(value):
            return "Unsupported hash algorithm '%s'. Only sha256 is supported right now." % value

        cases = [
            (dict(channel=""), meta),
            (dict(channel=" \t\u3000\u0085\u00a0\u2028"), meta),
            (dict(schemaVersion="\u2003"), meta),
            (dict(releaseVersion="\u1680"), meta),
            (dict(downloadBaseUrl="\r\n"), meta),
            (dict(signature=dict(sig, algorithm="")), meta),
            (dict(signature=dict(sig, keyId=" ")), meta),
            (dict(signature=dict(sig, signature="\u205f\u202f")), meta),
            (dict(hashAlgorithm="   "), meta),
            (dict(channel="", files=[]), meta),
            (dict(hashAlgorithm=" sha256"), algo(" sha256")),
            (dict(hashAlgorithm="sha256 "), algo("sha256 ")),
            (dict(hashAlgorithm="sha-256"), algo("sha-256")),
            (dict(hashAlgorithm="sha512"), algo("sha512")),
            (dict(hashAlgorithm="\uff53ha256"), algo("\uff53ha256")),
            (dict(hashAlgorithm="md5", files=[]), algo("md5")),
            (dict(hashAlgorithm="sha\n256"), algo("sha\\n256")),
            (dict(hashAlgorithm="sha256" * 100000), algo("sha256" * 20 + "\u2026")),
            (dict(files=[]), none),
            (dict(files=OMIT), none),
            (dict(files=[f, dict(f, blobPath="  ")]), entry),
            (dict(files=[dict(f, path="\u00a0")]), entry),
            (dict(files=[dict(f, sha256="")]), entry),
            (dict(files=[dict(f, path="../x"), dict(f, blobPath="")]), entry),
            (dict(channel=" ", files=[dict(f, path="../x")]), meta),
        ]
        for fields, message in cases:
            with self.subTest(fields=fields):
                doc = manifest_doc([f])
                doc.update({k: v for k, v in fields.items() if v is not OMIT})
                for k in [k for k, v in fields.items() if v is OMIT]:
                    del doc[k]
                self.assert_failure(self.scan(doc), message)

    def test_accepted_variants(self):
        self.make_client({"a.txt": b"abc"})
        f = file_entry("a.txt", b"abc")
        deep = {"k": [None, 1, -2.5e-3, True, "x", {"a": [[[]]]}] * 3}
        for _ in range(100):
            deep = [deep]
        cases = [
            (dict(minimumLauncherVersion=OMIT), {}),
            (dict(minimumLauncherVersion=None), {}),
            (dict(minimumLauncherVersion=""), {}),
            (dict(hashAlgorithm="SHA256"), {}),
            (dict(hashAlgorithm="Sha256"), {}),
            (dict(schemaVersion="anything at all", channel="\u200b"), {}),
            (dict(releaseNotes=OMIT, excludedPaths=OMIT, repairIfMissingPaths=OMIT), {}),
            (dict(releaseNotes=[], note=deep, other=None, n=123456789012345678901234567890,
                  files=[dict(f, extra={"policy": "bogus"}, size2=-1)],
                  signature=dict(manifest_doc([])["signature"], extra=[1, {"x": None}])), {}),
        ]
        for fields, _ in cases:
            with self.subTest(fields=str(fields)[:120]):
                doc = manifest_doc([f])
                for k, v in fields.items():
                    if v is OMIT:
                        del doc[k]
                    else:
                        doc[k] = v
                expected_doc = dict(doc, files=[f])
                self.write_manifest(json.dumps(doc, indent=1) + " \t\r\n ")
                self.assert_scan(self.scan(), expected_report(self.root(), expected_doc,
                                                              [healthy(f)]))

    def test_unsafe_paths_fail_before_anything_is_hashed(self):
        self.make_client({"a.txt": b"abc"})
        os.symlink("loop", self.client_dir / "loop")  # would fail the run if it were looked at
        good = file_entry("a.txt", b"abc")
        bad = file_entry("loop", b"")
        for path in ("..", "../outside.txt", "data/../../x", "data\\..\\x", "..\\", "C:x.txt",
                     "c:/windows/x", "data/a:b", ":", "x\u0000y", "\u0000", "...", "data/.. /x",
                     "sub/.../..y"):
            with self.subTest(path=path):
                doc = manifest_doc([good, bad, file_entry(path, b"x")])
                self.assert_failure(self.scan(doc), "Manifest contains an unsafe file path.")
        for path, fields in (("../x", dict(excludedPaths=["../x"])),
                             (".velor-updater/../../x", {})):
            with self.subTest(path=path):
                doc = manifest_doc([good, file_entry(path, b"x")], **fields)
                self.assert_failure(self.scan(doc), "Manifest contains an unsafe file path.")

    def test_lookalikes_of_unsafe_paths_are_scanned(self):
        self.make_client({"a.txt": b"abc"})
        good = file_entry("a.txt", b"abc")
        names = ["..x", "sub/..y/.z"] + ([] if windows() else ["x..", "sub/..y./. z"])
        files = [good] + [file_entry(p, b"x") for p in names]  # Win32 drops trailing dots
        doc = manifest_doc(files, excludedPaths=["../a", "C:\\x"],
                           repairIfMissingPaths=["..", "a:b"])
        self.assert_scan(self.scan(doc), expected_report(
            self.root(), doc, [healthy(good)] + [missing(f) for f in files[1:]],
            excluded=["../a", "c:/x"] + IMPLICIT_EXCLUSIONS, repair=["..", "a:b"]))


class PathRulesTest(E2ETestCase):
    def test_exclusions(self):
        self.make_client({"log.txt": b"log", "velor-tirn.exe": b"exe"})
        excluded = ["Tools\\Quendal.EXE", "/tools//quendal.exe/", "QUENDAL.exe", "velor-tirn.exe",
                    "log.txt", "LOG.TXT", ".VELOR-UPDATER\\state.json", ".velor-updater",
                    ".velor-updater/a/b/c", "Data/Movies", "A.DAT", "tools\\EXTRA.dll",
                    "\u00dcber/STRASSE"]
        scanned = ["bin/quendal.exe", "quendal.exe.bak", ".velor-updater-old/readme.txt",
                   "data/.velor-updater/x", "logs/log.txt", "data/movies/intro.bik",
                   "a.dat.old", " a.dat", "\u00fcber/strasse"]
        files = [file_entry(p, b"data") for p in excluded + scanned]
        files.sort(key=lambda e: e["path"][::-1])  # mix excluded and scanned entries
        doc = manifest_doc(files, excludedPaths=[
            "Data\\Movies\\", "A.dat", "a.dat", "/a.dat", "TOOLS\\Extra.dll", "_first", "LOG.TXT",
            "\u00dcber/Strasse", " spaced"])
        expected = [missing(e) for e in files if e["path"] in scanned]
        self.assert_scan(self.scan(doc), expected_report(self.root(), doc, expected, excluded=[
            " spaced", "_first", "a.dat", "data/movies", "log.txt", "quendal.exe",
            "tools/extra.dll", "tools/quendal.exe", "velor-tirn.exe", "\u00dcber/strasse"],
            repair=["log.txt"]))

    def test_everything_excluded(self):
        self.make_client({})
        doc = manifest_doc([file_entry("log.txt", b"x"), file_entry("a", b"x")],
                           excludedPaths=["A"])
        self.assert_scan(self.scan(doc), expected_report(
            self.root(), doc, [], excluded=["a"] + IMPLICIT_EXCLUSIONS,
            repair=["log.txt"], counters=summary(0, 0, 0, 0, 0, 0)))

    def test_repair_if_missing_and_protected_root_files(self):
        self.make_client({"config/user.ini": b"changed by the player", "System.CFG": b"mine",
                          "PUB.KEY": b"k", "normal.txt": b"abd"})
        files = [file_entry("config/user.ini", b"defaults"),
                 file_entry("System.CFG", b"shipped"),
                 file_entry("PUB.KEY", b"key!", policy="critical"),
                 file_entry("chat.log", b"", policy="optional"),
                 file_entry("missing/keep.dat", b"12345"),
                 file_entry("normal.txt", b"abc"),
                 file_entry("log.txt", b"log")]
        doc = manifest_doc(files, repairIfMissingPaths=["Config\\User.ini", "config/user.ini",
                                                        "Missing\\Keep.dat", "not/listed"])
        verdicts = [preserved(files[0], 21), preserved(files[1], 4), preserved(files[2], 1),
                    missing(files[3]), missing(files[4]),
                    hash_mismatch(files[5], 3, sha256_hex(b"abd"))]
        self.assert_scan(self.scan(doc), expected_report(
            self.root(), doc, verdicts, counters=summary(6, 3, 2, 1, 0, 8),
            repair=["chat.log", "config/user.ini", "log.txt", "missing/keep.dat", "not/listed",
                    "pub.key", "system.cfg"]))

    @posix_only("file names with surrounding blanks")
    def test_which_root_files_are_protected(self):
        self.make_client({" system.cfg ": b"1", "system.cfg": b"2", "chat.log": b"3",
                          "clientinfo1223465.ini": b"4", "SystemOptionGraphics.CFG": b"5"})
        protected = [file_entry(" system.cfg ", b"xx"), file_entry("system.cfg/", b"xx"),
                     file_entry("clientinfo1223465.ini", b"xx"),
                     file_entry("SystemOptionGraphics.CFG", b"xx")]
        doc = manifest_doc(protected)
        self.assert_scan(self.scan(doc), expected_report(
            self.root(), doc, [preserved(f, 1) for f in protected],
            repair=[" system.cfg ", "clientinfo1223465.ini", "system.cfg",
                    "systemoptiongraphics.cfg"]))
        self.make_client({"config/system.cfg": b"1", "pub.key.old": b"1"})
        others = [file_entry(p, b"xx") for p in ("config/system.cfg", "/system.cfg",
                                                 "./system.cfg", "\\chat.log", "pub.key.old")]
        doc = manifest_doc(others)
        self.assert_scan(self.scan(doc), expected_report(
            self.root(), doc, [size_mismatch(f, 1) for f in others]))

    def test_on_disk_path_from_the_manifest_text(self):
        content = {"data/x.pak": b"x", "data/ y.pak": b"y", "Data/Sky.PAK": b"sky",
                   "dir/sub/f.bin": b"f", "lead/trail/f2.bin": b"f2",
                   "donn\u00e9es/\u00e9t\u00e9.txt": "\u00e9".encode()}
        self.make_client(content)
        files = [file_entry(p, c) for p, c in [
            ("data/ /x.pak", b"x"), ("data/ y.pak", b"y"), ("Data/Sky.PAK", b"sky"),
            ("dir\\sub\\f.bin", b"f"), ("//lead\\\\trail//f2.bin//", b"f2"),
            ("./data/x.pak", b"x"), ("data/./x.pak", b"x"), ("dir\\.\\sub/./f.bin", b"f"),
            ("donn\u00e9es/\u00e9t\u00e9.txt", "\u00e9".encode())]]
        verdicts = [healthy(f) for f in files]
        if not windows():
            files.append(file_entry("data/sky.pak", b"sky"))
            verdicts.append(missing(files[-1]))
        doc = manifest_doc(files)
        self.assert_scan(self.scan(doc), expected_report(self.root(), doc, verdicts))


class VerdictTest(E2ETestCase):
    def test_verdicts_and_counters(self):
        self.make_client({"abc.txt": b"abc", "empty.bin": b"", "upper.txt": b"upper",
                          "short.bin": b"12345", "changed.bin": b"xyz", "blank.txt": b"abc",
                          "notdigest.txt": b"abc", "ok/critical.dat": b"crit", "a.txt": b"file",
                          "dir/sub/file.bin": b"nested"})
        abc = file_entry("abc.txt", size=3, sha256=SHA_ABC)
        empty = file_entry("empty.bin", size=0, sha256=SHA_EMPTY)
        upper = file_entry("upper.txt", b"upper", sha256=sha256_hex(b"upper").upper())
        short = file_entry("short.bin", b"123456", policy="critical")
        changed = file_entry("changed.bin", b"abc", policy="optional")
        blank = file_entry("blank.txt", size=3, sha256=SHA_ABC + " ")
        not_digest = file_entry("notdigest.txt", size=3, sha256="abc")
        gone_optional = file_entry("gone/optional.pak", size=1000, sha256="11" * 32,
                                   policy="optional")
        gone_critical = file_entry("gone/critical.pak", size=7, sha256="22" * 32,
                                   policy="critical")
        critical_ok = file_entry("ok/critical.dat", b"crit", policy="critical")
        not_dir = file_entry("a.txt/b", size=4, sha256="33" * 32)
        backslashes = file_entry("dir\\sub\\file.bin", b"nested")
        gone_again = dict(gone_optional, blobPath="blobs/other")
        abc_again = dict(abc, policy="critical")
        verdicts = [
            healthy(abc, SHA_ABC), healthy(empty, SHA_EMPTY),
            healthy(upper, sha256_hex(b"upper")), size_mismatch(short, 5),
            hash_mismatch(changed, 3, sha256_hex(b"xyz")), hash_mismatch(blank, 3, SHA_ABC),
            hash_mismatch(not_digest, 3, SHA_ABC), missing(gone_optional),
            missing(gone_critical), healthy(critical_ok), missing(not_dir),
            healthy(backslashes), missing(gone_again), healthy(abc_again, SHA_ABC)]
        doc = manifest_doc([abc, empty, upper, short, changed, blank, not_digest, gone_optional,
                            gone_critical, critical_ok, not_dir, backslashes, gone_again,
                            abc_again])
        self.assert_scan(self.scan(doc), expected_report(
            self.root(), doc, verdicts, counters=summary(14, 6, 4, 4, 2, 2026)))

    def test_bytes_to_download_saturate(self):
        self.make_client({})
        for sizes, total in (([U64_MAX - 1, 1], U64_MAX), ([U64_MAX, U64_MAX], U64_MAX),
                             ([U64_MAX, 0, 1], U64_MAX), ([0], 0)):
            with self.subTest(sizes=sizes):
                files = [file_entry("f%d" % i, size=s, sha256="00") for i, s in enumerate(sizes)]
                doc = manifest_doc(files)
                self.assert_scan(self.scan(doc), expected_report(
                    self.root(), doc, [missing(f) for f in files],
                    counters=summary(len(sizes), 0, len(sizes), 0, 0, total)))

    def test_large_files_are_hashed_whole(self):
        mib8 = 8388608
        block = bytes(range(256)) * (mib8 // 256)
        big = block * 2 + b"tail" * 3000
        self.make_client({"exact.bin": block, "big.bin": big, "big-changed.bin": big[:-1] + b"!"})
        files = [file_entry("exact.bin", block), file_entry("big.bin", big),
                 file_entry("big-changed.bin", big)]
        doc = manifest_doc(files)
        self.assert_scan(self.scan(doc), expected_report(self.root(), doc, [
            healthy(files[0]), healthy(files[1]),
            hash_mismatch(files[2], len(big), sha256_hex(big[:-1] + b"!"))]))

    @posix_only()
    def test_first_failure_in_list_order_ends_the_run(self):
        big = os.urandom(1 << 16) * 400  # about 26 MB: finishes last
        self.make_client({"big.bin": big, "ok.txt": b"abc"})
        os.symlink("loop", self.client_dir / "loop")
        root = self.root()
        loop_msg = "Failed to read metadata for '%s': Too many levels of symbolic links" % (
            disk_path(root, "loop"))
        long_name = "n" * 300
        long_msg = "Failed to read metadata for '%s': File name too long" % (
            disk_path(root, long_name))
        big_f, ok = file_entry("big.bin", big), file_entry("ok.txt", b"abc")
        loop_f, long_f = file_entry("loop", b"x"), file_entry(long_name, b"x")
        output = self.dir / "report.json"
        for files, message in (([big_f, ok, loop_f, ok, long_f], loop_msg),
                               ([big_f, long_f, ok, loop_f], long_msg)):
            with self.subTest(message=message):
                run = self.scan(manifest_doc(files), output=output)
                self.assert_failure(run, message)
                self.assertFalse(output.exists())

    @posix_only()
    def test_entries_that_are_not_regular_files(self):
        self.make_client({"ok.txt": b"abc"})
        (self.client_dir / "folder").mkdir()
        os.mkfifo(self.client_dir / "pipe")
        os.symlink("loop", self.client_dir / "loop")
        root, dir_size = self.root(), os.stat(self.client_dir / "folder").st_size
        ok = file_entry("ok.txt", b"abc")
        cases = [
            (file_entry("folder", size=dir_size, sha256="00"),
             "Failed to open '%s': Is a directory" % disk_path(root, "folder")),
            (file_entry("pipe", size=0, sha256=SHA_EMPTY),
             "Failed to open '%s': Not a regular file" % disk_path(root, "pipe")),
            (file_entry("loop", size=0, sha256=SHA_EMPTY),
             "Failed to read metadata for '%s': Too many levels of symbolic links" % (
                 disk_path(root, "loop"))),
            (file_entry("x" * 256, size=0, sha256=SHA_EMPTY),
             "Failed to read metadata for '%s': File name too long" % (
                 disk_path(root, "x" * 256))),
        ]
        for entry, message in cases:
            with self.subTest(path=entry["path"][:20]):
                try:
                    run = self.scan(manifest_doc([ok, entry]), timeout=20)
                except subprocess.TimeoutExpired:
                    self.fail("the scan hung on %r" % entry["path"])
                self.assert_failure(run, message)
        # A directory whose length differs from the manifest is only a size mismatch.
        entry = file_entry("folder", size=dir_size + 1, sha256="00")
        doc = manifest_doc([entry])
        self.assert_scan(self.scan(doc), expected_report(root, doc,
                                                         [size_mismatch(entry, dir_size)]))

    @posix_only()
    def test_failure_paths_use_the_resolved_root(self):
        self.make_client({})
        os.symlink("loop", self.client_dir / "loop")
        self.write_manifest(manifest_doc([file_entry("loop", b"")]))
        run = self.run_tool("--client-dir", "./client/../client", "--manifest",
                            str(self.manifest_path), cwd=self.dir)
        self.assert_failure(run, "Failed to read metadata for '%s/loop': Too many levels of "
                            "symbolic links" % os.path.realpath(self.client_dir))

    def test_client_root_resolution(self):
        self.make_client({"a.txt": b"abc"})
        f = file_entry("a.txt", b"abc")
        doc = manifest_doc([f])
        self.write_manifest(doc)
        m = arg(self.manifest_path)
        cases = [(arg(self.dir / "nope") + ("\\" if windows() else "/"), None),
                 ("no-such-client", None), ("\u043a\u043b\u0438\u0435\u043d\u0442", None),
                 ("client", self.root()), (arg("./client/../client/"), self.root())]
        if not windows():
            os.symlink(self.client_dir, self.dir / "link")
            cases.append((str(self.dir / "link"), self.root()))
        for typed, root in cases:
            with self.subTest(client_dir=typed):
                run = self.run_tool("--client-dir", typed, "--manifest", m, cwd=self.dir)
                verdict = missing(f) if root is None else healthy(f)
                self.assert_scan(run, expected_report(root or typed, doc, [verdict]))


class ReportTest(E2ETestCase):
    def test_report_bytes(self):
        self.make_client({"abc.txt": b"abc", "bin/game.bin": b"abd"})
        self.write_manifest(
            '{"schemaVersion": "velor-tirn-manifest.v3", "channel": "live",\n'
            ' "releaseVersion": "1.2.0", "publishedAt": "2026-03-01T10:00:00+02:00",\n'
            ' "hashAlgorithm": "SHA256", "downloadBaseUrl": "https:\\/\\/cdn.example.invalid/l/",\n'
            ' "files": [\n'
            '  {"path": "abc.txt", "size": 3, "sha256": "BA7816BF8F01CFEA414140DE5DAE2223B00361A3'
            '96177A9CB410FF61F20015AD", "blobPath": "blobs/abc", "policy": "required"},\n'
            '  {"path": "Data\\\\Sky.pak", "size": 5, "sha256": "00", "blobPath": "blobs/sky",'
            ' "policy": "optional"},\n'
            '  {"path": "bin/game.bin", "size": 3, "sha256": "ba7816bf8f01cfea414140de5dae2223b00'
            '361a396177a9cb410ff61f20015ad", "blobPath": "blobs/game", "policy": "critical"}],\n'
            ' "signature": {"keyId": "key-1", "signature": "sig", "algorithm": "ed25519"}}')
        run = self.scan()
        self.assertEqual((run.code, run.err), (0, b""))
        root = self.root().replace("\\", "\\\\")
        m = re.fullmatch(rb'(.*"scannedAt":")([^"]*)(".*)\n', run.out, re.S)
        self.assertIsNotNone(m, run.out)
        self.assert_timestamp_within(m.group(2).decode(), run.before_ns, run.after_ns)
        self.assertEqual(m.group(1) + b"TS" + m.group(3), (
            '{"schemaVersion":"velor-tirn-client-scan.v1","clientRoot":"' + root + '",'
            '"scannedAt":"TS","manifest":{"channel":"live","releaseVersion":"1.2.0",'
            '"publishedAt":"2026-03-01T08:00:00Z","minimumLauncherVersion":null,'
            '"hashAlgorithm":"SHA256","downloadBaseUrl":"https://cdn.example.invalid/l/",'
            '"releaseNotes":[],"excludedPaths":["log.txt","quendal.exe","tools/quendal.exe",'
            '"velor-tirn.exe"],"repairIfMissingPaths":[],"signature":{"algorithm":"ed25519",'
            '"keyId":"key-1","signature":"sig"}},"summary":{"expectedFiles":3,"healthyFiles":1,'
            '"missingFiles":1,"modifiedFiles":1,"criticalMismatches":1,"bytesToDownload":8},'
            '"files":[{"path":"abc.txt","policy":"required","expectedSize":3,"expectedSha256":'
            '"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD","actualSize":3,'
            '"actualSha256":"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",'
            '"status":"healthy","usedCachedHash":false},{"path":"Data\\\\Sky.pak","policy":'
            '"optional","expectedSize":5,"expectedSha256":"00","actualSize":null,'
            '"actualSha256":null,"status":"missing","usedCachedHash":false},{"path":'
            '"bin/game.bin","policy":"critical","expectedSize":3,"expectedSha256":"ba7816bf8f01c'
            'fea414140de5dae2223b00361a396177a9cb410ff61f20015ad","actualSize":3,"actualSha256":'
            '"a52d159f262b2c6ddb724a61840befc36eb30c88877a4030b65cbe86298449c9","status":'
            '"modified","usedCachedHash":false}],"repairActions":[{"path":"Data\\\\Sky.pak",'
            '"policy":"optional","reason":"missing","expectedSize":5,"expectedSha256":"00",'
            '"blobPath":"blobs/sky"},{"path":"bin/game.bin","policy":"critical","reason":'
            '"hash_mismatch","expectedSize":3,"expectedSha256":"ba7816bf8f01cfea414140de5dae222'
            '3b00361a396177a9cb410ff61f20015ad","blobPath":"blobs/game"}]}').encode())

    def test_strings_are_copied_with_minimal_escaping(self):
        self.make_client({})
        controls = "".join(chr(c) for c in range(32))
        others = ' "q" \\ / \x7f \u00e9 \u20ac \U0001f600 \u2028 \U0010ffff'
        f = file_entry("a.txt", size=1, sha256="\t\"x\"", blob="b\\l\u00f6b/\n")
        doc = manifest_doc([f], releaseNotes=[controls, others], channel="\u65e5\u672c")
        self.write_manifest(json.dumps(doc, ensure_ascii=True))  # input escapes are decoded
        run = self.scan()
        self.assert_scan(run, expected_report(self.root(), doc, [missing(f)]))
        self.assertIn(
            b'"channel":"\xe6\x97\xa5\xe6\x9c\xac"', run.out)
        self.assertIn(
            b'"releaseNotes":["\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n'
            b'\\u000b\\f\\r\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017'
            b'\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f"," \\"q\\" \\\\ / \x7f '
            b'\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xe2\x80\xa8 \xf4\x8f\xbf\xbf"]', run.out)
        self.assertIn(b'"expectedSha256":"\\t\\"x\\"","blobPath":"b\\\\l\xc3\xb6b/\\n"}', run.out)

    @posix_only("file names with control characters and quotes")
    def test_paths_with_special_characters(self):
        names = ["tab\there.txt", 'quote"d.txt', "back\\slash.txt", "line\nfeed", "\u00e9t\u00e9"]
        self.make_client({"tab\there.txt": b"1", 'quote"d.txt': b"2", "back/slash.txt": b"3",
                          "line\nfeed": b"4", "\u00e9t\u00e9": b"5"})
        files = [file_entry(n, str(i + 1).encode()) for i, n in enumerate(names)]
        doc = manifest_doc(files)
        run = self.scan(doc)
        self.assert_scan(run, expected_report(self.root(), doc, [healthy(f) for f in files]))
        for fragment in (b'"path":"tab\\there.txt"', b'"path":"quote\\"d.txt"',
                         b'"path":"back\\\\slash.txt"', b'"path":"line\\nfeed"',
                         b'"path":"\xc3\xa9t\xc3\xa9"'):
            self.assertIn(fragment, run.out)

    def test_published_at_is_reported_in_utc(self):
        self.make_client({})
        f = file_entry("a", b"a")
        cases = [
            ("2026-03-01T10:00:00+02:00", "2026-03-01T08:00:00Z"),
            ("2026-03-01 08:00:00 UTC", "2026-03-01T08:00:00Z"),
            ("2026-03-01t08:00:00utc", "2026-03-01T08:00:00Z"),
            ("2026-03-01T08:00:00 Z", "2026-03-01T08:00:00Z"),
            ("2026-03-01T01:30:00-06:30", "2026-03-01T08:00:00Z"),
            ("2026-03-01T00:30:00+01:00", "2026-02-28T23:30:00Z"),
            ("2024-03-01T00:30:00+01:00", "2024-02-29T23:30:00Z"),
            ("2026-12-31T23:00:00-01:00", "2027-01-01T00:00:00Z"),
            ("2026-01-31T00:00:00.000Z", "2026-01-31T00:00:00Z"),
            ("2026-01-31T00:00:00.25Z", "2026-01-31T00:00:00.250Z"),
            ("2026-01-31T00:00:00.120Z", "2026-01-31T00:00:00.120Z"),
            ("2026-01-31T00:00:00.1201Z", "2026-01-31T00:00:00.120100Z"),
            ("2026-01-31T00:00:00.120100Z", "2026-01-31T00:00:00.120100Z"),
            ("2026-01-31T08:05:09.1234567Z", "2026-01-31T08:05:09.123456700Z"),
            ("2026-01-31T08:05:09.000000001+00:00", "2026-01-31T08:05:09.000000001Z"),
            ("1969-12-31T23:59:59.5Z", "1969-12-31T23:59:59.500Z"),
            ("2026-03-01T10:00:00\u00a0+02:00", "2026-03-01T08:00:00Z"),
            ("2026-03-01T10:00:00\u3000\u2003+02:00", "2026-03-01T08:00:00Z"),
            # The first and the last instant of 64-bit seconds.
            ("-292277022657-01-27T08:29:52Z", "-292277022657-01-27T08:29:52Z"),
            ("-292277022657-01-27T07:29:52-01:00", "-292277022657-01-27T08:29:52Z"),
            ("+292277026596-12-04T15:30:07.999999999Z", "+292277026596-12-04T15:30:07.999999999Z"),
            ("+292277026596-12-04T16:30:07+01:00", "+292277026596-12-04T15:30:07Z"),
        ]
        for text, shown in cases:
            with self.subTest(publishedAt=text):
                doc = manifest_doc([f], publishedAt=text)
                self.assert_scan(self.scan(doc), expected_report(
                    self.root(), doc, [missing(f)], published=shown))


class ExampleTest(E2ETestCase):
    def test_example_client_shows_every_verdict(self):
        examples = Path(__file__).resolve().parent.parent / "examples"
        run = self.run_tool("--client-dir", arg(examples / "client"), "--manifest",
                            arg(examples / "manifest.json"))
        self.assertEqual((run.code, run.err), (0, b""))
        report = json.loads(run.out)
        self.assertEqual(report["summary"], summary(8, 5, 1, 2, 1, 262))
        self.assertEqual([(a["path"], a["reason"]) for a in report["repairActions"]], [
            ("data/sounds.pak", "missing"), ("data/maps.pak", "size_mismatch"),
            ("bin/game.bin", "hash_mismatch")])
        kept = [f["path"] for f in report["files"] if f["status"] == "healthy"
                and f["actualSha256"] is None]
        self.assertEqual(kept, ["system.cfg", "config/user.ini"])
        self.assertIn("screenshots/latest.txt", report["manifest"]["excludedPaths"])


class DeliveryTest(E2ETestCase):
    def test_output_file_gets_the_report_without_line_feed(self):
        doc, verdicts = simple_client(self)
        output = self.dir / "out" / "report.json"
        output.parent.mkdir()
        output.write_bytes(b"x" * 100000)
        run = self.scan(doc, output=output)
        self.assertEqual((run.code, run.out, run.err), (0, b"", b""))
        self.assert_report(output.read_bytes(), expected_report(self.root(), doc, verdicts), run,
                           newline=False)

    def test_scan_without_cache_writes_nothing_else(self):
        doc, verdicts = simple_client(self)
        self.write_manifest(doc)
        before = snapshot(self.dir)
        self.assert_scan(self.scan(cwd=self.dir), expected_report(self.root(), doc, verdicts))
        self.assertEqual(snapshot(self.dir), before)

    def test_output_that_cannot_be_written(self):
        doc, _ = simple_client(self)
        self.write_manifest(doc)
        (self.dir / "folder").mkdir()
        cases = [(self.dir / "no" / "such" / "r.json", "No such file or directory"),
                 (self.dir / "folder", "Is a directory")]
        if not windows():
            cases.append((Path("/dev/full"), "No space left on device"))
        for output, cause in cases:
            with self.subTest(output=output):
                run = self.scan(output=output)
                self.assert_failure(run, "Failed to write scan output to '%s': " % arg(output),
                                    cause)
        self.assertFalse((self.dir / "no").exists())

    @posix_only()
    def test_standard_output_that_cannot_be_written(self):
        doc, _ = simple_client(self)
        self.write_manifest(doc)
        message = "Failed to write scan output to standard output: "
        with open("/dev/full", "wb") as full:
            self.assert_failure(self.scan(stdout=full), message, "No space left on device")
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            run = self.scan(stdout=write_end)  # the child starts with SIGPIPE at its default
        finally:
            os.close(write_end)
        self.assertEqual(run.code, 1, "expected exit 1, not death by a signal: %r" % run)
        self.assert_failure(run, message, "Broken pipe")


if __name__ == "__main__":
    unittest.main()
