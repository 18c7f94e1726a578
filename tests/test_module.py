import types

import pytest

import vok

MEMBERS = ["VokCalculator", "parse_profile", "Profile", "parse_fasta", "Fasta",
           "parse_transfac", "PwmMatrix"]
FUNCTIONS = ["parse_profile", "parse_fasta", "parse_transfac"]


def test_module_members():
    assert type(vok.__all__) is list
    assert vok.__all__ == MEMBERS
    # Attributes are set in registration order; the hit class is not one of them.
    assert [name for name in vars(vok) if not name.startswith("__")] == MEMBERS
    assert {name for name in dir(vok) if not name.startswith("__")} == set(MEMBERS)
    assert not hasattr(vok, "Vok")
    assert vok.__doc__ == ""


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_builtins_bound_to_the_module(name):
    function = getattr(vok, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__module__ == "vok"
    assert function.__self__ is vok
    assert not function.__doc__
    assert function.__text_signature__ is None
    assert function("") == [] and function(c="") == []


SECOND_INIT_IN_SUBINTERPRETER = r'''
import _xxsubinterpreters as interpreters
import vok

interp = interpreters.create()
interpreters.run_string(interp, """
import os
try:
    import vok
except ImportError:
    outcome = "ImportError"
except BaseException as exc:
    outcome = type(exc).__name__
else:
    outcome = "imported"
os.write(1, (outcome + "\\n").encode())
""")
interpreters.destroy(interp)
print([r.seq for r in vok.parse_fasta(">a\nAC\n>b\nGT\n")])
print(vok.__all__ == ["VokCalculator", "parse_profile", "Profile", "parse_fasta",
                      "Fasta", "parse_transfac", "PwmMatrix"])
'''


def test_second_initialisation_in_subinterpreter_fails(run_python):
    result = run_python(SECOND_INIT_IN_SUBINTERPRETER)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["ImportError", "['AC', 'GT']", "True"]
