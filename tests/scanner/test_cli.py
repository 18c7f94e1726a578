"""The vok-scan command: output, exit statuses, messages, atomic -o,
closed pipes and Ctrl-C, each run in a child process."""

import gzip
import io
import os
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest
from process_signals import ignore_sigint, stop_signals_taken

pytest.importorskip("vokscan._engine")

ROOT = Path(__file__).resolve().parents[2]
MOTIFS = ROOT / "examples" / "data" / "jaspar_core_vertebrates.transfac"
LAMBDA = ROOT / "examples" / "data" / "lambda_virus.fa"
HEADER = "sequence\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore\tpvalue"
COMMAND = [sys.executable, "-m", "vokscan"]


def run(*args, **kwargs):
    if "stdout" not in kwargs:
        kwargs["capture_output"] = True
    return subprocess.run(COMMAND + [str(a) for a in args], text=True, timeout=120, **kwargs)


def leftovers(folder):
    return sorted(p.name for p in Path(folder).iterdir() if p.name.endswith(".part"))


@pytest.fixture(scope="module")
def big_fasta(tmp_path_factory):
    """About 4 Mbp in records of 400 kbp: enough for seconds of work at zero thresholds."""
    path = tmp_path_factory.mktemp("big") / "big.fa"
    block = LAMBDA.read_text().split("\n", 1)[1].replace("\n", "")
    with open(path, "w") as out:
        for r in range(10):
            out.write(f">r{r}\n")
            seq = (block * 9)[: 400_000]
            out.writelines(seq[i:i + 60] + "\n" for i in range(0, len(seq), 60))
    return path


def test_tsv_bed_and_gzip_output(tmp_path):
    tsv = run("--css", 0.9, "--mss", 0.85, MOTIFS, LAMBDA)
    assert tsv.returncode == 0, tsv.stderr
    lines = tsv.stdout.splitlines()
    assert lines[0] == HEADER and len(lines) > 100
    first = lines[1].split("\t")
    assert first[0] == "gi|9626243|ref|NC_001416.1|" and first[5] in "+-"

    bed = run("--css", 0.9, "--mss", 0.85, "-f", "bed", "-o", tmp_path / "h.bed.gz", MOTIFS, LAMBDA)
    assert bed.returncode == 0 and bed.stdout == ""
    rows = gzip.decompress((tmp_path / "h.bed.gz").read_bytes()).decode().splitlines()
    assert len(rows) == len(lines) - 1
    chrom, start, end, name, score, strand = rows[0].split("\t")
    assert (start, end, name, strand) == (first[1], first[2], first[3], first[5])
    assert int(score) == round(float(first[7]) * 1000)
    assert leftovers(tmp_path) == []


def test_same_hits_from_every_input_route(tmp_path):
    packed = tmp_path / "lambda.fa.gz"
    packed.write_bytes(gzip.compress(LAMBDA.read_bytes()))
    expected = run(MOTIFS, LAMBDA).stdout
    assert expected.count("\n") > 50
    for args, stdin in [((MOTIFS, packed), None), ((MOTIFS, "-"), packed),
                        (("--threads", 1, MOTIFS, LAMBDA), None),
                        (("--threads", 2, MOTIFS, packed), None)]:
        with open(stdin or os.devnull, "rb") as source:
            result = subprocess.run(COMMAND + [str(a) for a in args], stdin=source,
                                    capture_output=True, timeout=120)
        assert result.returncode == 0 and result.stdout.decode() == expected, args
    bare = run("--no-header", MOTIFS, LAMBDA).stdout
    assert bare == expected.split("\n", 1)[1]


USAGE_ERRORS = [
    # (arguments, text the one-line message must hold)
    ([], "error:"),
    ([MOTIFS], "at least one FASTA"),
    (["--css", "nan", MOTIFS, LAMBDA], "--css must be a number"),
    (["--threads", "-1", MOTIFS, LAMBDA], "--threads"),
    (["--strand", "minus", MOTIFS, LAMBDA], "invalid choice"),
    (["no-such.transfac", LAMBDA], "no-such.transfac: No such file"),
    ([MOTIFS, "no-such.fa"], "no-such.fa"),
    ([MOTIFS, "-", "-"], "standard input"),
    (["--motif-format", "meme", MOTIFS, LAMBDA], "no motifs found"),
    (["-o", "no-such-dir/out.tsv", MOTIFS, LAMBDA], "no-such-dir"),
    (["--motif-format", "transfac", LAMBDA, LAMBDA], "no motifs found (read as transfac)"),
    ([LAMBDA, MOTIFS], "looks like FASTA: the motif file comes first"),
    (["--background", "0.3," * 10_000, MOTIFS, LAMBDA], "'0.3,0.3,"),
]


@pytest.mark.parametrize("args,message", USAGE_ERRORS,
                         ids=[" ".join(map(str, a))[:60] or "no arguments" for a, _ in USAGE_ERRORS])
def test_bad_options_exit_2_with_one_line(args, message, tmp_path):
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr
    assert len(result.stderr) < 300  # input is quoted around the fault, not whole
    assert result.stderr.startswith("vok-scan: error:") and message in result.stderr


@pytest.mark.parametrize("name,content,message", [
    ("bad.fa", ">r1\nACGT\nAC*T\n", "bad.fa: record 'r1', line 3: invalid character '*'"),
    ("byte.fa", b">r1\nAC\xc3\xa9T\n", "byte.fa: record 'r1', line 2: invalid byte 0xC3"),
    ("bad.jaspar", ">M1 x\nA [1 -1 0 0 0]\nC [1 2 1 1 1]\nG [1 1 1 1 1]\nT [1 1 1 1 1]\n",
     "motif 'M1': position 2 holds a negative value"),
    ("cut.prf", "1 0.9 0.85 A MA0139.2.CTCF\n\n", "cut.prf: line 2: an empty line"),
])
def test_bad_input_names_file_and_place(name, content, message, tmp_path):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    if name.endswith(".fa"):
        args = [MOTIFS, path]
    elif name.endswith(".prf"):
        args = ["--cutoffs", path, MOTIFS, LAMBDA]
    else:
        args = [path, LAMBDA]
    result = run(*args, "-o", tmp_path / "out.tsv")
    assert result.returncode == 2, result.stderr
    assert message in result.stderr and result.stderr.count("\n") == 1
    assert not (tmp_path / "out.tsv").exists() and leftovers(tmp_path) == []
    if name.endswith(".fa"):  # nor a bare header on standard output
        assert run(*args).stdout == ""


def test_failed_run_leaves_no_output_file(tmp_path):
    fasta = tmp_path / "late.fa"
    fasta.write_text(LAMBDA.read_text() + ">broken\nACGT?\n")
    out = tmp_path / "out.tsv"
    out.write_text("old\n")  # an earlier result stays as it was
    result = run("--css", 0, "--mss", 0, "-o", out, MOTIFS, fasta)
    assert result.returncode == 2 and "record 'broken', line" in result.stderr
    assert out.read_text() == "old\n" and leftovers(tmp_path) == []


def test_write_failure_exits_1():
    with open("/dev/full", "w") as full:
        result = run("--css", 0, "--mss", 0, MOTIFS, LAMBDA, stdout=full, stderr=subprocess.PIPE)
    assert result.returncode == 1
    assert "No space left" in result.stderr and result.stderr.count("\n") == 1


def test_closed_pipe_ends_quietly():
    with subprocess.Popen(COMMAND + ["--css", "0", "--mss", "0", str(MOTIFS), str(LAMBDA)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as child:
        assert child.stdout.readline().decode().rstrip("\n") == HEADER
        child.stdout.close()  # like `| head -1`
        assert child.wait(timeout=60) == 141
        assert child.stderr.read() == b""


def _open_for_writing_once_read(fifo, child):
    """A writing end of `fifo`, opened once the child has opened it for reading."""
    deadline = time.monotonic() + 120
    while True:
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:  # ENXIO: no reader yet
            assert child.poll() is None and time.monotonic() < deadline
            time.sleep(0.01)


SMALL_MOTIF = ">M1 one\nA [4 19 0 0 0 0]\nC [16 0 20 0 0 0]\nG [0 1 0 20 0 20]\nT [0 0 0 0 20 0]\n"


@pytest.mark.parametrize("moment,number", [
    ("signal handlers taken", signal.SIGINT),
    ("signal handlers taken", signal.SIGTERM),
    ("reading a motif FIFO nobody writes", signal.SIGINT),
    ("reading a sequence FIFO nobody writes", signal.SIGTERM),
], ids=lambda value: getattr(value, "name", value))
def test_stop_signal_at_any_moment(tmp_path, moment, number):
    motifs, fasta = tmp_path / "m.jaspar", tmp_path / "s.fa"
    motifs.write_text(SMALL_MOTIF)
    fasta.write_text(">r\nACGT\n")
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    inputs = {"reading a motif FIFO nobody writes": (fifo, fasta),
              "reading a sequence FIFO nobody writes": (motifs, fifo)}.get(moment, (motifs, fasta))
    out = tmp_path / "hits.tsv"
    writer = None
    # SIGINT is sent to a process started with it ignored, as a background job is.
    with subprocess.Popen(COMMAND + ["--quiet", "-o", str(out), *map(str, inputs)], stderr=subprocess.PIPE,
                          preexec_fn=ignore_sigint if number == signal.SIGINT else None) as child:
        try:
            if moment == "signal handlers taken":
                while not stop_signals_taken(child.pid):
                    assert child.poll() is None
                    time.sleep(0.001)
            else:
                writer = _open_for_writing_once_read(fifo, child)
            child.send_signal(number)
            assert child.wait(timeout=60) == 128 + number
        finally:
            if writer is not None:
                os.close(writer)
        assert child.stderr.read().decode() == "vok-scan: interrupted\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo", "m.jaspar", "s.fa"]


@pytest.mark.parametrize("to_file,number", [(True, signal.SIGINT), (False, signal.SIGTERM)],
                         ids=["-o file, SIGINT", "stdout, SIGTERM"])
def test_stop_signal_while_hits_are_written(big_fasta, tmp_path, to_file, number):
    out = tmp_path / "hits.tsv"
    # Started with SIGINT ignored, as a background job is: the command must
    # still take Ctrl-C.
    args = COMMAND + ["--css", "0", "--mss", "0", str(MOTIFS), str(big_fasta)]
    args += ["-o", str(out)] if to_file else []
    with subprocess.Popen(args, stdout=subprocess.DEVNULL if to_file else subprocess.PIPE,
                          stderr=subprocess.PIPE, preexec_fn=ignore_sigint) as child:
        if to_file:
            deadline = time.monotonic() + 60
            while not any(p.stat().st_size > 0 for p in tmp_path.glob(".hits.tsv.*.part")):
                assert time.monotonic() < deadline and child.poll() is None
                time.sleep(0.05)
        else:
            child.stdout.readline()
        child.send_signal(number)
        assert child.wait(timeout=30) == 128 + number
        assert child.stderr.read().decode() == "vok-scan: interrupted\n"
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("kind", ["FIFO", "link to /proc/self/fd/1", "link to /proc/self/fd/1 of a file",
                                  "link to a file"])
def test_output_onto_what_is_not_a_regular_file(tmp_path, kind):
    expected = run(MOTIFS, LAMBDA).stdout
    target, real = tmp_path / "target", tmp_path / "real.tsv"
    reader = None
    if kind == "FIFO":
        os.mkfifo(target)
        reader = subprocess.Popen(["cat", str(target)], stdout=subprocess.PIPE, text=True)
    elif kind == "link to a file":
        real.write_text("old\n")
        target.symlink_to(real)
    else:
        target.symlink_to("/proc/self/fd/1")
    if kind.endswith("of a file"):  # standard output appends to a file (>>): it still does
        real.write_text("old\n")
        with open(real, "a") as stdout:
            result = run(MOTIFS, LAMBDA, "-o", target, stdout=stdout, stderr=subprocess.PIPE)
        result.stdout = real.read_text()
    else:
        result = run(MOTIFS, LAMBDA, "-o", target)
    assert result.returncode == 0 and result.stderr == ""
    if reader is not None:
        try:
            assert reader.communicate(timeout=60)[0] == expected
        finally:
            reader.kill()
        assert stat.S_ISFIFO(target.lstat().st_mode)
    elif kind == "link to a file":
        assert os.readlink(target) == str(real) and real.read_text() == expected
    else:
        appended = "old\n" if kind.endswith("of a file") else ""
        assert os.readlink(target) == "/proc/self/fd/1" and result.stdout == appended + expected
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["target"] + (["real.tsv"] if kind.endswith("file") else []))


CONTROL_MOTIF = ">M\x01A\tfactor\twith a tab\n" + "\n".join(SMALL_MOTIF.splitlines()[1:]) + "\n"
# Names as the reader takes them (up to the first blank): a vertical tab, a
# file separator (a line break to str.splitlines), and BED's comment starts.
CONTROL_RECORDS = ["r\x0bone extra words", "r\x1ctwo", "#hash", "track7", "browser"]


@pytest.mark.parametrize("fmt,fields", [("tsv", 10), ("bed", 6), ("bed+", 9)])
def test_names_never_add_fields_or_lines(tmp_path, fmt, fields):
    motifs, fasta = tmp_path / "m.jaspar", tmp_path / "s.fa"
    motifs.write_text(CONTROL_MOTIF)
    piece = LAMBDA.read_text().split("\n", 1)[1].replace("\n", "")[:3000] + "\n"
    fasta.write_text("".join(f">{name}\n{piece}" for name in CONTROL_RECORDS))
    result = run("--css", 0.7, "--mss", 0.7, "-f", fmt, motifs, fasta)
    assert result.returncode == 0
    lines = result.stdout.split("\n")[:-1]
    assert result.stdout.splitlines() == lines and len(lines) > 20
    assert {len(line.split("\t")) for line in lines} == {fields}
    body = lines[1:] if fmt == "tsv" else lines
    assert {line.split("\t")[0] for line in body} == {"r_one", "r_two", "#hash", "track7", "browser"}
    assert {line.split("\t")[3] for line in body} == {"M_A"}
    if fmt == "tsv":
        assert {line.split("\t")[4] for line in body} == {"factor_with a tab"}
    warnings = result.stderr.splitlines()
    assert len(warnings) == (2 if fmt == "tsv" else 3) and all("warning:" in w for w in warnings)
    assert "'M\\x01A'" in warnings[0] and ("BED tools skip" in warnings[-1]) == (fmt != "tsv")


def test_help_is_the_manual():
    result = run("--help")
    assert result.returncode == 0
    for option in ("--css", "--mss", "--cutoffs", "--strand", "--mask", "--partial-windows",
                   "--threads", "--output", "--format", "--motif-format", "--jaspar", "--quiet"):
        assert option in result.stdout
    assert result.stdout.count("(default:") >= 12
    examples = result.stdout.split("examples:")[1].split("\n\n")[0].splitlines()
    assert sum("vok-scan " in line for line in examples) >= 3


def _stderr_on_terminal(*args):
    """Run with standard error on a pseudo-terminal; return (status, what it showed)."""
    master, slave = os.openpty()
    with subprocess.Popen(COMMAND + [str(a) for a in args], stdout=subprocess.DEVNULL,
                          stderr=slave) as child:
        os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO once the child has closed the terminal
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        return child.wait(timeout=60), shown.decode(errors="replace")


class Terminal(io.StringIO):
    def isatty(self):
        return True


class RunningScan:
    bytes_total, bytes_read, bases_scanned, hits_total = 1000, 400, 400, 7


def test_an_abandoned_progress_bar_is_not_drawn_again(monkeypatch):
    """A stopped run clears its bar at once; the updates and the close that
    may still come from the work must not draw it again."""
    from vokscan.progress import Progress

    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    progress = Progress(enabled=True)
    progress.start(RunningScan())
    progress.update(force=True)
    assert "7 hits" in terminal.getvalue()
    progress.abandon()
    after = len(terminal.getvalue())
    progress.update(force=True)
    progress.close()
    assert "hits" not in terminal.getvalue()[after:]


@pytest.mark.parametrize("quiet", [False, True], ids=["bar", "--quiet"])
def test_progress_bar_only_on_a_terminal(big_fasta, quiet):
    args = ["--css", "0.8", "--mss", "0.8", MOTIFS, big_fasta] + (["--quiet"] if quiet else [])
    status, shown = _stderr_on_terminal(*args)
    assert status == 0
    assert ("hits" in shown and "%" in shown) != quiet
    piped = run(*args)
    assert piped.returncode == 0 and piped.stderr == ""
