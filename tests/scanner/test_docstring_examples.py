"""The examples in the docstrings of the public API run and say what they show:
every name in vokscan.__all__ has one, run as a doctest from a folder laid
out like the repository (examples/data copied there, so that the indexes
the examples make stay out of the checkout)."""

import doctest
import shutil
from pathlib import Path

import pytest

pytest.importorskip("vokscan._engine")

import vokscan  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture
def repository_folder(tmp_path, monkeypatch):
    shutil.copytree(ROOT / "examples" / "data", tmp_path / "examples" / "data")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def docstring_of(name):
    """The docstring mkdocstrings renders for a public name: a function's or
    class's own, or for a constant the string after its assignment."""
    obj = getattr(vokscan, name)
    if callable(obj):
        return obj.__doc__ or ""
    import ast
    import inspect

    for module in (vokscan.scanning, vokscan.motifs):
        body = ast.parse(inspect.getsource(module)).body
        for node, following in zip(body, body[1:]):
            if (isinstance(node, ast.Assign) and any(getattr(t, "id", None) == name for t in node.targets)
                    and isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)):
                return following.value.value
    return ""


@pytest.mark.parametrize("name", vokscan.__all__)
def test_public_name_has_a_running_example(name, repository_folder):
    if name == "variant_effects":  # its example reads a VCF
        pytest.importorskip("pysam")
    text = docstring_of(name)
    assert "Examples:" in text, f"vokscan.{name} has no Examples section"
    parser = doctest.DocTestParser()
    test = parser.get_doctest(text, {}, f"vokscan.{name}", None, 0)
    assert test.examples, f"vokscan.{name}: its Examples section has no >>> lines"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    output = []
    runner.run(test, out=output.append)
    assert runner.failures == 0, "".join(output)
