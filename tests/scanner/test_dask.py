"""The scan on a Dask cluster: the same bytes as the local run, through worker
deaths, bad input and Ctrl-C, on a local cluster of two worker processes."""

import gzip
import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
pytest.importorskip("pyfaidx")
pytest.importorskip("vokscan._engine")

from Bio import bgzf  # noqa: E402

from vokscan import commands  # noqa: E402
from vokscan.cluster import ClientStart, plan  # noqa: E402
from vokscan.scanning import engine_batches, prepare_motifs  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
MOTIFS = str(ROOT / "examples" / "data" / "jaspar_core_vertebrates.transfac")
# Loose thresholds so that random sequence gives many hits to put in order.
THRESHOLDS = ["--css", "0.8", "--mss", "0.75"]
BLOCK = 7_000  # bases per task: the long record spans about 30 blocks
RECORDS = [("chr1 first record", 30_000), ("chrE", 0), ("tiny", 9), ("chr2", 150), ("chr3", 210_000)]


def random_sequence(rng, length):
    """Random bases with soft-masked stretches and N runs."""
    pieces, size = [], 0
    while size < length:
        kind = rng.random()
        run = rng.randint(1, 400)
        if kind < 0.1:
            piece = "N" * run
        elif kind < 0.35:
            piece = "".join(rng.choice("acgt") for _ in range(run))
        else:
            piece = "".join(rng.choice("ACGT") for _ in range(run))
        pieces.append(piece)
        size += len(piece)
    return "".join(pieces)[:length]


def fasta_text(records, width=60, eol="\n"):
    lines = []
    for name, sequence in records:
        lines.append(">" + name)
        lines += [sequence[i:i + width] for i in range(0, len(sequence), width)]
    return eol.join(lines) + eol


@pytest.fixture(scope="module")
def records():
    rng = random.Random(12)
    return [(name, random_sequence(rng, length)) for name, length in RECORDS]


@pytest.fixture(scope="module")
def inputs(tmp_path_factory, records):
    folder = tmp_path_factory.mktemp("inputs")
    paths = {"plain": folder / "genome.fa", "crlf": folder / "genome_crlf.fa", "bgzip": folder / "genome.fa.gz"}
    paths["plain"].write_text(fasta_text(records))
    paths["crlf"].write_bytes(fasta_text(records, width=71, eol="\r\n").encode())
    with bgzf.BgzfWriter(str(paths["bgzip"]), "wb") as handle:  # many 64 KiB blocks
        handle.write(fasta_text(records, width=50).encode())
    return {kind: str(path) for kind, path in paths.items()}


@pytest.fixture(scope="module")
def started():
    # Started as `--dask local:2` starts it: workers forked from a preloaded server.
    with ClientStart("local:2") as start:
        start.client()
        yield start


@pytest.fixture(scope="module")
def cluster(started):
    return started.cluster


@pytest.fixture(scope="module")
def client(started):
    return started.client()


@pytest.fixture
def run(capsys):
    """vok-scan in this process: (exit status, standard error)."""
    saved = {number: signal.getsignal(number) for number in (signal.SIGINT, signal.SIGTERM)}

    def invoke(*args):
        try:
            status = commands.main([str(arg) for arg in args])
        finally:
            for number, handler in saved.items():
                signal.signal(number, handler)
        return status, capsys.readouterr().err
    return invoke


def local_and_cluster(run, tmp_path, cluster, args, block=BLOCK):
    """Outputs (bytes) of the local run and of the cluster run of the same command."""
    outputs = []
    for extra in ([], ["--dask", cluster.scheduler_address, "--dask-block-size", block]):
        out = tmp_path / f"out{len(outputs)}{'.gz' if '--gz' in args else ''}"
        status, err = run(*[a for a in args if a != "--gz"], "-o", out, "--quiet", *extra)
        assert status == 0, err
        assert err == ""
        outputs.append(out.read_bytes())
    assert not list(tmp_path.glob(".vokscan-parts-*"))  # workers' line files are gone
    return outputs


@pytest.mark.parametrize("options", [
    ["--format", "tsv", "--site"],
    ["--format", "bed", "--mask"],
    ["--format", "bed+", "--strand", "reversed", "--partial-windows", "--site"],
    ["--strand", "forward", "--mask", "--partial-windows", "--no-header"],
], ids=["tsv", "bed-mask", "bedplus-reversed-partial", "forward-mask-partial"])
def test_same_output_as_local_run(run, monkeypatch, tmp_path, cluster, inputs, options):
    # Tiny tasks: the 8 motifs fall into several groups that are merged back per block.
    monkeypatch.setattr(plan, "TARGET_TASK_WORK", 100_000)
    local, remote = local_and_cluster(run, tmp_path, cluster, [*THRESHOLDS, *options, MOTIFS, inputs["plain"]])
    assert local.count(b"\n") > 500
    assert remote == local


@pytest.mark.parametrize("options", [
    ["--pvalue", "1e-3", "--format", "bed+"],
    ["--pvalue", "1e-3", "--background", "0.3,0.2,0.2,0.3", "--css", "0.8"],
], ids=["pvalue-bedplus", "pvalue-skewed-background"])
def test_pvalue_thresholds_same_as_local_run(run, tmp_path, cluster, inputs, options):
    local, remote = local_and_cluster(run, tmp_path, cluster, [*options, MOTIFS, inputs["plain"]])
    assert local.count(b"\n") > 100
    assert remote == local


@pytest.mark.parametrize("kind, block", [("crlf", 997), ("bgzip", BLOCK), ("plain", 10**9)])
def test_input_layouts_and_block_sizes(run, tmp_path, cluster, inputs, kind, block):
    """CRLF line ends, bgzip blocks, blocks smaller than a motif's context or larger than a record."""
    local, remote = local_and_cluster(run, tmp_path, cluster, [*THRESHOLDS, MOTIFS, inputs[kind]], block=block)
    assert remote == local


@pytest.mark.parametrize("options", [
    ["--strand", "both"],
    ["--strand", "reversed", "--partial-windows", "--mask"],
], ids=["both", "reversed-partial-mask"])
def test_every_window_a_site_at_block_edges(run, tmp_path, cluster, records, options):
    """Zero thresholds make every window a site: one lost or doubled at a block edge shows."""
    short = tmp_path / "short.fa"
    short.write_text(fasta_text([(name, sequence[:1500]) for name, sequence in records]))
    local, remote = local_and_cluster(run, tmp_path, cluster, ["--css", "0", "--mss", "0", *options, MOTIFS, short],
                                      block=37)
    assert local.count(b"\n") > 10_000
    assert remote == local


def test_several_files_and_gzip_output(run, tmp_path, cluster, inputs):
    local, remote = local_and_cluster(run, tmp_path, cluster,
                                      [*THRESHOLDS, "--gz", MOTIFS, inputs["bgzip"], inputs["plain"]])
    assert remote == local


def test_standard_output_gets_the_lines_through_the_cluster(tmp_path, cluster, inputs):
    # No folder beside an output here: the workers send their lines back.
    command = [sys.executable, "-m", "vokscan", *THRESHOLDS, "--quiet", MOTIFS, inputs["plain"]]
    local = subprocess.run(command, capture_output=True, check=True, cwd=tmp_path).stdout
    remote = subprocess.run([*command, "--dask", cluster.scheduler_address, "--dask-block-size", str(BLOCK)],
                            capture_output=True, check=True, cwd=tmp_path).stdout
    assert local.count(b"\n") > 500 and remote == local
    assert not list(tmp_path.iterdir())


def test_api_batches_match(client, inputs):
    import vokscan

    options = dict(css=0.8, mss=0.75, as_frame=False)
    local = vokscan.scan_to_dataframe(MOTIFS, inputs["plain"], **options)
    remote = vokscan.scan_to_dataframe(MOTIFS, inputs["plain"], client=client, block_size=BLOCK, **options)
    assert len(local["start"]) > 500
    for name, column in local.items():
        assert (remote[name] == column).all(), name


@pytest.mark.parametrize("parts_seen", [True, False], ids=["part files", "lines through the cluster"])
def test_part_files_are_taken_without_fetching_results(client, inputs, tmp_path, parts_seen):
    from vokscan.cluster import cluster_batches

    scans = []
    batches = cluster_batches(client, prepare_motifs(MOTIFS, css=0.8, mss=0.75), [inputs["plain"]],
                              on_scan=scans.append, block_size=BLOCK, output_format="tsv",
                              parts_dir=str(tmp_path) if parts_seen else None)
    lines = b"".join(batches)
    assert lines.count(b"\n") == scans[0].hits_total > 500
    # A part file the client could not find would be fetched instead: same output, a round trip per task.
    assert (scans[0].fetches == 0) == parts_seen and (scans[0].bytes_by_file == len(lines)) == parts_seen
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("keys", [None, np.array([3, 1 << 40], dtype=np.uint64)], ids=["unkeyed", "keyed"])
@pytest.mark.parametrize("text", [b"", b"chr1\t5\n" * 3], ids=["empty", "lines"])
def test_part_file_round_trip(tmp_path, keys, text):
    from vokscan.cluster.tasks import read_part, write_part

    write_part(str(tmp_path / "part"), 7, keys, text)
    hits, read_keys, read_text = read_part(str(tmp_path / "part"))
    assert (hits, read_text) == (7, text) and os.listdir(tmp_path) == ["part"]
    assert (read_keys is None) if keys is None else (read_keys.tolist() == keys.tolist())


@pytest.mark.parametrize("kill_all", [False, True], ids=["one worker", "every worker"])
def test_killed_worker_rerun(run, tmp_path, cluster, client, inputs, kill_all):
    from vokscan import _engine

    status, _ = run(*THRESHOLDS, MOTIFS, inputs["plain"], "-o", tmp_path / "local.tsv", "--quiet")
    assert status == 0
    prepared = prepare_motifs(MOTIFS, css=0.8, mss=0.75)
    # The command writes a pvalue column under the uniform background; so does this writer.
    pvalues = _engine.HitPValues(prepared.engine_set, [0.25] * 4, "both")
    writer = _engine.HitWriter(str(tmp_path / "cluster.tsv"), format="tsv", motifs=prepared.engine_set,
                               pvalues=pvalues)
    victims, lost = [], []
    for batch in engine_batches(prepared, [inputs["plain"]], client=client, block_size=2_000):
        if not victims:
            # A worker with tasks assigned: they and its results must be run again elsewhere.
            # Killing every worker also loses every copy of the motifs and the scan context.
            busy = {worker: keys for worker, keys in client.processing().items() if keys}
            if busy:
                address, lost = next(iter(busy.items()))
                victims = list(client.run(os.getpid, workers=None if kill_all else [address]).values())
                for victim in victims:
                    os.kill(victim, signal.SIGKILL)
        writer.write(batch)
    writer.close()
    assert lost, "no worker was busy to be killed"
    assert (tmp_path / "cluster.tsv").read_bytes() == (tmp_path / "local.tsv").read_bytes()
    client.wait_for_workers(2, timeout=60)
    assert not set(victims) & set(client.run(os.getpid).values())


BAD_INPUTS = [
    # (label, record holding the bad letter, the letter, bgzip-compressed)
    ("invalid character deep in a long record", "chr3", b"*", False),
    ("the same in bgzip blocks", "chr3", b"*", True),
    ("invalid byte (not text)", "chr1", b"\xff", False),
    ("stray '>' in the first record", "chr1", b">", False),
]


@pytest.mark.parametrize("label, record, letter, compressed", BAD_INPUTS, ids=[case[0] for case in BAD_INPUTS])
def test_bad_input_same_error_no_output(run, tmp_path, cluster, records, label, record, letter, compressed):
    text = bytearray(fasta_text(records).encode())
    header = text.index(b">" + record.encode())
    text[text.index(b"\n", header) + 1 + 61 * 150 + 17] = letter[0]  # on the record's 151st line
    bad = tmp_path / ("bad.fa.gz" if compressed else "bad.fa")
    if compressed:
        with bgzf.BgzfWriter(str(bad), "wb") as handle:
            handle.write(bytes(text))
    else:
        bad.write_bytes(bytes(text))
    results = []
    for extra in ([], ["--dask", cluster.scheduler_address, "--dask-block-size", 3_000]):
        out = tmp_path / "out.tsv"
        results.append(run(*THRESHOLDS, MOTIFS, bad, "-o", out, "--quiet", *extra))
        assert not any(name.startswith((".out", "out")) for name in os.listdir(tmp_path))
    assert results[0][0] == 2 and "line " in results[0][1]
    assert results[1] == results[0]


@pytest.mark.parametrize("name, content, message", [
    ("in.fa.gz", gzip.compress(b">a\nACGT\n"), "recompress it with bgzip"),
    ("in.fa", b">a\nACGTACGT\nACG\nACGTACGT\n", "cannot index"),
    ("in.fa", b">a\nACGTACGT \nACGTACGT \n", "blanks inside sequence lines"),
    # The index skips these lines; the local reader refuses them, so must we.
    ("in.fa", b";comment\n>a\nACGTACGT\n", "line 1: sequence before the first"),
], ids=["plain-gzip", "irregular-lines", "blanks", "text-before-header"])
def test_unindexable_input_is_a_clear_error(run, tmp_path, cluster, name, content, message):
    path = tmp_path / name
    path.write_bytes(content)
    status, err = run(MOTIFS, path, "-o", tmp_path / "out.tsv", "--dask", cluster.scheduler_address)
    assert status == 2 and message in err and f"error: {path}" in err
    assert not (tmp_path / "out.tsv").exists()


@pytest.mark.parametrize("where", ["scheduler", "local:2"])
def test_ctrl_c_stops_the_client(tmp_path, cluster, records, where):
    big = tmp_path / "big.fa"
    big.write_text(fasta_text(records * 4))
    out = tmp_path / "out.tsv"
    # Tiny blocks: thousands of tasks, so the run is still going when interrupted.
    command = [sys.executable, "-m", "vokscan", *THRESHOLDS, MOTIFS, str(big), "-o", str(out),
               "--dask", cluster.scheduler_address if where == "scheduler" else where,
               "--dask-block-size", "100"]
    # A local cluster's processes get a terminal's Ctrl-C too: it goes to
    # the whole process group. The run itself starts with SIGINT ignored, as
    # a background job does.
    child = subprocess.Popen(command, stderr=subprocess.PIPE, cwd=tmp_path, start_new_session=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    deadline = time.monotonic() + 120
    while not list(tmp_path.glob(".out.tsv.*.parts/.vokscan-parts-*/*")):  # tasks under way
        assert child.poll() is None and time.monotonic() < deadline, child.stderr.read()
        time.sleep(0.05)
    if where == "scheduler":
        child.send_signal(signal.SIGINT)
    else:
        os.killpg(child.pid, signal.SIGINT)
    _, err = child.communicate(timeout=60)
    # Nothing else: no worker's traceback, no leaked semaphores of a cluster ended midway.
    assert (child.returncode, err.decode()) == (130, "vok-scan: interrupted\n")
    assert sorted(os.listdir(tmp_path)) == ["big.fa", "big.fa.fai"]


def test_names_with_control_characters_warned_as_in_the_local_run(run, tmp_path, cluster, records):
    fasta = tmp_path / "names.fa"
    fasta.write_text(fasta_text([("r\x01one", records[0][1]), ("track2", records[3][1]),
                                 ("r\x02two", records[4][1])]))
    outputs = []
    for extra in ([], ["--dask", cluster.scheduler_address, "--dask-block-size", BLOCK]):
        out = tmp_path / f"out{len(outputs)}.bed"
        status, err = run(*THRESHOLDS, "-f", "bed", MOTIFS, fasta, "-o", out, *extra)
        outputs.append((status, err, out.read_bytes()))
    assert outputs[0] == outputs[1]
    assert outputs[0][1].count("warning:") == 2 and b"r_one\t" in outputs[0][2] and b"r_two\t" in outputs[0][2]


PALINDROME = [[0, 9, 0, 1], [9, 0, 1, 0], [0, 9, 0, 1], [1, 0, 9, 0], [0, 1, 0, 9], [1, 0, 9, 0]]  # CACGTG


@pytest.mark.parametrize("formatted", [False, True], ids=["hit columns", "lines"])
def test_motif_groups_merge_plus_before_minus_at_a_palindrome(client, tmp_path, formatted):
    from vokscan import _engine
    from vokscan.cluster import ClusterScan, TextOutput

    fasta = tmp_path / "palindromes.fa"
    fasta.write_text(">p\n" + "ACGTTCACGTGAAT" * 40 + "\n")
    matrices = [np.array(PALINDROME, np.float32)] * 3
    motifs = {"ids": ["P1", "P2", "P3"], "names": ["", "", ""], "matrices": matrices,
              "css": [0.9] * 3, "mss": [0.9] * 3}
    local_set = _engine.MotifSet(**motifs)
    local = list(_engine.FastaScan(local_set, [str(fasta)], threads=1))
    scan = ClusterScan(client, motifs, [str(fasta)], {}, block_size=150, groups=2,
                       output=TextOutput("tsv") if formatted else None)
    assert scan.bytes_read == 0
    batches = list(scan)
    assert len(scan.motif_groups) == 2
    # Progress ends at the whole input, as the local scan's does.
    assert (scan.bases_scanned, scan.bytes_read) == (scan.bases_total, fasta.stat().st_size)
    if formatted:
        expected = b"".join(_engine.format_hits(batch, "tsv", motifs=local_set) for batch in local)
        assert b"".join(batches) == expected
        strands = [line.split(b"\t")[5] for line in expected.splitlines()]
    else:
        columns = [{k: v for k, v in batch.columns().items() if k != "sequence"} for batch in batches]
        expected = [{k: v for k, v in batch.columns().items() if k != "sequence"} for batch in local]
        assert all(np.array_equal(np.concatenate([c[k] for c in columns]),
                                  np.concatenate([c[k] for c in expected])) for k in expected[0])
        strands = [b"+" if s > 0 else b"-" for c in expected for s in c["strand"]]
    assert strands[:6] == [b"+", b"-"] * 3  # each motif's site on both strands, at one start


@pytest.mark.parametrize("spec, sequences, message", [
    ("local:0", "plain", "at least one worker"),
    ("locale:2", "plain", "expected local:N"),
    ("cluster", "-", "standard input ('-') cannot be used"),
    ("cluster", "no-such.fa", "error: no-such.fa: No such file or directory"),
    ("no-dask", "plain", "python -m pip install dask distributed"),
])
def test_option_errors(run, monkeypatch, tmp_path, cluster, inputs, spec, sequences, message):
    if spec == "no-dask":
        monkeypatch.setitem(sys.modules, "distributed", None)  # import fails as if not installed
        spec = "local:2"
    if spec == "cluster":
        spec = cluster.scheduler_address
    status, err = run(MOTIFS, inputs.get(sequences, sequences), "-o", tmp_path / "out.tsv", "--dask", spec)
    assert status == 2 and message in err and err.count("\n") == 1
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("lengths,block", [([25, 7, 0, 1, 8], 4), ([10], 3), ([9, 10, 11], 1), ([5], 100)])
def test_blocks_tile_each_record_in_equal_sizes(lengths, block):
    blocks = list(plan.plan_blocks([lengths, lengths[:1]], block, context=2))
    assert len(blocks) == plan.count_blocks([lengths, lengths[:1]], block)
    assert [b.number for b in blocks] == list(range(len(blocks)))
    for source, record_lengths in enumerate([lengths, lengths[:1]]):
        for record, length in enumerate(record_lengths):
            owned = [(b.owned_start, b.owned_end, b.text_start, b.text_end) for b in blocks
                     if (b.source, b.record) == (source, record)]
            if not owned:  # an empty record has no block
                assert length == 0
                continue
            assert [start for start, *_ in owned] == [0] + [end for _, end, *_ in owned[:-1]]
            assert owned[-1][1] == length
            sizes = [end - start for start, end, *_ in owned]
            assert all(0 < size <= block for size in sizes) and max(sizes) - min(sizes) <= 1
            assert all((text_start, text_end) == (max(0, start - 2), min(length, end + 2))
                       for start, end, text_start, text_end in owned)


@pytest.mark.parametrize("seed", range(5))
def test_motif_groups_cover_the_set_in_order(seed):
    rng = random.Random(seed)
    lengths = [rng.randint(5, 30) for _ in range(rng.randint(1, 40))]
    for groups in range(1, len(lengths) + 1):
        parts = plan.split_motifs(lengths, groups)
        assert [i for part in parts for i in part] == list(range(len(lengths)))
        assert len(parts) == groups and all(parts)
        # Balanced work: no group exceeds the mean by more than one motif.
        assert max(sum(lengths[i] for i in part) for part in parts) <= sum(lengths) / groups + max(lengths)


@pytest.mark.parametrize("fork_server", [True, False], ids=["forked workers", "no fork server"])
def test_local_cluster_option(run, monkeypatch, tmp_path, inputs, fork_server):
    if not fork_server:  # e.g. no socket for it: workers then start as Dask starts them
        def refuse(environment):
            raise OSError("no socket")
        monkeypatch.setattr("vokscan.cluster.connect.launch_fork_server", refuse)
    outputs = []
    for extra in ([], ["--dask", "local:2", "--dask-block-size", BLOCK]):
        status, err = run(*THRESHOLDS, MOTIFS, inputs["plain"], "-o", tmp_path / f"out{len(outputs)}.tsv", "--quiet",
                          *extra)
        assert (status, err) == (0, "")
        outputs.append((tmp_path / f"out{len(outputs)}.tsv").read_bytes())
    assert outputs[0] == outputs[1]


def test_cluster_closed_when_the_run_ends_while_it_starts(run, tmp_path, inputs):
    # A bad motif file ends the run before the cluster is up: it must not outlive the run.
    (tmp_path / "bad.transfac").write_text("not a motif\n")
    status, err = run(tmp_path / "bad.transfac", inputs["plain"], "-o", tmp_path / "out.tsv", "--dask", "local:1")
    assert status == 2 and "error:" in err
    start = ClientStart("local:1")
    start.close()
    deadline = time.monotonic() + 60
    while start.starting and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not start.starting and start.cluster is None


def test_local_cluster_settings_reach_its_workers_and_end_with_it():
    import dask

    with dask.config.set({"distributed.admin.tick.interval": "33ms"}):
        with ClientStart("local:1") as start:
            settings = start.client().run(lambda: (dask.config.get("distributed.admin.tick.interval"),
                                                   dask.config.get("distributed.worker.profile.enabled")))
        assert list(settings.values()) == [("1s", False)]
        assert dask.config.get("distributed.admin.tick.interval") == "33ms"


def test_an_unreachable_scheduler_is_one_error_and_closes_cleanly(monkeypatch):
    def refuse(address, timeout=None):
        raise OSError("Timed out trying to connect")

    monkeypatch.setattr(distributed, "Client", refuse)
    start = ClientStart("tcp://127.0.0.1:9")
    with pytest.raises(OSError, match=r"^--dask tcp://127.0.0.1:9: cannot reach the scheduler: Timed out"):
        start.client()
    start.close()  # nothing was made, so nothing to close: no error either
    assert start.cluster is None and not start.starting
