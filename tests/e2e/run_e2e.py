"""Runs one group of the end-to-end tests; exits 77 (skipped) when this
machine cannot give cellpost a private mount namespace."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import sandbox  # noqa: E402

SKIPPED = 77

try:
    sandbox.namespace_command()
except sandbox.Unavailable as why:
    print("*" * 72, f"\nSKIPPED: {why}.\nThe end-to-end tests did NOT run.\n" + "*" * 72)
    sys.exit(SKIPPED)

import e2e  # noqa: E402

suite = unittest.defaultTestLoader.loadTestsFromNames(sys.argv[1:], e2e)
result = unittest.TextTestRunner(verbosity=2).run(suite)
sys.exit(0 if result.wasSuccessful() else 1)
