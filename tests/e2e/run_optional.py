"""Runs one test module like `python3 -m unittest -v MODULE`, for tests that need packages or
privileges a machine may lack. When every test of the module was skipped it prints the reason
on one line and exits with status 77, which ctest reports as a skipped test."""

import sys
import unittest

SKIPPED = 77


def main():
    module = sys.argv[1]
    suite = unittest.defaultTestLoader.loadTestsFromName(module)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    # A class skipped in setUpClass counts as one skip and no test run.
    if result.skipped and len(result.skipped) >= result.testsRun:
        print(f"SKIPPED {module}: {result.skipped[0][1]}", flush=True)
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main())
