#!/usr/bin/env python3
"""Runs the end-to-end suites against a built quendal binary.

    python3 tests/e2e_test.py --binary build/quendal
    python3 tests/e2e_test.py --binary build-win/quendal.exe --emulator wine --platform windows

Exits with status 0 when every test passed.
"""

import argparse
import os
import sys
import unittest

MODULES = ["e2e_scan_test", "e2e_cache_test", "e2e_docs_test", "e2e_progress_test",
           "e2e_progress_channel_test", "e2e_elevated_test"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True, help="path of the quendal executable")
    parser.add_argument("--emulator", default="",
                        help="command put before the binary, e.g. 'wine'")
    parser.add_argument("--platform", choices=["posix", "windows"], default="posix")
    parser.add_argument("-k", dest="patterns", action="append",
                        help="only run tests whose name contains this text")
    parser.add_argument("-v", "--verbose", action="store_true")
    options = parser.parse_args()

    if not os.path.exists(options.binary):
        print("e2e: binary not found: %s" % options.binary, file=sys.stderr)
        return 2
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import e2e_support
    e2e_support.configure(options.binary, options.emulator, options.platform)

    loader = unittest.TestLoader()
    if options.patterns:
        loader.testNamePatterns = ["*%s*" % p for p in options.patterns]
    # The modules read the platform when they are imported, so they load after configure().
    suite = loader.loadTestsFromNames(MODULES)
    result = unittest.TextTestRunner(verbosity=2 if options.verbose else 1).run(suite)
    # A test whose subtests fail is listed once per failing subtest: count tests, not entries.
    failed = len({getattr(test, "test_case", test).id()
                  for test, _ in result.failures + result.errors})
    failed += len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    print("e2e: %d passed, %d failed, %d skipped" % (
        result.testsRun - failed - skipped, failed, skipped))
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
