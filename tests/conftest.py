import os
import sys

# Test-only extension modules are built beside the real ones but not installed.
_TEST_MODULES = os.path.join(os.path.dirname(__file__), "..", "build", "cmake", "test_modules")
sys.path.insert(0, os.path.abspath(_TEST_MODULES))
