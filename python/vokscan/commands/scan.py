"""`vok-scan` itself: scanning sequences for sites, hits written as TSV or BED."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import threading
from typing import List, Optional

from ..output import AtomicOutput
from ..progress import Progress
from ..scanning import engine_batches, region_batches
from .common import (EXIT_OK, EXIT_PIPE, EXIT_USAGE, PROG, Parser, UsageError,
                     add_motif_options, add_region_option, add_scanning_options, check_motif_options,
                     command_main, describe, exit_status, load_prepared_motifs, silence_stdout,
                     stopping_status, say, version)
# After Ctrl-C, how long the scan may take to wind down before the process ends anyway.
STOP_GRACE_SECONDS = 0.25

DESCRIPTION = """\
Scan DNA sequences for transcription-factor binding sites with position
weight matrices. Every position of every sequence is scored with every
matrix; a site is reported when its core similarity score (css, over the
five best-conserved positions) and its matrix similarity score (mss, over
the whole matrix) both reach their thresholds.

MOTIFS is a motif file: TRANSFAC, JASPAR (.jaspar or the plain four rows of
counts), MEME minimal text or HOMER; the format is detected from the content.
SEQUENCES are FASTA files (plain or gzip/bgzip-compressed, told apart by
content) or - for standard input. Upper- and lower-case A/C/G/T are scanned;
N and the other ambiguity codes end a segment, so no site spans them."""

EPILOG = """\
output columns (TSV):
  sequence [region] start end motif_id motif_name strand css mss core pvalue [qvalue] [site]
  region: the region's name, with --regions only (positions stay genome positions)
  start/end: the matrix window, 0-based, end exclusive; core: the forward
  index of the leftmost base of the five-base core word; pvalue: the
  probability that a random window of the motif's length scores an mss at
  least the hit's own (under --background); qvalue: with --qvalue; site
  (--site): the window's letters on the hit's strand (the reverse complement
  for - under --strand both, reversed under --strand reversed). BED: chrom,
  start, end, motif id, round(mss x 1000), strand; bed+ adds css, mss, pvalue
  (and qvalue, site).

thresholds: unless --mss is given, each motif gets the mss threshold at
which a random window of the background scores at least that high with
probability --pvalue (1e-4 when no threshold option is given), and, unless
--css is given, the highest css threshold that loses no window reaching that
mss. `vok-scan thresholds MOTIFS` prints them with the expected hits per Mbp.

examples:
  vok-scan motifs.transfac genome.fa.gz -o hits.tsv.gz
  vok-scan --pvalue 1e-5 --background auto motifs.jaspar genome.fa > hits.tsv
  vok-scan thresholds --pvalue 1e-4 --format profile motifs.transfac > cutoffs.prf
  vok-scan --jaspar 2024:CORE:vertebrates --css 1 --mss 0.95 --format bed chr1.fa > chr1.bed
  zcat reads.fa.gz | vok-scan --mask --cutoffs cutoffs.prf --quiet motifs.meme - | head

exit status: 0 done; 1 failure (e.g. writing the output); 2 bad input or
options; 130 interrupted (Ctrl-C; 143 for SIGTERM); 141 the reader of standard output went
away (e.g. head). An interrupted or failed run leaves no file at -o."""


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG, description=DESCRIPTION, epilog=EPILOG,
        usage=f"{PROG} [OPTIONS] MOTIFS SEQUENCES...\n       "
              f"{PROG} [OPTIONS] --jaspar RELEASE:COLLECTION:TAXON SEQUENCES...\n       "
              f"{PROG} [OPTIONS] --regions BED MOTIFS GENOME\n       "
              f"{PROG} thresholds [OPTIONS] MOTIFS [SEQUENCES...]   (see {PROG} thresholds --help)\n       "
              f"{PROG} count [OPTIONS] MOTIFS SEQUENCES...           (see {PROG} count --help)\n       "
              f"{PROG} enrich [OPTIONS] MOTIFS TARGETS               (see {PROG} enrich --help)",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("inputs", nargs="+", metavar="MOTIFS SEQUENCES",
                        help="a motif file, then one or more FASTA files (- = standard input)")
    add_motif_options(parser)
    add_region_option(add_scanning_options(parser))
    group = parser.add_argument_group("output")
    group.add_argument("-o", "--output", metavar="FILE",
                       help="write here instead of standard output; gzip-compressed when the "
                            "name ends in .gz (default: standard output)")
    group.add_argument("-f", "--format", choices=("tsv", "bed", "bed+"), default="tsv",
                       help="output format (default: tsv)")
    group.add_argument("--site", action="store_true",
                       help="add a site column to TSV and BED+: the window's letters on the hit's "
                            "strand, as cased in the input (default: off)")
    group.add_argument("--no-header", action="store_true",
                       help="leave out the TSV header line (default: header written)")
    group.add_argument("--qvalue", action="store_true",
                       help="add a qvalue column after pvalue (TSV and BED+): per motif, "
                            "Benjamini-Hochberg with m the full windows scanned for the motif "
                            "on every strand read, the running minimum taken over the motif's "
                            "hits only (windows that are not hits are not kept, so this is the "
                            "conservative form); the lines are written once the scan ends "
                            "(default: off)")
    group.add_argument("-q", "--quiet", action="store_true",
                       help="no progress bar and no warnings (default: a progress bar when "
                            "standard error is a terminal)")
    group.add_argument("--version", action="version", version=f"{PROG} {version()}")
    group = parser.add_argument_group("cluster (needs the dask extra: pip install 'vok[dask]')")
    group.add_argument("--dask", metavar="SCHEDULER",
                       help="scan on a Dask cluster: a scheduler address (tcp://host:8786) or "
                            "local:N to start N worker processes here; FASTA files are read by "
                            "path on the workers and indexed (.fai, .gzi) when needed; the "
                            "output is that of the local run (default: off)")
    group.add_argument("--dask-block-size", type=int, default=4_000_000, metavar="BASES",
                       help="bases of sequence per cluster task (default: 4000000)")
    return parser


def parse_options(argv: Optional[List[str]]) -> argparse.Namespace:
    options = build_parser().parse_args(argv)
    if options.jaspar:
        options.motifs, options.sequences = None, options.inputs
    else:
        if len(options.inputs) < 2:
            raise UsageError(f"give a motif file and at least one FASTA file "
                             f"(see {PROG} --help)")
        options.motifs, options.sequences = options.inputs[0], options.inputs[1:]
    if options.sequences.count("-") > 1:
        raise UsageError("standard input (-) can be read only once")
    check_motif_options(options)
    if options.regions is not None:
        if len(options.sequences) != 1 or options.sequences[0] == "-":
            raise UsageError("--regions needs exactly one genome FASTA file (not standard input)")
        if options.dask:
            raise UsageError("--regions is scanned locally; leave out --dask")
    if options.dask_block_size < 1:
        raise UsageError("--dask-block-size must be 1 or more")
    if options.qvalue and options.format == "bed":
        raise UsageError("--qvalue adds a column to tsv or bed+ output, not to plain bed")
    if options.qvalue and options.dask:
        raise UsageError("--qvalue needs the lengths of the records scanned, which a --dask "
                         "scan does not report")
    if options.site and options.format == "bed":
        raise UsageError("--site needs --format tsv or bed+ (BED has six columns)")
    if options.regions is not None and (options.site or options.qvalue):
        raise UsageError("--site and --qvalue are not available with --regions")
    return options


# The TSV header with the region column of --regions.
REGION_HEADER = b"sequence\tregion\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore\tpvalue\n"


class HeaderFirst:
    """A HitWriter whose header line (given) goes out with the first batch or
    at close, as the writer's own header does."""

    def __init__(self, writer, header: bytes):
        self.writer = writer
        self.header = header

    def _flush_header(self) -> None:
        if self.header:
            self.writer.write_text(self.header)
            self.header = b""

    def write(self, batch) -> None:
        self._flush_header()
        self.writer.write(batch)

    def write_text(self, lines: bytes) -> None:
        self._flush_header()
        self.writer.write_text(lines)

    def close(self) -> None:
        self._flush_header()
        self.writer.close()


class _Run:
    """The scan and the writing, on a thread of its own so that the main
    thread stays free to take Ctrl-C at once."""

    def __init__(self, prepared, options, writer, progress, client=None, parts_dir=None):
        self.client = client  # a Dask client when scanning on a cluster
        self.parts_dir = parts_dir  # where cluster workers may leave their lines: the output's folder
        self.prepared = prepared
        self.options = options
        self.writer = writer
        self.progress = progress
        self.stop = threading.Event()  # set by the main thread on Ctrl-C
        self.error: Optional[BaseException] = None  # what ended the run early
        self.write_failed = False  # the error came from writing, not reading
        self.done = threading.Event()  # set when the thread is about to end
        self.scans = []  # the FastaScans run, for the lengths of the records read

    def _on_scan(self, scan) -> None:
        self.scans.append(scan)
        self.progress.start(scan)

    def __call__(self) -> None:
        try:
            self._work()
        finally:
            self.done.set()

    def _work(self) -> None:
        try:
            if self.options.regions is not None:
                batches = (item.batch for item in region_batches(
                    self.prepared, self.options.sequences[0], self.options.regions,
                    strand=self.options.strand, mask=self.options.mask,
                    partial_windows=self.options.partial_windows, threads=self.options.threads,
                    region_column=self.options.format == "tsv"))
            else:
                batches = engine_batches(
                    self.prepared, self.options.sequences, strand=self.options.strand,
                    mask=self.options.mask, partial_windows=self.options.partial_windows,
                    threads=self.options.threads, on_scan=self._on_scan,
                    client=self.client, block_size=self.options.dask_block_size, stop=self.stop,
                    output_format=self.options.format, parts_dir=self.parts_dir,
                    site=self.options.site)
            try:
                for batch in batches:
                    if self.stop.is_set():
                        break
                    self.write_failed = True
                    if isinstance(batch, bytes):  # lines formatted by cluster workers
                        self.writer.write_text(batch)
                    else:
                        self.writer.write(batch)
                    self.write_failed = False
                    self.progress.update()
            finally:
                batches.close()
            if not self.stop.is_set():
                self.write_failed = True
                if self.options.qvalue:
                    lengths = [n for scan in self.scans for n in scan.record_lengths]
                    windows = self.prepared.windows_scanned(lengths, self.options.strand)
                    self.writer.close(list(zip(self.prepared.ids, windows)))
                else:
                    self.writer.close()
                self.write_failed = False
        except BaseException as exc:  # carried to the main thread
            self.error = exc


def run(options) -> int:
    if not options.dask:
        return _run(options)
    from ..cluster import ClientStart

    try:
        # Connects (or starts the local cluster) while the motifs are loaded.
        start = ClientStart(options.dask)
    except (ImportError, ValueError) as exc:
        say(f"error: {describe(exc)}")
        return EXIT_USAGE
    with start:
        return _run(options, start)


def _lines_file(output: AtomicOutput) -> str:
    """A private file beside the output (or among the temporary files for
    standard output) where the lines wait for their q-values."""
    folder = os.path.dirname(output.target) if output.target else None
    fd, path = tempfile.mkstemp(prefix=".vok-scan.", suffix=".lines", dir=folder)
    os.close(fd)
    return path


def _run(options, connecting=None) -> int:
    output = None
    lines = None
    progress = Progress(not options.quiet)
    worker = None
    try:
        try:
            prepared = load_prepared_motifs(options, options.sequences)
            from .. import _engine

            output = AtomicOutput(options.output)
            if options.qvalue:
                lines = _lines_file(output)
            region_column = options.regions is not None and options.format == "tsv"
            writer = _engine.HitWriter(output.target, format=options.format,
                                       motifs=prepared.engine_set, compress=output.compress,
                                       header=not options.no_header and not region_column,
                                       pvalues=prepared.pvalues, site=options.site,
                                       qvalue_lines=lines)
            if region_column and not options.no_header:
                writer = HeaderFirst(writer, REGION_HEADER)
            client = connecting.client() if connecting is not None else None
        except BaseException as exc:
            if isinstance(exc, KeyboardInterrupt):
                raise
            say(f"error: {describe(exc)}")
            return exit_status(exc, False)
        parts_dir = os.path.dirname(output.target) if output.target else None
        task = _Run(prepared, options, writer, progress, client, parts_dir)
        worker = threading.Thread(target=task, name="vok-scan", daemon=True)
        worker.start()
        # Waiting on an event, not on join(): a join cut short by Ctrl-C can
        # leave the thread marked as ended while it still runs.
        while not task.done.wait(0.1):
            pass
        progress.close()
        if task.error is not None:
            status = exit_status(task.error, task.write_failed)
            if status == EXIT_PIPE:
                silence_stdout()
            else:
                say(f"error: {describe(task.error)}")
            return status
        output.commit()
        return EXIT_OK
    except KeyboardInterrupt:
        if output is not None:
            output.discard()
        progress.enabled = False
        say("interrupted")
        if worker is not None and not task.done.is_set():
            task.stop.set()
            if not task.done.wait(STOP_GRACE_SECONDS):
                # A long batch is still being scanned or written: end without
                # waiting for it (the unfinished file is already gone).
                sys.stderr.flush()
                os._exit(stopping_status())
        return stopping_status()
    finally:
        if output is not None:
            output.discard()
        if lines is not None:
            try:
                os.unlink(lines)
            except FileNotFoundError:
                pass


def main(arguments: List[str]) -> int:
    """`vok-scan [OPTIONS] MOTIFS SEQUENCES...`; the exit status."""
    return command_main(parse_options, run, arguments)
