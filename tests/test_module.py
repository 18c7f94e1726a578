import types

import pytest

import vok

MEMBERS = ["VokCalculator", "parse_profile", "Profile", "parse_fasta", "Fasta",
           "parse_transfac", "PwmMatrix"]
FUNCTIONS = ["parse_profile", "parse_fasta", "parse_transfac"]
CLASSES = ["VokCalculator", "Profile", "Fasta", "PwmMatrix"]


def test_all_lists_members_in_registration_order():
    assert type(vok.__all__) is list
    assert vok.__all__ == MEMBERS


def test_attributes_are_set_in_registration_order():
    public = [name for name in vars(vok) if not name.startswith("__")]
    assert public == MEMBERS
    assert {name for name in dir(vok) if not name.startswith("__")} == set(MEMBERS)


def test_module_doc_is_empty_string():
    assert vok.__doc__ == ""


def test_hit_class_is_not_a_module_attribute():
    assert not hasattr(vok, "Vok")


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


def test_import_starts_no_thread(run_python):
    result = run_python("""
        import os
        before = len(os.listdir("/proc/self/task"))
        import vok
        calc = vok.VokCalculator()
        calc.add_pwm(vok.PwmMatrix("m", [[1] * 6, [0] * 6, [0] * 6, [0] * 6]))
        calc.add_fasta(vok.parse_fasta(">s\\nACGTACGT\\n")[0])
        vok.parse_transfac("ID x\\n01 1 2 3 4\\n")
        vok.parse_profile("1 0.5 0.5 A x\\n")
        print(before, len(os.listdir("/proc/self/task")))
    """)
    assert result.returncode == 0, result.stderr
    before, after = map(int, result.stdout.split())
    assert after == before


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
