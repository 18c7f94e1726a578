"""The package's version. Its one source is ``version`` in pyproject.toml,
which becomes the installed distribution's metadata; ``vokscan.__version__``
and ``vok-scan --version`` both read it from there."""

from __future__ import annotations

DISTRIBUTION = "vok"


def distribution_version() -> str:
    """The installed distribution's version ("unknown" when vokscan runs from a
    source tree that was never installed)."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(DISTRIBUTION)
    except PackageNotFoundError:
        return "unknown"
