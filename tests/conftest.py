"""Hypothesis profiles: "ci" (the default, a few hundred examples) and "long"
(select with --hypothesis-profile=long)."""
from hypothesis import HealthCheck, settings

settings.register_profile("ci", max_examples=300, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=3000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("ci")
