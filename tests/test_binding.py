import sys
import tracemalloc
import weakref

import pytest

import vok

CALC = vok.VokCalculator()
PWM = vok.PwmMatrix("x", [[1], [2], [3], [4]])


@pytest.mark.parametrize("call, message", [
    (lambda: vok.parse_fasta(),
     "parse_fasta() missing 1 required positional argument: 'c'"),
    (lambda: vok.parse_fasta("a", "b"),
     "parse_fasta() takes 1 positional arguments but 2 were given"),
    (lambda: vok.parse_fasta(c="a", x=1),
     "parse_fasta() got an unexpected keyword argument 'x'"),
    (lambda: vok.parse_fasta("a", c="b"),
     "parse_fasta() got multiple values for argument 'c'"),
    (lambda: vok.parse_transfac(text=""),
     "parse_transfac() got an unexpected keyword argument 'text'"),
    # The first offending keyword, in the caller's order, decides.
    (lambda: vok.parse_fasta("a", x=1, c="b"),
     "parse_fasta() got an unexpected keyword argument 'x'"),
    (lambda: vok.parse_fasta("a", c="b", x=1),
     "parse_fasta() got multiple values for argument 'c'"),
    (lambda: vok.PwmMatrix(),
     "PwmMatrix.__new__() missing 2 required positional arguments: 'name' and 'm'"),
    (lambda: vok.PwmMatrix("x"),
     "PwmMatrix.__new__() missing 1 required positional argument: 'm'"),
    # Binding comes before conversion: the bad name is never looked at.
    (lambda: vok.PwmMatrix(5),
     "PwmMatrix.__new__() missing 1 required positional argument: 'm'"),
    (lambda: vok.PwmMatrix("x", [[], [], [], []], 3),
     "PwmMatrix.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: CALC.add_pwm(PWM, PWM),
     "VokCalculator.add_pwm() takes 1 positional arguments but 2 were given"),
    (lambda: CALC.add_fasta(),
     "VokCalculator.add_fasta() missing 1 required positional argument: 'fasta'"),
    (lambda: CALC.add_profile(prof=None),
     "VokCalculator.add_profile() got an unexpected keyword argument 'prof'"),
    (lambda: CALC.add_from_profile_file("a", path="b"),
     "VokCalculator.add_from_profile_file() got multiple values for argument 'path'"),
    (lambda: CALC.add_from_transfac_file(file="a"),
     "VokCalculator.add_from_transfac_file() got an unexpected keyword argument 'file'"),
])
def test_argument_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert repr(CALC) == "VokCalculator: \n   default_css_threshold: 0, default_mss_threshold: 0"


@pytest.mark.parametrize("call, message", [
    (lambda: vok.parse_fasta(b"ACGT"),
     "argument 'c': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: vok.parse_profile(c=None),
     "argument 'c': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: CALC.add_fasta("ACGT"),
     "argument 'fasta': 'str' object cannot be converted to 'Fasta'"),
    (lambda: CALC.add_pwm(fasta_record()),
     "argument 'pwm': 'Fasta' object cannot be converted to 'PwmMatrix'"),
    (lambda: CALC.add_profile(PWM),
     "argument 'profile': 'PwmMatrix' object cannot be converted to 'Profile'"),
    (lambda: CALC.add_from_fasta_file(7),
     "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda: vok.PwmMatrix("x", (i for i in range(4))),
     "argument 'm': 'generator' object cannot be converted to 'Sequence'"),
])
def test_conversion_type_errors_carry_the_argument_name(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def fasta_record():
    return vok.parse_fasta(">f\nAC\n")[0]


def test_evaluate_refuses_arguments():
    with pytest.raises(TypeError):
        CALC.evaluate(1)


def test_text_accepts_str_subclass_and_getter_returns_plain_str(make_fasta):
    class Text(str):
        pass

    assert [r.name for r in vok.parse_fasta(Text(">s\nAC\n"))] == ["s"]
    record = make_fasta()
    record.name = Text("renamed")
    assert type(record.name) is str and record.name == "renamed"


def test_text_without_utf8_form_raises_interpreter_error(make_fasta):
    with pytest.raises(UnicodeEncodeError):
        vok.parse_fasta(">s\n\ud800\n")
    record = make_fasta("s", "AC")
    with pytest.raises(UnicodeEncodeError):
        record.seq = "\udfff"
    assert record.seq == "AC"


def test_float_sequence_reads_items_by_iteration_and_ignores_failed_length():
    class Values:
        def __getitem__(self, index):
            if index < 2:
                return index + 1
            raise IndexError(index)

        def __len__(self):
            raise RuntimeError("length unknown")

    matrix = vok.PwmMatrix("x", [Values(), (3, 4), range(5, 7), [True, 8.5]])
    assert matrix.matrix == [[1.0, 3.0, 5.0, 1.0], [2.0, 4.0, 6.0, 8.5]]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value, expected", [
    (0, 0), (True, 1), (2**64 - 1, 2**64 - 1), (Index(42), 42)])
def test_unsigned_integer_setter_accepts_index_values(hit, value, expected):
    hit.pos = value
    hit.len = value
    assert (hit.pos, hit.len) == (expected, expected)


@pytest.mark.parametrize("value, error", [
    (-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), ("3", TypeError)])
def test_unsigned_integer_setter_refuses_and_keeps_value(hit, value, error):
    old = hit.pos
    with pytest.raises(error) as info:
        hit.pos = value
    assert not str(info.value).startswith("argument")
    assert hit.pos == old


@pytest.mark.parametrize("value, type_name", [(1, "int"), (None, "NoneType"), ("yes", "str")])
def test_bool_setter_requires_exact_bool(hit, value, type_name):
    hit.strand = False
    with pytest.raises(TypeError) as info:
        hit.strand = value
    assert str(info.value) == f"'{type_name}' object cannot be converted to 'PyBool'"
    assert hit.strand is False


def value_objects(make_hit, make_fasta, make_profile):
    return {"VokCalculator": vok.VokCalculator(),
            "PwmMatrix": vok.PwmMatrix("x", [[1], [2], [3], [4]]),
            "Profile": make_profile(), "Fasta": make_fasta(), "Vok": make_hit()}


CLASS_NAMES = ["VokCalculator", "PwmMatrix", "Profile", "Fasta", "Vok"]


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_rules(name, make_hit, make_fasta, make_profile):
    obj = value_objects(make_hit, make_fasta, make_profile)[name]
    cls = type(obj)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert cls.__doc__ is None
    assert all(getattr(cls, attr).__doc__ is None
               for attr in vars(cls) if not attr.startswith("__"))
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert str(obj) == repr(obj)


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_equality_and_hash_are_by_identity(name, make_hit, make_fasta, make_profile):
    first = value_objects(make_hit, make_fasta, make_profile)[name]
    second = value_objects(make_hit, make_fasta, make_profile)[name]
    assert repr(first) == repr(second)
    assert first == first and first != second
    assert hash(first) == object.__hash__(first)
    with pytest.raises(TypeError):
        first < second


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3})])
@pytest.mark.parametrize("name", ["Profile", "Fasta", "Vok"])
def test_classes_without_constructor(name, args, kwargs, hit):
    cls = type(hit) if name == "Vok" else getattr(vok, name)
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == "No constructor defined"


SETTABLE = [("Profile", "id"), ("Profile", "css"), ("Profile", "mss"),
            ("Fasta", "name"), ("Fasta", "seq"), ("PwmMatrix", "name"),
            ("Vok", "sequence"), ("Vok", "matrix"), ("Vok", "pos"), ("Vok", "len"),
            ("Vok", "strand"), ("Vok", "css"), ("Vok", "mss"),
            ("VokCalculator", "default_css_threshold"),
            ("VokCalculator", "default_mss_threshold")]


@pytest.mark.parametrize("name, attribute", SETTABLE)
def test_deleting_an_attribute_is_refused(name, attribute, make_hit, make_fasta,
                                          make_profile):
    obj = value_objects(make_hit, make_fasta, make_profile)[name]
    before = getattr(obj, attribute)
    with pytest.raises(AttributeError) as info:
        delattr(obj, attribute)
    assert str(info.value) == "can't delete attribute"
    assert getattr(obj, attribute) == before


class ReadsBack:
    """A number whose conversion runs arbitrary code first."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 0.25

    def __index__(self):
        self.action()
        return 3


@pytest.mark.parametrize("attribute", ["css", "mss", "pos"])
def test_reading_the_object_being_assigned_is_a_borrow_conflict(hit, attribute):
    old = getattr(hit, attribute)
    with pytest.raises(RuntimeError) as info:
        setattr(hit, attribute, ReadsBack(lambda: getattr(hit, attribute)))
    assert str(info.value) == "Already mutably borrowed"
    assert getattr(hit, attribute) == old
    setattr(hit, attribute, 1)  # the borrow was released
    assert getattr(hit, attribute) == 1


def test_calculator_borrow_conflicts(make_profile):
    calc = vok.VokCalculator()
    profile = make_profile("P", 0.5, 0.5)
    for action, message in [(lambda: calc.evaluate(), "Already mutably borrowed"),
                            (lambda: repr(calc), "Already mutably borrowed"),
                            (lambda: calc.add_pwm(PWM), "Already borrowed")]:
        with pytest.raises(RuntimeError) as info:
            calc.default_css_threshold = ReadsBack(action)
        assert str(info.value) == message
    # An exclusively borrowed argument cannot be copied; the error is not renamed.
    with pytest.raises(RuntimeError) as info:
        profile.css = ReadsBack(lambda: calc.add_profile(profile))
    assert str(info.value) == "Already mutably borrowed"
    assert profile.css == 0.5
    assert repr(calc) == "VokCalculator: \n   default_css_threshold: 0, default_mss_threshold: 0"


def test_panic_exception_class(panic_exception):
    assert panic_exception.__bases__ == (BaseException,)
    assert panic_exception.__doc__
    assert panic_exception not in vars(vok).values()
    caught_by = None
    try:
        try:
            vok.PwmMatrix("y", [[1], [2], [3], [4, 5]])
        except Exception:
            caught_by = "Exception"
    except BaseException as exc:
        caught_by = exc
    assert type(caught_by) is panic_exception
    assert caught_by.args == ("Unable to copy from a matrix with a different shape.",)
    assert vok.PwmMatrix("x", [[1], [2], [3], [4]]).matrix == [[1.0, 2.0, 3.0, 4.0]]


@pytest.mark.parametrize("call, message", [
    (lambda: vok.parse_fasta("x"), "Could not parse completly. x"),
    (lambda: vok.PwmMatrix("x", [[float("nan")], [1], [1], [1]]), "FloatIsNan"),
    (lambda: vok.VokCalculator().add_fasta(bad_fasta()),
     "VariantNotFound"),
    (lambda: vok.VokCalculator().add_from_fasta_file("/nonexistent/dir/file.fa"),
     'FileError(Os { code: 2, kind: NotFound, message: "No such file or directory" })'),
])
def test_module_errors_are_plain_oserrors_with_one_argument(call, message):
    with pytest.raises(OSError) as info:
        call()
    exc = info.value
    assert type(exc) is OSError
    assert exc.args == (message,)
    assert (exc.errno, exc.strerror, exc.filename) == (None, None, None)


def bad_fasta():
    record = fasta_record()
    record.seq = "ACGN"
    return record


def fails(call, error):
    def repeat(times):
        for _ in range(times):
            try:
                call()
            except error:
                pass
            else:
                pytest.fail("no error")
    return repeat


# One call per path of error translation: a message of the module's own, a
# conversion or binding error (renamed with the argument), an interpreter
# error passed on with the argument's name, a file error, an internal failure.
@pytest.mark.parametrize("repeat", [
    fails(lambda: vok.parse_fasta("ACGT"), OSError),
    fails(lambda: vok.parse_fasta(b"x"), TypeError),
    fails(lambda: vok.parse_fasta(c="a", x=1), TypeError),
    fails(lambda: vok.PwmMatrix("x", [["a"], [1], [1], [1]]), TypeError),
    fails(lambda: CALC.add_from_fasta_file("\0"), OSError),
    fails(lambda: vok.PwmMatrix("x", [[1, 2], [3], [4, 5], [6, 7]]), BaseException),
], ids=["own message", "conversion", "binding", "interpreter error", "file", "internal"])
def test_raised_errors_leave_nothing_allocated(repeat):
    tracemalloc.start()
    try:
        repeat(1000)  # first-use types, caches and free lists fill up while traced
        before = tracemalloc.get_traced_memory()[0]
        repeat(5000)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 5000 * 8  # a leaked message alone is over 50 bytes a call


def hits_of_a_scan():
    calc = vok.VokCalculator()
    calc.add_pwm(vok.PwmMatrix("M", [[9, 0, 0, 0, 9], [0, 9, 0, 9, 0], [0, 0, 9, 0, 0], [1] * 5]))
    calc.add_fasta(vok.parse_fasta(">s\nACGCAACGCA\n")[0])
    return calc.evaluate()


@pytest.mark.parametrize("make", [
    lambda: [vok.PwmMatrix("x", [[1], [2], [3], [4]])],
    lambda: vok.parse_fasta(">a\nAC\n>b\nGT\n"),
    lambda: vok.parse_profile("1 0.5 0.5 A x\n"),
    lambda: [vok.VokCalculator()],
    hits_of_a_scan,
], ids=["PwmMatrix", "Fasta", "Profile", "VokCalculator", "Vok"])
def test_freed_objects_give_back_their_reference_to_the_class(make):
    kind = type(make()[0])
    before = sys.getrefcount(kind)
    for _ in range(300):
        assert len(make()) > 0
    assert sys.getrefcount(kind) == before
