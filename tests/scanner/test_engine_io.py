"""The engine's inputs, outputs, errors and progress counters."""

import gc
import gzip
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import numpy as np
import pytest

_engine = pytest.importorskip("vokscan._engine")

ROWS = np.array([[9, 0, 1, 0], [0, 9, 0, 1], [1, 0, 9, 0], [0, 1, 0, 9], [9, 1, 0, 0],
                 [0, 0, 9, 1], [5, 5, 0, 0]], dtype=np.float32)


@pytest.fixture
def motifs():
    return _engine.MotifSet(ids=["M1", "M2"], names=["ONE", ""], matrices=[ROWS, ROWS[::-1].copy()],
                            css=[0.6, 0.6], mss=[0.5, 0.5])


def write(path, text, compress=False):
    data = text.encode("latin-1")
    path.write_bytes(gzip.compress(data) if compress else data)
    return str(path)


def scan_all(scan):
    with scan:
        return list(scan)


# ---------------------------------------------------------------- input errors

@pytest.mark.parametrize("compress", [False, True])
@pytest.mark.parametrize("text, message", [
    (">a\nACGT\nAC1T\n", "record 'a', line 3: invalid character '1'"),
    (">a x\nACGT\n>b\r\nAC*T\r\n", "record 'b', line 4: invalid character '*'"),
    (">a\nAC>T\n", "record 'a', line 2: invalid character '>'"),
    (">a\nAC\xe9T\n", "record 'a', line 2: invalid byte 0xE9"),
])
def test_bad_letters_name_file_record_and_line(tmp_path, motifs, text, message, compress):
    path = write(tmp_path / "in.fa", text, compress)
    with pytest.raises(_engine.InputError) as caught:
        scan_all(_engine.FastaScan(motifs, [path]))
    assert str(caught.value) == f"{path}: {message}"
    assert isinstance(caught.value, ValueError)


def test_hits_before_a_bad_letter_come_first(tmp_path, motifs):
    path = write(tmp_path / "in.fa", ">a\n" + "ACGTACGAGT" * 30 + "\n>b\n" + "N" * 10 + "\n8\n")
    scan = _engine.FastaScan(motifs, [path], block_size=50)
    seen = 0
    with pytest.raises(_engine.InputError, match=r"record 'b', line 5: invalid character '8'"):
        for batch in scan:
            seen += len(batch)
    assert seen > 0


def test_standard_input_is_named_stdin(motifs):
    code = textwrap.dedent("""
        import sys
        from vokscan import _engine
        import numpy as np
        m = _engine.MotifSet(ids=["M"], names=[""], matrices=[np.eye(4, dtype=np.float32)[[0, 1, 2, 3, 0, 1]]],
                             css=[0.0], mss=[0.0])
        scan = _engine.FastaScan(m, ["-"])
        print(scan.bytes_total)
        try:
            list(scan)
        except _engine.InputError as error:
            print(error)
    """)
    done = subprocess.run([sys.executable, "-c", code], input=b">s\nACGTU\nAC#\n",
                          capture_output=True, timeout=60)
    assert done.stdout.decode().splitlines() == ["None", "<stdin>: record 's', line 3: invalid character '#'"]


def test_scan_text_errors_carry_record_and_offset(motifs):
    with pytest.raises(_engine.InputError) as caught:
        _engine.scan_text(motifs, "chr7", "ACGTN\nA", offset=100)
    assert str(caught.value) == "record 'chr7', offset 105: invalid byte 0x0A"
    assert (caught.value.record, caught.value.offset) == ("chr7", 105)


def test_missing_input_is_file_not_found(tmp_path, motifs):
    missing = str(tmp_path / "missing.fa")
    with pytest.raises(FileNotFoundError) as caught:
        _engine.FastaScan(motifs, [missing])
    assert caught.value.filename == missing


@pytest.mark.parametrize("rows, message", [
    (np.zeros((6, 4), np.float32), "motif 'bad': cannot be scored: Division resulted in NaN"),
    (np.full((6, 4), np.inf, np.float32), "motif 'bad': cannot be scored: Division resulted in NaN"),
])
def test_motifs_that_cannot_be_scored_are_named(rows, message):
    with pytest.raises(_engine.InputError, match=message):
        _engine.MotifSet(ids=["bad"], names=[""], matrices=[rows], css=[0.5], mss=[0.5])


@pytest.mark.parametrize("kwargs", [
    dict(ids=["a"], names=[], matrices=[ROWS], css=[0.5], mss=[0.5]),
    dict(ids=["a"], names=[""], matrices=[ROWS[:, :3]], css=[0.5], mss=[0.5]),
])
def test_motif_set_shape_errors(kwargs):
    with pytest.raises(ValueError):
        _engine.MotifSet(**kwargs)


def test_short_motifs_give_no_hits_but_count(motifs):
    short = _engine.MotifSet(ids=["s", "M1"], names=["", ""], matrices=[ROWS[:4].copy(), ROWS],
                             css=[0.0, 0.0], mss=[0.0, 0.0])
    assert (len(short), short.max_length) == (2, 7)
    batch = _engine.scan_text(short, "r", "ACGTACGTACGTAC")
    assert set(batch.columns()["motif"]) == {1}


# ---------------------------------------------------------------- reading

def test_progress_counters_and_compressed_members(tmp_path, motifs):
    text = ">a\n" + "ACGTNNacgt\n" * 500 + ">b\n" + "GATTACA\n" * 300
    data = text.encode()
    members = gzip.compress(data[:1234]) + gzip.compress(data[1234:])  # as bgzip writes blocks
    path = tmp_path / "in.fa.gz"
    path.write_bytes(members)
    plain = write(tmp_path / "in.fa", text)
    scan = _engine.FastaScan(motifs, [str(path)], block_size=300)
    batches = scan_all(scan)
    assert scan.bytes_total == len(members) == scan.bytes_read
    assert scan.bases_scanned == 500 * 10 + 300 * 7
    assert scan.hits_total == sum(map(len, batches)) > 0
    reference = scan_all(_engine.FastaScan(motifs, [plain]))
    assert columns_of(batches) == columns_of(reference)


def columns_of(batches):
    names, merged = [], {}
    for batch in batches:
        cols = batch.columns()
        names += [batch.sequence_names[i] for i in cols["sequence"]]
        for key, values in cols.items():
            if key != "sequence":
                merged.setdefault(key, []).extend(values.tolist())
    return names, merged


def test_order_does_not_depend_on_threads_or_blocks(tmp_path, motifs):
    rng = np.random.default_rng(5)
    records = ["".join(rng.choice(list("ACGTNacgt"), int(n))) for n in rng.integers(0, 3000, 12)]
    path = write(tmp_path / "in.fa", "".join(f">r{i}\n{s}\n" for i, s in enumerate(records)))
    results = [columns_of(scan_all(_engine.FastaScan(motifs, [path], threads=t, block_size=b)))
               for t, b in [(1, 1 << 20), (2, 97), (3, 1000), (0, 13)]]
    assert all(result == results[0] for result in results[1:])
    names, cols = results[0]
    keys = list(zip([int(n[1:]) for n in names], cols["start"], cols["motif"], [-s for s in cols["strand"]]))
    assert keys == sorted(keys)


def test_batches_stay_bounded_at_loose_thresholds(tmp_path):
    """Blocks shrink when every position is a hit, so no batch holds a whole record."""
    loose = _engine.MotifSet(ids=["M"], names=[""], matrices=[ROWS], css=[0.0], mss=[-1.0])
    letters = np.frombuffer(b"ACGT", np.uint8)[np.random.default_rng(1).integers(0, 4, 3_000_000)]
    path = write(tmp_path / "in.fa", ">big\n" + letters.tobytes().decode() + "\n")
    with _engine.FastaScan(loose, [path]) as scan:
        sizes = [len(batch) for batch in scan]
    assert sum(sizes) == 2 * (3_000_000 - len(ROWS) + 1)
    assert max(sizes) <= 1.2 * (1 << 20) and len(sizes) >= 6


def test_close_stops_a_scan_waiting_on_a_pipe(motifs):
    code = textwrap.dedent("""
        import time
        from vokscan import _engine
        import numpy as np
        m = _engine.MotifSet(ids=["M"], names=[""], matrices=[np.eye(4, dtype=np.float32)[[0, 1, 2, 3, 0, 1]]],
                             css=[0.0], mss=[0.0])
        scan = _engine.FastaScan(m, ["-"])
        start = time.monotonic()
        scan.close()
        print(round(time.monotonic() - start, 1) < 1.0, list(scan))
    """)
    with subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE) as child:
        out, _ = child.communicate(timeout=60)  # stdin stays open until communicate ends
    assert out.decode().split() == ["True", "[]"]


def test_ctrl_c_interrupts_a_scan_waiting_for_input(motifs):
    code = textwrap.dedent("""
        import sys
        from vokscan import _engine
        import numpy as np
        m = _engine.MotifSet(ids=["M"], names=[""], matrices=[np.eye(4, dtype=np.float32)[[0, 1, 2, 3, 0, 1]]],
                             css=[0.0], mss=[0.0])
        scan = _engine.FastaScan(m, ["-"])
        print("ready", flush=True)
        try:
            list(scan)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    with subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE) as child:
        try:
            assert child.stdout.readline() == b"ready\n"
            time.sleep(0.3)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            assert child.stdout.readline() == b"interrupted\n"
            assert time.monotonic() - sent < 1.0
            assert child.wait(timeout=30) == 0
        finally:
            child.kill()


class StopAsked(LookupError):
    pass


def stop_failing():
    raise StopAsked("the stop callable failed")


@pytest.mark.parametrize("stop, raised", [(lambda: True, KeyboardInterrupt), (stop_failing, StopAsked)])
def test_a_stop_callable_ends_a_scan_waiting_for_input(tmp_path, motifs, stop, raised):
    """A true answer ends the scan as Ctrl-C does; a failing callable's own
    exception comes out, not a KeyboardInterrupt in its place."""
    fifo = tmp_path / "in.fa"
    os.mkfifo(fifo)
    held = os.open(fifo, os.O_RDWR)  # a writer that never writes: the scan waits
    try:
        scan = _engine.FastaScan(motifs, [str(fifo)], stop=stop)
        with pytest.raises(BaseException) as caught:  # a KeyboardInterrupt in its place would end the run
            next(scan)
        assert caught.type is raised
    finally:
        os.close(held)  # the reader sees the end of the input
    scan.close()


class Answer:
    """A stop callable's answer, a new object each time."""
    made = []

    def __bool__(self):
        return False


def answer_no():
    answer = Answer()
    Answer.made.append(weakref.ref(answer))
    return answer


def test_the_stop_callables_answers_are_released(tmp_path, motifs):
    fifo = tmp_path / "in.fa"
    os.mkfifo(fifo)
    held = os.open(fifo, os.O_RDWR)

    def write_late():
        time.sleep(0.3)
        os.write(held, b">r\n" + b"ACGTACGAGTCAGGATTTAG" * 10 + b"\n")
        os.close(held)

    writer = threading.Thread(target=write_late)
    writer.start()
    Answer.made.clear()
    with _engine.FastaScan(motifs, [str(fifo)], stop=answer_no) as scan:
        assert sum(len(batch) for batch in scan) > 0
    writer.join()
    gc.collect()
    assert Answer.made and all(alive() is None for alive in Answer.made)


# ---------------------------------------------------------------- output

def sample_batch(motifs):
    text = "ACGTACGAGTCAGGATTTAGACGATACGATACAGGCAGTAAATTAGCGGCAT" * 4
    return _engine.scan_text(motifs, "chr1", text, partial_windows=True)


@pytest.mark.parametrize("compress", [False, True])
@pytest.mark.parametrize("fmt", ["tsv", "bed", "bed+"])
def test_writer_lines(tmp_path, motifs, fmt, compress):
    batch = sample_batch(motifs)
    assert len(batch) > 3
    path = tmp_path / "out"
    writer = _engine.HitWriter(str(path), fmt, motifs=motifs, compress=compress)
    writer.write(batch)
    writer.write(batch)
    writer.close()
    data = path.read_bytes()
    lines = (gzip.decompress(data) if compress else data).decode().splitlines()
    if fmt == "tsv":
        assert lines.pop(0) == "sequence\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore"
    assert len(lines) == 2 * len(batch)
    cols = batch.columns()
    ids, names = ["M1", "M2"], ["ONE", ""]
    for i, line in enumerate(lines[:len(batch)]):
        fields = line.split("\t")
        css, mss = cols["css"][i], cols["mss"][i]
        assert fields[:4] == ["chr1", str(cols["start"][i]), str(cols["end"][i]), ids[cols["motif"][i]]]
        strand = "+" if cols["strand"][i] > 0 else "-"
        if fmt == "tsv":
            assert fields[4:6] == [names[cols["motif"][i]], strand]
            assert fields[8] == str(cols["core"][i])
            score_texts = fields[6:8]
        else:
            assert fields[4:6] == [str(min(1000, max(0, round(float(mss) * 1000)))), strand]
            score_texts = fields[6:]
        if fmt != "bed":
            # Shortest text that reads back as the same float32.
            for text, value in zip(score_texts, (css, mss)):
                assert np.float32(text) == value
                assert text == np.format_float_positional(value, unique=True, trim="-")
        else:
            assert len(fields) == 6


@pytest.mark.parametrize("fmt, header, with_pvalues, expected", [
    ("tsv", True, False, "sequence\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore\n"),
    ("tsv", True, True, "sequence\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore\tpvalue\n"),
    ("tsv", False, False, ""),
    ("bed", True, False, ""),
    ("bed+", True, True, ""),
])
def test_writer_closed_without_hits_writes_the_header(tmp_path, motifs, fmt, header, with_pvalues,
                                                       expected):
    path = tmp_path / "out"
    pvalues = _engine.HitPValues(motifs) if with_pvalues else None
    _engine.HitWriter(str(path), fmt, motifs=motifs, header=header, pvalues=pvalues).close()
    assert path.read_text() == expected


def test_writer_reports_a_closed_pipe(motifs):
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        writer = _engine.HitWriter(f"/dev/fd/{write_end}", "bed", motifs=motifs)
        with pytest.raises(BrokenPipeError):
            for _ in range(100):
                writer.write(sample_batch(motifs))
            writer.close()
    finally:
        os.close(write_end)


def test_writer_cannot_create_the_file(tmp_path, motifs):
    with pytest.raises(FileNotFoundError):
        _engine.HitWriter(str(tmp_path / "no" / "out.tsv"), motifs=motifs)


# ---------------------------------------------------------------- batches

def test_batches_pickle_and_rebuild_from_columns(motifs):
    batch = sample_batch(motifs)
    again = pickle.loads(pickle.dumps(batch))
    assert columns_of([again]) == columns_of([batch])
    rebuilt = _engine.HitBatch.from_columns(batch.columns(), batch.sequence_names)
    assert columns_of([rebuilt]) == columns_of([batch])


def first_hit(column, value):
    """A change of the first hit only (every hit is checked, the first too)."""
    def change(columns):
        columns[column][0] = value
    return change


@pytest.mark.parametrize("change, message", [
    (lambda c: c.update(start=c["start"].astype(np.int32)), "dtype"),
    (lambda c: c.update(css=c["css"][:-1]), "equal lengths"),
    (lambda c: c.update(sequence=c["sequence"] + 1), "sequence_names"),
    (first_hit("sequence", 1), "hit 0: sequence index 1 is not in sequence_names"),
    (first_hit("sequence", -1), "hit 0: sequence index -1"),
    (first_hit("motif", -1), "hit 0: negative motif index"),
    (first_hit("strand", 0), "hit 0: strand must be"),
    (first_hit("start", -1), "hit 0: window must have 0 <= start <= end"),
    (first_hit("end", -1), "hit 0: window must have"),
    (lambda c: c.update(strand=np.zeros_like(c["strand"])), "strand"),
    (lambda c: c.pop("core"), "missing column 'core'"),
])
def test_from_columns_validates(motifs, change, message):
    batch = sample_batch(motifs)
    cols = batch.columns()
    change(cols)
    with pytest.raises(ValueError, match=message):
        _engine.HitBatch.from_columns(cols, batch.sequence_names)


def test_motif_sets_pickle(motifs):
    again = pickle.loads(pickle.dumps(motifs))
    assert (again.ids, again.names, len(again)) == (motifs.ids, motifs.names, 2)
    assert columns_of([sample_batch(again)]) == columns_of([sample_batch(motifs)])
