#!/usr/bin/env python3
"""Tests of scripts/check-layers on small planted trees: an include that goes up or sideways
is caught, one that goes down is not."""

import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parent.parent / "scripts" / "check-layers"


def check(files):
    with tempfile.TemporaryDirectory(prefix="quendal-layers-") as root:
        for name, text in files.items():
            path = Path(root) / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        run = subprocess.run([sys.executable, str(SCRIPT), "--root", root],
                             capture_output=True, text=True, timeout=60)
        return run.returncode, run.stdout


class CheckLayersTest(unittest.TestCase):
    def test_planted_includes(self):
        down = {"src/scan/a.cpp": '#include "cache/b.h"\n#include "util/c.h"\n',
                "src/api/d.cpp": '#include "quendal/quendal.h"\n#include "run/e.h"\n',
                "src/util/f_test.cpp": '#include "cli/g.h"\n', "src/main.cpp": '#include "cli/h.h"\n'}
        # (planted file, its text, the line the check must print)
        planted = [
            ("src/util/x.h", '#include "cli/program.h"\n',
             'src/util/x.h: util includes "cli/program.h" from cli, which is not below it'),
            ("src/cli/x.cpp", '#  include "api/y.h"\n',
             'src/cli/x.cpp: cli includes "api/y.h" from api, which is not below it'),
            ("src/scan/x.cpp", '#include "quendal/quendal.h"\n',
             'src/scan/x.cpp: scan includes "quendal/quendal.h" from api, which is not below it'),
            ("src/run/x.cpp", '#include "tools/z.h"\n',
             'src/run/x.cpp: includes "tools/z.h", which no layer holds'),
            ("src/extra/x.cpp", "", "src/extra/x.cpp: src/extra/ is not a layer of README.md"),
        ]
        self.assertEqual(check(down), (0, "check-layers: every include goes down\n"))
        for name, text, line in planted:
            with self.subTest(name):
                code, out = check(dict(down, **{name: text}))
                self.assertEqual(code, 1)
                self.assertEqual(out.splitlines()[0], line)


if __name__ == "__main__":
    unittest.main()
