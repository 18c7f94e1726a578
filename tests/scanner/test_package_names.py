"""The package's names load on first use: `import vokscan` stays cheap (no
pandas, no Dask), yet every public name, `dir()` and submodules read as
attributes behave as if all were imported."""

import json
import subprocess
import sys

import pytest

pytest.importorskip("vokscan._engine")

PROBE = """
import json, sys
import vokscan
heavy = sorted(m for m in ("pandas", "dask", "distributed", "scipy", "Bio") if m in sys.modules)
listed = sorted(set(vokscan.__all__) - set(dir(vokscan)))
resolved = sorted(name for name in vokscan.__all__ if getattr(vokscan, name, None) is None)
print(json.dumps({"heavy": heavy, "not_listed": listed, "unresolved": resolved,
                  "submodule": vokscan.motifs.__name__}))
"""


def test_import_is_light_and_every_public_name_is_there():
    result = subprocess.run([sys.executable, "-c", PROBE], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    assert seen == {"heavy": [], "not_listed": [], "unresolved": [], "submodule": "vokscan.motifs"}


@pytest.mark.parametrize("name", ["no_such_name", "_private", "nosuchmodule"])
def test_unknown_names_raise_attribute_error(name):
    import vokscan

    with pytest.raises(AttributeError, match=name):
        getattr(vokscan, name)
