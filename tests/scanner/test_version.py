"""One version everywhere: the distribution's metadata (from pyproject.toml),
vokscan.__version__ and what vok-scan --version prints."""

import re
from importlib.metadata import version as distribution_version
from pathlib import Path

import pytest

pytest.importorskip("vokscan._engine")

import vokscan  # noqa: E402
from vokscan.commands import main  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]


def source_version():
    """`version` of [project] in the checkout's pyproject.toml."""
    text = (ROOT / "pyproject.toml").read_text()
    project = text.split("[project]", 1)[1].split("\n[", 1)[0]
    return re.search(r'^version\s*=\s*"([^"]+)"', project, re.M).group(1)


def test_package_version_is_the_distributions_and_the_sources():
    installed = distribution_version("vok")
    assert vokscan.__version__ == installed
    # The tests run against the package built from this checkout.
    assert installed == source_version()


@pytest.mark.parametrize("arguments", [["--version"], ["variants", "--version"]])
def test_command_prints_the_package_version(arguments, capsys):
    assert main(arguments) == 0
    assert capsys.readouterr().out == f"vok-scan {vokscan.__version__}\n"
