"""The helper built on this machine (Debian 12), unchanged, on Debian 13: the headless protocol
tests (tests/process/test_protocol.py) and one X11 end-to-end test (test_shield_placement.py,
under Xvfb and openbox) run with the same binary inside the Debian 13 root, whose libraries are
a release newer than the build's. A helper that linked a version-specific library (ICU, say)
would not start there.

    scripts/debian13-root run -- sh -c 'cd tests/e2e && python3 run_optional.py debian13_portable'

Skipped, with the reason, outside the root."""

import os
import sys
import unittest

import debian13

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "process"))

import test_protocol  # noqa: E402
import test_shield_placement  # noqa: E402


class Outside(unittest.TestCase):
    def test_inside_the_root_only(self):
        pass


def load_tests(loader, tests, pattern):
    if not debian13.inside_root():
        return unittest.TestSuite([unittest.skip("run inside scripts/debian13-root")(
            Outside("test_inside_the_root_only"))])
    suite = unittest.TestSuite()
    suite.addTests(loader.loadTestsFromModule(test_protocol))
    suite.addTests(loader.loadTestsFromModule(test_shield_placement))
    return suite
