import errno
import os
import signal
import subprocess
import sys
import time

import pytest

import vok

METHODS = ["add_from_fasta_file", "add_from_transfac_file", "add_from_profile_file"]
EMPTY = "VokCalculator: \n   default_css_threshold: 0, default_mss_threshold: 0"
TRANSFAC = "VV demo\n//\nID M1\nP0 A C G T\n01 1 2 0 7\n02 0 0 10 0\n//\nID M2\n01 1 1 1 1\n//\n"
FASTA = ">s1 desc\nACGT\nAC\n>s2\nGGGG\n"
PROFILE = "1 0.5 0.25 A M1\n"


def os_error_message(code, kind):
    return f'Os {{ code: {code}, kind: {kind}, message: "{os.strerror(code)}" }}'


def load_failure(calc, method, path):
    before = repr(calc)
    with pytest.raises(OSError) as info:
        getattr(calc, method)(path)
    assert type(info.value) is OSError and len(info.value.args) == 1
    assert info.value.errno is None
    assert repr(calc) == before
    return info.value.args[0]


def filled_calculator(tmp_path):
    calc = vok.VokCalculator()
    for method, text in zip(METHODS, [FASTA, TRANSFAC, PROFILE]):
        path = tmp_path / f"start-{method}"
        path.write_text(text)
        getattr(calc, method)(str(path))
    return calc


@pytest.mark.parametrize("method", METHODS)
def test_file_errors_are_wrapped_and_add_nothing(tmp_path, method):
    # The kinds of operating-system failure are unit-tested with the file reader.
    calc = filled_calculator(tmp_path)
    bad = tmp_path / "bad"
    bad.write_bytes(b">s1\nACGT\xff\xfe\n")
    for path, message in [
        (tmp_path / "missing.txt", os_error_message(errno.ENOENT, "NotFound")),
        (tmp_path, os_error_message(errno.EISDIR, "IsADirectory")),
        (bad, 'Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'),
        (tmp_path / "a\x00b",
         'Error { kind: InvalidInput, message: "data provided contains a nul byte" }'),
    ]:
        assert load_failure(calc, method, str(path)) == f"FileError({message})"


def test_path_argument_rules(tmp_path, monkeypatch):
    (tmp_path / "relative.fa").write_text(FASTA)
    monkeypatch.chdir(tmp_path)
    calc = vok.VokCalculator()
    calc.add_from_fasta_file(path="relative.fa")
    with pytest.raises(TypeError) as info:
        calc.add_from_fasta_file(tmp_path / "relative.fa")
    assert str(info.value) == "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"
    assert repr(calc).count("Fasta ") == 2


# The module function's message, quoted as the record notation does.
@pytest.mark.parametrize("method, parse, text, quoted", [
    ("add_from_fasta_file", vok.parse_fasta, "ACGT\n", None),
    ("add_from_profile_file", vok.parse_profile, "1 0.5 0.25 A M\n\n", None),
    ("add_from_transfac_file", vok.parse_transfac, "ID M\n//\n", None),
    ("add_from_profile_file", vok.parse_profile, '\ufeff"b" \\ \'c\'\t\x00\x01\x7fé\u0301\r\n',
     'ParseError("Could not parse completly. \\u{feff}\\"b\\" \\\\ \'c\''
     '\\t\\0\\u{1}\\u{7f}é\\u{301}\\r\\n")'),
])
def test_parse_errors_are_quoted_records(tmp_path, method, parse, text, quoted):
    path = tmp_path / "input"
    path.write_text(text, newline="")
    with pytest.raises(OSError) as info:
        parse(text)
    inner = info.value.args[0]
    if quoted is None:
        quoted = 'ParseError("' + inner.replace("\n", "\\n") + '")'
    assert load_failure(filled_calculator(tmp_path), method, str(path)) == quoted


def test_fasta_file_with_bad_letter_adds_nothing(tmp_path):
    path = tmp_path / "three.fa"
    path.write_text(">a\nACGT\n>b\nACnT\n>c\nGGGG\n")
    assert [r.seq for r in vok.parse_fasta(path.read_text())] == ["ACGT", "ACnT", "GGGG"]
    calc = filled_calculator(tmp_path)
    assert load_failure(calc, "add_from_fasta_file", str(path)) == 'ParseError("VariantNotFound")'


def test_transfac_internal_failure_adds_nothing(tmp_path, panic_exception):
    path = tmp_path / "short_row.dat"
    path.write_text("ID A\n01 1 2 3 4\n//\nID B\n01 1 2 3\n//\n")
    calc = filled_calculator(tmp_path)
    before = repr(calc)
    with pytest.raises(panic_exception) as info:
        calc.add_from_transfac_file(str(path))
    assert info.value.args == ("Matrix init. from iterator: iterator not long enough.",)
    assert repr(calc) == before


def test_files_append_in_order(tmp_path, make_fasta):
    calc = vok.VokCalculator()
    calc.add_fasta(make_fasta("first", "T"))
    calc.add_pwm(vok.PwmMatrix("M0", [[1], [0], [0], [0]]))
    for method, text in zip(METHODS, [FASTA, TRANSFAC, PROFILE]):
        path = tmp_path / method
        path.write_text(text)
        getattr(calc, method)(str(path))
    text = repr(calc)
    assert [line.split()[1] for line in text.splitlines() if "Fasta " in line] == [
        "first", "s1", "s2"]
    assert " Fasta first T\nFasta s1 ACGTAC\nFasta s2 GGGG\n" in text
    assert [line.split()[1] for line in text.splitlines() if "PwmMatrix: " in line] == [
        "M0", "M1", "M2"]
    assert "  │  1  2  0  7 │\n" in text and "Profile(id: M1, css: 0.5, mss: 0.25)\n" in text


def test_profile_file_overwrites_entries(tmp_path, make_profile):
    calc = vok.VokCalculator()
    calc.add_profile(make_profile("M", 0.1, 0.1))
    calc.add_profile(make_profile("N", 0.3, 0.3))
    path = tmp_path / "cutoffs.prf"
    path.write_text("1 0.5 0.6 A M\n1 0.75 0.25 A M\n")
    calc.add_from_profile_file(str(path))
    lines = sorted(line.strip() for line in repr(calc).split("\n") if "Profile(" in line)
    assert lines == ["Profile(id: M, css: 0.75, mss: 0.25)", "Profile(id: N, css: 0.3, mss: 0.3)"]


@pytest.mark.parametrize("method, text", list(zip(METHODS, [FASTA, TRANSFAC, PROFILE])))
def test_empty_files_add_nothing_and_crlf_files_load_as_lf(tmp_path, method, text):
    results = []
    for name, content in [("empty", ""), ("lf", text), ("crlf", text.replace("\n", "\r\n"))]:
        path = tmp_path / name
        path.write_text(content, newline="")
        calc = vok.VokCalculator()
        assert getattr(calc, method)(str(path)) is None
        results.append(repr(calc))
    assert results[0] == EMPTY != results[1] == results[2]


MUTATION_SCRIPT = r'''
import os, random, sys, tempfile
import vok

try:
    vok.PwmMatrix("x", [[1, 2], [3], [4, 5], [6, 7]])
except BaseException as exc:
    panic = type(exc)

SAMPLES = {
    "add_from_transfac_file": (vok.parse_transfac, TRANSFAC),
    "add_from_fasta_file": (vok.parse_fasta, FASTA),
    "add_from_profile_file": (vok.parse_profile, PROFILE),
}
PIECES = ["//", "\n", "\r", "\r\n", " ", "\t", ",", ">", "ID ", "PO", "01 ", "0 ", "1 ",
          "nan", "inf", "1e", "e5", "-", ".", "9" * 25, "\x00", "é", "A", "acgt", "\"", "\\"]
rng = random.Random(2024)
directory = tempfile.mkdtemp()
path = os.path.join(directory, "mutated")
for method, (parse, sample) in SAMPLES.items():
    for round in range(250):
        text = sample * rng.randrange(1, 3)
        for _ in range(rng.randrange(1, 6)):
            at = rng.randrange(len(text) + 1)
            choice = rng.random()
            if choice < 0.5:
                text = text[:at] + rng.choice(PIECES) + text[at:]
            elif choice < 0.8:
                text = text[:at] + text[at + rng.randrange(1, 8):]
            else:
                text = text[:at] + text[rng.randrange(len(text) + 1):]
        with open(path, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
        outcomes = []
        for call in (lambda: parse(text), lambda: getattr(vok.VokCalculator(), method)(path)):
            try:
                result = call()
                outcomes.append("ok" if result is None or isinstance(result, list) else "odd")
            except panic as exc:
                outcomes.append("panic " + exc.args[0])
            except OSError as exc:
                outcomes.append("oserror")
            except BaseException as exc:
                print("unexpected", method, repr(text), repr(exc))
                sys.exit(1)
        if outcomes[0] != outcomes[1] and not (method == "add_from_fasta_file"
                                               and outcomes == ["ok", "oserror"]):
            print("inconsistent", method, repr(text), outcomes)
            sys.exit(1)
print("done")
'''


def test_mutated_files_never_crash(run_python):
    script = (f"TRANSFAC = {TRANSFAC!r}\nFASTA = {FASTA!r}\nPROFILE = {PROFILE!r}\n"
              + MUTATION_SCRIPT)
    result = run_python(script, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "done"


FIFO_SCRIPT = r'''
import signal, sys
import vok

signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started with SIGINT ignored
calc = vok.VokCalculator()
print("ready", flush=True)
try:
    calc.add_from_fasta_file(sys.argv[1])
    print("returned", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
print(repr(calc))
'''


def test_ctrl_c_stops_a_read_that_waits_for_a_writer(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    process = subprocess.Popen([sys.executable, "-c", FIFO_SCRIPT, str(fifo)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert process.stdout.readline() == "ready\n"
        time.sleep(0.3)  # into the open() that waits for a writer
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=20)
    finally:
        if process.poll() is None:  # still waiting: let it go
            with open(fifo, "w"):
                pass
        process.kill()
        process.communicate()
    assert out.splitlines() == [
        "interrupted", "VokCalculator: ", "   default_css_threshold: 0, default_mss_threshold: 0"], err
    assert process.returncode == 0, err
