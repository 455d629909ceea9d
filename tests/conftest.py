import os
import sys

import pytest
from hypothesis import HealthCheck, settings

# Test-only extension modules are built beside the real ones but not installed.
_TEST_MODULES = os.path.join(os.path.dirname(__file__), "..", "build", "cmake", "test_modules")
sys.path.insert(0, os.path.abspath(_TEST_MODULES))

# Hypothesis profiles: "ci" (the default, a few hundred examples) and "long"
# (select with --hypothesis-profile=long).
settings.register_profile("ci", max_examples=300, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=3000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("ci")


@pytest.fixture(scope="module")
def framework():
    """An initialised TorchFramework, as the core makes it."""
    from orrery.framework.framework_bridge import TorchFramework

    framework = TorchFramework()
    framework.initialize({})
    return framework
