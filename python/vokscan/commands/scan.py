"""`vok-scan` itself: scanning sequences for sites, hits written as TSV or BED."""

from __future__ import annotations

import argparse
import contextlib
from typing import List, Optional

from ..progress import Progress
from ..quoting import has_control_characters, quote
from ..scanning import PreparedMotifs, engine_batches, region_batches
from . import running
from .common import (PROG, Parser, UsageError, add_motif_options, add_region_option,
                     add_scanning_options, check_motif_options, command_main, describe,
                     load_prepared_motifs, say, version)
from .running import Job

# How long a stopped cluster run may take to cancel its tasks and close its
# cluster (a local one takes a second or two); a second Ctrl-C ends it sooner.
CLUSTER_STOP_GRACE_SECONDS = 30
# Line starts that BED tools take for a comment, a track or a browser line.
BED_COMMENT_STARTS = ("#", "track", "browser")

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
options; 130 interrupted (Ctrl-C; 143 for SIGTERM; a second Ctrl-C ends a
run winding down at once); 141 the reader of standard output went away
(e.g. head). An interrupted or failed run leaves no file at -o (unless -o
names a device, FIFO or socket, which is written to as the run goes)."""


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
                            "name ends in .gz. A file appears only once complete; a device, FIFO "
                            "or socket (or /dev/stdout) is written to directly, which cannot be "
                            "atomic (default: standard output)")
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
    group = parser.add_argument_group("cluster (needs dask and distributed: "
                                      "python -m pip install dask distributed)")
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
    return options


class _NameWarnings:
    """Says once what writing the names changed (control characters written
    as '_') or risks (BED lines that BED tools read as comments)."""

    def __init__(self, options, prepared: PreparedMotifs):
        self.quiet = options.quiet
        self.bed = options.format != "tsv"
        self.said = set()
        for motif in prepared.records:
            if has_control_characters(motif.id) or has_control_characters(motif.name):
                self.say("motif", f"motif {quote(motif.id)} (and any other such motif): tabs, line "
                                  f"breaks and other control characters in names are written as '_'")
                break

    def say(self, kind: str, message: str) -> None:
        if not self.quiet and kind not in self.said:
            self.said.add(kind)
            say(f"warning: {message}")

    def check(self, cleaned: bool, read_as_comments: bool) -> None:
        if cleaned:
            self.say("sequence", "sequence and region names with tabs, line breaks or other "
                                 "control characters are written with '_' in their place")
        if read_as_comments and self.bed:
            self.say("comment", "sequence names starting with '#', 'track' or 'browser' begin "
                                "BED lines that BED tools skip as comments")

    def check_writer(self, writer) -> None:
        self.check(writer.names_cleaned, writer.names_read_as_comments)

    def check_names(self, names) -> None:
        """For lines formatted elsewhere (by cluster workers): the record names."""
        for name in names:
            self.check(has_control_characters(name), name.startswith(BED_COMMENT_STARTS))


def _scan(options, job: Job) -> None:
    """The work of a run: load the motifs, scan, write the lines to job.output."""
    progress = Progress(not options.quiet)
    job.on_stop.append(progress.abandon)
    try:
        with _cluster(options, job) as connecting:
            prepared = load_prepared_motifs(options, options.sequences)
            from .. import _engine

            output = job.output
            # With --qvalue the lines wait in a private file until the scan ends.
            lines = output.scratch_file(".lines") if options.qvalue else None
            region_column = options.regions is not None and options.format == "tsv"
            writer = _engine.HitWriter(output.target, format=options.format,
                                       motifs=prepared.engine_set, compress=output.compress,
                                       header=not options.no_header, pvalues=prepared.pvalues,
                                       site=options.site, qvalue_lines=lines, region=region_column)
            client = connecting.client() if connecting is not None else None
            # Cluster workers may leave their lines beside a file being made.
            parts_dir = output.folder_beside() if client is not None else None
            names = _NameWarnings(options, prepared)
            scans = []  # the FastaScans run, for the lengths of the records read
            region_lengths: List[int] = []

            def started(scan) -> None:
                scans.append(scan)
                progress.start(scan)
                if client is not None:
                    names.check_names(scan.record_names())

            if options.regions is not None:
                def region_hits():
                    for item in region_batches(
                            prepared, options.sequences[0], options.regions, strand=options.strand,
                            mask=options.mask, partial_windows=options.partial_windows,
                            threads=options.threads, region_column=region_column, site=options.site,
                            stop=job.stop.is_set):
                        region_lengths.extend(item.lengths)
                        yield item.batch

                batches = region_hits()
            else:
                batches = engine_batches(
                    prepared, options.sequences, strand=options.strand, mask=options.mask,
                    partial_windows=options.partial_windows, threads=options.threads,
                    on_scan=started, client=client, block_size=options.dask_block_size,
                    stop=job.stop, output_format=options.format, parts_dir=parts_dir,
                    site=options.site)
            try:
                for batch in batches:
                    if job.stop.is_set():
                        return
                    job.write_failed = True
                    if isinstance(batch, bytes):  # lines formatted by cluster workers
                        writer.write_text(batch)
                    else:
                        writer.write(batch)
                        names.check_writer(writer)
                    job.write_failed = False
                    progress.update()
            finally:
                batches.close()
            if job.stop.is_set():
                return
            job.write_failed = True
            if options.qvalue:
                lengths = (region_lengths if options.regions is not None else
                           [n for scan in scans for n in scan.record_lengths])
                windows = prepared.windows_scanned(lengths, options.strand)
                writer.close(list(zip(prepared.ids, windows)))
            else:
                writer.close()
            job.write_failed = False
    finally:
        progress.close()


@contextlib.contextmanager
def _cluster(options, job: Job):
    """The Dask client being made for --dask (None without it); it connects,
    or starts the local cluster, while the motifs are loaded."""
    if not options.dask:
        yield None
        return
    from ..cluster import ClientStart

    # A stopped run closes its cluster before the process ends: ended
    # midway, a local cluster's processes report leaked semaphores.
    job.grace = CLUSTER_STOP_GRACE_SECONDS
    try:
        start = ClientStart(options.dask)
    except ImportError as exc:  # dask or distributed missing
        raise UsageError(describe(exc)) from None
    with start:
        yield start


def run(options) -> int:
    return running.run(lambda job: _scan(options, job), output=options.output)


def main(arguments: List[str]) -> int:
    """`vok-scan [OPTIONS] MOTIFS SEQUENCES...`; the exit status."""
    return command_main(parse_options, run, arguments)
