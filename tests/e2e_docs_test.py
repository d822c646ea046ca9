"""End-to-end checks of the documents and the manual page.

The JSON Schemas in schemas/ (draft 2020-12) must accept the example manifest and the reports
and caches that the real binary writes, edge cases included, and refuse documents with a wrong
field; the manifest schema must agree with quendal on which manifests it accepts. The manual
page in doc/ must render with groff and man without a warning, and its usage text must be the
one that --help prints.

The schemas are checked with python-jsonschema (Debian's python3-jsonschema, or the same
module of the Python that runs the tests); format checking stays off, because the schemas
state the timestamp forms as patterns.
"""

import copy
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from e2e_support import (
    OMIT, SHA_ABC, U64_MAX, E2ETestCase, arg, byte_sorted, file_entry, manifest_doc,
    run_tool, windows)

REPO = Path(__file__).resolve().parent.parent
SCHEMAS = REPO / "schemas"
MANUAL = REPO / "doc" / "quendal.1"
EXAMPLES = REPO / "examples"

MANIFEST_SCHEMA = "quendal-manifest.schema.json"
REPORT_SCHEMA = "quendal-scan-report.schema.json"
CACHE_SCHEMA = "quendal-hash-cache.schema.json"
PROGRESS_SCHEMA = "quendal-progress.schema.json"


def _import_jsonschema():
    try:
        import jsonschema
        return jsonschema
    except ImportError:
        pass
    # Debian installs python3-jsonschema for its own python3; the tests may run under another
    # Python 3 of the same version.
    debian = "/usr/lib/python3/dist-packages"
    if os.path.isdir(debian) and debian not in sys.path:
        sys.path.append(debian)
        try:
            import jsonschema
            return jsonschema
        except ImportError:
            pass
    return None


jsonschema = _import_jsonschema()


# The manual page does not depend on the platform the binary was built for; the POSIX run
# checks it. The schema checks run on both, on the documents that each build writes.
posix_run_only = unittest.skipIf(windows(), "manual page: checked by the POSIX run")


def require_tools(*names):
    """Fails when a tool is missing: scripts/common.sh installs them all."""
    for name in names:
        if name == "jsonschema":
            if jsonschema is None:
                raise AssertionError("python3-jsonschema is not installed (scripts/common.sh "
                                     "lists it in QUENDAL_PACKAGES)")
        elif shutil.which(name) is None:
            raise AssertionError("%s is not installed (scripts/common.sh lists its package in "
                                 "QUENDAL_PACKAGES)" % name)


def load_validator(name):
    schema = json.loads((SCHEMAS / name).read_text(encoding="utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def errors(validator, document):
    return sorted("%s: %s" % ("/".join(map(str, e.absolute_path)), e.message)
                  for e in validator.iter_errors(document))


class SchemaTestCase(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        require_tools("jsonschema")
        cls.manifest_schema = load_validator(MANIFEST_SCHEMA)
        cls.report_schema = load_validator(REPORT_SCHEMA)
        cls.cache_schema = load_validator(CACHE_SCHEMA)

    def assert_valid(self, validator, document):
        self.assertEqual(errors(validator, document), [])

    def scan_documents(self, doc=None, *, client=None, cache=None):
        """Runs a scan; checks the report (and the cache, when one is named) against the
        schemas and the invariants that the schemas' descriptions state. Returns both."""
        run = self.scan(doc, client=client, cache=cache)
        self.assertEqual((run.code, run.err), (0, b""), run)
        report = json.loads(run.out)
        self.assert_valid(self.report_schema, report)
        self.assert_report_invariants(report)
        stored = None
        if cache is not None:
            stored = json.loads(Path(cache).read_bytes())
            self.assert_valid(self.cache_schema, stored)
            self.assert_cache_matches_report(stored, report)
        return report, stored

    def assert_report_invariants(self, report):
        s, files, actions = report["summary"], report["files"], report["repairActions"]
        status = [f["status"] for f in files]
        self.assertEqual(
            [s["expectedFiles"], s["healthyFiles"], s["missingFiles"], s["modifiedFiles"]],
            [len(files), status.count("healthy"), status.count("missing"),
             status.count("modified")])
        broken = [f for f in files if f["status"] != "healthy"]
        self.assertEqual(s["criticalMismatches"],
                         sum(f["policy"] == "critical" for f in broken))
        self.assertEqual(s["bytesToDownload"],
                         min(U64_MAX, sum(f["expectedSize"] for f in broken)))
        same = ("path", "policy", "expectedSize", "expectedSha256")
        self.assertEqual([{k: a[k] for k in same} for a in actions],
                         [{k: f[k] for k in same} for f in broken])
        self.assertEqual(
            [a["reason"] for a in actions],
            ["missing" if f["status"] == "missing" else
             "size_mismatch" if f["actualSha256"] is None else "hash_mismatch" for f in broken])
        for key in ("excludedPaths", "repairIfMissingPaths"):
            paths = report["manifest"][key]
            self.assertEqual(paths, byte_sorted(set(paths)), key)

    def assert_cache_matches_report(self, stored, report):
        """One entry per file whose digest was taken, keys in ascending byte order."""
        entries = stored["entries"]
        self.assertEqual(list(entries), byte_sorted(entries))
        taken = {f["path"]: (f["actualSize"], f["actualSha256"]) for f in report["files"]
                 if f["actualSha256"] is not None}
        self.assertEqual({k: (e["size"], e["sha256"]) for k, e in entries.items()}, taken)


class SchemaDocumentsTest(SchemaTestCase):
    def test_every_property_is_described(self):
        def walk(node, where):
            if isinstance(node, dict):
                for name, sub in node.get("properties", {}).items():
                    self.assertIn("description", sub, where + "/" + name)
                for key, sub in node.items():
                    if key not in ("if", "then", "else"):  # conditions, not documents
                        walk(sub, where + "/" + key)
            elif isinstance(node, list):
                for i, sub in enumerate(node):
                    walk(sub, "%s/%d" % (where, i))

        for name in (MANIFEST_SCHEMA, REPORT_SCHEMA, CACHE_SCHEMA, PROGRESS_SCHEMA):
            schema = json.loads((SCHEMAS / name).read_text(encoding="utf-8"))
            self.assertEqual(schema["$schema"], "https://json-schema.org/draft/2020-12/schema")
            for key in ("$id", "title", "description"):
                self.assertIn(key, schema, name)
            walk(schema, name)

    def test_example_scan_and_cached_rescan(self):
        self.assert_valid(self.manifest_schema,
                          json.loads((EXAMPLES / "manifest.json").read_bytes()))
        client = EXAMPLES / "client"  # only read
        shutil.copy(EXAMPLES / "manifest.json", self.manifest_path)
        cache = self.dir / "state" / "hashes.json"
        first, stored = self.scan_documents(client=client, cache=cache)
        self.assertEqual({f["status"] for f in first["files"]},
                         {"healthy", "missing", "modified"})
        self.assertEqual({a["reason"] for a in first["repairActions"]},
                         {"missing", "size_mismatch", "hash_mismatch"})
        second, restored = self.scan_documents(client=client, cache=cache)
        hashed = [f["usedCachedHash"] for f in second["files"] if f["actualSha256"]]
        self.assertTrue(hashed and all(hashed), second["files"])
        self.assertEqual(restored["entries"], stored["entries"])

    def test_edge_case_reports(self):
        big = [file_entry("a.pak", size=U64_MAX, sha256="00" * 32, policy="critical"),
               file_entry("b.pak", size=U64_MAX, sha256="11" * 32, policy="optional")]
        # name: (client files or None for no client directory, manifest, check of the report,
        # the stored cache and the client directory)
        cases = {
            "all missing": (None, manifest_doc(
                [file_entry("a.txt", b"abc"), file_entry("b/c.txt", b"", policy="critical")]),
                lambda r, c, d: self.assertEqual((r["clientRoot"], c["entries"]), (arg(d), {}))),
            # "/" has the empty normal form.
            "all excluded": ({}, manifest_doc(
                [file_entry("log.txt"), file_entry(".VELOR-UPDATER\\state.json"),
                 file_entry("Data/Movies", b"x")], excludedPaths=["data\\movies\\", "/"]),
                lambda r, c, d: self.assertEqual(
                    (r["files"], r["repairActions"], "" in r["manifest"]["excludedPaths"]),
                    ([], [], True))),
            "no launcher version, offset, no notes": ({"a.txt": b"abc"}, manifest_doc(
                [file_entry("a.txt", b"abc")], minimumLauncherVersion=None,
                publishedAt="2026-03-01 10:00:00.5 +02:00", releaseNotes=OMIT),
                lambda r, c, d: self.assertEqual(
                    [r["manifest"][k] for k in ("minimumLauncherVersion", "publishedAt",
                                                "releaseNotes")],
                    [None, "2026-03-01T08:00:00.500Z", []])),
            "saturated bytesToDownload": (None, manifest_doc(big), lambda r, c, d:
                                          self.assertEqual(r["summary"]["bytesToDownload"],
                                                           U64_MAX)),
            # Paths, digests and texts copied as written; "//" has the empty normal form.
            "texts as written": ({"Data/Ünï.pak": b"abc", "System.CFG": b"mine"}, manifest_doc(
                [file_entry("Data\\Ünï.pak", b"abc", sha256=SHA_ABC.upper()),
                 file_entry("System.CFG", b"shipped")], hashAlgorithm="SHA256",
                repairIfMissingPaths=["//"], releaseNotes=["", "\t\"quoted\"\n"],
                channel="canal-été"),
                lambda r, c, d: self.assertEqual(
                    ([f["status"] for f in r["files"]], r["manifest"]["repairIfMissingPaths"]),
                    (["healthy", "healthy"], ["", "system.cfg"]))),
        }
        for name, (disk, doc, check) in cases.items():
            with self.subTest(name):
                client = self.dir / name.replace(" ", "-")
                if disk is not None:
                    self.make_client(disk, client)
                cache = self.dir / (name.replace(" ", "-") + ".json")
                report, stored = self.scan_documents(doc, client=client, cache=cache)
                check(report, stored, client)

    def test_cached_texts_and_pre_epoch_times(self):
        """A reused digest is the text stored in the cache, whatever its form, and a file
        last written before 1970 is stored with a null modifiedUnixSeconds."""
        self.make_client({"upper.txt": b"abc", "blank.txt": b"abc", "old.txt": b"abc"})
        os.utime(self.client_dir / "old.txt", ns=(-500_000_000, -500_000_000))
        doc = manifest_doc([file_entry(n, b"abc") for n in ("upper.txt", "blank.txt",
                                                            "old.txt")])
        cache = self.dir / "cache.json"
        _, stored = self.scan_documents(doc, cache=cache)
        self.assertIsNone(stored["entries"]["old.txt"]["modifiedUnixSeconds"])
        stored["entries"]["upper.txt"]["sha256"] = SHA_ABC.upper()
        stored["entries"]["blank.txt"]["sha256"] = SHA_ABC + " "
        cache.write_text(json.dumps(stored), encoding="utf-8")
        report, restored = self.scan_documents(cache=cache)
        self.assertEqual([(f["actualSha256"], f["status"], f["usedCachedHash"])
                          for f in report["files"]],
                         [(SHA_ABC.upper(), "healthy", True),
                          (SHA_ABC + " ", "modified", True),
                          (SHA_ABC, "healthy", True)])
        self.assertEqual(restored["entries"]["blank.txt"]["sha256"], SHA_ABC + " ")

    def test_schemas_refuse_wrong_documents(self):
        shutil.copy(EXAMPLES / "manifest.json", self.manifest_path)
        cache = self.dir / "cache.json"
        report, stored = self.scan_documents(client=EXAMPLES / "client", cache=cache)
        self.assertEqual(report["files"][2]["status"], "missing")
        manifest = json.loads(self.manifest_path.read_bytes())

        def change(document, path, value):
            document = copy.deepcopy(document)
            *parents, last = path
            target = document
            for key in parents:
                target = target[key]
            if value is OMIT:
                del target[last]
            else:
                target[last] = value
            return document

        cases = [
            (self.manifest_schema, manifest, ("files", 0, "size"), "49"),
            (self.manifest_schema, manifest, ("files", 0, "size"), U64_MAX + 1),
            (self.manifest_schema, manifest, ("files", 0, "policy"), "Required"),
            (self.manifest_schema, manifest, ("signature", "keyId"), OMIT),
            (self.report_schema, report, ("summary", "expectedFiles"), "8"),
            (self.report_schema, report, ("summary", "healthyFiles"), -1),
            (self.report_schema, report, ("files", 0, "status"), "ok"),
            (self.report_schema, report, ("files", 0, "actualSize"), None),
            (self.report_schema, report, ("files", 2, "usedCachedHash"), True),
            (self.report_schema, report, ("repairActions", 0, "reason"), "modified"),
            (self.report_schema, report, ("manifest", "excludedPaths"),
             [p for p in report["manifest"]["excludedPaths"] if p != "log.txt"]),
            (self.report_schema, report, ("manifest", "excludedPaths", 0), "Log.txt"),
            (self.report_schema, report, ("scannedAt",), "2026-01-31T00:00:00.000Z"),
            (self.report_schema, report, ("manifest", "publishedAt"), "2026-01-31T08:30:00+00:00"),
            (self.report_schema, report, ("summary", "extra"), 0),
            (self.report_schema, report, ("files",), OMIT),
            (self.cache_schema, stored, ("entries", "readme.txt", "size"), "49"),
            (self.cache_schema, stored, ("entries", "readme.txt", "modifiedUnixSeconds"), 1.5),
            (self.cache_schema, stored, ("entries", "readme.txt", "sha256"), None),
            (self.cache_schema, stored, ("schemaVersion",), "velor-tirn-client-hash-cache.v1"),
            (self.cache_schema, stored, ("generatedAt",), None),
            (self.cache_schema, stored, ("entries",), []),
        ]
        for validator, document, path, value in cases:
            with self.subTest(path=path, value=value):
                self.assertNotEqual(errors(validator, change(document, path, value)), [])

    def test_manifest_schema_agrees_with_quendal(self):
        """For each manifest, the schema accepts it exactly when quendal does (exit 0 with all
        files missing; 1 when the manifest is refused)."""
        base = manifest_doc([file_entry("a.txt", b"abc")])

        def with_file(**fields):
            return manifest_doc([dict(file_entry("a.txt", b"abc"), **fields)])

        without_files = manifest_doc([])
        del without_files["files"]

        accepted = [
            base,
            manifest_doc(base["files"], hashAlgorithm="ShA256", minimumLauncherVersion=None),
            manifest_doc(base["files"], minimumLauncherVersion=OMIT, releaseNotes=OMIT,
                         excludedPaths=OMIT, repairIfMissingPaths=OMIT, minimumLauncher=[1]),
            manifest_doc(base["files"], publishedAt="2026-03-01 08:00:00 utc"),
            manifest_doc(base["files"], publishedAt="2026-03-01t10:00:00.1234567891\t+02:00"),
            manifest_doc(base["files"], publishedAt="+12026-03-01T10:00:60z"),
            manifest_doc(base["files"], signature={"algorithm": "a", "keyId": "k",
                                                   "signature": "s", "extra": None}),
            with_file(size=0, extra={"x": [None]}),
            with_file(size=U64_MAX, sha256="not a digest"),
            with_file(path="a/.b/. /c..d"),
        ]
        refused = [
            manifest_doc(base["files"], channel="\u3000\t"),
            manifest_doc(base["files"], hashAlgorithm=" sha256"),
            manifest_doc(base["files"], hashAlgorithm="sha-256"),
            manifest_doc(base["files"], minimumLauncherVersion=3),
            manifest_doc(base["files"], releaseNotes=None),
            manifest_doc(base["files"], excludedPaths=[1]),
            manifest_doc(base["files"], publishedAt="2026-03-01T08:00:00"),
            manifest_doc(base["files"], publishedAt="2026-03-01T08:00:00+24:00"),
            manifest_doc(base["files"], signature={"algorithm": "a", "keyId": " ",
                                                   "signature": "s"}),
            manifest_doc(base["files"], signature=OMIT),
            manifest_doc([]),
            without_files,
            with_file(size=-1),
            with_file(size=U64_MAX + 1),
            with_file(size=1.5),
            with_file(size="3"),
            with_file(policy="Critical"),
            with_file(blobPath=" "),
            with_file(path=".."),
            with_file(path="a\\ .. \\b"),
            with_file(path="data/x:stream"),
            with_file(path="a\u0000b"),
        ]
        for expected, docs in ((True, accepted), (False, refused)):
            for doc in docs:
                with self.subTest(doc=doc):
                    by_schema = errors(self.manifest_schema, doc) == []
                    run = self.scan(doc, client=self.dir / "absent")
                    self.assertEqual(run.code, 0 if expected else 1, run)
                    self.assertEqual(by_schema, expected)
                    if expected:
                        self.assert_valid(self.report_schema, json.loads(run.out))


@posix_run_only
class ManualPageTest(unittest.TestCase):
    ENV = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80", MANPAGER="cat", PAGER="cat")

    @classmethod
    def setUpClass(cls):
        require_tools("groff", "man")

    def test_groff_prints_no_warning(self):
        proc = subprocess.run(["groff", "-man", "-ww", "-z", str(MANUAL)], env=self.ENV,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual((proc.returncode, proc.stdout, proc.stderr), (0, b"", b""))

    def test_man_renders_every_section_without_warning(self):
        proc = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", str(MANUAL)],
                              env=self.ENV, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=60)
        self.assertEqual((proc.returncode, proc.stderr), (0, b""))
        lines = proc.stdout.decode("utf-8").splitlines()
        for heading in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES",
                        "ENVIRONMENT", "PROGRESS CHANNEL", "THE SCAN REPORT", "DIAGNOSTICS",
                        "EXAMPLES"):
            self.assertIn(heading, lines)
        # The usage text in the manual is the one that --help prints.
        help_run = run_tool(["--help"])
        self.assertEqual(help_run.code, 0, help_run)
        usage = help_run.out.decode("utf-8").rstrip("\n").split("\n")
        start = next(i for i, line in enumerate(lines) if line.strip().startswith("Usage: "))
        self.assertEqual([line.strip() for line in lines[start:start + len(usage)]], usage)

    def test_causes_for_entries_that_are_not_regular_files_are_the_programs(self):
        """The page quotes the program's cause for a directory and for a FIFO."""
        proc = subprocess.run(["man", "-E", "UTF-8", "-l", str(MANUAL)], env=self.ENV,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        page = " ".join(proc.stdout.decode("utf-8").split())
        with tempfile.TemporaryDirectory() as temp:
            client = Path(temp, "client")
            (client / "data" / "d00").mkdir(parents=True)
            os.mkfifo(client / "data" / "f00")
            manifest = Path(temp, "manifest.json")
            size = os.stat(client / "data" / "d00").st_size
            for name, size, quoted in (("d00", size, "Failed to open '.../data/d00': %s"),
                                       ("f00", 0, "with the cause %s.")):
                with self.subTest(name):
                    manifest.write_text(json.dumps(manifest_doc(
                        [file_entry("data/" + name, size=size, sha256="00" * 32)])))
                    run = run_tool(["--client-dir", str(client), "--manifest", str(manifest)])
                    prefix = "Failed to open '%s/data/%s': " % (os.path.realpath(client), name)
                    err = run.err.decode("utf-8")
                    self.assertTrue(run.code == 1 and err.startswith(prefix), run)
                    self.assertIn(quoted % err[len(prefix):-1], page)


if __name__ == "__main__":
    unittest.main()
