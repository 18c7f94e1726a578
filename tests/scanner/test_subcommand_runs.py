"""`vok-scan count`, `enrich` and `variants` run as the scan does: Ctrl-C and
SIGTERM stop them at any moment (130 and 143, one line, nothing left behind),
-o onto a FIFO or a link is written in place, and no name adds fields or
lines to what they write. Each run is a child process."""

import fcntl
import os
import signal
import stat
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest
from process_signals import ignore_sigint, stop_signals_taken

pytest.importorskip("vokscan._engine")

ROOT = Path(__file__).resolve().parents[2]
LAMBDA = ROOT / "examples" / "data" / "lambda_virus.fa"
COMMAND = [sys.executable, "-m", "vokscan"]
SUBCOMMANDS = ["count", "enrich", "variants"]
MOTIF = ">M1 one\nA [4 19 0 0 0 0]\nC [16 0 20 0 0 0]\nG [0 1 0 20 0 20]\nT [0 0 0 0 20 0]\n"
# A motif id with a control character and a name with tabs.
CONTROL_MOTIF = ">M\x01A\tfactor\twith a tab\n" + "\n".join(MOTIF.splitlines()[1:]) + "\n"
THRESHOLDS = ["--css", "0.7", "--mss", "0.7"]


def letters(count, start=0):
    return LAMBDA.read_text().split("\n", 1)[1].replace("\n", "")[start:start + count]


def write_inputs(folder, *, records=("r1", "r2", "r3"), chrom="chrA", motif=MOTIF, variants=40,
                 record_letters=600):
    """A motif file, a FASTA of records, a genome of one chromosome and a
    TSV of SNVs on it (REF from the genome)."""
    (folder / "m.jaspar").write_text(motif)
    (folder / "r.fa").write_text("".join(f">{name}\n{letters(record_letters, 700 * i)}\n"
                                         for i, name in enumerate(records)))
    genome = letters(3000)
    (folder / "g.fa").write_text(f">{chrom}\n{genome}\n")
    rows = []
    for i in range(variants):
        pos = 20 + (i * 37) % 2900
        ref = genome[pos - 1]
        rows.append(f"{chrom}\t{pos}\t{ref}\t{'A' if ref != 'A' else 'C'}\trs\x07{i}\n")
    (folder / "v.tsv").write_text("chrom\tpos\tref\talt\tid\n" + "".join(rows))


def arguments(subcommand, folder, replaced=None):
    """The command line of a run on the inputs of `folder`; `replaced` takes
    the place of the sequences (count, enrich) or the variants."""
    files = {"count": ["r.fa"], "enrich": ["r.fa"], "variants": ["g.fa", "v.tsv"]}[subcommand]
    paths = [str(folder / name) for name in files]
    if replaced is not None:
        paths[-1] = str(replaced)
    return [subcommand, "--quiet", *THRESHOLDS, str(folder / "m.jaspar"), *paths]


def run(*args):
    return subprocess.run(COMMAND + [str(a) for a in args], capture_output=True, timeout=120)


def _open_once_opened(fifo, child, flags):
    """Our end of `fifo`, opened without waiting once the child has opened
    the other (or at once, for reading)."""
    deadline = time.monotonic() + 120
    while True:
        try:
            return os.open(fifo, flags | os.O_NONBLOCK)
        except OSError:  # ENXIO: no reader yet
            assert child.poll() is None and time.monotonic() < deadline
            time.sleep(0.01)


def _wait_until_full(fd, child):
    """Returns once the child has filled the pipe (its writes now block)."""
    capacity = fcntl.fcntl(fd, 1032)  # F_GETPIPE_SZ
    deadline = time.monotonic() + 120
    while True:
        pending = fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0")
        if int.from_bytes(pending, sys.byteorder) > capacity - 4096:
            return
        assert child.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)


def _big_inputs(folder):
    """Inputs whose output fills a pipe: many records (count), controls of
    long targets (enrich, written with --save-control), every pair (variants)."""
    write_inputs(folder, records=[f"r{i}" for i in range(12000)], variants=2000, record_letters=60)


MOMENTS = ["signal handlers taken", "reading an input FIFO nobody writes",
           "writing into a FIFO nobody reads"]


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM], ids=lambda n: n.name)
@pytest.mark.parametrize("moment", MOMENTS)
@pytest.mark.parametrize("subcommand", SUBCOMMANDS)
def test_stop_signal_at_any_moment(tmp_path, subcommand, moment, number):
    if moment.startswith("writing"):
        _big_inputs(tmp_path)
    else:
        write_inputs(tmp_path)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    out = tmp_path / "out.tsv"
    args = arguments(subcommand, tmp_path, fifo if moment.startswith("reading") else None)
    if moment.startswith("writing"):
        # enrich writes its table at the end; its controls go out as it runs.
        args += ["--save-control", str(fifo), "-o", str(out)] if subcommand == "enrich" else \
            ["-o", str(fifo)] + (["--all"] if subcommand == "variants" else [])
    else:
        args += ["-o", str(out)]
    before = listing(tmp_path)
    ours = None
    # SIGINT goes to a process started with it ignored, as a background job is.
    with subprocess.Popen(COMMAND + args, stderr=subprocess.PIPE,
                          preexec_fn=ignore_sigint if number == signal.SIGINT else None) as child:
        try:
            if moment == "signal handlers taken":
                while not stop_signals_taken(child.pid):
                    assert child.poll() is None
                    time.sleep(0.001)
            elif moment.startswith("reading"):
                ours = _open_once_opened(fifo, child, os.O_WRONLY)
            else:
                ours = _open_once_opened(fifo, child, os.O_RDONLY)
                _wait_until_full(ours, child)
            child.send_signal(number)
            assert child.wait(timeout=60) == 128 + number
        finally:
            if ours is not None:
                os.close(ours)
        assert child.stderr.read().decode() == "vok-scan: interrupted\n"
    assert listing(tmp_path) == before
    assert stat.S_ISFIFO(fifo.lstat().st_mode)


def listing(folder):
    """The files of `folder`, but for the genome's index, made on first use."""
    return sorted(p.name for p in folder.iterdir() if p.name != "g.fa.fai")


def _read_fifo(fifo):
    return subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)


@pytest.mark.parametrize("kind", ["FIFO", "link to a FIFO", "link to /proc/self/fd/1"])
@pytest.mark.parametrize("subcommand", SUBCOMMANDS)
def test_output_onto_what_is_not_a_regular_file(tmp_path, subcommand, kind):
    write_inputs(tmp_path)
    expected = run(*arguments(subcommand, tmp_path), "-o", tmp_path / "file.tsv")
    assert expected.returncode == 0 and expected.stderr == b""
    wanted = (tmp_path / "file.tsv").read_bytes()
    assert wanted.count(b"\n") >= 2
    (tmp_path / "file.tsv").unlink()
    before = listing(tmp_path)
    fifo, target = tmp_path / "fifo", tmp_path / "target"
    reader = None
    if kind == "link to /proc/self/fd/1":
        target.symlink_to("/proc/self/fd/1")
    else:
        os.mkfifo(fifo)
        if kind == "link to a FIFO":
            target.symlink_to(fifo)
        else:
            target = fifo
        reader = _read_fifo(fifo)
    try:
        result = run(*arguments(subcommand, tmp_path), "-o", target)
        assert result.returncode == 0 and result.stderr == b""
        got = result.stdout if reader is None else reader.communicate(timeout=60)[0]
    finally:
        if reader is not None:
            reader.kill()
    assert got == wanted
    made = {"FIFO": ["fifo"], "link to a FIFO": ["fifo", "target"], "link to /proc/self/fd/1": ["target"]}
    assert listing(tmp_path) == sorted(before + made[kind])
    if reader is not None:
        assert stat.S_ISFIFO(fifo.lstat().st_mode)


def _fields(text):
    lines = text.split("\n")
    assert lines[-1] == "" and text.splitlines() == lines[:-1]  # no line break but '\n'
    return [line.split("\t") for line in lines[:-1]]


# Control characters that no reader takes for a blank or a line end.
CONTROL_RECORDS = ["r\x01one", "r\x7ftwo"]


@pytest.mark.parametrize("case", ["count tsv", "count mtx", "enrich", "variants", "scan --regions"])
def test_names_never_add_fields_or_lines(tmp_path, case):
    write_inputs(tmp_path, records=CONTROL_RECORDS, chrom="c\x07hr", motif=CONTROL_MOTIF)
    (tmp_path / "r.bed").write_text("c\x07hr\t100\t900\treg\x01one\nc\x07hr\t1000\t2500\treg\x7ftwo\n")
    subcommand = case.split()[0]
    out = tmp_path / ("out.mtx" if case == "count mtx" else "out.tsv")
    if case == "scan --regions":
        args = ["--quiet", *THRESHOLDS, "--regions", tmp_path / "r.bed", tmp_path / "m.jaspar",
                tmp_path / "g.fa"]
    else:
        args = arguments(subcommand, tmp_path) + (["--all"] if subcommand == "variants" else [])
    args.remove("--quiet")
    result = run(*args, "-o", out)
    assert result.returncode == 0, result.stderr
    said = [line for line in result.stderr.decode().splitlines() if "control characters" in line]
    # Said once, whatever the number of names (the scan says it of motifs and
    # of sequences apart).
    assert len(said) == (2 if case == "scan --regions" else 1), result.stderr
    if case == "count mtx":
        rows = _fields((tmp_path / "out.rows.tsv").read_text())
        assert rows == [["r_one"], ["r_two"]]
        assert _fields((tmp_path / "out.cols.tsv").read_text()) == [["M_A", "factor_with a tab"]]
        return
    table = _fields(out.read_text())
    header, body = table[0], table[1:]
    assert len(body) >= (1 if case == "enrich" else 2) and {len(row) for row in body} == {len(header)}
    column = {name: [row[i] for row in body] for i, name in enumerate(header)}
    if case == "count tsv":
        assert header == ["sequence", "M_A"] and column["sequence"] == ["r_one", "r_two"]
        return
    assert set(column["motif_id"]) == {"M_A"} and set(column["motif_name"]) == {"factor_with a tab"}
    if case == "variants":
        assert set(column["chrom"]) == {"c_hr"} and all(i.startswith("rs_") for i in column["id"])
    elif case == "scan --regions":
        assert set(column["sequence"]) == {"c_hr"} and set(column["region"]) == {"reg_one", "reg_two"}


@pytest.mark.parametrize("suffix", [".npz", ".h5ad", ".tsv.gz"])
def test_count_formats_that_need_a_whole_file_also_go_into_a_fifo(tmp_path, suffix):
    if suffix == ".h5ad":
        anndata = pytest.importorskip("anndata")
    write_inputs(tmp_path)
    regular = tmp_path / f"regular{suffix}"
    assert run(*arguments("count", tmp_path), "-o", regular).returncode == 0
    fifo = tmp_path / f"fifo{suffix}"
    os.mkfifo(fifo)
    reader = _read_fifo(fifo)
    try:
        result = run(*arguments("count", tmp_path), "-o", fifo)
        got = reader.communicate(timeout=60)[0]
    finally:
        reader.kill()
    assert result.returncode == 0, result.stderr
    copy = tmp_path / f"copy{suffix}"
    copy.write_bytes(got)
    if suffix == ".npz":
        import numpy as np

        with np.load(regular) as want, np.load(copy) as have:
            assert sorted(want.files) == sorted(have.files)
            for name in want.files:
                assert np.array_equal(want[name], have[name]), name
    elif suffix == ".h5ad":
        want, have = anndata.read_h5ad(regular), anndata.read_h5ad(copy)
        assert (want.X != have.X).nnz == 0 and want.X.nnz > 0
        assert list(want.obs_names) == list(have.obs_names) and list(want.var_names) == list(have.var_names)
    else:  # the gzip header names the file
        import gzip

        assert gzip.decompress(got) == gzip.decompress(regular.read_bytes())
