"""The sampler settings a user chooses, their bounds and defaults, for the API and the CLI alike."""

from __future__ import annotations

MIN_INTERVAL_MS = 1
MAX_INTERVAL_MS = 10_000
DEFAULT_INTERVAL_MS = 50
DEFAULT_TOP_N = 20


def validate_settings(interval_ms: object, top_n: object) -> None:
    """Raises ValueError for settings the sampler would refuse or could not use."""
    if isinstance(interval_ms, bool) or not isinstance(interval_ms, int):
        raise ValueError(f"interval_ms must be an integer, got {interval_ms!r}")
    if not MIN_INTERVAL_MS <= interval_ms <= MAX_INTERVAL_MS:
        raise ValueError(f"interval_ms must be in [{MIN_INTERVAL_MS}, {MAX_INTERVAL_MS}], got {interval_ms}")
    if isinstance(top_n, bool) or not isinstance(top_n, int) or top_n < 1:
        raise ValueError(f"top_n must be a positive integer, got {top_n!r}")
