"""The examples in the docstrings of the public API run and say what they show:
every name in vokscan.__all__ has one, run as a doctest from a folder laid
out like the repository (examples/data copied there, so that the indexes
the examples make stay out of the checkout). They run in one child process,
so that what they load and cache does not stay in the test run's memory."""

import json
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("vokscan._engine")

import vokscan  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]

# Prints {name: [has an Examples section, number of >>> examples, failures, report]}.
CHILD = textwrap.dedent("""
    import ast, doctest, inspect, json, sys, warnings
    import vokscan

    def docstring_of(name):
        # What mkdocstrings renders: a function's or class's own docstring,
        # for a constant the string literal after its assignment.
        obj = getattr(vokscan, name)
        if callable(obj):
            return obj.__doc__ or ""
        for module in (vokscan.scanning, vokscan.motifs):
            body = ast.parse(inspect.getsource(module)).body
            for node, following in zip(body, body[1:]):
                if (isinstance(node, ast.Assign)
                        and any(getattr(t, "id", None) == name for t in node.targets)
                        and isinstance(following, ast.Expr)
                        and isinstance(following.value, ast.Constant)):
                    return following.value.value
        return ""

    warnings.simplefilter("error")  # as the test run's own filter
    results = {}
    for name in sys.argv[1:]:
        text = docstring_of(name)
        test = doctest.DocTestParser().get_doctest(text, {}, f"vokscan.{name}", None, 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
        output = []
        runner.run(test, out=output.append)
        results[name] = ["Examples:" in text, len(test.examples), runner.failures, "".join(output)]
    print(json.dumps(results))
""")


@pytest.fixture(scope="module")
def example_results(tmp_path_factory):
    folder = tmp_path_factory.mktemp("repository")
    shutil.copytree(ROOT / "examples" / "data", folder / "examples" / "data")
    run = subprocess.run([sys.executable, "-c", CHILD, *vokscan.__all__], cwd=folder, capture_output=True,
                         text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


@pytest.mark.parametrize("name", vokscan.__all__)
def test_public_name_has_a_running_example(name, example_results):
    if name == "variant_effects":  # its example reads a VCF
        pytest.importorskip("pysam")
    has_section, examples, failures, report = example_results[name]
    assert has_section, f"vokscan.{name} has no Examples section"
    assert examples, f"vokscan.{name}: its Examples section has no >>> lines"
    assert failures == 0, report
